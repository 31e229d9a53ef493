"""Runs the news-site example on a short day and checks what it leaves behind."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

import ordwyne as ow
from conftest import parse_state

pytest.importorskip("matplotlib")
pytest.importorskip("rich")
pytest.importorskip("numpy")

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "news_site.py"
DECISION_KEYS = ["event", "bits", "context", "candidates", "record"]
RECORD_KEYS = ["decision_id", "t", "candidate_hash", "chosen", "features", "propensity",
               "model_version", "salt"]
RESOLUTION_KEYS = ["event", "decision_id", "kind", "reward"]
VISITS, BITS = 600, 10


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    out = tmp_path_factory.mktemp("news")
    done = subprocess.run(
        [sys.executable, str(EXAMPLE), "--visits", str(VISITS), "--bits", str(BITS),
         "--seed", "3", "--out", str(out)],
        capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    return out, done.stdout


def read_log(out):
    lines = (out / "experience.jsonl").read_text().splitlines()
    return [json.loads(line) for line in lines]


def test_reports_identical_checkpoint_run_and_paths(run):
    out, stdout = run
    assert "identical run" in stdout
    for name in ("experience.jsonl", "state.hex", "learning_curve.png"):
        assert name in stdout


def test_log_lines_have_the_expected_shape(run):
    out, _ = run
    entries = read_log(out)
    decisions = [e for e in entries if e["event"] == "decision"]
    resolutions = [e for e in entries if e["event"] == "resolution"]
    assert len(decisions) == VISITS
    assert len(decisions) + len(resolutions) == len(entries)
    for d in decisions:
        assert list(d) == DECISION_KEYS and list(d["record"]) == RECORD_KEYS
        assert d["bits"] == BITS
        assert set(d["context"]) == {"device", "country", "daypart", "interest", "hour"}
        assert len(d["candidates"]) == 20
        assert 0 <= d["record"]["chosen"] < 20
        assert 0 < d["record"]["propensity"] <= 1
    for r in resolutions:
        assert list(r) == RESOLUTION_KEYS
        assert (r["kind"], r["reward"]) in {("rewarded", 1.0), ("expired", 0.0)}
    assert any(r["kind"] == "rewarded" for r in resolutions)


def test_every_decision_is_resolved_exactly_once(run):
    out, _ = run
    entries = read_log(out)
    issued = [e["record"]["decision_id"] for e in entries if e["event"] == "decision"]
    resolved = [e["decision_id"] for e in entries if e["event"] == "resolution"]
    assert len(set(issued)) == len(issued)
    assert sorted(resolved) == sorted(issued)
    # a resolution is never logged before its decision
    seen = set()
    for e in entries:
        if e["event"] == "decision":
            seen.add(e["record"]["decision_id"])
        else:
            assert e["decision_id"] in seen


def test_outputs_parse(run):
    out, _ = run
    picture = (out / "learning_curve.png").read_bytes()
    assert picture.startswith(b"\x89PNG")
    state = ow.deserialize((out / "state.hex").read_text())
    assert ow.model_bits(state) == BITS
    fields = parse_state(ow.serialize(state))
    assert fields["records"] == []  # the example drains the ledger at the end
    assert fields["decision_count"] == VISITS == fields["model_version"]
    checkpoint = ow.deserialize((out / "checkpoint_state.hex").read_text())
    assert 0 < parse_state(ow.serialize(checkpoint))["decision_count"] < VISITS


def test_offline_tool_replays_the_day_exactly(run):
    # The day's log and its start state are all a full verification needs.
    out, _ = run
    done = subprocess.run(
        [sys.executable, "-m", "ordwyne_offline", "verify", str(out / "experience.jsonl"),
         "--state", str(out / "start_state.hex"), "--quiet"],
        capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
