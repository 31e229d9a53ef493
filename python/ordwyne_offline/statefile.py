"""Reading the `serialize` text in pure Python.

The text is hexadecimal over a little-endian layout: magic, version, the
model header, the arrays a and b (dim doubles each), the counters and
parameters, the pending records, and an FNV-1a 64 checksum. Everything but
the two arrays sits in the first 96 and the last few characters of the
text, so the parameters and the pending records are read from slices and a
bits-24 state (a 537 MB text) is never decoded whole. The arrays are
visited in chunks only when model statistics are asked for.

Messages for a bad state are the engine's own; the checksum, which needs
every byte, is left to the engine (`ordwyne.deserialize`).

A file is read whole only when its beginning is a state's (hexadecimal
text starting with the magic): anything else, a 500 MB file of garbage or
/dev/zero, is judged by its first HEAD_CHECK bytes, which give the engine's
own message.
"""

from __future__ import annotations

import binascii
import math
import struct
from array import array
from dataclasses import dataclass, field
from typing import List, Optional, Tuple

__all__ = ["StateError", "PendingRecord", "StateInfo", "parse_state", "read_state",
           "read_state_text", "read_state_buffer", "model_stats", "engine_check",
           "checksum_verified"]

MAGIC = b"ordwyne\x00"
HEADER = 48  # bytes before the arrays
CHUNK = 1 << 16  # doubles per chunk when scanning the arrays
HEAD_CHECK = 1 << 16  # bytes read before deciding whether to read the rest
_WHITESPACE = b" \t\r\n"
_HEX = b"0123456789abcdefABCDEF"

_U64 = struct.Struct("<Q")
_F64 = struct.Struct("<d")


class StateError(ValueError):
    """The text is not a readable state; the message is the engine's."""


@dataclass
class PendingRecord:
    decision_id: str
    t: float
    candidate_hash: int
    chosen: int
    features: List[Tuple[int, float]]
    propensity: float
    model_version: int
    salt: str


@dataclass
class StateInfo:
    dim: int
    ridge: float
    forgetting: float
    scale: float
    decision_count: int
    model_version: int
    horizon: float
    default_reward: float
    epsilon: float
    records: List[PendingRecord] = field(default_factory=list)

    @property
    def bits(self) -> Optional[int]:
        """log2 of dim when dim is 2**bits with bits in [1, 24], else None."""
        d = self.dim
        if d and not d & (d - 1) and 1 <= d.bit_length() - 1 <= 24:
            return d.bit_length() - 1
        return None


def _starts_like_a_state(text: bytes) -> bool:
    """Hexadecimal throughout (as far as `text` goes) and the magic first."""
    return (text[:16].lower() == MAGIC.hex().encode()
            and not text.translate(None, _HEX))


def read_state(path: str, as_text: bool = True):
    """(the state text, whether it is the whole file). The text has no
    surrounding whitespace (hosts often end the file with a newline); it is
    a str when `as_text`, else a read-only buffer of the file's bytes,
    which spares a copy (a bits-24 state is 537 MB of text). A file whose
    first bytes are not a state's beginning gives only those bytes (an even
    number of them): the engine's message for them is the message for the
    file."""
    with open(path, "rb") as f:
        raw = f.read(HEAD_CHECK + 1)
        lead = len(raw) - len(raw.lstrip(_WHITESPACE))
        whole = len(raw) <= HEAD_CHECK
        if not whole and _starts_like_a_state(raw[lead:lead + 2 * HEADER]):
            if f.seekable():
                f.seek(0)
                raw = f.read()
            else:
                raw = raw + f.read()
            whole = True
    end = len(raw)
    if whole:
        while end > lead and raw[end - 1] in _WHITESPACE:
            end -= 1
    else:
        end = lead + (end - lead) // 2 * 2
    view = memoryview(raw)[lead:end]
    if not as_text:
        return view, whole
    # latin-1 maps every byte to one character, so stray bytes stay stray
    # characters for the engine's hexadecimal check, one byte each in memory
    text = str(view, "latin-1")
    del view, raw
    return text, whole


def read_state_text(path: str) -> str:
    """A state file's text, as read_state gives it."""
    return read_state(path)[0]


def read_state_buffer(path: str) -> memoryview:
    """A state file's characters as a read-only buffer, as read_state gives
    it. The functions here accept it in place of the text."""
    return read_state(path, as_text=False)[0]


def checksum_verified(message: Optional[str], size: int) -> Optional[bool]:
    """Whether the engine got as far as the checksum and found it right
    (True) or wrong (False), from its answer for a text of `size` decoded
    bytes; None when it stopped before: not hexadecimal, shorter than 24
    bytes, or without the magic."""
    if message is None:
        return True
    if message == "state checksum mismatch":
        return False
    if message in ("state must be a hexadecimal string", "not a ordwyne state (bad magic)") \
            or (message == "truncated state" and size < 24):
        return None
    return True


def _unhex(text) -> bytes:
    """Hex text (str, bytes or a buffer of ASCII) to bytes; strict: no
    whitespace or other characters."""
    try:
        return binascii.unhexlify(text)
    except (binascii.Error, ValueError):
        raise StateError("state must be a hexadecimal string") from None


class _Cursor:
    __slots__ = ("data", "pos")

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def u64(self) -> int:
        if self.pos + 8 > len(self.data):
            raise StateError("truncated state")
        self.pos += 8
        return _U64.unpack_from(self.data, self.pos - 8)[0]

    def f64(self) -> float:
        if self.pos + 8 > len(self.data):
            raise StateError("truncated state")
        self.pos += 8
        return _F64.unpack_from(self.data, self.pos - 8)[0]

    def string(self) -> str:
        n = self.u64()
        if n > len(self.data) - self.pos:
            raise StateError("truncated state")
        self.pos += n
        try:
            return self.data[self.pos - n:self.pos].decode("utf-8")
        except UnicodeDecodeError:
            raise StateError("state string is not valid UTF-8") from None


def parse_state(text: str) -> StateInfo:
    """Everything but the model arrays and the checksum, checked in the
    engine's order (the checksum test aside). Raises StateError."""
    if len(text) % 2:
        raise StateError("state must be a hexadecimal string")
    head = _unhex(text[:2 * HEADER])
    size = len(text) // 2
    if size < 24:
        raise StateError("truncated state")
    if head[:8] != MAGIC:
        raise StateError("not a ordwyne state (bad magic)")
    version = _U64.unpack_from(head, 8)[0]
    if version != 1:
        raise StateError(f"unsupported state format version {version}")
    if size < 40:
        raise StateError("truncated state")
    body_end = size - 8  # the checksum is not part of what the reader walks
    dim = _U64.unpack_from(head, 16)[0]
    ridge = _F64.unpack_from(head, 24)[0]
    if body_end < HEADER:
        raise StateError("truncated state")
    forgetting = _F64.unpack_from(head, 32)[0]
    scale = _F64.unpack_from(head, 40)[0]
    if dim == 0:
        raise StateError("dim must be at least 1")
    if not 0.0 < forgetting <= 1.0:
        raise StateError("forgetting must be in (0, 1] (1.0 = never forget)")
    if not ridge > 0.0:
        raise StateError("ridge must be positive")
    if not 0.0 < scale <= 1.0:
        raise StateError("scale must be in (0, 1]")
    tail_start = HEADER + 16 * dim
    if tail_start > body_end:
        raise StateError("truncated state")
    cur = _Cursor(_unhex(text[2 * tail_start:2 * body_end]))
    info = StateInfo(dim=dim, ridge=ridge, forgetting=forgetting, scale=scale,
                     decision_count=cur.u64(), model_version=cur.u64(), horizon=cur.f64(),
                     default_reward=cur.f64(), epsilon=cur.f64())
    if not info.horizon > 0.0:
        raise StateError("horizon must be positive")
    if not 0.0 <= info.epsilon <= 1.0:
        raise StateError("epsilon must be in [0, 1]")
    count = cur.u64()
    for _ in range(count):  # no reservation: a forged count runs out of bytes
        decision_id = cur.string()
        t = cur.f64()
        candidate_hash = cur.u64()
        chosen = cur.u64()
        m = cur.u64()
        features = []
        previous = -1
        for _ in range(m):
            index = cur.u64()
            value = cur.f64()
            if index >= dim or index <= previous or value == 0.0:
                raise StateError("record features must be (index, value) pairs in strictly "
                                 "increasing index order within the model dimension, "
                                 "values nonzero")
            previous = index
            features.append((index, value))
        info.records.append(PendingRecord(decision_id, t, candidate_hash, chosen, features,
                                          cur.f64(), cur.u64(), cur.string()))
    if cur.pos != len(cur.data):
        raise StateError("trailing bytes in state")
    return info


def engine_check(text: str) -> Optional[str]:
    """None when the engine accepts the text, else the engine's message.
    This loads the model into the engine once (the checksum needs every byte)."""
    import ordwyne
    if not isinstance(text, str):
        text = str(text, "ascii", "replace")  # a copy: the engine takes only str
    try:
        state = ordwyne.deserialize(text)
    except ValueError as e:
        return str(e)
    del state
    return None


def _doubles(text: str, start: int, count: int):
    """The doubles at byte offset `start`, `count` of them, in chunks."""
    for first in range(0, count, CHUNK):
        n = min(CHUNK, count - first)
        lo = 2 * (start + 8 * first)
        chunk = array("d")
        chunk.frombytes(_unhex(text[lo:lo + 16 * n]))
        if struct.pack("=d", 1.0) != _F64.pack(1.0):  # big-endian host
            chunk.byteswap()
        yield chunk


def model_stats(text: str, dim: int) -> dict:
    """Non-zero coordinates, the largest |b/a| over coordinates with a != 0
    (the learned per-coordinate weight before the ridge), and counts of NaN
    and infinite entries in a and b. Reads the arrays chunk by chunk."""
    nonzero = 0
    nan = inf = 0
    largest = 0.0
    isfinite = math.isfinite
    a_start, b_start = HEADER, HEADER + 8 * dim
    for a, b in zip(_doubles(text, a_start, dim), _doubles(text, b_start, dim)):
        n = len(a)
        zero_pairs = sum(1 for x, y in zip(a, b) if x == 0.0 and y == 0.0) \
            if a.count(0.0) and b.count(0.0) else 0
        nonzero += n - zero_pairs
        if not all(map(isfinite, a)) or not all(map(isfinite, b)):
            for x in a:
                if x != x:
                    nan += 1
                elif not isfinite(x):
                    inf += 1
            for x in b:
                if x != x:
                    nan += 1
                elif not isfinite(x):
                    inf += 1
        for x, y in zip(a, b):
            if x != 0.0:
                try:
                    r = abs(y / x)
                except (OverflowError, ZeroDivisionError):
                    continue
                if r > largest:
                    largest = r
    return {"nonzero_coordinates": nonzero, "largest_abs_b_over_a": largest,
            "nan_values": nan, "infinite_values": inf}
