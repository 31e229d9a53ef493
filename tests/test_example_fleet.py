"""Runs the news site's fleet demonstration on a short day."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("numpy")
pytest.importorskip("rich")

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
EXAMPLE = EXAMPLES / "news_fleet.py"
sys.path.insert(0, str(EXAMPLES))

import news_fleet  # noqa: E402


def run(*args, timeout=300):
    return subprocess.run([sys.executable, str(EXAMPLE), *args], capture_output=True,
                          text=True, timeout=timeout)


def test_every_click_goes_to_another_worker():
    home, reporter = news_fleet.routes(5000, 4, seed=3)
    assert (home != reporter).all()
    assert set(home.tolist()) == set(reporter.tolist()) == {0, 1, 2, 3}


@pytest.mark.slow
def test_a_short_day(tmp_path):
    out = tmp_path / "fleet"
    done = run("--visits", "600", "--seconds", "3", "--bits", "10", "--workers", "3",
               "--seed", "5", "--out", str(out))
    assert done.returncode == 0, done.stdout + done.stderr
    for row in ("3 isolated workers", "3 workers + learner", "one process, all traffic"):
        assert row in done.stdout
    assert "lag from outcome to published snapshot" in done.stdout
    assert "bit for" in done.stdout  # the follow run ended where batch train ends
    report = json.loads((out / "learner.report.json").read_text())
    # every decision of the day reached the learner, every click once
    assert report["decisions"] == 600
    assert report["duplicate_decisions"] == 0 and report["orphaned_outcomes"] == 0
    assert report["duplicate_outcomes"] == 0
    assert report["outcomes"] == report["rewarded"] + report["late"] + report["after_expiry"]
    assert report["rewarded"] > 0
    assert len(list((out / "events").glob("*.jsonl"))) == 3
    assert (out / "learner_state.hex").read_text() == (out / "batch.hex").read_text()
    # a second run starts afresh instead of following the first one's checkpoint
    again = run("--visits", "300", "--seconds", "2", "--bits", "10", "--workers", "2",
                "--out", str(out))
    assert again.returncode == 0, again.stdout + again.stderr
    assert json.loads((out / "learner.report.json").read_text())["decisions"] == 300


@pytest.mark.parametrize("args,message", [
    (["--workers", "1"], "--workers must be at least 2"),
    (["--seconds", "0"], "--seconds must be between"),
    (["--every", "nan"], "--every must be between"),
    (["--visits", "3"], "--visits must be at least 10"),
    (["--bits", "ten"], "invalid int value"),
])
def test_bad_flags(args, message):
    done = run(*args, timeout=60)
    assert done.returncode == 2
    assert message in done.stderr and "Traceback" not in done.stderr
