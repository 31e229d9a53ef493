"""Rebuilding a state from a start state and a log.

Each decision line goes through `decide` with the line's own inputs and
must come back equal to the logged record, field for field; each resolution
goes through `learn` with the logged reward at a time that reproduces the
logged kind: NaN is never due, so the reward counts ("rewarded"), and +inf
is always due, so the default reward counts ("expired").

A replay follows one host's own calls: a fleet's outcome and watermark
lines are not calls of the host and are passed over (`ordwyne train`
learns from them).
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Callable, List, Optional

import ordwyne

from .logs import LazyFeatures, _fast_dumps as _dumps, features_text, full_data
from .start import Prefix, Start
from .util import same_features, same_float

__all__ = ["Mismatch", "ReplayResult", "compare_decision", "replay_decision", "resolve",
           "replay_events", "RESOLVE_AT", "DECIDE_ERRORS"]

_decide = ordwyne.decide
NAN = math.nan
INF = math.inf
RESOLVE_AT = {"rewarded": NAN, "expired": INF}
DECIDE_ERRORS = (ValueError, TypeError, OverflowError)  # what decide raises for bad inputs


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


def _same_record(record, logged: dict, logged_text: Optional[str]) -> bool:
    """The usual case, settled at C level: equal numbers, a propensity equal
    and not zero (so the same bits), and the features' orjson texts equal (a
    text exists only for [int, finite float] pairs, whose text is unique)."""
    propensity = record.propensity
    return (logged_text is not None
            and record.decision_id == logged["decision_id"]
            and record.candidate_hash == logged["candidate_hash"]
            and record.chosen == logged["chosen"]
            and record.model_version == logged["model_version"]
            and propensity == logged["propensity"] and propensity != 0.0
            and logged_text == _dumps(record.features))


def compare_decision(record, data: dict) -> List[tuple]:
    """(check, logged, replayed) for every field where the replayed record
    differs from the line's record, in the record's field order."""
    logged = data["record"]
    logged_features = logged["features"]
    if _dumps is not None and _same_record(record, logged, features_text(logged_features)):
        return []
    # each attribute read builds a new object (features: a list of tuples), so once
    decision_id = record.decision_id
    candidate_hash = record.candidate_hash
    chosen = record.chosen
    features = record.features
    propensity = record.propensity
    model_version = record.model_version
    out = []
    if decision_id != logged["decision_id"]:
        out.append(("decision_id", logged["decision_id"], decision_id))
    if candidate_hash != logged["candidate_hash"]:
        out.append(("candidate_hash", logged["candidate_hash"], candidate_hash))
    if chosen != logged["chosen"]:
        out.append(("chosen", logged["chosen"], chosen))
    if not same_features(features, logged_features):
        out.append(("features", logged_features, [list(p) for p in features]))
    if not same_float(propensity, logged["propensity"]):
        out.append(("propensity", logged["propensity"], propensity))
    if model_version != logged["model_version"]:
        out.append(("model_version", logged["model_version"], model_version))
    return out


def replay_decision(state, data: dict, file: str, line: int):
    """Decide on one decision line's own inputs: (the replayed record, its
    differences from the logged record as compare_decision gives them, the
    line's data). Features the reader left unparsed are read in full only
    when the quick comparison does not settle the line, and `data` is then
    the full reading. A malformed line raises LogError; inputs decide refuses
    raise its error (DECIDE_ERRORS), after LogError if the line is malformed.

    The decide call also vouches for what the reader's structure check of a
    quickly read line would otherwise have to walk item by item: it takes
    only a context object and [name, object] candidates (as tuples here)."""
    logged = data["record"]
    lazy = logged["features"]
    if type(lazy) is not LazyFeatures:
        lazy = None
    try:
        record = _decide(state, data["context"], [tuple(c) for c in data["candidates"]],
                         logged["t"], logged["salt"])
    except DECIDE_ERRORS:
        if lazy is not None:
            full_data(file, line, lazy.raw)  # a malformed line says so first
        raise
    if lazy is not None:
        if _same_record(record, logged, lazy.text):
            return record, (), data  # well formed, and the replayed record
        data = full_data(file, line, lazy.raw)
    return record, compare_decision(record, data), data


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


def replay_events(start: Start, events, *, keep_going: bool = False,
                  until_line: Optional[int] = None,
                  on_mismatch: Optional[Callable[[Mismatch], None]] = None) -> ReplayResult:
    """Replay the events on a new state made from `start`. The first
    mismatch stops the replay (result.stopped_at) unless keep_going.
    `until_line` stops after that many lines, counted over all files.

    Lines the start state already contains are skipped at the head of the
    log; after it such a line is a mismatch (`Prefix`). A decision line
    whose bits are not the state's is one too: the state cannot have made
    it."""
    state = start.new_state()
    result = ReplayResult(state)
    default_reward = start.params["default_reward"]
    bits = start.params["bits"]
    prefix = Prefix(start)
    classify = prefix.classify if prefix.open else None
    SKIP, LATE = Prefix.SKIP, Prefix.LATE
    lines = decisions = resolutions = 0

    def report(ev, decision_id, check, logged, expected, message=None):
        m = Mismatch(ev.file, ev.line, decision_id, check, logged, expected,
                     message or f"logged {logged!r}, replay gives {expected!r}")
        result.mismatches.append(m)
        if on_mismatch is not None:
            on_mismatch(m)
        if not keep_going:
            result.stopped_at = m

    def done_at_head(ev, decision_id, check, what) -> bool:
        """Whether the line is done with: skipped as already in the start
        state, or out of place (after lines the start state does not hold)."""
        where = classify(ev)
        if where == SKIP:
            result.skipped += 1
            return True
        if where == LATE:
            report(ev, decision_id, check, decision_id, None,
                   f"{what} {decision_id!r} is already in the start state, but comes after "
                   "lines that are not: the line is out of place")
            return True
        return False

    for ev in events:
        if until_line is not None and lines >= until_line:
            break
        lines += 1
        kind = ev.kind
        if kind == "decision":
            data = ev.data
            if classify is not None:
                if done_at_head(ev, data["record"]["decision_id"], "decision_id", "decision"):
                    if result.stopped_at:
                        break
                    continue
                prefix.close()
            if data["bits"] != bits:
                report(ev, data["record"]["decision_id"], "bits", data["bits"], bits,
                       f"the line's bits {data['bits']} are not the state's {bits}: "
                       "the state cannot have made this decision")
                if result.stopped_at:
                    break
            try:
                record, differences, data = replay_decision(state, data, ev.file, ev.line)
            except DECIDE_ERRORS as e:
                report(ev, data["record"]["decision_id"], "malformed", None, None,
                       f"decide refused the line: {e}")
                if result.stopped_at:
                    break
                continue
            decisions += 1
            if differences:
                decision_id = data["record"]["decision_id"]
                for check, logged, expected in differences:
                    report(ev, decision_id, check, logged, expected)
                    if result.stopped_at:
                        break
        elif kind == "resolution":
            data = ev.data
            decision_id = data["decision_id"]
            if classify is not None and done_at_head(ev, decision_id, "second_resolution",
                                                     "the resolution of"):
                if result.stopped_at:
                    break
                continue
            resolution, problem = resolve(state, data, default_reward)
            if resolution is None and problem is None:
                report(ev, decision_id, "unknown_decision", decision_id, None,
                       f"resolution of {decision_id!r}, which is not pending")
            elif problem is not None:
                report(ev, decision_id, problem[0], problem[1], problem[2], problem[3])
            if resolution is not None:
                resolutions += 1
        # outcome and watermark lines are a fleet's, not the host's calls; a
        # torn last line was warned about by the reader
        if result.stopped_at:
            break
    result.lines, result.decisions, result.resolutions = lines, decisions, resolutions
    return result
