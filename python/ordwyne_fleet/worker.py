"""The serving side of a fleet: decide with the latest snapshot, log, never train.

A worker's state is a snapshot the learner published (or, before the first
one, a fresh state with the worker's settings) plus the decisions taken
since. It never learns: an outcome is only written down, for the learner.
Its pending decisions are dropped by loading the same model again, so
memory stays bounded and the model and its version stay the snapshot's.

Decision ids cannot collide: the salt names the process incarnation (host,
pid, start time), the snapshot generation and the reload within it, and a
worker made before `fork` takes a new incarnation in the child.
"""

from __future__ import annotations

import math
import os
import socket
import threading
import time as _time
import weakref
from typing import Callable, Optional

import ordwyne

from .lines import outcome_line, watermark_line
from .snapshots import Snapshots
from .transport import open_sink

__all__ = ["Worker"]

MAX_PENDING = 4096  # decisions between two reloads of the model
WATERMARK_EVERY = 1.0  # time between two watermarks of a busy worker

_workers: "weakref.WeakSet[Worker]" = weakref.WeakSet()


def _before_fork() -> None:
    for w in list(_workers):
        w._lock.acquire()
        try:
            w._sink.flush()
        except Exception:
            pass


def _after_fork_parent() -> None:
    for w in list(_workers):
        w._lock.release()


def _after_fork_child() -> None:
    for w in list(_workers):
        w._lock = threading.Lock()
        w._reincarnate()


os.register_at_fork(before=_before_fork, after_in_parent=_after_fork_parent,
                    after_in_child=_after_fork_child)

_host = socket.gethostname().replace(".", "-").replace(":", "-") or "host"


def _settle(t) -> float:
    if type(t) is bool or not isinstance(t, (int, float)):
        raise TypeError(f"t must be a number, not {type(t).__name__}")
    return float(t)


class Worker:
    """Decides with the fleet's latest model and logs every decision and
    outcome to the fleet's events (a directory, or a redis:// URL)."""

    def __init__(self, events: str, snapshots: str, *, name: str = "worker",
                 bits: Optional[int] = None, horizon: Optional[float] = None,
                 default_reward: float = 0.0, epsilon: float = 0.05,
                 forgetfulness: float = 0.999, clock: Optional[Callable[[], float]] = None,
                 max_pending: int = MAX_PENDING,
                 watermark_every: float = WATERMARK_EVERY) -> None:
        if type(name) is not str or not name or any(c in name for c in "/\\:\n"):
            raise ValueError("name must be a non-empty string without '/', '\\\\' or ':'")
        if type(max_pending) is not int or max_pending < 1:
            raise ValueError("max_pending must be a positive integer")
        self.events = events
        self.name = name
        self.clock = clock
        self.max_pending = max_pending
        self.watermark_every = float(watermark_every)
        self._lock = threading.Lock()
        self._snapshots = Snapshots(snapshots)
        self._marker = self._snapshots.marker()
        latest = self._snapshots.latest()
        if latest is not None:
            self.generation, self._text = latest
            self._fresh = None
            self._state = ordwyne.deserialize(self._text)
        else:
            if bits is None or horizon is None:
                raise ValueError("no snapshot yet: bits and horizon are needed for the "
                                 "first state")
            self.generation, self._text = 0, None
            self._fresh = (bits, horizon, default_reward, epsilon, forgetfulness)
            self._state = ordwyne.create(*self._fresh)
        self._closed = False
        self._reincarnate()
        _workers.add(self)

    def _announce(self) -> None:
        """With a clock, a new incarnation names its source at once, so the
        learner waits for it from the start."""
        if self.clock is not None:
            self._moved(_settle(self.clock()), force=True)

    # -- identity ------------------------------------------------------------
    def _reincarnate(self) -> None:
        """A new process incarnation: its own source and salt."""
        old = getattr(self, "_sink", None)
        if old is not None:
            old.forget()
        # the start in hex: a run of 19 decimal digits in a line would send the
        # log reader from orjson to the slower json for every line of the source
        self.source = f"{self.name}.{_host}.{os.getpid()}.{_time.time_ns():x}"
        self._sink = open_sink(self.events, self.source)
        self._reloads = 0
        self._pending = 0
        self._now = -math.inf
        self._marked = -math.inf
        self._salt()
        self._announce()

    def _salt(self) -> None:
        self.salt = f"{self.source}.g{self.generation}.{self._reloads}"

    def _reload(self) -> None:
        """The same model again, without the pending decisions."""
        if self._text is not None:
            self._state = ordwyne.deserialize(self._text)
        else:
            self._state = ordwyne.create(*self._fresh)
        self._reloads += 1
        self._pending = 0
        self._salt()

    # -- the request path ----------------------------------------------------
    def decide(self, context, candidates, t, score=None, explore=None):
        """`ordwyne.decide` with the current model; its line is logged."""
        with self._lock:
            self._open()
            if self._pending >= self.max_pending:
                self._reload()
            record = ordwyne.decide(self._state, context, candidates, t, self.salt,
                                    score, explore)
            self._pending += 1
            self._sink.write(ordwyne.log_line(record))
            self._moved(record.t)
            return record

    def outcome(self, decision_id: str, reward, t) -> None:
        """Reports a decision's outcome, whichever worker made it; `t` is
        the time of the report (the outcome counts at this worker's
        current time, never before its own t)."""
        line = outcome_line(decision_id, reward, t)
        with self._lock:
            self._open()
            self._sink.write(line)
            self._moved(float(t))

    def watermark(self, t) -> None:
        """Tells the learner this worker has nothing older than t to come
        (an idle worker's way of letting time move on)."""
        t = _settle(t)
        with self._lock:
            self._open()
            self._moved(t, force=True)

    def refresh(self) -> bool:
        """Loads a newer snapshot if there is one; True when it did."""
        marker = self._snapshots.marker()
        loaded = False
        if marker is not None and marker != self._marker:
            latest = self._snapshots.latest()
            if latest is not None and latest[0] > self.generation:
                try:
                    state = ordwyne.deserialize(latest[1])
                except ValueError:
                    state = None  # a damaged snapshot: keep the model we have
                if state is not None:
                    with self._lock:
                        self.generation, self._text = latest
                        self._state = state
                        self._fresh = None
                        self._reloads = 0
                        self._pending = 0
                        self._salt()
                    loaded = True
            if latest is not None:
                self._marker = marker
        with self._lock:
            if not self._closed:
                if self.clock is not None:
                    self._moved(_settle(self.clock()), force=True)
                self._sink.flush()
        return loaded

    def close(self) -> None:
        """The final watermark, then the events are flushed and closed."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            now = self._now
            if self.clock is not None:
                now = max(now, _settle(self.clock()))
            if now > -math.inf:
                self._sink.write(watermark_line(now, final=True))
            self._sink.close()
        _workers.discard(self)

    def __enter__(self) -> "Worker":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    # -- inside the lock -----------------------------------------------------
    def _open(self) -> None:
        if self._closed:
            raise ValueError("the worker is closed")

    def _moved(self, t: float, force: bool = False) -> None:
        if t > self._now:
            self._now = t
        if self._now - self._marked >= self.watermark_every or (force and self._now > self._marked):
            self._marked = self._now
            self._sink.write(watermark_line(self._now))

    @property
    def model_state(self):
        """The state the worker decides with (read-only use: it is replaced
        on refresh)."""
        return self._state
