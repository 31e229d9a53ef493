"""The order in which the learner takes the sources' lines.

Each source keeps its own order. A line's time is its `t` (a decision's
record t, an outcome's or a watermark's t); a resolution line takes its
source's current time, the running maximum of the times before it. The
merged order is by (time, source name, path, line number): a pure function
of the sources' contents, whatever order they are named in.

A following learner takes a line once no live source can still write one
that sorts before it: every source that has nothing buffered is past the
line's key, has written its final watermark, or has been silent for longer
than the stale limit.
"""

from __future__ import annotations

import heapq
import math
import os
import time as _time
from collections import deque
from typing import Iterable, Iterator, List, Optional, Tuple

from .lines import line_time

__all__ = ["source_name", "keyed", "merged", "Buffered", "Follower"]

INF = math.inf
_SUFFIXES = (".gz", ".zst", ".jsonl", ".log")


def source_name(path: str) -> str:
    """A file's source name: its base name without the log suffixes."""
    name = os.path.basename(path.rstrip("/"))
    for suffix in _SUFFIXES:
        if name.endswith(suffix) and len(name) > len(suffix):
            name = name[:-len(suffix)]
    return name


def keyed(items: Iterable[Tuple[str, dict, int]], name: str, path: str,
          T: float = -INF) -> Iterator[tuple]:
    """(key, kind, data) for a source's (kind, data, line number) items."""
    for kind, data, line in items:
        t = line_time(kind, data)
        if t is not None and t > T:
            T = t
        yield (T, name, path, line), kind, data


def merged(sources: List[Iterator[tuple]]) -> Iterator[tuple]:
    """The keyed items of every source in merge order."""
    if len(sources) == 1:
        return sources[0]
    return heapq.merge(*sources, key=lambda item: item[0])


class Buffered:
    """A followed source: lines read but not yet taken, and how far taking
    has come (what a checkpoint records)."""

    def __init__(self, name: str, path: str, pos=0, line: int = 0, T: float = -INF,
                 final: bool = False) -> None:
        self.name = name
        self.path = path
        self.items: deque = deque()  # (key, kind, data, end position, raw line)
        # how far reading has come
        self.pos = pos
        self.line = line
        self.T = T
        self.final = final  # its final watermark has been read
        # how far taking has come
        self.done_pos = pos
        self.done_line = line
        self.done_T = T
        self.done_final = final
        self.active = _time.monotonic()

    def add(self, kind: str, data: dict, end, raw: Optional[bytes] = None) -> None:
        self.line += 1
        t = line_time(kind, data)
        if t is not None and t > self.T:
            self.T = t
        if kind == "watermark" and data.get("final") is True:
            self.final = True
        self.items.append(((self.T, self.name, self.path, self.line), kind, data, end, raw))
        self.pos = end

    def frontier(self) -> tuple:
        """No line this source has yet to write sorts before this."""
        return (self.T, self.name, self.path, self.line + 1)

    def taken(self, item) -> None:
        key, kind, data, end, _ = item
        self.done_pos = end
        self.done_line = key[3]
        self.done_T = key[0]
        if kind == "watermark" and data.get("final") is True:
            self.done_final = True

    def position(self) -> dict:
        return {"name": self.name, "path": self.path, "pos": self.done_pos,
                "line": self.done_line, "T": self.done_T, "final": self.done_final}


class Follower:
    """Merge order over sources that are still being written."""

    def __init__(self, stale: float) -> None:
        self.sources: List[Buffered] = []
        self.stale = stale
        self.last_key: Optional[tuple] = None
        self.late = 0  # lines taken after a later one (a source that came or woke late)

    def add(self, source: Buffered) -> None:
        self.sources.append(source)

    def _live(self, s: Buffered, now: float) -> bool:
        return not s.final and now - s.active <= self.stale

    def take(self) -> Iterator[tuple]:
        """Every line that can be taken now, in merge order."""
        now = _time.monotonic()
        sources = self.sources
        heap = [(s.items[0][0], i) for i, s in enumerate(sources) if s.items]
        heapq.heapify(heap)
        barrier = min((s.frontier() for s in sources if not s.items and self._live(s, now)),
                      default=None)
        while heap:
            key, i = heap[0]
            if barrier is not None and key >= barrier:
                break
            s = sources[i]
            item = s.items.popleft()
            if self.last_key is not None and key < self.last_key:
                self.late += 1
            else:
                self.last_key = key
            s.taken(item)
            if s.items:
                heapq.heapreplace(heap, (s.items[0][0], i))
            else:
                heapq.heappop(heap)
                if self._live(s, now):
                    f = s.frontier()
                    barrier = f if barrier is None or f < barrier else barrier
            yield item

    def settled(self) -> bool:
        """Nothing buffered and every source finished or silent."""
        now = _time.monotonic()
        return all(not s.items and not self._live(s, now) for s in self.sources)
