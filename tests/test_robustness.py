import gc
import os
import sys
import threading
import tracemalloc

import pytest

import ordwyne as ow
from conftest import TWO, UNDER_ASAN, new_state, no_asan, run_python




def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Interrupting:
    def __float__(self):
        raise KeyboardInterrupt


def swallow(fn, *args):
    try:
        fn(*args)
    except BaseException:
        pass


def test_no_leaks():
    context = {f"c{i}": (i if i % 2 else f"v{i}") for i in range(20)}
    candidates = [(f"n{j}", {f"f{k}": k * 0.5 + j for k in range(6)}) for j in range(5)]
    salt = "".join(["s", "a", "l", "t"])  # a fresh object, not an interned literal
    state, other = ow.create(10, 5.0), new_state()

    def score(ctx, cands):
        return [float(i) * 0.0 for i in range(len(cands))]  # fresh objects each time

    def explore(estimates, epsilon):
        swallow(ow.model_bits, state)  # a caught re-entry
        return [1.0 / len(estimates)] * len(estimates)

    def train(record, reward):
        return [reward]  # ignored, and must not be kept

    def raising(*args):
        raise KeyError("x")

    def cycle(i):
        record = ow.decide(state, context, candidates, 0.0, salt, score, explore)
        ow.log_line(record)
        ow.log_line(ow.learn(state, record.decision_id, 1.0, 1.0, train))
        ow.decide(state, context, candidates, 0.0, salt)
        ow.expire(state, 10.0, train)
        ow.decide(state, context, candidates, 0.0, salt)
        swallow(ow.expire, state, 20.0, raising)
        ow.decide(state, context, candidates, 0.0, salt)
        swallow(ow.learn, state, f"{salt}:{4 * i + 3}", 1.0, 0.0, raising)
        for hooks in [(raising,), (None, raising), (lambda c, k: "x",),
                      (lambda c, k: [Interrupting()],),
                      (lambda c, k: ow.serialize(state),)]:
            swallow(ow.decide, state, context, candidates, 0.0, salt, *hooks)
        swallow(ow.decide, state, context, [("a", {"bad": []})], 0.0, salt)
        swallow(ow.decide, state, context, candidates, 0.0, "\ud800")
        swallow(ow.learn, state, b"x", 1.0, 0.0)
        swallow(ow.deserialize, "00" * 30)
        ow.deserialize(ow.serialize(other))

    # the inputs, what the call pins of them, and the callables
    tracked = [context, candidates, candidates[0], *next(iter(context.items())), salt, score,
               explore, train]
    for i in range(200):
        cycle(i)
    gc.collect()
    counts, before_rss = [sys.getrefcount(o) for o in tracked], rss()
    tracemalloc.start()
    for i in range(200, 1200):
        cycle(i)
    gc.collect()
    traced = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert [sys.getrefcount(o) for o in tracked] == counts
    assert traced < 24 * 1024, f"{traced} bytes of Python objects kept"
    if not UNDER_ASAN:  # its quarantine holds freed memory on purpose
        assert rss() - before_rss < 1024 * 1024, "resident memory grew"
    assert ow.expire(state, 1e9) == ()  # every decision of the loop was resolved


@pytest.mark.parametrize("call, message", [
    (lambda s: ow.model_bits(s), "Already mutably borrowed: PyBorrowError"),
    (lambda s: ow.expire(s, 1e9), "Already borrowed: PyBorrowMutError"),
])
def test_other_thread_is_refused_while_a_callback_runs(panic_type, call, message):
    state, entered, done, outcome = new_state(), threading.Event(), threading.Event(), []
    ow.decide(state, {}, TWO, 0.0, "main")

    def worker():
        entered.wait(10)
        try:
            outcome.append(call(state))
        except BaseException as e:
            outcome.append(e)
        done.set()

    def score(context, candidates):
        entered.set()
        assert done.wait(10), "the other thread never came back"
        return [0.0, 0.0]

    thread = threading.Thread(target=worker)
    thread.start()
    assert ow.decide(state, {}, TWO, 0.0, "main", score=score).decision_id == "main:1"
    thread.join(10)
    assert [(type(e), e.args) for e in outcome] == [(panic_type, (message,))]
    assert [r.decision_id for r in ow.expire(state, 1e9)] == ["main:0", "main:1"]


@no_asan
def test_out_of_memory_is_memory_error_and_builds_nothing():
    # A fresh interpreter with its address space capped below the model's
    # 256 MiB: the allocation fails inside the engine.
    out = run_python("""
        import resource, ordwyne
        resource.setrlimit(resource.RLIMIT_AS, (160 * 2**20, 160 * 2**20))
        try:
            ordwyne.create(24, 1.0)
        except MemoryError:
            print("MemoryError")
        print(ordwyne.model_bits(ordwyne.create(10, 1.0)))
    """)
    assert out.stdout.split() == ["MemoryError", "10"], out.stderr
