"""A log's bytes as text lines, whatever it is stored in.

gzip and zstd are recognised by their first bytes, not by the name, so a
compressed log without its suffix, or piped to standard input, reads the
same. Decompression works in bounded steps (no step holds more than
READ_SIZE bytes of text, or one zstd block), and lines are read with a
length bound, so a small file that expands without end costs bounded
memory.

A compressed stream can end in two ways short of its proper end. Cut
short (the writer crashed while appending): the text decoded so far is
returned, and the stream reports `cut`, which the reader turns into an
incomplete last line. Damaged (a decoder error, or bytes that are no
frame at all): `CorruptData` names the byte offset in the stored file.
"""

from __future__ import annotations

import io
import sys
import zlib
from functools import partial
from typing import Callable, Iterator, Optional

__all__ = ["CorruptData", "LogStream", "open_stream", "READ_SIZE", "CUT"]

READ_SIZE = 1 << 20  # stored bytes read at a time; also the most text one step decodes
CUT = b"<cut>"  # stands for the lost tail of a compressed log cut during a write

_GZIP = b"\x1f\x8b"
_ZSTD = b"\x28\xb5\x2f\xfd"


class CorruptData(Exception):
    """Compressed data that cannot be decoded; `offset` is where, in the
    stored file, the decoder failed."""

    def __init__(self, what: str, offset: int, detail: str) -> None:
        super().__init__(what, offset, detail)
        self.what = what
        self.offset = offset
        self.detail = detail

    def __str__(self) -> str:
        return f"corrupt {self.what} data at byte {self.offset:,} ({self.detail})"


class _Chunks(io.RawIOBase):
    """A raw stream over a generator of bytes chunks, for io.BufferedReader.
    The generator's return value, True when the data was cut short, is kept
    as `cut`; `last` is the last byte handed out (None before any)."""

    def __init__(self, chunks: Iterator[bytes]) -> None:
        self._chunks: Optional[Iterator[bytes]] = chunks
        self._left = memoryview(b"")
        self.cut = False
        self.last: Optional[int] = None

    def readable(self) -> bool:
        return True

    def readinto(self, b) -> int:
        while not self._left:
            if self._chunks is None:
                return 0
            try:
                self._left = memoryview(next(self._chunks))
            except StopIteration as end:
                self._chunks = None
                self.cut = bool(end.value)
                return 0
        n = min(len(b), len(self._left))
        b[:n] = self._left[:n]
        self.last = self._left[n - 1]
        self._left = self._left[n:]
        return n


def _stored(head: bytes, read: Callable[[int], bytes]) -> Iterator[bytes]:
    """The stored bytes as they come: the head already read, then the rest."""
    if head:
        yield head
    while True:
        data = read(READ_SIZE)
        if not data:
            return False
        yield data


# -- gzip ----------------------------------------------------------------

def _inflate_fails(before, piece: bytes) -> bool:
    d = before.copy()
    try:
        while piece:
            d.decompress(piece, READ_SIZE)
            if d.eof:
                return False  # what follows the member belongs to the next one
            piece = d.unconsumed_tail
    except zlib.error:
        return True
    return False


def _failing_byte(before, data: bytes) -> int:
    """Where in `data` the decoder (as it was before `data`) fails: feeding
    data[:lo] passes and data[:hi] fails, halved until they meet."""
    lo, hi = 0, len(data)
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if _inflate_fails(before, data[:mid]):
            hi = mid
        else:
            lo = mid
    return lo


def _gunzip(stored: Iterator[bytes]) -> Iterator[bytes]:
    """The text of gzip members one after another (each appending session
    may add one; zero bytes between members are padding, as gzip allows).
    Returns True when the data ends inside a member."""
    offset = 0  # in the stored file, of data[0]
    data = b""
    d = None  # the member being read; None between members
    while True:
        if not data:
            data = next(stored, b"")
            if not data:
                break
        if d is None:
            padded = len(data)
            data = data.lstrip(b"\0")
            offset += padded - len(data)
            if not data:
                continue
            d = zlib.decompressobj(31)
        before = d.copy()
        try:
            out = d.decompress(data, READ_SIZE)
        except zlib.error as e:
            raise CorruptData("gzip", offset + _failing_byte(before, data), str(e)) from None
        if d.eof:
            rest = d.unused_data
            d = None
        else:
            rest = d.unconsumed_tail
        offset += len(data) - len(rest)
        data = rest
        if out:
            yield out
    if d is None:
        return False
    while True:  # what the decoder still holds of a member cut short
        out = d.decompress(b"", READ_SIZE)
        if not out:
            return not d.eof
        yield out


# -- zstd ----------------------------------------------------------------

class _Taker:
    """Stored bytes taken piece by piece, with their offset in the file."""

    def __init__(self, stored: Iterator[bytes]) -> None:
        self._stored = stored
        self._buf = b""
        self._pos = 0
        self.offset = 0

    def take(self, n: int) -> Optional[bytes]:
        """The next n bytes, or None when the data ends first."""
        while len(self._buf) - self._pos < n:
            data = next(self._stored, b"")
            if not data:
                return None
            self._buf = self._buf[self._pos:] + data
            self._pos = 0
        piece = self._buf[self._pos:self._pos + n]
        self._pos += n
        self.offset += n
        return piece

    def rest(self) -> bytes:
        """What is left once take() came back empty-handed (fewer bytes than asked)."""
        return self._buf[self._pos:]


_FRAME_FIELDS = ((0, 1, 2, 4), (0, 2, 4, 8))  # dictionary id, content size, by their flags


def _unzstd(stored: Iterator[bytes], zstandard) -> Iterator[bytes]:
    """The text of zstd frames one after another. The frame and block
    headers are walked here, so the decoder gets one whole block at a time
    (at most 128 KiB of text), the offset of a damaged block is known, and
    data that ends inside a frame is told from data that ends between
    frames. Returns True when the data ends inside a frame."""
    src = _Taker(stored)
    dctx = zstandard.ZstdDecompressor()
    error = zstandard.ZstdError

    def feed(obj, piece: bytes, at: int) -> bytes:
        try:
            return obj.decompress(piece)
        except error as e:
            raise CorruptData("zstd", at, str(e)) from None

    while True:
        start = src.offset
        magic = src.take(4)
        if magic is None:
            rest = src.rest()
            if rest and not _ZSTD.startswith(rest):
                raise CorruptData("zstd", start, "not a zstd frame")
            return bool(rest)
        if magic[1:] == b"\x2a\x4d\x18" and magic[0] & 0xF0 == 0x50:  # a skippable frame
            size = src.take(4)
            left = -1 if size is None else int.from_bytes(size, "little")
            while left > 0:
                piece = src.take(min(READ_SIZE, left))
                left = -1 if piece is None else left - len(piece)
            if left < 0:
                return True
            continue
        if magic != _ZSTD:
            raise CorruptData("zstd", start, "not a zstd frame")
        descriptor = src.take(1)
        if descriptor is None:
            return True
        fhd = descriptor[0]
        if fhd & 0x08:
            raise CorruptData("zstd", start + 4, "reserved bit set in the frame header")
        single = fhd >> 5 & 1
        fields = src.take((1 - single) + _FRAME_FIELDS[0][fhd & 3]
                          + (_FRAME_FIELDS[1][fhd >> 6] or single))
        if fields is None:
            return True
        obj = dctx.decompressobj()
        feed(obj, magic + descriptor + fields, start)
        while True:
            at = src.offset
            header = src.take(3)
            if header is None:
                return True
            h = int.from_bytes(header, "little")
            kind = h >> 1 & 3
            if kind == 3:
                raise CorruptData("zstd", at, "reserved block type")
            body = src.take(1 if kind == 1 else h >> 3)
            if body is None:
                return True
            out = feed(obj, header + body, at)
            if out:
                yield out
            if h & 1:
                break
        if fhd & 0x04:
            at = src.offset
            checksum = src.take(4)
            if checksum is None:
                return True
            feed(obj, checksum, at)


# -- opening ---------------------------------------------------------------

class LogStream:
    """One log's text. `lines(limit)` gives its lines, each at most
    `limit + 1` bytes (a longer line comes back as its first limit + 1
    bytes, without a newline), and then, for compressed data cut short
    after a complete line, CUT once."""

    def __init__(self, name: str, text, decoded: Optional[_Chunks], close) -> None:
        self.name = name
        self._text = text
        self._decoded = decoded
        self._close = close

    @property
    def compressed(self) -> bool:
        return self._decoded is not None

    def lines(self, limit: int) -> Iterator[bytes]:
        yield from iter(partial(self._text.readline, limit + 1), b"")
        d = self._decoded
        if d is not None and d.cut and d.last in (None, 10):
            yield CUT

    def close(self) -> None:
        if self._close is not None:
            self._close()


def _head(f):
    """(the first four bytes, whether reading them consumed them). A file
    that seeks goes back to its start; a pipe peeks, and may offer fewer
    bytes at first, which are then read."""
    if f.seekable():
        head = f.read(4)
        f.seek(0)
        return head, False
    peek = getattr(f, "peek", None)
    head = peek(4)[:4] if peek is not None else b""
    if len(head) == 4:
        return head, False
    return f.read(4), True


def _zstandard(path: str):
    try:
        import zstandard
    except ImportError:
        raise OSError(f"{path}: reading zstd-compressed logs needs the zstandard package "
                      "(pip install 'ordwyne[zstd]')") from None
    return zstandard


def open_stream(path: str) -> LogStream:
    """A LogStream for a path: '-' is standard input (left open), a URL is
    opened through fsspec. Raises OSError when it cannot be opened."""
    name = "<stdin>" if path == "-" else path
    if path == "-":
        f, close = sys.stdin.buffer, None
    elif "://" in path:
        try:
            import fsspec
        except ImportError:
            raise OSError(f"{path}: reading a URL needs the fsspec package "
                          "(pip install 'ordwyne[cluster]')") from None
        f = fsspec.open(path, "rb").open()
        close = f.close
    else:
        if path.endswith(".zst"):
            _zstandard(path)  # say what is missing before anything else
        f = open(path, "rb", buffering=READ_SIZE)
        close = f.close
    try:
        head, consumed = _head(f)
        consumed = head if consumed else b""
        read = getattr(f, "read1", f.read)
        if head.startswith(_GZIP):
            decoded = _Chunks(_gunzip(_stored(consumed, read)))
        elif head.startswith(_ZSTD):
            decoded = _Chunks(_unzstd(_stored(consumed, read), _zstandard(path)))
        elif consumed or not isinstance(f, io.BufferedReader):
            text = io.BufferedReader(_Chunks(_stored(consumed, read)), READ_SIZE)
            return LogStream(name, text, None, close)
        else:  # plain text straight from the file's own buffer
            return LogStream(name, f, None, close)
        return LogStream(name, io.BufferedReader(decoded, READ_SIZE), decoded, close)
    except BaseException:
        if close is not None:
            close()
        raise
