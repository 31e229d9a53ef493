"""The `ordwyne` command: inspect, verify, replay, eval and train.

Exit status: 0 success (verify: a clean log), 1 a finding or a replay
mismatch, 2 a usage or input error (unreadable file, bad state, bad log
line where a sound log is required).
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import json
import os
import re
import sys
from typing import List, Optional

__all__ = ["main", "build_parser"]

PROG = "ordwyne"


class _Parser(argparse.ArgumentParser):
    def error(self, message):  # usage errors exit 2, as argparse does, without the noise
        self.print_usage(sys.stderr)
        self.exit(2, f"{self.prog}: error: {message}\n")


def _err(command: str, message: str) -> None:
    print(f"{PROG} {command}: {message}", file=sys.stderr)


def _add_inspect(sub) -> None:
    p = sub.add_parser("inspect", help="show what a stored state holds",
                       description="Read a state file (a serialize() text) and show its "
                       "parameters, counters, pending decisions and model statistics.")
    p.add_argument("state", metavar="STATE", help="state file")
    p.add_argument("--json", action="store_true", help="print JSON instead of a table")
    p.add_argument("--no-model", action="store_true",
                   help="skip the model statistics (faster on large states)")
    p.add_argument("--no-checksum", action="store_true",
                   help="skip the checksum, which loads the state into the engine once "
                   "(about twice the text's size in memory)")
    p.set_defaults(run=_run_inspect)


def _add_log_command(sub, name: str, help: str, description: str):
    """A command over logs read in order, from a start state."""
    from .logs import add_reading_arguments
    from .start import add_start_arguments
    p = sub.add_parser(name, help=help, description=description)
    p.add_argument("logs", nargs="+", metavar="LOG", help="log files in order ('-' = stdin)")
    add_start_arguments(p)
    add_reading_arguments(p)
    return p


def _line_count(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        n = -1
    if n < 0:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number of lines (0 or more)")
    return n


def _add_replay(sub) -> None:
    p = _add_log_command(sub, "replay", "rebuild a state from a start state and logs",
                         "Replay decision and resolution lines on a start state and write the "
                         "resulting state atomically. Every replayed decision must equal its "
                         "logged record.")
    p.add_argument("--out", required=True, metavar="FILE", help="where to write the state")
    p.add_argument("--keep-going", action="store_true",
                   help="report mismatches and continue instead of stopping at the first")
    p.add_argument("--until-line", type=_line_count, metavar="N",
                   help="stop after N lines (counted over all logs)")
    p.add_argument("--quiet", "-q", action="store_true", help="no progress display")
    p.set_defaults(run=_run_replay)


def _add_verify(sub) -> None:
    p = _add_log_command(sub, "verify", "check a log's consistency (and replay it with a state)",
                         "Check the log's own consistency; with a start state also replay it "
                         "and compare every decision. Exit 0 clean, 1 findings, 2 usage or "
                         "input error.")
    p.add_argument("--expect", metavar="LATER",
                   help="a later checkpoint of the same host: the replay must arrive at it "
                   "(needs a start state)")
    p.add_argument("--json", metavar="FILE", dest="json_out", help="write a JSON report")
    p.add_argument("--quiet", "-q", action="store_true",
                   help="no progress display and no per-finding lines")
    p.set_defaults(run=_run_verify)


# Commands whose code (and what it imports) loads only when they run, so a
# missing or broken one cannot break the others: name -> (module, help,
# description). Each module has add_arguments(parser) and run(args).
_LOADED = {
    "eval": ("ordwyne_offline.evaluate", "estimate what other settings would have earned",
             "Off-policy evaluation of engine settings on the logged traffic."),
    "train": ("ordwyne_fleet.train", "train one state on the outcomes of one or many logs",
              "Train one state on every logged decision's outcome, from the logs of one or "
              "many processes; with --follow, keep learning from a fleet's events and "
              "publish snapshots."),
}


def _add_loaded(sub, name: str) -> None:
    p = sub.add_parser(name, help=_LOADED[name][1], add_help=False)
    p.add_argument("rest", nargs=argparse.REMAINDER)
    p.set_defaults(run=lambda args: _run_loaded(name, args.rest))


def _run_loaded(name: str, argv) -> int:
    module, _, description = _LOADED[name]
    try:
        command = importlib.import_module(module)
        add, run = command.add_arguments, command.run
    except Exception as e:
        _err(name, f"{name} is not available ({type(e).__name__}: {e})")
        return 2
    parser = _Parser(prog=f"{PROG} {name}", description=description)
    add(parser)
    if not any("--max-line-bytes" in a.option_strings for a in parser._actions):
        from .logs import add_reading_arguments
        add_reading_arguments(parser)  # every command reads logs under the same bound
    return _run_checked(name, run, parser.parse_args(argv))


def _run_checked(name: str, run, args) -> int:
    """Run a parsed command once its outputs are known to be safe to write,
    its log reading bounded by --max-line-bytes."""
    from .logs import line_limit
    problem = _file_problem(args)
    if problem is not None:
        _err(name, problem)
        return 2
    with line_limit(getattr(args, "max_line_bytes", None)):
        return run(args)


# What a command reads and writes, by argument name, whichever command it is:
# an output that is one of the inputs, or no regular file, is refused first.
_INPUTS = ("logs", "sources", "state", "expect")
_OUTPUTS = ("out", "json_out", "json", "report", "plot")


def _paths(args, names):
    for name in names:
        value = getattr(args, name, None)
        for path in value if isinstance(value, list) else [value]:
            if isinstance(path, str):  # inspect's --json is a flag
                yield path


def _file_problem(args) -> Optional[str]:
    from .util import output_problem
    return output_problem(_paths(args, _OUTPUTS), _paths(args, _INPUTS))


def _version() -> str:
    """The installed distribution's version when this very code is what it
    installed; run from a source tree, the project file's."""
    here = os.path.realpath(__file__)
    try:
        from importlib import metadata
        dist = metadata.distribution("ordwyne")
        if os.path.realpath(str(dist.locate_file("ordwyne_offline/cli.py"))) == here:
            return dist.version
    except Exception:  # no metadata, or metadata that cannot be read
        pass
    project = os.path.join(os.path.dirname(here), os.pardir, os.pardir, "pyproject.toml")
    try:
        with open(project, encoding="utf-8") as f:
            found = re.search(r'^version\s*=\s*"([^"]+)"', f.read(), re.MULTILINE)
    except OSError:
        found = None
    return f"{found.group(1)} (source tree)" if found else "unknown (not installed)"


class _VersionAction(argparse.Action):
    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                 help="show the version and exit"):
        super().__init__(option_strings, dest, nargs=0, default=default, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        print(f"{PROG} {_version()}")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Offline tools for ordwyne states and "
                     "experience logs.")
    parser.add_argument("--version", action=_VersionAction)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True
    _add_inspect(sub)
    _add_verify(sub)
    _add_replay(sub)
    for name in _LOADED:
        _add_loaded(sub, name)
    return parser


class _Closed(BaseException):
    """The reader of standard output or error went away (`| head -1`). Not
    an OSError, so no command takes it for a file it failed to read."""

    def __init__(self, stream) -> None:
        super().__init__()
        self.stream = stream


class _Guarded:
    """Standard output or error, whose writes raise _Closed for a closed
    pipe and never fail on a character the terminal's encoding lacks."""

    def __init__(self, stream) -> None:
        self._stream = stream

    def write(self, text: str):
        try:
            return self._stream.write(text)
        except BrokenPipeError:
            raise _Closed(self._stream) from None
        except UnicodeEncodeError:
            encoding = getattr(self._stream, "encoding", None) or "ascii"
            return self.write(text.encode(encoding, "backslashreplace").decode(encoding))

    def flush(self) -> None:
        try:
            self._stream.flush()
        except BrokenPipeError:
            raise _Closed(self._stream) from None

    def __getattr__(self, name):
        return getattr(self._stream, name)


@contextlib.contextmanager
def _guarded_streams():
    out, err = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = _Guarded(out), _Guarded(err)
    try:
        yield
    finally:
        sys.stdout, sys.stderr = out, err


def _quieten(stream) -> None:
    """Send what is still buffered for a closed pipe nowhere, so the
    interpreter's last flush has nothing to complain about."""
    try:
        fd = stream.fileno()
    except (AttributeError, OSError, ValueError):
        return
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, fd)
    os.close(null)


def _dispatch(argv: List[str]) -> int:
    if argv[:1] and argv[0] in _LOADED:  # its own parser, options first included
        return _run_loaded(argv[0], argv[1:])
    args = build_parser().parse_args(argv)
    return _run_checked(args.command, args.run, args)


def main(argv: Optional[List[str]] = None) -> int:
    from .logs import LogError
    from .util import Progress, Terminated, termination_raises
    argv = sys.argv[1:] if argv is None else list(argv)
    command = argv[0] if argv and not argv[0].startswith("-") else ""

    def fail(message: str) -> int:
        Progress.clear_all()
        print(f"{PROG} {command}: {message}" if command else f"{PROG}: {message}",
              file=sys.stderr)
        return 2

    with _guarded_streams(), termination_raises():
        try:
            try:
                return _dispatch(argv)
            except Terminated as e:
                return 128 + e.signum
            except KeyboardInterrupt:
                return 130
            except LogError as e:  # a file that is no log, whatever the command
                return fail(str(e))
            except MemoryError:
                return fail("out of memory")
            except Exception as e:  # never a traceback
                return fail(f"unexpected error: {type(e).__name__}: {e}")
        except _Closed as e:
            _quieten(e.stream)
            return 1


# -- inspect ---------------------------------------------------------------

def _run_inspect(args) -> int:
    from .inspect_state import format_inspection, inspect_file, inspection_json
    try:
        d = inspect_file(args.state, model=not args.no_model, checksum=not args.no_checksum)
    except OSError as e:
        _err("inspect", f"cannot read {args.state}: {e.strerror or e}")
        return 2
    if args.json:
        print(json.dumps(inspection_json(d), indent=2))
    else:
        print(format_inspection(args.state, d))
    return 0 if d["ok"] else 2


# -- replay ----------------------------------------------------------------

def _start(command, args):
    from .start import StartError, start_from_args
    try:
        return start_from_args(args)
    except StartError as e:
        _err(command, str(e))
        return None


def _run_replay(args) -> int:
    from .logs import LogError, iter_events
    from .replay import replay_events
    from .statefile import parse_state
    from .util import Progress, write_atomic
    import ordwyne

    start = _start("replay", args)
    if start is None:
        return 2
    progress = Progress("replay", enabled=False if args.quiet else None)

    def show(m):
        progress.done()
        print(f"{PROG} replay: {m}", file=sys.stderr)

    try:
        result = replay_events(start, iter_events(args.logs, incomplete="warn",
                                                  progress=progress, lazy_features="replay"),
                               keep_going=args.keep_going, until_line=args.until_line,
                               on_mismatch=show)
    except LogError as e:
        progress.done()
        _err("replay", str(e))
        return 2
    except OSError as e:
        progress.done()
        _err("replay", f"cannot read the log: {e}")
        return 2
    progress.done()
    if result.stopped_at is not None:
        _err("replay", "stopped at the first mismatch; no state written "
             "(--keep-going replays past mismatches)")
        return 1
    text = ordwyne.serialize(result.state)
    pending = len(parse_state(text).records)
    try:
        write_atomic(args.out, text)
    except OSError as e:
        _err("replay", f"cannot write {args.out}: {e}")
        return 2
    print(f"replayed {result.lines:,} lines")
    print(f"  {result.decisions:,} decisions, {result.resolutions:,} resolutions, "
          f"{pending:,} pending at the end")
    print(f"  {result.skipped:,} lines skipped (already in the start state)")
    if result.mismatches:
        print(f"{len(result.mismatches):,} mismatches (see above)")
    print(f"state written to {args.out}")
    return 1 if result.mismatches else 0


# -- verify ----------------------------------------------------------------

def _later_state(args, start):
    """The --expect state, or None (an error said) when it cannot serve."""
    from .start import Start, StartError
    if start is None:
        _err("verify", "--expect needs a start state: --state FILE, or --bits and --horizon")
        return None
    try:
        later = Start.from_file(args.expect)
    except StartError as e:
        _err("verify", str(e).replace("state", "--expect state", 1))
        return None
    if later.decision_count < start.decision_count or later.model_version < start.model_version:
        _err("verify", f"--expect {args.expect} is older than the start state "
             f"({later.decision_count:,} decisions and model version {later.model_version:,}, "
             f"the start state's {start.decision_count:,} and {start.model_version:,})")
        return None
    return later


def _run_verify(args) -> int:
    from .logs import iter_events
    from .start import has_start
    from .util import Progress
    from .verify import Verifier

    start = None
    if has_start(args):
        start = _start("verify", args)
        if start is None:
            return 2
    later = None
    if args.expect is not None:
        later = _later_state(args, start)
        if later is None:
            return 2
    progress = Progress("verify", enabled=False if args.quiet else None)

    def emit(f):
        if not args.quiet:
            progress.done()
            print(str(f))

    def warn(text):
        if not args.quiet:
            progress.done()
            print(text)

    verifier = Verifier(start, emit=emit, warn=warn, expect=later, expect_name=args.expect)
    verifier.file_order = {("<stdin>" if p == "-" else p): i for i, p in enumerate(args.logs)}
    try:
        for ev in iter_events(args.logs, incomplete="report", malformed="report",
                              progress=progress, lazy_features="replay"):
            verifier.feed(ev)
        verifier.finish()
    except OSError as e:
        progress.done()
        _err("verify", f"cannot read the log: {e}")
        return 2
    progress.done()
    report = verifier.report()
    if args.json_out:
        from .util import write_atomic
        try:
            write_atomic(args.json_out, json.dumps(report, indent=1, allow_nan=False) + "\n")
        except OSError as e:
            _err("verify", f"cannot write {args.json_out}: {e}")
            return 2
    mode = "self-consistency and replay" if start is not None else "self-consistency only"
    print(f"verified {verifier.lines:,} lines, {mode}")
    fleet = "".join(f", {n:,} {what}" for n, what in ((verifier.outcomes, "outcomes"),
                                                      (verifier.watermarks, "watermarks")) if n)
    print(f"  {verifier.decisions:,} decisions, {verifier.resolutions:,} resolutions{fleet}, "
          f"{verifier.skipped:,} skipped (already in the start state)")
    stopped = verifier.replay_stopped
    if stopped is not None:
        print(f"  the replay stopped at {stopped[0]}:{stopped[1]}: {stopped[2]}")
    if later is not None and verifier.expect is not None and not verifier.expect.done:
        print(f"  not compared with {args.expect}: the replay did not get there")
    if verifier.ok:
        print("OK: no findings" + (f" ({verifier.warnings:,} warnings)"
                                   if verifier.warnings else ""))
        return 0
    total = sum(verifier.counts.values())
    summary = ", ".join(f"{c} {n:,}" for c, n in sorted(verifier.counts.items()))
    print(f"FAILED: {total:,} findings ({summary})")
    return 1
