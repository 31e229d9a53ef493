"""Small shared pieces: exact float comparison, atomic file output and the
checks before it, termination as an exception, progress."""

from __future__ import annotations

import contextlib
import math
import os
import secrets
import signal
import stat
import sys
import threading
import time
from typing import Iterable, Optional

__all__ = ["same_float", "same_features", "json_value", "write_atomic", "output_problem",
           "Terminated", "termination_raises", "Progress"]

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


_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"),
          (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
          (stat.S_ISSOCK, "a socket"))


def _not_regular(st: os.stat_result) -> Optional[str]:
    """Why an existing target must not be replaced: a rename would put a
    regular file in place of a device, a FIFO or a directory's name."""
    if stat.S_ISREG(st.st_mode):
        return None
    kind = next((k for test, k in _KINDS if test(st.st_mode)), "not a regular file")
    return f"it is {kind}, not a regular file; it is left alone"


def write_atomic(path: str, text: str) -> None:
    """Replace `path` with `text` so that a crash leaves either the old file
    or the complete new one: a temporary file in the same directory, flushed
    and fsynced, renamed over the target, then the directory fsynced.

    A file being replaced keeps its mode (and, where allowed, its owner); a
    new file gets the mode the umask gives. An existing target that is not a
    regular file is refused (OSError). The temporary file is removed on any
    exception, KeyboardInterrupt and `Terminated` included."""
    directory = os.path.dirname(os.path.abspath(path))
    try:
        old = os.stat(path)
    except FileNotFoundError:
        old = None
    if old is not None and _not_regular(old):
        raise OSError(_not_regular(old))
    base = os.path.join(directory, "." + os.path.basename(path) + ".")
    while True:
        tmp = base + secrets.token_hex(4) + ".tmp"
        try:  # 0o666 less the umask, as for any new file
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL
                         | getattr(os, "O_CLOEXEC", 0), 0o666)
            break
        except FileExistsError:
            continue
    try:
        if old is not None:
            try:
                os.fchown(fd, old.st_uid, old.st_gid)
            except (OSError, AttributeError):
                pass  # not ours to give away
            if hasattr(os, "fchmod"):
                os.fchmod(fd, stat.S_IMODE(old.st_mode))
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


def _identity(path: str):
    """(device, inode) of an input, or None when it has none to compare."""
    if "://" in path:
        return None
    try:
        st = os.fstat(sys.stdin.fileno()) if path == "-" else os.stat(path)
    except (OSError, ValueError, AttributeError):
        return None
    return st.st_dev, st.st_ino


def output_problem(outputs: Iterable[str], inputs: Iterable[str]) -> Optional[str]:
    """Why one of `outputs` must not be written, or None: it is one of the
    `inputs` (the same file by device and inode, so through any hard or
    symbolic link, standard input "-" included), it exists but is not a
    regular file, or its directory does not exist. Checked before any work,
    so a mistaken command line costs nothing."""
    ids = {}
    for p in inputs:
        key = _identity(p)
        if key is not None:
            ids.setdefault(key, p)
    for out in outputs:
        try:
            st = os.stat(out)
        except FileNotFoundError:
            if not os.path.isdir(os.path.dirname(os.path.abspath(out))):
                return f"cannot write {out}: its directory does not exist"
            continue
        except OSError as e:
            return f"cannot write {out}: {e.strerror or e}"
        if _not_regular(st):
            return f"cannot write {out}: {_not_regular(st)}"
        same = ids.get((st.st_dev, st.st_ino))
        if same is not None:
            source = "standard input" if same == "-" else same
            return f"{out} is also an input ({source}); writing it would destroy that input"
    return None


class Terminated(KeyboardInterrupt):
    """SIGTERM or SIGHUP, raised where the program is, so that the cleanup
    an interruption runs (a temporary file removed) runs for them too."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _terminate(signum, frame):
    raise Terminated(signum)


@contextlib.contextmanager
def termination_raises():
    """While inside, SIGTERM and SIGHUP raise Terminated instead of ending
    the process on the spot. Handlers someone else installed, and signals
    being ignored (nohup), are left as they are; so is a thread other than
    the main one, which cannot take signals."""
    installed = {}
    if threading.current_thread() is threading.main_thread():
        for name in ("SIGTERM", "SIGHUP"):
            signum = getattr(signal, name, None)
            if signum is not None and signal.getsignal(signum) is signal.SIG_DFL:
                installed[signum] = signal.signal(signum, _terminate)
    try:
        yield
    finally:
        for signum, previous in installed.items():
            signal.signal(signum, previous)


class Progress:
    """Lines read and lines per second on standard error, redrawn in place
    at most a few times a second; silent unless stderr is a terminal."""

    _shown: "set[Progress]" = set()  # lines on screen, for an error to clear first

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
        Progress._shown.add(self)

    def done(self) -> None:
        if self.shown:
            self.stream.write("\r" + " " * 79 + "\r")
            self.stream.flush()
            self.shown = False
        Progress._shown.discard(self)

    @classmethod
    def clear_all(cls) -> None:
        """Take every progress line off the screen (before an error message)."""
        for progress in list(cls._shown):
            progress.done()
