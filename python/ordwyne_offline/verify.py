"""Checking a log: its own consistency, and with a start state a full replay.

Self-consistency needs no state: the structure of each line, decision ids
that are the salt, ":" and a counter rising by one, the candidate hash and
the chosen features recomputed from the line's own inputs and bits, the
chosen index, the propensity, a model version that counts the resolutions,
and resolutions that each resolve one earlier decision once.

The hash and the features are recomputed through the engine itself, on a
scratch state per bits whose model never trains (a train hook swallows its
updates) with an `explore` that picks the logged index; its ledger is
emptied every few thousand decisions so memory stays flat.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional

import ordwyne

from .logs import Event, decision_count_of, decision_inputs
from .replay import compare_decision, resolve
from .start import Start
from .util import json_value, same_features

__all__ = ["Finding", "Verifier", "CHECKS"]

CHECKS = ("malformed", "incomplete_last_line", "decision_id", "missing_decisions",
          "candidate_hash", "features", "chosen", "propensity", "model_version",
          "unknown_decision", "second_resolution", "reward", "replay_diverged")

_ENCODING_CHECKS = ("chosen", "candidate_hash", "features")
SCRATCH_FLUSH = 4096  # scratch decisions between two ledger clear-outs
MAX_KEPT = 100_000  # findings kept for the report; the rest are only counted


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


class _Resolved:
    """Which decision counters of this log were resolved: one byte per
    counter from the first counter seen, so ids need not be kept."""

    def __init__(self) -> None:
        self.base: Optional[int] = None
        self.flags = bytearray()

    def begin(self, count: int) -> None:
        """The lowest counter this log can resolve (set once)."""
        if self.base is None:
            self.base = count

    def mark(self, count: int) -> None:
        if self.base is None:
            self.base = count
        i = count - self.base
        if i < 0 or i > len(self.flags) + (1 << 20):
            return  # a wild counter (a damaged id) must not allocate a huge table
        if i >= len(self.flags):
            self.flags.extend(bytes(i + 1 - len(self.flags)))
        self.flags[i] = 1

    def seen(self, count: Optional[int]) -> bool:
        if count is None or self.base is None:
            return False
        i = count - self.base
        return 0 <= i < len(self.flags) and self.flags[i] == 1


MAX_SALTS = 1 << 16  # salts remembered for telling processes apart; the oldest go first


class _Stream:
    """The counters of one state's decisions: its decision counter, the
    model version it logs, and which of its decisions were resolved."""

    __slots__ = ("expected_count", "held", "version_base", "version_suspect",
                 "seen_resolutions", "last_version", "resolved")

    def __init__(self, expected_count=None, version_base=None) -> None:
        self.expected_count: Optional[int] = expected_count
        self.held = None  # a line whose counter jumped ahead, judged at the next decision
        # model version: logged = base + resolutions seen, base fixed by the first decision
        self.version_base: Optional[int] = version_base
        self.version_suspect: Optional[int] = None
        self.seen_resolutions = 0
        self.last_version: Optional[int] = None
        self.resolved = _Resolved()


def _salt_of(decision_id: str) -> str:
    return decision_id.rpartition(":")[0]


class Verifier:
    """Feed it events in log order, then call finish(). Findings are passed
    to `emit` as they are found and counted in `counts`.

    Without a start state the log may hold the merged logs of several
    processes, each with its own state and salt: every state's counter,
    model version and resolutions are followed on their own. A decision
    whose salt is new joins the state whose counter it continues (one state
    may use several salts), otherwise it starts another state's sequence.
    With a start state the log is one state's history: one sequence."""

    def __init__(self, start: Optional[Start] = None,
                 emit: Optional[Callable[[Finding], None]] = None,
                 warn: Optional[Callable[[str], None]] = None) -> None:
        self.start = start
        self.emit = emit
        self.warn = warn
        self.findings: List[Finding] = []
        self.counts: Dict[str, int] = {}
        self.lines = self.decisions = self.resolutions = self.skipped = 0
        self.warnings = 0
        self.scratch = _Scratch()
        # the states whose decisions the log holds: one with a start state
        self.single: Optional[_Stream] = None
        self.by_salt: Dict[str, _Stream] = {}
        self.by_expected: Dict[int, _Stream] = {}  # a stream by the counter it expects next
        self.holding: Dict[_Stream, None] = {}  # streams with a line held for judgement
        self.current: Optional[_Stream] = None  # the stream of the latest decision line
        # ledger of this log: pending id -> (counter, its stream)
        self.pending: Dict[str, tuple] = {}
        if start:
            self.single = self.current = _Stream(start.decision_count, start.model_version)
            for r in start.info.records:
                self.pending[r.decision_id] = (decision_count_of(r.decision_id), self.single)
            self.single.resolved.begin(min([c for c, _ in self.pending.values() if c is not None]
                                           + [start.decision_count]))
        # a fresh start state contains no line of the log
        self.contained = start.already_contained if start and start.decision_count else None
        # replay
        self.state = start.new_state() if start else None
        self.default_reward = start.params["default_reward"] if start else None
        self.state_bits = start.params["bits"] if start else None
        self.diverged = False
        self.id_behind = False  # the previous replayed decision got another counter
        self._reported = set()  # (line, check) pairs of the current line

    # -- reporting -------------------------------------------------------
    def _find(self, ev: Event, decision_id, check, logged, expected, message) -> None:
        key = (ev.file, ev.line, check)
        if key in self._reported:
            return
        self._reported.add(key)
        f = Finding(ev.file, ev.line, decision_id, check, logged, expected, message)
        self.counts[check] = self.counts.get(check, 0) + 1
        if len(self.findings) < MAX_KEPT:
            self.findings.append(f)
        if self.emit is not None:
            self.emit(f)

    def _warn(self, ev: Event, message: str) -> None:
        self.warnings += 1
        if self.warn is not None:
            self.warn(f"{ev.file}:{ev.line}: warning: {message}")

    @property
    def ok(self) -> bool:
        return not self.counts

    # -- streams ---------------------------------------------------------
    def _stream_for_decision(self, salt: str, count: Optional[int]) -> _Stream:
        """The stream a decision of this salt and counter belongs to."""
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

    def _stream_of_id(self, decision_id: str) -> Optional[_Stream]:
        """The stream of an earlier decision, by its id's salt."""
        if self.single is not None:
            return self.single
        return self.by_salt.get(_salt_of(decision_id))

    def _expect(self, stream: _Stream, count: int) -> None:
        old = stream.expected_count
        stream.expected_count = count
        if self.single is None:
            by_expected = self.by_expected
            if old is not None and by_expected.get(old) is stream:
                del by_expected[old]
            if len(by_expected) >= MAX_SALTS:
                del by_expected[next(iter(by_expected))]
            by_expected[count] = stream

    def _held_lines(self):
        return [s.held for s in self.holding]

    # -- events ----------------------------------------------------------
    def feed(self, ev: Event) -> None:
        self.lines += 1
        # a line stays open for findings while its counter jump is being judged
        if self._reported:
            held = {(h[0].file, h[0].line) for h in self._held_lines()}
            self._reported = {k for k in self._reported if k[:2] in held}
        kind = ev.kind
        if kind in ("decision", "resolution"):
            if self.contained is not None and self.contained(ev):
                self.skipped += 1
            elif kind == "decision":
                self.decisions += 1
                self._decision(ev)
            else:
                self.resolutions += 1
                self._resolution(ev)
        elif kind == "incomplete":
            self._find(ev, None, "incomplete_last_line", ev.data.get("text"), None,
                       "incomplete last line (the log was cut during an append)")
        else:
            self._find(ev, None, "malformed", ev.data.get("text"), None,
                       f"malformed line: {ev.data.get('reason')}")
            self._account_for(ev.data.get("value"))

    def _account_for(self, data) -> None:
        """Keep the counters in step across a malformed line that still shows
        what it was (its parsed value), so one bad line does not also blame
        the lines after it."""
        if type(data) is not dict:
            return
        record = data.get("record")
        decision_id = record.get("decision_id") if type(record) is dict else None
        if type(decision_id) is str:
            count = decision_count_of(decision_id)
            stream = self.current = self._stream_for_decision(_salt_of(decision_id), count)
            if count is not None and count == stream.expected_count:
                self._expect(stream, count + 1)
            self.pending[decision_id] = (count, stream)
            if count is not None:
                stream.resolved.begin(count)
        elif data.get("event") == "resolution" or "kind" in data:
            decision_id = data.get("decision_id")
            known = self.pending.pop(decision_id, None) if type(decision_id) is str else None
            stream = known[1] if known is not None else self.current
            if stream is not None:
                stream.seen_resolutions += 1

    def _decision(self, ev: Event) -> None:
        data = ev.data
        rec = data["record"]
        decision_id = rec["decision_id"]
        salt = rec["salt"]
        count = decision_count_of(decision_id)
        # the id's own salt says which state made it, even when the record's disagrees
        stream = self.current = self._stream_for_decision(_salt_of(decision_id), count)
        self._check_id(ev, stream, decision_id, salt, count)
        self._check_version(ev, stream, decision_id, rec["model_version"])

        context, candidates, t, salt, bits = decision_inputs(data)
        chosen = rec["chosen"]
        replayed = differences = None
        if self.state is not None and not self.diverged:
            try:
                replayed = ordwyne.decide(self.state, context, candidates, t, salt)
            except (ValueError, TypeError, OverflowError) as e:
                self._diverge(ev, decision_id, None, None,
                              f"the replay cannot take this decision ({e})")
            else:
                differences = compare_decision(replayed, data)
        if not (replayed is not None and bits == self.state_bits
                and not (differences and any(d[0] in _ENCODING_CHECKS for d in differences))):
            # the replay does not vouch for the line: encode its inputs on their own
            self._check_encoding(ev, decision_id, rec, bits, context, candidates, chosen)
        p = rec["propensity"]
        if p == 0.0:
            self._warn(ev, f"propensity 0 for {decision_id!r}: unusable for evaluation")
        elif not 0.0 < p <= 1.0:
            self._find(ev, decision_id, "propensity", p, "in (0, 1]",
                       f"propensity {p!r} is not a probability in (0, 1]")
        if count is not None:
            stream.resolved.begin(count)
        self.pending[decision_id] = (count, stream)
        if replayed is not None:
            self._compare_replay(ev, data, decision_id, replayed, differences)

    def _check_encoding(self, ev, decision_id, rec, bits, context, candidates, chosen) -> None:
        n = len(candidates)
        in_range = chosen < n
        encoded = None
        if n:
            try:
                encoded = self.scratch.record(bits, context, candidates, chosen if in_range else 0)
            except (ValueError, TypeError, OverflowError) as e:
                self._find(ev, decision_id, "malformed", None, None,
                           f"malformed line: decide refuses its inputs: {e}")
        else:
            self._find(ev, decision_id, "malformed", None, None,
                       "malformed line: no candidates")
        if not in_range:
            self._find(ev, decision_id, "chosen", chosen, f"below {n}",
                       f"chosen index {chosen} is not below the {n} candidates")
        if encoded is not None:
            if encoded.candidate_hash != rec["candidate_hash"]:
                # the inputs do not belong to this record; their features cannot be judged
                self._find(ev, decision_id, "candidate_hash", rec["candidate_hash"],
                           encoded.candidate_hash,
                           f"candidate_hash {rec['candidate_hash']} is not the hash of the "
                           f"line's candidates ({encoded.candidate_hash})")
            elif in_range and not same_features(encoded.features, rec["features"]):
                other = self._which_candidate(bits, context, candidates, rec["features"], chosen)
                if other is not None:
                    self._find(ev, decision_id, "chosen", chosen, other,
                               f"the features are those of candidate {other}, not of the "
                               f"chosen {chosen}")
                else:
                    self._find(ev, decision_id, "features", rec["features"],
                               [list(p) for p in encoded.features],
                               f"features are not candidate {chosen}'s encoding")

    def _which_candidate(self, bits, context, candidates, features, chosen) -> Optional[int]:
        for j in range(len(candidates)):
            if j != chosen and same_features(
                    self.scratch.record(bits, context, candidates, j).features, features):
                return j
        return None

    def _check_id(self, ev, stream, decision_id, salt, count) -> None:
        held = stream.held
        if held is not None and count is not None:
            stream.held = None
            del self.holding[stream]
            hev, hid, hcount, hexpected = held
            if count == hexpected + 1:
                # the next line continues from before the jump: the held line's
                # counter was wrong, no decision lines are missing
                self._find(hev, hid, "decision_id", hid, f"{hev.data['record']['salt']}:{hexpected}",
                           f"decision id {hid!r} does not continue the counter "
                           f"(expected counter {hexpected})")
                self._expect(stream, count)
            else:
                self._gap(hev, hid, hcount, hexpected)
        expected = stream.expected_count
        if count is None or not decision_id.startswith(salt + ":") \
                or len(decision_id) != len(salt) + 1 + len(str(count)):
            want = f"{salt}:{expected}" if expected is not None else f"{salt}:<counter>"
            self._find(ev, decision_id, "decision_id", decision_id, want,
                       f"decision id {decision_id!r} is not the salt {salt!r}, ':' and a counter")
            if expected is not None:
                self._expect(stream, expected + 1)
            return
        if expected is None or count == expected:
            self._expect(stream, count + 1)
        elif count > expected:
            stream.held = (ev, decision_id, count, expected)
            self.holding[stream] = None
            self._expect(stream, count + 1)
        else:
            self._find(ev, decision_id, "decision_id", decision_id, f"{salt}:{expected}",
                       f"decision counter {count} repeats or goes back (expected {expected})")
            self._expect(stream, expected + 1)

    def _gap(self, ev, decision_id, count, expected) -> None:
        missing = count - expected
        self._find(ev, decision_id, "missing_decisions", count, expected,
                   f"missing decision lines: counter jumps from {expected - 1} to {count} "
                   f"({missing} decision{'s' if missing != 1 else ''} not in the log)")

    def _check_version(self, ev, stream, decision_id, version) -> None:
        last, stream.last_version = stream.last_version, version
        seen = stream.seen_resolutions
        if stream.version_base is None:
            stream.version_base = version - seen
            return
        expected = stream.version_base + seen
        if version == expected:
            stream.version_suspect = None
            return
        new_base = version - seen
        if stream.version_suspect is not None and new_base == stream.version_suspect:
            # two lines in a row agree: the log itself lacks or adds resolutions
            stream.version_base = new_base
            stream.version_suspect = None
            return
        stream.version_suspect = new_base
        why = "goes back" if last is not None and version < last \
            else "does not count the resolutions"
        self._find(ev, decision_id, "model_version", version, expected,
                   f"model_version {version} {why} (expected {expected}: "
                   f"{seen} resolutions in the log so far)")

    def _compare_replay(self, ev, data, decision_id, record, differences) -> None:
        rec = data["record"]
        checks = {d[0] for d in differences}
        if "decision_id" in checks:
            # one bad id is the line's own fault (the self-checks report it);
            # two in a row mean the replayed counter left the log's
            if self.id_behind:
                self._diverge(ev, decision_id, decision_id, record.decision_id,
                              "the replayed decision counter no longer matches the log's")
                return
            self.id_behind = True
        else:
            self.id_behind = False
        for check, logged, expected in differences:
            if check == "decision_id":
                continue
            if check == "features" and "candidate_hash" in checks:
                continue  # the line's inputs are not its record's; reported once
            if check == "chosen":
                if same_features(record.features, rec["features"]):
                    self._find(ev, decision_id, "chosen", logged, expected,
                               f"chosen {logged} but the replay chose {expected} "
                               "with these very features")
                    continue
                self._diverge(ev, decision_id, logged, expected,
                              f"the replay drew candidate {expected}, the log {logged}")
                return
            if check == "features" and record.chosen != rec["chosen"]:
                continue  # reported with chosen
            self._find(ev, decision_id, check, logged, expected,
                       f"{check}: logged {logged!r}, the replay gives {expected!r}")

    def _diverge(self, ev, decision_id, logged, expected, why) -> None:
        self.diverged = True
        self.state = None
        self._find(ev, decision_id, "replay_diverged", logged, expected,
                   f"{why}; from here the replayed state no longer follows the log, "
                   "only the self-consistency checks continue")

    def _resolution(self, ev: Event) -> None:
        data = ev.data
        decision_id = data["decision_id"]
        entry = self.pending.pop(decision_id, None)
        known = entry is not None
        if known:
            count, stream = entry
            if count is not None:
                stream.resolved.mark(count)
        else:
            stream = self._stream_of_id(decision_id)
        counted = stream if stream is not None else self.current
        if counted is not None:
            counted.seen_resolutions += 1
        if not known:
            count = decision_count_of(decision_id)
            if stream is not None and stream.resolved.seen(count):
                self._find(ev, decision_id, "second_resolution", decision_id, None,
                           f"{decision_id!r} was already resolved earlier in the log")
            else:
                self._find(ev, decision_id, "unknown_decision", decision_id, None,
                           f"{decision_id!r} is not an earlier decision of the log"
                           + (" or of the start state" if self.start else ""))
        if self.state is not None and not self.diverged:
            resolution, problem = resolve(self.state, data, self.default_reward)
            if problem is not None:
                self._find(ev, decision_id, *problem)
            elif resolution is None and known:
                self._diverge(ev, decision_id, decision_id, None,
                              f"{decision_id!r} is not pending in the replayed state")

    def finish(self) -> None:
        for stream in list(self.holding):
            hev, hid, hcount, hexpected = stream.held
            stream.held = None
            self._gap(hev, hid, hcount, hexpected)
        self.holding.clear()

    def report(self) -> dict:
        return {"ok": self.ok, "lines": self.lines, "decisions": self.decisions,
                "resolutions": self.resolutions, "skipped": self.skipped,
                "warnings": self.warnings,
                "findings": [f.as_json() for f in sorted(
                    self.findings, key=lambda f: (self._file_order(f.file), f.line))]}

    def _file_order(self, name: str) -> int:
        order = getattr(self, "file_order", None)
        return order.get(name, 0) if order else 0
