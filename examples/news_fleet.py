#!/usr/bin/env python3
"""The news site's day served by a fleet: worker processes and one learner.

The visits of a `news_site.py` day (10,000 by default) are spread over
four worker processes at random, played at a fixed pace against the wall
clock (the whole day in about twenty seconds). Each worker decides with `ordwyne_fleet.Worker` and
never learns: a click is reported, when it arrives, by a random *other*
worker, as a load balancer would route it. One learner process, `ordwyne
train EVENTS --follow`, joins every decision with its outcome, trains one
state and publishes a snapshot every second; the workers `refresh()` to it.

Beside the fleet, on the same visits and the same click draws, two runs in
a process of their own at the lowest priority: four workers that each learn alone from their own quarter of
the traffic (the outcomes routed back to the worker that decided), and one
process that saw everything. Then the learner's final state is compared
with batch `ordwyne train` over the same event files.

    python examples/news_fleet.py --visits 10000 --seconds 20 --out out/fleet

Needs rich and numpy (the package's "examples" extra), Linux or another
system with `fork`.
"""

from __future__ import annotations

import argparse
import heapq
import json
import math
import multiprocessing as mp
import os
import queue
import resource
import subprocess
import sys
import threading
import time
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

import news_site as site

REFRESH_EVERY = 0.1   # wall seconds between two refresh() calls of a worker
IDLE = 0.002          # wall seconds a worker sleeps when nothing is due
# Simulated seconds a worker may run ahead of the slowest one. The day runs
# thousands of times faster than real time, so without this a worker held
# up for a few milliseconds would report clicks a horizon late.
SLACK = 30.0
START_TIMEOUT = 60.0  # wall seconds to wait for the learner's first snapshot


def subset(world: site.World, idx: np.ndarray) -> site.World:
    """The same day with only the visits `idx` (in their time order)."""
    return site.World(world.names, world.articles, world.published, world.times[idx],
                      [world.contexts[i] for i in idx], world.prob[idx], world.click_u[idx],
                      world.delay[idx])


def routes(visits: int, workers: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    """The worker each visit lands on, and the other worker that hears of its click."""
    rng = np.random.default_rng(seed + 101)
    home = rng.integers(workers, size=visits)
    reporter = (home + rng.integers(1, workers, size=visits)) % workers
    return home, reporter


def run_isolated(world: site.World, args: argparse.Namespace, home: np.ndarray,
                 workers: int) -> np.ndarray:
    """Every worker with a state of its own, learning its own outcomes."""
    chosen = np.zeros(len(world.times), int)
    for k in range(workers):
        idx = np.flatnonzero(home == k)
        chosen[idx] = site.run_engine(subset(world, idx), args).chosen
    return chosen


def compare(world: site.World, args: argparse.Namespace, home: np.ndarray,
            results: Any) -> None:
    """The runs without a fleet, in a process of their own at the lowest
    priority, so that they take only what the fleet leaves of the CPU."""
    os.nice(19)
    results.put(("compare", run_isolated(world, args, home, args.workers),
                 site.run_engine(world, args).chosen))


# -- the fleet ----------------------------------------------------------------

@dataclass
class Fleet:
    events: str
    snapshots: str
    speed: float        # simulated seconds per wall second
    workers: int


def serve(k: int, fleet: Fleet, world: site.World, args: argparse.Namespace,
          home: np.ndarray, reporter: np.ndarray, inboxes: list, results: Any,
          ready: Any, go: Any, start: Any, progress: Any) -> None:
    """One worker process: its visits at the fleet's pace, the clicks it is
    told of, a refresh now and then. `progress` holds the simulated time
    each worker has done everything up to."""
    from ordwyne_fleet import Worker

    now = [0.0]  # the simulated time the worker has reached
    w = Worker(fleet.events, fleet.snapshots, name=f"web{k}", bits=args.bits,
               horizon=args.horizon, epsilon=args.epsilon, forgetfulness=args.forgetfulness,
               clock=lambda: now[0], watermark_every=site.EXPIRE_EVERY)
    w.watermark(0.0)  # the file exists before the learner starts
    path = os.path.join(fleet.events, w.source + ".jsonl")
    ready.put(k)
    go.wait()
    mine = np.flatnonzero(home == k)
    times = world.times[mine].tolist()
    chosen = np.zeros(len(mine), int)
    inbox = inboxes[k]
    clicks: list[tuple[float, str]] = []
    reported: list[tuple[float, int]] = []  # (wall time, file size) after each outcome
    peers_done = 0
    told = False
    i = 0
    next_refresh = 0.0
    while True:
        wall = time.monotonic()
        paced = (wall - start.value) * fleet.speed
        now[0] = max(now[0], min(paced, min(progress) + SLACK))
        while True:
            try:
                message = inbox.get_nowait()
            except queue.Empty:
                break
            if message is None:
                peers_done += 1
            else:
                heapq.heappush(clicks, message)
        while True:
            visit_at = times[i] if i < len(times) else math.inf
            click_at = clicks[0][0] if clicks else math.inf
            if min(visit_at, click_at) > now[0]:
                break
            if click_at <= visit_at:
                _, decision_id = heapq.heappop(clicks)
                w.outcome(decision_id, 1.0, click_at)
                reported.append((time.time(), os.path.getsize(path)))
            else:
                v = mine[i]
                record = w.decide(world.contexts[v], world.candidates(visit_at), visit_at)
                chosen[i] = record.chosen
                if world.click_u[v] < world.prob[v, record.chosen]:
                    arrival = visit_at + float(world.delay[v])
                    inboxes[reporter[v]].put((arrival, record.decision_id))
                i += 1
        if i == len(times) and not told:
            for j, box in enumerate(inboxes):
                if j != k:
                    box.put(None)
            told = True
        progress[k] = now[0]
        if told and peers_done == fleet.workers - 1 and not clicks:
            break
        if wall >= next_refresh:
            w.refresh()
            next_refresh = wall + REFRESH_EVERY
        time.sleep(IDLE)
    progress[k] = math.inf  # nothing more to wait for here
    w.close()
    results.put((k, mine, chosen, path, reported, w.generation))


class Watch(threading.Thread):
    """Notes each published snapshot: when LATEST changed, and how far into
    each event file the checkpoint behind it had read."""

    def __init__(self, snapshots: str, checkpoint: str) -> None:
        super().__init__(daemon=True)
        self.latest = os.path.join(snapshots, "LATEST")
        self.checkpoint = checkpoint
        self.seen: list[tuple[float, dict[str, float]]] = []  # (publication time, positions)
        self.stop = threading.Event()

    def run(self) -> None:
        last = None
        while not self.stop.wait(0.005):
            last = self.look(last)
        self.look(last)  # the learner's last snapshot, written as it ended

    def look(self, last: str | None) -> str | None:
        try:
            st = os.stat(self.latest)
            with open(self.latest) as f:
                name = f.read().strip()
        except OSError:
            return last
        if name == last or not name:
            return last
        generation = int(name.split("-")[1].split(".")[0])
        try:
            with open(self.checkpoint) as f:
                saved = json.load(f)
        except (OSError, ValueError):
            return name
        if saved.get("generation") == generation:
            # a finished source has left the checkpoint's positions: read to its end
            positions = dict.fromkeys(saved.get("finished", []), math.inf)
            positions.update((s["path"], s["pos"]) for s in saved["sources"])
            self.seen.append((st.st_mtime_ns / 1e9, positions))
        return name


def lags(watch: Watch, reported: dict[str, list[tuple[float, int]]]) -> np.ndarray:
    """For every outcome: wall seconds from its write to the first snapshot
    whose checkpoint had read past it."""
    out = []
    for path, items in reported.items():
        for written, end in items:
            for published, positions in watch.seen:
                if positions.get(path, 0) >= end and published >= written:
                    out.append(published - written)
                    break
    return np.array(out)


def start_flags(args: argparse.Namespace) -> list[str]:
    """The learner's first state: the settings the workers start with."""
    return ["--bits", str(args.bits), "--horizon", repr(args.horizon),
            "--epsilon", repr(args.epsilon), "--forgetfulness", repr(args.forgetfulness)]


def learner_command(fleet: Fleet, args: argparse.Namespace, out: Path) -> list[str]:
    return ["train", fleet.events, "--follow", "--checkpoint", str(out / "learner.json"),
            "--publish", fleet.snapshots, "--every", f"{args.every:g}", "--until-idle", "1",
            *start_flags(args), "--out", str(out / "learner_state.hex"),
            "--report", str(out / "learner.report.json"), "--quiet"]


def ordwyne_command(argv: list[str]) -> list[str]:
    return [sys.executable, "-m", "ordwyne_offline", *argv]


def fresh(directory: Path) -> None:
    """An empty directory (what a previous run left is removed)."""
    directory.mkdir(parents=True, exist_ok=True)
    for p in directory.iterdir():
        if p.is_file():
            p.unlink()


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    p = site.make_parser((__doc__ or "").split("\n\n")[0])
    p.set_defaults(out=Path("out/fleet"), visits=10_000)
    p.add_argument("--workers", type=int, default=4, help="worker processes")
    p.add_argument("--seconds", type=float, default=20.0,
                   help="wall seconds the simulated day is played in")
    p.add_argument("--every", type=float, default=1.0,
                   help="seconds between two snapshots of the learner")
    args = site.parse_args(argv, p)
    if args.workers < 2:
        p.error("--workers must be at least 2 (a click is reported by another worker)")
    if not 1.0 <= args.seconds <= 3600.0:
        p.error("--seconds must be between 1 and 3600")
    if not 0.1 <= args.every <= 60.0:
        p.error("--every must be between 0.1 and 60")
    return args


def main(argv: Sequence[str] | None = None) -> int:
    from rich.console import Console
    from rich.table import Table

    args = parse_args(argv)
    console = Console()
    started = time.perf_counter()
    out = args.out.resolve()
    events, snapshots = out / "events", out / "snapshots"
    for d in (events, snapshots):
        fresh(d)
    for name in ("learner.json", "learner_state.hex", "learner.report.json", "batch.hex"):
        (out / name).unlink(missing_ok=True)
    world = site.build_world(args.visits, args.seed)
    home, reporter = routes(args.visits, args.workers, args.seed)
    fleet = Fleet(str(events), str(snapshots), float(world.times[-1]) / args.seconds,
                  args.workers)

    ctx = mp.get_context("fork")
    inboxes = [ctx.Queue() for _ in range(args.workers)]
    results, ready, go, start = ctx.Queue(), ctx.Queue(), ctx.Event(), ctx.Value("d", 0.0)
    progress = ctx.Array("d", args.workers, lock=False)
    procs = [ctx.Process(target=serve, args=(k, fleet, world, args, home, reporter, inboxes,
                                             results, ready, go, start, progress),
                         daemon=True)
             for k in range(args.workers)]
    for p in procs:
        p.start()
    for _ in procs:
        ready.get(timeout=START_TIMEOUT)
    others = ctx.Process(target=compare, args=(world, args, home, results), daemon=True)

    argv_train = learner_command(fleet, args, out)
    console.print("learner: ordwyne " + " ".join(argv_train).replace(str(out), str(args.out)))
    log = open(out / "learner.log", "w")
    learner = subprocess.Popen(ordwyne_command(argv_train), stdout=log, stderr=subprocess.STDOUT)
    watch = Watch(str(snapshots), str(out / "learner.json"))
    deadline = time.monotonic() + START_TIMEOUT
    while not (snapshots / "LATEST").exists():
        if learner.poll() is not None or time.monotonic() > deadline:
            console.print((out / "learner.log").read_text().strip() or "the learner did not start")
            return 1
        time.sleep(0.01)
    watch.start()
    start.value = time.monotonic()
    go.set()
    others.start()

    fleet_chosen = np.zeros(args.visits, int)
    reported: dict[str, list[tuple[float, int]]] = {}
    generations = []
    for _ in range(len(procs) + 1):
        got = results.get(timeout=args.seconds * 10 + 120)
        if got[0] == "compare":
            _, isolated, alone = got
            continue
        k, mine, chosen, path, items, generation = got
        fleet_chosen[mine] = chosen
        reported[path] = items
        generations.append(generation)
    for p in (*procs, others):
        p.join()
    _, status, usage = os.wait4(learner.pid, 0)
    fleet_wall = time.monotonic() - start.value
    learner.returncode = os.waitstatus_to_exitcode(status)
    log.close()
    watch.stop.set()
    watch.join()
    if learner.returncode != 0:
        console.print(f"[red]the learner failed (exit {learner.returncode})[/red]")
        console.print((out / "learner.log").read_text())
        return 1
    report = json.loads((out / "learner.report.json").read_text())
    snapshot_mb = 2 * (104 + 16 * 2 ** args.bits) / 1e6  # the state text, two hex digits a byte
    learner_cpu = usage.ru_utime + usage.ru_stime

    # the same files in batch: the follow run must end exactly there
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    batch = subprocess.run(ordwyne_command(
        ["train", str(events), *start_flags(args), "--out", str(out / "batch.hex"),
         "--quiet"]), capture_output=True, text=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    batch_cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    same = batch.returncode == 0 and \
        (out / "batch.hex").read_text() == (out / "learner_state.hex").read_text()

    rows = np.arange(args.visits)
    half = args.visits // 2
    setups = {
        f"{args.workers} isolated workers": isolated,
        f"{args.workers} workers + learner": fleet_chosen,
        "one process, all traffic": alone,
    }
    table = Table(title=f"{args.visits:,} visits on {args.workers} workers, "
                        f"the day in {args.seconds:g} s, seed {args.seed}")
    for header in ("setup", "clicks", "click rate", "expected", "2nd half"):
        table.add_column(header, justify="left" if header == "setup" else "right")
    for name, choice in setups.items():
        hits = world.click_u < world.prob[rows, choice]
        table.add_row(name, f"{hits.sum():,}", f"{100 * hits.mean():.2f}%",
                      f"{100 * world.prob[rows, choice].mean():.2f}%",
                      f"{100 * hits[half:].mean():.2f}%")
    console.print(table)
    console.print(
        "isolated: each worker learns from its own visits only, its clicks routed back to "
        "it; + learner: the workers only decide and log, a random other worker reports "
        f"each click, one learner trains on all of it and publishes every {args.every:g} s; "
        f"the fleet decides with a model up to a snapshot old ({args.every:g} s here is "
        f"{args.every * fleet.speed / 60:.0f} simulated minutes), and its row changes from "
        "run to run with the moments the snapshots land")

    waited = lags(watch, reported)
    outcomes = sum(len(v) for v in reported.values())
    console.print(
        f"learner: {report['decisions']:,} decisions, {report['outcomes']:,} outcomes "
        f"({report['rewarded']:,} within the horizon; too late: {report['late']:,} past it, "
        f"{report['after_expiry']:,} after their visit was closed), "
        f"{report['expired']:,} closed by time; {report['generation']} snapshots, the "
        f"workers ended on {min(generations)}-{max(generations)}")
    console.print(
        f"learner load: {learner_cpu:.1f} s CPU while the fleet ran {fleet_wall:.1f} s "
        f"({100 * learner_cpu / fleet_wall:.0f}% of a core for "
        f"{args.visits / args.seconds:,.0f} decisions/s, most of it {report['generation']} "
        f"checkpoints and snapshots of {snapshot_mb:.1f} MB); batch `ordwyne train` over "
        f"the same files: {report['decisions'] / batch_cpu:,.0f} decisions per CPU second "
        "(its start-up included)")
    if len(waited):
        console.print(
            f"lag from outcome to published snapshot: median {np.median(waited):.2f} s, "
            f"90% {np.quantile(waited, 0.9):.2f} s, max {waited.max():.2f} s "
            f"({len(waited):,} of {outcomes:,} outcomes timed)")
    if same:
        console.print("learner's final state = batch `ordwyne train` over the event files "
                      "[green]✓[/green] (bit for bit)")
    else:
        console.print("[red]learner's final state differs from batch `ordwyne train` over the "
                      f"event files[/red] {batch.stderr.strip()}")
    console.print(f"events : {events}  ({len(os.listdir(events))} files)")
    console.print(f"run time: {time.perf_counter() - started:.1f} s")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
