"""The evaluation itself: one pass over the log for a chunk of targets.

A target is an engine setting (bits, forgetfulness, epsilon). Settings that
differ only in epsilon share one model: every target learns the logged
choice's outcome whatever its own epsilon, so their states evolve
identically and only the probabilities differ. Such settings form a
`GroupPlan`, which runs one `decide`/`learn` per line for all of them.

Everything a row reports is accumulated in one process, in log order, so
the result does not depend on how the rows were spread over processes.
"""

from __future__ import annotations

import math
from array import array
from dataclasses import dataclass
from statistics import NormalDist
from typing import Callable, List, Optional, Sequence, Tuple

import ordwyne

from .logs import decision_inputs, iter_events

__all__ = ["RowPlan", "GroupPlan", "ChunkPlan", "EvalError", "epsilon_greedy",
           "Accumulator", "run_chunk", "Z95"]

Z95 = NormalDist().inv_cdf(0.975)
_NAN = float("nan")
_INF = float("inf")


class EvalError(Exception):
    """An input the evaluation cannot go on with (exit status 2)."""


@dataclass(frozen=True)
class RowPlan:
    """One row of the report; `index` is its place in the whole table."""
    index: int
    kind: str  # "logged", "uniform" or "engine"
    name: str
    bits: Optional[int] = None
    forgetfulness: Optional[float] = None
    epsilon: Optional[float] = None


@dataclass(frozen=True)
class GroupPlan:
    """One engine model and the rows (epsilons) that read its estimates."""
    bits: int
    forgetfulness: float
    rows: Tuple[RowPlan, ...]


@dataclass(frozen=True)
class ChunkPlan:
    """The work of one process: the logs, the start state and some groups.
    `extra_rows` (logged, uniform) ride on the first group's model."""
    paths: Tuple[str, ...]
    start: object  # start.Start; picklable
    groups: Tuple[GroupPlan, ...]
    extra_rows: Tuple[RowPlan, ...] = ()
    bootstrap: int = 0
    seed: int = 0


def epsilon_greedy(estimates: Sequence[float], epsilon: float) -> List[float]:
    """The engine's built-in exploration, reproduced to the bit: every
    candidate gets epsilon/n, the maxima share 1 - epsilon. The maximum is
    taken over the non-NaN estimates, scanning from the first of them, and a
    NaN estimate is never on top; when every estimate is NaN all are tied."""
    mask, k = _maxima(estimates)
    base = epsilon / len(estimates)
    top = base + (1.0 - epsilon) / k
    return [top if on_top else base for on_top in mask]


def _maxima(estimates: Sequence[float]):
    """Which estimates are on top under `epsilon_greedy`, and how many."""
    n = len(estimates)
    first = 0
    while first < n and estimates[first] != estimates[first]:
        first += 1
    if first == n:
        return [True] * n, n
    m = estimates[first]
    for i in range(first + 1, n):
        if estimates[i] > m:
            m = estimates[i]
    mask = [e == m for e in estimates]
    return mask, mask.count(True)


class Accumulator:
    """Streaming sums for one row: per used decision the weight w, the
    weighted reward u = w*r and the doubly robust term d. Means and centred
    co-moments are updated Welford-style, which keeps the variances sound
    when the weights are large."""

    __slots__ = ("n", "mu", "mw", "md", "cuu", "cuw", "cww", "cdd", "sw", "sww", "maxw",
                 "keep", "ws", "us", "ds")

    def __init__(self, keep: bool = False) -> None:
        self.n = 0
        self.mu = self.mw = self.md = 0.0
        self.cuu = self.cuw = self.cww = self.cdd = 0.0
        self.sw = self.sww = 0.0
        self.maxw = -_INF
        self.keep = keep  # the bootstrap needs every decision's values
        self.ws = array("d")
        self.us = array("d")
        self.ds = array("d")

    def add(self, w: float, u: float, d: float) -> None:
        n = self.n + 1
        self.n = n
        du = u - self.mu
        dw = w - self.mw
        dd = d - self.md
        self.mu += du / n
        self.mw += dw / n
        self.md += dd / n
        self.cuu += du * (u - self.mu)
        self.cuw += du * (w - self.mw)
        self.cww += dw * (w - self.mw)
        self.cdd += dd * (d - self.md)
        self.sw += w
        self.sww += w * w
        if w > self.maxw:
            self.maxw = w
        if self.keep:
            self.ws.append(w)
            self.us.append(u)
            self.ds.append(d)

    def summary(self, bootstrap: int = 0, seed: int = 0) -> dict:
        """Estimates with 95% intervals, the effective sample size and the
        largest weight. Undefined values (no decisions, one decision for an
        interval, no weight for SNIPS) are None."""
        n = self.n
        out = {"used": n, "ess": None, "max_weight": None,
               "ips": _interval(None, None), "snips": _interval(None, None),
               "dr": _interval(None, None)}
        if n == 0:
            return out
        out["max_weight"] = self.maxw
        out["ess"] = (self.sw * self.sw) / self.sww if self.sww > 0.0 else 0.0
        snips = self.mu / self.mw if self.mw > 0.0 else None
        if bootstrap:
            lows, highs = _bootstrap(self, bootstrap, seed)
        elif n > 1:
            def half(var):
                return Z95 * math.sqrt(max(var, 0.0) / n)
            h_ips = half(self.cuu / (n - 1))
            h_dr = half(self.cdd / (n - 1))
            h_sn = None
            if snips is not None:
                # delta method for a ratio of means: the spread of u - V*w
                c = self.cuu - 2.0 * snips * self.cuw + snips * snips * self.cww
                h_sn = half(c / (n - 1)) / self.mw
            lows = (self.mu - h_ips, None if h_sn is None else snips - h_sn, self.md - h_dr)
            highs = (self.mu + h_ips, None if h_sn is None else snips + h_sn, self.md + h_dr)
        else:
            lows = highs = (None, None, None)
        out["ips"] = _interval(self.mu, (lows[0], highs[0]))
        out["snips"] = _interval(snips, (lows[1], highs[1]))
        out["dr"] = _interval(self.md, (lows[2], highs[2]))
        return out


def _interval(estimate, bounds):
    low, high = bounds if bounds else (None, None)
    return {"estimate": estimate, "low": low, "high": high}


def _bootstrap(acc: Accumulator, replicates: int, seed: int):
    """Percentile intervals from resampling the used decisions with
    replacement. Every row draws the same resamples from the seed (all rows
    use the same decisions), so rows are compared on equal terms and no
    split of the work changes a draw."""
    try:
        import numpy as np
    except ImportError:  # checked before the run starts; kept as a guard
        raise EvalError("--bootstrap needs numpy (pip install numpy)") from None
    n = acc.n
    w = np.frombuffer(acc.ws, dtype=np.float64)
    u = np.frombuffer(acc.us, dtype=np.float64)
    d = np.frombuffer(acc.ds, dtype=np.float64)
    rng = np.random.Generator(np.random.PCG64(np.random.SeedSequence(seed)))
    ips = np.empty(replicates)
    snips = np.empty(replicates)
    dr = np.empty(replicates)
    for b in range(replicates):
        pick = rng.integers(0, n, size=n)
        su = u[pick].sum()
        sw = w[pick].sum()
        ips[b] = su / n
        snips[b] = su / sw if sw > 0.0 else np.nan
        dr[b] = d[pick].sum() / n

    def bounds(values):
        values = values[~np.isnan(values)]
        if values.size == 0:
            return None, None
        lo, hi = np.quantile(values, [0.025, 0.975])
        return float(lo), float(hi)

    (a, b), (c, e), (f, g) = bounds(ips), bounds(snips), bounds(dr)
    return (a, c, f), (b, e, g)


class _OneHot:
    """The explore hook: keeps the estimates, answers with the logged choice."""

    __slots__ = ("estimates", "answer")

    def __init__(self) -> None:
        self.estimates = None
        self.answer = None

    def __call__(self, estimates, epsilon):
        self.estimates = estimates
        return self.answer


class _Group:
    def __init__(self, task: GroupPlan, start, params: dict) -> None:
        self.task = task
        self.epsilons = [r.epsilon for r in task.rows]
        self.from_start = (task.bits == params["bits"]
                           and task.forgetfulness == params["forgetfulness"])
        if self.from_start:
            self.state = start.new_state()
        else:
            # A trained model does not carry over: another bits value hashes
            # into another space, another forgetfulness would have weighed
            # its past differently. Such a target starts fresh.
            self.state = ordwyne.create(task.bits, params["horizon"], params["default_reward"],
                                        params["epsilon"], task.forgetfulness)


def _finite_or_zero(estimates):
    # A reward model may predict anything for DR to stay unbiased; a
    # non-finite estimate (NaN or infinite features) counts as 0.
    return [e if e - e == 0.0 else 0.0 for e in estimates]


class _Counts:
    __slots__ = ("lines", "decisions", "resolutions", "skipped", "used", "unresolved",
                 "zero_propensity", "bad_propensity", "bad_reward", "unmatched",
                 "deterministic")

    def __init__(self) -> None:
        for name in self.__slots__:
            setattr(self, name, 0)

    def as_dict(self) -> dict:
        return {name: getattr(self, name) for name in self.__slots__}


def run_chunk(task: ChunkPlan, progress: Optional[Callable[[int], None]] = None) -> dict:
    """Reads the logs once and evaluates the chunk's rows.

    Returns {"rows": {index: summary}, "counts": {...}}. Raises EvalError
    (with file and line) for lines the engine refuses, LogError for
    malformed lines, OSError for unreadable files."""
    start = task.start
    params = start.params
    groups = [_Group(g, start, params) for g in task.groups]
    keep = task.bootstrap > 0
    accs = {}
    for g in task.groups:
        for r in g.rows:
            accs[r.index] = Accumulator(keep)
    extra = {r.kind: r for r in task.extra_rows}
    logged_acc = Accumulator(keep) if "logged" in extra else None
    uniform_acc = Accumulator(keep) if "uniform" in extra else None
    if (uniform_acc is not None) and not groups:
        raise EvalError("the uniform row needs an engine target for its reward model")
    engine_accs = [[accs[r.index] for r in g.task.rows] for g in groups]
    start_pending = set(start.pending_ids)
    hook = _OneHot()
    counts = _Counts()
    pending = {}
    nan, inf = _NAN, _INF

    incomplete = []
    contained = start.already_contained if start.decision_count else None
    # Evaluation never reads a decision's logged features (each target
    # encodes the candidates itself), so their text is not parsed.
    for event in iter_events(task.paths, progress=progress, incomplete="report",
                             lazy_features=True):
        counts.lines += 1
        if event.kind == "incomplete":  # warned about once, by the caller
            incomplete.append(f"{event.file}:{event.line}")
            continue
        if contained is not None and contained(event):
            counts.skipped += 1
            continue
        data = event.data
        if event.kind == "decision":
            counts.decisions += 1
            record = data["record"]
            context, candidates, t, salt, _ = decision_inputs(data)
            n = len(candidates)
            chosen = record["chosen"]
            if chosen >= n:
                raise EvalError(f"{event.file}:{event.line}: chosen index {chosen} is not "
                                f"below the number of candidates ({n})")
            answer = [0.0] * n
            answer[chosen] = 1.0
            hook.answer = answer
            own_ids = []
            per_row = []
            first_estimates = None
            for g in groups:
                try:
                    own = ordwyne.decide(g.state, context, candidates, t, salt, explore=hook)
                except (ValueError, TypeError, OverflowError) as e:
                    raise EvalError(f"{event.file}:{event.line}: decide refused the logged "
                                    f"decision: {e}") from None
                own_ids.append(own.decision_id)
                raw = hook.estimates
                est = _finite_or_zero(raw)
                if first_estimates is None:
                    first_estimates = est
                rhat = est[chosen]
                top_mask, k = _maxima(raw)
                on_top = top_mask[chosen]
                # the reward model's value under the setting's probabilities:
                # base on every candidate, top - base more on the maxima
                total = 0.0
                for e in est:
                    total += e
                top_total = 0.0
                for e, t_ in zip(est, top_mask):
                    if t_:
                        top_total += e
                for eps in g.epsilons:
                    base = eps / n
                    top = base + (1.0 - eps) / k
                    per_row.append((top if on_top else base,
                                    base * total + (top - base) * top_total, rhat))
            if uniform_acc is not None:
                pu = 1.0 / n
                direct = 0.0
                for e in first_estimates:
                    direct += pu * e
                uniform = (pu, direct, first_estimates[chosen])
            else:
                uniform = None
            did = record["decision_id"]
            if did in pending:  # a repeated id: the earlier one can never be matched
                counts.unresolved += 1
            pending[did] = (record["propensity"], n, own_ids, per_row, uniform)
            continue

        # a resolution line
        counts.resolutions += 1
        did = data["decision_id"]
        reward = data["reward"]
        when = nan if data["kind"] == "rewarded" else inf
        entry = pending.pop(did, None)
        if entry is None:
            if did in start_pending:
                # pending in the start state: the targets that began from
                # it learn it, as the live state did
                start_pending.discard(did)
                if reward is not None:
                    for g in groups:
                        if g.from_start:
                            ordwyne.learn(g.state, did, reward, when)
            else:
                counts.unmatched += 1
            continue
        propensity, n, own_ids, per_row, uniform = entry
        if reward is not None:
            for g, own_id in zip(groups, own_ids):
                ordwyne.learn(g.state, own_id, reward, when)
        if not propensity > 0.0:
            if propensity == 0.0:
                counts.zero_propensity += 1
            else:
                counts.bad_propensity += 1
            continue
        if not propensity <= 1.0:
            counts.bad_propensity += 1
            continue
        if reward is None or reward - reward != 0.0:
            counts.bad_reward += 1
            continue
        counts.used += 1
        if propensity == 1.0 and n > 1:
            counts.deterministic += 1  # the other candidates had no chance here
        r = reward
        if logged_acc is not None:
            logged_acc.add(1.0, r, r)
        if uniform is not None:
            pu, direct, rhat = uniform
            w = pu / propensity
            uniform_acc.add(w, w * r, direct + w * (r - rhat))
        i = 0
        for g_accs in engine_accs:
            for acc in g_accs:
                pt, direct, rhat = per_row[i]
                i += 1
                w = pt / propensity
                acc.add(w, w * r, direct + w * (r - rhat))

    counts.unresolved += len(pending)
    rows = {}
    for index, acc in accs.items():
        rows[index] = acc.summary(task.bootstrap, task.seed)
    if logged_acc is not None:
        rows[extra["logged"].index] = logged_acc.summary(task.bootstrap, task.seed)
    if uniform_acc is not None:
        rows[extra["uniform"].index] = uniform_acc.summary(task.bootstrap, task.seed)
    return {"rows": rows, "counts": counts.as_dict(), "incomplete": incomplete}
