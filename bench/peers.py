#!/usr/bin/env python3
"""The standard workload through ordwyne and its peers, one table.

Engines, each in a fresh subprocess (so the peak RSS is its own), one after
another:

  ordwyne          decide + learn, reward reported at once, the model's own
                   estimates, create(BITS, HORIZON, epsilon=0.05)
  ordwyne-delayed  same state, but a click is reported after a random delay
                   of 1..300 s and a non-click never: it resolves through
                   expire() (called every 100 decisions) at the horizon with
                   the default reward 0.0
  ordwyne-tuned    the defaults of "ordwyne" for the first quarter of the
                   decisions, logged (log_line, in the timing); then `ordwyne
                   eval` of that log over epsilon 0, 0.05 x forgetfulness
                   0.999, 1.0, `ordwyne train` of its best-supported row
                   (its JSON report's "best" command) on the same log, and
                   the trained state for the rest. The tuning itself (eval
                   and train, subprocesses) is outside the timing; its
                   wall time and the chosen row are reported.
  vowpalwabbit     --cb_explore_adf --epsilon 0.05 -q CA -b 18 --quiet, fed
                   "shared |C ..." plus one "|A ..." line per candidate, the
                   chosen line labelled 0:cost:prob with cost = -reward; the
                   returned pmf is sampled with our own seeded RNG
  river            river.bandit.LinUCBDisjoint, one Bayesian linear
                   regression per article over the one-hot encoded context
  uniform          uniform random choice, the floor

Contexts and candidates come from workload.py (the same generator the C++
bench uses). Its reward ignores the choice, so the clicks here come from a
hidden linear click model defined below: per-article quality, freshness,
context x article interactions (interest x topic, country x language,
scroll depth x length, phone x length) and a seeded random weight for every
(context text value, article text value) pair, clipped to [0.005, 0.95].
Decision i draws one uniform number u_i shared by every engine and clicks
when u_i < p(chosen), so the engines face the same coin flips.

Diagnostics, run only when named in --engines: ordwyne-noforget
(forgetfulness 1.0), ordwyne-text-noforget (text features only, no
forgetting) and vowpalwabbit-text (text features only).

Timed: the engine's decide step (including building its input: the
dictionaries for ordwyne, VW's text lines, River's one-hot dict, and the
sampling from VW's pmf) and its learn step (including VW's labelled lines,
and for the delayed variant the learn and expire calls that fall due).
Not timed: the click simulation. The last column is the child's CPU time
for the whole loop (harness included) per decision: a figure less disturbed
than wall-clock latency when other processes share the cores.

    python bench/peers.py                   # 3 runs, 20000 decisions, medians
    python bench/peers.py --runs 1 --decisions 5000 --engines ordwyne,uniform
"""

from __future__ import annotations

import argparse
import heapq
import json
import math
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import workload as wl  # noqa: E402

ENGINES = ("ordwyne", "ordwyne-delayed", "ordwyne-tuned", "vowpalwabbit", "river", "uniform")
VW_ARGS = "--cb_explore_adf --epsilon %g -q CA -b %d --quiet" % (wl.EPSILON, wl.BITS)
EXPIRE_EVERY = 100
MAX_DELAY = 300
TUNE_AT = 4  # ordwyne-tuned: tuned after 1/TUNE_AT of the decisions
TUNE_SWEEP = ["--epsilon", "0,0.05", "--forgetfulness", "0.999,1.0"]


# --------------------------------------------------------------------------
# Hidden click model


# Which article language a reader in each country prefers; English is
# acceptable to everyone, other foreign languages are penalised.
_COUNTRY_LANGUAGE = {"de": "de", "fr": "fr", "es": "es", "it": "it", "us": "en", "gb": "en"}


class ClickModel:
    """Linear click probability with context x article interactions."""

    BASE = 0.08

    def __init__(self, seed: int) -> None:
        self._seed = seed
        self._weights: dict[str, float] = {}

    def _weight(self, key: str, sd: float) -> float:
        # One independent draw per key, stable across processes (str seeds
        # are hashed with SHA-512, not with the per-process string hash).
        w = self._weights.get(key)
        if w is None:
            w = random.Random("%d/%s" % (self._seed, key)).gauss(0.0, sd)
            self._weights[key] = w
        return w

    def prob(self, ctx: dict, name: str, feats: dict) -> float:
        s = self.BASE + self._weight("quality/" + name, 0.03)
        for cn, cv in ctx.items():
            if not isinstance(cv, str):
                continue
            for an, av in feats.items():
                if isinstance(av, str):
                    s += self._weight("%s=%s/%s=%s" % (cn, cv, an, av), 0.025)
        if ctx.get("interest") is not None and ctx.get("interest") == feats.get("topic"):
            s += 0.12
        lang = feats.get("language")
        if lang is not None:
            if lang == _COUNTRY_LANGUAGE.get(ctx.get("country")):
                s += 0.05
            elif lang != "en":
                s -= 0.04
        length = float(feats.get("length", 0.0)) / 3000.0
        s += 0.10 * float(ctx.get("scroll_depth", 0.0)) * length
        if ctx.get("device") == "phone":
            s -= 0.04 * length
        s -= 0.06 * float(feats.get("age_hours", 0.0)) / 72.0
        return min(max(s, 0.005), 0.95)


class Simulation:
    """The workload plus per-decision click probabilities and coin flips."""

    def __init__(self, decisions: int, seed: int) -> None:
        self.work = wl.Workload(seed)
        self.n = decisions
        model = ClickModel(seed)
        self.probs = []
        for i in range(wl.PLANS):
            ctx = self.work.context(i)
            self.probs.append([model.prob(ctx, name, f) for name, f in self.work.candidates(i)])
        rng = random.Random(seed ^ 0x5EED)
        self.coins = [rng.random() for _ in range(decisions)]

    def p(self, i: int, j: int) -> float:
        return self.probs[i % wl.PLANS][j]

    def reward(self, i: int, j: int) -> float:
        return 1.0 if self.coins[i] < self.probs[i % wl.PLANS][j] else 0.0

    def reference(self) -> dict:
        """Expected reward over the last half of uniform and of the oracle."""
        half = range(self.n // 2, self.n)
        uni = [statistics.fmean(self.probs[i % wl.PLANS]) for i in half]
        best = [max(self.probs[i % wl.PLANS]) for i in half]
        return {"uniform": statistics.fmean(uni), "oracle": statistics.fmean(best)}


# --------------------------------------------------------------------------
# Engines: decide(i, ctx, cands) -> index; learn(i, index, reward)


class Ordwyne:
    FORGETFULNESS = None  # None: the module's default

    def __init__(self, seed: int, work) -> None:
        import ordwyne

        self._o = ordwyne
        if self.FORGETFULNESS is None:
            self._state = ordwyne.create(wl.BITS, wl.HORIZON, epsilon=wl.EPSILON)
        else:
            self._state = ordwyne.create(wl.BITS, wl.HORIZON, epsilon=wl.EPSILON,
                                         forgetfulness=self.FORGETFULNESS)
        self._salt = wl.SALT
        self._id = None
        self.version = getattr(ordwyne, "__version__", None) or _dist_version("ordwyne")

    def decide(self, i, ctx, cands):
        rec = self._o.decide(self._state, ctx, cands, float(i), self._salt)
        self._id = rec.decision_id
        return rec.chosen

    def learn(self, i, j, r):
        self._o.learn(self._state, self._id, r, float(i))

    def finish(self):
        return {}


class OrdwyneDelayed(Ordwyne):
    """Clicks arrive late; non-clicks are never reported and expire."""

    def __init__(self, seed: int, work) -> None:
        super().__init__(seed, work)
        self._rng = random.Random(seed ^ 0xDE1A7)
        self._arrivals: list = []
        self._seq = 0
        self._rewarded = 0
        self._expired = 0

    def learn(self, i, j, r):
        t = float(i)
        if r != 0.0:
            self._seq += 1
            arrive = t + self._rng.randint(1, MAX_DELAY)
            heapq.heappush(self._arrivals, (arrive, self._seq, self._id, r))
        learn = self._o.learn
        state = self._state
        arrivals = self._arrivals
        while arrivals and arrivals[0][0] <= t:
            at, _, did, rew = heapq.heappop(arrivals)
            res = learn(state, did, rew, at)
            if res is not None:
                self._rewarded += res.kind == "rewarded"
        if i % EXPIRE_EVERY == 0:
            self._expired += len(self._o.expire(state, t))

    def finish(self):
        return {"rewarded": self._rewarded, "expired": self._expired}


class OrdwyneTuned(Ordwyne):
    """The defaults, logged, for the first quarter; then the setting the
    offline tool finds best supported on that log, trained from it."""

    def __init__(self, seed: int, work) -> None:
        super().__init__(seed, work)
        self._dir = tempfile.mkdtemp(prefix="peers-tuned-")
        self._start = os.path.join(self._dir, "start.hex")
        with open(self._start, "w") as f:
            f.write(self._o.serialize(self._state))
        self._log_path = os.path.join(self._dir, "first.jsonl")
        self._log = open(self._log_path, "w")
        self._tuned = None
        self._tune_s = 0.0

    def decide(self, i, ctx, cands):
        rec = self._o.decide(self._state, ctx, cands, float(i), self._salt)
        self._id = rec.decision_id
        if self._log is not None:
            self._log.write(self._o.log_line(rec) + "\n")
        return rec.chosen

    def learn(self, i, j, r):
        res = self._o.learn(self._state, self._id, r, float(i))
        if self._log is not None:
            self._log.write(self._o.log_line(res) + "\n")

    def between(self, i, decisions):
        if i == decisions // TUNE_AT:
            self._tune()

    def _tune(self) -> None:
        started = time.perf_counter()
        self._log.close()
        self._log = None
        tool = [sys.executable, "-m", "ordwyne_offline"]
        report_path = os.path.join(self._dir, "eval.json")
        subprocess.run(tool + ["eval", self._log_path, "--state", self._start, *TUNE_SWEEP,
                               "--json", report_path, "--quiet"],
                       check=True, stdout=subprocess.DEVNULL)
        with open(report_path) as f:
            best = json.load(f).get("best")
        if best is None:
            self._tuned = "none supported: the defaults kept"
        else:
            command = list(best["command"])
            out = os.path.join(self._dir, "tuned.hex")
            command[command.index("--out") + 1] = out
            subprocess.run(tool + command[1:], check=True, stdout=subprocess.DEVNULL)
            with open(out) as f:
                self._state = self._o.deserialize(f.read())
            self._tuned = best["row"]
        self._tune_s = time.perf_counter() - started
        shutil.rmtree(self._dir, ignore_errors=True)

    def finish(self):
        if self._log is not None:  # never tuned (too few decisions)
            self._log.close()
            shutil.rmtree(self._dir, ignore_errors=True)
        return {"tuned": self._tuned, "tune_s": self._tune_s}


def _features_text(feats: dict) -> str:
    parts = []
    for name, v in feats.items():
        if isinstance(v, str):
            parts.append("%s=%s" % (name, v))
        elif v is not None:
            parts.append("%s:%r" % (name, float(v)))
    return " ".join(parts)


class VowpalWabbit:
    def __init__(self, seed: int, work) -> None:
        import vowpalwabbit

        self._ws = vowpalwabbit.Workspace(VW_ARGS)
        self._rng = random.Random(seed)
        self._pending = None
        self.version = _dist_version("vowpalwabbit")

    def decide(self, i, ctx, cands):
        lines = ["shared |C " + _features_text(ctx)]
        # The article name is a feature too, so -q CA also crosses the
        # context with the article identity.
        for name, f in cands:
            lines.append("|A %s %s" % (_features_text(f), name))
        pmf = self._ws.predict(lines)
        u = self._rng.random()
        j = len(pmf) - 1
        acc = 0.0
        for k, pk in enumerate(pmf):
            acc += pk
            if u < acc:
                j = k
                break
        self._pending = (lines, pmf[j])
        return j

    def learn(self, i, j, r):
        lines, p = self._pending
        lines[j + 1] = "0:%r:%r %s" % (0.0 - r, p, lines[j + 1])
        self._ws.learn(lines)

    def finish(self):
        self._ws.finish()
        return {}


def _one_hot(feats: dict) -> dict:
    x = {}
    for name, v in feats.items():
        if isinstance(v, str):
            x["%s=%s" % (name, v)] = 1.0
        elif v is not None:
            x[name] = float(v)
    return x


class River:
    def __init__(self, seed: int, work) -> None:
        from river import bandit

        self._policy = bandit.LinUCBDisjoint(alpha=1.0, beta=1.0, seed=seed)
        self._x = None
        self._names = None
        self.version = _dist_version("river")

    def decide(self, i, ctx, cands):
        # Disjoint LinUCB keeps one model per arm (article); the article's
        # own features are constant per arm, so only the context is fed.
        x = _one_hot(ctx)
        names = [name for name, _ in cands]
        arm = self._policy.pull(names, context=x)
        self._x = x
        self._names = names
        return names.index(arm)

    def learn(self, i, j, r):
        self._policy.update(self._names[j], self._x, r)

    def finish(self):
        return {}


class Uniform:
    def __init__(self, seed: int, work) -> None:
        self._rng = random.Random(seed)
        self.version = None

    def decide(self, i, ctx, cands):
        return self._rng.randrange(len(cands))

    def learn(self, i, j, r):
        pass

    def finish(self):
        return {}


# Diagnostics, not run by default: they separate what forgetting and the
# numeric features cost the per-coordinate model against VW's learner.


class OrdwyneNoForget(Ordwyne):
    FORGETFULNESS = 1.0


def _text_only(feats: dict) -> dict:
    return {k: v for k, v in feats.items() if isinstance(v, str)}


class _TextOnly:
    """Feeds only the text features; the stripped plans are built up front
    so the stripping is not timed."""

    def __init__(self, seed: int, work) -> None:
        super().__init__(seed, work)
        self._plans = [(_text_only(work.context(p)),
                        [(name, _text_only(f)) for name, f in work.candidates(p)])
                       for p in range(wl.PLANS)]

    def decide(self, i, ctx, cands):
        ctx, cands = self._plans[i % wl.PLANS]
        return super().decide(i, ctx, cands)


class OrdwyneTextNoForget(_TextOnly, OrdwyneNoForget):
    pass


class VowpalWabbitText(_TextOnly, VowpalWabbit):
    pass


FACTORIES = {
    "ordwyne": Ordwyne,
    "ordwyne-delayed": OrdwyneDelayed,
    "ordwyne-tuned": OrdwyneTuned,
    "vowpalwabbit": VowpalWabbit,
    "river": River,
    "uniform": Uniform,
    "ordwyne-noforget": OrdwyneNoForget,
    "ordwyne-text-noforget": OrdwyneTextNoForget,
    "vowpalwabbit-text": VowpalWabbitText,
}


def _dist_version(name: str):
    try:
        from importlib.metadata import version

        return version(name)
    except Exception:
        return None


# --------------------------------------------------------------------------
# Child: one engine, one run, one JSON line on stdout


def _percentile(sorted_values, q):
    k = max(0, math.ceil(q * len(sorted_values)) - 1)
    return sorted_values[k]


def run_child(engine: str, decisions: int, seed: int) -> dict:
    sim = Simulation(decisions, seed)
    try:
        eng = FACTORIES[engine](seed, sim.work)
    except ImportError as e:
        return {"engine": engine, "error": "not installable: %s: %s" % (type(e).__name__, e)}
    work = sim.work
    clock = time.perf_counter_ns
    cpu0 = time.process_time()
    decide_ns = [0] * decisions
    learn_total = 0
    rewards = [0.0] * decisions
    expected = [0.0] * decisions
    between = getattr(eng, "between", None)  # untimed work between two decisions
    for i in range(decisions):
        if between is not None:
            between(i, decisions)
        ctx = work.context(i)
        cands = work.candidates(i)
        t0 = clock()
        j = eng.decide(i, ctx, cands)
        t1 = clock()
        r = sim.reward(i, j)
        t2 = clock()
        eng.learn(i, j, r)
        t3 = clock()
        decide_ns[i] = t1 - t0
        learn_total += t3 - t2
        rewards[i] = r
        expected[i] = sim.p(i, j)
    cpu = time.process_time() - cpu0
    extra = eng.finish()
    decide_total = sum(decide_ns)
    decide_ns.sort()
    half = decisions // 2
    out = {
        "engine": engine,
        "version": eng.version,
        "decisions": decisions,
        "decisions_per_s": decisions / ((decide_total + learn_total) * 1e-9),
        "decide_p50_us": _percentile(decide_ns, 0.50) / 1e3,
        "decide_p99_us": _percentile(decide_ns, 0.99) / 1e3,
        "learn_share": learn_total / (decide_total + learn_total),
        "cpu_us_per_decision": cpu / decisions * 1e6,
        "reward_last_half": statistics.fmean(rewards[half:]),
        "expected_last_half": statistics.fmean(expected[half:]),
    }
    out.update(extra)
    return out


# --------------------------------------------------------------------------
# Parent: fresh subprocess per engine and run, medians across runs


def spawn_measured(engine: str, decisions: int, seed: int) -> dict:
    """Run the child and take ru_maxrss from wait4 on exactly that child."""
    cmd = [sys.executable, os.path.abspath(__file__), "--child", engine,
           "--decisions", str(decisions), "--seed", str(seed)]
    sys.stdout.flush()
    sys.stderr.flush()
    r_out, w_out = os.pipe()
    r_err, w_err = os.pipe()
    pid = os.fork()
    if pid == 0:  # child: exec the engine run with stdout/stderr on the pipes
        os.close(r_out)
        os.close(r_err)
        os.dup2(w_out, 1)
        os.dup2(w_err, 2)
        try:
            os.execv(sys.executable, cmd)
        finally:
            os._exit(127)
    os.close(w_out)
    os.close(w_err)
    with os.fdopen(r_out, "rb") as fo, os.fdopen(r_err, "rb") as fe:
        out = fo.read()  # the child writes a single short JSON line
        err = fe.read()
    _, status, usage = os.wait4(pid, 0)
    try:
        res = json.loads(out.decode().strip().splitlines()[-1])
    except (ValueError, IndexError):
        tail = err.decode(errors="replace").strip().splitlines()[-1:] or ["no output"]
        res = {"engine": engine, "error": "failed (exit %d): %s"
               % (os.waitstatus_to_exitcode(status), tail[0])}
    if "error" not in res:
        res["peak_rss_mib"] = usage.ru_maxrss / 1024.0  # KiB on Linux
    return res


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


COLUMNS = (
    ("engine", "engine"),
    ("decisions/s (decide+learn)", "decisions_per_s"),
    ("decide p50 µs", "decide_p50_us"),
    ("decide p99 µs", "decide_p99_us"),
    ("avg reward, last half", "reward_last_half"),
    ("E[reward], last half", "expected_last_half"),
    ("peak RSS MiB", "peak_rss_mib"),
    ("loop CPU µs/decision", "cpu_us_per_decision"),
)
FORMATS = {
    "decisions_per_s": "{:,.0f}",
    "decide_p50_us": "{:.1f}",
    "decide_p99_us": "{:.1f}",
    "reward_last_half": "{:.4f}",
    "expected_last_half": "{:.4f}",
    "peak_rss_mib": "{:.1f}",
    "cpu_us_per_decision": "{:.1f}",
}


def median_row(results: list) -> dict:
    ok = [r for r in results if "error" not in r]
    if not ok:
        return results[0]
    row = {"engine": ok[0]["engine"], "version": ok[0].get("version")}
    for _, key in COLUMNS[1:]:
        row[key] = statistics.median(r[key] for r in ok)
    return row


def table(rows: list) -> str:
    lines = ["| " + " | ".join(h for h, _ in COLUMNS) + " |",
             "|" + "|".join("---" if k == "engine" else "---:" for _, k in COLUMNS) + "|"]
    for row in rows:
        name = row["engine"] + (" " + row["version"] if row.get("version") else "")
        if "error" in row:
            cells = [name, row["error"]] + [""] * (len(COLUMNS) - 2)
        else:
            cells = [name] + [FORMATS[k].format(row[k]) for _, k in COLUMNS[1:]]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--decisions", type=int, default=20000)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--seed", type=int, default=wl.SEED)
    ap.add_argument("--engines", default=",".join(ENGINES),
                    help="comma-separated, from: " + ", ".join(FACTORIES))
    ap.add_argument("--json", metavar="FILE", help="also write every run's raw results here")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.child:
        print(json.dumps(run_child(args.child, args.decisions, args.seed)), flush=True)
        return 0

    engines = [e.strip() for e in args.engines.split(",") if e.strip()]
    for e in engines:
        if e not in FACTORIES:
            ap.error("unknown engine %r (known: %s)" % (e, ", ".join(FACTORIES)))

    load_before = os.getloadavg()
    runs = []
    for k in range(args.runs):
        # Engines run one after another in every run, so slow drift in the
        # machine's load spreads over all of them rather than one.
        results = {e: spawn_measured(e, args.decisions, args.seed) for e in engines}
        runs.append(results)
        print("run %d of %d" % (k + 1, args.runs), file=sys.stderr)
        print(table([results[e] for e in engines]), file=sys.stderr)
        print(file=sys.stderr)
    load_after = os.getloadavg()

    rows = [median_row([run[e] for run in runs]) for e in engines]
    ref = Simulation(args.decisions, args.seed).reference()
    print("peers: %d decisions per engine, seed %d, median of %d run(s), each engine in a fresh process"
          % (args.decisions, args.seed, args.runs))
    print()
    print(table(rows))
    print()
    print("expected reward over the last half: uniform %.4f, oracle (best candidate under the hidden model) %.4f"
          % (ref["uniform"], ref["oracle"]))
    best_peer = max((r for r in rows if "error" not in r and r["engine"] in ("vowpalwabbit", "river")),
                    key=lambda r: r["decisions_per_s"], default=None)
    ours = next((r for r in rows if r["engine"] == "ordwyne" and "error" not in r), None)
    vw = next((r for r in rows if r["engine"] == "vowpalwabbit" and "error" not in r), None)
    if ours and best_peer:
        print("ordwyne / fastest peer (%s) decisions per second: %.1fx"
              % (best_peer["engine"], ours["decisions_per_s"] / best_peer["decisions_per_s"]))
    if ours and vw:
        print("ordwyne - vowpalwabbit average reward, last half: %+.4f (expected %+.4f)"
              % (ours["reward_last_half"] - vw["reward_last_half"],
                 ours["expected_last_half"] - vw["expected_last_half"]))
    tuned = [run["ordwyne-tuned"] for run in runs
             if "ordwyne-tuned" in run and "error" not in run["ordwyne-tuned"]]
    if tuned:
        print("ordwyne-tuned: %d decisions with the defaults, then eval (%s) chose %s; eval "
              "and train took %.1f s (median), outside the timing"
              % (args.decisions // TUNE_AT, " ".join(TUNE_SWEEP), tuned[0]["tuned"],
                 statistics.median(r["tune_s"] for r in tuned)))
    print("machine: %s, %d cores, python %s; load average %.2f %.2f %.2f before, %.2f %.2f %.2f after"
          % ((cpu_model(), os.cpu_count() or 0, platform.python_version()) + load_before + load_after))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"runs": runs, "medians": rows, "reference": ref,
                       "load_before": load_before, "load_after": load_after}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
