"""A fleet at work and under fire: four worker processes on files or Redis
with a following learner; the learner killed with SIGKILL at random moments,
Redis killed mid-run, a worker killed mid-write. Every time the learner must
end bit for bit where batch `train` over the same events ends."""

import json
import multiprocessing
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from fleet_support import (FLEET, MODEL, Pacer, differences, env, file_sink, fleet_facts,
                           live_worker, number, read, redis_sink, report, run_train,
                           simulated_fleet, start_redis, state_fields, train_command)
from test_offline_support import create_args

pytestmark = pytest.mark.slow

FLAGS = create_args(FLEET)
# the learner's own bookkeeping, which differs between a follow and a batch run
FOLLOW_ONLY = ("generation", "late_lines", "bad_lines")


def follow(source, d, *extra):
    return train_command(source, "--follow", "--checkpoint", d / "ckpt", "--publish",
                         d / "snapshots", "--every", "0.2", "--until-idle", "1",
                         "--out", d / "final.state", "--report", d / "final.json", *FLAGS,
                         *extra)


def batch(directory, d):
    r = run_train(directory, *FLAGS, "--out", d / "batch.state", "--report", d / "batch.json")
    assert r.returncode == 0, r.stderr
    return read(d / "batch.state"), report(d / "batch.json")


def same_counts(got, want):
    assert {k: v for k, v in got.items() if k not in FOLLOW_ONLY} == \
        {k: v for k, v in want.items() if k not in FOLLOW_ONLY}


def wait_for(condition, timeout=30.0, what="the fleet"):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.01)


def jsonl(directory):
    return sorted(os.path.join(directory, n) for n in os.listdir(directory)
                  if n.endswith(".jsonl"))


@pytest.mark.parametrize("transport", ["files", "redis"])
def test_a_live_fleet_learns_exactly_like_batch(tmp_path, transport):
    secret = "pw-7f3a"
    if transport == "redis":
        server = start_redis(tmp_path / "redis", password=secret)
        events, extra, files = server.url, ["--archive", tmp_path / "archive"], \
            tmp_path / "archive"
        known = lambda: server.client().scard("ordwyne:sources") == 4  # noqa: E731
    else:
        events, extra = str(tmp_path / "events"), []
        files = tmp_path / "events"
        known = lambda: os.path.isdir(files) and len(jsonl(files)) == 4  # noqa: E731
    snapshots = tmp_path / "snapshots"
    ctx = multiprocessing.get_context("fork")
    inboxes = [ctx.SimpleQueue() for _ in range(4)]
    results = ctx.SimpleQueue()
    t0 = time.monotonic()
    workers = [ctx.Process(target=live_worker, args=(i, events, str(snapshots), inboxes,
                                                     results, t0, 3.0, 11, FLEET))
               for i in range(4)]
    for p in workers:
        p.start()
    try:
        wait_for(known)  # every worker has named its source: the learner waits for all
        learner = subprocess.Popen(follow(events, tmp_path, *extra), stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, env=env())
        for p in workers:
            p.join(60)
            assert p.exitcode == 0
        out, err = learner.communicate(timeout=120)
    finally:
        for p in workers:
            if p.is_alive():
                p.kill()
    assert learner.returncode == 0, err
    assert secret not in out + err

    final = read(tmp_path / "final.state")
    want, want_counts = batch(files, tmp_path)
    assert final == want
    counts = report(tmp_path / "final.json")
    same_counts(counts, want_counts)

    # every decision trained once; every outcome within the horizon rewarded
    facts = fleet_facts(jsonl(files), FLEET["horizon"])
    fields = state_fields(final)
    assert number(fields, "decision_count") == facts["decisions"] == counts["decisions"]
    assert number(fields, "model_version") == facts["decisions"] - facts["pending"]
    assert number(fields, "pending") == facts["pending"]
    assert counts["rewarded"] == facts["rewarded"] > 0
    assert counts["outcomes"] + counts["waiting_outcomes"] == facts["outcomes"]
    assert counts["duplicate_outcomes"] == facts["duplicates"]

    # the workers loaded what the learner published; the last snapshot is the model
    loaded = dict((i, (n, g)) for i, n, g in (results.get() for _ in range(4)))
    assert all(n >= 1 and g[-1] > 0 for n, g in loaded.values()), loaded
    latest = read(snapshots / "LATEST").strip()
    kept = sorted(n for n in os.listdir(snapshots) if n.startswith("snapshot-"))
    assert latest == kept[-1] and len(kept) <= 3
    snapshot = read(snapshots / latest)
    assert differences(snapshot, final, MODEL + ("decision_count",)) == []
    assert number(state_fields(snapshot), "pending") == 0
    if transport == "redis":  # what the learner applied is gone from Redis
        assert server.client().keys("ordwyne:events:*") == []


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    """A fleet's finished events, and the batch learner's state over them."""
    d = tmp_path_factory.mktemp("recorded")
    paths = simulated_fleet(d / "events", d / "unused", seed=5, steps=5000)
    state, counts = batch(d / "events", d)
    return paths, state, counts


def same_archive(archive, paths):
    """The archive holds every source's lines once, in order: the files the
    workers wrote, byte for byte."""
    assert sorted(os.listdir(archive)) == sorted(os.path.basename(p) for p in paths)
    for p in paths:
        with open(p, "rb") as f, open(os.path.join(archive, os.path.basename(p)), "rb") as g:
            assert g.read() == f.read(), p


def _kill_and_restart(cmd, at, log, early=None):
    """Run the learner, SIGKILL it at the moments `at` (seconds from the
    start) and start it again each time; with `early`, the first kill comes
    as soon as early() holds. Returns (exit status, kills); the runs'
    standard error goes to `log`."""
    with open(log, "w") as errors:
        def launch():
            return subprocess.Popen(cmd, env=env(), stdout=subprocess.DEVNULL, stderr=errors)

        start = time.monotonic()
        proc = launch()
        kills = 0
        moments = list(at)
        if early is not None:
            wait_for(early, what="the learner's first lines")
            moments.insert(0, 0.0)
        for moment in moments:
            time.sleep(max(0.0, start + moment - time.monotonic()))
            if proc.poll() is not None:
                break
            proc.send_signal(signal.SIGKILL)
            proc.wait()
            kills += 1
            proc = launch()
        return proc.wait(120), kills


@pytest.mark.parametrize("transport", ["files", "redis"])
@pytest.mark.parametrize("run", range(5))
def test_the_learner_killed_at_random_moments_ends_as_an_uninterrupted_run(
        tmp_path, recorded, transport, run):
    paths, want, want_counts = recorded
    rng = random.Random(100 * run + (transport == "redis"))
    early = None
    if transport == "redis":
        server = start_redis(tmp_path / "redis")
        sink, source = redis_sink(server.url), server.url
        extra = ["--archive", tmp_path / "archive"]
        if run == 0:  # between the first archived line and the first checkpoint
            early = lambda: os.path.isdir(tmp_path / "archive") and any(  # noqa: E731
                os.path.getsize(p) for p in jsonl(tmp_path / "archive"))
    else:
        os.mkdir(tmp_path / "events")
        sink, source, extra = file_sink(tmp_path / "events"), str(tmp_path / "events"), []
    pacer = Pacer(paths, sink, seconds=2.5, seed=run)
    pacer.start()
    wait_for(pacer.first.is_set)
    at = sorted(rng.uniform(0.1, 4.0) for _ in range(rng.randint(1, 3)))
    rc, kills = _kill_and_restart(follow(source, tmp_path, *extra), at,
                                  tmp_path / "stderr", early)
    pacer.join(30)
    assert pacer.error is None
    assert rc == 0, read(tmp_path / "stderr")
    assert kills >= 1
    assert read(tmp_path / "final.state") == want
    same_counts(report(tmp_path / "final.json"), want_counts)
    if transport == "redis":
        same_archive(tmp_path / "archive", paths)
    print(f"{transport} run {run}: {kills} kills at {[round(a, 2) for a in at]} s")


def test_redis_restarted_mid_run_with_aof_loses_and_doubles_nothing(tmp_path, recorded):
    paths, want, want_counts = recorded
    server = start_redis(tmp_path / "redis", aof=True)
    pacer = Pacer(paths, redis_sink(server.url), seconds=2.5, pause_at=0.5)
    pacer.start()
    wait_for(lambda: pacer.first.is_set())
    cmd = follow(server.url, tmp_path, "--archive", tmp_path / "archive")
    learner = subprocess.Popen(cmd, env=env(), stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True)
    pacer.paused.wait(30)
    time.sleep(0.5)  # the learner takes what is there, checkpoints and trims
    server.kill()
    time.sleep(0.5)
    server.start()
    pacer.resume.set()
    restarts, errors = 0, []
    while learner.wait(120) != 0 and restarts < 3:  # a supervisor starts it again
        errors.append(learner.stderr.read().strip())
        restarts += 1
        learner = subprocess.Popen(cmd, env=env(), stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, text=True)
    pacer.join(30)
    assert pacer.error is None
    assert learner.returncode == 0, learner.stderr.read()
    assert read(tmp_path / "final.state") == want
    same_counts(report(tmp_path / "final.json"), want_counts)
    same_archive(tmp_path / "archive", paths)
    print(f"learner restarts during the outage: {restarts} {errors}")


DOOMED = textwrap.dedent("""
    import sys
    from ordwyne_fleet import Worker

    # lines of megabytes, so that a kill mostly lands inside a write
    w = Worker(sys.argv[1], sys.argv[2], name="doomed", bits=10, horizon=5.0)
    n = 0
    while True:
        context = {"blob": "x" * 4_000_000, "n": float(n)}
        r = w.decide(context, [("a", {}), ("b", {})], float(n))
        w.outcome(r.decision_id, 1.0, n + 0.5)
        n += 1
""")


@pytest.mark.parametrize("run", range(3))
def test_a_worker_killed_mid_write_loses_at_most_its_last_line(tmp_path, run):
    from ordwyne_fleet import Worker
    events, snapshots = tmp_path / "events", tmp_path / "snapshots"
    with Worker(str(events), str(snapshots), name="alive", bits=10, horizon=5.0) as w:
        for n in range(50):
            w.outcome(w.decide({}, [("a", {}), ("b", {})], float(n)).decision_id, 1.0, n + 1.0)
    proc = subprocess.Popen([sys.executable, "-c", DOOMED, str(events), str(snapshots)],
                            env=env())
    wait_for(lambda: sum(os.path.getsize(p) for p in jsonl(events)) > 8_000_000,
             what="the worker's lines")
    time.sleep(random.Random(run).uniform(0.0, 0.5))
    proc.send_signal(signal.SIGKILL)
    assert proc.wait() == -signal.SIGKILL
    (doomed,) = [p for p in jsonl(events) if "doomed" in p]
    with open(doomed, "rb") as f:
        data = f.read()
    torn = not data.endswith(b"\n")
    if not torn:  # the kill fell between two writes: leave the tail a kill mid-write leaves
        with open(doomed, "ab") as f:
            f.write(b'{"event":"decision","bits":10,"context":{"blob":"xxx')
    whole = data[:data.rfind(b"\n") + 1].splitlines()
    kinds = [json.loads(raw)["event"] for raw in whole]  # every line before the tail reads
    decisions = kinds.count("decision") + 50

    r = run_train(events, "--bits", "10", "--horizon", "5", "--out", tmp_path / "b.state")
    assert r.returncode == 0, r.stderr
    assert number(state_fields(read(tmp_path / "b.state")), "decision_count") == decisions
    # a follower does not wait for the dead worker's last line or final watermark forever
    cmd = train_command(events, "--follow", "--checkpoint", tmp_path / "ckpt", "--publish",
                        snapshots, "--bits", "10", "--horizon", "5", "--every", "0.2",
                        "--stale", "0.5", "--until-idle", "0.5", "--out", tmp_path / "f.state")
    r = subprocess.run(cmd, env=env(), capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert read(tmp_path / "f.state") == read(tmp_path / "b.state")
    print(f"run {run}: {len(whole)} whole lines, torn by the kill: {torn}")
