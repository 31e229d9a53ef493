import gc
import os
import subprocess
import sys
import threading
import tracemalloc

import pytest

import ordwyne as ow
from conftest import TWO, new_state


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Interrupting:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise KeyboardInterrupt


def _swallow(call):
    try:
        call()
    except BaseException:
        pass


def test_no_leaks(panic_type):
    context = {f"c{i}": (i if i % 2 else f"v{i}") for i in range(20)}
    candidates = [(f"n{j}", {f"f{k}": k * 0.5 + j for k in range(6)}) for j in range(5)]
    salt = "".join(["s", "a", "l", "t"])  # a fresh object, not an interned literal
    other = new_state()

    def score(ctx, cands):
        return [float(i) * 0.0 for i in range(len(cands))]  # fresh objects each time

    def explore(estimates, epsilon):
        _swallow(lambda: ow.model_bits(state))  # caught re-entry
        return [1.0 / len(estimates)] * len(estimates)

    def train(record, reward):
        return [reward]  # ignored, and must not be kept

    def raising(*args):
        raise KeyError("x")

    def reentering(*args):
        ow.serialize(state)

    tracked = [context, candidates, salt, score, explore, train]
    state = ow.create(10, 5.0)

    def cycle(i):
        record = ow.decide(state, context, candidates, 0.0, salt, score, explore)
        ow.log_line(record)
        ow.log_line(ow.learn(state, record.decision_id, 1.0, 1.0, train))
        record = ow.decide(state, context, candidates, 0.0, salt)
        ow.expire(state, 10.0, train)
        ow.decide(state, context, candidates, 0.0, salt)
        _swallow(lambda: ow.expire(state, 20.0, raising))
        ow.decide(state, context, candidates, 0.0, salt)
        _swallow(lambda: ow.learn(state, f"{salt}:{4 * i + 3}", 1.0, 0.0, raising))
        _swallow(lambda: ow.decide(state, context, candidates, 0.0, salt, raising))
        _swallow(lambda: ow.decide(state, context, candidates, 0.0, salt, None, raising))
        _swallow(lambda: ow.decide(state, context, candidates, 0.0, salt, lambda c, k: Interrupting()))
        _swallow(lambda: ow.decide(state, context, candidates, 0.0, salt, lambda c, k: "x"))
        _swallow(lambda: ow.decide(state, context, [("a", {"bad": []})], 0.0, salt))
        _swallow(lambda: ow.decide(state, context, candidates, 0.0, "\ud800"))
        _swallow(lambda: ow.learn(state, b"x", 1.0, 0.0))
        _swallow(lambda: ow.deserialize("00" * 30))
        if i % 25 == 0:
            _swallow(lambda: ow.decide(state, context, candidates, 0.0, salt, reentering))
        ow.deserialize(ow.serialize(other))

    for i in range(200):
        cycle(i)
    gc.collect()
    counts = [sys.getrefcount(o) for o in tracked]
    before_rss = rss()
    tracemalloc.start()
    before_traced = tracemalloc.get_traced_memory()[0]
    for i in range(200, 1200):
        cycle(i)
    gc.collect()
    traced = tracemalloc.get_traced_memory()[0] - before_traced
    tracemalloc.stop()
    grown = rss() - before_rss
    assert [sys.getrefcount(o) for o in tracked] == counts
    assert traced < 24 * 1024, f"{traced} bytes of Python objects kept"
    assert grown < 1024 * 1024, f"resident memory grew by {grown} bytes"
    assert ow.serialize(state) == ow.serialize(ow.deserialize(ow.serialize(state)))
    assert ow.expire(state, 1e9) == ()  # every decision of the loop was resolved


def test_records_release_the_inputs():
    context, candidates = {"k": 1}, [("a", {})]
    start = sys.getrefcount(context), sys.getrefcount(candidates)
    records = [ow.decide(new_state(), context, candidates, 0.0, "s") for _ in range(50)]
    assert sys.getrefcount(context) == start[0] + 50
    del records
    assert (sys.getrefcount(context), sys.getrefcount(candidates)) == start


@pytest.mark.parametrize("call, message", [
    (lambda s: ow.model_bits(s), "Already mutably borrowed: PyBorrowError"),
    (lambda s: ow.decide(s, {}, TWO, 0.0, "thread"), "Already mutably borrowed: PyBorrowError"),
    (lambda s: ow.learn(s, "main:0", 1.0, 0.0), "Already borrowed: PyBorrowMutError"),
    (lambda s: ow.expire(s, 1e9), "Already borrowed: PyBorrowMutError"),
])
def test_other_thread_is_refused_while_a_callback_runs(panic_type, call, message):
    state = new_state()
    ow.decide(state, {}, TWO, 0.0, "main")
    entered, release = threading.Event(), threading.Event()
    outcome = []

    def worker():
        assert entered.wait(10)
        try:
            outcome.append(call(state))
        except BaseException as e:
            outcome.append(e)
        finally:
            release.set()

    def score(context, candidates):
        entered.set()
        assert release.wait(10), "the other thread never came back"
        return [0.0, 0.0]

    thread = threading.Thread(target=worker)
    thread.start()
    record = ow.decide(state, {}, TWO, 0.0, "main", score=score)
    thread.join(10)
    assert not thread.is_alive()
    (e,) = outcome
    assert type(e) is panic_type and e.args == (message,)
    assert record.decision_id == "main:1"
    assert [r.decision_id for r in ow.expire(state, 1e9)] == ["main:0", "main:1"]


def test_distinct_states_in_parallel_threads():
    states = [new_state() for _ in range(2)]
    errors = []

    def work(state, salt):
        try:
            for _ in range(200):
                record = ow.decide(state, {}, TWO, 0.0, salt, score=lambda c, k: [0.0, 0.0])
                ow.learn(state, record.decision_id, 1.0, 0.0, train=lambda r, x: None)
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=work, args=(s, str(i))) for i, s in enumerate(states)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert errors == [] and not any(t.is_alive() for t in threads)
    assert [ow.decide(s, {}, TWO, 0.0, "x").decision_id for s in states] == ["x:200", "x:200"]


@pytest.mark.parametrize("driver", ["atheris", "plain"])
def test_fuzz_deserialize(tmp_path, driver):
    if driver == "atheris":
        pytest.importorskip("atheris")
    harness = os.path.join(os.path.dirname(__file__), "fuzz_deserialize.py")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), ORDWYNE_FUZZ_PLAIN=str(int(driver == "plain")))
    proc = subprocess.run([sys.executable, harness, "8"], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, (proc.stdout + proc.stderr)[-3000:]
