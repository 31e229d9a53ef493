#!/usr/bin/env python3
"""Benchmarks of the offline tool on a log of the standard workload.

The log: decisions of the standard workload (10 context features, 10
candidates of 5 features, bits 18), each resolved four decisions later with
the workload's reward, so every decision has a resolution line and a few
are pending at any time.

    python bench/bench_offline.py speed --decisions 40000 --repeat 5
    python bench/bench_offline.py memory --sizes 10000 100000 1000000
    python bench/bench_offline.py instructions --decisions 1000 3000

`speed` reports CPU seconds (time.process_time) of the host's own decide
and learn loop and of `replay` and `verify` with and without a start state,
each run in this process on one core, in turn, and each beside the host's. `memory` runs `ordwyne replay` on logs of the given
sizes (in lines) in child processes and reports their peak resident memory
(ru_maxrss) beside the state's own size. `instructions` counts
instructions per decision line under callgrind (valgrind), which the
machine's load does not disturb, beside what the host's own decide and
learn cost.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import ordwyne  # noqa: E402
import workload as W  # noqa: E402

LAG = 4  # a decision is resolved this many decisions later


def write_log(path: str, decisions: int) -> int:
    """Write the benchmark log; returns its number of lines."""
    w = W.Workload()
    state = ordwyne.create(W.BITS, W.HORIZON, W.DEFAULT_REWARD, W.EPSILON, W.FORGETFULNESS)
    ids = []
    lines = 0
    with open(path, "w") as f:
        for i in range(decisions):
            record = ordwyne.decide(state, w.context(i), w.candidates(i), W.Workload.time(i),
                                    W.SALT)
            f.write(ordwyne.log_line(record) + "\n")
            ids.append(record.decision_id)
            lines += 1
            if i >= LAG:
                j = i - LAG
                res = ordwyne.learn(state, ids[j], W.Workload.reward(j), W.Workload.time(i))
                f.write(ordwyne.log_line(res) + "\n")
                ids[j] = None
                lines += 1
    return lines


def start_args():
    return ["--bits", str(W.BITS), "--horizon", repr(W.HORIZON), "--default-reward",
            repr(W.DEFAULT_REWARD), "--epsilon", repr(W.EPSILON), "--forgetfulness",
            repr(W.FORGETFULNESS)]


def cpu_run(argv) -> float:
    from ordwyne_offline import cli
    t0 = time.process_time()
    with open(os.devnull, "w") as null:
        old = sys.stdout
        sys.stdout = null
        try:
            status = cli.main(argv)
        finally:
            sys.stdout = old
    elapsed = time.process_time() - t0
    if status not in (0,):
        raise SystemExit(f"{argv[0]} exited with {status}")
    return elapsed


def _reader() -> str:
    """Which JSON reader the tool uses: orjson (the fast extra) or json."""
    from ordwyne_offline import logs
    return "orjson " + __import__("orjson").__version__ if logs._fast_loads is not None \
        else "json (orjson not installed)"


def _host_loop(decisions: int) -> float:
    """CPU seconds of the host's own loop: decide and learn on the workload
    (as write_log, without the log), the figure the offline tool is held to."""
    w = W.Workload()
    state = ordwyne.create(W.BITS, W.HORIZON, W.DEFAULT_REWARD, W.EPSILON, W.FORGETFULNESS)
    ids = []
    t0 = time.process_time()
    for i in range(decisions):
        ids.append(ordwyne.decide(state, w.context(i), w.candidates(i), W.Workload.time(i),
                                  W.SALT).decision_id)
        if i >= LAG:
            ordwyne.learn(state, ids[i - LAG], W.Workload.reward(i - LAG), W.Workload.time(i))
    return time.process_time() - t0


def speed(args) -> None:
    """The host's loop and each command, taken in turn `repeat` times (a
    busy machine slows them alike); the best of each, and each beside the
    host's."""
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, "bench.log")
        lines = write_log(log, args.decisions)
        decisions = args.decisions
        out = os.path.join(tmp, "out.state")
        runs = [("host decide+learn", None),
                ("replay", ["replay", log, *start_args(), "--out", out, "--quiet"]),
                ("verify with a state", ["verify", log, *start_args(), "--quiet"]),
                ("verify without a state", ["verify", log, "--quiet"])]
        print(f"log: {decisions:,} decisions, {lines:,} lines; best of {args.repeat}, in turn; "
              f"{_reader()}")
        best = {name: float("inf") for name, _ in runs}
        for _ in range(args.repeat):
            for name, argv in runs:
                t = _host_loop(decisions) if argv is None else cpu_run(argv)
                best[name] = min(best[name], t)
        host = best["host decide+learn"]
        for name, _ in runs:
            t = best[name]
            print(f"  {name:24s} {t:7.2f} s CPU  {decisions / t:9,.0f} decisions/s"
                  f"  {t / host:5.2f}x the host")
        print(f"  verify with a state / replay: {best['verify with a state'] / best['replay']:.2f}")


def memory(args) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out.state")
        print("peak resident memory of `ordwyne replay` (ru_maxrss of the child)")
        baseline = None
        for size in args.sizes:
            log = os.path.join(tmp, f"bench_{size}.log")
            decisions = (size + LAG) // 2
            lines = write_log(log, decisions)
            code = ("import resource, sys\n"
                    "from ordwyne_offline import cli\n"
                    "status = cli.main(sys.argv[1:])\n"
                    "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)\n"
                    "raise SystemExit(status)\n")
            t0 = time.monotonic()
            r = subprocess.run([sys.executable, "-c", code, "replay", log, *start_args(),
                                "--out", out, "--quiet"], capture_output=True, text=True)
            wall = time.monotonic() - t0
            if r.returncode:
                raise SystemExit(r.stderr)
            peak_mb = int(r.stdout.split()[-1]) / 1024
            baseline = peak_mb if baseline is None else baseline
            print(f"  {lines:>9,} lines: peak {peak_mb:7.1f} MB "
                  f"({peak_mb - baseline:+6.1f} MB against the smallest log), "
                  f"state {os.path.getsize(out) / 2 / 2**20:5.1f} MB, wall {wall:6.1f} s")
            os.unlink(log)


def _baseline(log: str) -> None:
    """What the host itself paid: decide and learn on the workload, no log."""
    _host_loop(sum(1 for line in open(log) if '"decision"' in line))


def instructions(args) -> None:
    """Instructions per decision line under callgrind: the difference of two
    log sizes, so start-up and the final serialize cancel out. Independent
    of the machine's load, unlike CPU seconds."""
    import re
    small, large = args.decisions
    with tempfile.TemporaryDirectory() as tmp:
        logs = {}
        for n in (small, large):
            logs[n] = os.path.join(tmp, f"b{n}.log")
            write_log(logs[n], n)
        out = os.path.join(tmp, "out.state")
        modes = {
            "host decide+learn (no log)": lambda log: ["baseline", log],
            "replay": lambda log: ["cli", "replay", log, *start_args(), "--out", out, "-q"],
            "verify with a state": lambda log: ["cli", "verify", log, *start_args(), "-q"],
            "verify without a state": lambda log: ["cli", "verify", log, "-q"],
        }
        print(f"callgrind instructions per decision line (with its resolution line), "
              f"logs of {small:,} and {large:,} decisions; {_reader()}")
        base = None
        for name, argv in modes.items():
            counts = []
            for n in (small, large):
                r = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                                    sys.executable, os.path.abspath(__file__), "_run",
                                    *argv(logs[n])], capture_output=True, text=True)
                m = re.search(r"Collected : (\d+)", r.stderr)
                if r.returncode or not m:
                    raise SystemExit(r.stderr[-2000:])
                counts.append(int(m.group(1)))
            per = (counts[1] - counts[0]) / (large - small)
            base = per if base is None else base
            print(f"  {name:28s} {per / 1e3:9,.0f} k instructions  {per / base:5.2f}x the host")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="what", required=True)
    s = sub.add_parser("speed")
    s.add_argument("--decisions", type=int, default=20000)
    s.add_argument("--repeat", type=int, default=3)
    m = sub.add_parser("memory")
    m.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    i = sub.add_parser("instructions")
    i.add_argument("--decisions", type=int, nargs=2, default=[1000, 3000])
    r = sub.add_parser("_run")  # a child measured by callgrind
    r.add_argument("argv", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    if args.what == "_run":
        if args.argv[0] == "baseline":
            _baseline(args.argv[1])
        else:
            from ordwyne_offline import cli
            raise SystemExit(cli.main(args.argv[1:]))
        return
    {"speed": speed, "memory": memory, "instructions": instructions}[args.what](args)


if __name__ == "__main__":
    main()
