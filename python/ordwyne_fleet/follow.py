"""`ordwyne train --follow`: the fleet's continuous learner.

It tails a fleet's events (a directory or a redis:// URL), trains as lines
can be taken in merge order, and every few seconds writes its checkpoint
atomically, then publishes a snapshot for the workers, then trims what the
checkpoint covers (Redis). The checkpoint holds the state, each source's
position (the first line not yet taken) and time, the outcomes waiting for
their decisions and the counters, so a learner killed at any moment and
started again with it takes the same lines in the same order: it ends bit
for bit where an uninterrupted run ends.

Time moves by the events alone, never by the learner's clock; its own clock
only decides when a silent source stops holding the others back.
"""

from __future__ import annotations

import json
import os
import signal
import time as _time
from typing import Dict, Optional

from ordwyne_offline.util import write_atomic

from .learner import Learner
from .merge import Buffered, Follower
from .snapshots import Snapshots, without_pending
from .train import TrainError, _Say, _finish, _start
from .transport import open_fleet, redact

__all__ = ["run_follow", "CHECKPOINT_FORMAT"]

CHECKPOINT_FORMAT = "ordwyne learner checkpoint 1"
IDLE_SLEEP = 0.02  # seconds to wait when a round read nothing
RETRY_SLEEP = 0.5  # seconds between two tries while the events are unreachable


class _Archive:
    """Every taken line, per source, cut back to the checkpoint's lengths
    after a restart so that no line is kept twice."""

    def __init__(self, directory: str, lengths: Dict[str, int]) -> None:
        os.makedirs(directory, exist_ok=True)
        self.directory = directory
        self.lengths = dict(lengths)
        self.files: Dict[str, object] = {}
        for name, length in self.lengths.items():
            path = self._path(name)
            if os.path.exists(path):
                os.truncate(path, length)

    def _path(self, name: str) -> str:
        return os.path.join(self.directory, name + ".jsonl")

    def write(self, name: str, raw: bytes) -> None:
        f = self.files.get(name)
        if f is None:
            f = self.files[name] = open(self._path(name), "ab")
            if name not in self.lengths:  # what a run before the checkpoint wrote goes
                f.truncate(0)
                self.lengths[name] = 0
        f.write(raw)
        self.lengths[name] += len(raw)

    def sync(self) -> Dict[str, int]:
        for f in self.files.values():
            f.flush()
            os.fsync(f.fileno())
        return dict(self.lengths)

    def close(self) -> None:
        for f in self.files.values():
            f.close()


def _read_checkpoint(path: str) -> Optional[dict]:
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        return None
    except (OSError, UnicodeDecodeError) as e:
        raise TrainError(f"cannot read checkpoint {path}: {getattr(e, 'strerror', None) or e}"
                         ) from None
    try:
        d = json.loads(text)
        if type(d) is not dict or d.get("format") != CHECKPOINT_FORMAT:
            raise ValueError("not a learner checkpoint")
        return d
    except (ValueError, RecursionError) as e:
        raise TrainError(f"bad checkpoint {path}: {e}") from None


class _Run:
    def __init__(self, args) -> None:
        if len(args.sources) != 1:
            raise TrainError("--follow takes one source: a fleet's event directory or a "
                             "redis:// URL")
        if not args.checkpoint or not args.publish:
            raise TrainError("--follow needs --checkpoint FILE and --publish DIR|URL")
        self.args = args
        self.where = args.sources[0]
        self.say = _Say(args.quiet)
        self.bad_lines = 0
        self.stop = False
        saved = _read_checkpoint(args.checkpoint)
        self.follower = Follower(args.stale)
        # every source seen, by path; a finished one (all taken, checkpointed)
        # is None: it is never read again
        self.known: Dict[str, Optional[Buffered]] = {}
        if saved is None:  # a first run: the start flags make the state
            self.learner = Learner(_start(args), warn=self.say)
            self.generation = 0
            archived: Dict[str, int] = {}
            self.published: Optional[int] = None
        else:  # the checkpoint holds the state; start flags only served the first run
            try:
                self.learner = Learner.restored(saved["learner"], warn=self.say)
                for p in saved["sources"]:
                    self._add(Buffered(p["name"], p["path"], p["pos"], p["line"], p["T"],
                                       p["final"]))
                self.known.update(dict.fromkeys(saved["finished"]))
                self.generation = int(saved["generation"])
                archived = dict(saved["archive"])
                self.bad_lines = int(saved["bad_lines"])
                self.follower.late = int(saved["late"])
            except (ValueError, KeyError, TypeError) as e:
                raise TrainError(f"bad checkpoint {args.checkpoint}: {e}") from None
            self.published = -1  # publish again: the last run may have died before it
        try:
            self.fleet = open_fleet(self.where, self._bad)
            self.snapshots = Snapshots(args.publish)
        except OSError as e:
            raise TrainError(str(e)) from None
        self.archive = _Archive(args.archive, archived) if args.archive else None

    def _add(self, source: Buffered) -> None:
        self.follower.add(source)
        self.known[source.path] = source

    def _bad(self, source: Buffered, reason: str) -> None:
        self.bad_lines += 1
        self.say(f"{source.name}:{source.line}: {reason}; line skipped")

    def _signalled(self, signum, frame) -> None:
        self.stop = True

    # -- one round: look, read, take -----------------------------------------
    def _read(self, now: float) -> int:
        fleet = self.fleet
        if now - self.last_discover >= fleet.discover_every:
            for source in fleet.discover(self.known):
                self._add(source)
            self.last_discover = now
        keep = self.archive is not None
        return sum(fleet.poll(s, keep_raw=keep) for s in self.follower.sources)

    def _take(self) -> None:
        feed = self.learner.feed
        archive = self.archive
        for key, kind, data, _, raw in self.follower.take():
            if archive is not None:
                archive.write(key[1], raw)
            if kind != "bad":
                feed(kind, data, key[0])

    def _finish_sources(self) -> list:
        """Sources taken up to their final watermark leave the round (a fleet
        that restarts its workers makes a source per incarnation); returns
        them. Their paths stay known, so they are never read again, until
        the source itself is gone (a deleted file, a dropped stream)."""
        done = [s for s in self.follower.sources if s.done_final and not s.items]
        for s in done:
            self.known[s.path] = None
        if done:
            self.follower.sources = [s for s in self.follower.sources if s not in done]
        for p in [p for p, s in self.known.items() if s is None and not self.fleet.exists(p)]:
            del self.known[p]
        return done

    def checkpoint(self) -> None:
        """Checkpoint, then snapshot, then trim: each step covered by the one
        before, so a crash between two of them loses nothing."""
        lines = self.learner.counts["lines"]
        if self.published == lines:
            return
        self.generation += 1
        done = self._finish_sources()
        d = {"format": CHECKPOINT_FORMAT, "learner": self.learner.persisted(),
             "sources": [s.position() for s in self.follower.sources],
             "generation": self.generation, "late": self.follower.late,
             "bad_lines": self.bad_lines, "finished": sorted(p for p, s in self.known.items() if s is None),
             "archive": self.archive.sync() if self.archive is not None else {}}
        try:
            write_atomic(self.args.checkpoint, json.dumps(d, separators=(",", ":")))
        except OSError as e:
            raise TrainError(f"cannot write the checkpoint {self.args.checkpoint}: "
                             f"{e.strerror or e}") from None
        try:
            self.snapshots.publish(self.generation, without_pending(self.learner.state))
        except OSError as e:
            raise TrainError(f"cannot publish to {self.args.publish}: {e.strerror or e}"
                             ) from None
        self.published = lines
        try:
            self.fleet.commit(self.follower.sources + done)
        except self.fleet.transient:
            pass  # trimmed at the next checkpoint: what is taken only grows

    def loop(self) -> None:
        args = self.args
        transient = self.fleet.transient
        self.last_discover = -1.0
        last_checkpoint = last_news = _time.monotonic()
        outage = reached = False
        while not self.stop:
            now = _time.monotonic()
            try:
                read = self._read(now)
            except transient as e:
                if not reached:  # never reached at all: a wrong address, not an outage
                    raise TrainError(f"the fleet's events at {redact(self.where)} cannot be "
                                     f"reached: {e}") from None
                if not outage:
                    self.say(f"the fleet's events are unreachable ({type(e).__name__}); "
                             "trying again")
                outage = True
                _time.sleep(RETRY_SLEEP)
                continue
            reached = True
            if outage:
                self.say("the fleet's events are reachable again")
                outage = False
            self._take()
            now = _time.monotonic()
            if read:
                last_news = now
            if now - last_checkpoint >= args.every:
                self.checkpoint()
                last_checkpoint = now
            if args.until_idle and now - last_news >= args.until_idle \
                    and self.follower.settled():
                break
            if not read:
                _time.sleep(IDLE_SLEEP)

    def run(self) -> int:
        old = signal.signal(signal.SIGTERM, self._signalled)
        errors = (OSError,) + ((self.fleet.errors,) if hasattr(self.fleet, "errors") else ())
        try:
            self.loop()
        except KeyboardInterrupt:
            pass
        except errors as e:
            raise TrainError(f"the fleet's events at {redact(self.where)} cannot be read: "
                             f"{e}") from None
        finally:
            signal.signal(signal.SIGTERM, old)
        self.checkpoint()
        self.fleet.close()
        if self.archive is not None:
            self.archive.close()
        return _finish(self.args, self.learner, len(self.known),
                       {"generation": self.generation, "late_lines": self.follower.late,
                        "bad_lines": self.bad_lines})


def run_follow(args) -> int:
    return _Run(args).run()
