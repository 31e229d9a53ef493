import json
import math

import pytest

import ordwyne as ow
from ordwyne_offline import cli
from test_offline_support import PARAMS, Host, create_args, decision_lines, resolution_lines


@pytest.fixture(scope="module")
def host():
    h = Host(5, salt="s")
    h.run(160)
    kinds = [json.loads(line).get("kind") for line in h.lines]
    assert "expired" in kinds and "rewarded" in kinds
    return h


def verify(tmp_path, lines, *extra, name="t.log"):
    path = tmp_path / name
    path.write_text("".join(line + "\n" for line in lines))
    report = tmp_path / "report.json"
    status = cli.main(["verify", str(path), "--json", str(report), "--quiet", *extra])
    return status, json.loads(report.read_text())


def edited(lines, index, edit):
    data = json.loads(lines[index])
    edit(data)
    return lines[:index] + [json.dumps(data, separators=(",", ":"))] + lines[index + 1:]


def _set(path, value):
    def edit(d):
        for key in path[:-1]:
            d = d[key]
        d[path[-1]] = value(d[path[-1]]) if callable(value) else value
    return edit


def _rename_candidate(d):
    d["candidates"][0][0] += "!"


def _repeat_count(d):
    salt, _, count = d["record"]["decision_id"].rpartition(":")
    d["record"]["decision_id"] = f"{salt}:{int(count) - 1}"


def _drop(key):
    return lambda d: d.pop(key)


# (what is changed, the edit, the one finding expected at that line, needs a start state)
DECISION_TAMPERS = [
    ("id counter ahead", _set(("record", "decision_id"), "s:999999"), "decision_id", False),
    ("id counter repeated", _repeat_count, "decision_id", False),
    ("id without the salt", _set(("record", "decision_id"), lambda v: "x" + v), "decision_id", False),
    ("id not a counter", _set(("record", "decision_id"), lambda v: v + "a"), "decision_id", False),
    ("salt", _set(("record", "salt"), "other"), "decision_id", False),
    ("candidate_hash", _set(("record", "candidate_hash"), lambda v: v ^ 1), "candidate_hash", False),
    ("chosen out of range", _set(("record", "chosen"), 99), "chosen", False),
    ("features dropped", _set(("record", "features"), lambda v: v[:-1]), "features", False),
    ("feature value", _set(("record", "features"), lambda v: [[v[0][0], 12345.5]] + v[1:]),
     "features", False),
    ("propensity above 1", _set(("record", "propensity"), 1.5), "propensity", False),
    ("propensity NaN", _set(("record", "propensity"), math.nan), "propensity", False),
    ("model_version up", _set(("record", "model_version"), lambda v: v + 1), "model_version", False),
    ("context", _set(("context",), lambda v: dict(v, extra="x")), "candidate_hash", False),
    ("candidate name", _rename_candidate, "candidate_hash", False),
    ("bits", _set(("bits",), lambda v: v % 24 + 1), "candidate_hash", False),
    ("event", _set(("event",), "decisions"), "malformed", False),
    ("record dropped", _drop("record"), "malformed", False),
    ("t a string", _set(("record", "t"), "now"), "malformed", False),
    ("feature value an integer", _set(("record", "features"), lambda v: [[v[0][0], 1]] + v[1:]),
     "malformed", False),
    ("propensity in range", _set(("record", "propensity"), lambda v: v / 2), "propensity", True),
]


@pytest.mark.parametrize("name, edit, check, with_state", DECISION_TAMPERS,
                         ids=[t[0] for t in DECISION_TAMPERS])
def test_a_tampered_decision_line_gives_its_finding_at_that_line(tmp_path, host, name, edit,
                                                                 check, with_state):
    decisions = decision_lines(host.lines)
    # a decision with several candidates, late enough to have a model version and a
    # predecessor, whose line is followed by another decision line
    k = next(i for i in decisions[8:]
             if len(json.loads(host.lines[i])["candidates"]) > 1 and i + 1 in decisions)
    lines = edited(host.lines, k, edit)
    extra = create_args() if with_state else []
    status, report = verify(tmp_path, lines, *extra)
    assert status == 1 and not report["ok"]
    at_line = [f["check"] for f in report["findings"] if f["line"] == k + 1]
    assert at_line == [check]
    assert all(f["line"] > k for f in report["findings"])  # nothing before it is blamed
    if check == "malformed" and name != "record dropped":  # nor, the id being visible,
        # any line after it
        assert len(report["findings"]) == 1, report["findings"]


def test_chosen_pointing_at_another_candidate_names_the_candidate(tmp_path, host):
    decisions = decision_lines(host.lines)
    k = next(i for i in decisions[5:] if len(json.loads(host.lines[i])["candidates"]) > 2)
    chosen = json.loads(host.lines[k])["record"]["chosen"]
    lines = edited(host.lines, k, _set(("record", "chosen"), (chosen + 1) % 3))
    status, report = verify(tmp_path, lines)
    [finding] = [f for f in report["findings"] if f["line"] == k + 1]
    assert (finding["check"], finding["logged"], finding["expected"]) == \
        ("chosen", (chosen + 1) % 3, chosen)


def test_propensity_zero_is_a_warning_not_a_finding(tmp_path, host, capsys):
    k = decision_lines(host.lines)[3]
    status, report = verify(tmp_path, edited(host.lines, k, _set(("record", "propensity"), 0.0)))
    assert status == 0 and report["ok"] and report["warnings"] == 1


def _resolution_of(lines, kind):
    return next(i for i in resolution_lines(lines) if json.loads(lines[i])["kind"] == kind)


def test_tampered_resolution_lines(tmp_path, host):
    lines = host.lines
    r = resolution_lines(lines)[5]
    earlier = json.loads(lines[resolution_lines(lines)[2]])["decision_id"]
    cases = [
        (edited(lines, r, _set(("decision_id",), "s:999999")), r, "unknown_decision", []),
        (edited(lines, r, _set(("decision_id",), "nonsense")), r, "unknown_decision", []),
        (edited(lines, r, _set(("decision_id",), earlier)), r, "second_resolution", []),
        (lines[:r + 1] + [lines[r]] + lines[r + 1:], r + 1, "second_resolution", []),
        (edited(lines, r, _set(("kind",), "won")), r, "malformed", []),
        (edited(lines, r, _set(("reward",), "1")), r, "malformed", []),
        (edited(lines, _resolution_of(lines, "expired"), _set(("reward",), 123.0)),
         _resolution_of(lines, "expired"), "reward", create_args()),
    ]
    for tampered, index, check, extra in cases:
        status, report = verify(tmp_path, tampered, *extra)
        assert status == 1, check
        assert [f["check"] for f in report["findings"] if f["line"] == index + 1] == [check]


def test_deleting_a_decision_line_gives_missing_decisions(tmp_path, host):
    decisions = decision_lines(host.lines)
    k = decisions[7]
    lines = host.lines[:k] + host.lines[k + 1:]
    status, report = verify(tmp_path, lines)
    first = report["findings"][0]
    assert first["check"] == "missing_decisions"
    assert first["line"] == decisions[8]  # the next decision line, one line earlier now
    gone = json.loads(host.lines[k])["record"]["decision_id"]
    # its resolution, if logged, now resolves a decision the log does not have
    assert {f["check"] for f in report["findings"][1:]} <= {"unknown_decision"}
    assert all(f["decision_id"] == gone for f in report["findings"][1:])


def test_deleting_a_resolution_line_shifts_the_model_version_once(tmp_path, host):
    r = resolution_lines(host.lines)[4]
    lines = host.lines[:r] + host.lines[r + 1:]
    status, report = verify(tmp_path, lines)
    assert [f["check"] for f in report["findings"]] == ["model_version"]


def test_truncated_last_line_is_reported(tmp_path, host):
    path = tmp_path / "torn.log"
    path.write_text("".join(line + "\n" for line in host.lines[:-1]) + host.lines[-1][:-7])
    report = tmp_path / "r.json"
    assert cli.main(["verify", str(path), "--json", str(report), "-q"]) == 1
    findings = json.loads(report.read_text())["findings"]
    assert [(f["line"], f["check"]) for f in findings] == [(len(host.lines),
                                                            "incomplete_last_line")]


def test_with_a_state_a_divergence_is_reported_once(tmp_path, host):
    other = dict(PARAMS, epsilon=1.0)
    status, report = verify(tmp_path, host.lines, *create_args(other))
    checks = [f["check"] for f in report["findings"]]
    assert status == 1 and checks.count("replay_diverged") == 1
    # before the draw diverged, the differing probabilities show as propensity findings
    assert set(checks) <= {"propensity", "replay_diverged"}


def test_clean_log_report_and_terminal_output(tmp_path, host, capsys):
    path = tmp_path / "h.log"
    path.write_text("".join(line + "\n" for line in host.lines))
    report = tmp_path / "r.json"
    assert cli.main(["verify", str(path), *create_args(), "--json", str(report)]) == 0
    data = json.loads(report.read_text())
    assert data == {"ok": True, "lines": len(host.lines),
                    "decisions": len(decision_lines(host.lines)),
                    "resolutions": len(resolution_lines(host.lines)), "outcomes": 0,
                    "watermarks": 0, "skipped": 0, "warnings": 0, "replay_stopped": None,
                    "findings": []}
    out = capsys.readouterr().out
    assert "OK: no findings" in out and all(len(line) <= 80 for line in out.splitlines())


def test_findings_are_printed_with_file_and_line(tmp_path, host, capsys):
    k = decision_lines(host.lines)[4]
    lines = edited(host.lines, k, _set(("record", "candidate_hash"), 1))
    path = tmp_path / "h.log"
    path.write_text("".join(line + "\n" for line in lines))
    assert cli.main(["verify", str(path)]) == 1
    out = capsys.readouterr().out
    assert f"h.log:{k + 1} [s:" in out and "candidate_hash" in out
    assert "FAILED: 1 findings (candidate_hash 1)" in out


def test_checkpoint_start_skips_contained_lines(tmp_path):
    host = Host(9, salt="s")
    host.run(40)
    checkpoint = ow.serialize(host.state)
    contained = len(host.lines)
    host.run(40)
    (tmp_path / "ck.state").write_text(checkpoint + "\n")
    status, report = verify(tmp_path, host.lines, "--state", str(tmp_path / "ck.state"))
    assert status == 0 and report["skipped"] == contained


@pytest.mark.parametrize("argv", [["missing.log"], ["h.log", "--state", "missing.state"],
                                  ["h.log", "--bits", "3"]])
def test_unreadable_input_exits_2(tmp_path, host, monkeypatch, argv):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "h.log").write_text(host.lines[0] + "\n")
    assert cli.main(["verify", *argv, "-q"]) == 2


def _process_log(salt, seed, steps=60):
    h = Host(seed, salt=salt)
    h.run(steps)
    return h.lines


def _round_robin(a, b):
    out = []
    for i in range(max(len(a), len(b))):
        out += a[i:i + 1] + b[i:i + 1]
    return out


@pytest.mark.parametrize("merge", [lambda a, b: a + b, _round_robin],
                         ids=["concatenated", "interleaved"])
def test_merged_logs_of_several_processes_verify_clean(tmp_path, merge):
    a, b = _process_log("pa", 1), _process_log("pb", 2)
    status, report = verify(tmp_path, merge(a, b))
    assert (status, report["findings"]) == (0, [])
    assert report["decisions"] == len(decision_lines(a)) + len(decision_lines(b))


@pytest.mark.parametrize("which", [0, 1])
@pytest.mark.parametrize("merge", [lambda a, b: a + b, _round_robin],
                         ids=["concatenated", "interleaved"])
def test_a_gap_in_one_process_of_a_merged_log_is_missing_decisions(tmp_path, merge, which):
    logs = [_process_log("pa", 1), _process_log("pb", 2)]
    k = decision_lines(logs[which])[6]
    gone = json.loads(logs[which][k])["record"]["decision_id"]
    logs[which] = logs[which][:k] + logs[which][k + 1:]
    status, report = verify(tmp_path, merge(*logs))
    checks = [(f["check"], f["decision_id"]) for f in report["findings"]]
    salt = "pa" if which == 0 else "pb"
    missing = [d for c, d in checks if c == "missing_decisions"]
    assert status == 1 and len(missing) == 1 and missing[0].startswith(salt + ":")
    # nothing else but the lost decision's own resolution is blamed
    assert {c for c, d in checks if c != "missing_decisions"} <= {"unknown_decision"}
    assert all(d == gone for c, d in checks if c == "unknown_decision")


def test_a_resolution_repeated_in_one_process_of_a_merged_log(tmp_path):
    a, b = _process_log("pa", 1), _process_log("pb", 2)
    r = resolution_lines(b)[3]
    merged = a + b[:r + 1] + [b[r]] + b[r + 1:]
    status, report = verify(tmp_path, merged)
    line = len(a) + r + 2
    # one fault, one finding: the next model version shows the host never counted it
    assert [(f["line"], f["check"]) for f in report["findings"]] == [(line, "second_resolution")]


def test_one_state_with_several_salts_is_one_sequence(tmp_path):
    state = ow.create(4, 5.0)
    lines = []
    for i, salt in enumerate(["x", "y", "x", "z", "x", "y"]):
        record = ow.decide(state, {}, [("a", {}), ("b", {})], float(i), salt)
        if i != 4:  # the fifth decision's line is lost
            lines.append(ow.log_line(record))
    status, report = verify(tmp_path, lines)
    assert [(f["check"], f["logged"], f["expected"]) for f in report["findings"]] == \
        [("missing_decisions", 5, 4)]


def test_with_a_start_state_a_merged_log_is_one_state_s_history(tmp_path):
    # a replay follows one state: the second process's counter restarting is a finding
    a, b = _process_log("pa", 1, 20), _process_log("pb", 2, 20)
    status, report = verify(tmp_path, a + b, *create_args())
    first_of_b = len(a) + decision_lines(b)[0] + 1
    assert status == 1
    assert [f["check"] for f in report["findings"] if f["line"] == first_of_b][:1] == \
        ["decision_id"]
