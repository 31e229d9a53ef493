"""Model snapshots: what the learner publishes and the workers load.

A snapshot is the learner's state with no pending decisions (the workers
only decide; the learner's ledger is no use to them), written as
`snapshot-<generation>.hex`, then named in `LATEST`; both writes are
atomic, so a worker reads either the old snapshot or the new one. The
generation rises by one with each publication. A directory or any fsspec
URL serves.
"""

from __future__ import annotations

import os
import re
from typing import Optional, Tuple

import ordwyne

from ordwyne_offline.statefile import parse_state
from ordwyne_offline.util import write_atomic

__all__ = ["Snapshots", "without_pending", "KEEP"]

KEEP = 3  # snapshots kept; a worker that is reading an older one finishes first
LATEST = "LATEST"
_NAME = re.compile(r"snapshot-(\d{10})\.hex")


def _no_train(record, reward):
    return None


def without_pending(state) -> str:
    """The state's text with its pending decisions dropped, model untouched
    (a hook that does nothing takes their training; the model version
    counts them, as every resolution is counted)."""
    copy = ordwyne.deserialize(ordwyne.serialize(state))
    ordwyne.expire(copy, float("inf"), _no_train)
    text = ordwyne.serialize(copy)
    left = parse_state(text).records  # a NaN time is never due
    if left:
        for r in left:
            ordwyne.learn(copy, r.decision_id, 0.0, float("nan"), _no_train)
        text = ordwyne.serialize(copy)
    return text


class Snapshots:
    def __init__(self, where: str) -> None:
        self.where = where
        self.fs = None
        if "://" in where:
            try:
                import fsspec
            except ImportError:
                raise OSError(f"{where}: snapshots at a URL need the fsspec package "
                              "(pip install 'ordwyne[fleet]')") from None
            self.fs, self.root = fsspec.core.url_to_fs(where)
        else:
            self.root = where

    def _path(self, name: str) -> str:
        return f"{self.root.rstrip('/')}/{name}" if self.fs is not None \
            else os.path.join(self.root, name)

    # -- the learner's side ----------------------------------------------
    def publish(self, generation: int, text: str) -> None:
        name = f"snapshot-{generation:010d}.hex"
        if self.fs is None:
            os.makedirs(self.root, exist_ok=True)
            write_atomic(self._path(name), text)
            write_atomic(self._path(LATEST), name + "\n")
        else:
            self.fs.makedirs(self.root, exist_ok=True)
            for target, body in ((name, text), (LATEST, name + "\n")):
                tmp = self._path(f".{target}.tmp")
                self.fs.pipe_file(tmp, body.encode("ascii"))
                self.fs.mv(tmp, self._path(target))
        self._prune(generation)

    def _prune(self, generation: int) -> None:
        try:
            names = self.fs.ls(self.root, detail=False) if self.fs is not None \
                else os.listdir(self.root)
        except OSError:
            return
        for n in names:
            m = _NAME.fullmatch(n.rsplit("/", 1)[-1])
            if m and int(m.group(1)) <= generation - KEEP:
                try:
                    if self.fs is not None:
                        self.fs.rm(n)
                    else:
                        os.unlink(self._path(n))
                except OSError:
                    pass

    # -- the workers' side -----------------------------------------------
    def marker(self) -> Optional[tuple]:
        """Something that changes whenever LATEST does (one stat)."""
        try:
            if self.fs is None:
                st = os.stat(self._path(LATEST))
                return (st.st_ino, st.st_mtime_ns, st.st_size)
            return (self.fs.cat_file(self._path(LATEST)),)
        except (OSError, FileNotFoundError):
            return None

    def latest(self) -> Optional[Tuple[int, str]]:
        """(generation, state text) of the newest snapshot, or None."""
        try:
            if self.fs is None:
                with open(self._path(LATEST), encoding="ascii") as f:
                    name = f.read().strip()
            else:
                name = self.fs.cat_file(self._path(LATEST)).decode("ascii").strip()
            m = _NAME.fullmatch(name)
            if m is None:
                return None
            if self.fs is None:  # bytes and one decode: twice as fast as text mode
                with open(self._path(name), "rb") as f:
                    text = f.read().decode("ascii")
            else:
                text = self.fs.cat_file(self._path(name)).decode("ascii")
        except (OSError, UnicodeDecodeError, FileNotFoundError):
            return None
        return int(m.group(1)), text.strip()
