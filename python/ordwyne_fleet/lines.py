"""The fleet's own log lines, and one parse for every line a source holds.

Beside the module's decision and resolution lines a fleet writes two kinds:
an outcome, reported by whichever worker learned it, and a watermark, a
worker's word that nothing older than its `t` is to come (the final one:
nothing at all). They are written the way `ordwyne.log_line` writes its
lines, so one reader serves both.
"""

from __future__ import annotations

import json
import math
from typing import Optional, Tuple

from ordwyne_offline import logs

__all__ = ["outcome_line", "watermark_line", "parse", "line_time", "Malformed", "check_unread"]

_SEPARATORS = (",", ":")


def _number(name: str, value) -> float:
    if type(value) is bool or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    return float(value)


def outcome_line(decision_id: str, reward, t) -> str:
    """The outcome line for a decision id (raises TypeError on bad types)."""
    if type(decision_id) is not str:
        raise TypeError(f"decision_id must be a str, not {type(decision_id).__name__}")
    return json.dumps({"event": "outcome", "decision_id": decision_id,
                       "reward": _number("reward", reward), "t": _number("t", t)},
                      separators=_SEPARATORS)


def watermark_line(t: float, final: bool = False) -> str:
    d = {"event": "watermark", "t": float(t)}
    if final:
        d["final"] = True
    return json.dumps(d, separators=_SEPARATORS)


# what the text of [index, value] pairs is made of; the full check costs as
# much as parsing the rest of the line, and the learner never reads them
_PAIR_BYTES = b"0123456789.,-+eE[]NaInfity"


def check_unread(file: str, line: int, features) -> None:
    """A decision line's unread features: text of the characters pairs are
    written with passes; any other is judged as every command judges it
    (raises LogError)."""
    if type(features) is logs.LazyFeatures and features.text.translate(None, _PAIR_BYTES):
        logs.check_lazy_features(file, line, features)


class Malformed(ValueError):
    """A line that is no log line; the message says why."""


def parse(raw: bytes) -> Tuple[str, dict]:
    """(kind, parsed line) of one complete line. A decision line's features
    are left unparsed where the reader can (the learner never needs them).
    Raises Malformed."""
    data = logs._parse_lazy(raw)
    if data is not None:
        try:
            check_unread("", 0, data["record"]["features"])
        except logs.LogError as e:
            raise Malformed(e.reason) from None
        return "decision", data
    try:
        data, reason = logs.parse_line(raw)
    except (ValueError, RecursionError) as e:
        raise Malformed(f"not valid JSON ({e})" if raw.strip() else "empty line") from None
    if reason is not None:
        raise Malformed(reason)
    return data["event"], data


def line_time(kind: str, data: dict) -> Optional[float]:
    """The time a line carries (None for a resolution line, which takes its
    source's current time)."""
    if kind == "decision":
        t = data["record"]["t"]
    elif kind == "resolution":
        return None
    else:
        t = data["t"]
    return None if math.isnan(t) else t
