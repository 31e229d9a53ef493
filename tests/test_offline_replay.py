import gzip
import json
import math
import os

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import ordwyne as ow
from ordwyne_offline import cli
from ordwyne_offline.logs import LogError, iter_events
from ordwyne_offline.replay import compare_decision, replay_events
from ordwyne_offline.start import Start
from ordwyne_offline.verify import Verifier
from test_offline_support import PARAMS, Host, create_args, decision_lines

params_strategy = st.fixed_dictionaries({
    "bits": st.integers(1, 8),
    "horizon": st.sampled_from([5.0, 0.5, math.inf]),
    "default_reward": st.sampled_from([-0.25, 0.0, math.nan, -math.inf]),
    "epsilon": st.sampled_from([0.0, 0.3, 1.0]),
    "forgetfulness": st.sampled_from([1.0, 0.9, 0.5]),
})


def _replay(start, path):
    texts = []
    for lazy in (False, True):  # the replay's quick reading must rebuild the same state
        result = replay_events(start, iter_events([path], lazy_features=lazy))
        assert result.stopped_at is None, result.stopped_at
        texts.append(ow.serialize(result.state))
    assert texts[0] == texts[1]
    return texts[0]


hosts = dict(seed=st.integers(0, 2 ** 32), steps=st.integers(1, 80), params=params_strategy)
quick = settings(max_examples=40, deadline=None,
                 suppress_health_check=[HealthCheck.function_scoped_fixture])


@quick
@given(**hosts)
def test_replay_from_start_or_any_checkpoint_rebuilds_the_live_state(tmp_path, seed, steps, params):
    check_host(tmp_path, seed, steps, params)


@pytest.mark.slow
@settings(quick, max_examples=150)
@given(**dict(hosts, steps=st.integers(1, 300)))
def test_replay_rebuilds_the_live_state_many_hosts(tmp_path, seed, steps, params):
    check_host(tmp_path, seed, steps, params)


def check_host(tmp_path, seed, steps, params):
    host = Host(seed, params)
    checkpoints = host.run(steps, checkpoint_every=10)
    path = host.write(tmp_path / "h.log")
    final = ow.serialize(host.state)
    fresh = Start.create(params["bits"], params["horizon"], params["default_reward"],
                         params["epsilon"], params["forgetfulness"])
    assert _replay(fresh, path) == final
    for _count, text in checkpoints:
        assert _replay(Start.from_text(text), path) == final
    # and a sound log verifies clean, alone and against its start states
    for start in [None, fresh] + [Start.from_text(text) for _c, text in checkpoints[:2]]:
        verifier = Verifier(start)
        for ev in iter_events([path], incomplete="report", malformed="report"):
            verifier.feed(ev)
        verifier.finish()
        assert verifier.findings == []


def test_checkpoint_skips_are_counted_and_pending_decisions_resolve(tmp_path):
    host = Host(7)
    host.run(60)
    cut = len(host.lines) // 2
    checkpoint_host = Host(7)
    while len(checkpoint_host.lines) < cut:
        checkpoint_host.step()
    # the checkpoint holds exactly the lines logged before it
    start = Start.from_text(ow.serialize(checkpoint_host.state))
    path = host.write(tmp_path / "h.log")
    result = replay_events(start, iter_events([path]))
    assert result.skipped == len(checkpoint_host.lines)
    assert result.decisions + result.resolutions + result.skipped == len(host.lines)
    assert ow.serialize(result.state) == ow.serialize(host.state)


@pytest.fixture
def logged(tmp_path):
    host = Host(3, salt="s")
    host.run(120)
    return host, host.write(tmp_path / "h.log")


def test_cli_replay_writes_the_state_and_a_summary(tmp_path, logged, capsys):
    host, path = logged
    out = tmp_path / "out.state"
    assert cli.main(["replay", path, *create_args(), "--out", str(out)]) == 0
    assert out.read_text() == ow.serialize(host.state)
    summary = capsys.readouterr().out
    decisions = len(decision_lines(host.lines))
    assert f"{decisions:,} decisions" in summary
    assert f"{len(host.lines) - decisions:,} resolutions" in summary
    assert f"{len(host.pending):,} pending at the end" in summary
    assert [p for p in os.listdir(tmp_path) if p.endswith(".tmp")] == []


def test_cli_replay_until_line_equals_the_host_at_that_line(tmp_path):
    host = Host(11, salt="s")
    host.run(50)
    n = len(host.lines) // 3
    partial = Host(11, salt="s")
    while len(partial.lines) < n:
        partial.step()
    assert len(partial.lines) == n or pytest.skip("an expire logged several lines at once")
    out = tmp_path / "out.state"
    path = host.write(tmp_path / "h.log")
    assert cli.main(["replay", path, *create_args(), "--out", str(out),
                     "--until-line", str(n)]) == 0
    assert out.read_text() == ow.serialize(partial.state)


def test_rotated_logs_replay_as_one(tmp_path, logged):
    host, _ = logged
    half = len(host.lines) // 2
    first = host.write(tmp_path / "a.log", host.lines[:half])
    second = str(tmp_path / "b.log.gz")
    with gzip.open(second, "wt") as f:
        f.write("".join(line + "\n" for line in host.lines[half:]))
    out = tmp_path / "out.state"
    assert cli.main(["replay", first, second, *create_args(), "--out", str(out)]) == 0
    assert out.read_text() == ow.serialize(host.state)


def _tamper(lines, index, edit):
    data = json.loads(lines[index])
    edit(data)
    return lines[:index] + [json.dumps(data, separators=(",", ":"))] + lines[index + 1:]


def test_mismatch_stops_without_touching_the_output(tmp_path, logged, capsys):
    host, _ = logged
    k = decision_lines(host.lines)[10]
    lines = _tamper(host.lines, k, lambda d: d["record"].update(propensity=0.123))
    path = host.write(tmp_path / "bad.log", lines)
    out = tmp_path / "out.state"
    out.write_text("previous")
    assert cli.main(["replay", path, *create_args(), "--out", str(out)]) == 1
    assert out.read_text() == "previous"
    err = capsys.readouterr().err
    assert f"bad.log:{k + 1}:" in err and "propensity" in err
    # --keep-going replays past it; the state is still the host's (propensity is not stored
    # anywhere a later decision reads, except this record's ledger copy)
    assert cli.main(["replay", path, *create_args(), "--out", str(out), "--keep-going"]) == 1
    assert "1 mismatches" in capsys.readouterr().out


@pytest.mark.parametrize("argv, message", [
    (["--state", "missing.state"], "cannot read state"),
    (["--bits", "6"], "a start state is needed"),
    (["--bits", "25", "--horizon", "1"], "bits must be between 1 and 24"),
    (["--bits", "6", "--horizon", "0"], "horizon must be positive"),
    (["--bits", "6", "--horizon", "1", "--epsilon", "2"], "epsilon must be in [0, 1]"),
    (["--state", "s.state", "--epsilon", "0.1"], "cannot be combined with --epsilon"),
])
def test_bad_start_state_is_a_usage_error(tmp_path, logged, capsys, argv, message):
    _, path = logged
    (tmp_path / "s.state").write_text(ow.serialize(ow.create(2, 1.0)))
    os.chdir(tmp_path)
    assert cli.main(["replay", path, *argv, "--out", "o.state"]) == 2
    assert message in capsys.readouterr().err
    assert not (tmp_path / "o.state").exists()


@pytest.mark.parametrize("text, message", [
    ("zz", "state must be a hexadecimal string"),
    ("", "truncated state"),
    ("00" * 40, "not a ordwyne state (bad magic)"),
])
def test_bad_state_file_reports_the_engine_message(tmp_path, logged, capsys, text, message):
    _, path = logged
    (tmp_path / "s.state").write_text(text)
    assert cli.main(["replay", path, "--state", str(tmp_path / "s.state"),
                     "--out", str(tmp_path / "o")]) == 2
    assert message in capsys.readouterr().err


def test_malformed_line_is_an_input_error_naming_the_line(tmp_path, logged, capsys):
    host, _ = logged
    lines = host.lines[:5] + ['{"event":"decision"}'] + host.lines[5:]
    path = host.write(tmp_path / "m.log", lines)
    assert cli.main(["replay", path, *create_args(), "--out", str(tmp_path / "o")]) == 2
    assert "m.log:6: 'bits' is not an integer from 1 to 24" in capsys.readouterr().err


def test_torn_last_line_is_skipped_with_a_warning(tmp_path, logged, capsys):
    host, _ = logged
    path = tmp_path / "torn.log"
    path.write_text("".join(line + "\n" for line in host.lines) + host.lines[0][:40])
    out = tmp_path / "o"
    assert cli.main(["replay", str(path), *create_args(), "--out", str(out)]) == 0
    assert out.read_text() == ow.serialize(host.state)
    assert f"torn.log:{len(host.lines) + 1}: incomplete last line" in capsys.readouterr().err


def test_wrong_start_state_is_caught_by_the_comparison(tmp_path, logged, capsys):
    _, path = logged
    other = dict(PARAMS, epsilon=0.9)
    status = cli.main(["replay", path, *create_args(other), "--out", str(tmp_path / "o")])
    assert status == 1
    assert "propensity" in capsys.readouterr().err


def _record(context):
    state = ow.create(6, 5.0, 0.0, 0.3, 1.0)
    return ow.decide(state, context, [("a", {"x": 1.0}), ("b", {"y": -2.5})], 0.0, "s")


def _negate_first_value(r):
    r["features"][0][1] = -r["features"][0][1]


def _next_propensity(r):
    r["propensity"] = math.nextafter(r["propensity"], 0.0)


@pytest.mark.parametrize("context, edit, checks", [
    ({"v": 3.0}, None, []),
    ({"v": math.nan}, None, []),     # NaN features equal NaN, as the log can tell
    ({"v": 0.0}, None, []),
    ({"v": 3.0}, _negate_first_value, ["features"]),
    ({"v": 3.0}, _next_propensity, ["propensity"]),
    ({"v": 3.0}, lambda r: r.update(propensity=-r["propensity"]), ["propensity"]),
    ({"v": 3.0}, lambda r: r["features"].pop(), ["features"]),
    ({"v": 3.0}, lambda r: r.update(model_version=r["model_version"] + 1), ["model_version"]),
    ({"v": 3.0}, lambda r: r.update(decision_id="s:1", chosen=1 - r["chosen"]),
     ["decision_id", "chosen"]),
])
def test_compare_decision_is_bit_for_bit(context, edit, checks):
    record = _record(context)
    data = json.loads(ow.log_line(record))
    if edit is not None:
        edit(data["record"])
    assert [c for c, _, _ in compare_decision(record, data)] == checks


def test_a_zero_propensity_compares_by_its_sign():
    record = _record({"v": 3.0})
    data = json.loads(ow.log_line(record))
    data["record"]["propensity"] = 0.0
    [(check, logged, replayed)] = compare_decision(record, data)
    assert (check, logged) == ("propensity", 0.0)


def _outcome(start, path, lazy):
    """What a replay makes of a log: its error, or its mismatches and state."""
    try:
        result = replay_events(start, iter_events([path], lazy_features=lazy), keep_going=True)
    except LogError as e:
        return ("error", str(e))
    return ([(m.line, m.check, repr(m.logged), repr(m.expected)) for m in result.mismatches],
            result.decisions, ow.serialize(result.state))


def _raw_edit(old, new):
    return lambda line: line.replace(old, new, 1)


def _features_of(d):
    return d["record"]["features"]


# edits of one decision line's text, some of which its quick reading must not accept
LINE_EDITS = [
    ("value an integer", lambda line: _retext(line, lambda d: _features_of(d)[0].__setitem__(1, 7))),
    ("value changed", lambda line: _retext(line, lambda d: _features_of(d)[0].__setitem__(1, 0.5))),
    ("pair dropped", lambda line: _retext(line, lambda d: _features_of(d).pop())),
    ("index a float", lambda line: _retext(line, lambda d: _features_of(d)[0].__setitem__(0, 1.0))),
    ("negative zero value", lambda line: _retext(line, lambda d: _features_of(d)[0].__setitem__(1, -0.0))),
    ("nested", lambda line: _retext(line, lambda d: _features_of(d).insert(1, [[1, 2.0]]))),
    ("spaced out", lambda line: json.dumps(json.loads(line))),
    ("second features key", lambda line: _retext(line, lambda d: d["context"].update(features=[[1, 2.0]]))),
    ("features key escaped", _raw_edit('"features":', '"feat\\u0075res":')),
    ("bracket too many", _raw_edit("]],", "]]],")),
    ("bracket too few", _raw_edit("]],", "],")),
    ("features not last", _raw_edit('"chosen":', '"features":[],"chosen":')),
    ("garbage after", _raw_edit("]],", "]]x,")),
]


def _retext(line, edit):
    d = json.loads(line)
    edit(d)
    return json.dumps(d, separators=(",", ":"))


@pytest.mark.parametrize("name, edit", LINE_EDITS, ids=[e[0] for e in LINE_EDITS])
def test_the_quick_reading_of_features_changes_no_outcome(tmp_path, logged, name, edit):
    host, _ = logged
    k = decision_lines(host.lines)[12]
    line = host.lines[k]
    assert '"features":[[' in line  # the edits act on a line with features
    lines = host.lines[:k] + [edit(line)] + host.lines[k + 1:]
    path = host.write(tmp_path / "e.log", lines)
    start = Start.create(**{k_: PARAMS[k_] for k_ in PARAMS})
    assert _outcome(start, path, True) == _outcome(start, path, False)
