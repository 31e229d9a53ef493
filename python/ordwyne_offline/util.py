"""Small shared pieces: exact float comparison, atomic file output, progress."""

from __future__ import annotations

import math
import os
import sys
import tempfile
import time
from typing import Optional

__all__ = ["same_float", "same_features", "json_value", "write_atomic", "Progress"]

_copysign = math.copysign


def same_float(a: float, b: float) -> bool:
    """Bit-for-bit as far as a log line can tell: NaN equals NaN (JSON keeps
    no payload) and 0.0 differs from -0.0."""
    if a == b:
        return a != 0.0 or _copysign(1.0, a) == _copysign(1.0, b)
    return a != a and b != b


def same_features(replayed, logged) -> bool:
    """A record's features (list of (int, float) tuples) against a line's
    (list of [int, float] lists), exactly."""
    if len(replayed) != len(logged):
        return False
    try:  # tuple equality settles the common case; NaN (never equal) takes the long way
        if replayed == list(map(tuple, logged)):
            return True
    except TypeError:
        return False
    for (i, v), (j, w) in zip(replayed, logged):
        if i != j or not (v == w or (v != v and w != w)):
            return False
        if v == 0.0 and _copysign(1.0, v) != _copysign(1.0, w):
            return False
    return True


def json_value(v):
    """A value for a JSON report: non-finite floats become their JSON words
    as strings so the report stays standard JSON."""
    if isinstance(v, float) and not math.isfinite(v):
        return "NaN" if v != v else ("Infinity" if v > 0 else "-Infinity")
    if isinstance(v, (list, tuple)):
        return [json_value(x) for x in v]
    if isinstance(v, dict):
        return {k: json_value(x) for k, x in v.items()}
    return v


def write_atomic(path: str, text: str) -> None:
    """Replace `path` with `text` so that a crash leaves either the old file
    or the complete new one: a temporary file in the same directory, flushed
    and fsynced, renamed over the target, then the directory fsynced."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".tmp",
                               dir=directory)
    try:
        with os.fdopen(fd, "w", encoding="ascii", newline="\n") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    try:
        dfd = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(dfd)
    except OSError:
        pass  # some file systems refuse fsync on directories
    finally:
        os.close(dfd)


class Progress:
    """Lines read and lines per second on standard error, redrawn in place
    at most a few times a second; silent unless stderr is a terminal."""

    def __init__(self, label: str, enabled: Optional[bool] = None, stream=None) -> None:
        self.stream = stream or sys.stderr
        if enabled is None:
            enabled = hasattr(self.stream, "isatty") and self.stream.isatty()
        self.enabled = enabled
        self.label = label
        self.start = time.monotonic()
        self.last = 0.0
        self.lines = 0
        self.shown = False

    def __call__(self, lines: int) -> None:
        self.lines = lines
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self.last < 0.2:
            return
        self.last = now
        rate = lines / max(now - self.start, 1e-9)
        text = f"{self.label}: {lines:,} lines, {rate:,.0f} lines/s"
        self.stream.write("\r" + text[:79].ljust(79))
        self.stream.flush()
        self.shown = True

    def done(self) -> None:
        if self.shown:
            self.stream.write("\r" + " " * 79 + "\r")
            self.stream.flush()
            self.shown = False
