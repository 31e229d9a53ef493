"""`ordwyne eval`: what other settings would have earned on the logged traffic.

Rows: the logged policy's own mean reward, the uniform choice, and the
engine under every combination of the --epsilon, --forgetfulness and --bits
lists. Each engine setting replays the log with its own state, takes its
probabilities from its own estimates and learns the logged choice's outcome
when the log resolves it. Estimators: IPS, self-normalised IPS and doubly
robust, with 95% intervals, the effective sample size and the largest
weight. See docs/evaluation.md.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Callable, List, Optional, Sequence, Tuple

from . import eval_report, sweep
from .eval_core import ChunkPlan, EvalError, GroupPlan, RowPlan
from .logs import LogError
from .start import DEFAULT_EPSILON, DEFAULT_FORGETFULNESS, StartError, start_from_args
from .util import Progress

__all__ = ["add_arguments", "run", "evaluate", "plan", "sources", "train_command",
           "MIN_BOOTSTRAP"]


def _list_type(convert: Callable[[str], object], check: Callable[[object], bool], what: str):
    def parse(text: str) -> Tuple:
        values = []
        for item in text.split(","):
            item = item.strip()
            try:
                value = convert(item)
            except ValueError:
                value = None
            if value is None or not check(value):
                raise argparse.ArgumentTypeError(
                    f"'{text}' is not a comma-separated list of {what}: bad item '{item}'")
            if value not in values:
                values.append(value)
        return tuple(values)
    return parse


epsilon_list = _list_type(float, lambda v: 0.0 <= v <= 1.0, "epsilons in [0, 1]")
forgetfulness_list = _list_type(float, lambda v: 0.0 < v <= 1.0,
                                "forgetfulness values in (0, 1]")
bits_list = _list_type(int, lambda v: 1 <= v <= 24, "bits from 1 to 24")


def _count(low: int, why: str = ""):
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = None
        if value is None or value < low:
            raise argparse.ArgumentTypeError(f"'{text}' is not an integer >= {low}{why}")
        return value
    return parse


# Each tail of a percentile interval rests on 2.5% of the resamples: below
# this, on a handful of them, and a few draws give intervals that can miss
# their own estimate.
MIN_BOOTSTRAP = 200


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("logs", nargs="+", metavar="LOG",
                        help="experience logs in order ('-' for standard input, .gz, .zst, "
                             "URLs through fsspec), or a fleet's event directory (its files "
                             "merged by time)")
    start = parser.add_argument_group(
        "start state and settings",
        "--state FILE, or a fresh state made like create() from --horizon, "
        "--default-reward and the first value of each list (--bits and --horizon "
        "required). --bits, --epsilon and --forgetfulness take comma-separated lists: "
        "every combination is evaluated. Without them: the start state's own setting, "
        "and also epsilon 0.")
    start.add_argument("--state", metavar="FILE",
                       help="a serialize() text to start from, e.g. a checkpoint")
    start.add_argument("--bits", type=bits_list, metavar="LIST",
                       help="feature bits (1-24); needed without --state")
    start.add_argument("--horizon", type=float, help="horizon of a fresh start state")
    start.add_argument("--default-reward", type=float, default=None,
                       help="default reward of a fresh start state (default 0.0)")
    start.add_argument("--epsilon", type=epsilon_list, metavar="LIST",
                       help=f"epsilons (default: the start state's, or {DEFAULT_EPSILON}, "
                            "and 0)")
    start.add_argument("--forgetfulness", type=forgetfulness_list, metavar="LIST",
                       help="forgetting factors (default: the start state's, or "
                            f"{DEFAULT_FORGETFULNESS})")
    est = parser.add_argument_group("estimates and output")
    est.add_argument("--bootstrap", type=_count(MIN_BOOTSTRAP, " (resamples for a 95% "
                                                "percentile interval)"), metavar="N",
                     help=f"bootstrap intervals from N >= {MIN_BOOTSTRAP} resamples of the "
                          "decisions (needs numpy) instead of the normal approximation")
    est.add_argument("--seed", type=_count(0), default=0, metavar="S",
                     help="seed of the bootstrap (default 0)")
    est.add_argument("--json", metavar="FILE", help="also write the report as JSON")
    est.add_argument("--plot", metavar="FILE.png",
                     help="plot the estimates with their intervals (needs matplotlib)")
    run_group = parser.add_argument_group("where it runs")
    run_group.add_argument("--jobs", type=_count(1), default=None, metavar="N",
                           help="local processes (default: the machine's cores); with "
                                "--scheduler, tasks (default: the cluster's worker threads)")
    run_group.add_argument("--scheduler", metavar="ADDRESS",
                           help="run on the Dask cluster at ADDRESS; its workers read the "
                                "logs by the paths or URLs given")
    parser.add_argument("--quiet", "-q", action="store_true", help="no progress on standard error")


def _start_namespace(args) -> argparse.Namespace:
    """The start state's arguments: with --state the lists are settings to
    evaluate, not the state's; without it, their first values make the
    fresh start state (every fresh setting is created the same way)."""
    if args.state is not None:
        return argparse.Namespace(state=args.state, bits=None, horizon=args.horizon,
                                  default_reward=args.default_reward, epsilon=None,
                                  forgetfulness=None)
    first = lambda v: None if v is None else v[0]  # noqa: E731
    return argparse.Namespace(state=None, bits=first(args.bits), horizon=args.horizon,
                              default_reward=args.default_reward, epsilon=first(args.epsilon),
                              forgetfulness=first(args.forgetfulness))


def _rows(bits: Sequence[int], forgetfulness: Sequence[float], epsilons: Sequence[float]):
    """The table's rows and the engine groups, in table order."""
    rows = [RowPlan(0, "logged", "logged"), RowPlan(1, "uniform", "uniform")]
    groups = []
    for b in bits:
        for f in forgetfulness:
            members = []
            for e in epsilons:
                row = RowPlan(len(rows), "engine", f"e{e!r} f{f!r} b{b}", b, f, e)
                rows.append(row)
                members.append(row)
            groups.append(GroupPlan(b, f, tuple(members)))
    return rows, groups


def plan(paths: Sequence[str], start, *, bits=None, forgetfulness=None, epsilons=None,
         bootstrap: int = 0, seed: int = 0, chunks: int = 1):
    """The table's rows and the work split into at most `chunks` tasks
    (0: a task per model). The logged and uniform rows go with the start
    state's own model (bits and forgetfulness), the uniform row's reward
    model, which runs without rows of its own when the sweep lacks it."""
    params = start.params
    bits = tuple(bits) if bits else (params["bits"],)
    forgetfulness = tuple(forgetfulness) if forgetfulness else (params["forgetfulness"],)
    if not epsilons:
        epsilons = tuple(dict.fromkeys((params["epsilon"], 0.0)))
    rows, groups = _rows(bits, forgetfulness, epsilons)
    own = (params["bits"], params["forgetfulness"])
    home = next((i for i, g in enumerate(groups) if (g.bits, g.forgetfulness) == own), None)
    if home is None:
        home = len(groups)
        groups.append(GroupPlan(own[0], own[1], ()))
    tasks = []
    for members in sweep.split_groups(groups, chunks or len(groups)):
        tasks.append(ChunkPlan(
            paths=tuple(paths), start=start, groups=tuple(groups[i] for i in members),
            extra_rows=tuple(rows[:2]) if home in members else (), bootstrap=bootstrap,
            seed=seed))
    return rows, tasks


def _row_entry(row: RowPlan, summary: dict, own) -> dict:
    entry = {"name": row.name, "kind": row.kind, "bits": row.bits,
             "forgetfulness": row.forgetfulness, "epsilon": row.epsilon,
             "start_setting": (row.bits, row.forgetfulness, row.epsilon) == own}
    entry.update(summary)
    if row.kind == "logged":  # a mean, not an estimate: SNIPS and DR do not apply
        entry["snips"] = entry["dr"] = {"estimate": None, "low": None, "high": None}
    entry["warning"] = eval_report.small_ess(entry)
    return entry


def evaluate(paths: Sequence[str], start, *, bits=None, forgetfulness=None, epsilons=None,
             bootstrap: int = 0, seed: int = 0, jobs: Optional[int] = 1, scheduler=None,
             progress=None, names: Optional[Sequence[str]] = None,
             state_path: Optional[str] = None) -> dict:
    """The report as a dict (what --json writes). With a scheduler, `jobs`
    None means a task per worker thread. `names` are the logs as the user
    gave them (default `paths`) and `state_path` the start state's file,
    for the report and its `ordwyne train` command. Raises EvalError,
    LogError, OSError."""
    if bootstrap and bootstrap < MIN_BOOTSTRAP:
        raise EvalError(f"a bootstrap needs at least {MIN_BOOTSTRAP} resamples, not {bootstrap}")

    def tasks_for(chunks):
        return plan(paths, start, bits=bits, forgetfulness=forgetfulness, epsilons=epsilons,
                    bootstrap=bootstrap, seed=seed, chunks=chunks)

    if scheduler is not None:
        rows, _ = tasks_for(1)
        results = sweep.run_dask(lambda threads: tasks_for(jobs or threads)[1], scheduler,
                                 progress)
    else:
        rows, tasks = tasks_for(jobs or 1)
        results = sweep.run_local(tasks, progress)
    summaries = {}
    for result in results:
        summaries.update(result["rows"])
    params = start.params
    own = (params["bits"], params["forgetfulness"], params["epsilon"])
    names = list(paths if names is None else names)
    report = {
        "logs": names,
        "start": {key: params[key] for key in ("bits", "horizon", "default_reward", "epsilon",
                                               "forgetfulness")}
                 | {"decision_count": start.decision_count, "pending": start.pending},
        "interval": "bootstrap" if bootstrap else "normal",
        "bootstrap": bootstrap,
        "seed": seed,
        "counts": results[0]["counts"],
        "incomplete_lines": results[0]["incomplete"],
        "reward_range": results[0]["reward_range"],
        "rows": [_row_entry(row, summaries[row.index], own) for row in rows],
    }
    best = eval_report.best_row(report["rows"])
    report["best"] = None if best is None else {
        "row": best["name"],
        "command": train_command(names, start, best, state_path)}
    report["warnings"] = eval_report.warnings(report)
    return report


def train_command(logs: Sequence[str], start, row: dict, state_path: Optional[str] = None,
                  out: str = "tuned.hex") -> List[str]:
    """The `ordwyne train` command that applies an engine row: the start
    state itself when the row is its own setting and the state has
    decisions in it, otherwise a fresh state of the row's setting with the
    start state's horizon and default reward."""
    if row["start_setting"] and state_path is not None and start.decision_count:
        return ["ordwyne", "train", *logs, "--state", state_path, "--out", out]
    params = start.params
    return ["ordwyne", "train", *logs, "--bits", str(row["bits"]),
            "--horizon", repr(params["horizon"]),
            "--default-reward", repr(params["default_reward"]),
            "--epsilon", repr(row["epsilon"]), "--forgetfulness", repr(row["forgetfulness"]),
            "--out", out]


def sources(logs: Sequence[str]) -> list:
    """The logs as the evaluation reads them: a file in the order given, a
    fleet's event directory as the tuple of its files, read merged by time
    (as `ordwyne train` reads them). Raises EvalError or OSError."""
    out: list = []
    for p in logs:
        if p == "-" or "://" in p or os.path.isfile(p):
            out.append(p)
        elif os.path.isdir(p):
            from ordwyne_fleet.transport import fleet_files
            files = fleet_files(p)
            if not files:
                raise EvalError(f"{p}: no .jsonl, .jsonl.gz or .jsonl.zst files in the "
                                "directory")
            out.append(tuple(files))
        else:
            raise EvalError(f"cannot read log {p}: no such file")
    return out


def _fail(message: str) -> int:
    print(f"ordwyne eval: {message}", file=sys.stderr)
    return 2


def _stdin_named(text: str, spooled) -> str:
    """Messages name standard input, not the copy the workers read."""
    return text if spooled is None else text.replace(spooled, "<stdin>")


def run(args) -> int:
    if args.bootstrap:
        try:
            import numpy  # noqa: F401
        except ImportError:
            return _fail("--bootstrap needs numpy (pip install numpy)")
    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            return _fail("--plot needs matplotlib (pip install matplotlib)")
    if args.scheduler is not None and "-" in args.logs:
        return _fail("cluster workers cannot read standard input: give a path or URL "
                     "they can reach")
    try:
        start = start_from_args(_start_namespace(args))
    except StartError as e:
        return _fail(str(e))
    if args.logs.count("-") > 1:
        return _fail("standard input can be read only once")
    try:
        paths = sources(args.logs)
    except (EvalError, OSError) as e:
        return _fail(str(e))
    jobs = args.jobs
    if jobs is None and args.scheduler is None:
        jobs = os.cpu_count() or 1
    spooled = None
    progress = Progress("eval", enabled=False if args.quiet else None)
    try:
        if args.scheduler is not None:
            paths = sweep.worker_paths(paths)
        elif "-" in paths and jobs > 1:
            spooled = sweep.spool_stdin()
            paths = [spooled if p == "-" else p for p in paths]
        report = evaluate(paths, start, bits=args.bits, forgetfulness=args.forgetfulness,
                          epsilons=args.epsilon, bootstrap=args.bootstrap or 0, seed=args.seed,
                          jobs=jobs, scheduler=args.scheduler,
                          progress=progress if progress.enabled else None, names=args.logs,
                          state_path=args.state)
    except (EvalError, LogError) as e:
        return _fail(_stdin_named(str(e), spooled))
    except OSError as e:
        return _fail(_stdin_named(f"cannot read the log: {e}", spooled))
    finally:
        progress.done()
        if spooled is not None:
            os.unlink(spooled)
    for where in report["incomplete_lines"]:
        print(f"ordwyne: warning: {_stdin_named(where, spooled)}: incomplete last line "
              "skipped (the log was cut during an append)", file=sys.stderr)
    sys.stdout.write(eval_report.table(report))
    try:
        if args.json:
            eval_report.write_json(args.json, report)
    except OSError as e:
        return _fail(f"cannot write the output: {e}")
    if args.plot:
        try:
            eval_report.plot(args.plot, report)
        except Exception as e:  # matplotlib fails in many ways; none is worth a traceback
            text = str(e).strip().splitlines()
            return _fail(f"cannot write the plot {args.plot}: "
                         f"{text[0] if text else type(e).__name__}")
    return 0
