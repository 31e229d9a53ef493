"""Streaming reader of experience logs: the lines `ordwyne.log_line` writes.

Files are read in the order given (rotated logs continue each other), one
line at a time, so memory does not depend on the log's length. "-" is
standard input, gzip and zstd (which needs the `zstandard` package) are
recognised by their first bytes and decompressed on the fly, and anything
with "://" in it is opened through `fsspec` (cluster workers read logs by
URL). A line may be at most `max_line_bytes` long (MAX_LINE_BYTES unless
raised), so memory is bounded whatever the input.

Values come back exactly as the standard `json` module reads them: the
words NaN and Infinity, integers of any size and escaped non-ASCII text.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import re
import sys
from typing import Callable, Iterable, Iterator, NamedTuple, Optional

from .logstream import CUT as _CUT, CorruptData, LogStream, open_stream

__all__ = ["Event", "LogError", "ReadError", "iter_events", "decision_inputs",
           "decision_count_of", "check_structure", "open_log", "features_text",
           "MAX_LINE_BYTES", "add_reading_arguments", "line_limit", "current_line_limit"]

PROGRESS_EVERY = 4096  # lines between two progress callbacks
MAX_LINE_BYTES = 16 << 20  # the default bound on a line's length, newline aside
EXCERPT = 200  # bytes of a bad line its event keeps
FIRST_LINES = 5  # a file none of whose first lines is a log line is not a log
LINE_KINDS = ("decision", "resolution", "outcome", "watermark")
_STATE_START = b"6f726477796e6500"  # a serialize() text begins with "ordwyne\0" in hex


class Event(NamedTuple):
    """One log line: where it is, its parsed JSON object and its kind.

    `kind` is "decision", "resolution", "outcome" or "watermark" (the last
    two are a fleet's own lines: an outcome reported by any worker, and a
    worker's word that nothing older is to come); "incomplete" for a torn last line
    read with incomplete="report" (then `data` is {"text": its text});
    "malformed" for a bad line read with malformed="report" (then `data` is
    {"reason": ..., "text": ...}, and "value": the parsed JSON when the line
    is JSON). A text longer than EXCERPT bytes is cut to its first EXCERPT
    bytes and its length."""

    file: str
    line: int
    data: dict
    kind: str


class LogError(Exception):
    """A log line that is not a well-formed decision or resolution line."""

    def __init__(self, file: str, line: int, reason: str) -> None:
        super().__init__(file, line, reason)
        self.file = file
        self.line = line
        self.reason = reason

    def __str__(self) -> str:
        return f"{self.file}:{self.line}: {self.reason}"


class ReadError(LogError):
    """A file that cannot be read as a log at all: corrupt compressed data,
    a file that is no experience log, a line beyond the length limit. `line`
    is None when the file as a whole is meant."""

    def __str__(self) -> str:
        return f"{self.file}: {self.reason}" if self.line is None else super().__str__()


def _byte_count(text: str) -> int:
    """A size in bytes, with an optional K, M or G (powers of 1024)."""
    scale = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}.get(text[-1:].upper(), 1)
    try:
        value = int(text[:-1] if scale > 1 else text) * scale
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"'{text}' is not a positive size in bytes "
                                         "(a number, optionally with K, M or G)")
    return value


def add_reading_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--max-line-bytes", type=_byte_count, default=None, metavar="N",
                        help="refuse log lines longer than N bytes (default "
                        f"{MAX_LINE_BYTES >> 20}M; K, M and G suffixes allowed)")


_limit = [MAX_LINE_BYTES]


@contextlib.contextmanager
def line_limit(n: Optional[int]):
    """While inside, iter_events bounds lines by `n` bytes unless told
    otherwise (None: as before). The command line sets it for a whole run,
    so every command's reading follows --max-line-bytes."""
    old = _limit[0]
    _limit[0] = old if n is None else n
    try:
        yield _limit[0]
    finally:
        _limit[0] = old


def current_line_limit() -> int:
    """The bound iter_events applies by default now (for work handed to
    other processes, which do not share this one's setting)."""
    return _limit[0]


def open_log(path: str) -> LogStream:
    """One log's text, decompressed: its `lines(limit)` are the raw lines.
    Raises OSError when the path cannot be opened."""
    return open_stream(path)


_NUMBER = (int, float)


def _bad_number(v) -> bool:
    return type(v) is bool or not isinstance(v, _NUMBER)


_LIST = {list}
_TWO = {2}
_INT = {int}
_FLOAT = {float}


def _pairs_ok(features: list) -> bool:
    """[[int >= 0, float], ...], checked with C-level passes (this runs on
    every decision line and the vectors are long)."""
    if set(map(type, features)) != _LIST or set(map(len, features)) != _TWO:
        return False
    indices, values = zip(*features)
    return (set(map(type, indices)) == _INT and min(indices) >= 0
            and set(map(type, values)) == _FLOAT)


_STR = {str}
_DICT = {dict}


def _candidates_ok(candidates: list) -> bool:
    """[[str, dict], ...]. A plain loop: candidate lists are short, and for
    a few items it beats the set(map()) passes _pairs_ok takes."""
    for c in candidates:
        if type(c) is not list or len(c) != 2 or type(c[0]) is not str \
                or type(c[1]) is not dict:
            return False
    return True


def _is_u64(v) -> bool:
    return type(v) is int and 0 <= v < 1 << 64


def _decision_fault(data: dict, items: bool) -> Optional[str]:
    """check_structure of a decision line; with items False the candidates'
    items are left to `decide`, which refuses any that is not a [name,
    object] pair (as tuples) and costs nothing more where it runs anyway."""
    bits = data.get("bits")
    if type(bits) is not int or not 1 <= bits <= 24:
        return "'bits' is not an integer from 1 to 24"
    if type(data.get("context")) is not dict:
        return "'context' is not an object"
    candidates = data.get("candidates")
    if type(candidates) is not list:
        return "'candidates' is not an array"
    if items and candidates and not _candidates_ok(candidates):
        return "'candidates' holds an item that is not a [name, object] pair"
    r = data.get("record")
    if type(r) is not dict:
        return "'record' is not an object"
    if type(r.get("decision_id")) is not str:
        return "'record.decision_id' is not a string"
    if type(r.get("t")) is not float:
        return "'record.t' is not a number"
    if not _is_u64(r.get("candidate_hash")):
        return "'record.candidate_hash' is not an unsigned 64-bit integer"
    chosen = r.get("chosen")
    if type(chosen) is not int or chosen < 0:
        return "'record.chosen' is not a non-negative integer"
    features = r.get("features")
    if type(features) is not list:
        return "'record.features' is not an array"
    if features and features_text(features) is None and not _pairs_ok(features):
        return "'record.features' holds an item that is not an [index, number] pair"
    if type(r.get("propensity")) is not float:
        return "'record.propensity' is not a number"
    if not _is_u64(r.get("model_version")):
        return "'record.model_version' is not an unsigned 64-bit integer"
    if type(r.get("salt")) is not str:
        return "'record.salt' is not a string"
    return None


def check_structure(data) -> Optional[str]:
    """Why `data` is not a decision or resolution line, or None when it is.

    Checks keys and types only (values are judged by `verify`); the feature
    values inside contexts and candidates are left to `decide`."""
    if type(data) is not dict:
        return "not a JSON object"
    event = data.get("event")
    if event == "decision":
        return _decision_fault(data, True)
    if event == "resolution":
        if type(data.get("decision_id")) is not str:
            return "'decision_id' is not a string"
        if data.get("kind") not in ("rewarded", "expired"):
            return "'kind' is neither \"rewarded\" nor \"expired\""
        if "reward" not in data:
            return "'reward' is missing"
        reward = data["reward"]
        if reward is not None and type(reward) is not float:
            return "'reward' is neither a number nor null"
        return None
    if event == "outcome":
        if type(data.get("decision_id")) is not str:
            return "'decision_id' is not a string"
        if type(data.get("reward")) is not float:
            return "'reward' is not a number"
        if type(data.get("t")) is not float:
            return "'t' is not a number"
        return None
    if event == "watermark":
        if type(data.get("t")) is not float:
            return "'t' is not a number"
        if data.get("final", False) is not True and "final" in data:
            return "'final' is not true"
        return None
    return ("'event' is neither \"decision\", \"resolution\", \"outcome\" "
            "nor \"watermark\"")


try:  # optional speed-up (the "fast" extra); json remains the reference
    import orjson as _orjson
    _fast_loads = _orjson.loads
    _fast_dumps = _orjson.dumps
except ImportError:  # pragma: no cover - depends on the installation
    _fast_loads = _fast_dumps = None

# orjson writes a list of pairs as "[[i,v],...]" without spaces, an int as
# bare digits and a finite float always with a "." or an exponent "e" (NaN
# and infinities as "null"). Deleting the digits and signs and reading "e"
# as "." leaves "[[,.],[,.],...]" exactly when every item is an [int, finite
# float] pair; a float with both a point and an exponent leaves "..".
_SKELETON_MAP = bytes.maketrans(b"e", b".")
_SKELETON_DELETE = b"0123456789+-"
_skeletons: dict = {}
_last_text: tuple = (None, None)


def _skeleton(n: int) -> bytes:
    s = _skeletons.get(n)
    if s is None:
        s = b"[" + b",".join([b"[,.]"] * n) + b"]"
        if len(_skeletons) < 64:
            _skeletons[n] = s
    return s


def features_text(features: list) -> Optional[bytes]:
    """orjson's text of a line's `record.features` when it certainly is a
    list of [int >= 0, finite float] pairs, else None (no orjson, an item of
    another shape, NaN or an infinity: the caller takes the long way).

    Two C-level passes instead of a pass per item and type; the text also
    serves to compare the replayed features bit for bit. The last result is
    kept for the same list object, which the log's reader and the replay
    ask for in turn (parsed lines are never modified)."""
    global _last_text
    if _last_text[0] is features:
        return _last_text[1]
    text = None
    if _fast_dumps is not None:
        try:
            text = _fast_dumps(features)
        except TypeError:  # an integer beyond 64 bits, or not JSON at all
            text = None
        if text is not None and (
                text.translate(_SKELETON_MAP, _SKELETON_DELETE).replace(b"..", b".")
                != _skeleton(len(features)) or b"[-" in text):
            text = None
    _last_text = (features, text)
    return text

# orjson reads an integer literal beyond 64 bits as a float; json keeps it an
# int. Such a literal has at least 19 digits in a row (floats in a log line
# are written by repr, which never writes more than 17 digits in a row). The
# only long run in an ordinary line is the candidate hash, which fits 64 bits.
_DIGITS_TO_ZERO = bytes.maketrans(b"123456789", b"000000000")
_LONG_RUN = b"0" * 19
_HASH_KEY = b'"candidate_hash":'


def _same_as_json(raw: bytes) -> bool:
    """Whether orjson certainly reads this line as json does. orjson refuses
    NaN, infinities and lone surrogates outright (json then reads the line);
    what remains is the long integers, found by one pass over the bytes."""
    digits = raw.translate(_DIGITS_TO_ZERO)
    run = digits.find(_LONG_RUN)
    if run == -1:
        return True
    key = raw.find(_HASH_KEY)
    if key == -1 or run != key + len(_HASH_KEY):
        return False
    end = run + 19
    if digits[end:end + 1] == b"0":
        end += 1  # a 20-digit hash
        if digits[end:end + 1] == b"0":
            return False  # 21 digits and more: beyond 64 bits
    return digits.find(_LONG_RUN, end) == -1


def _loads(raw: bytes):
    data = None
    if _fast_loads is not None and _same_as_json(raw):
        try:
            data = _fast_loads(raw)
        except ValueError:
            pass
    if data is None:
        data = _reference_loads(raw)
    return data


def _reference_loads(raw: bytes):
    """json.loads, with two texts no log line holds made a ValueError:
    nesting deeper than the interpreter recurses (RecursionError otherwise),
    and a lone surrogate escape, a string that cannot be printed nor passed
    to the engine (orjson refuses it, json does not)."""
    try:
        data = json.loads(raw)
        if b"\\ud" in raw or b"\\uD" in raw:
            json.dumps(data, ensure_ascii=False).encode("utf-8")
    except RecursionError:
        raise ValueError("nested too deeply") from None
    except UnicodeEncodeError:
        raise ValueError("a string holds a lone surrogate escape") from None
    return data


def parse_line(raw: bytes):
    """(the parsed line, None) or (the parsed value, why it is not a log
    line). Raises ValueError when the text is not JSON at all."""
    data = _loads(raw)
    return data, check_structure(data)


class LazyFeatures:
    """A decision line's `record.features` left unparsed: `text` is their
    text in the line, `raw` the whole line. A replay compares `text` with
    the replayed features' orjson text; only when they differ is the line
    parsed in full (`full_data`), so a well-formed line never builds the
    long list of pairs."""

    __slots__ = ("text", "raw")

    def __init__(self, text: bytes, raw: bytes) -> None:
        self.text = text
        self.raw = raw


def _parse_lazy(raw: bytes, items: bool = True) -> Optional[dict]:
    """A decision line parsed with its features as a LazyFeatures, or None
    when the line does not take this way (it is then read in full). With
    items False the candidates' items are left unchecked too, for a replay
    whose `decide` checks them (see _decision_fault).

    The features' text is cut out and a 0 put in its place: the text
    between the last key "features" before the record's "propensity" and
    that key. Outside strings the bytes '"features":[[' can only be that
    key (a quote inside a string is escaped); JSON keeps the last of
    duplicate keys, so an earlier one is overridden by the cut, and without
    "\\u" escapes a later one would show as the same bytes after the cut.
    So when none follows and the parsed record holds the 0, the whole line
    is that parse with the features in it, provided the cut text is a JSON
    value. The replay proves that by finding it equal to orjson's text of
    the replayed features. Both searches start from the line's end, where
    the record is, so the context and candidates are not scanned.

    The rest is read by orjson without the guard for integers beyond 64
    bits (a pass over the whole line): the record's integers are checked to
    be ints, which orjson gives exactly up to 64 bits (a larger one comes as
    a float, fails the check and sends the line the long way), and a number
    in a context or candidate reaches only `decide`, which takes every
    number as the double orjson already made of it."""
    if _fast_loads is None:
        return None
    tail = raw.rfind(b']],"propensity":')
    if tail == -1:
        return None
    first = raw.rfind(b'"features":[[', 0, tail)
    if first == -1:
        return None
    start = first + 11
    end = tail + 2
    if raw.find(b'"features"', end) != -1:
        return None
    if b"\\" in raw and b"\\u" in raw:  # one-byte search first: most lines have no escape
        return None
    cut = raw[:start] + b"0" + raw[end:]
    try:
        data = _fast_loads(cut)
    except ValueError:  # NaN, infinities: the reference reads them
        try:
            data = _reference_loads(cut)
        except ValueError:
            return None
    record = data.get("record") if type(data) is dict else None
    if type(record) is not dict or data.get("event") != "decision":
        return None
    placeholder = record.get("features")
    if type(placeholder) is not int or placeholder != 0:
        return None
    record["features"] = []
    if _decision_fault(data, items) is not None:
        return None
    record["features"] = LazyFeatures(raw[start:end], raw)
    return data


def full_data(file: str, line: int, raw: bytes) -> dict:
    """The line read in full, as `iter_events` reads it (raising LogError
    with its reason when the line is not a log line)."""
    try:
        data, reason = parse_line(raw)
    except ValueError as e:
        raise LogError(file, line, f"not valid JSON ({e})") from None
    if reason is not None:
        raise LogError(file, line, reason)
    return data


# Plain [index, decimal] pairs, as orjson writes the usual vector: such a
# text is JSON and a list of [int >= 0, float] pairs.
_PLAIN_NUMBER = rb"(?:0|[1-9]\d*)"
_PLAIN_PAIR = rb"\[" + _PLAIN_NUMBER + rb",-?" + _PLAIN_NUMBER + rb"\.\d+\]"
_PLAIN_PAIRS = re.compile(rb"\[" + _PLAIN_PAIR + rb"(?:," + _PLAIN_PAIR + rb")*\]")


def check_lazy_features(file: str, line: int, features: LazyFeatures) -> None:
    """For a reader that never compares a LazyFeatures with replayed
    features: raises LogError, as the full read does, when the line is
    no log line. A text other than plain pairs is judged by `full_data`."""
    if _PLAIN_PAIRS.fullmatch(features.text) is None:
        full_data(file, line, features.raw)


def _excerpt(raw: bytes) -> str:
    if len(raw) <= EXCERPT:
        return raw.decode("utf-8", "replace")
    return raw[:EXCERPT].decode("utf-8", "replace") + f"... ({len(raw):,} bytes)"


def _log_like(data) -> bool:
    """A damaged log line still shows what it was meant to be."""
    return type(data) is dict and data.get("event") in LINE_KINDS


def _state_like(raw: bytes) -> bool:
    return raw[:64].lstrip()[:16].lower() == _STATE_START


def _not_a_log(name: str, raw: bytes) -> ReadError:
    if _state_like(raw):
        return ReadError(name, None, "this looks like a state file; pass it with --state")
    return ReadError(name, None, "not an experience log")


def iter_events(paths: Iterable[str], *, incomplete: str = "warn",
                progress: Optional[Callable[[int], None]] = None,
                malformed: str = "error", lazy_features: "bool | str" = False,
                max_line_bytes: Optional[int] = None) -> Iterator[Event]:
    """Every line of the logs as an `Event`, in file order then line order.

    With lazy_features, a decision line may come with its `record.features`
    a `LazyFeatures`, for a replay that compares them as text and calls
    `full_data` when they differ (or `check_lazy_features`); such a line's
    features are not yet known to be sound, whatever `malformed` says. With
    lazy_features="replay" its candidates' items are not checked either:
    the caller's `decide` refuses any that is not a [name, object] pair,
    and the caller reads such a line in full to say why.

    A malformed line raises `LogError` (with malformed="report" it is
    yielded as kind "malformed" instead). A last line that does not end in a
    newline and does not parse is the mark of a crash during an append:
    incomplete="warn" skips it with a warning on standard error, "report"
    yields it as kind "incomplete", "error" raises `LogError`.

    Whatever the modes, `ReadError` ends the reading when a file cannot be
    read as a log: none of its first FIRST_LINES lines is a log line (a
    state file is named as such), a line is longer than `max_line_bytes`
    (default: the `line_limit` in force, MAX_LINE_BYTES unless set), or its
    compressed data is corrupt (data cut short is a torn last line).

    `progress`, if given, is called with the number of lines read so far
    (over all files) every few thousand lines and at the end of each file.
    Opening a file that cannot be read raises OSError."""
    if incomplete not in ("warn", "report", "error"):
        raise ValueError("incomplete must be 'warn', 'report' or 'error'")
    if malformed not in ("error", "report"):
        raise ValueError("malformed must be 'error' or 'report'")
    lazy = lazy_features and _fast_dumps is not None
    items = lazy_features != "replay"
    report = malformed == "report"
    if max_line_bytes is None:
        max_line_bytes = _limit[0]
    total = 0
    for path in paths:
        stream = open_log(path)
        name = stream.name
        # Until a line shows the file is a log, its faults wait here: a
        # file none of whose first lines is a log line is refused whole.
        held: list = []
        judging = True
        try:
            number = 0
            for raw in stream.lines(max_line_bytes):
                number += 1
                total += 1
                if progress is not None and not total % PROGRESS_EVERY:
                    progress(total)
                torn = raw is _CUT or not raw.endswith(b"\n")
                data = None
                if torn:
                    if len(raw) > max_line_bytes and raw is not _CUT:
                        if judging and raw[:64].lstrip()[:1] != b"{":
                            raise _not_a_log(name, raw)
                        raise ReadError(name, number, f"a line longer than {max_line_bytes:,} "
                                        "bytes (--max-line-bytes raises the limit)")
                elif lazy:
                    data = _parse_lazy(raw, items)
                if data is None:
                    try:
                        if raw is _CUT:
                            raise ValueError("the compressed stream ends early")
                        data, reason = parse_line(raw)
                    except ValueError as e:  # not JSON, undecodable bytes, nested too deeply
                        if torn:
                            if judging and raw is not _CUT and _state_like(raw):
                                raise _not_a_log(name, raw) from None
                            if incomplete == "warn":
                                print(f"ordwyne: warning: {name}:{number}: incomplete last line "
                                      "skipped (the log was cut during an append)",
                                      file=sys.stderr)
                                continue
                            if incomplete == "report":
                                text = "" if raw is _CUT else _excerpt(raw)
                                yield Event(name, number, {"text": text}, "incomplete")
                                continue
                            raise LogError(name, number, "incomplete last line") from None
                        data = None
                        reason = f"not valid JSON ({e})" if raw.strip() else "empty line"
                    if reason is not None:
                        if judging:
                            if not _log_like(data):
                                if _state_like(raw):
                                    raise _not_a_log(name, raw)
                                held.append((number, reason, raw, data))
                                if len(held) == FIRST_LINES:
                                    raise _not_a_log(name, held[0][2])
                                continue
                            judging = False
                            yield from _faults(name, held, report)
                        yield from _faults(name, [(number, reason, raw, data)], report)
                        continue
                if judging:
                    judging = False
                    yield from _faults(name, held, report)
                yield Event(name, number, data, data["event"])
            if held and judging:
                raise _not_a_log(name, held[0][2])
        except CorruptData as e:
            raise ReadError(name, None, str(e)) from None
        except LogError as e:
            if type(e) is LogError and stream.compressed:
                _check_the_rest(stream, name, max_line_bytes)
            raise
        finally:
            stream.close()
        if progress is not None:
            progress(total)


def _check_the_rest(stream: LogStream, name: str, limit: int) -> None:
    """Damage that still decodes shows first as a bad line and only later
    as a decoder or checksum error: for a compressed log, the error is the
    one to report, so the rest is decoded (and dropped) to look for it."""
    try:
        for _ in stream.lines(limit):
            pass
    except CorruptData as e:
        raise ReadError(name, None, str(e)) from None


def _faults(name: str, faults: list, report: bool) -> Iterator[Event]:
    """Malformed lines as events, or the first of them as a LogError."""
    for number, reason, raw, value in faults:
        if not report:
            raise LogError(name, number, reason)
        data = {"reason": reason, "text": _excerpt(raw)}
        if value is not None:
            data["value"] = value
        yield Event(name, number, data, "malformed")


def decision_inputs(data: dict):
    """(context, candidates as (name, features) tuples, t, salt, bits) of a
    decision line: the arguments `ordwyne.decide` took."""
    record = data["record"]
    return (data["context"], [tuple(c) for c in data["candidates"]], record["t"],
            record["salt"], data["bits"])


def decision_count_of(decision_id: str) -> Optional[int]:
    """The decision counter in an id (the digits after its last ":"), or None
    when the id does not end in ":" and a canonical decimal number."""
    _, sep, digits = decision_id.rpartition(":")
    if not sep or not digits.isascii() or not digits.isdigit():
        return None
    if len(digits) > 1 and digits[0] == "0":
        return None
    return int(digits)
