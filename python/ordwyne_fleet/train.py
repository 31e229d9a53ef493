"""`ordwyne train`: one state that has learned every logged outcome.

Batch: `ordwyne train SOURCE... (--state FILE | --bits B --horizon H ...)
--out FILE` reads the sources once, in merge order, and writes the
learner's final state.

Follow: `... --follow --checkpoint FILE --publish DIR|URL [--every S]`
tails a fleet's events (a directory or a redis:// URL), trains as lines
arrive, and every S seconds writes its checkpoint atomically, then
publishes a snapshot for the workers. Killed at any moment and started
again with the same checkpoint, it goes on where the checkpoint left off.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import time as _time
from typing import Dict, List, Optional

import ordwyne

from ordwyne_offline.logs import LogError, iter_events
from ordwyne_offline.start import StartError, add_start_arguments, has_start, start_from_args
from ordwyne_offline.util import Progress, write_atomic

from .learner import Learner
from .merge import Buffered, Follower, keyed, merged, source_name
from .snapshots import Snapshots, without_pending
from .transport import fleet_files, is_redis, open_fleet, redact

__all__ = ["add_arguments", "run"]

PROG = "ordwyne train"
CHECKPOINT_FORMAT = "ordwyne learner checkpoint 1"
IDLE_SLEEP = 0.02
RETRY_SLEEP = 0.5  # seconds between two tries while the events are unreachable


class TrainError(Exception):
    """A usage or input error: one line, exit status 2."""


def _positive(text: str) -> float:
    try:
        v = float(text)
    except ValueError:
        v = None
    if v is None or not v > 0 or v == float("inf"):
        raise argparse.ArgumentTypeError(f"'{text}' is not a positive number of seconds")
    return v


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("sources", nargs="+", metavar="SOURCE",
                        help="experience logs or a fleet's event directories (batch); "
                             "with --follow, an event directory or a redis:// URL")
    add_start_arguments(parser)
    parser.add_argument("--out", metavar="FILE",
                        help="where to write the final state (required in batch mode)")
    parser.add_argument("--report", metavar="FILE", help="write the counts as JSON")
    parser.add_argument("--quiet", "-q", action="store_true",
                        help="no progress display and no warnings")
    follow = parser.add_argument_group("continuous learning")
    follow.add_argument("--follow", action="store_true",
                        help="tail the sources, checkpoint and publish as they grow")
    follow.add_argument("--checkpoint", metavar="FILE",
                        help="the learner's checkpoint (read at start when it exists)")
    follow.add_argument("--publish", metavar="DIR|URL",
                        help="where snapshots for the workers go")
    follow.add_argument("--every", type=_positive, default=1.0, metavar="SECONDS",
                        help="seconds between two checkpoints and snapshots (default 1)")
    follow.add_argument("--stale", type=_positive, default=30.0, metavar="SECONDS",
                        help="a source silent this long stops holding the others back "
                             "(default 30)")
    follow.add_argument("--until-idle", type=_positive, metavar="SECONDS",
                        help="stop once every source has finished (or gone silent) and "
                             "nothing new came for this long")
    follow.add_argument("--archive", metavar="DIR",
                        help="also keep every line taken in DIR/<source>.jsonl (a Redis "
                             "fleet's events, for eval, verify and batch train)")


class _Say:
    def __init__(self, quiet: bool, progress: Optional[Progress] = None) -> None:
        self.quiet = quiet
        self.progress = progress
        self.shown = 0

    def __call__(self, message: str) -> None:
        if self.quiet:
            return
        self.shown += 1
        if self.shown > 20:
            if self.shown == 21:
                message = "(further warnings not shown)"
            else:
                return
        if self.progress is not None:
            self.progress.done()
        print(f"{PROG}: warning: {message}", file=sys.stderr)


def _summary(counts: dict, sources: int) -> List[str]:
    c = counts
    return [
        f"trained on {c['lines']:,} lines from {sources:,} source{'s' if sources != 1 else ''}",
        f"  {c['decisions']:,} decisions, {c['resolutions']:,} resolutions, "
        f"{c['outcomes']:,} outcomes ({c['rewarded']:,} rewarded, {c['late']:,} late, "
        f"{c['duplicate_outcomes']:,} duplicates, {c['orphaned_outcomes']:,} without "
        f"their decision, {c['waiting_outcomes']:,} waiting)",
        f"  {c['expired']:,} expired by time, {c['skipped']:,} skipped (already in the start "
        f"state), {c['pending']:,} pending at the end",
    ]


def _expand(sources: List[str]) -> List[str]:
    paths: List[str] = []
    for s in sources:
        if is_redis(s):
            raise TrainError(f"{redact(s)}: a Redis fleet is read with --follow "
                             "(keep its lines with --archive DIR to train on them in batch)")
        if os.path.isdir(s):
            found = fleet_files(s)
            if not found:
                raise TrainError(f"{s}: no .jsonl, .jsonl.gz or .jsonl.zst files in the "
                                 "directory")
            paths.extend(found)
        elif s == "-" or os.path.exists(s) or "://" in s:
            paths.append(s)
        else:
            raise TrainError(f"cannot read {s}: no such file or directory")
    return paths


def _events(path: str, progress):
    for ev in iter_events([path], incomplete="warn", lazy_features=True, progress=progress):
        yield ev.kind, ev.data, ev.line


def _write_out(args, learner: Learner) -> None:
    try:
        write_atomic(args.out, ordwyne.serialize(learner.state))
    except OSError as e:
        raise TrainError(f"cannot write {args.out}: {e.strerror or e}") from None


def _finish(args, learner: Learner, sources: int, extra: Optional[dict] = None) -> int:
    summary = learner.summary()
    if extra:
        summary.update(extra)
    if args.out:
        _write_out(args, learner)
    if args.report:
        try:
            write_atomic(args.report, json.dumps(summary, indent=1) + "\n")
        except OSError as e:
            raise TrainError(f"cannot write {args.report}: {e.strerror or e}") from None
    for line in _summary(summary, sources):
        print(line)
    if args.out:
        print(f"state written to {args.out}")
    return 0


def run_batch(args) -> int:
    if not args.out:
        raise TrainError("--out FILE is required (where the trained state goes)")
    for flag in ("checkpoint", "publish", "archive", "until_idle"):
        if getattr(args, flag):
            raise TrainError(f"--{flag.replace('_', '-')} goes with --follow")
    paths = _expand(args.sources)
    start = _start(args)
    progress = Progress("train", enabled=False if args.quiet else None)
    say = _Say(args.quiet, progress)
    learner = Learner(start, warn=say)
    streams = [keyed(_events(p, progress), source_name(p), p) for p in paths]
    feed = learner.feed
    try:
        for key, kind, data in merged(streams):
            feed(kind, data, key[0])
    except LogError as e:
        progress.done()
        raise TrainError(str(e)) from None
    except OSError as e:
        progress.done()
        raise TrainError(f"cannot read the log: {e}") from None
    progress.done()
    return _finish(args, learner, len(paths))


def _start(args):
    try:
        return start_from_args(args)
    except StartError as e:
        raise TrainError(str(e)) from None


# -- follow ------------------------------------------------------------------

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
            self.lengths.setdefault(name, f.tell())
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


class _Stop:
    def __init__(self) -> None:
        self.asked = False

    def __call__(self, signum, frame) -> None:
        self.asked = True


def _read_checkpoint(path: str) -> Optional[dict]:
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        return None
    except OSError as e:
        raise TrainError(f"cannot read checkpoint {path}: {e.strerror or e}") from None
    try:
        d = json.loads(text)
        if d.get("format") != CHECKPOINT_FORMAT:
            raise ValueError("not a learner checkpoint")
        return d
    except (ValueError, AttributeError, RecursionError) as e:
        raise TrainError(f"bad checkpoint {path}: {e}") from None


def run_follow(args) -> int:
    if len(args.sources) != 1:
        raise TrainError("--follow takes one source: a fleet's event directory or a "
                         "redis:// URL")
    if not args.checkpoint or not args.publish:
        raise TrainError("--follow needs --checkpoint FILE and --publish DIR|URL")
    where = args.sources[0]
    say = _Say(args.quiet)
    bad_lines = [0]

    def bad(source, reason):
        bad_lines[0] += 1
        say(f"{source.name}:{source.line}: {reason}; line skipped")

    saved = _read_checkpoint(args.checkpoint)
    if saved is None:
        start = _start(args)
        learner = Learner(start, warn=say)
        generation = 0
        positions: List[dict] = []
        archived: Dict[str, int] = {}
    else:
        if has_start(args) and not args.state:
            pass  # the checkpoint holds the state; creation flags only served the first run
        try:
            learner = Learner.restored(saved["learner"], warn=say)
        except (ValueError, KeyError, TypeError) as e:
            raise TrainError(f"bad checkpoint {args.checkpoint}: {e}") from None
        generation = saved.get("generation", 0)
        positions = saved.get("sources", [])
        archived = saved.get("archive", {})
        bad_lines[0] = saved.get("bad_lines", 0)
    try:
        fleet = open_fleet(where, bad)
        snapshots = Snapshots(args.publish)
    except OSError as e:
        raise TrainError(str(e)) from None
    archive = _Archive(args.archive, archived) if args.archive else None
    follower = Follower(args.stale)
    known: Dict[str, Buffered] = {}
    for p in positions:
        b = Buffered(p["name"], p["path"], p["pos"], p["line"], p["T"], p["final"])
        follower.add(b)
        known[b.path] = b
    follower.late = saved.get("late", 0) if saved else 0

    stop = _Stop()
    old_term = signal.signal(signal.SIGTERM, stop)
    published_lines = None if saved is None else -1

    def checkpoint():
        nonlocal generation, published_lines
        lines = learner.counts["lines"]
        if published_lines == lines:
            return
        generation += 1
        d = {"format": CHECKPOINT_FORMAT, "learner": learner.persisted(),
             "sources": [s.position() for s in follower.sources], "generation": generation,
             "late": follower.late, "bad_lines": bad_lines[0],
             "archive": archive.sync() if archive is not None else {}}
        write_atomic(args.checkpoint, json.dumps(d, separators=(",", ":")))
        snapshots.publish(generation, without_pending(learner.state))
        published_lines = lines
        try:
            fleet.commit(follower.sources)
        except fleet.transient:
            pass  # trimmed at the next checkpoint: what is taken only grows

    feed = learner.feed
    last_discover = -1.0
    last_checkpoint = _time.monotonic()
    last_news = _time.monotonic()
    transient = fleet.transient
    outage = None
    try:
        while not stop.asked:
            now = _time.monotonic()
            read = 0
            try:
                if now - last_discover >= fleet.discover_every:
                    for b in fleet.discover(known):
                        follower.add(b)
                        known[b.path] = b
                    last_discover = now
                for s in follower.sources:
                    read += fleet.poll(s, keep_raw=archive is not None)
            except transient as e:
                if outage is None:
                    say(f"the fleet's events are unreachable ({type(e).__name__}); "
                        "trying again")
                outage = now
                _time.sleep(RETRY_SLEEP)
                continue
            if outage is not None:
                say("the fleet's events are reachable again")
                outage = None
            for key, kind, data, _, raw in follower.take():
                if archive is not None:
                    archive.write(key[1], raw)
                if kind != "bad":
                    feed(kind, data, key[0])
            now = _time.monotonic()
            if read:
                last_news = now
            if now - last_checkpoint >= args.every:
                checkpoint()
                last_checkpoint = now
            if args.until_idle and follower.settled() and now - last_news >= args.until_idle:
                break
            if not read:
                _time.sleep(IDLE_SLEEP)
    except KeyboardInterrupt:
        pass
    except fleet_errors(fleet) as e:
        raise TrainError(f"the fleet's events at {redact(where)} cannot be read: {e}") from None
    finally:
        signal.signal(signal.SIGTERM, old_term)
    checkpoint()
    fleet.close()
    if archive is not None:
        archive.close()
    return _finish(args, learner, len(follower.sources),
                   {"generation": generation, "late_lines": follower.late,
                    "bad_lines": bad_lines[0]})


def fleet_errors(fleet):
    errors = getattr(fleet, "errors", None)
    return (OSError,) + ((errors,) if errors is not None else ())


def run(args) -> int:
    try:
        return run_follow(args) if args.follow else run_batch(args)
    except TrainError as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        return 2
