#!/usr/bin/env python3
"""Benchmarks of the fleet (`ordwyne_fleet`) on the standard workload.

    python bench/bench_fleet.py train --decisions 40000 --repeat 3
    python bench/bench_fleet.py follow --rate 10000 --seconds 20
    python bench/bench_fleet.py worker --decisions 20000
    python bench/bench_fleet.py refresh --bits 18 24
    python bench/bench_fleet.py memory --sizes 10000 100000 1000000

`train`: the host's own loop (decide, then learn the workload's reward at
once) against batch `ordwyne train` over the host's log, and over the
same traffic logged by two workers (outcome lines). CPU time in this
process (time.process_time), best of --repeat; the trained state is
compared with the host's.

`follow`: two workers' traffic, --rate decisions per second between them
(t in seconds), each decision's outcome reported 0-0.5 s later by the
other worker, is written ahead of time (a Worker decides at about 10,000
per second per core, so live workers would take the cores the learner
needs); two processes then append those lines to the fleet's files as
their time comes, while `ordwyne train --follow --every 1` learns and
publishes. For every outcome: the wall time from its append to the first
snapshot whose checkpoint had read it.

`worker`: per-call CPU of `Worker.decide` against `decide` + `log_line`
(with and without the line's write to a file), batches of 500, medians.

`refresh`: `Worker.refresh()` when nothing changed, and when a newer
snapshot is there (read and `deserialize`), at the given bits.

`memory`: peak resident memory (ru_maxrss from wait4, each in a fresh
child) of a worker making N decisions with their outcomes, and of batch and
follow `train` over that worker's files.
"""

from __future__ import annotations

import argparse
import heapq
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "examples"))

import ordwyne  # noqa: E402
import workload as W  # noqa: E402
from bench_offline import _reader as reader, cpu_run as cli_cpu, start_args  # noqa: E402

SETTINGS = (W.BITS, W.HORIZON, W.DEFAULT_REWARD, W.EPSILON, W.FORGETFULNESS)
BATCH = 500


def ordwyne_argv(argv):
    return [sys.executable, "-m", "ordwyne_offline", *argv]


def fleet_workers(directory: str, count: int, **kw):
    from ordwyne_fleet import Worker
    return [Worker(directory, os.path.join(directory, "..", "snapshots"), name=f"w{k}",
                   bits=W.BITS, horizon=W.HORIZON, default_reward=W.DEFAULT_REWARD,
                   epsilon=W.EPSILON, forgetfulness=W.FORGETFULNESS, **kw)
            for k in range(count)]


# -- train ---------------------------------------------------------------------

def host_loop(decisions: int, log=None):
    """The host: decide, learn the reward at once; optionally logged."""
    w = W.Workload()
    state = ordwyne.create(*SETTINGS)
    decide, learn, line = ordwyne.decide, ordwyne.learn, ordwyne.log_line
    for i in range(decisions):
        t = float(i)
        record = decide(state, w.context(i), w.candidates(i), t, W.SALT)
        resolution = learn(state, record.decision_id, W.Workload.reward(i), t)
        if log is not None:
            log.write(line(record) + "\n")
            log.write(line(resolution) + "\n")
    return state


def fleet_log(directory: str, decisions: int, outcome_after: int = 4,
              candidates: int = W.CANDIDATES) -> None:
    """The same traffic from two workers taking turns; each outcome reported
    `outcome_after` decisions later by the other worker. `candidates`: the
    first so many of each decision's candidates."""
    w = W.Workload()
    workers = fleet_workers(directory, 2, watermark_every=100.0)
    due = []
    for i in range(decisions):
        t = float(i)
        while due and due[0][0] <= t:
            _, j, decision_id = heapq.heappop(due)
            workers[(j + 1) % 2].outcome(decision_id, W.Workload.reward(j), t)
        record = workers[i % 2].decide(w.context(i), w.candidates(i)[:candidates], t)
        heapq.heappush(due, (t + outcome_after, i, record.decision_id))
    for _, j, decision_id in sorted(due):
        workers[(j + 1) % 2].outcome(decision_id, W.Workload.reward(j), float(decisions))
    for worker in workers:
        worker.close()


def train(args) -> None:
    n = args.decisions
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, "host.jsonl")
        with open(log, "w") as f:
            final = ordwyne.serialize(host_loop(n, f))
        events = os.path.join(tmp, "events")
        fleet_log(events, n)
        out = os.path.join(tmp, "out.hex")
        host, from_log, from_fleet = [], [], []
        for _ in range(args.repeat):  # interleaved, so drift in the machine spreads evenly
            t0 = time.process_time()
            host_loop(n)
            host.append(time.process_time() - t0)
            from_log.append(cli_cpu(["train", log, *start_args(), "--out", out, "--quiet"]))
            with open(out) as f:
                same = f.read() == final
            from_fleet.append(cli_cpu(["train", events, *start_args(), "--out", out,
                                       "--quiet"]))
        started = time.perf_counter()
        subprocess.run(ordwyne_argv(["train", log, *start_args(), "--out", out, "--quiet"]),
                       check=True, stdout=subprocess.DEVNULL)
        wall = time.perf_counter() - started
        h, a, b = min(host), min(from_log), min(from_fleet)
        print(f"{n:,} decisions of the standard workload, each with its outcome; best of "
              f"{args.repeat}; {reader()}")
        print(f"  host loop (decide + learn)        {h:6.2f} s CPU  {n / h:9,.0f} decisions/s")
        print(f"  train over the host's log         {a:6.2f} s CPU  {n / a:9,.0f} decisions/s"
              f"  {a / h:.2f}x the host loop; state = host's: {'yes' if same else 'NO'}")
        print(f"  train over two workers' files     {b:6.2f} s CPU  {n / b:9,.0f} decisions/s"
              f"  {b / h:.2f}x the host loop")
        print(f"  `ordwyne train` over the host's log as a command: {wall:.2f} s wall "
              "(interpreter start-up included)")


# -- the lag of follow mode ------------------------------------------------------

def stage(directory: str, decisions: int, rate: float, seed: int = 1) -> dict:
    """A fleet's traffic written ahead by two workers taking turns, decision
    i at t = i / rate, its outcome 0-0.5 s later through the other worker.
    Returns, per file, (t, end offset, outcome?) after each call."""
    w = W.Workload()
    workers = fleet_workers(directory, 2, watermark_every=0.05)
    paths = [os.path.join(directory, x.source + ".jsonl") for x in workers]
    index: dict = {p: [] for p in paths}
    rng = random.Random(seed)
    due: list = []

    def report(until: float) -> None:
        while due and due[0][0] <= until:
            at, j, decision_id = heapq.heappop(due)
            k = (j + 1) % 2
            workers[k].outcome(decision_id, W.Workload.reward(j), at)
            index[paths[k]].append((at, os.path.getsize(paths[k]), True))

    for i in range(decisions):
        t = i / rate
        report(t)
        record = workers[i % 2].decide(w.context(i), w.candidates(i), t)
        index[paths[i % 2]].append((t, os.path.getsize(paths[i % 2]), False))
        heapq.heappush(due, (t + rng.uniform(0.0, 0.5), i, record.decision_id))
    report(float("inf"))
    for x in workers:
        x.close()
    for p in paths:  # the final watermarks
        index[p].append((index[p][-1][0], os.path.getsize(p), False))
    return index


def _replay(staged: str, live: str, index: list, start: float, results) -> None:
    """Appends a staged file's lines to `live` as their time comes."""
    with open(staged, "rb") as f:
        data = f.read()
    fd = os.open(live, os.O_WRONLY | os.O_APPEND)
    reported = []
    pos = k = 0
    while k < len(index):
        now = time.time() - start
        end = pos
        outcomes = []
        while k < len(index) and index[k][0] <= now:
            end = index[k][1]
            if index[k][2]:
                outcomes.append(end)
            k += 1
        if end > pos:
            view = memoryview(data)[pos:end]
            while view:
                view = view[os.write(fd, view):]
            written = time.time()
            reported.extend((written, e) for e in outcomes)
            pos = end
        time.sleep(0.001)
    os.close(fd)
    results.put((live, reported))


def follow(args) -> None:
    import multiprocessing as mp
    import numpy as np
    from news_fleet import Watch, lags

    n = int(args.rate * args.seconds)
    with tempfile.TemporaryDirectory(dir=args.tmp) as tmp:
        staged, events = os.path.join(tmp, "staged"), os.path.join(tmp, "events")
        snapshots, checkpoint = os.path.join(tmp, "snapshots"), os.path.join(tmp, "learner.json")
        print(f"staging {n:,} decisions ...", file=sys.stderr, flush=True)
        index = stage(staged, n, args.rate)
        os.makedirs(events)
        lives = {}
        for path in index:  # the files exist before the learner looks
            lives[path] = os.path.join(events, os.path.basename(path))
            open(lives[path], "wb").close()
        ctx = mp.get_context("fork")
        results = ctx.Queue()
        start = time.time() + 1.5  # the learner is up by then
        procs = [ctx.Process(target=_replay, args=(path, lives[path], index[path], start,
                                                   results)) for path in index]
        watch = Watch(snapshots, checkpoint)
        learner = subprocess.Popen(ordwyne_argv(
            ["train", events, "--follow", "--checkpoint", checkpoint, "--publish", snapshots,
             "--every", "1", "--until-idle", "1", *start_args(), "--quiet"]),
            stdout=subprocess.DEVNULL)
        for p in procs:
            p.start()
        watch.start()
        got = dict(results.get() for _ in procs)
        for p in procs:
            p.join()
        ended = time.time()
        _, status, usage = os.wait4(learner.pid, 0)
        drained = time.time() - ended
        watch.stop.set()
        watch.join()
        if os.waitstatus_to_exitcode(status) != 0:
            raise SystemExit("the learner failed")
        waited = lags(watch, got)
        cpu = usage.ru_utime + usage.ru_stime
        wall = ended + drained - start
        print(f"follow: {n:,} decisions in {args.seconds:g} s ({args.rate:,.0f}/s) from two "
              f"workers' files, each with its outcome 0-0.5 s later; {reader()}")
        if len(waited):
            print(f"  lag from outcome to published snapshot: median {np.median(waited):.2f} s, "
                  f"90% {np.quantile(waited, 0.9):.2f} s, 99% {np.quantile(waited, 0.99):.2f} s, "
                  f"max {waited.max():.2f} s ({len(waited):,} outcomes timed)")
        print(f"  learner: {cpu:.1f} s CPU in {wall:.1f} s ({100 * cpu / wall:.0f}% of a core), "
              f"peak RSS {usage.ru_maxrss / 1024:.0f} MiB, {len(watch.seen)} snapshots seen; "
              f"done {drained:.1f} s after the last line (--until-idle 1 included)")


# -- Worker.decide -----------------------------------------------------------------

def _no_train(record, reward):
    return None


def _per_call(run, batches: int) -> float:
    times = []
    for b in range(batches):
        t0 = time.process_time_ns()
        run(b)
        times.append((time.process_time_ns() - t0) / BATCH)
    return statistics.median(times) / 1e3


def worker(args) -> None:
    w = W.Workload()
    batches = max(1, args.decisions // BATCH)
    plans = [(w.context(i), w.candidates(i)) for i in range(W.PLANS)]
    with tempfile.TemporaryDirectory() as tmp:
        state = ordwyne.create(*SETTINGS)
        decide, line = ordwyne.decide, ordwyne.log_line

        def plain(b):
            for i in range(b * BATCH, (b + 1) * BATCH):
                ctx, cands = plans[i % W.PLANS]
                line(decide(state, ctx, cands, float(i), "s"))
            ordwyne.expire(state, float("inf"), _no_train)  # in the timing, as a worker's reload

        fd = os.open(os.path.join(tmp, "plain.jsonl"), os.O_WRONLY | os.O_CREAT | os.O_APPEND)

        def written(b):
            for i in range(b * BATCH, (b + 1) * BATCH):
                ctx, cands = plans[i % W.PLANS]
                os.write(fd, (line(decide(state, ctx, cands, float(i), "s")) + "\n")
                         .encode("ascii"))
            ordwyne.expire(state, float("inf"), _no_train)

        (fleet,) = fleet_workers(os.path.join(tmp, "events"), 1, watermark_every=100.0)

        def served(b):
            for i in range(b * BATCH, (b + 1) * BATCH):
                ctx, cands = plans[i % W.PLANS]
                fleet.decide(ctx, cands, float(i))

        rows = []
        for _ in range(args.repeat):
            rows.append((_per_call(plain, batches), _per_call(written, batches),
                         _per_call(served, batches)))
        os.close(fd)
        fleet.close()
        a, b, c = (statistics.median(r[k] for r in rows) for k in range(3))
        print(f"per decision, CPU median over {batches} batches of {BATCH}, median of "
              f"{args.repeat} rounds:")
        print(f"  decide + log_line                  {a:6.2f} us")
        print(f"  decide + log_line + write(2)       {b:6.2f} us")
        print(f"  Worker.decide (files)              {c:6.2f} us  +{c - a:.2f} us over decide + "
              f"log_line, +{c - b:.2f} us over decide + log_line + write")


# -- refresh -----------------------------------------------------------------------

def refresh(args) -> None:
    from ordwyne_fleet import Worker
    from ordwyne_fleet.snapshots import Snapshots, without_pending
    w = W.Workload()
    for bits in args.bits:
        with tempfile.TemporaryDirectory(dir=args.tmp) as tmp:
            state = ordwyne.create(bits, W.HORIZON, W.DEFAULT_REWARD, W.EPSILON,
                                   W.FORGETFULNESS)
            for i in range(2000):  # a model as trained, not all zeros
                record = ordwyne.decide(state, w.context(i), w.candidates(i), float(i), "s")
                ordwyne.learn(state, record.decision_id, W.Workload.reward(i), float(i))
            text = without_pending(state)
            del state
            snaps = Snapshots(os.path.join(tmp, "snapshots"))
            snaps.publish(1, text)
            worker = Worker(os.path.join(tmp, "events"), snaps.where, name="w")
            quiet = []
            for _ in range(1000):
                t0 = time.perf_counter_ns()
                worker.refresh()
                quiet.append(time.perf_counter_ns() - t0)
            loads, cpu = [], []
            for g in range(2, 2 + args.loads):
                snaps.publish(g, text)
                t0, c0 = time.perf_counter(), time.process_time()
                assert worker.refresh()
                loads.append(time.perf_counter() - t0)
                cpu.append(time.process_time() - c0)
            worker.close()
            print(f"bits {bits}: snapshot {len(text) / 1e6:,.1f} MB; refresh with nothing new "
                  f"{statistics.median(quiet) / 1e3:.1f} us (median of 1000); loading a new "
                  f"snapshot {statistics.median(loads) * 1e3:,.1f} ms wall, "
                  f"{statistics.median(cpu) * 1e3:,.1f} ms CPU (median of {args.loads})")


# -- memory ------------------------------------------------------------------------

_WORKER_CHILD = """
import sys
sys.path.insert(0, {here!r})
import bench_fleet
bench_fleet.fleet_log({events!r}, {n}, candidates={k})
"""


def peak(argv, limit_mib: int) -> str:
    """'peak RSS MiB (wall seconds)' of a child held below `limit_mib` of
    address space (a learner that outgrows it fails instead of the machine)."""
    def cap():
        resource.setrlimit(resource.RLIMIT_AS, (limit_mib << 20, limit_mib << 20))

    started = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            preexec_fn=cap)
    _, status, usage = os.wait4(proc.pid, 0)
    took = time.perf_counter() - started
    if os.waitstatus_to_exitcode(status) != 0:
        return f"over {limit_mib:,} ({took:4.0f} s)"
    return f"{usage.ru_maxrss / 1024.0:7.1f} ({took:4.0f} s)"


def memory(args) -> None:
    print(f"peak resident memory (ru_maxrss of each child), MiB, and wall time; bits "
          f"{W.BITS}, {args.candidates} candidates a decision, {reader()}")
    print("  decisions  worker (writes)  train (batch)    train --follow (the files complete)")
    for n in args.sizes:
        with tempfile.TemporaryDirectory(dir=args.tmp) as tmp:
            events = os.path.join(tmp, "events")
            code = _WORKER_CHILD.format(here=HERE, events=events, n=n, k=args.candidates)
            w = peak([sys.executable, "-c", code], args.limit)
            out = os.path.join(tmp, "out.hex")
            b = peak(ordwyne_argv(["train", events, *start_args(), "--out", out, "--quiet"]),
                     args.limit)
            f = peak(ordwyne_argv(["train", events, "--follow", "--checkpoint",
                                   os.path.join(tmp, "ckpt.json"), "--publish",
                                   os.path.join(tmp, "published"), "--until-idle", "0.5",
                                   *start_args(), "--out", out, "--quiet"]), args.limit)
            print(f"  {n:>9,}  {w:>15}  {b:>15}  {f:>15}", flush=True)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = ap.add_subparsers(dest="what", required=True)
    p = sub.add_parser("train")
    p.add_argument("--decisions", type=int, default=40_000)
    p.add_argument("--repeat", type=int, default=3)
    p = sub.add_parser("follow")
    p.add_argument("--rate", type=float, default=10_000.0)
    p.add_argument("--seconds", type=float, default=20.0)
    p.add_argument("--tmp", default=None, help="where the event files go")
    p = sub.add_parser("worker")
    p.add_argument("--decisions", type=int, default=20_000)
    p.add_argument("--repeat", type=int, default=3)
    p = sub.add_parser("refresh")
    p.add_argument("--bits", type=int, nargs="+", default=[18, 24])
    p.add_argument("--loads", type=int, default=3)
    p.add_argument("--tmp", default=None)
    p = sub.add_parser("memory")
    p.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    p.add_argument("--candidates", type=int, default=2, choices=range(1, W.CANDIDATES + 1),
                   metavar="K", help="the first K of each decision's candidates (default 2: "
                   "shorter lines, so that 10^6 decisions take minutes, not a quarter hour)")
    p.add_argument("--limit", type=int, default=4096, metavar="MIB",
                   help="address-space limit of each child (default 4096)")
    p.add_argument("--tmp", default=None)
    args = ap.parse_args()
    {"train": train, "follow": follow, "worker": worker, "refresh": refresh,
     "memory": memory}[args.what](args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
