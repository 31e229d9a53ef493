"""Rebuilding a state from a start state and a log.

Each decision line goes through `decide` with the line's own inputs and
must come back equal to the logged record, field for field; each resolution
goes through `learn` with the logged reward at a time that reproduces the
logged kind: NaN is never due, so the reward counts ("rewarded"), and +inf
is always due, so the default reward counts ("expired").
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Callable, List, Optional

import ordwyne

from .logs import decision_inputs
from .start import Start
from .util import same_features, same_float

__all__ = ["Mismatch", "ReplayResult", "compare_decision", "resolve", "replay_events",
           "RESOLVE_AT"]

NAN = math.nan
INF = math.inf
RESOLVE_AT = {"rewarded": NAN, "expired": INF}


@dataclass
class Mismatch:
    """One difference between a line and its replay."""

    file: str
    line: int
    decision_id: str
    check: str
    logged: object
    expected: object
    message: str

    def __str__(self) -> str:
        return f"{self.file}:{self.line}: {self.check}: {self.message}"


def compare_decision(record, data: dict) -> List[tuple]:
    """(check, logged, replayed) for every field where the replayed record
    differs from the line's record, in the record's field order."""
    logged = data["record"]
    out = []
    if record.decision_id != logged["decision_id"]:
        out.append(("decision_id", logged["decision_id"], record.decision_id))
    if record.candidate_hash != logged["candidate_hash"]:
        out.append(("candidate_hash", logged["candidate_hash"], record.candidate_hash))
    if record.chosen != logged["chosen"]:
        out.append(("chosen", logged["chosen"], record.chosen))
    features = record.features
    if not same_features(features, logged["features"]):
        out.append(("features", logged["features"], [list(p) for p in features]))
    if not same_float(record.propensity, logged["propensity"]):
        out.append(("propensity", logged["propensity"], record.propensity))
    if record.model_version != logged["model_version"]:
        out.append(("model_version", logged["model_version"], record.model_version))
    return out


def resolve(state, data: dict, default_reward: float):
    """Replay one resolution line. Returns (resolution or None, problem or
    None), problem being (check, logged, expected, message)."""
    kind = data["kind"]
    reward = data["reward"]
    if reward is None:
        if kind == "rewarded":
            return None, ("reward", None, "a number",
                          "a rewarded resolution without a reward cannot be replayed")
        reward = default_reward
    resolution = ordwyne.learn(state, data["decision_id"], reward, RESOLVE_AT[kind])
    if resolution is None:
        return None, None
    if resolution.kind != kind:  # only a record whose t + horizon is NaN gets here
        return resolution, ("reward", kind, resolution.kind,
                            f"logged as {kind} but replays as {resolution.kind}")
    if kind == "expired" and data["reward"] is not None and not same_float(data["reward"],
                                                                           default_reward):
        return resolution, ("reward", data["reward"], default_reward,
                            "an expired resolution carries the state's default reward")
    return resolution, None


@dataclass
class ReplayResult:
    state: object
    lines: int = 0
    decisions: int = 0
    resolutions: int = 0
    skipped: int = 0
    mismatches: List[Mismatch] = field(default_factory=list)
    stopped_at: Optional[Mismatch] = None


def _describe(check, logged, expected) -> str:
    return f"logged {logged!r}, replay gives {expected!r}"


def replay_events(start: Start, events, *, keep_going: bool = False,
                  until_line: Optional[int] = None,
                  on_mismatch: Optional[Callable[[Mismatch], None]] = None) -> ReplayResult:
    """Replay the events on a new state made from `start`. The first
    mismatch stops the replay (result.stopped_at) unless keep_going.
    `until_line` stops after that many lines, counted over all files."""
    state = start.new_state()
    result = ReplayResult(state)
    default_reward = start.params["default_reward"]
    contained = start.already_contained if start.decision_count else None
    decide = ordwyne.decide
    lines = 0

    def report(ev, decision_id, check, logged, expected, message=None):
        m = Mismatch(ev.file, ev.line, decision_id, check, logged, expected,
                     message or _describe(check, logged, expected))
        result.mismatches.append(m)
        if on_mismatch is not None:
            on_mismatch(m)
        if not keep_going:
            result.stopped_at = m
        return m

    for ev in events:
        if until_line is not None and lines >= until_line:
            break
        lines += 1
        kind = ev.kind
        if kind not in ("decision", "resolution"):
            continue  # torn last lines are warned about by the reader
        if contained is not None and contained(ev):
            result.skipped += 1
            continue
        data = ev.data
        if kind == "decision":
            context, candidates, t, salt, _bits = decision_inputs(data)
            decision_id = data["record"]["decision_id"]
            try:
                record = decide(state, context, candidates, t, salt)
            except (ValueError, TypeError, OverflowError) as e:
                report(ev, decision_id, "malformed", None, None, f"decide refused the line: {e}")
                if result.stopped_at:
                    break
                continue
            result.decisions += 1
            for check, logged, expected in compare_decision(record, data):
                report(ev, decision_id, check, logged, expected)
                if result.stopped_at:
                    break
        else:
            decision_id = data["decision_id"]
            resolution, problem = resolve(state, data, default_reward)
            if resolution is None and problem is None:
                report(ev, decision_id, "unknown_decision", decision_id, None,
                       f"resolution of {decision_id!r}, which is not pending")
            elif problem is not None:
                report(ev, decision_id, problem[0], problem[1], problem[2], problem[3])
            if resolution is not None:
                result.resolutions += 1
        if result.stopped_at:
            break
    result.lines = lines
    return result
