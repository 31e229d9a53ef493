"""Where a fleet's events travel: files in a directory, or Redis Streams.

Files: each worker process appends to a file of its own in one directory
(`<name>.<host>.<pid>.<start>.jsonl`), a line per write, so a killed
worker loses at most the line it was writing. The learner lists the
directory for new files.

Redis: each worker incarnation appends to a stream of its own,
`<prefix>:events:<source name>`, one field "line" per entry, and names
the stream in the set `<prefix>:sources` first. Appends are pipelined
(flushed every few dozen lines, at refresh and at close); each entry's id
is the line's number, so a batch sent again after a lost connection adds
nothing twice. The learner reads
each stream from the entry after the last one it applied and, once a
checkpoint covers them, trims the entries it has applied.
"""

from __future__ import annotations

import os
import time as _time
from typing import Dict, List, Optional
from urllib.parse import parse_qs, urlencode, urlsplit, urlunsplit

from .lines import Malformed, parse
from .merge import Buffered, source_name

__all__ = ["is_redis", "redact", "FileSink", "RedisSink", "open_sink", "FileFleet",
           "RedisFleet", "open_fleet", "fleet_files", "DEFAULT_PREFIX"]

DEFAULT_PREFIX = "ordwyne"
READ_CHUNK = 1 << 20
MAX_LINE = 64 << 20  # a worker's line is kilobytes; more is a damaged file
REDIS_BATCH = 64  # pipelined appends between two flushes
REDIS_READ = 2048  # entries read from one stream at a time
# lines read from one source in a round: a learner that is behind takes and
# checkpoints as it goes instead of holding its whole backlog in memory
ROUND_LINES = 4096
MAX_WAITING = 1 << 16  # lines a worker keeps while Redis is unreachable


def is_redis(where: str) -> bool:
    return where.startswith(("redis://", "rediss://", "unix://"))


def redact(url: str) -> str:
    """A URL fit to print: credentials and query replaced."""
    if not is_redis(url):
        return url
    parts = urlsplit(url)
    host = parts.hostname or ""
    if parts.port:
        host = f"{host}:{parts.port}"
    if parts.username or parts.password:
        host = "***@" + host
    return urlunsplit((parts.scheme, host, parts.path, "", ""))


def _redis_client(url: str):
    """(client, key prefix) for a redis:// URL; `prefix` is ours, the rest
    of the URL is the client's."""
    try:
        import redis
    except ImportError:
        raise OSError("Redis needs the redis package (pip install 'ordwyne[fleet]')") from None
    parts = urlsplit(url)
    query = parse_qs(parts.query)
    prefix = query.pop("prefix", [DEFAULT_PREFIX])[0]
    clean = urlunsplit((parts.scheme, parts.netloc, parts.path,
                        urlencode(query, doseq=True), parts.fragment))
    try:
        client = redis.Redis.from_url(clean)
    except ValueError as e:
        raise OSError(f"bad Redis URL {redact(url)}: {e}") from None
    return client, prefix


def _redis_error():
    import redis
    return redis.RedisError


# -- the serving side ------------------------------------------------------

class FileSink:
    """Appends lines to this process's own file, one write each."""

    def __init__(self, directory: str, source: str) -> None:
        os.makedirs(directory, exist_ok=True)
        self.path = os.path.join(directory, source + ".jsonl")
        self.fd: Optional[int] = None

    def write(self, line: str) -> None:
        if self.fd is None:
            self.fd = os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o666)
        data = (line + "\n").encode("ascii")
        view = memoryview(data)
        while view:
            view = view[os.write(self.fd, view):]

    def flush(self) -> None:
        pass

    def close(self) -> None:
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def forget(self) -> None:
        """In a forked child: the parent's file is not ours."""
        if self.fd is not None:
            try:
                os.close(self.fd)
            except OSError:
                pass
            self.fd = None


class RedisSink:
    """Appends lines to this incarnation's stream, pipelined.

    Each entry's id is the line's number in the stream, so sending a batch
    again after a lost connection adds nothing twice: Redis refuses an id
    it already holds. Lines wait in memory while Redis is unreachable and
    go with the next flush."""

    def __init__(self, url: str, source: str) -> None:
        self.url = url
        self.source = source
        self.client, self.prefix = _redis_client(url)
        self.errors = _redis_error()
        self.key = f"{self.prefix}:events:{source}"
        self.lines: List[str] = []
        self.sent = 0  # lines Redis holds
        self.named = False
        self.failure: Optional[str] = None  # the last connection error, while it lasts

    def write(self, line: str) -> None:
        if len(self.lines) >= MAX_WAITING:
            self.flush()
            if len(self.lines) >= MAX_WAITING:
                raise OSError(f"the fleet's events cannot be written ({self.failure}); "
                              f"{len(self.lines):,} lines wait for Redis")
        self.lines.append(line)
        if len(self.lines) >= REDIS_BATCH:
            self.flush()

    def flush(self) -> None:
        if not self.lines:
            return
        pipe = self.client.pipeline(transaction=False)
        if not self.named:
            pipe.sadd(f"{self.prefix}:sources", self.source)
        for i, line in enumerate(self.lines, self.sent + 1):
            pipe.xadd(self.key, {"line": line}, id=f"{i}-1")
        try:
            pipe.execute(raise_on_error=False)  # an id Redis holds already: sent before
        except self.errors as e:  # unreachable: the lines wait for the next flush
            self.failure = f"{type(e).__name__}: {e}"
            return
        self.failure = None
        self.named = True
        self.sent += len(self.lines)
        self.lines.clear()

    def close(self) -> None:
        self.flush()
        self.client.close()
        if self.lines:
            raise OSError(f"{len(self.lines):,} lines could not be written to Redis "
                          f"({self.failure})")

    def forget(self) -> None:
        """In a forked child: the parent's lines and connection are not ours."""
        self.lines = []
        try:
            self.client.connection_pool.reset()
        except Exception:
            pass


def open_sink(events: str, source: str):
    return RedisSink(events, source) if is_redis(events) else FileSink(events, source)


# -- the learning side -----------------------------------------------------

def fleet_files(directory: str, compressed: bool = True) -> List[str]:
    """The log files of an event directory, by name."""
    try:
        names = os.listdir(directory)
    except OSError as e:
        raise OSError(f"cannot list {directory}: {e.strerror or e}") from None
    ends = (".jsonl", ".jsonl.gz", ".jsonl.zst") if compressed else (".jsonl",)
    return sorted(os.path.join(directory, n) for n in names
                  if n.endswith(ends) and not n.startswith("."))


class _Lines:
    """Splits new bytes into complete lines, counting what does not parse."""

    def __init__(self, source: Buffered, bad) -> None:
        self.source = source
        self.bad = bad

    def feed(self, raw: bytes, end, keep_raw: bool) -> None:
        try:
            kind, data = parse(raw)
        except Malformed as e:
            self.source.line += 1
            self.source.pos = end
            self.bad(self.source, str(e))
            # a bad line still moves the position; it is taken as nothing
            self.source.items.append(((self.source.T, self.source.name, self.source.path,
                                       self.source.line), "bad", {}, end,
                                      raw if keep_raw else None))
            return
        self.source.add(kind, data, end, raw if keep_raw else None)


class FileFleet:
    """The growing .jsonl files of an event directory."""

    transient = ()
    discover_every = 0.0  # a stat each round

    def __init__(self, directory: str, bad) -> None:
        self.directory = directory
        self.bad = bad
        self.fds: Dict[str, int] = {}
        self.stamp: Optional[int] = None

    def discover(self, known: Dict[str, Buffered]) -> List[Buffered]:
        try:  # a new file changes the directory: one stat while nothing changed
            stamp = os.stat(self.directory).st_mtime_ns
        except OSError:
            stamp = None
        if stamp is not None and stamp == self.stamp:
            return []
        self.stamp = stamp
        new = []
        for path in fleet_files(self.directory, compressed=False):
            if path not in known:
                new.append(Buffered(source_name(path), path))
        return new

    def poll(self, source: Buffered, keep_raw: bool = False) -> int:
        """Reads what was appended; returns the number of lines read."""
        if source.final:
            return 0
        fd = self.fds.get(source.path)
        if fd is None:
            try:
                fd = self.fds[source.path] = os.open(source.path, os.O_RDONLY)
            except OSError:
                return 0
        lines = _Lines(source, self.bad)
        count = 0
        while True:
            chunk = os.pread(fd, READ_CHUNK, source.pos)
            if not chunk:
                break
            last = chunk.rfind(b"\n")
            if last == -1:
                if len(chunk) < READ_CHUNK:
                    break  # a line still being written
                # a line longer than a chunk: read on until its end
                more = chunk
                while b"\n" not in more and len(more) < MAX_LINE:
                    extra = os.pread(fd, READ_CHUNK, source.pos + len(more))
                    if not extra:
                        break
                    more += extra
                last = more.find(b"\n")
                if last == -1:
                    break
                chunk = more[:last + 1]
            pos = source.pos
            for raw in chunk[:last + 1].split(b"\n")[:-1]:
                pos += len(raw) + 1
                lines.feed(raw + b"\n", pos, keep_raw)
                count += 1
            source.pos = pos
            if source.final or count >= ROUND_LINES:
                break
        if count:
            source.active = _time.monotonic()
        return count

    def commit(self, sources) -> None:
        """Nothing to trim: the files are the workers'."""

    def exists(self, path: str) -> bool:
        return os.path.exists(path)

    def close(self) -> None:
        for fd in self.fds.values():
            os.close(fd)
        self.fds.clear()


def _next_id(entry_id: str) -> str:
    ms, _, seq = entry_id.partition("-")
    return f"{ms}-{int(seq) + 1}"


class RedisFleet:
    """The streams of a Redis fleet."""

    discover_every = 0.2  # seconds between two reads of the set of sources

    def __init__(self, url: str, bad) -> None:
        self.url = url
        self.client, self.prefix = _redis_client(url)
        self.bad = bad
        self.errors = _redis_error()
        self.members: Optional[set] = None
        import redis
        # a restarting server: wait and try again
        self.transient = (redis.ConnectionError, redis.TimeoutError)

    def key(self, name: str) -> str:
        return f"{self.prefix}:events:{name}"

    def discover(self, known: Dict[str, Buffered]) -> List[Buffered]:
        names = sorted(n.decode() for n in self.client.smembers(f"{self.prefix}:sources"))
        self.members = {self.key(n) for n in names}
        return [Buffered(n, self.key(n), pos="0-0") for n in names if self.key(n) not in known]

    def exists(self, path: str) -> bool:
        """Still named in the set of sources, as far as the last look saw."""
        return self.members is None or path in self.members

    def poll(self, source: Buffered, keep_raw: bool = False) -> int:
        if source.final:
            return 0
        lines = _Lines(source, self.bad)
        count = 0
        while True:
            start = "(" + source.pos if source.pos != "0-0" else "-"
            entries = self.client.xrange(source.path, start, "+", count=REDIS_READ)
            for entry_id, fields in entries:
                raw = fields.get(b"line", b"")
                lines.feed(raw + b"\n", entry_id.decode(), keep_raw)
                count += 1
                if source.final:
                    break
            if len(entries) < REDIS_READ or source.final or count >= ROUND_LINES:
                break
        if count:
            source.active = _time.monotonic()
        return count

    def commit(self, sources) -> None:
        """The checkpoint covers what was taken: trim it, drop finished streams."""
        pipe = self.client.pipeline(transaction=False)
        for s in sources:
            if s.done_final and not s.items:
                pipe.delete(s.path)
                pipe.srem(f"{self.prefix}:sources", s.name)
            elif s.done_pos != "0-0":
                pipe.xtrim(s.path, minid=_next_id(s.done_pos))
        pipe.execute()

    def close(self) -> None:
        self.client.close()


def open_fleet(where: str, bad):
    if is_redis(where):
        return RedisFleet(where, bad)
    if not os.path.isdir(where):
        raise OSError(f"{where}: not a directory (a follow source is a fleet's event "
                      "directory or a redis:// URL)")
    return FileFleet(where, bad)
