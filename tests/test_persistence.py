import math
import random
import struct

import pytest
from hypothesis import given, settings, strategies as st

import ordwyne as ow
from conftest import (DIM_MESSAGE, TWO, expect, f64_bits, fields, fnv1a64, new_state,
                      record_bytes, sealed, state_body, u64)

RECORD = ("record features must be (index, value) pairs in strictly increasing index order "
          "within the model dimension, values nonzero")
MESSAGES = [
    "truncated state", "state must be a hexadecimal string", "not a ordwyne state (bad magic)",
    "state checksum mismatch", "dim must be at least 1",
    "forgetting must be in (0, 1] (1.0 = never forget)", "ridge must be positive",
    "scale must be in (0, 1]", "horizon must be positive", "epsilon must be in [0, 1]", RECORD,
    "state string is not valid UTF-8", "trailing bytes in state"]
TRUNC, HEX, MAGIC_MSG, CHECKSUM = MESSAGES[:4]


def record_values(record):
    """A record's attributes as comparable values (floats by bit pattern)."""
    return (record.decision_id, f64_bits(record.t), record.candidate_hash, record.chosen,
            [(i, f64_bits(v)) for i, v in record.features], f64_bits(record.propensity),
            record.model_version, record.salt, record.bits)


def test_round_trip_gives_an_independent_equal_state():
    text = ow.serialize(ow.create(1, 1.0))
    assert type(text) is str and len(text) == 272 and set(text) <= set("0123456789abcdef")
    assert text.startswith("6f726477796e6500" "0100000000000000")
    state = new_state()
    ow.decide(state, {"k": "v"}, TWO, 1.0, "s")
    text = ow.serialize(state)
    copy = ow.deserialize(text[:100].upper() + text[100:])
    assert type(copy) is ow.BanditState and ow.serialize(copy) == text
    assert record_values(ow.decide(state, {}, TWO, 2.0, "t")) == \
        record_values(ow.decide(copy, {}, TWO, 2.0, "t"))
    # the pending decision travelled with the copy and resolves on both
    assert ow.learn(copy, "s:0", 1.0, 2.0).kind == "rewarded"
    assert ow.learn(copy, "s:0", 1.0, 2.0) is None
    assert ow.learn(state, "s:0", 1.0, 2.0).decision_id == "s:0"


def test_nan_inf_and_negative_zero_round_trip_bit_for_bit():
    odd_nan = struct.unpack("<d", u64(0x7FF4_0000_0000_00AB))[0]
    state = new_state(default_reward=odd_nan, forgetfulness=1.0)
    for t in [-0.0, math.inf, math.nan, -math.inf]:
        ow.decide(state, {"x": -0.0, "y": math.inf}, TWO, t, "s")
    ow.learn(state, "s:0", math.nan, 0.0)
    ow.learn(state, "s:1", -0.0, 0.0)
    text = ow.serialize(state)
    s = fields(ow.deserialize(text))
    assert ow.serialize(ow.deserialize(text)) == text
    assert f64_bits(s["default_reward"]) == 0x7FF4_0000_0000_00AB
    assert [f64_bits(r["t"]) for r in s["records"]] == [f64_bits(math.nan), f64_bits(-math.inf)]
    assert any(math.isnan(v) for v in s["b"])
    forged = sealed(state_body(dim=16, decision_count=2 ** 64 - 1, default_reward=math.nan,
                               records=[record_bytes("", features=[(0, math.nan)], t=math.nan,
                                                     candidate_hash=2 ** 64 - 1)]))
    assert ow.serialize(ow.deserialize(forged)) == forged


@pytest.mark.parametrize("data, exc, text, note", [
    ("", ValueError, TRUNC, None),
    ("abc", ValueError, HEX, None),
    ("éé", ValueError, HEX, None),
    ("00" * 24, ValueError, MAGIC_MSG, None),
    (sealed(state_body())[:-16] + "0" * 16, ValueError, CHECKSUM, None),
    (b"", TypeError, "'bytes' object is not an instance of 'str'", "data"),
    ("\ud800\udc00", UnicodeEncodeError, None, "data"),
])
def test_refused_texts(data, exc, text, note):
    with expect(exc, text, note):
        ow.deserialize(data)


@pytest.mark.parametrize("body, message", [
    (state_body(version=2 ** 64 - 1), "unsupported state format version 18446744073709551615"),
    (b"ordwyne\x01" + state_body()[8:], MAGIC_MSG),
    (state_body(dim=0, forgetting=0.0), "dim must be at least 1"),
    (state_body(forgetting=1.5, ridge=0.0), "forgetting must be in (0, 1] (1.0 = never forget)"),
    (state_body(ridge=math.nan, scale=0.0), "ridge must be positive"),
    (state_body(scale=1.5), "scale must be in (0, 1]"),
    (state_body(horizon=0.0, epsilon=5.0), "horizon must be positive"),
    (state_body(epsilon=math.nan), "epsilon must be in [0, 1]"),
    (state_body(dim=2 ** 40, a=[], b=[]), TRUNC),
    (state_body(records=[u64(2 ** 62) + b"s:0"]), TRUNC),
    (state_body(records=[record_bytes()], record_count=0), "trailing bytes in state"),
    (state_body(dim=16, records=[record_bytes(features=[(7, 1.0), (2, 1.0)])]), RECORD),
    (state_body(records=[record_bytes(salt=b"\xed\xa0\x80")]), "state string is not valid UTF-8"),
])
def test_refused_layouts(body, message):
    with expect(ValueError, message):
        ow.deserialize(sealed(body))


FLOATS = st.one_of(st.floats(-20, 20), st.sampled_from([math.nan, math.inf, -math.inf, -0.0]))
OPS = st.lists(st.one_of(
    st.tuples(st.just("decide"), st.integers(1, 3), FLOATS, st.sampled_from(["", "s", "é"])),
    st.tuples(st.just("learn"), st.integers(0, 12), FLOATS, FLOATS, st.booleans()),
    st.tuples(st.just("expire"), FLOATS, st.booleans()),
    st.tuples(st.just("copy")),
), max_size=25)


def _apply(state, op, ids):
    calls = []

    def train(record, reward):
        calls.append((record_values(record), f64_bits(reward)))

    def res(r):
        return r and (r.decision_id, r.kind, f64_bits(r.reward))

    if op[0] == "decide":
        _, n, t, salt = op
        cands = [(f"c{i}", {"p": i}) for i in range(n)]
        record = ow.decide(state, {"u": t, "d": salt}, cands, t, salt)
        ids.add(record.decision_id)
        return record_values(record)
    hook = train if op[-1] else None
    if op[0] == "learn":
        known = sorted(ids)
        decision_id = known[op[1] % len(known)] if known and op[1] < 10 else f"x:{op[1]}"
        return res(ow.learn(state, decision_id, op[2], op[3], hook)), calls
    return [res(r) for r in ow.expire(state, op[1], hook)], calls


@settings(max_examples=150, deadline=None)
@given(OPS, FLOATS, st.sampled_from([1.0, 0.5, 0.999]))
def test_copies_evolve_identically(ops, default_reward, forgetfulness):
    states, ids = [ow.create(3, 10.0, default_reward, 0.1, forgetfulness)], set()
    for op in ops:
        if op[0] == "copy":
            states.append(ow.deserialize(ow.serialize(states[0])))
            continue
        results = [_apply(s, op, ids) for s in states]
        assert all(r == results[0] for r in results)
        assert len({ow.serialize(s) for s in states}) == 1


def fuzz_check(text):
    """A refusal must be a known message; an accepted state must round-trip and stay usable."""
    try:
        state = ow.deserialize(text)
    except ValueError as e:
        version = str(e).removeprefix("unsupported state format version ")
        assert type(e) is ValueError
        assert str(e) in MESSAGES or (version != str(e) and version.isdigit()), str(e)
        return
    assert ow.serialize(state) == text.lower(), "an accepted state did not round-trip"
    try:
        bits = ow.model_bits(state)
    except ValueError as e:
        assert str(e) == DIM_MESSAGE
        return
    if bits <= 12:
        ow.decide(state, {"k": 1.0}, [("a", {}), ("b", {"x": "y"})], 0.0, "f")
        ow.expire(state, math.inf)
        ow.learn(state, "", 1.0, 0.0)


def test_fuzz_deserialize():
    # mutated valid states, mostly resealed so the deeper checks are reached, and raw text
    state = ow.create(3, 5.0, math.nan, 0.2, 0.5)
    for i, salt in enumerate(["", "s", "é☃", "x" * 40]):
        ow.decide(state, {"k": i, "t": salt}, [("a", {"p": i}), ("b", {})], float(i), salt)
    ow.learn(state, "s:1", 1.0, 1.0)
    seeds = [bytes.fromhex(ow.serialize(s)) for s in (ow.create(1, 1.0), state)]
    words = [0, 1, 2, 7, 8, 16, 255, 2 ** 32, 2 ** 63, 2 ** 64 - 1, 0x7FF8 << 48, 0x3FF0 << 48]
    rng = random.Random(1)
    for _ in range(40000):
        data = bytearray(rng.choice(seeds))
        for _ in range(rng.randint(1, 4)):  # overwrite, insert or delete a few bytes
            pos, cut = rng.randrange(len(data)), rng.choice([0, 1, 8, 16])
            data[pos:pos + cut] = rng.choice([u64(rng.choice(words)), rng.randbytes(rng.randint(0, 9))])
        if rng.random() < 0.85 and len(data) >= 16:
            data[-8:] = u64(fnv1a64(data[:-8]))
        fuzz_check(data.hex())
        raw = rng.randbytes(rng.randint(0, 64))
        fuzz_check(raw.decode("latin-1") if rng.random() < 0.5 else raw.hex())
