"""What a stored state holds, read from its text."""

from __future__ import annotations

import math
import os
import stat
from typing import Optional

from .statefile import (StateError, checksum_verified, engine_check, model_stats, parse_state,
                        read_state)
from .util import json_value

__all__ = ["inspect_file", "inspect_text", "format_inspection"]

FIRST_IDS = 5


def inspect_text(text: str, *, model: bool = True, checksum: bool = True) -> dict:
    """A dictionary describing the state. On a reading error "error" holds
    the engine's message and only what could be read is filled in."""
    out: dict = {"ok": True, "error": None,
                 "bytes": len(text) // 2 if not len(text) % 2 else None}
    error: Optional[str] = None
    if checksum:
        error = engine_check(text)
        # None: the engine stopped before the checksum (not hexadecimal, no magic)
        out["checksum_ok"] = checksum_verified(error, len(text) // 2)
    try:
        info = parse_state(text)
    except StateError as e:
        out["ok"] = False
        out["error"] = error or str(e)
        return out
    if error:
        out["ok"] = False
        out["error"] = error
    out.update({
        "bits": info.bits, "dim": info.dim, "horizon": info.horizon,
        "default_reward": info.default_reward, "epsilon": info.epsilon,
        "forgetting": info.forgetting, "ridge": info.ridge, "scale": info.scale,
        "decision_count": info.decision_count, "model_version": info.model_version})
    records = info.records
    times = [r.t for r in records if r.t == r.t]
    out["pending"] = {
        "count": len(records),
        "oldest_t": min(times) if times else None,
        "newest_t": max(times) if times else None,
        "nan_t": len(records) - len(times),
        "first_ids": [r.decision_id for r in records[:FIRST_IDS]],
    }
    if model:
        out["model"] = model_stats(text, info.dim)
    return out


def _note(text) -> Optional[str]:
    """What a file that is not a state seems to be instead."""
    start = bytes(text[:64]) if not isinstance(text, str) else text[:64].encode("latin-1")
    start = start.lstrip()
    if start[:1] == b"{":
        return "this looks like an experience log, not a state file"
    return "not a state file: a state is the hexadecimal text serialize() writes"


def inspect_file(path: str, *, model: bool = True, checksum: bool = True) -> dict:
    """inspect_text for a file, with the file's own size ("file_bytes", None
    for what is not a regular file) beside the state's ("bytes"). A file
    that is not a state is judged by its beginning ("bytes" None) and gets a
    "note" saying what it seems to be. Raises OSError."""
    size = os.stat(path)
    file_bytes = size.st_size if stat.S_ISREG(size.st_mode) else None
    # the engine's checksum needs a str; without it a buffer spares the copy
    text, whole = read_state(path, as_text=checksum)
    d = inspect_text(text, model=model, checksum=checksum)
    d["file_bytes"] = file_bytes
    if not whole:
        d["bytes"] = None
    if d["error"] in ("state must be a hexadecimal string", "not a ordwyne state (bad magic)"):
        d["note"] = _note(text)
    return d


def _num(v) -> str:
    if v is None:
        return "-"
    if isinstance(v, float):
        if math.isinf(v):
            return "inf" if v > 0 else "-inf"
        return repr(v)
    return f"{v:,}" if isinstance(v, int) else str(v)


def format_inspection(path: str, d: dict) -> str:
    size = []
    if d.get("bytes") is not None:
        size.append(f"a {d['bytes']:,}-byte state")
    if d.get("file_bytes") is not None:
        size.append(f"{d['file_bytes']:,} bytes of text")
    lines = [f"state {path}" + (f" ({' in '.join(size)})" if size else "")]
    if "checksum_ok" in d:
        verdict = {True: "OK", False: "MISMATCH"}.get(d["checksum_ok"],
                                                      "not reached (the reading stopped first)")
        lines.append(f"  checksum        {verdict}")
    if d.get("error"):
        lines.append(f"  reading error   {d['error']}")
    if d.get("note"):
        lines.append(f"  note            {d['note']}")
    if "dim" not in d:
        return "\n".join(lines)
    bits = d["bits"] if d["bits"] is not None else f"none (dim {d['dim']} is not 2**bits)"
    lines += [
        f"  bits            {bits}",
        f"  horizon         {_num(d['horizon'])}",
        f"  default reward  {_num(d['default_reward'])}",
        f"  epsilon         {_num(d['epsilon'])}",
        f"  forgetting      {_num(d['forgetting'])}",
        f"  ridge           {_num(d['ridge'])}",
        f"  scale           {_num(d['scale'])}",
        f"  decisions       {_num(d['decision_count'])}",
        f"  model version   {_num(d['model_version'])}",
    ]
    p = d["pending"]
    lines.append(f"  pending         {p['count']:,}")
    if p["count"]:
        lines.append(f"    oldest t      {_num(p['oldest_t'])}")
        lines.append(f"    newest t      {_num(p['newest_t'])}")
        if p["nan_t"]:
            lines.append(f"    t NaN         {p['nan_t']:,} (never due)")
        more = p["count"] - len(p["first_ids"])
        ids = ", ".join(p["first_ids"]) + (f", ... ({more:,} more)" if more > 0 else "")
        lines.append(f"    first ids     {ids[:62]}" + ("..." if len(ids) > 62 else ""))
    m = d.get("model")
    if m:
        lines.append(f"  model           {m['nonzero_coordinates']:,} non-zero coordinates "
                     f"of {d['dim']:,}")
        lines.append(f"    largest |b/a| {_num(m['largest_abs_b_over_a'])}")
        bad = m["nan_values"] + m["infinite_values"]
        lines.append("    non-finite    " + (
            f"{m['nan_values']:,} NaN, {m['infinite_values']:,} infinite" if bad else "none"))
    return "\n".join(lines)


def inspection_json(d: dict) -> dict:
    return json_value(d)
