import gzip
import io
import json
import math
import struct
import sys
import tracemalloc

import pytest
from hypothesis import given, settings, strategies as st

from ordwyne_offline import logs
from ordwyne_offline.logs import (LogError, decision_count_of, decision_inputs, iter_events)
from test_offline_support import Host

SEP = (",", ":")


def identical(a, b):
    """Equal values of equal types, floats bit for bit (NaN payloads aside)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (a != a and b != b) or struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, dict):
        return list(a) == list(b) and all(identical(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(map(identical, a, b))
    return a == b


text = st.text(st.characters(blacklist_categories=("Cs",)), max_size=6)
scalar = st.one_of(st.none(), st.booleans(), text,
                   st.integers(-2 ** 80, 2 ** 80), st.integers(2 ** 63 - 3, 2 ** 64 + 3),
                   st.floats(), st.floats(width=32), st.sampled_from([-0.0, 5e-324, 1e308]))
features = st.dictionaries(text, scalar, max_size=5)
decision = st.fixed_dictionaries({
    "event": st.just("decision"), "bits": st.integers(1, 24), "context": features,
    "candidates": st.lists(st.tuples(text, features), min_size=1, max_size=4),
    "record": st.fixed_dictionaries({
        "decision_id": text, "t": st.floats(), "candidate_hash": st.integers(0, 2 ** 64 - 1),
        "chosen": st.integers(0, 2 ** 64), "features": st.lists(
            st.tuples(st.integers(0, 2 ** 24), st.floats()), max_size=6),
        "propensity": st.floats(), "model_version": st.integers(0, 2 ** 64 - 1),
        "salt": text}),
})
resolution = st.fixed_dictionaries({
    "event": st.just("resolution"), "decision_id": text,
    "kind": st.sampled_from(["rewarded", "expired"]),
    "reward": st.one_of(st.none(), st.floats(), st.integers(-2 ** 70, 2 ** 70))})


@settings(max_examples=300, deadline=None)
@given(st.one_of(decision, resolution))
def test_the_reader_gives_exactly_what_json_gives(data):
    raw = json.dumps(data, separators=SEP).encode() + b"\n"
    data, reason = logs.parse_line(raw)
    assert identical(data, json.loads(raw))
    # lines that are not log lines (e.g. with oversized numbers) must be judged alike too
    assert reason == logs.check_structure(json.loads(raw))


def write(path, lines, end="\n"):
    path.write_text("".join(line + "\n" for line in lines[:-1]) + lines[-1] + end)
    return str(path)


@pytest.fixture(scope="module")
def lines():
    host = Host(21, salt="r")
    host.run(30)
    return host.lines


def test_files_are_read_in_order_with_their_own_line_numbers(tmp_path, lines):
    a = write(tmp_path / "a.log", lines[:10])
    b = str(tmp_path / "b.log.gz")
    with gzip.open(b, "wt") as f:
        f.write("".join(line + "\n" for line in lines[10:]))
    events = list(iter_events([a, b]))
    assert [(e.file, e.line) for e in events] == \
        [(a, i + 1) for i in range(10)] + [(b, i + 1) for i in range(len(lines) - 10)]
    assert [e.data for e in events] == [json.loads(line) for line in lines]
    assert [e.kind for e in events] == [json.loads(line)["event"] for line in lines]


def test_progress_reports_the_running_line_count(tmp_path, lines, monkeypatch):
    monkeypatch.setattr(logs, "PROGRESS_EVERY", 4)
    seen = []
    list(iter_events([write(tmp_path / "a.log", lines), write(tmp_path / "b.log", lines)],
                     progress=seen.append))
    n = len(lines)
    assert seen == sorted(seen) and seen[-1] == 2 * n and n in seen
    assert all(c % 4 == 0 for c in seen if c not in (n, 2 * n))


def test_standard_input(monkeypatch, lines):
    raw = "".join(line + "\n" for line in lines).encode()
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(raw)))
    events = list(iter_events(["-"]))
    assert [e.file for e in events] == ["<stdin>"] * len(lines)
    assert len(events) == len(lines)


@pytest.mark.parametrize("module, name", [("zstandard", "x.log.zst"), ("fsspec", "s3://b/x.log")])
def test_optional_readers_name_their_missing_package(monkeypatch, module, name):
    monkeypatch.setitem(sys.modules, module, None)  # import fails
    with pytest.raises(OSError, match=module):
        list(iter_events([name]))


def test_zstandard_logs_of_several_frames_and_cut_short(tmp_path, lines):
    zstandard = pytest.importorskip("zstandard")
    data = "".join(line + "\n" for line in lines).encode()
    path = tmp_path / "x.log.zst"
    # two appending sessions: two frames
    path.write_bytes(zstandard.ZstdCompressor().compress(data[:999])
                     + zstandard.ZstdCompressor().compress(data[999:]))
    assert [e.data for e in iter_events([str(path)])] == [json.loads(x) for x in lines]
    writer = zstandard.ZstdCompressor().compressobj()
    blocks = b"".join(writer.compress(data[i:i + 300])
                      + writer.flush(zstandard.COMPRESSOBJ_FLUSH_BLOCK)
                      for i in range(0, len(data), 300))
    for cut in (len(blocks) // 2, len(blocks) - 1):
        path.write_bytes(blocks[:cut])
        *complete, last = iter_events([str(path)], incomplete="report")
        assert last.kind == "incomplete" and last.line == len(complete) + 1
        assert [e.data for e in complete] == [json.loads(x) for x in lines[:len(complete)]]


def test_urls_through_fsspec(tmp_path, lines):
    pytest.importorskip("fsspec")
    path = write(tmp_path / "u.log", lines)
    assert len(list(iter_events(["file://" + path]))) == len(lines)


def test_torn_last_line_in_each_mode(tmp_path, lines, capsys):
    path = write(tmp_path / "t.log", lines[:3] + [lines[3][:25]], end="")
    assert len(list(iter_events([path]))) == 3
    assert "t.log:4: incomplete last line skipped" in capsys.readouterr().err
    *_, last = iter_events([path], incomplete="report")
    assert (last.line, last.kind, last.data) == (4, "incomplete", {"text": lines[3][:25]})
    with pytest.raises(LogError) as info:
        list(iter_events([path], incomplete="error"))
    assert (info.value.line, info.value.reason) == (4, "incomplete last line")


def test_complete_last_line_without_newline_is_an_ordinary_line(tmp_path, lines):
    path = write(tmp_path / "t.log", lines[:3], end="")
    assert [e.kind for e in iter_events([path], incomplete="error")] == \
        [json.loads(x)["event"] for x in lines[:3]]


DECISION = {"event": "decision", "bits": 4, "context": {}, "candidates": [["a", {}]],
            "record": {"decision_id": "s:0", "t": 0.0, "candidate_hash": 1, "chosen": 0,
                       "features": [[1, 1.0]], "propensity": 1.0, "model_version": 0,
                       "salt": "s"}}


def _with(path, value):
    data = json.loads(json.dumps(DECISION))
    node = data
    for key in path[:-1]:
        node = node[key]
    if value is KeyError:
        del node[path[-1]]
    else:
        node[path[-1]] = value
    return json.dumps(data)


@pytest.mark.parametrize("line, reason", [
    ("", "empty line"),
    ("{\"event\":", "not valid JSON"),
    ("[1,2]", "not a JSON object"),
    ('{"event":"other"}', "'event' is neither"),
    (_with(("bits",), 0), "'bits'"),
    (_with(("bits",), True), "'bits'"),
    (_with(("context",), []), "'context'"),
    (_with(("candidates",), [["a", {}, 1]]), "'candidates' holds"),
    (_with(("candidates",), [["a", []]]), "'candidates' holds"),
    (_with(("record",), KeyError), "'record'"),
    (_with(("record", "t"), 1), "'record.t'"),
    (_with(("record", "candidate_hash"), 2 ** 64), "'record.candidate_hash'"),
    (_with(("record", "chosen"), -1), "'record.chosen'"),
    (_with(("record", "features"), [[1, 1.0, 2.0]]), "'record.features' holds"),
    (_with(("record", "features"), [[-1, 1.0]]), "'record.features' holds"),
    (_with(("record", "features"), [[1.0, 1.0]]), "'record.features' holds"),
    (_with(("record", "propensity"), None), "'record.propensity'"),
    (_with(("record", "model_version"), -1), "'record.model_version'"),
    (_with(("record", "salt"), 5), "'record.salt'"),
    ('{"event":"resolution","decision_id":"s:0","kind":"won","reward":1.0}', "'kind'"),
    ('{"event":"resolution","decision_id":"s:0","kind":"expired"}', "'reward' is missing"),
    ('{"event":"resolution","decision_id":"s:0","kind":"expired","reward":1}', "'reward'"),
    ('{"event":"resolution","decision_id":0,"kind":"expired","reward":1.0}', "'decision_id'"),
])
def test_malformed_lines_are_reported_with_file_line_and_reason(tmp_path, line, reason):
    path = tmp_path / "m.log"
    path.write_text(json.dumps(DECISION) + "\n" + line + "\n" + json.dumps(DECISION) + "\n")
    with pytest.raises(LogError) as info:
        list(iter_events([str(path)]))
    e = info.value
    assert (e.file, e.line) == (str(path), 2) and reason in e.reason
    assert str(e).startswith(f"{path}:2: ")
    reported = list(iter_events([str(path)], malformed="report"))
    assert [r.kind for r in reported] == ["decision", "malformed", "decision"]


def test_null_reward_is_accepted():
    assert logs.check_structure({"event": "resolution", "decision_id": "s:0",
                                 "kind": "expired", "reward": None}) is None


@pytest.mark.parametrize("decision_id, count", [
    ("s:0", 0), ("s:17", 17), ("a:b:3", 3), (":5", 5), ("s:18446744073709551615", 2 ** 64 - 1),
    ("s", None), ("s:", None), ("s:-1", None), ("s:01", None), ("s:1a", None), ("s:١", None),
])
def test_decision_count_of(decision_id, count):
    assert decision_count_of(decision_id) == count


def test_decision_inputs_are_decide_arguments():
    context, candidates, t, salt, bits = decision_inputs(DECISION)
    assert (context, candidates, t, salt, bits) == ({}, [("a", {})], 0.0, "s", 4)
    assert all(type(c) is tuple for c in candidates)


def test_reading_is_streaming(tmp_path):
    line = '{"event":"resolution","decision_id":"s:%d","kind":"rewarded","reward":0.5}\n'
    path = tmp_path / "big.log"
    with open(path, "w") as f:
        for i in range(100_000):
            f.write(line % i)
    tracemalloc.start()
    try:
        n = sum(1 for _ in iter_events([str(path)]))
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert n == 100_000
    assert peak < path.stat().st_size / 4  # a few buffers, never the file


@pytest.mark.parametrize("candidate_hash, context, fast", [
    (7, {"n": 12}, True),
    (2 ** 63, {"n": 1.5e300}, True),             # a 19-digit hash
    (2 ** 64 - 1, {"s": "x" * 30}, True),        # a 20-digit hash
    (2 ** 64 - 1, {"n": 2 ** 64}, False),        # a long integer elsewhere
    (5, {"n": -(2 ** 63) - 1}, False),
    (5, {"s": "1234567890123456789"}, False),    # digits in a string: json, to be safe
])
def test_only_lines_without_long_integers_take_the_fast_path(candidate_hash, context, fast):
    data = json.loads(json.dumps(DECISION))
    data["record"]["candidate_hash"] = candidate_hash
    data["context"] = context
    raw = json.dumps(data, separators=SEP).encode()
    assert logs._same_as_json(raw) is fast
    assert identical(logs.parse_line(raw)[0], json.loads(raw))


def test_a_compressed_log_cut_during_a_write_ends_in_an_incomplete_line(tmp_path, lines):
    path = tmp_path / "cut.log.gz"
    whole = gzip.compress("".join(line + "\n" for line in lines).encode())
    path.write_bytes(whole[:len(whole) * 2 // 3])
    events = list(iter_events([str(path)], incomplete="report"))
    *complete, last = events
    assert last.kind == "incomplete" and last.line == len(complete) + 1
    assert [e.data for e in complete] == [json.loads(x) for x in lines[:len(complete)]]
    with pytest.raises(LogError, match="incomplete last line"):
        list(iter_events([str(path)], incomplete="error"))


def test_progress_line_on_a_terminal_only():
    from ordwyne_offline.util import Progress

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    for stream, shown in [(Terminal(), True), (io.StringIO(), False)]:
        progress = Progress("replay", stream=stream)
        progress.last = -1e9  # due at once
        progress(123_456)
        progress.done()
        text = stream.getvalue()
        assert ("replay: 123,456 lines" in text) is shown
        assert all(len(part) <= 80 for part in text.split("\r"))
    quiet = Terminal()
    Progress("replay", enabled=False, stream=quiet)(5)
    assert quiet.getvalue() == ""


# items shaped like feature pairs, and items that only look like them
pair_like = st.one_of(
    st.tuples(st.integers(0, 2 ** 24), st.floats()).map(list),
    st.tuples(st.integers(-3, 2 ** 66), st.one_of(st.floats(), st.integers(-3, 3))).map(list),
    st.lists(st.one_of(scalar, st.lists(scalar, max_size=2)), max_size=3),
)


@settings(max_examples=500, deadline=None)
@given(st.lists(pair_like, min_size=1, max_size=5))
def test_the_features_text_exists_only_for_well_formed_finite_pairs(items):
    text = logs.features_text(items)
    well_formed = logs._pairs_ok(items)
    if text is not None:
        # the text is the pairs themselves: a bit-for-bit comparison of texts is one of values
        assert well_formed and identical(json.loads(text), items)
    elif logs._fast_dumps is not None:
        # only what the text cannot show exactly takes the long way
        assert not well_formed or any(v != v or v in (math.inf, -math.inf) or i >= 2 ** 64
                                      for i, v in items)


@pytest.mark.parametrize("items", [
    [[1, 2.0], [2, 3]],            # a value written as an integer
    [[1.0, 2.0]],                  # an index written as a number with a point
    [[True, 2.0]],                 # a boolean index equals 1
    [[-1, 2.0]],                   # a negative index
    [[1, 2.0, 3.0]], [[1]], [[]],  # not pairs
    [[1, [2.0]]], [[1, "2.0"]], [[1, None]], [{"1": 2.0}],
])
def test_look_alike_feature_lists_are_malformed(items):
    assert logs.features_text(items) is None
    line = {"event": "decision", "bits": 4, "context": {}, "candidates": [["a", {}]],
            "record": {"decision_id": "s:0", "t": 0.0, "candidate_hash": 1, "chosen": 0,
                       "features": items, "propensity": 1.0, "model_version": 0, "salt": "s"}}
    assert "record.features" in logs.check_structure(line)
