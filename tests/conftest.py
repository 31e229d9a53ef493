"""Shared helpers: a state factory, exact-exception checks, and a reader and
writer for the serialized state so tests can inspect and forge states."""

import contextlib
import struct
import sys

import pytest

import ordwyne as ow

HAS_NOTES = sys.version_info >= (3, 11)
MASK = (1 << 64) - 1
MAGIC = b"ordwyne\x00"
DIM_MESSAGE = ("model dimension is not 2**bits for bits in [1, 24]; "
               "the state was not built by create()")
TWO = [("a", {}), ("b", {})]


def new_state(bits=4, horizon=10.0, default_reward=0.0, epsilon=0.05, forgetfulness=0.999):
    return ow.create(bits, horizon, default_reward, epsilon, forgetfulness)


class expect:
    """Like pytest.raises, but exact: the very type (no subclass), the whole
    text, and the argument note (or its absence, and always absent on 3.10)."""

    def __init__(self, exc_type, text=None, note=None):
        self.exc_type, self.text, self.note = exc_type, text, note
        self.value = None

    def __enter__(self):
        return self

    def __exit__(self, et, ev, tb):
        assert ev is not None, f"expected {self.exc_type.__name__}, nothing was raised"
        assert type(ev) is self.exc_type, f"expected {self.exc_type.__name__}, got {et.__name__}: {ev}"
        if self.text is not None:
            assert str(ev) == self.text
        notes = getattr(ev, "__notes__", None)
        if self.note is None or not HAS_NOTES:
            assert notes is None, notes
        else:
            assert notes == [f"while processing '{self.note}'"]
        self.value = ev
        return True


@contextlib.contextmanager
def unchanged(state):
    before = ow.serialize(state)
    yield
    assert ow.serialize(state) == before


@pytest.fixture(scope="session")
def panic_type():
    """PanicException is not exported; provoke one by re-entering a state."""
    state = new_state()
    caught = []

    def score(context, candidates):
        try:
            ow.model_bits(state)
        except BaseException as e:  # noqa: B036 - that is the point
            caught.append(e)
        return [0.0]

    ow.decide(state, {}, [("a", {})], 0.0, "p", score=score)
    assert len(caught) == 1 and type(caught[0]).__name__ == "PanicException"
    return type(caught[0])


# --- the byte layout of a serialized state ---------------------------------

def fnv1a64(data):
    h = 0xCBF29CE484222325
    for byte in data:
        h = ((h ^ byte) * 0x100000001B3) & MASK
    return h


def u64(v):
    return struct.pack("<Q", v)


def f64(v):
    return struct.pack("<d", v)


def f64_bits(v):
    return struct.unpack("<Q", f64(v))[0]


def float_from_bits(bits):
    return struct.unpack("<d", u64(bits))[0]


def text(s):
    raw = s.encode() if isinstance(s, str) else bytes(s)
    return u64(len(raw)) + raw


def record_bytes(decision_id="s:0", t=0.0, candidate_hash=0, chosen=0, features=(),
                 propensity=1.0, model_version=0, salt="s"):
    out = text(decision_id) + f64(t) + u64(candidate_hash) + u64(chosen) + u64(len(features))
    for index, value in features:
        out += u64(index) + f64(value)
    return out + f64(propensity) + u64(model_version) + text(salt)


def state_body(dim=2, ridge=1.0, forgetting=0.999, scale=1.0, a=None, b=None,
               decision_count=0, model_version=0, horizon=1.0, default_reward=0.0,
               epsilon=0.05, records=(), version=1, record_count=None):
    """Bytes of a state without the checksum; records are record_bytes() outputs."""
    a = [0.0] * dim if a is None else a
    b = [0.0] * dim if b is None else b
    out = MAGIC + u64(version) + u64(dim) + f64(ridge) + f64(forgetting) + f64(scale)
    out += b"".join(map(f64, a)) + b"".join(map(f64, b))
    out += u64(decision_count) + u64(model_version) + f64(horizon) + f64(default_reward)
    out += f64(epsilon) + u64(len(records) if record_count is None else record_count)
    return out + b"".join(records)


def sealed(body):
    return (body + u64(fnv1a64(body))).hex()


def parse_state(hex_text):
    """The fields of a serialized state; floats as Python floats."""
    data = bytes.fromhex(hex_text)
    assert data[:8] == MAGIC and fnv1a64(data[:-8]) == struct.unpack("<Q", data[-8:])[0]
    pos = 8

    def take(fmt):
        nonlocal pos
        (v,) = struct.unpack_from(fmt, data, pos)
        pos += 8
        return v

    def string():
        nonlocal pos
        n = take("<Q")
        pos += n
        return data[pos - n:pos].decode()

    s = {"version": take("<Q"), "dim": take("<Q"), "ridge": take("<d"),
         "forgetting": take("<d"), "scale": take("<d")}
    s["a"] = [take("<d") for _ in range(s["dim"])]
    s["b"] = [take("<d") for _ in range(s["dim"])]
    for name, fmt in [("decision_count", "<Q"), ("model_version", "<Q"), ("horizon", "<d"),
                      ("default_reward", "<d"), ("epsilon", "<d")]:
        s[name] = take(fmt)
    s["records"] = []
    for _ in range(take("<Q")):
        r = {"decision_id": string(), "t": take("<d"), "candidate_hash": take("<Q"),
             "chosen": take("<Q")}
        r["features"] = [(take("<Q"), take("<d")) for _ in range(take("<Q"))]
        r["propensity"] = take("<d")
        r["model_version"] = take("<Q")
        r["salt"] = string()
        s["records"].append(r)
    assert pos == len(data) - 8
    return s


def fields(state):
    return parse_state(ow.serialize(state))


# --- the draw, for checking `chosen` against known probabilities -----------

def derive_key(first, second):
    return fnv1a64(u64(len(first)) + first + second)


def draw_u(key):
    z = key
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    z ^= z >> 31
    return (z >> 11) * 2.0 ** -53


def sample_index(probabilities, decision_id, salt):
    u = draw_u(derive_key(decision_id.encode(), salt.encode()))
    total = 0.0
    for i, p in enumerate(probabilities):
        total += p
        if u < total:
            return i
    return len(probabilities) - 1


def record_values(record):
    """A record's attributes as comparable values (floats by bit pattern)."""
    return (record.decision_id, f64_bits(record.t), record.candidate_hash, record.chosen,
            [(i, f64_bits(v)) for i, v in record.features], f64_bits(record.propensity),
            record.model_version, record.salt, record.bits)
