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

import heapq
import math
from array import array
from dataclasses import dataclass, field
from statistics import NormalDist
from typing import Callable, Dict, List, Optional, Sequence, Tuple

import ordwyne

from .logs import (Event, LazyFeatures, check_lazy_features, current_line_limit,
                   decision_inputs, iter_events)

__all__ = ["RowPlan", "GroupPlan", "ChunkPlan", "EvalError", "epsilon_greedy",
           "Accumulator", "RewardModel", "run_chunk", "Z95"]

Z95 = NormalDist().inv_cdf(0.975)
_NAN = float("nan")
_INF = float("inf")
RECENT = 1 << 17  # resolved ids a fleet log remembers, to tell a repeated outcome


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
    """One engine model and the rows (epsilons) that read its estimates.
    A group without rows runs only as the uniform row's reward model."""
    bits: int
    forgetfulness: float
    rows: Tuple[RowPlan, ...]


@dataclass(frozen=True)
class ChunkPlan:
    """The work of one process: the logs, the start state and some groups.
    `extra_rows` (logged, uniform) need the group with the start state's
    own bits and forgetfulness, whose model is the uniform row's reward
    model; the planner puts it in the same chunk."""
    paths: Tuple[str, ...]
    start: object  # start.Start; picklable
    groups: Tuple[GroupPlan, ...]
    extra_rows: Tuple[RowPlan, ...] = ()
    bootstrap: int = 0
    seed: int = 0
    # the planner's --max-line-bytes, carried to the workers
    max_line_bytes: int = field(default_factory=current_line_limit)


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


# -- statistics of one row --------------------------------------------------

class Accumulator:
    """Streaming sums for one row: per used decision the weight w, the
    weighted reward u = w*r and the doubly robust term d. Means and centred
    co-moments are updated Welford-style, which keeps the variances sound
    when the weights are large."""

    __slots__ = ("n", "mu", "mw", "md", "cuu", "cuw", "cww", "cdd", "sw", "sww", "maxw",
                 "minw", "keep", "ws", "us", "ds")

    def __init__(self, keep: bool = False) -> None:
        self.n = 0
        self.mu = self.mw = self.md = 0.0
        self.cuu = self.cuw = self.cww = self.cdd = 0.0
        self.sw = self.sww = 0.0
        self.maxw = -_INF
        self.minw = _INF
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
        if w < self.minw:
            self.minw = w
        if self.keep:
            self.ws.append(w)
            self.us.append(u)
            self.ds.append(d)

    def summary(self, bootstrap: int = 0, seed: int = 0) -> dict:
        """Estimates with 95% intervals, the effective sample size and the
        smallest and largest weight. Undefined values (no decisions, one
        decision for an interval, no weight for SNIPS) are None."""
        n = self.n
        out = {"used": n, "ess": None, "max_weight": None, "min_weight": None,
               "ips": _interval(None, None), "snips": _interval(None, None),
               "dr": _interval(None, None)}
        if n == 0:
            return out
        out["max_weight"] = self.maxw
        out["min_weight"] = self.minw
        out["ess"] = (self.sw * self.sw) / self.sww if self.sww > 0.0 else 0.0
        snips = self.mu / self.mw if self.mw > 0.0 else None
        if bootstrap:
            lows, highs = _bootstrap(self, bootstrap, seed)
        elif n > 1:
            lows, highs = self._normal(snips)
        else:
            lows = highs = (None, None, None)
        out["ips"] = _interval(self.mu, (lows[0], highs[0]))
        out["snips"] = _interval(snips, (lows[1], highs[1]))
        out["dr"] = _interval(self.md, (lows[2], highs[2]))
        return out

    def _normal(self, snips):
        n = self.n

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
        return lows, highs


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


def _top(estimates: Sequence[float], chosen: int, values: Sequence[float]):
    """Under `epsilon_greedy`: whether the chosen candidate is on top, how
    many are, and the sum of `values` over them."""
    total = sum(estimates)
    if total - total == 0.0:  # all finite: the plain maximum, in C
        m = max(estimates)
        k = estimates.count(m)
        if k == 1:
            i = estimates.index(m)
            return i == chosen, 1, values[i]
    mask, k = _maxima(estimates)
    return mask[chosen], k, sum(v for v, on in zip(values, mask) if on)


# -- the doubly robust estimate's reward model ------------------------------

class RewardModel:
    """Predicted rewards for DR, from one engine model's estimates.

    An engine estimate is a sum of per-feature-pair terms, each near the
    mean reward of what trained that pair, so it grows with the number of
    pairs and is no reward itself. The model divides it by the candidate's
    pair count (the `sizes`, (context features + 1) x (candidate features
    + 2)) and maps the result to a reward by a least-squares line through
    the (estimate, observed reward) pairs of the decisions resolved so far,
    clipped to the range of the rewards seen. It learns only from outcomes
    that came before the decision it predicts for, which keeps DR unbiased
    and its interval honest. Until an outcome is seen it predicts 0, which
    makes DR's term the IPS term."""

    __slots__ = ("n", "mean", "lo", "hi", "m", "mx", "my", "cxx", "cxy")

    def __init__(self) -> None:
        self.n = 0  # rewards seen
        self.mean = 0.0
        self.lo = _INF
        self.hi = -_INF
        self.m = 0  # pairs with a finite estimate
        self.mx = self.my = self.cxx = self.cxy = 0.0

    def fit(self, x: float, r: float) -> None:
        """One outcome: the chosen candidate's scaled estimate x (from the
        moment of the decision) and its finite reward r."""
        n = self.n + 1
        self.n = n
        self.mean += (r - self.mean) / n
        if r < self.lo:
            self.lo = r
        if r > self.hi:
            self.hi = r
        if x - x == 0.0:
            m = self.m + 1
            self.m = m
            dx = x - self.mx
            self.mx += dx / m
            self.my += (r - self.my) / m
            self.cxx += dx * (x - self.mx)
            self.cxy += dx * (r - self.my)

    def predict(self, estimates: Sequence[float], scales: Sequence[float]) -> List[float]:
        """The predicted reward of every candidate; `scales` are the
        reciprocals of their pair counts. A non-finite estimate predicts the
        mean reward."""
        if not self.n:
            return [0.0] * len(estimates)
        a, b = self._line()
        lo, hi, mean = self.lo, self.hi, self.mean
        return [lo if v < lo else hi if v > hi else mean if v != v else v
                for v in [a + b * (e * s) for e, s in zip(estimates, scales)]]

    def _line(self):
        if self.cxx > 0.0:
            b = self.cxy / self.cxx
            return self.my - b * self.mx, b
        return self.mean, 0.0

    def sums(self, estimates: Sequence[float], chosen: int, scales):
        """What DR needs of one decision: (the sum of the predicted rewards,
        their sum over the candidates on top under `epsilon_greedy`, the
        chosen one's, whether it is on top, how many are). `scales` is one
        number when every candidate has the same pair count (then a line
        through the estimates' sums does, in the usual case of nothing to
        clip), else a list."""
        total = sum(estimates)
        if total - total == 0.0 and type(scales) is float:  # all finite, one pair count
            m = max(estimates)
            k = estimates.count(m)
            on_top = estimates[chosen] == m
            if not self.n:
                return 0.0, 0.0, 0.0, on_top, k
            a, b = self._line()
            bs = b * scales
            low, high = a + bs * min(estimates), a + bs * m
            if bs < 0.0:
                low, high = high, low
            if self.lo <= low and high <= self.hi:
                return (len(estimates) * a + bs * total, k * (a + bs * m),
                        a + bs * estimates[chosen], on_top, k)
        if type(scales) is float:
            scales = [scales] * len(estimates)
        predicted = self.predict(estimates, scales)
        on_top, k, top = _top(estimates, chosen, predicted)
        return sum(predicted), top, predicted[chosen], on_top, k


def pair_scales(context: dict, candidates):
    """1 / (number of feature pairs) of each candidate's vector, as the
    encoder builds it (collisions and zero values aside); one number when
    it is the same for every candidate."""
    tokens = len(context) + 1
    sizes = {len(features) for _, features in candidates}
    if len(sizes) == 1:
        return 1.0 / (tokens * (sizes.pop() + 2))
    return [1.0 / (tokens * (len(features) + 2)) for _, features in candidates]


# -- one engine model and its rows --------------------------------------------

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
    """A target model, its reward model and the accumulators of its rows."""

    def __init__(self, task: GroupPlan, start, params: dict, keep: bool) -> None:
        self.task = task
        self.epsilons = [r.epsilon for r in task.rows]
        self.accs = [Accumulator(keep) for _ in task.rows]
        self.model = RewardModel()
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

    def decide(self, inputs, hook: _OneHot, chosen: int, scales, terms: list):
        """Replays the logged decision; appends each row's (target
        probability of the logged choice, DR's direct term, predicted reward
        of the logged choice) to `terms`. Returns the target's own decision
        id, the chosen candidate's scaled estimate (what the reward model
        learns from), and the sum of the predicted rewards and the chosen
        one's (for the uniform row)."""
        context, candidates, t, salt, _ = inputs
        own = ordwyne.decide(self.state, context, candidates, t, salt, explore=hook)
        raw = hook.estimates
        total, top_total, rhat, on_top, k = self.model.sums(raw, chosen, scales)
        n = len(raw)
        # the reward model's value under the setting's probabilities: base
        # on every candidate, top - base more on the maxima
        for eps in self.epsilons:
            base = eps / n
            top = base + (1.0 - eps) / k
            terms.append((top if on_top else base, base * total + (top - base) * top_total,
                          rhat))
        x = raw[chosen] * (scales if type(scales) is float else scales[chosen])
        return own.decision_id, x, total, rhat


# -- reading the logs ----------------------------------------------------------

class _Counted:
    """Lines read by several readers, for one progress callback."""

    def __init__(self, progress: Optional[Callable[[int], None]]) -> None:
        self.progress = progress
        self.seen: List[int] = []

    def part(self) -> Optional[Callable[[int], None]]:
        if self.progress is None:
            return None
        i = len(self.seen)
        self.seen.append(0)

        def report(lines: int) -> None:
            self.seen[i] = lines
            self.progress(sum(self.seen))
        return report


def _read(path: str, counted: _Counted, limit: int):
    # Evaluation never uses a decision's logged features (each target
    # encodes the candidates itself), so their text is only checked.
    return iter_events([path], progress=counted.part(), incomplete="report",
                       lazy_features=True, max_line_bytes=limit)


def _events(paths, progress, limit: int):
    """Every event of the logs: a file (a str) in its own order, a fleet's
    files (a tuple) merged by time as the learner merges them."""
    counted = _Counted(progress)
    for item in paths:
        if isinstance(item, str):
            yield from _read(item, counted, limit)
        else:
            yield from _merged(item, counted, limit)


def _merged(files, counted: _Counted, limit: int):
    from ordwyne_fleet.merge import keyed, merged, source_name
    torn: List[Event] = []  # a torn last line has no time; it is reported after

    def items(path):
        for event in _read(path, counted, limit):
            if event.kind == "incomplete":
                torn.append(event)
            else:
                yield event.kind, event.data, event.line
    streams = [keyed(items(f), source_name(f), f) for f in files]
    for key, kind, data in merged(streams):
        yield Event(key[2], key[3], data, kind)
    yield from torn


# -- the pass over the log ----------------------------------------------------

_COUNTS = ("lines", "decisions", "resolutions", "skipped", "used", "unresolved",
           "zero_propensity", "bad_propensity", "bad_reward", "unmatched", "deterministic",
           "outcomes", "late_outcomes", "duplicate_outcomes", "orphaned_outcomes",
           "expired_by_time", "watermarks", "behind_clock")


class _Pending:
    """A logged decision waiting for its outcome."""

    __slots__ = ("propensity", "n", "t", "seq", "own_ids", "terms", "uniform", "xs")

    def __init__(self, propensity, n, t, seq, own_ids, terms, uniform, xs) -> None:
        self.propensity = propensity
        self.n = n
        self.t = t
        self.seq = seq
        self.own_ids = own_ids
        self.terms = terms
        self.uniform = uniform
        self.xs = xs


class _FleetClock:
    """A fleet log's time: the latest t seen. Its outcome and watermark
    lines move the clock (a host's log has neither and carries its own
    resolutions); decisions whose horizon the clock has passed then count
    with the default reward, as the learner expires them."""

    def __init__(self, horizon: float) -> None:
        self.horizon = horizon
        self.due: list = []  # (t + horizon, seq, decision id)
        self.waiting: Dict[str, Tuple[float, float]] = {}  # outcomes before their decision
        self.recent: Dict[str, None] = {}  # resolved ids, the latest RECENT of them

    def watch(self, did: str, t: float, seq: int) -> None:
        due = t + self.horizon
        if due == due:  # NaN is never due
            heapq.heappush(self.due, (due, seq, did))

    def due_by(self, now: float) -> List[Tuple[int, str]]:
        """(seq, decision id) of every watched decision due at `now`, in
        decision order (the ledger's order)."""
        due = self.due
        out = []
        while due and due[0][0] <= now:
            _, seq, did = heapq.heappop(due)
            out.append((seq, did))
        out.sort()
        return out

    def remember(self, did: str) -> None:
        recent = self.recent
        recent[did] = None
        if len(recent) > RECENT:
            del recent[next(iter(recent))]

    def orphans_at(self, now: float) -> int:
        """Waiting outcomes whose decision can no longer come in time."""
        horizon = self.horizon
        gone = [k for k, (_, t) in self.waiting.items() if t + horizon < now]
        for k in gone:
            del self.waiting[k]
        return len(gone)


class _Pass:
    """One chunk's pass over the logs, line by line."""

    def __init__(self, task: ChunkPlan) -> None:
        start = task.start
        params = start.params
        self.task = task
        self.start = start
        self.horizon = params["horizon"]
        self.default_reward = params["default_reward"]
        keep = task.bootstrap > 0
        self.groups = [_Group(g, start, params, keep) for g in task.groups]
        extra = {r.kind: r for r in task.extra_rows}
        self.extra = extra
        self.logged_acc = Accumulator(keep) if "logged" in extra else None
        self.uniform_acc = Accumulator(keep) if "uniform" in extra else None
        self.uniform_group = None
        if self.uniform_acc is not None:
            self.uniform_group = next((i for i, g in enumerate(self.groups) if g.from_start),
                                      None)
            if self.uniform_group is None:
                raise EvalError("the uniform row needs the start state's own model "
                                "for its reward model")
        self.start_pending = set(start.pending_ids)
        self.contained = start.already_contained if start.decision_count else None
        self.hook = _OneHot()
        self.counts = dict.fromkeys(_COUNTS, 0)
        self.pending: Dict[str, _Pending] = {}
        self.incomplete: List[str] = []
        self.reward_range = [_INF, -_INF]
        self.latest = -_INF  # the latest t seen
        self.clock: Optional[_FleetClock] = None  # set by the first fleet line

    def run(self, progress) -> dict:
        handlers = {"decision": self.decision, "resolution": self.resolution,
                    "outcome": self.outcome, "watermark": self.watermark}
        counts = self.counts
        contained = self.contained
        for event in _events(self.task.paths, progress, self.task.max_line_bytes):
            counts["lines"] += 1
            kind = event.kind
            if kind == "incomplete":  # warned about once, by the caller
                self.incomplete.append(f"{event.file}:{event.line}")
                continue
            if contained is not None and contained(event):
                counts["skipped"] += 1
                continue
            handlers[kind](event)
        return self.finish()

    # -- lines ------------------------------------------------------------
    def decision(self, event) -> None:
        counts = self.counts
        counts["decisions"] += 1
        data = event.data
        record = data["record"]
        if type(record["features"]) is LazyFeatures:  # unread, so judged here
            check_lazy_features(event.file, event.line, record["features"])
        inputs = decision_inputs(data)
        t = inputs[2]
        n = len(inputs[1])
        chosen = record["chosen"]
        if chosen >= n:
            raise EvalError(f"{event.file}:{event.line}: chosen index {chosen} is not "
                            f"below the number of candidates ({n})")
        own_ids, xs, terms, uniform = self._replay(event, inputs, chosen)
        did = record["decision_id"]
        if did in self.pending:  # a repeated id: the earlier one can never be matched
            counts["unresolved"] += 1
        entry = _Pending(record["propensity"], n, t, counts["decisions"], own_ids, terms,
                         uniform, xs)
        self.pending[did] = entry
        if self.clock is not None:
            self._watch(did, entry)
        if t > self.latest:
            self.latest = t

    def _replay(self, event, inputs, chosen: int):
        """Every target decides the logged decision: their own ids, the
        scaled estimates of the chosen candidate, every row's terms and the
        uniform row's."""
        candidates = inputs[1]
        n = len(candidates)
        answer = [0.0] * n
        answer[chosen] = 1.0
        self.hook.answer = answer
        scales = pair_scales(inputs[0], candidates)
        own_ids, xs, terms = [], [], []
        uniform = None
        for i, g in enumerate(self.groups):
            try:
                own_id, x, total, rhat = g.decide(inputs, self.hook, chosen, scales, terms)
            except (ValueError, TypeError, OverflowError) as e:
                raise EvalError(f"{event.file}:{event.line}: decide refused the logged "
                                f"decision: {e}") from None
            own_ids.append(own_id)
            xs.append(x)
            if i == self.uniform_group:
                uniform = (1.0 / n, total / n, rhat)
        return own_ids, xs, terms, uniform

    def resolution(self, event) -> None:
        self.counts["resolutions"] += 1
        data = event.data
        did = data["decision_id"]
        reward = data["reward"]
        when = _NAN if data["kind"] == "rewarded" else _INF
        entry = self.pending.pop(did, None)
        if entry is None:
            if not self._start_pending_learns(did, reward, when):
                self.counts["unmatched"] += 1
            return
        if self.clock is not None:
            self.clock.remember(did)
        self._resolve(entry, reward, when)

    def outcome(self, event) -> None:
        self._fleet()
        data = event.data
        t = data["t"]
        if t + self.horizon <= self.latest:
            self.counts["behind_clock"] += 1
        self._outcome_of(data["decision_id"], data["reward"], t)
        if t > self.latest:
            self.latest = t
        self._advance()

    def watermark(self, event) -> None:
        self._fleet()
        self.counts["watermarks"] += 1
        t = event.data["t"]
        if t > self.latest:
            self.latest = t
        self._advance()

    # -- a fleet's outcomes and clock -------------------------------------------
    def _fleet(self) -> None:
        """The first fleet line: from now on the clock runs, over every
        decision still pending (the start state's included)."""
        if self.clock is not None:
            return
        clock = self.clock = _FleetClock(self.horizon)
        records = self.start.info.records
        for i, r in enumerate(records):
            if r.decision_id in self.start_pending:
                clock.watch(r.decision_id, r.t, i - len(records))
        for did, entry in self.pending.items():
            clock.watch(did, entry.t, entry.seq)

    def _watch(self, did: str, entry: _Pending) -> None:
        """A new decision under the fleet's clock; an outcome that came
        before it resolves it now."""
        clock = self.clock
        if entry.t + self.horizon <= self.latest:
            self.counts["behind_clock"] += 1
        clock.watch(did, entry.t, entry.seq)
        early = clock.waiting.pop(did, None)
        if early is not None:
            self._outcome_of(did, *early)

    def _outcome_of(self, did: str, reward: float, t: float) -> None:
        """An outcome line, reported at time t: its reward counts before the
        decision's t + horizon, the default reward from then on."""
        counts = self.counts
        clock = self.clock
        entry = self.pending.pop(did, None)
        if entry is None:
            if self._start_pending_learns(did, reward, t):
                counts["outcomes"] += 1
            elif did in clock.recent or did in clock.waiting:
                counts["outcomes"] += 1
                counts["duplicate_outcomes"] += 1
            else:  # its decision may still come
                clock.waiting[did] = (reward, t)
            return
        counts["outcomes"] += 1
        clock.remember(did)
        if entry.t + self.horizon <= t:
            counts["late_outcomes"] += 1
            reward = self.default_reward
        self._resolve(entry, reward, t)

    def _advance(self) -> None:
        """The clock at the latest t: due decisions count with the default
        reward, outcomes whose decision cannot come any more are given up."""
        clock = self.clock
        now = self.latest
        if clock.due and clock.due[0][0] <= now:
            for seq, did in clock.due_by(now):
                entry = self.pending.get(did)
                if entry is None or entry.seq != seq:
                    # the start state's, resolved already, or an id used again
                    self._start_pending_learns(did, self.default_reward, _INF)
                    continue
                del self.pending[did]
                clock.remember(did)
                self.counts["expired_by_time"] += 1
                self._resolve(entry, self.default_reward, _INF)
        if clock.waiting:
            lost = clock.orphans_at(now)
            self.counts["outcomes"] += lost
            self.counts["orphaned_outcomes"] += lost

    def _start_pending_learns(self, did: str, reward, when: float) -> bool:
        """A decision still pending in the start state: the targets that
        began from it learn it, as the live state did. Such a decision is
        not in the log, so it is not used."""
        if did not in self.start_pending:
            return False
        self.start_pending.discard(did)
        if reward is not None:
            for g in self.groups:
                if g.from_start:
                    ordwyne.learn(g.state, did, reward, when)
        return True

    # -- a resolved decision --------------------------------------------------
    def _resolve(self, entry: _Pending, reward, when: float) -> None:
        """Every target learns the outcome; the decision is then scored."""
        if reward is not None:
            learn = ordwyne.learn
            for g, own_id in zip(self.groups, entry.own_ids):
                learn(g.state, own_id, reward, when)
        if self._usable(entry, reward):
            self._score(entry, reward)

    def _usable(self, entry: _Pending, reward) -> bool:
        """Whether a resolved decision is used; counts why not. The reward
        models learn every finite outcome, used or not."""
        finite = reward is not None and reward - reward == 0.0
        if finite:
            for g, x in zip(self.groups, entry.xs):
                g.model.fit(x, reward)
        propensity = entry.propensity
        if not 0.0 < propensity <= 1.0:
            self.counts["zero_propensity" if propensity == 0.0 else "bad_propensity"] += 1
            return False
        if not finite:
            self.counts["bad_reward"] += 1
            return False
        return True

    def _score(self, entry: _Pending, r: float) -> None:
        counts = self.counts
        counts["used"] += 1
        propensity = entry.propensity
        if propensity == 1.0 and entry.n > 1:
            counts["deterministic"] += 1  # the other candidates had no chance here
        span = self.reward_range
        if r < span[0]:
            span[0] = r
        if r > span[1]:
            span[1] = r
        if self.logged_acc is not None:
            self.logged_acc.add(1.0, r, r)
        if entry.uniform is not None:
            pu, direct, rhat = entry.uniform
            w = pu / propensity
            self.uniform_acc.add(w, w * r, direct + w * (r - rhat))
        terms = iter(entry.terms)
        for g in self.groups:
            for acc in g.accs:
                pt, direct, rhat = next(terms)
                w = pt / propensity
                acc.add(w, w * r, direct + w * (r - rhat))

    def finish(self) -> dict:
        counts = self.counts
        counts["unresolved"] += len(self.pending)
        if self.clock is not None:  # outcomes whose decision never came
            counts["outcomes"] += len(self.clock.waiting)
            counts["orphaned_outcomes"] += len(self.clock.waiting)
        task = self.task
        rows = {}
        for g in self.groups:
            for row, acc in zip(g.task.rows, g.accs):
                rows[row.index] = acc.summary(task.bootstrap, task.seed)
        for kind, acc in (("logged", self.logged_acc), ("uniform", self.uniform_acc)):
            if acc is not None:
                rows[self.extra[kind].index] = acc.summary(task.bootstrap, task.seed)
        span = self.reward_range if counts["used"] else None
        return {"rows": rows, "counts": counts, "incomplete": self.incomplete,
                "reward_range": span}


def run_chunk(task: ChunkPlan, progress: Optional[Callable[[int], None]] = None) -> dict:
    """Reads the logs once and evaluates the chunk's rows.

    Returns {"rows": {index: summary}, "counts": {...}, "incomplete": [...],
    "reward_range": [lowest, highest] of the used rewards or None}. Raises
    EvalError (with file and line) for lines the engine refuses, LogError
    for malformed lines, OSError for unreadable files."""
    return _Pass(task).run(progress)
