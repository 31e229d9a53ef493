"""Shared helpers: exact exception checks, and a writer and reader of the
serialized state so tests can forge and inspect states."""

import contextlib
import os
import struct
import subprocess
import sys
import textwrap

import pytest

import ordwyne as ow

HAS_NOTES = sys.version_info >= (3, 11)
# The sanitizer run preloads libasan into the interpreter.
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")

no_asan = pytest.mark.skipif(UNDER_ASAN,
                             reason="the sanitizer's shadow memory needs the address space")


def roomy_stack():
    # The sanitizer's frames are several times larger: recursion to the
    # interpreter's default limit needs more than the usual 8 MiB of stack.
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_STACK)
    if soft != resource.RLIM_INFINITY:
        want = 1 << 30 if hard == resource.RLIM_INFINITY else hard
        resource.setrlimit(resource.RLIMIT_STACK, (max(soft, want), hard))


def run_python(code, timeout=300):
    """Runs code in a fresh interpreter that imports this very module."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=env, timeout=timeout,
                          preexec_fn=roomy_stack if UNDER_ASAN else None)

MASK = (1 << 64) - 1
MAGIC = b"ordwyne\x00"
DIM_MESSAGE = ("model dimension is not 2**bits for bits in [1, 24]; "
               "the state was not built by create()")
TWO = [("a", {}), ("b", {})]


def new_state(bits=4, horizon=10.0, default_reward=0.0, epsilon=0.05, forgetfulness=0.999):
    return ow.create(bits, horizon, default_reward, epsilon, forgetfulness)


@contextlib.contextmanager
def expect(exc_type, text=None, note=None):
    """pytest.raises made exact: this very type, the whole text, and the
    argument note or its absence (always absent on 3.10, which has no add_note)."""
    with pytest.raises(BaseException) as info:
        yield info
    e = info.value
    assert type(e) is exc_type, repr(e)
    assert text is None or str(e) == text
    notes = [f"while processing '{note}'"] if note and HAS_NOTES else None
    assert getattr(e, "__notes__", None) == notes


@contextlib.contextmanager
def unchanged(state):
    before = ow.serialize(state)
    yield
    assert ow.serialize(state) == before


@pytest.fixture(scope="session")
def panic_type():
    """PanicException is not exported; provoke one by re-entering a state."""
    state, caught = new_state(), []
    ow.decide(state, {}, TWO, 0.0, "p", lambda c, k: caught.append(
        pytest.raises(BaseException, ow.model_bits, state).value) or [0.0, 0.0])
    assert type(caught[0]).__name__ == "PanicException"
    return type(caught[0])


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for byte in data:
        h = ((h ^ byte) * 0x100000001B3) & MASK
    return h


def u64(v):
    return struct.pack("<Q", v)


def f64(*values):
    return b"".join(struct.pack("<d", v) for v in values)


def f64_bits(v):
    return struct.unpack("<Q", f64(v))[0]


def text(s):
    raw = s.encode() if isinstance(s, str) else s
    return u64(len(raw)) + raw


def record_bytes(decision_id="s:0", t=0.0, candidate_hash=0, chosen=0, features=(),
                 propensity=1.0, salt="s"):
    out = text(decision_id) + f64(t) + u64(candidate_hash) + u64(chosen) + u64(len(features))
    out += b"".join(u64(i) + f64(v) for i, v in features)
    return out + f64(propensity) + u64(0) + text(salt)


def state_body(dim=2, ridge=1.0, forgetting=0.999, scale=1.0, a=None, b=None, decision_count=0,
               horizon=1.0, default_reward=0.0, epsilon=0.05, records=(), version=1,
               record_count=None):
    """A state's bytes without the checksum; records are record_bytes() outputs."""
    a = [0.0] * dim if a is None else a
    b = [0.0] * dim if b is None else b
    return (MAGIC + u64(version) + u64(dim) + f64(ridge, forgetting, scale, *a, *b)
            + u64(decision_count) + u64(0) + f64(horizon, default_reward, epsilon)
            + u64(len(records) if record_count is None else record_count) + b"".join(records))


def sealed(body):
    return (body + u64(fnv1a64(body))).hex()


def parse_state(hex_text):
    """The fields of a serialized state, floats as Python floats."""
    data = bytes.fromhex(hex_text)
    assert data[:8] == MAGIC and u64(fnv1a64(data[:-8])) == data[-8:]
    pos = 8

    def take(fmt="<Q"):
        nonlocal pos
        pos += 8
        return struct.unpack_from(fmt, data, pos - 8)[0]

    def string():
        nonlocal pos
        n = take()
        pos += n
        return data[pos - n:pos].decode()

    s = {"version": take(), "dim": take(), "ridge": take("<d"), "forgetting": take("<d"),
         "scale": take("<d")}
    s["a"] = [take("<d") for _ in range(s["dim"])]
    s["b"] = [take("<d") for _ in range(s["dim"])]
    s.update(decision_count=take(), model_version=take(), horizon=take("<d"),
             default_reward=take("<d"), epsilon=take("<d"))
    s["records"] = [{"decision_id": string(), "t": take("<d"), "candidate_hash": take(),
                     "chosen": take(), "features": [(take(), take("<d")) for _ in range(take())],
                     "propensity": take("<d"), "model_version": take(), "salt": string()}
                    for _ in range(take())]
    assert pos == len(data) - 8
    return s


def fields(state):
    return parse_state(ow.serialize(state))
