"""The evaluation's report: the terminal table, the JSON form and the plot."""

from __future__ import annotations

import json
import math
import shlex
import textwrap
from typing import List, Optional

from .util import json_value, write_atomic

__all__ = ["small_ess", "best_row", "warnings", "table", "json_text", "plot"]

NAME = 17  # the row-name column; with the value columns a line stays within 79
VALUE = 15


def small_ess(row: dict) -> Optional[str]:
    """A warning when the effective sample size is small: below a tenth of
    the decisions used, or below 100."""
    ess, used = row.get("ess"), row.get("used", 0)
    if row["kind"] == "logged" or ess is None or not used:
        return None
    if ess < 100 or ess < 0.1 * used:
        return (f"{row['name']}: effective sample size {_ess(ess)} of {used:,} decisions "
                "used; its estimates rest on few decisions and may be far off")
    return None


def best_row(rows: List[dict]) -> Optional[dict]:
    """The best-supported engine row: the highest lower 95% bound of DR
    among the engine rows whose effective sample size is not small (no
    `small_ess` warning); the first in table order on a tie. None when no
    row qualifies."""
    best = None
    for row in rows:
        low = row["dr"]["low"]
        if row["kind"] != "engine" or low is None or low != low or small_ess(row):
            continue
        if best is None or low > best["dr"]["low"]:
            best = row
    return best


_ESTIMATORS = (("ips", "IPS"), ("snips", "SNIPS"), ("dr", "DR"))


def _outside(row: dict, span) -> List[str]:
    """The estimators whose interval reaches outside the rewards' range."""
    lo, hi = span
    return [label for key, label in _ESTIMATORS
            if row[key]["low"] is not None and (row[key]["low"] < lo or row[key]["high"] > hi)]


def _own_weights(row: dict) -> Optional[str]:
    """The start state's own setting is the logged policy only if it gave
    every used decision the logged probability."""
    if not row.get("start_setting") or not row["used"]:
        return None
    low, high = row["min_weight"], row["max_weight"]
    if low == 1.0 and high == 1.0:
        return None
    return (f"{row['name']}*: the start state's own setting gives weights from {_weight(low)} "
            f"to {_weight(high)}, not all 1: the log was not made by this setting from "
            "this start state (another setting, a custom explore hook, or a log that does "
            "not continue the start state; `ordwyne verify --state` tells which), so this "
            "row is not the logged policy")


def warnings(report: dict) -> List[str]:
    """Every warning of the report, in the order the table prints them."""
    counts = report["counts"]
    out = []
    if counts["deterministic"]:
        out.append(
            f"{counts['deterministic']:,} of the decisions used were logged with propensity 1 "
            "among several candidates: the other candidates never had a chance there, and "
            "no estimator can tell what they would have earned")
    if counts.get("behind_clock"):
        out.append(
            f"{counts['behind_clock']:,} decision and outcome lines came after the log's "
            "time had passed their horizon: the logs are not in time order, and outcomes "
            "were lost (give a fleet's event directory, whose files eval merges by time "
            "as `ordwyne train` does)")
    for row in report["rows"]:
        text = _own_weights(row)
        if text:
            out.append(text)
    for row in report["rows"]:
        if row.get("warning"):
            out.append(row["warning"])
    span = report.get("reward_range")
    if span is not None:
        for row in report["rows"]:
            where = _outside(row, span)
            if where:
                out.append(
                    f"{row['name']}: the {' and '.join(where)} interval"
                    f"{'s reach' if len(where) > 1 else ' reaches'} outside "
                    f"[{span[0]:.4g}, {span[1]:.4g}], the range of the rewards used: "
                    "more uncertain than the data can be, a sign that a few large weights "
                    "dominate it")
    return out


def _num(x) -> str:
    if x is None:
        return "-"
    if x != x:
        return "nan"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    if abs(x) < 1000:
        return f"{x:.4f}"
    return f"{x:.3g}"


def _cells(row: dict, key: str, bootstrap: bool):
    """One value column: (first line, second line or None)."""
    c = row[key]
    est, lo, hi = c["estimate"], c["low"], c["high"]
    if est is None:
        return "-", None
    if lo is None or hi is None:
        return _num(est), None
    if bootstrap:
        return _num(est), f"{_num(lo)}..{_num(hi)}"
    return f"{_num(est)}±{_num((hi - lo) / 2)}", None


def _ess(x) -> str:
    if x is None:
        return "-"
    return f"{x:.0f}" if x >= 10 else f"{x:.2f}"


def _weight(x) -> str:
    if x is None:
        return "-"
    return f"{x:.3g}"


def table(report: dict) -> str:
    """The report as text for an 80-column terminal."""
    counts = report["counts"]
    bootstrap = report["interval"] == "bootstrap"
    out: List[str] = []
    excluded = counts["unresolved"] + counts["zero_propensity"] + counts["bad_propensity"] \
        + counts["bad_reward"]
    out.append(f"{counts['decisions']:,} decisions, {counts['used']:,} used, "
               f"{excluded:,} excluded; {counts['skipped']:,} lines already in the start state")
    details = [(counts["unresolved"], "without a resolution"),
               (counts["zero_propensity"], "with propensity 0"),
               (counts["bad_propensity"], "with a propensity outside (0, 1]"),
               (counts["bad_reward"], "with a non-finite or null reward")]
    shown = [f"{n:,} {what}" for n, what in details if n]
    if shown:
        out.append("excluded: " + ", ".join(shown))
    if counts["unmatched"]:
        out.append(f"{counts['unmatched']:,} resolutions matched no decision of the log "
                   "or the start state")
    out.extend(_fleet_lines(counts))
    if bootstrap:
        out.append(f"95% intervals: bootstrap, {report['bootstrap']} resamples, "
                   f"seed {report['seed']}")
    else:
        out.append("95% intervals: normal approximation (estimate ± half-width)")
    out.append("")
    header = (f"{'row':<{NAME}} {'IPS':>{VALUE}} {'SNIPS':>{VALUE}} {'DR':>{VALUE}} "
              f"{'ESS':>6} {'max w':>6}")
    out.append(header)
    out.append("-" * len(header))
    for row in report["rows"]:
        name = row["name"] + ("*" if row.get("start_setting") else "")
        if row["kind"] == "logged":
            first, second = _cells(row, "ips", bootstrap)
            cols = [(first, second), ("", None), ("", None)]
        else:
            cols = [_cells(row, k, bootstrap) for k in ("ips", "snips", "dr")]
        if len(name) > NAME:
            out.append(name)
            name = ""
        out.append(f"{name:<{NAME}} " + " ".join(f"{c[0]:>{VALUE}}" for c in cols)
                   + f" {_ess(row['ess']):>6} {_weight(row['max_weight']):>6}")
        if any(c[1] for c in cols):
            out.append(f"{'':<{NAME}} " + " ".join(f"{c[1] or '':>{VALUE}}" for c in cols))
    out.append("")
    out.append("logged: the mean logged reward; uniform: every candidate alike;")
    out.append("e, f, b: epsilon, forgetfulness and bits of an engine setting")
    if any(r.get("start_setting") for r in report["rows"]):
        out.append("*: the start state's own setting")
    for text in report.get("warnings", ()):
        out.extend(textwrap.wrap("warning: " + text, 79, subsequent_indent="  "))
    out.extend(_best_lines(report.get("best")))
    return "\n".join(out) + "\n"


def _fleet_lines(counts: dict) -> List[str]:
    """What a fleet's outcome and watermark lines did, when there were any."""
    if not (counts.get("outcomes") or counts.get("watermarks")):
        return []
    text = (f"fleet lines: {counts['outcomes']:,} outcomes ({counts['late_outcomes']:,} at or "
            f"past the horizon, counted with the default reward; "
            f"{counts['duplicate_outcomes']:,} repeated and {counts['orphaned_outcomes']:,} "
            f"without their decision, ignored), {counts['watermarks']:,} watermarks; "
            f"{counts['expired_by_time']:,} decisions without an outcome counted with the "
            "default reward once the log's time passed their horizon")
    return textwrap.wrap(text, 79, subsequent_indent="  ")


def _best_lines(best: Optional[dict]) -> List[str]:
    if best is None:
        return textwrap.wrap(
            "best supported: none; every engine row has a small effective sample size or "
            "no DR interval (log with more exploration, or evaluate settings closer to the "
            "logged one)", 79, subsequent_indent="  ")
    out = textwrap.wrap(f"best supported: {best['row']} (the highest DR lower bound among the "
                        "engine rows without a small effective sample size); to apply it:",
                        79, subsequent_indent="  ")
    return out + _command_lines(best["command"])


def _command_lines(argv: List[str], width: int = 79) -> List[str]:
    """A shell command, indented, continued with backslashes to fit."""
    lines, line = [], "  "
    for word in map(shlex.quote, argv):
        if len(line) > 2 and len(line) + 1 + len(word) > width - 2:
            lines.append(line + " \\")
            line = "      "
        line += ("" if line.strip() == "" else " ") + word
    lines.append(line)
    return lines


def json_text(report: dict) -> str:
    """Standard JSON: non-finite numbers are written as strings."""
    return json.dumps(json_value(report), indent=2, allow_nan=False) + "\n"


def write_json(path: str, report: dict) -> None:
    write_atomic(path, json_text(report))


def plot(path: str, report: dict) -> None:
    """Estimates with their intervals per row, the logged mean as a line."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [r for r in report["rows"] if r["kind"] != "logged"]
    logged = next((r for r in report["rows"] if r["kind"] == "logged"), None)
    fig, ax = plt.subplots(figsize=(max(6.0, 1.0 + 0.9 * len(rows)), 4.5))
    for offset, key, label, marker in ((-0.2, "ips", "IPS", "o"), (0.0, "snips", "SNIPS", "s"),
                                       (0.2, "dr", "DR", "D")):
        xs, values, spread = [], [], [[], []]
        for i, row in enumerate(rows):
            c = row[key]
            if c["estimate"] is None or not math.isfinite(c["estimate"]):
                continue
            xs.append(i + offset)
            values.append(c["estimate"])
            lo = c["low"] if c["low"] is not None else c["estimate"]
            hi = c["high"] if c["high"] is not None else c["estimate"]
            # a percentile interval need not hold its own estimate
            spread[0].append(max(c["estimate"] - lo, 0.0))
            spread[1].append(max(hi - c["estimate"], 0.0))
        ax.errorbar(xs, values, yerr=spread, fmt=marker, capsize=3, label=label)
    if logged is not None and logged["ips"]["estimate"] is not None:
        ax.axhline(logged["ips"]["estimate"], color="grey", linestyle="--",
                   label="logged mean")
    ax.set_xticks(range(len(rows)))
    ax.set_xticklabels([r["name"] for r in rows], rotation=30, ha="right")
    ax.set_ylabel("estimated mean reward (95% interval)")
    ax.legend(loc="best", fontsize="small")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
