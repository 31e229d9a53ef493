"""Benchmarks of the `ordwyne` extension module on the standard workload.

Every measurement runs in a fresh interpreter (a child of this script), so
one measurement's memory peak or allocator state never leaks into another.
Per-call times come from batches of calls timed with perf_counter_ns (wall)
and process_time_ns (CPU of the process); the figures are the median and
p99 of the per-call time over the batches, and with --runs N the median of
those over N children. On a shared machine the CPU figure is the steadier
one; both are printed. Nothing here asserts on time.

    pip install /work/main -q
    cmake --build <engine build dir> --target ordwyne_profile_driver   # state files
    python bench/bench_module.py --runs 3 --json /tmp/module.json \
        --state-tool <engine build dir>/bench/ordwyne_profile_driver \
        --engine-json /tmp/engine.json

The persistence figures load states written by the engine's profile driver,
the same ones the engine benchmarks use (bench/states.hpp: 2000 decisions
learned, 1000 pending; "populated" then writes every model coordinate,
"sparse" leaves the model as trained). Without --state-tool they are skipped.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import random
import resource
import statistics
import subprocess
import sys
import time
from array import array

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import workload as W  # noqa: E402

TARGETS_US = {"decide": 8.0, "learn": 2.0, "expire": 10.0}
LEDGER_SIZES = (1000, 100000, 1000000)
STATE_BITS = (16, 20, 24)
WARM = 20000  # decisions learned before measuring, as in the engine benchmarks


# ---------------------------------------------------------------- helpers

def _status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field + " not in /proc/self/status")


def rss_bytes() -> int:
    return _status_kib("VmRSS") * 1024


def hwm_bytes() -> int:
    return _status_kib("VmHWM") * 1024


def reset_peak() -> bool:
    """Resets the process's peak RSS (VmHWM) to its current RSS."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def maxrss_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def percentile(xs, q):
    """Nearest-rank percentile."""
    s = sorted(xs)
    return s[max(0, min(len(s), math.ceil(q * len(s))) - 1)]


def summary(wall_ns, cpu_ns):
    """Per-call figures in microseconds over the batches."""
    return {
        "wall_median_us": statistics.median(wall_ns) / 1e3,
        "wall_p99_us": percentile(wall_ns, 0.99) / 1e3,
        "cpu_median_us": statistics.median(cpu_ns) / 1e3,
        "cpu_p99_us": percentile(cpu_ns, 0.99) / 1e3,
        "batches": len(wall_ns),
    }


def new_state(m, bits=W.BITS):
    return m.create(bits, W.HORIZON, W.DEFAULT_REWARD, W.EPSILON, W.FORGETFULNESS)


def warmed_state(m, w):
    st = new_state(m)
    for i in range(WARM):
        r = m.decide(st, w.context(i), w.candidates(i), W.Workload.time(i), W.SALT)
        m.learn(st, r.decision_id, W.Workload.reward(i), W.Workload.time(i))
    return st


# ---------------------------------------------------------------- children

def child_decide(m, batches, batch):
    """decide alone; after each batch the ledger is emptied by one untimed
    expire, so it never holds more than `batch` records."""
    w = W.Workload()
    st = warmed_state(m, w)
    decide, expire = m.decide, m.expire
    i = WARM
    wall, cpu = [], []
    gc.collect()
    for _ in range(batches):
        args = [(w.context(k), w.candidates(k), float(k)) for k in range(i, i + batch)]
        c0, t0 = time.process_time_ns(), time.perf_counter_ns()
        for ctx, cands, t in args:
            decide(st, ctx, cands, t, W.SALT)
        t1, c1 = time.perf_counter_ns(), time.process_time_ns()
        wall.append((t1 - t0) / batch)
        cpu.append((c1 - c0) / batch)
        i += batch
        expire(st, float(i) + W.HORIZON)
    return {"decide": summary(wall, cpu)}


def child_decide_learn(m, batches, batch):
    """decide, then learn of that decision right away (ledger <= 1)."""
    w = W.Workload()
    st = warmed_state(m, w)
    decide, learn = m.decide, m.learn
    i = WARM
    wall, cpu = [], []
    gc.collect()
    for _ in range(batches):
        args = [(w.context(k), w.candidates(k), float(k), W.Workload.reward(k))
                for k in range(i, i + batch)]
        c0, t0 = time.process_time_ns(), time.perf_counter_ns()
        for ctx, cands, t, rw in args:
            learn(st, decide(st, ctx, cands, t, W.SALT).decision_id, rw, t)
        t1, c1 = time.perf_counter_ns(), time.process_time_ns()
        wall.append((t1 - t0) / batch)
        cpu.append((c1 - c0) / batch)
        i += batch
    return {"decide+learn": summary(wall, cpu)}


def child_ledger(m, size, batches):
    """learn of random pending ids at `size` pending; the ledger is topped
    up after each batch, untimed. At 10^6 also expire with nothing due and
    the RSS growth per pending record."""
    w = W.Workload()
    st = warmed_state(m, w)
    decide, learn, expire = m.decide, m.learn, m.expire
    batch = 1000 if size >= 10000 else size // 10
    pending = array("Q", bytes(8 * size))  # decision numbers, allocated up front
    count = 0
    nxt = WARM
    pick = random.Random(W.SEED)
    out = {}

    def fill():
        nonlocal count, nxt
        while count < size:
            decide(st, w.context(nxt), w.candidates(nxt), float(nxt), W.SALT)
            pending[count] = nxt
            count += 1
            nxt += 1

    gc.collect()
    rss0 = rss_bytes()
    t0 = time.perf_counter()
    fill()
    fill_s = time.perf_counter() - t0
    gc.collect()
    rss1 = rss_bytes()
    out["fill"] = {"records": size, "seconds": fill_s,
                   "rss_growth_bytes_per_record": (rss1 - rss0) / size}

    wall, cpu = [], []
    for _ in range(batches):
        picks = []
        for _ in range(batch):
            j = pick.randrange(count)
            picks.append(pending[j])
            count -= 1
            pending[j] = pending[count]
        args = [("%s:%d" % (W.SALT, d), W.Workload.reward(d), float(d)) for d in picks]
        c0, t0 = time.process_time_ns(), time.perf_counter_ns()
        for did, rw, t in args:
            learn(st, did, rw, t)
        t1, c1 = time.perf_counter_ns(), time.process_time_ns()
        wall.append((t1 - t0) / batch)
        cpu.append((c1 - c0) / batch)
        fill()
    out["learn"] = summary(wall, cpu)

    if size >= 1000000:
        wall, cpu = [], []
        for _ in range(batches):
            c0, t0 = time.process_time_ns(), time.perf_counter_ns()
            for _ in range(1000):
                expire(st, 0.0)  # every pending t >= 0: nothing is due
            t1, c1 = time.perf_counter_ns(), time.process_time_ns()
            wall.append((t1 - t0) / 1000)
            cpu.append((c1 - c0) / 1000)
        out["expire_nothing_due"] = summary(wall, cpu)
    return out


def _load_text(path):
    with open(path, encoding="ascii") as f:
        return f.read()


def _timed(fn, reps):
    wall, cpu = [], []
    result = None
    for _ in range(reps):
        result = None
        gc.collect()
        c0, t0 = time.process_time_ns(), time.perf_counter_ns()
        result = fn()
        t1, c1 = time.perf_counter_ns(), time.process_time_ns()
        wall.append(t1 - t0)
        cpu.append(c1 - c0)
    return result, {"wall_median_ms": statistics.median(wall) / 1e6,
                    "cpu_median_ms": statistics.median(cpu) / 1e6,
                    "reps": reps}


def child_deserialize(m, path, reps):
    """Time of deserialize, and the memory it needs beyond its input text:
    peak RSS during the first call minus the RSS before it."""
    text = _load_text(path)
    gc.collect()
    base = rss_bytes()
    base_maxrss = maxrss_bytes()
    peak_reset = reset_peak()
    c0, t0 = time.process_time_ns(), time.perf_counter_ns()
    st = m.deserialize(text)
    t1, c1 = time.perf_counter_ns(), time.process_time_ns()
    peak = hwm_bytes() if peak_reset else maxrss_bytes()
    held = rss_bytes() - base
    del st
    _, times = _timed(lambda: m.deserialize(text), reps - 1) if reps > 1 else (None, None)
    first = {"wall_ms": (t1 - t0) / 1e6, "cpu_ms": (c1 - c0) / 1e6}
    return {"deserialize": {
        "text_bytes": len(text),
        "first": first,
        "repeat": times,
        "peak_extra_bytes": peak - base,
        # the fresh process's own ru_maxrss; includes reading the file
        "maxrss_extra_bytes": maxrss_bytes() - base_maxrss if not peak_reset else None,
        "state_resident_bytes": held,
        "peak_from": "VmHWM reset" if peak_reset else "ru_maxrss",
    }}


def child_serialize(m, path, reps):
    """Time of serialize, and the memory it needs beyond the state it reads.
    The state comes from deserialize; the peak is reset afterwards, so the
    figure is serialize's own (requires /proc/self/clear_refs)."""
    text = _load_text(path)
    expect = hash(text), len(text)
    st = m.deserialize(text)
    del text
    gc.collect()
    base = rss_bytes()
    peak_reset = reset_peak()
    c0, t0 = time.process_time_ns(), time.perf_counter_ns()
    s = m.serialize(st)
    t1, c1 = time.perf_counter_ns(), time.process_time_ns()
    peak = hwm_bytes() if peak_reset else None
    same = (hash(s), len(s)) == expect
    del s
    _, times = _timed(lambda: m.serialize(st), reps - 1) if reps > 1 else (None, None)
    return {"serialize": {
        "text_bytes": expect[1],
        "first": {"wall_ms": (t1 - t0) / 1e6, "cpu_ms": (c1 - c0) / 1e6},
        "repeat": times,
        "peak_extra_bytes": None if peak is None else peak - base,
        "round_trip_identical": same,
        "peak_from": "VmHWM reset" if peak_reset else "unavailable",
    }}


def run_child(argv):
    import ordwyne as m

    kind = argv[0]
    if kind == "decide":
        out = child_decide(m, int(argv[1]), int(argv[2]))
    elif kind == "decide_learn":
        out = child_decide_learn(m, int(argv[1]), int(argv[2]))
    elif kind == "ledger":
        out = child_ledger(m, int(argv[1]), int(argv[2]))
    elif kind == "deserialize":
        out = child_deserialize(m, argv[1], int(argv[2]))
    elif kind == "serialize":
        out = child_serialize(m, argv[1], int(argv[2]))
    else:
        raise SystemExit("unknown child " + kind)
    json.dump(out, sys.stdout)


# ---------------------------------------------------------------- parent

def spawn(args):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", *map(str, args)]
    p = subprocess.run(cmd, capture_output=True, text=True)
    if p.returncode != 0:
        sys.stderr.write(p.stderr)
        raise SystemExit("child %s failed (%d)" % (args, p.returncode))
    return json.loads(p.stdout)


def med(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


_written = set()


def state_file(tool, bits, fill, directory):
    """Writes the state once per invocation, so it always matches the engine
    the tool was built from."""
    path = os.path.join(directory, "ordwyne_bench_state_bits%d_%s.hex" % (bits, fill))
    if path not in _written:
        subprocess.run([tool, "state", str(bits), path] + (["sparse"] if fill == "sparse" else []),
                       check=True)
        _written.add(path)
    return path


def engine_checksum_ms(engine_json, bits, fill):
    """Median CPU time of the engine's checksum-only benchmark, in ms."""
    if not engine_json:
        return None
    with open(engine_json) as f:
        data = json.load(f)
    for b in data["benchmarks"]:
        if (b["name"].startswith("state/checksum_via_rejected_bytes/bits:%d/%s/" % (bits, fill.capitalize()))
                and b.get("aggregate_name") == "median"):
            scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
            return b["cpu_time"] * scale
    return None


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--runs", type=int, default=3, help="children per measurement")
    ap.add_argument("--only", nargs="*", default=None,
                    help="decide decide_learn ledger serialize deserialize")
    ap.add_argument("--quick", action="store_true", help="fewer batches, smaller sizes")
    ap.add_argument("--json", help="write all raw results here")
    ap.add_argument("--state-tool", help="path of ordwyne_profile_driver")
    ap.add_argument("--state-dir", default="/tmp", help="where the state files go")
    ap.add_argument("--fill", choices=("populated", "sparse", "both"), default="both",
                    help="which persistence state (see states.hpp)")
    ap.add_argument("--engine-json", help="engine benchmark JSON, for the checksum share")
    ap.add_argument("--child", nargs=argparse.REMAINDER, help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.child:
        run_child(a.child)
        return

    want = set(a.only) if a.only else {"decide", "decide_learn", "ledger", "serialize",
                                        "deserialize"}
    batches = 30 if a.quick else 200
    sizes = (1000, 100000) if a.quick else LEDGER_SIZES
    results = {"uptime_start": os.getloadavg(), "python": sys.version.split()[0]}
    rows = []

    def row(name, value, unit, target=None, extra=""):
        rows.append((name, value, unit, target, extra))
        tgt = "" if target is None else "target <= %g %s" % (target, unit)
        val = "n/a" if value is None else "%.3f" % value
        print("%-44s %12s %-3s %-20s %s" % (name, val, unit, tgt, extra), flush=True)

    if "decide" in want:
        rs = [spawn(["decide", batches, 500]) for _ in range(a.runs)]
        results["decide"] = rs
        d = [r["decide"] for r in rs]
        row("decide (ledger <= 500), cpu median", med([x["cpu_median_us"] for x in d]), "us",
            TARGETS_US["decide"], "p99 %.2f" % med([x["cpu_p99_us"] for x in d]))
        row("decide (ledger <= 500), wall median", med([x["wall_median_us"] for x in d]), "us",
            TARGETS_US["decide"], "p99 %.2f" % med([x["wall_p99_us"] for x in d]))
    if "decide_learn" in want:
        rs = [spawn(["decide_learn", batches, 500]) for _ in range(a.runs)]
        results["decide_learn"] = rs
        d = [r["decide+learn"] for r in rs]
        row("decide+learn at once, cpu median", med([x["cpu_median_us"] for x in d]), "us", None,
            "p99 %.2f" % med([x["cpu_p99_us"] for x in d]))
        row("decide+learn at once, wall median", med([x["wall_median_us"] for x in d]), "us",
            None, "p99 %.2f" % med([x["wall_p99_us"] for x in d]))
    if "ledger" in want:
        for size in sizes:
            n_batches = batches if size < 1000000 else max(30, batches // 4)
            rs = [spawn(["ledger", size, n_batches]) for _ in range(a.runs)]
            results["ledger_%d" % size] = rs
            d = [r["learn"] for r in rs]
            row("learn at %d pending, cpu median" % size,
                med([x["cpu_median_us"] for x in d]), "us", TARGETS_US["learn"],
                "p99 %.2f" % med([x["cpu_p99_us"] for x in d]))
            row("learn at %d pending, wall median" % size,
                med([x["wall_median_us"] for x in d]), "us", TARGETS_US["learn"],
                "p99 %.2f" % med([x["wall_p99_us"] for x in d]))
            if size >= 1000000:
                e = [r["expire_nothing_due"] for r in rs]
                row("expire nothing due at 10^6, cpu median",
                    med([x["cpu_median_us"] for x in e]), "us", TARGETS_US["expire"],
                    "p99 %.2f" % med([x["cpu_p99_us"] for x in e]))
                row("expire nothing due at 10^6, wall median",
                    med([x["wall_median_us"] for x in e]), "us", TARGETS_US["expire"],
                    "p99 %.2f" % med([x["wall_p99_us"] for x in e]))
                row("RSS growth per pending record at 10^6",
                    med([r["fill"]["rss_growth_bytes_per_record"] for r in rs]), "B")
    for kind in ("deserialize", "serialize"):
        if kind not in want:
            continue
        if not a.state_tool:
            print("%s: skipped (no --state-tool)" % kind)
            continue
        fills = ("populated", "sparse") if a.fill == "both" else (a.fill,)
        for bits, fill in [(b, f) for f in fills for b in STATE_BITS]:
            path = state_file(a.state_tool, bits, fill, a.state_dir)
            reps = 3 if bits >= 24 else 10
            rs = [spawn([kind, path, reps]) for _ in range(a.runs)]
            results["%s_%d_%s" % (kind, bits, fill)] = rs
            d = [r[kind] for r in rs]
            cpu = [x["first"]["cpu_ms"] for x in d] + [
                x["repeat"]["cpu_median_ms"] for x in d if x["repeat"]]
            wall = [x["first"]["wall_ms"] for x in d] + [
                x["repeat"]["wall_median_ms"] for x in d if x["repeat"]]
            peak = med([x["peak_extra_bytes"] for x in d])
            extra = "peak +%.1f MiB (%s), text %.1f MiB" % (
                (peak or 0) / 2**20, d[0]["peak_from"], d[0]["text_bytes"] / 2**20)
            if kind == "serialize":
                extra += ", round trip %s" % all(x["round_trip_identical"] for x in d)
            row("%s bits %d %s, cpu median" % (kind, bits, fill), med(cpu), "ms", None, extra)
            row("%s bits %d %s, wall median" % (kind, bits, fill), med(wall), "ms")
            ck = engine_checksum_ms(a.engine_json, bits, fill)
            if ck is not None and med(cpu):
                row("  checksum share (engine checksum / this)", 100.0 * ck / med(cpu), "%")
    results["uptime_end"] = os.getloadavg()
    print("load average: start %s, end %s" % (
        " ".join("%.2f" % x for x in results["uptime_start"]),
        " ".join("%.2f" % x for x in results["uptime_end"])))
    if a.json:
        with open(a.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
