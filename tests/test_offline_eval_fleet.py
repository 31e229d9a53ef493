"""`ordwyne eval` on a fleet's lines (outcomes from any worker, watermarks),
and eval judging decision lines as the other commands do."""

import json
import random
import re

import pytest

import ordwyne as ow
from ordwyne_offline.cli import main

POOL = [("a", {"topic": "news"}), ("b", {"topic": "sport", "len": 2.0}), ("c", {}),
        ("d", {"topic": "tech"})]
HORIZON = 5.0
FLAGS = ["--bits", "8", "--horizon", repr(HORIZON), "--epsilon", "0.2,0",
         "--forgetfulness", "0.99"]


def outcome(did, reward, t):
    return json.dumps({"event": "outcome", "decision_id": did, "reward": reward, "t": t},
                      separators=(",", ":"))


def watermark(t):
    return json.dumps({"event": "watermark", "t": t}, separators=(",", ":"))


def twin_logs(n=300, seed=3, salt="w"):
    """The same traffic logged twice: by a host that learns and expires
    itself (resolution lines), and as a fleet logs it (outcome lines from
    whoever learned the reward, a watermark each step). Step i decides at
    t=i, expires what is due, then reports the rewards that arrive at i,
    some of them after their decision's horizon."""
    state = ow.create(8, HORIZON, 0.0, 0.2, 0.99)
    rng = random.Random(f"twin-{seed}")
    host, fleet, arriving = [], [], {}
    for i in range(n):
        t = float(i)
        candidates = rng.sample(POOL, rng.randint(2, len(POOL)))
        record = ow.decide(state, {"user": f"u{rng.randrange(5)}"}, candidates, t, salt)
        host.append(ow.log_line(record))
        fleet.append(ow.log_line(record))
        if rng.random() < 0.8:
            reward = 1.0 if rng.random() < 0.2 + 0.2 * record.chosen else 0.0
            arriving.setdefault(i + rng.randint(0, 7), []).append((record.decision_id, reward))
        # the fleet's clock moves at each outcome and watermark line
        for did, reward in arriving.pop(i, []):
            resolution = ow.learn(state, did, reward, t)
            if resolution is not None:
                host.append(ow.log_line(resolution))
            host.extend(ow.log_line(r) for r in ow.expire(state, t))
            fleet.append(outcome(did, reward, t))
        host.extend(ow.log_line(r) for r in ow.expire(state, t))
        fleet.append(watermark(t))
    return host, fleet


def evaluate(tmp_path, lines, *argv, name="report.json"):
    paths = []
    for k, part in enumerate(lines):
        path = tmp_path / f"{name}.{k}.log"
        path.write_text("\n".join(part) + "\n")
        paths.append(str(path))
    out = tmp_path / name
    assert main(["eval", *paths, *argv, "--quiet", "--jobs", "1", "--json", str(out)]) == 0
    return json.loads(out.read_text())


def test_a_fleet_log_counts_as_the_hosts_own(tmp_path, capsys):
    """Outcomes counted by their time against the horizon, decisions without
    one expired by the log's clock, repeats and strays ignored: the rows
    equal, to the bit, those of the host that learned the same outcomes."""
    host, fleet = twin_logs()
    fleet.append(outcome("nobody:1", 1.0, 299.0))  # its decision never comes
    repeated = next(i for i, line in enumerate(fleet) if '"outcome"' in line and i > 100)
    fleet.insert(repeated + 1, fleet[repeated])
    a = evaluate(tmp_path, [host], *FLAGS, "--bits", "8,9", name="host.json")
    b = evaluate(tmp_path, [fleet], *FLAGS, "--bits", "8,9", name="fleet.json")
    assert b["rows"] == a["rows"]
    ca, cb = a["counts"], b["counts"]
    assert cb["used"] == ca["used"] > 200 and cb["unresolved"] == ca["unresolved"] > 0
    outcomes = sum('"outcome"' in line for line in fleet)
    late = sum(1 for line in host if '"kind":"expired"' in line)  # expired, late or not
    assert cb["outcomes"] == outcomes
    assert cb["orphaned_outcomes"] == 1 and cb["duplicate_outcomes"] >= 1
    # every decision resolved in the host's log is resolved in the fleet's,
    # by an outcome in time, a late one, or the clock
    assert (cb["outcomes"] - cb["orphaned_outcomes"] - cb["duplicate_outcomes"]
            + cb["expired_by_time"]) == ca["resolutions"]
    assert cb["late_outcomes"] + cb["expired_by_time"] == late and cb["late_outcomes"] > 0
    assert cb["watermarks"] == 300 and cb["behind_clock"] == 0
    out = " ".join(capsys.readouterr().out.split())
    assert f"fleet lines: {outcomes} outcomes ({cb['late_outcomes']} at or past the horizon" in out
    assert "not in time order" not in out


def test_outcome_before_its_decision_still_counts(tmp_path):
    """A worker may log an outcome before another worker's decision line
    is read; it waits for the decision instead of being lost."""
    _, fleet = twin_logs(n=150)
    at = next(i for i, line in enumerate(fleet)
              if '"outcome"' in line and '"reward":1.0' in line and i > 50)
    did = json.loads(fleet[at])["decision_id"]
    decision = next(i for i, line in enumerate(fleet) if f'"decision_id":"{did}"' in line
                    and '"event":"decision"' in line)
    moved = fleet[:decision] + [fleet[at]] + fleet[decision:at] + fleet[at + 1:]
    a = evaluate(tmp_path, [fleet], *FLAGS, name="a.json")
    b = evaluate(tmp_path, [moved], *FLAGS, name="b.json")
    assert b["counts"]["used"] == a["counts"]["used"]
    assert b["counts"]["orphaned_outcomes"] == a["counts"]["orphaned_outcomes"] == 0
    assert b["rows"][0]["ips"]["estimate"] == a["rows"][0]["ips"]["estimate"]


def test_a_fleets_files_are_merged_by_time(tmp_path, capsys):
    """One worker's file holds the decisions, another's the outcomes it
    reported. Read one after the other they are out of time order, and
    eval says so; as the fleet's event directory they are merged by time,
    as the learner merges them, and count as the single log does."""
    _, fleet = twin_logs(n=200)
    events = tmp_path / "events"
    events.mkdir()
    (events / "a.jsonl").write_text("\n".join(l for l in fleet if '"outcome"' not in l) + "\n")
    (events / "b.jsonl").write_text("\n".join(l for l in fleet if '"outcome"' in l) + "\n")
    single = evaluate(tmp_path, [fleet], *FLAGS, name="single.json")
    reports = {}
    for how, logs in (("merged", [str(events)]),
                      ("in order", [str(events / "a.jsonl"), str(events / "b.jsonl")])):
        out = tmp_path / "r.json"
        assert main(["eval", *logs, *FLAGS, "--quiet", "--jobs", "1", "--json", str(out)]) == 0
        reports[how] = json.loads(out.read_text())
    merged, in_order = reports["merged"], reports["in order"]
    for key in ("used", "outcomes", "unresolved"):
        assert merged["counts"][key] == single["counts"][key], key
    # at equal times the decisions' file comes first: its watermark closes
    # what an outcome at the horizon would have found open (the default
    # reward either way)
    default = [r["counts"]["late_outcomes"] + r["counts"]["expired_by_time"]
               for r in (merged, single)]
    assert default[0] == default[1]
    assert merged["rows"][0]["ips"]["estimate"] == pytest.approx(
        single["rows"][0]["ips"]["estimate"], rel=1e-12)
    assert merged["counts"]["behind_clock"] == 0 and merged["logs"] == [str(events)]
    assert merged["best"]["command"][2] == str(events)  # train takes the directory too
    assert in_order["counts"]["behind_clock"] > 20
    assert any("not in time order" in w for w in in_order["warnings"])
    assert "give a fleet's event directory" in " ".join(capsys.readouterr().out.split())


# -- one validation for every command ----------------------------------------

def small_log(tmp_path, features_text):
    state = ow.create(8, HORIZON, 0.0, 0.2, 0.99)
    lines = []
    for i in range(6):
        record = ow.decide(state, {"u": "x"}, POOL[:3], float(i), "v")
        lines.append(ow.log_line(record))
        lines.append(ow.log_line(ow.learn(state, record.decision_id, 1.0, float(i))))
    lines[4] = re.sub(r'"features":\[\[.*?\]\]', lambda m: '"features":' + features_text,
                      lines[4])
    path = tmp_path / "log"
    path.write_text("\n".join(lines) + "\n")
    return str(path)


@pytest.mark.parametrize("features, sound", [
    ("[[this is not JSON]]", False),
    ("[[01,1.0]]", False),   # a leading zero is no JSON number
    ("[[1,.5]]", False),
    ("[[1,5.]]", False),
    ("[[1,2]]", False),      # an integer where a float belongs
    ("[[-1,1.0]]", False),
    ("[[1,1.0],[2,1.0]", False),
    ("[[1, 1.0], [2, -0.5]]", True),   # spaces: JSON all the same
    ("[[1,1e-05],[7,-2.5E+3]]", True),
    ("[[3,NaN]]", True),
])
def test_eval_judges_decision_lines_as_verify_does(tmp_path, capsys, features, sound):
    log = small_log(tmp_path, features)
    main(["verify", log])  # a sound line that is not the encoding is another finding
    malformed = "malformed" in capsys.readouterr().out
    status = main(["eval", log, *FLAGS, "--quiet", "--jobs", "1"])
    err = capsys.readouterr().err
    assert malformed != sound
    assert status == (0 if sound else 2), err
    if not sound:
        assert err.startswith(f"ordwyne eval: {log}:5: ") and err.count("\n") == 1


def test_plain_pairs_are_sound_json():
    """What the fast check lets through, the full read accepts: random
    edits of a plain vector's text."""
    from ordwyne_offline import logs
    rng = random.Random(5)
    base = b"[[0,1.0],[12,-0.5],[300,2.25]]"
    alphabet = b"0123456789.-+eE[], x"
    passed = 0
    for _ in range(20000):
        text = bytearray(base)
        for _ in range(rng.randint(1, 3)):
            at = rng.randrange(len(text))
            what = rng.randrange(3)
            if what == 0:
                text[at] = rng.choice(alphabet)
            elif what == 1:
                del text[at]
            else:
                text.insert(at, rng.choice(alphabet))
        text = bytes(text)
        if logs._PLAIN_PAIRS.fullmatch(text) is None:
            continue
        passed += 1
        value = json.loads(text)
        assert logs._pairs_ok(value), text
    assert passed > 1000
