"""Median rows for bench/README.md from a Google Benchmark JSON file.

    python bench/report.py /tmp/engine.json [label]

Prints one markdown row per benchmark: label, CPU median, wall median,
counters. The JSON must come from a run with --benchmark_repetitions (the
median aggregate is what is read).
"""

from __future__ import annotations

import json
import sys

SKIP = {"name", "run_name", "run_type", "repetitions", "repetition_index", "threads",
        "iterations", "real_time", "cpu_time", "time_unit", "aggregate_name",
        "aggregate_unit", "family_index", "per_family_instance_index", "items_per_second"}


def fmt(value, unit):
    return "%.4g %s" % (value, unit)


def main():
    path = sys.argv[1]
    label = sys.argv[2] if len(sys.argv) > 2 else ""
    with open(path) as f:
        data = json.load(f)
    ctx = data["context"]
    print("<!-- %s, load %s -->" % (ctx.get("date"), " ".join(
        "%.2f" % x for x in ctx.get("load_avg", []))))
    for b in data["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        counters = ", ".join("%s=%.4g" % (k, v) for k, v in b.items() if k not in SKIP)
        print("| %s | `%s` | %s | %s | %s |" % (
            label, b["run_name"], fmt(b["cpu_time"], b["time_unit"]),
            fmt(b["real_time"], b["time_unit"]), counters))


if __name__ == "__main__":
    main()
