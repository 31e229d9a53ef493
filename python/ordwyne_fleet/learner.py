"""The learner: one state that trains on every source's decisions and outcomes.

Each decision line becomes a pending decision of the learner's state,
decided again over the chosen candidate alone: the engine computes a
candidate's vector from the context and that candidate only, and training
needs nothing else. Every outcome then trains that state exactly once
through the module's own `learn` and `expire`, so the horizon and the
default reward follow the ledger's own rules:
- a host's resolution line is replayed with the logged kind (`learn` at a
  NaN time counts the reward, at +inf the default reward), so a host's log
  gives the host's own model;
- a fleet's outcome line goes to `learn` at its place in the merged order
  (its worker's current time, never before the outcome's own t);
- a fleet's outcome and watermark lines move the learner's clock, and
  decisions whose horizon the clock has passed expire. A host's log has
  neither: it carries its own resolutions, in its own order.

The learner's decision ids are the logged id, ":" and the learner's
counter (the logged id is the learner's salt), so a resolution the state
returns names its logged decision.
"""

from __future__ import annotations

import heapq
import math
from typing import Callable, Dict, Optional

import ordwyne

from ordwyne_offline.logs import Event
from ordwyne_offline.start import Start

__all__ = ["Learner", "COUNTS"]

NAN = math.nan
INF = math.inf
RECENT = 1 << 16  # resolved ids remembered to tell a second outcome from an orphan

COUNTS = ("lines", "decisions", "resolutions", "outcomes", "rewarded", "late",
          "after_expiry", "duplicate_outcomes", "orphaned_outcomes", "expired", "watermarks",
          "skipped", "duplicate_decisions", "unknown_resolutions", "refused")


class Learner:
    """Feed it (kind, data, time) in merge order; `time` is the merge
    order's time (nondecreasing), the learner's clock."""

    def __init__(self, start: Start, warn: Optional[Callable[[str], None]] = None) -> None:
        self.start = start
        self.state = start.new_state()
        self.horizon = start.params["horizon"]
        self.default_reward = start.params["default_reward"]
        self.contained = start.already_contained if start.decision_count else None
        self.warn = warn
        self.counts: Dict[str, int] = dict.fromkeys(COUNTS, 0)
        # logged decision id -> the learner's id, for every pending decision
        # the start state's own pending ids stay as they are
        self.ids: Dict[str, str] = {r.decision_id: r.decision_id for r in start.info.records}
        # resolved logged id -> "outcome" once an outcome came for it, else how
        # it left the ledger: a second outcome is a duplicate, a first one late
        self.recent: Dict[str, str] = {}
        self.waiting: Dict[str, list] = {}  # outcomes that came before their decision
        # heap of t + horizon of the pending decisions (NaN is never due)
        self.due: list = [r.t + self.horizon for r in start.info.records
                          if r.t + self.horizon == r.t + self.horizon]
        heapq.heapify(self.due)
        self.now = -INF
        self._decide = ordwyne.decide
        self._learn = ordwyne.learn

    # -- persistence -------------------------------------------------------
    def persisted(self) -> dict:
        """What a checkpoint keeps: the state and everything around it."""
        return {"state": ordwyne.serialize(self.state), "ids": self.ids,
                "recent": list(self.recent.items()),
                "waiting": list(self.waiting.items()), "due": self.due, "now": self.now,
                "counts": self.counts, "start_count": self.start.decision_count,
                "start_pending": sorted(self.start.pending_ids)}

    @classmethod
    def restored(cls, d: dict, warn: Optional[Callable[[str], None]] = None) -> "Learner":
        """The learner a checkpoint kept (ValueError, KeyError or TypeError
        when it is damaged)."""
        try:
            start = Start.from_text(d["state"], "in the checkpoint")
        except Exception as e:  # StartError: the engine's own message
            raise ValueError(str(e)) from None
        learner = cls(start, warn)
        # lines already in the first run's start state are still recognised
        start.decision_count = d["start_count"]
        start.pending_ids = set(d["start_pending"])
        learner.contained = start.already_contained if start.decision_count else None
        learner.ids = dict(d["ids"])
        learner.recent = dict(d["recent"])
        learner.waiting = {k: list(v) for k, v in d["waiting"]}
        learner.due = list(d["due"])
        heapq.heapify(learner.due)
        learner.now = d["now"]
        learner.counts = dict.fromkeys(COUNTS, 0) | d["counts"]
        return learner

    # -- events --------------------------------------------------------------
    def feed(self, kind: str, data: dict, time: float) -> None:
        counts = self.counts
        counts["lines"] += 1
        if kind == "decision":
            if self.contained is not None and self.contained(Event("", 0, data, kind)):
                counts["skipped"] += 1
            else:
                self._decision(data, time)
        elif kind == "outcome":
            # an outcome counts at its place in the merged order: its worker's
            # time, which is never before its own t
            self._outcome(data["decision_id"], data["reward"], time)
            self._advance(time)
        elif kind == "resolution":
            if self.contained is not None and self.contained(Event("", 0, data, kind)):
                counts["skipped"] += 1
            else:
                self._resolution(data)
        elif kind == "watermark":
            counts["watermarks"] += 1
            self._advance(time)

    def _decision(self, data: dict, time: float) -> None:
        record = data["record"]
        logged = record["decision_id"]
        counts = self.counts
        if logged in self.ids or logged in self.recent:
            counts["duplicate_decisions"] += 1
            return
        candidates = data["candidates"]
        chosen = record["chosen"]
        if chosen >= len(candidates):
            counts["refused"] += 1
            self._say(f"decision {logged!r}: chosen index {chosen} is not below the "
                      f"{len(candidates)} candidates; not trained")
            return
        name, features = candidates[chosen]
        t = record["t"]
        try:
            made = self._decide(self.state, data["context"], [(name, features)], t, logged)
        except (ValueError, TypeError, OverflowError) as e:
            counts["refused"] += 1
            self._say(f"decision {logged!r}: decide refused its inputs ({e}); not trained")
            return
        counts["decisions"] += 1
        self.ids[logged] = made.decision_id
        due = t + self.horizon
        if due == due:  # NaN is never due
            heapq.heappush(self.due, due)
        early = self.waiting.pop(logged, None)
        if early is not None:  # its outcome came first: it counts now
            self._outcome(logged, early[0], max(time, early[1]))

    def _resolution(self, data: dict) -> None:
        logged = data["decision_id"]
        counts = self.counts
        kind = data["kind"]
        reward = data["reward"]
        if reward is None:
            if kind == "rewarded":
                counts["unknown_resolutions"] += 1
                self._say(f"resolution of {logged!r}: rewarded without a reward; ignored")
                return
            reward = self.default_reward
        mine = self.ids.pop(logged, None)
        if mine is None:
            counts["unknown_resolutions"] += 1
            return
        self._learn(self.state, mine, reward, NAN if kind == "rewarded" else INF)
        counts["resolutions"] += 1
        self._remember(logged, kind)

    def _outcome(self, logged: str, reward: float, t: float) -> None:
        counts = self.counts
        mine = self.ids.pop(logged, None)
        if mine is None:
            prior = self.recent.get(logged)
            if prior == "outcome" or logged in self.waiting:
                counts["outcomes"] += 1
                counts["duplicate_outcomes"] += 1
            elif prior is not None:  # the decision expired before its outcome came
                counts["outcomes"] += 1
                counts["after_expiry"] += 1
                self._remember(logged, "outcome")
            else:  # its decision may still come
                self.waiting[logged] = [reward, t]
            return
        counts["outcomes"] += 1
        resolution = self._learn(self.state, mine, reward, t)
        counts["rewarded" if resolution.kind == "rewarded" else "late"] += 1
        self._remember(logged, "outcome")

    def _advance(self, time: float) -> None:
        """The clock moves to `time`: due decisions expire, outcomes whose
        decision cannot come in time any more are given up."""
        if time <= self.now:
            return
        self.now = time
        due = self.due
        if due and due[0] <= time:
            while due and due[0] <= time:
                heapq.heappop(due)
            own = self.start.pending_ids
            for r in ordwyne.expire(self.state, time):
                mine = r.decision_id
                logged = mine if mine in own else mine.rpartition(":")[0]
                if self.ids.pop(logged, None) is not None:
                    self.counts["expired"] += 1
                    self._remember(logged, "expired")
        waiting = self.waiting
        if waiting:
            horizon = self.horizon
            gone = [k for k, (_, t) in waiting.items() if t + horizon < time]
            for k in gone:
                del waiting[k]
                self.counts["outcomes"] += 1
                self.counts["orphaned_outcomes"] += 1

    def _remember(self, logged: str, how: str) -> None:
        recent = self.recent
        recent[logged] = how
        if len(recent) > RECENT:
            del recent[next(iter(recent))]

    def _say(self, message: str) -> None:
        if self.warn is not None:
            self.warn(message)

    # -- results -------------------------------------------------------------
    def summary(self) -> dict:
        counts = dict(self.counts)
        counts["waiting_outcomes"] = len(self.waiting)
        counts["pending"] = len(self.ids)
        return counts
