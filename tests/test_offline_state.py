import json
import math

import pytest

import ordwyne as ow
from conftest import parse_state as reference_parse, record_bytes, sealed, state_body, u64
from ordwyne_offline import cli
from ordwyne_offline.logs import Event
from ordwyne_offline.start import Start
from ordwyne_offline.statefile import StateError, model_stats, parse_state
from test_offline_support import Host


@pytest.mark.parametrize("seed", range(4))
def test_pure_reading_agrees_with_the_engine_layout(seed):
    host = Host(seed)
    host.run(60)
    text = ow.serialize(host.state)
    ours, ref = parse_state(text), reference_parse(text)
    for key in ("dim", "ridge", "forgetting", "scale", "decision_count", "model_version",
                "horizon", "default_reward", "epsilon"):
        a, b = getattr(ours, key), ref[key]
        assert a == b or (a != a and b != b), key
    assert [vars(r) for r in ours.records] == ref["records"] or all(
        json.dumps(vars(r)) == json.dumps(x) for r, x in zip(ours.records, ref["records"]))
    assert len(ours.records) == len(host.pending)


BAD_FEATURES = ("record features must be (index, value) pairs in strictly increasing index "
                "order within the model dimension, values nonzero")


@pytest.mark.parametrize("body, message", [
    (b"ordwyne\x00" + u64(1) + u64(2), "truncated state"),  # 24 bytes with the checksum
    (b"ordwynX\x00" + u64(1) + u64(2) + bytes(40), "not a ordwyne state (bad magic)"),
    (state_body(version=2), "unsupported state format version 2"),
    (state_body(dim=0, a=[], b=[]), "dim must be at least 1"),
    (state_body(forgetting=0.0, ridge=-1.0), "forgetting must be in (0, 1] (1.0 = never forget)"),
    (state_body(ridge=math.nan), "ridge must be positive"),
    (state_body(scale=1.5), "scale must be in (0, 1]"),
    (state_body(horizon=0.0), "horizon must be positive"),
    (state_body(epsilon=-0.5), "epsilon must be in [0, 1]"),
    (state_body(records=[record_bytes(features=[(1, 1.0), (1, 2.0)])]), BAD_FEATURES),
    (state_body(records=[record_bytes(features=[(1, 1.0), (0, 2.0)])]), BAD_FEATURES),
    (state_body(records=[record_bytes(features=[(2, 1.0)])]), BAD_FEATURES),
    (state_body(records=[record_bytes(features=[(0, -0.0)])]), BAD_FEATURES),
    (state_body(records=[record_bytes()], record_count=2), "truncated state"),
    (state_body(records=[record_bytes(), record_bytes()], record_count=1),
     "trailing bytes in state"),
    (state_body(records=[record_bytes(decision_id=b"\xc3\x28")]),
     "state string is not valid UTF-8"),
    (state_body(records=[record_bytes(features=[(1, math.nan)])]), None),
    (state_body(dim=3, a=[0.0] * 3, b=[0.0] * 3), None),
])
def test_reading_errors_are_the_engine_messages(body, message):
    text = sealed(body)
    try:
        ow.deserialize(text)
        engine = None
    except ValueError as e:
        engine = str(e)
    assert engine == message
    if message is None:
        parse_state(text)
    else:
        with pytest.raises(StateError) as info:
            parse_state(text)
        assert str(info.value) == message


@pytest.mark.parametrize("text, message", [
    ("abc", "state must be a hexadecimal string"),
    ("zz" * 60, "state must be a hexadecimal string"),
    ("", "truncated state"),
])
def test_text_layer_errors(text, message):
    with pytest.raises(StateError, match=message.replace("(", r"\(")):
        parse_state(text)


def test_model_statistics_from_the_arrays():
    a = [0.0, 2.0, 0.0, math.nan, 4.0, 1.0, 0.0, math.inf]
    b = [0.0, -6.0, 0.0, 1.0, 2.0, 0.0, 3.0, 1.0]
    text = sealed(state_body(dim=8, a=a, b=b, scale=0.5))
    stats = model_stats(text, 8)
    # coordinate 6 (a = 0, b = 3) is non-zero but has no ratio; NaN and inf are counted
    assert stats == {"nonzero_coordinates": 6, "largest_abs_b_over_a": 3.0,
                     "nan_values": 1, "infinite_values": 1}


def test_model_statistics_read_in_chunks(monkeypatch):
    from ordwyne_offline import statefile
    monkeypatch.setattr(statefile, "CHUNK", 3)
    a = [float(i % 4) for i in range(16)]
    b = [float(i) for i in range(16)]
    text = sealed(state_body(dim=16, a=a, b=b))
    expected = max(abs(y / x) for x, y in zip(a, b) if x)
    assert model_stats(text, 16)["largest_abs_b_over_a"] == expected
    assert model_stats(text, 16)["nonzero_coordinates"] == sum(1 for x, y in zip(a, b) if x or y)


def _decision(decision_id):
    return Event("l", 1, {"record": {"decision_id": decision_id}}, "decision")


def _resolution(decision_id):
    return Event("l", 1, {"decision_id": decision_id}, "resolution")


def test_lines_contained_in_a_checkpoint():
    state = ow.create(3, 10.0)
    for i in range(4):
        ow.decide(state, {}, [("a", {})], float(i), "s")
    ow.learn(state, "s:1", 1.0, 0.0)
    start = Start.from_text(ow.serialize(state))
    assert (start.decision_count, start.model_version, start.pending_ids) == \
        (4, 1, {"s:0", "s:2", "s:3"})
    cases = [(_decision("s:0"), True), (_decision("s:3"), True), (_decision("s:4"), False),
             (_decision("other:2"), True), (_decision("broken"), False),
             (_resolution("s:1"), True),   # made before and no longer pending
             (_resolution("s:2"), False),  # still pending: its resolution is new
             (_resolution("s:4"), False), (_resolution("nonsense"), False),
             (Event("l", 1, {}, "incomplete"), False)]
    assert [start.already_contained(e) for e, _ in cases] == [c for _, c in cases]
    fresh = Start.create(3, 10.0)
    assert not any(fresh.already_contained(e) for e, _ in cases)


def test_fresh_start_matches_create():
    start = Start.create(5, 2.0, -1.0, 0.5, 0.75)
    assert start.text == ow.serialize(ow.create(5, 2.0, -1.0, 0.5, 0.75))
    assert start.params == {"bits": 5, "horizon": 2.0, "default_reward": -1.0, "epsilon": 0.5,
                            "forgetfulness": 0.75, "ridge": 1.0, "scale": 1.0}
    a, b = start.new_state(), start.new_state()
    ow.decide(a, {}, [("x", {})], 0.0, "s")
    assert ow.serialize(b) == start.text  # independent states


def test_inspect_table_and_json(tmp_path, capsys):
    state = ow.create(4, 7.5, -0.5, 0.25, 0.5)
    records = [ow.decide(state, {"k": "v"}, [("a", {}), ("b", {"p": 2})], t, "s")
               for t in (3.0, math.nan, 1.0, 9.0)]
    ow.learn(state, records[0].decision_id, 2.0, 0.0)
    path = tmp_path / "x.state"
    path.write_text(ow.serialize(state) + "\n")
    assert cli.main(["inspect", str(path)]) == 0
    out = capsys.readouterr().out
    for expected in ["checksum        OK", "bits            4", "horizon         7.5",
                     "default reward  -0.5", "epsilon         0.25", "forgetting      0.5",
                     "decisions       4", "model version   1", "pending         3",
                     "oldest t      1.0", "newest t      9.0", "t NaN         1",
                     "first ids     s:1, s:2, s:3"]:
        assert expected in out
    assert all(len(line) <= 80 for line in out.splitlines()[1:])  # the path line aside
    assert cli.main(["inspect", str(path), "--json"]) == 0
    data = json.loads(capsys.readouterr().out)
    assert data["pending"] == {"count": 3, "oldest_t": 1.0, "newest_t": 9.0, "nan_t": 1,
                               "first_ids": ["s:1", "s:2", "s:3"]}
    assert (data["ok"], data["checksum_ok"], data["scale"]) == (True, True, 0.5)
    assert data["model"]["nan_values"] == 0 and data["model"]["nonzero_coordinates"] > 0


@pytest.mark.parametrize("change, message", [
    (lambda t: t[:-2] + ("00" if t[-2:] != "00" else "11"), "state checksum mismatch"),
    (lambda t: t[:-1], "state must be a hexadecimal string"),
    (lambda t: "ff" + t[2:], "not a ordwyne state (bad magic)"),
])
def test_inspect_reports_the_exact_reading_error(tmp_path, capsys, change, message):
    path = tmp_path / "x.state"
    path.write_text(change(ow.serialize(ow.create(3, 1.0))))
    assert cli.main(["inspect", str(path), "--json"]) == 2
    data = json.loads(capsys.readouterr().out)
    assert data["ok"] is False and data["error"] == message


def test_inspect_of_a_state_with_a_bad_checksum_still_shows_its_fields(tmp_path, capsys):
    text = ow.serialize(ow.create(3, 1.0, epsilon=0.125))
    (tmp_path / "x.state").write_text(text[:-2] + ("00" if text[-2:] != "00" else "11"))
    assert cli.main(["inspect", str(tmp_path / "x.state")]) == 2
    out = capsys.readouterr().out
    assert "checksum        MISMATCH" in out and "epsilon         0.125" in out


def test_inspect_without_checksum_reads_the_same_from_a_buffer(tmp_path, capsys):
    state = ow.create(6, 3.0)
    ow.decide(state, {"x": 1.5}, [("a", {}), ("b", {})], 2.0, "s")
    path = tmp_path / "x.state"
    path.write_text("\n" + ow.serialize(state) + " \r\n")
    assert cli.main(["inspect", str(path), "--json"]) == 0
    full = json.loads(capsys.readouterr().out)
    assert cli.main(["inspect", str(path), "--json", "--no-checksum"]) == 0
    light = json.loads(capsys.readouterr().out)
    assert full.pop("checksum_ok") is True and "checksum_ok" not in light
    assert full == light
