"""Checking a log: its own consistency, and with a start state a full replay.

Self-consistency needs no state: the structure of each line, decision ids
that are the salt, ":" and a counter rising by one, the candidate hash and
the chosen features recomputed from the line's own inputs and bits, the
chosen index, the propensity, a model version that counts the resolutions,
resolutions and outcomes of decisions the log holds, and decisions no
older than their file's watermarks.

Each check is a unit of its own, and `Verifier` feeds them in log order:

- `DecisionIds`: decision_id and missing_decisions, one finding per fault
  (a counter that jumps, a duplicated line, two swapped lines, a bad id);
- `ModelVersions`: model_version;
- `Encoding`: candidate_hash, features and chosen, recomputed through the
  engine on a scratch state per bits whose model never trains (a train
  hook swallows its updates) with an `explore` that picks the logged index;
  its ledger is emptied every few thousand decisions so memory stays flat;
- `check_propensity`: propensity;
- `Resolutions`: unknown_decision and second_resolution, and the fleet's
  outcome lines (unknown_decision, a second outcome is a warning);
- `Watermarks`: watermark;
- `ReplayCheck` (with a start state): every difference from the replay,
  reward, replay_diverged;
- `Expectation` (with a later state): expect.

A fault is one finding, at its line; the lines after it are judged against
the log as it is. Where a fault leaves the replayed state unable to follow
the log (lost lines, a resolution the log cannot place), the replay stops
there without a finding of its own, and the report says where.
"""

from __future__ import annotations

import math
from array import array
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional

import ordwyne

from .logs import Event, LazyFeatures, LogError, _fast_dumps, decision_count_of, full_data
from .replay import DECIDE_ERRORS, replay_decision, resolve
from .start import Prefix, Start
from .statefile import HEADER, StateError, parse_state
from .util import json_value, same_features

__all__ = ["Finding", "Verifier", "CHECKS", "state_differences"]

CHECKS = ("malformed", "incomplete_last_line", "decision_id", "missing_decisions",
          "candidate_hash", "features", "chosen", "propensity", "model_version",
          "unknown_decision", "second_resolution", "reward", "watermark", "replay_diverged",
          "expect")

_ENCODING_CHECKS = ("chosen", "candidate_hash", "features")
SCRATCH_FLUSH = 4096  # scratch decisions between two ledger clear-outs
MAX_KEPT = 100_000  # findings kept for the report; the rest are only counted
MAX_SALTS = 1 << 16  # salts remembered for telling processes apart; the oldest go first
MAX_TAGS = (1 << 29) - 1  # salts told apart in the counter table; later ones share the last


@dataclass
class Finding:
    file: str
    line: int
    decision_id: Optional[str]
    check: str
    logged: object
    expected: object
    message: str

    def as_json(self) -> dict:
        return {"file": self.file, "line": self.line, "decision_id": self.decision_id,
                "check": self.check, "logged": json_value(self.logged),
                "expected": json_value(self.expected)}

    def __str__(self) -> str:
        where = f"{self.file}:{self.line}"
        who = f" [{self.decision_id}]" if self.decision_id is not None else ""
        return f"{where}{who}: {self.check}: {self.message}"


class _Report:
    """Findings and warnings as they are found: each (file, line, check)
    once, counted per check, the first MAX_KEPT kept for the report."""

    def __init__(self, emit, warn) -> None:
        self.emit = emit
        self.warn_to = warn
        self.findings: List[Finding] = []
        self.counts: Dict[str, int] = {}
        self.warnings = 0
        self.keys: set = set()  # (file, line, check) of the lines still open

    def find(self, ev, decision_id, check, logged, expected, message) -> None:
        key = (ev.file, ev.line, check)
        if key in self.keys:
            return
        self.keys.add(key)
        f = Finding(ev.file, ev.line, decision_id, check, logged, expected, message)
        self.counts[check] = self.counts.get(check, 0) + 1
        if len(self.findings) < MAX_KEPT:
            self.findings.append(f)
        if self.emit is not None:
            self.emit(f)

    def warn(self, ev, message: str) -> None:
        self.warnings += 1
        if self.warn_to is not None:
            self.warn_to(f"{ev.file}:{ev.line}: warning: {message}")

    def keep_only(self, lines: set) -> None:
        """A new line begins: only lines whose judgement is still open
        (`lines`, as (file, line)) may get more findings."""
        self.keys = {k for k in self.keys if k[:2] in lines} if lines else set()


def _salt_of(decision_id: str) -> str:
    return decision_id.rpartition(":")[0]


# -- the counters of one state's decisions -------------------------------------

_RESOLVED, _OUTCOME = 1, 2
_CHUNK = 64  # counters per chunk of the table
_ZEROS = [0] * _CHUNK
_ENTRY = "I" if array("I").itemsize >= 4 else "L"  # 32 bits: a tag and two flags


class _Counters:
    """Which counters of one state's decisions the log showed, and which of
    those were resolved or had an outcome: per counter the tag of its id's
    salt and two flags, in chunks of _CHUNK, so memory follows the decision
    lines the log holds, not the values its counters take."""

    __slots__ = ("chunks",)

    def __init__(self) -> None:
        self.chunks: Dict[int, array] = {}

    def shown(self, count: int, tag: int) -> bool:
        """Note a decision; False when one was shown at this counter before."""
        chunk = self.chunks.get(count // _CHUNK)
        if chunk is None:
            chunk = self.chunks[count // _CHUNK] = array(_ENTRY, _ZEROS)
        if chunk[count % _CHUNK]:
            return False
        chunk[count % _CHUNK] = tag << 2
        return True

    def has(self, count: int, tag: int, flags: int = 0) -> bool:
        """Whether the decision with this counter and salt was shown (with
        all of `flags` set)."""
        chunk = self.chunks.get(count // _CHUNK)
        if chunk is None:
            return False
        v = chunk[count % _CHUNK]
        return v >> 2 == tag and v & flags == flags

    def flag(self, count: int, tag: int, flag: int) -> bool:
        """Set a flag of a shown decision; whether it was set before."""
        chunk = self.chunks.get(count // _CHUNK)
        if chunk is None or chunk[count % _CHUNK] >> 2 != tag:
            return False
        before = chunk[count % _CHUNK] & flag
        chunk[count % _CHUNK] |= flag
        return bool(before)


class _Stream:
    """One state's decisions in the log: the counter it expects next, the
    model version it logs, and the counters it showed."""

    __slots__ = ("expected", "alternative", "back", "held", "version_base", "version_suspect",
                 "seen", "doubt", "last_version", "counters")

    def __init__(self, expected=None, version_base=None) -> None:
        self.expected: Optional[int] = expected
        self.alternative: Optional[int] = None  # also accepted next, after a counter went back
        self.back: Optional[Event] = None  # the line that went back, while it may be a decision
        self.held = None  # a line whose counter jumped ahead, judged at the next decision
        # model version: logged = base + resolutions seen, base fixed by the first decision
        self.version_base: Optional[int] = version_base
        self.version_suspect: Optional[int] = None
        self.seen = 0  # resolution lines counted for this state
        self.doubt = 0  # of those, lines of no known pending decision since the last decision
        self.last_version: Optional[int] = None
        self.counters = _Counters()


class _Streams:
    """Which state each decision line belongs to.

    Without a start state the log may hold the merged logs of several
    processes, each with its own state and salt: every state's counter,
    model version and resolutions are followed on their own. A decision
    whose salt is new joins the state whose counter it continues (one state
    may use several salts), otherwise it starts another state's sequence.
    With a start state the log is one state's history: one sequence."""

    def __init__(self, single: Optional[_Stream]) -> None:
        self.single = single
        self.by_salt: Dict[str, _Stream] = {}
        self.by_expected: Dict[int, _Stream] = {}  # a stream by the counter it expects next
        self.current: Optional[_Stream] = single  # the stream of the latest decision line
        self.tags: Dict[str, int] = {}

    def tag(self, salt: str) -> int:
        tag = self.tags.get(salt)
        if tag is None:
            tag = min(len(self.tags) + 1, MAX_TAGS)
            if len(self.tags) < MAX_TAGS:
                self.tags[salt] = tag
        return tag

    def for_decision(self, salt: str, count: Optional[int]) -> _Stream:
        single = self.single
        if single is not None:
            return single
        stream = self.by_salt.get(salt)
        if stream is None:
            stream = self.by_expected.get(count) if count is not None else None
            if stream is None:
                stream = _Stream()
            by_salt = self.by_salt
            if len(by_salt) >= MAX_SALTS:
                del by_salt[next(iter(by_salt))]
            by_salt[salt] = stream
        return stream

    def of_id(self, decision_id: str) -> Optional[_Stream]:
        """The stream of an earlier decision, by its id's salt."""
        if self.single is not None:
            return self.single
        return self.by_salt.get(_salt_of(decision_id))

    def expect(self, stream: _Stream, count: int) -> None:
        old = stream.expected
        stream.expected = count
        if self.single is None:
            by_expected = self.by_expected
            if old is not None and by_expected.get(old) is stream:
                del by_expected[old]
            if len(by_expected) >= MAX_SALTS:
                del by_expected[next(iter(by_expected))]
            by_expected[count] = stream


# -- decision ids ----------------------------------------------------------------

# What follows from judging a decision line's id, for each line it settles:
# (event, snapshot of the resolutions seen or None for now, judge its model
# version, replay it, the id it should have had when its own is a finding
# and the line took that id's place, else None).
_Step = tuple


class DecisionIds:
    """decision_id and missing_decisions.

    An id must be the salt, ":" and the state's counter, rising by one.
    A counter that jumps ahead is held and judged by the next decision line:
    a jump that continues is `missing_decisions`; a next line that returns
    to the expected counter, or its successor, makes the held line the one
    fault (a damaged id, or a line out of place), and a next line with the
    expected counter right below the held one makes the pair one swap. A
    counter that repeats or goes back (a duplicated line, an old line
    appended) is one `decision_id` finding, and the next line may continue
    from either side of it."""

    def __init__(self, streams: _Streams, report: _Report, on_gap) -> None:
        self.streams = streams
        self.find = report.find
        self.on_gap = on_gap  # told when lines are missing: a replay cannot follow
        self.holding: Dict[_Stream, None] = {}  # streams with a held line

    def open_lines(self) -> set:
        lines = {(s.held[0].file, s.held[0].line) for s in self.holding}
        return lines

    def judge(self, ev, stream: _Stream, decision_id: str, salt: str,
              count: Optional[int], late: bool) -> List[_Step]:
        steps: List[_Step] = []
        if stream.held is not None and count is not None:
            settled, swapped = self._settle(ev, stream, count)
            steps += settled
            if swapped:
                return steps
        expected = stream.expected
        if count is None or not decision_id.startswith(salt + ":") \
                or len(decision_id) != len(salt) + 1 + len(str(count)):
            want = f"{salt}:{expected}" if expected is not None else f"{salt}:<counter>"
            self.find(ev, decision_id, "decision_id", decision_id, want,
                      f"decision id {decision_id!r} is not the salt {salt!r}, ':' and a counter")
            if expected is not None:
                self.streams.expect(stream, expected + 1)
            steps.append((ev, None, True, True, f"{salt}:{expected}" if expected is not None
                          else decision_id))
            return steps
        if late:
            self.find(ev, decision_id, "decision_id", decision_id, f"{salt}:{expected}",
                      f"decision {decision_id!r} is already in the start state, but comes "
                      "after lines that are not: the line is out of place")
            return steps
        if expected is None or count == expected or count == stream.alternative:
            back = stream.back
            if back is not None and count == expected:
                # the line that went back took the place of the expected counter
                steps.append((back, None, False, True, f"{salt}:{count - 1}"))
            stream.alternative = stream.back = None
            self.streams.expect(stream, count + 1)
            steps.append((ev, None, True, True, None))
            return steps
        stream.alternative = stream.back = None
        if count > expected:
            stream.held = (ev, decision_id, count, expected, (stream.seen, stream.doubt))
            self.holding[stream] = None
            self.streams.expect(stream, count + 1)
            return steps
        self.find(ev, decision_id, "decision_id", decision_id, f"{salt}:{expected}",
                  f"decision counter {count} repeats or goes back (expected {expected})")
        stream.alternative, stream.back = expected, ev
        self.streams.expect(stream, expected + 1)
        return steps

    def _settle(self, ev, stream: _Stream, count: int):
        """The next decision line (counter `count`) judges the held one:
        (steps, whether the two lines were swapped)."""
        hev, hid, hcount, hexpected, snapshot = stream.held
        stream.held = None
        del self.holding[stream]
        salt = hev.data["record"]["salt"]
        if count == hexpected and hcount == hexpected + 1:
            self.find(ev, ev.data["record"]["decision_id"], "decision_id", count, hcount + 1,
                      f"decision counter {count} comes after {hcount} ({hev.file}:{hev.line}): "
                      "the two decision lines are swapped")
            self.streams.expect(stream, hcount + 1)
            # judged and replayed in their own order: this line in the held one's place
            return [(ev, snapshot, True, True, None), (hev, None, True, True, None)], True
        if count in (hexpected, hexpected + 1):
            # the next line continues from before the jump: the held line's
            # counter was wrong; it took the expected counter's place if the
            # next line is that counter's successor, else it is an extra line
            self.find(hev, hid, "decision_id", hid, f"{salt}:{hexpected}",
                      f"decision id {hid!r} does not continue the counter "
                      f"(expected counter {hexpected})")
            self.streams.expect(stream, count)
            if count == hexpected + 1:
                return [(hev, snapshot, True, True, f"{salt}:{hexpected}")], False
            return [], False  # an extra line: neither its version nor a replay
        self.gap(hev, hid, hcount, hexpected)
        return [(hev, snapshot, True, False, None)], False

    def gap(self, ev, decision_id, count, expected) -> None:
        missing = count - expected
        self.find(ev, decision_id, "missing_decisions", count, expected,
                  f"missing decision lines: counter jumps from {expected - 1} to {count} "
                  f"({missing} decision{'s' if missing != 1 else ''} not in the log)")
        self.on_gap(ev)

    def finish(self) -> List[_Step]:
        steps = []
        for stream in list(self.holding):
            hev, hid, hcount, hexpected, snapshot = stream.held
            stream.held = None
            self.gap(hev, hid, hcount, hexpected)
            steps.append((hev, snapshot, True, False, None))
        self.holding.clear()
        return steps


# -- model versions --------------------------------------------------------------

class ModelVersions:
    """model_version: a decision's version is the state's first logged
    version plus the resolutions logged since. One damaged version is one
    finding; when the next line agrees with the new count the log itself
    lacks or adds resolution lines (still one finding). Resolution lines of
    no known pending decision (a damaged id, a repeated line) may or may not
    have counted: the next version says which, without a finding."""

    def __init__(self, report: _Report, on_shift) -> None:
        self.find = report.find
        self.on_shift = on_shift  # told why the host's model is not the log's

    def judge(self, ev, stream: _Stream, decision_id: str, version: int, snapshot=None) -> None:
        if snapshot is None:
            seen, doubt = stream.seen, stream.doubt
            stream.doubt = 0
        else:
            seen, doubt = snapshot[0], 0
        last, stream.last_version = stream.last_version, version
        if stream.version_base is None:
            stream.version_base = version - seen
            return
        expected = stream.version_base + seen
        if version == expected:
            stream.version_suspect = None
            if doubt:
                self.on_shift(ev, "the host counted a resolution the log does not place")
            return
        if doubt and expected - doubt <= version < expected:
            stream.version_base = version - seen  # the doubtful lines did not count
            stream.version_suspect = None
            return
        new_base = version - seen
        if stream.version_suspect is not None and new_base == stream.version_suspect:
            # two lines in a row agree: the log itself lacks or adds resolutions
            stream.version_base = new_base
            stream.version_suspect = None
            self.on_shift(ev, "the log lacks or adds resolution lines (model_version)")
            return
        stream.version_suspect = new_base
        why = "goes back" if last is not None and version < last \
            else "does not count the resolutions"
        self.find(ev, decision_id, "model_version", version, expected,
                  f"model_version {version} {why} (expected {expected}: "
                  f"{seen} resolutions in the log so far)")


# -- encoding --------------------------------------------------------------------

def _no_train(record, reward):
    return None


class _Scratch:
    """Encodes a line's candidates through the engine without learning."""

    def __init__(self) -> None:
        self.states: Dict[int, object] = {}
        self.used = 0

    def record(self, bits: int, context, candidates, index: int):
        state = self.states.get(bits)
        if state is None:
            state = self.states[bits] = ordwyne.create(bits, 1.0, 0.0, 0.0, 1.0)
        n = len(candidates)
        onehot = [0.0] * n
        onehot[index] = 1.0
        record = ordwyne.decide(state, context, candidates, 0.0, "",
                                None, lambda estimates, epsilon: onehot)
        self.used += 1
        if self.used >= SCRATCH_FLUSH:
            for s in self.states.values():
                ordwyne.expire(s, math.inf, _no_train)
            self.used = 0
        return record


class Encoding:
    """candidate_hash, features and chosen, from the line's own inputs and
    bits: the hash must be the candidates' hash, the features the chosen
    candidate's encoding (or `chosen` names the candidate whose they are)."""

    def __init__(self, report: _Report, full) -> None:
        self.find = report.find
        self.full = full  # the line read in full, or None when it is malformed
        self.scratch = _Scratch()

    def judge(self, ev, data: dict) -> None:
        rec = data["record"]
        decision_id = rec["decision_id"]
        bits = data["bits"]
        context = data["context"]
        candidates = data["candidates"]
        chosen = rec["chosen"]
        n = len(candidates)
        in_range = chosen < n
        encoded = None
        if n:
            try:
                candidates = [tuple(c) for c in candidates]
                encoded = self.scratch.record(bits, context, candidates, chosen if in_range else 0)
            except DECIDE_ERRORS as e:
                if self._sound(ev, rec):
                    self.find(ev, decision_id, "malformed", None, None,
                              f"malformed line: decide refuses its inputs: {e}")
                return
        elif self._sound(ev, rec):
            self.find(ev, decision_id, "malformed", None, None, "malformed line: no candidates")
        if not in_range:
            self.find(ev, decision_id, "chosen", chosen, f"below {n}",
                      f"chosen index {chosen} is not below the {n} candidates")
        if encoded is None:
            return
        if encoded.candidate_hash != rec["candidate_hash"]:
            # the inputs do not belong to this record; their features cannot be judged
            self.find(ev, decision_id, "candidate_hash", rec["candidate_hash"],
                      encoded.candidate_hash,
                      f"candidate_hash {rec['candidate_hash']} is not the hash of the "
                      f"line's candidates ({encoded.candidate_hash})")
            return
        if not in_range:
            return
        replayed = encoded.features
        logged = rec["features"]
        if type(logged) is LazyFeatures:
            if logged.text == _fast_dumps(replayed):
                return
            full = self.full(ev)
            if full is None:
                return
            logged = full["record"]["features"]
        if same_features(replayed, logged):
            return
        other = self._which_candidate(bits, context, candidates, logged, chosen)
        if other is not None:
            self.find(ev, decision_id, "chosen", chosen, other,
                      f"the features are those of candidate {other}, not of the "
                      f"chosen {chosen}")
        else:
            self.find(ev, decision_id, "features", logged, [list(p) for p in replayed],
                      f"features are not candidate {chosen}'s encoding")

    def _sound(self, ev, rec) -> bool:
        """A quickly read line whose features are malformed says that first."""
        return type(rec["features"]) is not LazyFeatures or self.full(ev) is not None

    def _which_candidate(self, bits, context, candidates, features, chosen) -> Optional[int]:
        for j in range(len(candidates)):
            if j != chosen and same_features(
                    self.scratch.record(bits, context, candidates, j).features, features):
                return j
        return None


def check_propensity(report: _Report, ev, decision_id: str, p: float) -> None:
    """propensity: a probability in (0, 1]; 0 is a warning (the line is
    unusable for evaluation, not wrong)."""
    if 0.0 < p <= 1.0:
        return
    if p == 0.0:
        report.warn(ev, f"propensity 0 for {decision_id!r}: unusable for evaluation")
    else:
        report.find(ev, decision_id, "propensity", p, "in (0, 1]",
                    f"propensity {p!r} is not a probability in (0, 1]")


# -- resolutions and outcomes ----------------------------------------------------

class Resolutions:
    """unknown_decision and second_resolution: each resolution resolves one
    earlier decision of the log (or one pending in the start state), once.
    The fleet's outcome lines name a decision of the log, before or after
    them; a second outcome of a decision is a warning (the learner counts
    and ignores it)."""

    def __init__(self, streams: _Streams, report: _Report, start: Optional[Start]) -> None:
        self.streams = streams
        self.report = report
        self.start = start
        self.pending: Dict[str, tuple] = {}  # id -> (counter, stream, salt tag), unresolved
        self.waiting: Dict[str, tuple] = {}  # outcome's id -> (file, line), decision not yet seen
        if start is not None:
            single = streams.single
            for r in start.info.records:
                count = decision_count_of(r.decision_id)
                tag = streams.tag(_salt_of(r.decision_id))
                self.pending[r.decision_id] = (count, single, tag)
                if count is not None:
                    single.counters.shown(count, tag)

    def decided(self, stream: _Stream, decision_id: str, count: Optional[int],
                salt: Optional[str] = None) -> None:
        """A decision line of this stream (`salt`: its id's), unless the
        decision is known already (a repeated line)."""
        tags = self.streams.tags
        if salt is None:
            salt = _salt_of(decision_id)
        tag = tags.get(salt) or self.streams.tag(salt)
        if count is not None and not stream.counters.shown(count, tag):
            return
        self.pending[decision_id] = (count, stream, tag)
        if self.waiting and self.waiting.pop(decision_id, None) is not None and count is not None:
            stream.counters.flag(count, tag, _OUTCOME)

    def alias(self, stream: _Stream, decision_id: str) -> None:
        """Another id a decision line may be resolved by (the id it should
        have had, where its own is damaged); it takes no counter."""
        if decision_id not in self.pending:
            self.pending[decision_id] = (None, stream, 0)

    def shown(self, decision_id: str) -> None:
        """A decision line the start state contains: known to outcomes."""
        count = decision_count_of(decision_id)
        stream = self.streams.single
        if count is not None and stream is not None:
            stream.counters.shown(count, self.streams.tag(_salt_of(decision_id)))

    def resolution(self, ev, decision_id: str, late: bool = False) -> bool:
        """Judge a resolution line; whether it resolves a known pending decision."""
        entry = self.pending.pop(decision_id, None)
        if entry is not None:
            count, stream, tag = entry
            stream.seen += 1
            if count is not None:
                stream.counters.flag(count, tag, _RESOLVED)
            return True
        stream = self.streams.of_id(decision_id)
        counted = stream if stream is not None else self.streams.current
        if counted is not None:
            counted.seen += 1
            counted.doubt += 1
        count = decision_count_of(decision_id)
        salt = _salt_of(decision_id)
        known_salt = salt in self.streams.tags
        if late and known_salt:
            self.report.find(ev, decision_id, "second_resolution", decision_id, None,
                             f"{decision_id!r} was already resolved in the start state; the "
                             "line comes after lines the start state does not contain")
        elif known_salt and stream is not None and count is not None \
                and stream.counters.has(count, self.streams.tags[salt], _RESOLVED):
            self.report.find(ev, decision_id, "second_resolution", decision_id, None,
                             f"{decision_id!r} was already resolved earlier in the log")
        else:
            self.report.find(ev, decision_id, "unknown_decision", decision_id, None,
                             f"{decision_id!r} is not an earlier decision of the log"
                             + (" or of the start state" if self.start else ""))
        return False

    def outcome(self, ev, decision_id: str) -> None:
        stream = self.streams.of_id(decision_id)
        count = decision_count_of(decision_id)
        tag = self.streams.tags.get(_salt_of(decision_id))
        if stream is not None and count is not None and tag is not None \
                and stream.counters.has(count, tag):
            if stream.counters.flag(count, tag, _OUTCOME):
                self._second(ev, decision_id)
        elif decision_id in self.pending:
            pass  # a pending decision whose id has no counter: seen, not flagged
        elif decision_id in self.waiting:
            self._second(ev, decision_id)
        else:
            self.waiting[decision_id] = (ev.file, ev.line)

    def _second(self, ev, decision_id: str) -> None:
        self.report.warn(ev, f"a second outcome for {decision_id!r} (counted and ignored "
                         "by the learner)")

    def finish(self) -> None:
        for decision_id, (file, line) in self.waiting.items():
            self.report.find(Event(file, line, {}, "outcome"), decision_id, "unknown_decision",
                             decision_id, None,
                             f"an outcome for {decision_id!r}, which is no decision of the log"
                             + (" or of the start state" if self.start else ""))
        self.waiting.clear()


# -- watermarks ------------------------------------------------------------------

class Watermarks:
    """watermark: a fleet worker's watermark says its file has nothing older
    to come, so a later decision line of that file must not be older."""

    def __init__(self, report: _Report) -> None:
        self.find = report.find
        self.marks: Dict[str, tuple] = {}  # file -> (highest watermark t, its line)

    def watermark(self, ev) -> None:
        t = ev.data["t"]
        mark = self.marks.get(ev.file)
        if t == t and (mark is None or t > mark[0]):
            self.marks[ev.file] = (t, ev.line)

    def decision(self, ev, decision_id: str, t: float) -> None:
        mark = self.marks.get(ev.file)
        if mark is not None and t < mark[0]:
            self.find(ev, decision_id, "watermark", t, mark[0],
                      f"decision time {t!r} is older than the watermark {mark[0]!r} this "
                      f"file wrote at line {mark[1]}")


# -- the replay ------------------------------------------------------------------

class ReplayCheck:
    """With a start state: each decision through `decide` and each
    resolution through `learn`, as `replay` does, every difference a
    finding. After the first divergence of the draw (or of the counter) the
    replayed state no longer follows the log: replay_diverged, once."""

    def __init__(self, start: Start, report: _Report) -> None:
        self.report = report
        self.state = start.new_state()
        self.default_reward = start.params["default_reward"]
        self.bits = start.params["bits"]
        self.decision_count = start.decision_count
        self.model_version = start.model_version
        self.stopped: Optional[tuple] = None  # (file, line, why) when a fault stopped it

    def decision(self, ev, id_fault: bool, full) -> Optional[bool]:
        """Replay one decision line: whether the replay vouches for its
        encoding (hash, features, chosen); None when the line is malformed."""
        data = ev.data
        rec = data["record"]
        decision_id = rec["decision_id"]
        try:
            record, differences, data = replay_decision(self.state, data, ev.file, ev.line)
        except LogError:
            full(ev)  # says so
            self.stop(ev, "a malformed decision line cannot be replayed")
            return None
        except DECIDE_ERRORS as e:
            self.diverge(ev, decision_id, None, None,
                         f"the replay cannot take this decision ({e})")
            return False
        self.decision_count += 1
        if not differences:
            return data["bits"] == self.bits
        checks = {d[0] for d in differences}
        if "decision_id" in checks and not id_fault:
            self.diverge(ev, decision_id, decision_id, record.decision_id,
                         "the replayed decision counter no longer matches the log's")
            return False
        diverge = self.stop_at if id_fault else self.diverge
        rec = data["record"]
        for check, logged, expected in differences:
            if check in ("decision_id", "model_version"):
                continue  # the log's own checks judge its ids and versions
            if check == "features" and "candidate_hash" in checks:
                continue  # the line's inputs are not its record's; reported once
            if check == "chosen":
                if same_features(record.features, rec["features"]):
                    self.report.find(ev, decision_id, "chosen", logged, expected,
                                     f"chosen {logged} but the replay chose {expected} "
                                     "with these very features")
                    continue
                diverge(ev, decision_id, logged, expected,
                        f"the replay drew candidate {expected}, the log {logged}")
                return False
            if check == "features" and record.chosen != rec["chosen"]:
                continue  # reported with chosen
            self.report.find(ev, decision_id, check, logged, expected,
                             f"{check}: logged {logged!r}, the replay gives {expected!r}")
        return data["bits"] == self.bits and not checks.intersection(_ENCODING_CHECKS)

    def resolution(self, ev, known: bool) -> None:
        data = ev.data
        decision_id = data["decision_id"]
        resolution, problem = resolve(self.state, data, self.default_reward)
        if resolution is not None:
            self.model_version += 1
        if problem is not None:
            self.report.find(ev, decision_id, *problem)
        elif resolution is None and known:
            self.diverge(ev, decision_id, decision_id, None,
                         f"{decision_id!r} is not pending in the replayed state")

    def stop(self, ev, why: str) -> None:
        """A fault already reported leaves the replayed state unable to
        follow the log: stop replaying, with no finding of its own."""
        if self.state is not None:
            self.state = None
            self.stopped = (ev.file, ev.line, why)

    def stop_at(self, ev, decision_id, logged, expected, why) -> None:
        """A divergence the line's reported id fault explains."""
        self.stop(ev, why + " (after its decision id)")

    def diverge(self, ev, decision_id, logged, expected, why) -> None:
        self.state = None
        self.report.find(ev, decision_id, "replay_diverged", logged, expected,
                         f"{why}; from here the replayed state no longer follows the log, "
                         "only the self-consistency checks continue")


# -- a later state ---------------------------------------------------------------

def _count_differing(a: str, b: str, start: int, count: int) -> int:
    """Doubles that differ between two state texts, `count` of them from byte
    `start` (16 hex characters each), compared a chunk at a time."""
    differing = 0
    step = 1 << 16
    for first in range(0, count, step):
        lo = 2 * start + 16 * first
        hi = lo + 16 * min(step, count - first)
        if a[lo:hi] != b[lo:hi]:
            differing += sum(1 for i in range(lo, hi, 16) if a[i:i + 16] != b[i:i + 16])
    return differing


def state_differences(replayed: str, later: str) -> List[str]:
    """What differs between two state texts: settings, counters, pending
    records and the model arrays, each said briefly ([] when equal)."""
    if replayed == later:
        return []
    try:
        a, b = parse_state(replayed), parse_state(later)
    except StateError as e:
        return [f"the state cannot be read ({e})"]
    out = []
    settings = [name for name in ("dim", "ridge", "forgetting", "horizon", "default_reward",
                                  "epsilon") if repr(getattr(a, name)) != repr(getattr(b, name))]
    if settings:
        out.append("settings (" + ", ".join(settings) + ")")
        return out  # arrays of other settings are not comparable
    for name in ("decision_count", "model_version"):
        if getattr(a, name) != getattr(b, name):
            out.append(f"{name.replace('_', ' ')} {getattr(a, name):,}, the later state's "
                       f"{getattr(b, name):,}")
    ra = {r.decision_id: r for r in a.records}
    rb = {r.decision_id: r for r in b.records}
    changed = sorted(set(ra) ^ set(rb)) + sorted(
        i for i in set(ra) & set(rb) if repr(ra[i]) != repr(rb[i]))
    if changed:
        out.append(f"{len(changed):,} pending records (" + ", ".join(changed[:3])
                   + (", ..." if len(changed) > 3 else "") + ")")
    if a.dim == b.dim:
        arrays = [f"{n:,} of {name}" for name, n in (
            ("a", _count_differing(replayed, later, HEADER, a.dim)),
            ("b", _count_differing(replayed, later, HEADER + 8 * a.dim, a.dim))) if n]
        if arrays or repr(a.scale) != repr(b.scale):
            out.append("model (" + (", ".join(arrays) + f" coordinates of {a.dim:,}"
                                    if arrays else "scale") + ")")
    return out or ["the checksum"]


class Expectation:
    """expect: a later checkpoint of the same host must be where the replay
    arrives once it holds as many decisions and resolutions. It catches what
    no start state can: a changed reward or kind, resolutions in another
    order, a changed t of a decision still pending at the checkpoint."""

    def __init__(self, later: Start, name: str, report: _Report) -> None:
        self.text = later.text
        self.name = name
        self.target = (later.decision_count, later.model_version)
        self.find = report.find
        self.done = False

    def after(self, ev, replay: ReplayCheck, when: str = "after") -> None:
        """After a replayed line (or before the first, `when`): compare once
        the replay reached (or passed) the later state's counters."""
        count, version = replay.decision_count, replay.model_version
        target_count, target_version = self.target
        if count > target_count or (count == target_count and version >= target_version):
            self.compare(ev, replay, when)

    def compare(self, ev, replay: ReplayCheck, when: str = "after") -> None:
        self.done = True
        differences = state_differences(ordwyne.serialize(replay.state), self.text)
        if differences:
            self.find(ev, None, "expect", differences, self.name,
                      f"{when} this line the replayed state differs from {self.name}: "
                      + "; ".join(differences))


# -- the verifier ----------------------------------------------------------------

_NEW, _SKIP, _LATE = Prefix.NEW, Prefix.SKIP, Prefix.LATE

class Verifier:
    """Feed it events in log order, then call finish(). Findings are passed
    to `emit` as they are found and counted in `counts`; warnings go to
    `warn`. With `expect` (a later state of the same host, and its name) the
    replay is compared with it where it gets there."""

    def __init__(self, start: Optional[Start] = None,
                 emit: Optional[Callable[[Finding], None]] = None,
                 warn: Optional[Callable[[str], None]] = None,
                 expect: Optional[Start] = None, expect_name: str = "the later state") -> None:
        self.start = start
        self.lines = self.decisions = self.resolutions = self.skipped = 0
        self.outcomes = self.watermarks = 0
        self._report = _Report(emit, warn)
        single = _Stream(start.decision_count, start.model_version) if start else None
        self.streams = _Streams(single)
        self.prefix = Prefix(start) if start else None
        self.ids = DecisionIds(self.streams, self._report, self._lines_missing)
        self.versions = ModelVersions(self._report, self._stop_replay)
        self.encoding = Encoding(self._report, self._full)
        self.resolved = Resolutions(self.streams, self._report, start)
        self.marks = Watermarks(self._report)
        self.replay = ReplayCheck(start, self._report) if start else None
        self.expect = Expectation(expect, expect_name, self._report) \
            if expect is not None and start is not None else None
        self._last: Optional[Event] = None

    # -- results ---------------------------------------------------------
    @property
    def findings(self) -> List[Finding]:
        return self._report.findings

    @property
    def counts(self) -> Dict[str, int]:
        return self._report.counts

    @property
    def warnings(self) -> int:
        return self._report.warnings

    @property
    def ok(self) -> bool:
        return not self._report.counts

    @property
    def replay_stopped(self) -> Optional[tuple]:
        """(file, line, why) where a reported fault stopped the replay."""
        return self.replay.stopped if self.replay is not None else None

    # -- what the units tell each other ------------------------------------
    def _full(self, ev) -> Optional[dict]:
        """A quickly read line in full, or None (and a finding) when it is
        malformed after all."""
        features = ev.data["record"]["features"]
        if type(features) is not LazyFeatures:
            return ev.data
        try:
            return full_data(ev.file, ev.line, features.raw)
        except LogError as e:
            self._report.find(ev, None, "malformed", None, None, f"malformed line: {e.reason}")
            return None

    def _stop_replay(self, ev, why: str) -> None:
        if self.replay is not None:
            self.replay.stop(ev, why)

    def _lines_missing(self, ev) -> None:
        self._stop_replay(ev, "decision lines are missing (missing_decisions)")

    # -- events ----------------------------------------------------------
    def feed(self, ev: Event) -> None:
        self.lines += 1
        self._last = ev
        if self.lines == 1 and self.expect is not None:
            self.expect.after(ev, self.replay, "before")  # the later state may be the start
        if self._report.keys:  # a line stays open for findings while it is held
            self._report.keep_only(self.ids.open_lines() if self.ids.holding else set())
        kind = ev.kind
        if kind == "decision":
            where = self.prefix.classify(ev) if self.prefix is not None else _NEW
            if where == _SKIP:
                self.skipped += 1
                self.resolved.shown(ev.data["record"]["decision_id"])
                return
            self.decisions += 1
            self._decision(ev, where == _LATE)
        elif kind == "resolution":
            where = self.prefix.classify(ev) if self.prefix is not None else _NEW
            if where == _SKIP:
                self.skipped += 1
                return
            self.resolutions += 1
            self._resolution(ev, where == _LATE)
        elif kind == "outcome":
            self.outcomes += 1
            self.resolved.outcome(ev, ev.data["decision_id"])
        elif kind == "watermark":
            self.watermarks += 1
            self.marks.watermark(ev)
        elif kind == "incomplete":
            self._report.find(ev, None, "incomplete_last_line", ev.data.get("text"), None,
                              "incomplete last line (the log was cut during an append)")
        else:
            self._report.find(ev, None, "malformed", ev.data.get("text"), None,
                              f"malformed line: {ev.data.get('reason')}")
            self._account_for(ev, ev.data.get("value"))

    def _decision(self, ev: Event, late: bool) -> None:
        rec = ev.data["record"]
        decision_id = rec["decision_id"]
        id_salt, sep, digits = decision_id.rpartition(":")
        # decision_count_of, on the parts at hand
        count = int(digits) if sep and digits.isdigit() and digits.isascii() \
            and (len(digits) == 1 or digits[0] != "0") else None
        if count is not None and self.prefix is not None and self.prefix.open and not late:
            self.prefix.close()
        # the id's own salt says which state made it, even when the record's disagrees
        stream = self.streams.current = self.streams.for_decision(id_salt, count)
        replay = self.replay
        if count is not None and count == stream.expected and stream.held is None \
                and stream.back is None and id_salt == rec["salt"] and not late:
            # the usual line, next in its sequence: what DecisionIds would say
            if self.streams.single is stream:
                stream.expected = count + 1
            else:
                self.streams.expect(stream, count + 1)
            stream.alternative = None
            version = rec["model_version"]
            if stream.doubt or stream.version_suspect is not None or stream.version_base is None \
                    or version != stream.version_base + stream.seen:
                self.versions.judge(ev, stream, decision_id, version)
            else:
                stream.last_version = version
            vouched = False
            if replay is not None and replay.state is not None:
                vouched = replay.decision(ev, False, self._full)
                if self.expect is not None and not self.expect.done \
                        and replay.state is not None:
                    self.expect.after(ev, replay)
        else:
            vouched = self._judge_order(ev, stream, decision_id, rec["salt"], count, late)
        if vouched is False:  # None: the line turned out malformed
            # the replay does not vouch for the line: encode its inputs on their own
            self.encoding.judge(ev, ev.data)
        p = rec["propensity"]
        if not 0.0 < p <= 1.0:
            check_propensity(self._report, ev, decision_id, p)
        if self.marks.marks:
            self.marks.decision(ev, decision_id, rec["t"])
        if not late:
            self.resolved.decided(stream, decision_id, count, id_salt)

    def _judge_order(self, ev, stream, decision_id, salt, count, late):
        """A line out of the usual order: DecisionIds says which lines it
        settles, and how their versions are judged and which are replayed.
        Returns what the replay says of this very line (see ReplayCheck)."""
        vouched = False
        replay = self.replay
        for step_ev, snapshot, judge_version, replayed, true_id in self.ids.judge(
                ev, stream, decision_id, salt, count, late):
            step_rec = step_ev.data["record"]
            if judge_version:
                self.versions.judge(step_ev, stream, step_rec["decision_id"],
                                    step_rec["model_version"], snapshot)
            if true_id is not None and true_id != step_rec["decision_id"]:
                # its resolution may name the id it should have had
                self.resolved.alias(stream, true_id)
            if replayed and replay is not None and replay.state is not None:
                result = replay.decision(step_ev, true_id is not None, self._full)
                if step_ev is ev:
                    vouched = result
                if self.expect is not None and not self.expect.done \
                        and replay.state is not None:
                    self.expect.after(step_ev, replay)
        return vouched

    def _resolution(self, ev: Event, late: bool) -> None:
        known = self.resolved.resolution(ev, ev.data["decision_id"], late)
        replay = self.replay
        if known and replay is not None and replay.state is not None:
            replay.resolution(ev, known)
            if self.expect is not None and not self.expect.done and replay.state is not None:
                self.expect.after(ev, replay)

    def _account_for(self, ev, data) -> None:
        """Keep the counters in step across a malformed line that still shows
        what it was (its parsed value), so one bad line does not also blame
        the lines after it."""
        if type(data) is not dict:
            return
        record = data.get("record")
        decision_id = record.get("decision_id") if type(record) is dict else None
        streams = self.streams
        if type(decision_id) is str:
            count = decision_count_of(decision_id)
            stream = streams.current = streams.for_decision(_salt_of(decision_id), count)
            if count is not None and count == stream.expected:
                streams.expect(stream, count + 1)
            self.resolved.decided(stream, decision_id, count)
            self._stop_replay(ev, "a malformed decision line cannot be replayed")
        elif data.get("event") == "resolution" or "kind" in data:
            decision_id = data.get("decision_id")
            known = self.resolved.pending.pop(decision_id, None) \
                if type(decision_id) is str else None  # (counter, stream, tag)
            stream = known[1] if known is not None else streams.current
            if stream is not None:
                stream.seen += 1

    def finish(self) -> None:
        for step_ev, snapshot, judge_version, _, _ in self.ids.finish():
            if judge_version:
                rec = step_ev.data["record"]
                self.versions.judge(step_ev, self.streams.of_id(rec["decision_id"])
                                    or self.streams.current, rec["decision_id"],
                                    rec["model_version"], snapshot)
        self.resolved.finish()
        replay = self.replay
        if self.expect is not None and not self.expect.done and replay is not None \
                and replay.state is not None and self._last is not None:
            self.expect.compare(self._last, replay)

    def report(self) -> dict:
        stopped = self.replay_stopped
        return {"ok": self.ok, "lines": self.lines, "decisions": self.decisions,
                "resolutions": self.resolutions, "outcomes": self.outcomes,
                "watermarks": self.watermarks, "skipped": self.skipped,
                "warnings": self.warnings,
                "replay_stopped": None if stopped is None else
                {"file": stopped[0], "line": stopped[1], "why": stopped[2]},
                "findings": [f.as_json() for f in sorted(
                    self.findings, key=lambda f: (self._file_order(f.file), f.line))]}

    def _file_order(self, name: str) -> int:
        order = getattr(self, "file_order", None)
        return order.get(name, 0) if order else 0
