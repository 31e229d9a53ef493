#!/usr/bin/env python3
"""Speed of `ordwyne eval` on a log of the standard workload.

Writes a log of the standard workload (bench/workload.py: 10 context
features, 10 candidates of 5 features, one resolution per decision), then
evaluates 8 engine settings on it, in two shapes:

  sweep   --bits 18,16 --forgetfulness 0.999,0.99 --epsilon 0.05,0
          (4 models: settings that differ only in epsilon share one)
  models  --bits 18,16 --forgetfulness 0.999,0.99,0.9,1.0 --epsilon 0.05
          (8 models, the most work 8 settings can make)

For each: lines per second of one process (CPU time of an in-process run,
--jobs 1); the speed-up of --jobs 2 over --jobs 1 in wall time (best of
--repeat runs; each job parses the log itself); and, since wall time means
little on a loaded machine, the same speed-up from CPU times: the one-job
CPU time over the larger of the two tasks' CPU times (each task run alone,
in this process), which leaves out only the start of the worker processes.

    PYTHONPATH=python python bench/bench_offline_eval.py --decisions 20000
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

import ordwyne

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from workload import (BITS, DEFAULT_REWARD, EPSILON, FORGETFULNESS, HORIZON,  # noqa: E402
                      SALT, Workload)

from ordwyne_offline.eval_core import run_chunk  # noqa: E402
from ordwyne_offline.evaluate import evaluate, plan  # noqa: E402
from ordwyne_offline.start import Start  # noqa: E402

SHAPES = {
    "sweep": dict(bits=(18, 16), forgetfulness=(0.999, 0.99), epsilons=(0.05, 0.0)),
    "models": dict(bits=(18, 16), forgetfulness=(0.999, 0.99, 0.9, 1.0), epsilons=(0.05,)),
}


def write_log(path: str, decisions: int) -> int:
    """The standard workload's log: each decision resolved at once."""
    w = Workload()
    state = ordwyne.create(BITS, HORIZON, DEFAULT_REWARD, EPSILON, FORGETFULNESS)
    lines = 0
    with open(path, "w") as out:
        for i in range(decisions):
            record = ordwyne.decide(state, w.context(i), w.candidates(i), w.time(i), SALT)
            out.write(ordwyne.log_line(record) + "\n")
            resolution = ordwyne.learn(state, record.decision_id, w.reward(i), w.time(i) + 1.0)
            out.write(ordwyne.log_line(resolution) + "\n")
            lines += 2
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--decisions", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--shape", choices=sorted(SHAPES), action="append")
    parser.add_argument("--log", help="reuse or keep the log at this path")
    args = parser.parse_args()
    shapes = args.shape or sorted(SHAPES, reverse=True)

    directory = tempfile.mkdtemp(prefix="bench-eval-")
    log = args.log or os.path.join(directory, "standard.log")
    if not os.path.exists(log):
        lines = write_log(log, args.decisions)
    else:
        with open(log, "rb") as f:
            lines = sum(1 for _ in f)
    decisions = lines // 2
    start = Start.create(BITS, HORIZON, DEFAULT_REWARD, EPSILON, FORGETFULNESS)
    print(f"log: {lines:,} lines ({decisions:,} decisions) of the standard workload")
    for shape in shapes:
        settings = SHAPES[shape]
        cpu = []
        wall = {1: [], 2: []}
        reports = {}
        for _ in range(args.repeat):
            for jobs in (1, 2):
                c0, w0 = time.process_time(), time.perf_counter()
                reports[jobs] = evaluate([log], start, jobs=jobs, **settings)
                c1, w1 = time.process_time(), time.perf_counter()
                wall[jobs].append(w1 - w0)
                if jobs == 1:
                    cpu.append(c1 - c0)
        assert reports[1] == reports[2], "--jobs 2 differs from --jobs 1"
        _, tasks = plan([log], start, chunks=2, **settings)
        task_cpu = []
        for task in tasks:
            best = None
            for _ in range(args.repeat):
                c0 = time.process_time()
                run_chunk(task)
                c = time.process_time() - c0
                best = c if best is None else min(best, c)
            task_cpu.append(best)
        targets = len(reports[1]["rows"]) - 2
        best_cpu, w1, w2 = min(cpu), min(wall[1]), min(wall[2])
        print(f"{shape:6} {targets} targets: one process {lines / best_cpu:8,.0f} lines/s "
              f"({decisions / best_cpu:7,.0f} decision lines/s, CPU {best_cpu:.2f} s); "
              f"wall --jobs 1 {w1:.2f} s, --jobs 2 {w2:.2f} s: x{w1 / w2:.2f}")
        print(f"{'':6} --jobs 2 from CPU times: tasks "
              + " + ".join(f"{c:.2f} s" for c in task_cpu)
              + f": x{best_cpu / max(task_cpu):.2f}")
    if not args.log:
        os.unlink(log)
        os.rmdir(directory)


if __name__ == "__main__":
    main()
