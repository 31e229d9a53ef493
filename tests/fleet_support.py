"""Helpers of the fleet's tests: a redis-server of their own, the learner as
a command, states compared field by field, seeded hosts and fleets, and a
pacer that feeds a fleet's finished events to a following learner as live
workers would. Holds no tests itself."""

import atexit
import heapq
import json
import math
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

import ordwyne as ow
from conftest import fnv1a64
from test_offline_support import random_features

TESTS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TESTS)
sys.path.insert(0, os.path.join(ROOT, "bench"))
from workload import Workload  # noqa: E402

WORKLOAD = Workload()


def _missing(what):
    """A missing tool skips the test, except under CI, where it must be there."""
    if os.environ.get("CI"):
        pytest.fail(f"{what} is missing; CI installs it (.ci/run)")
    pytest.skip(f"{what} is missing")


def need_redis():
    """The redis client module; skips (CI: fails) without it or without redis-server."""
    if shutil.which("redis-server") is None:
        _missing("redis-server (apt-get install redis-server)")
    try:
        import redis
    except ImportError:
        _missing("the redis package (pip install redis)")
    return redis


# -- redis-server -------------------------------------------------------------

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _command(port, command, timeout=1.0, password=None):
    """One inline command over a raw socket; the reply's first line."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        if password is not None:
            s.sendall(f"AUTH {password}\r\n".encode())
            s.recv(64)
        s.sendall(command.encode() + b"\r\n")
        return s.recv(64).split(b"\r\n")[0]


class RedisServer:
    """A redis-server of the test's own on a free loopback port, in a temporary
    directory: no snapshots, and with aof=True an append-only file synced on
    every write (what a restart must find again)."""

    def __init__(self, directory, aof=False, password=None):
        self.dir = str(directory)
        self.aof = aof
        self.password = password
        self.port = free_port()
        self.proc = None
        os.makedirs(self.dir, exist_ok=True)

    @property
    def url(self):
        auth = f"default:{self.password}@" if self.password else ""
        return f"redis://{auth}127.0.0.1:{self.port}/0"

    def start(self, timeout=10.0):
        args = ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1",
                "--save", "", "--dir", self.dir, "--daemonize", "no",
                "--logfile", os.path.join(self.dir, "redis.log")]
        if self.aof:
            args += ["--appendonly", "yes", "--appendfsync", "always"]
        if self.password:
            args += ["--requirepass", self.password]
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError(f"redis-server exited ({self.proc.returncode}) on port "
                                   f"{self.port}: {self.log_tail()}")
            try:
                if _command(self.port, "PING", password=self.password) == b"+PONG":
                    return self
            except OSError:
                pass
            time.sleep(0.02)
        raise RuntimeError(f"redis-server on port {self.port} answers no PING")

    def log_tail(self):
        try:
            with open(os.path.join(self.dir, "redis.log")) as f:
                return " | ".join(f.read().splitlines()[-3:])
        except OSError:
            return "no log"

    def kill(self):
        """SIGKILL: what the server had not written to its files is gone."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait()

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.kill()

    def restart(self, kill=True):
        """Down (SIGKILL, or a clean shutdown) and up again on the same port and
        directory."""
        self.kill() if kill else self.stop()
        return self.start()

    def client(self):
        return need_redis().Redis.from_url(self.url)


_started = []  # every server a test started, stopped when the test run ends


@atexit.register
def _stop_servers():
    for server in _started:
        server.stop()


def start_redis(directory, **options):
    """Start a server for a test (skipping, or failing under CI, without Redis)."""
    need_redis()
    for _ in range(5):  # another process may take the free port first
        server = RedisServer(directory, **options)
        _started.append(server)
        try:
            return server.start()
        except RuntimeError:
            server.stop()
    return server.start()


# -- the learner as a command ---------------------------------------------

def env():
    """The environment of a child process: this test run's import path."""
    paths = [TESTS] + [p for p in sys.path if p]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(paths))


def train_command(*args):
    return [sys.executable, "-m", "ordwyne_offline", "train", *map(str, args)]


def run_train(*args, timeout=300):
    return subprocess.run(train_command(*args), capture_output=True, text=True, env=env(),
                          timeout=timeout)


def read(path):
    with open(path) as f:
        return f.read()


def report(path):
    """The counts the learner wrote with --report."""
    with open(path) as f:
        return json.load(f)


# -- states compared field by field -------------------------------------------

def state_fields(text):
    """A state's fields as their serialized bytes (so NaNs compare by their
    bits), the pending records by their number only."""
    data = bytes.fromhex(text.strip())
    assert data[:8] == b"ordwyne\x00" and struct.pack("<Q", fnv1a64(data[:-8])) == data[-8:]
    dim = struct.unpack_from("<Q", data, 16)[0]
    sizes = [("version", 8), ("dim", 8), ("ridge", 8), ("forgetting", 8), ("scale", 8),
             ("a", 8 * dim), ("b", 8 * dim), ("decision_count", 8), ("model_version", 8),
             ("horizon", 8), ("default_reward", 8), ("epsilon", 8), ("pending", 8)]
    out, pos = {}, 8
    for name, size in sizes:
        out[name] = data[pos:pos + size]
        pos += size
    return out


def number(fields, name):
    raw = fields[name]
    return struct.unpack("<d" if name in ("ridge", "forgetting", "scale", "horizon",
                                          "default_reward", "epsilon") else "<Q", raw)[0]


MODEL = ("ridge", "forgetting", "scale", "a", "b")


def differences(got, want, names=None):
    """The names of the fields in which two state texts differ."""
    g, w = state_fields(got), state_fields(want)
    return [n for n in (names or g) if g[n] != w[n]]


# -- a host that logs everything, and shadows of other settings -----------------

def forced(index):
    """explore that draws `index` for sure: a host of another setting making
    the logged host's choices."""
    def explore(estimates, epsilon):
        p = [0.0] * len(estimates)
        p[index] = 1.0
        return p
    return explore


class Host:
    """One seeded host deciding over workload traffic (odd features too, if
    `odd`), learning a share of the outcomes after seeded delays (some at or
    past the horizon, some for decisions already resolved) and expiring every
    `expire_every` steps. Every line goes to `lines`. Each shadow is a state of
    another setting that makes the same calls with the host's choices."""

    def __init__(self, seed, params, salt="host", expire_every=None, clicks=0.6,
                 odd=False, shadows=()):
        self.rng = random.Random(seed)
        self.params = params
        self.state = ow.create(**params)
        self.shadows = [ow.create(**{**params, **p}) for p in shadows]
        self.salt = salt
        self.expire_every = expire_every
        self.clicks = clicks
        self.odd = odd
        self.lines = []
        self.waiting = []  # (due, seq, decision id, reward)
        self.resolved = []
        self.t = 0.0
        self.steps = 0
        self.checkpoint = None  # (lines so far, state text) taken at a random step

    def _log(self, item):
        self.lines.append(ow.log_line(item))

    def _each(self, call, *args):
        out = call(self.state, *args)
        for s in self.shadows:
            call(s, *args)
        return out

    def step(self):
        rng, h = self.rng, self.params["horizon"]
        self.steps += 1
        self.t += rng.choice([0.0, 0.25, 0.5, 1.0, 3.0])
        if self.odd and rng.random() < 0.2:
            context = random_features(rng, rng.randint(0, 4))
            candidates = [(f"c{j}", random_features(rng, rng.randint(0, 3)))
                          for j in range(rng.randint(1, 4))]
        else:
            n = rng.randrange(1 << 20)
            context, candidates = WORKLOAD.context(n), WORKLOAD.candidates(n)
            candidates = candidates[:rng.randint(1, len(candidates))]
        t = self.t if not self.odd or rng.random() > 0.05 else rng.choice([math.nan, -math.inf])
        record = ow.decide(self.state, context, candidates, t, self.salt)
        for s in self.shadows:
            ow.decide(s, context, candidates, t, self.salt, None, forced(record.chosen))
        self._log(record)
        if rng.random() < self.clicks:
            delay = rng.choice([0.0, 0.1, 0.5, 1.0, 2.0]) * (h if h < math.inf else 10.0)
            reward = rng.choice([0.0, 1.0, -0.0, round(rng.uniform(-1, 1), 3)])
            heapq.heappush(self.waiting, (self.t + delay, self.steps, record.decision_id, reward))
        while self.waiting and (self.waiting[0][0] <= self.t or rng.random() < 0.1):
            due, _, decision_id, reward = heapq.heappop(self.waiting)
            if self.resolved and rng.random() < 0.05:  # an outcome twice: learn says None
                assert self._each(ow.learn, self.resolved[-1], reward, due) is None
            resolution = self._each(ow.learn, decision_id, reward, max(due, self.t))
            if resolution is not None:
                self._log(resolution)
                self.resolved.append(decision_id)
        if self.expire_every and self.steps % self.expire_every == 0:
            for resolution in self._each(ow.expire, self.t):
                self._log(resolution)
        if self.checkpoint is None and rng.random() < 0.02:
            self.checkpoint = (len(self.lines), ow.serialize(self.state))

    def run(self, steps):
        for _ in range(steps):
            self.step()
        return self

    def write(self, path, lines=None):
        with open(path, "w") as f:
            f.write("".join(line + "\n" for line in (self.lines if lines is None else lines)))
        return str(path)


# -- a fleet's traffic --------------------------------------------------------

def click(rng, context, article):
    """The seeded click model: readers click articles on their interest."""
    p = 0.35 if article[1]["topic"] == context["interest"] else 0.05
    return 1.0 if rng.random() < p else 0.0


class Reports:
    """Outcomes on their way to another worker: each is reported after a
    seeded delay by a random other worker; a few twice, a few for decisions
    nobody made."""

    def __init__(self, rng, workers, horizon, report=0.8):
        self.rng = rng
        self.workers = workers
        self.horizon = horizon
        self.report = report
        self.heap = []
        self.seq = 0

    def decided(self, who, record, context, candidates, now):
        rng = self.rng
        if rng.random() >= self.report:
            return
        reward = click(rng, context, candidates[record.chosen])
        delay = rng.uniform(0.0, 1.5 * self.horizon)
        others = [i for i in range(self.workers) if i != who]
        self._push(now + delay, rng.choice(others), record.decision_id, reward)
        if rng.random() < 0.03:
            self._push(now + delay + 0.2 * self.horizon, rng.choice(others),
                       record.decision_id, reward)
        if rng.random() < 0.01:
            self._push(now + delay, rng.choice(others), f"nobody:{self.seq}", 1.0)

    def _push(self, at, target, decision_id, reward):
        self.seq += 1
        heapq.heappush(self.heap, (at, self.seq, target, decision_id, reward))

    def due(self, now):
        while self.heap and self.heap[0][0] <= now:
            at, _, target, decision_id, reward = heapq.heappop(self.heap)
            yield target, decision_id, reward


FLEET = dict(bits=12, horizon=2.0, default_reward=0.0, epsilon=0.1, forgetfulness=0.999)


def simulated_fleet(directory, snapshots, seed, steps=3000, params=FLEET, tick=0.004,
                    tail=0.0):
    """The event files four workers write over simulated time: traffic of the
    standard workload, outcomes through random other workers, watermarks as
    the workers send them, final watermarks at the end. With `tail`, time
    goes on that long after the traffic with nothing but the idle workers'
    watermarks (the outcomes not yet reported are never reported)."""
    from ordwyne_fleet import Worker
    rng = random.Random(seed)
    now = [0.0]
    workers = [Worker(str(directory), str(snapshots), name=f"w{i}", clock=lambda: now[0],
                      watermark_every=0.25, **params) for i in range(4)]
    reports = Reports(rng, 4, params["horizon"])
    for step in range(steps):
        now[0] = step * tick
        for target, decision_id, reward in reports.due(now[0]):
            workers[target].outcome(decision_id, reward, now[0])
        who = rng.randrange(4)
        n = rng.randrange(1 << 20)
        context, candidates = WORKLOAD.context(n), WORKLOAD.candidates(n)
        record = workers[who].decide(context, candidates, now[0])
        reports.decided(who, record, context, candidates, now[0])
    end = now[0]
    while now[0] < end + tail:
        now[0] += 0.1
        for w in workers:
            w.watermark(now[0])
    for w in workers:
        w.close()
    return sorted(os.path.join(directory, n) for n in os.listdir(directory))


def read_lines(path):
    with open(path, "rb") as f:
        return f.read().splitlines(keepends=True)


def _time_of(raw):
    d = json.loads(raw)
    if d["event"] == "decision":
        return d["record"]["t"]
    return d.get("t")


class Pacer(threading.Thread):
    """Feeds finished event files to a live fleet as their workers wrote them
    (in time order over `seconds`), each line in two writes now and then so a
    reader finds torn lines mid-flight. `sink(name, chunks)` appends."""

    def __init__(self, paths, sink, seconds=2.0, seed=0, pause_at=None):
        super().__init__(daemon=True)
        self.sink = sink
        self.seconds = seconds
        self.rng = random.Random(seed)
        self.items = []
        for path in paths:
            name = os.path.basename(path)
            T = -math.inf
            for i, raw in enumerate(read_lines(path)):
                t = _time_of(raw)
                if t is not None and t > T:
                    T = t
                self.items.append((T, name, i, raw))
        self.items.sort()
        self.pause_at = pause_at  # fraction of the lines after which to wait for `resume`
        self.first = threading.Event()  # the first lines of every source are out
        self.paused = threading.Event()
        self.resume = threading.Event()
        self.error = None

    def run(self):
        try:
            batches = 40
            per = max(1, len(self.items) // batches)
            for b in range(0, len(self.items), per):
                if self.pause_at is not None and b >= self.pause_at * len(self.items) \
                        and not self.paused.is_set():
                    self.paused.set()
                    self.resume.wait(60)
                chunk = {}
                for _, name, _, raw in self.items[b:b + per]:
                    chunk.setdefault(name, []).append(raw)
                for name, raws in chunk.items():
                    self.sink(name, raws, self.rng)
                self.first.set()
                time.sleep(self.seconds / batches)
        except BaseException as e:  # the test reports it
            self.error = e
        finally:
            self.first.set()
            self.paused.set()


def file_sink(directory):
    def sink(name, raws, rng):
        with open(os.path.join(directory, name), "ab", buffering=0) as f:
            for raw in raws:
                if rng.random() < 0.05:
                    cut = len(raw) // 2
                    f.write(raw[:cut])
                    time.sleep(0.002)
                    f.write(raw[cut:])
                else:
                    f.write(raw)
    return sink


def redis_sink(url, prefix="ordwyne"):
    redis = need_redis()
    client = redis.Redis.from_url(url)
    named = set()

    def sink(name, raws, rng):
        source = name[:-len(".jsonl")]
        for _ in range(100):  # a server being restarted comes back
            try:
                pipe = client.pipeline(transaction=False)
                if source not in named:
                    pipe.sadd(f"{prefix}:sources", source)
                for raw in raws:
                    pipe.xadd(f"{prefix}:events:{source}", {"line": raw.rstrip(b"\n")})
                pipe.execute()
                named.add(source)
                return
            except redis.ConnectionError:
                time.sleep(0.1)
        raise RuntimeError("redis did not come back")
    return sink


# -- what the logs say the learner must count -----------------------------------

def fleet_facts(paths, horizon):
    """From a fleet's event files: decisions, their ids, the outcome lines, the
    first outcomes that came within the horizon, the orphans and the decisions
    still pending at the end (no outcome and the horizon not passed by the
    latest time the fleet announced)."""
    decided, outcomes, latest = {}, [], -math.inf
    for path in paths:
        for raw in read_lines(path):
            if not raw.endswith(b"\n"):
                continue  # a torn last line
            d = json.loads(raw)
            if d["event"] == "decision":
                r = d["record"]
                assert r["decision_id"] not in decided, "a decision id collides"
                decided[r["decision_id"]] = r["t"]
            elif d["event"] in ("outcome", "watermark"):
                latest = max(latest, d["t"])
                if d["event"] == "outcome":
                    outcomes.append((d["t"], d["decision_id"]))
    first = {}
    for t, decision_id in sorted(outcomes):
        first.setdefault(decision_id, t)
    rewarded = sum(1 for i, t in first.items() if i in decided and t < decided[i] + horizon)
    late = sum(1 for i, t in first.items() if i in decided and not t < decided[i] + horizon)
    orphaned = sum(1 for i in first if i not in decided)
    pending = sum(1 for i, t in decided.items() if i not in first and t + horizon > latest)
    return dict(decisions=len(decided), outcomes=len(outcomes), rewarded=rewarded, late=late,
                orphaned=orphaned, duplicates=len(outcomes) - len(first), pending=pending)


# -- a live fleet ---------------------------------------------------------------

def live_worker(i, events, snapshots, inboxes, results, t0, seconds, seed, params):
    """One serving process of a live fleet (run in a child): decides on workload
    traffic for `seconds`, hands outcomes to random other workers through their
    inboxes, reports the outcomes others hand it, refreshes its model, and
    keeps reporting until every outcome it owes is out."""
    from ordwyne_fleet import Worker
    rng = random.Random(seed * 1000 + i)

    def clock():
        return time.monotonic() - t0

    w = Worker(events, snapshots, name=f"w{i}", clock=clock, watermark_every=0.1, **params)
    reports = Reports(rng, len(inboxes), params["horizon"])
    loaded, generations, last_refresh = 0, set(), 0.0
    end = seconds + 1.5 * params["horizon"] + 0.5
    while (now := clock()) < end:
        for target, decision_id, reward in reports.due(now):
            inboxes[target].put((decision_id, reward))
        while not inboxes[i].empty():
            decision_id, reward = inboxes[i].get()
            w.outcome(decision_id, reward, clock())
        if now < seconds:
            n = rng.randrange(1 << 20)
            context, candidates = WORKLOAD.context(n), WORKLOAD.candidates(n)
            record = w.decide(context, candidates, clock())
            reports.decided(i, record, context, candidates, record.t)
        if now - last_refresh >= 0.1:
            loaded += w.refresh()
            generations.add(w.generation)
            last_refresh = now
        time.sleep(0.002 if now < seconds else 0.01)
    assert not reports.heap
    w.close()
    results.put((i, loaded, sorted(generations)))
