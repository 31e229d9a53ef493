"""`ordwyne train`: one state that has learned every logged outcome.

Batch: `ordwyne train SOURCE... (--state FILE | --bits B --horizon H ...)
--out FILE` reads the sources once, in merge order, and writes the
learner's final state.

Follow: `... --follow --checkpoint FILE --publish DIR|URL [--every S]`
is the fleet's continuous learner (follow.py).
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import List, Optional

import ordwyne

from ordwyne_offline.logs import LogError, iter_events
from ordwyne_offline.start import StartError, add_start_arguments, start_from_args
from ordwyne_offline.util import Progress, write_atomic

from .learner import Learner
from .lines import check_unread
from .merge import keyed, merged, source_name
from .transport import fleet_files, is_redis, redact

__all__ = ["add_arguments", "run"]

PROG = "ordwyne train"


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
        f"{c['after_expiry']:,} after their decision expired, "
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
        if ev.kind == "decision":
            check_unread(ev.file, ev.line, ev.data["record"]["features"])
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


def run(args) -> int:
    try:
        if args.follow:
            from .follow import run_follow
            return run_follow(args)
        return run_batch(args)
    except TrainError as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        return 2
