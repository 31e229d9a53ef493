"""Faults in a log give one finding each, at their line; what a later state
catches; the fleet's lines; a checkpoint's lines only at the log's head."""

import json
import tracemalloc

import pytest

import ordwyne as ow
from ordwyne_offline import cli
from ordwyne_offline.logs import iter_events
from ordwyne_offline.verify import Verifier
from test_offline_support import PARAMS, create_args, new_state

LAG = 3  # a decision is resolved this many decisions later
CANDIDATES = [(f"a{j}", {"x": float(j), "k": f"v{j}"}) for j in range(3)]


def lagged_log(n=40, snapshots=()):
    """Decision, resolution, decision, ...: each decision resolved LAG
    decisions later, every fifth one expired. Returns the lines and the
    state's text after the calls of decision i, for i in `snapshots`."""
    state = new_state()
    lines, ids, texts = [], [], {}
    for i in range(n):
        record = ow.decide(state, {"u": float(i % 7)}, CANDIDATES, float(i), "s")
        lines.append(ow.log_line(record))
        ids.append(record.decision_id)
        if i >= LAG:
            j = i - LAG
            late = j % 5 == 0  # past the horizon: expired with the default reward
            lines.append(ow.log_line(ow.learn(state, ids[j], float(j % 2),
                                              float(i) + (10.0 if late else 0.0))))
        if i in snapshots:
            texts[i] = ow.serialize(state)
    return lines, texts


def kind_of(line):
    return json.loads(line)["event"]


def decision_at(lines, nth):
    return [i for i, line in enumerate(lines) if kind_of(line) == "decision"][nth]


def resolution_at(lines, nth):
    return [i for i, line in enumerate(lines) if kind_of(line) == "resolution"][nth]


def run_verify(tmp_path, lines, *extra):
    path = tmp_path / "t.log"
    path.write_text("".join(line + "\n" for line in lines))
    report = tmp_path / "report.json"
    status = cli.main(["verify", str(path), "--json", str(report), "--quiet", *extra])
    return status, json.loads(report.read_text())


def retext(line, edit):
    data = json.loads(line)
    edit(data)
    return json.dumps(data, separators=(",", ":"))


def _duplicated(lines):
    k = decision_at(lines, 12)
    return lines[:k + 1] + [lines[k]] + lines[k + 1:], k + 1, "decision_id"


def _swapped(lines):
    a, b = decision_at(lines, 12), decision_at(lines, 13)  # a resolution lies between
    out = list(lines)
    out[a], out[b] = out[b], out[a]
    return out, b, "decision_id"


def _resolution_lost(lines):
    r = resolution_at(lines, 8)
    return lines[:r] + lines[r + 1:], r, "model_version"  # at the next decision line


def _resolution_repeated(lines):
    r = resolution_at(lines, 8)
    return lines[:r + 1] + [lines[r]] + lines[r + 1:], r + 1, "second_resolution"


def _counter_damaged(lines):
    k = decision_at(lines, 12)
    return lines[:k] + [retext(lines[k], lambda d: d["record"].update(decision_id="s:999"))] \
        + lines[k + 1:], k, "decision_id"


FAULTS = [_duplicated, _swapped, _resolution_lost, _resolution_repeated, _counter_damaged]


@pytest.mark.parametrize("with_state", [False, True], ids=["alone", "with a state"])
@pytest.mark.parametrize("fault", FAULTS, ids=[f.__name__[1:] for f in FAULTS])
def test_a_fault_is_one_finding_at_its_line(tmp_path, fault, with_state):
    lines, _ = lagged_log()
    faulty, index, check = fault(lines)
    status, report = run_verify(tmp_path, faulty, *(create_args() if with_state else []))
    assert status == 1
    assert [(f["line"], f["check"]) for f in report["findings"]] == [(index + 1, check)]


def test_a_lost_resolution_stops_the_replay_where_it_shows(tmp_path):
    lines, _ = lagged_log()
    faulty, index, _ = _resolution_lost(lines)
    _, report = run_verify(tmp_path, faulty, *create_args())
    assert report["replay_stopped"]["line"] > index + 1
    assert "resolution" in report["replay_stopped"]["why"]


@pytest.mark.parametrize("decision_id, check", [("zz:3", "unknown_decision"),
                                                ("s:3", "second_resolution")])
def test_with_a_state_a_resolution_is_matched_by_its_whole_id(tmp_path, decision_id, check):
    lines, _ = lagged_log()
    r = resolution_at(lines, 6)  # s:3 was resolved before
    extra = json.dumps({"event": "resolution", "decision_id": decision_id, "kind": "rewarded",
                        "reward": 1.0}, separators=(",", ":"))
    status, report = run_verify(tmp_path, lines[:r + 1] + [extra] + lines[r + 1:],
                                *create_args())
    assert [(f["line"], f["check"]) for f in report["findings"]] == [(r + 2, check)]


@pytest.fixture
def checkpointed(tmp_path):
    lines, texts = lagged_log(snapshots=(9,))
    contained = decision_at(lines, 10)  # the lines before decision 10 are in the state
    (tmp_path / "ck.state").write_text(texts[9] + "\n")
    return lines, contained, str(tmp_path / "ck.state")


def _altered_first(lines):
    return retext(lines[0], lambda d: d["record"].update(t=99.0))


@pytest.mark.parametrize("late, check", [
    (lambda lines: lines[0], "decision_id"),
    (_altered_first, "decision_id"),
    (lambda lines: lines[resolution_at(lines, 2)], "second_resolution"),
], ids=["decision copied", "decision altered", "resolution copied"])
def test_a_line_older_than_the_checkpoint_after_newer_ones_is_a_finding(tmp_path, checkpointed,
                                                                        late, check):
    lines, contained, state = checkpointed
    status, report = run_verify(tmp_path, lines + [late(lines)], "--state", state)
    assert (status, report["skipped"]) == (1, contained)
    assert [(f["line"], f["check"]) for f in report["findings"]] == [(len(lines) + 1, check)]
    path = tmp_path / "late.log"
    path.write_text("".join(line + "\n" for line in lines + [late(lines)]))
    assert cli.main(["replay", str(path), "--state", state, "--out",
                     str(tmp_path / "out.state")]) == 1
    assert not (tmp_path / "out.state").exists()


# -- a later state -------------------------------------------------------------

def _t_changed(lines):
    k = decision_at(lines, 28)  # still pending at the later checkpoint
    return lines[:k] + [retext(lines[k], lambda d: d["record"].update(t=d["record"]["t"] + 0.5))] \
        + lines[k + 1:]


def _resolutions_swapped(lines):
    a, b = resolution_at(lines, 14), resolution_at(lines, 15)
    out = list(lines)
    out[a], out[b] = out[b], out[a]
    return out


def _rewarded(lines, n):
    rewarded = [i for i, line in enumerate(lines) if kind_of(line) == "resolution"
                and json.loads(line)["kind"] == "rewarded" and json.loads(line)["reward"] == 1.0]
    return rewarded[n]


def _reward_changed(lines):
    r = _rewarded(lines, 4)
    return lines[:r] + [retext(lines[r], lambda d: d.update(reward=0.0))] + lines[r + 1:]


def _kind_changed(lines):  # to expired, with the default reward the kind implies
    r = _rewarded(lines, 4)
    return lines[:r] + [retext(lines[r], lambda d: d.update(kind="expired",
                                                            reward=PARAMS["default_reward"]))] \
        + lines[r + 1:]


LATER_FAULTS = [_t_changed, _resolutions_swapped, _reward_changed, _kind_changed]


@pytest.fixture
def two_states(tmp_path):
    lines, texts = lagged_log(n=40, snapshots=(5, 30))
    for name, i in (("start", 5), ("later", 30)):
        (tmp_path / f"{name}.state").write_text(texts[i])
    return lines, str(tmp_path / "start.state"), str(tmp_path / "later.state")


@pytest.mark.parametrize("fault", LATER_FAULTS, ids=[f.__name__[1:] for f in LATER_FAULTS])
def test_a_later_state_catches_what_a_start_state_cannot(tmp_path, two_states, fault):
    lines, start, later = two_states
    faulty = fault(lines)
    assert run_verify(tmp_path, faulty, "--state", start)[0] == 0
    status, report = run_verify(tmp_path, faulty, "--state", start, "--expect", later)
    assert status == 1
    [finding] = report["findings"]
    assert finding["check"] == "expect"
    # compared where the replay holds what the later state holds: after decision 30's calls
    assert finding["line"] < decision_at(lines, 31) + 1


@pytest.mark.parametrize("later_is_start", [False, True])
def test_a_sound_log_arrives_at_the_later_state(tmp_path, two_states, later_is_start):
    lines, start, later = two_states
    status, report = run_verify(tmp_path, lines, "--state", start,
                                "--expect", start if later_is_start else later)
    assert (status, report["findings"]) == (0, [])


@pytest.mark.parametrize("argv, message", [
    (["--expect", "{later}"], "--expect needs a start state"),
    (["--state", "{later}", "--expect", "{start}"], "older than the start state"),
    (["--state", "{start}", "--expect", "{missing}"], "cannot read"),
])
def test_unusable_expect_is_a_usage_error(tmp_path, two_states, capsys, argv, message):
    lines, start, later = two_states
    names = dict(start=start, later=later, missing=str(tmp_path / "nope.state"))
    path = tmp_path / "t.log"
    path.write_text("".join(line + "\n" for line in lines))
    assert cli.main(["verify", str(path), "-q", *[a.format(**names) for a in argv]]) == 2
    err = capsys.readouterr().err
    assert message in err and len(err.strip().splitlines()) == 1


def test_another_host_s_state_differs_in_its_settings(tmp_path, two_states):
    lines, start, _ = two_states
    state = ow.create(PARAMS["bits"], PARAMS["horizon"], PARAMS["default_reward"],
                      PARAMS["epsilon"], 0.5)
    for i in range(40):
        record = ow.decide(state, {}, CANDIDATES, float(i), "o")
        ow.learn(state, record.decision_id, 1.0, float(i))
    other = tmp_path / "other.state"
    other.write_text(ow.serialize(state))
    status, report = run_verify(tmp_path, lines, "--state", start, "--expect", str(other))
    [finding] = report["findings"]
    assert (status, finding["check"], finding["logged"]) == (1, "expect", ["settings (forgetting)"])


# -- replay refuses what verify refuses ------------------------------------------

def test_replay_refuses_a_line_of_other_bits(tmp_path, capsys):
    lines, _ = lagged_log(10)
    k = decision_at(lines, 4)
    path = tmp_path / "b.log"
    path.write_text("".join(line + "\n" for line in
                            lines[:k] + [retext(lines[k], lambda d: d.update(bits=7))]
                            + lines[k + 1:]))
    assert cli.main(["replay", str(path), *create_args(), "--out", str(tmp_path / "o")]) == 1
    assert f"b.log:{k + 1}: bits:" in capsys.readouterr().err


def test_a_candidate_that_is_no_pair_is_refused_by_name(tmp_path, capsys):
    # the quick reading leaves the candidates' items to decide: the message stays the reader's
    lines, _ = lagged_log(10)
    k = decision_at(lines, 4)
    bad = retext(lines[k], lambda d: d["candidates"].__setitem__(1, [1, {}]))
    path = tmp_path / "c.log"
    path.write_text("".join(line + "\n" for line in lines[:k] + [bad] + lines[k + 1:]))
    assert cli.main(["replay", str(path), *create_args(), "--out", str(tmp_path / "o")]) == 2
    assert "'candidates' holds an item that is not a [name, object] pair" in \
        capsys.readouterr().err
    for extra in ([], create_args()):
        status, report = run_verify(tmp_path, lines[:k] + [bad] + lines[k + 1:], *extra)
        assert [(f["line"], f["check"]) for f in report["findings"]] == [(k + 1, "malformed")]


def test_until_line_is_a_count_of_lines(tmp_path, capsys):
    lines, _ = lagged_log(5)
    path = tmp_path / "u.log"
    path.write_text("".join(line + "\n" for line in lines))
    with pytest.raises(SystemExit) as e:
        cli.build_parser().parse_args(["replay", str(path), *create_args(), "--out",
                                       str(tmp_path / "o"), "--until-line", "-5"])
    assert e.value.code == 2 and "is not a number of lines" in capsys.readouterr().err


# -- a fleet's lines ---------------------------------------------------------------

def outcome(decision_id, reward=1.0, t=1.0):
    return json.dumps({"event": "outcome", "decision_id": decision_id, "reward": reward,
                       "t": t}, separators=(",", ":"))


def watermark(t, final=False):
    return json.dumps({"event": "watermark", "t": t, **({"final": True} if final else {})},
                      separators=(",", ":"))


def worker_lines(n=6, salt="w"):
    """A fleet worker's decisions: it never trains, so no resolutions."""
    state = new_state()
    return [ow.log_line(ow.decide(state, {}, CANDIDATES, float(i), salt)) for i in range(n)]


def verify_files(tmp_path, files):
    paths = []
    for i, lines in enumerate(files):
        paths.append(tmp_path / f"f{i}.jsonl")
        paths[-1].write_text("".join(line + "\n" for line in lines))
    report = tmp_path / "report.json"
    status = cli.main(["verify", *map(str, paths), "--json", str(report), "-q"])
    return status, json.loads(report.read_text())


def test_fleet_lines_verify_clean_and_are_counted(tmp_path):
    a = worker_lines(salt="wa")
    b = worker_lines(salt="wb")
    # outcomes reported by either worker, one before its decision's file is read
    a = a[:3] + [outcome("wb:4"), watermark(2.0)] + a[3:] + [outcome("wa:1"),
                                                             watermark(9.0, final=True)]
    status, report = verify_files(tmp_path, [a, b])
    assert (status, report["outcomes"], report["watermarks"], report["findings"]) == (0, 2, 2, [])


@pytest.mark.parametrize("edit, line, check", [
    (lambda a: a + [outcome("wa:77")], 7, "unknown_decision"),
    (lambda a: a[:2] + [watermark(2.5)] + a[2:], 4, "watermark"),
], ids=["outcome of no decision", "decision older than its watermark"])
def test_fleet_line_faults(tmp_path, edit, line, check):
    status, report = verify_files(tmp_path, [edit(worker_lines(salt="wa")),
                                             worker_lines(salt="wb")])
    assert status == 1
    assert [(f["file"].rsplit("/", 1)[-1], f["line"], f["check"]) for f in report["findings"]] \
        == [("f0.jsonl", line, check)]


def test_a_second_outcome_is_a_warning(tmp_path):
    a = worker_lines(salt="wa")
    status, report = verify_files(tmp_path, [a + [outcome("wa:2"), outcome("wa:2", 0.0)]])
    assert (status, report["warnings"], report["findings"]) == (0, 1, [])


def test_replay_passes_over_fleet_lines(tmp_path):
    lines, _ = lagged_log(12)
    mixed = lines[:5] + [outcome("s:1"), watermark(3.0)] + lines[5:]
    paths = []
    for name, ls in (("plain", lines), ("mixed", mixed)):
        (tmp_path / f"{name}.log").write_text("".join(line + "\n" for line in ls))
        assert cli.main(["replay", str(tmp_path / f"{name}.log"), *create_args(),
                         "--out", str(tmp_path / f"{name}.state")]) == 0
        paths.append((tmp_path / f"{name}.state").read_text())
    assert paths[0] == paths[1]


# -- memory --------------------------------------------------------------------------

def test_counters_far_apart_cost_no_memory(tmp_path):
    # each decision's counter 2**20 past the last: the table must follow the lines
    state = new_state()
    lines = []
    for i in range(200):
        record = json.loads(ow.log_line(ow.decide(state, {}, CANDIDATES, float(i), "s")))
        record["record"]["decision_id"] = f"s:{i << 20}"
        lines.append(json.dumps(record, separators=(",", ":")))
        lines.append(json.dumps({"event": "resolution", "decision_id": f"s:{i << 20}",
                                 "kind": "rewarded", "reward": 1.0}, separators=(",", ":")))
    path = tmp_path / "far.log"
    path.write_text("".join(line + "\n" for line in lines))
    verifier = Verifier()
    tracemalloc.start()
    try:
        for ev in iter_events([str(path)], incomplete="report", malformed="report"):
            verifier.feed(ev)
        verifier.finish()
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 16 << 20
    assert verifier.counts["missing_decisions"] == 199
