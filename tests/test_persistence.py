import math

import pytest
from hypothesis import given, settings, strategies as st

import ordwyne as ow
from conftest import (MAGIC, TWO, expect, f64_bits, fields, float_from_bits, new_state,
                      record_bytes, record_values, sealed, state_body, u64)

TRUNC = "truncated state"
HEX = "state must be a hexadecimal string"
RECORD = ("record features must be (index, value) pairs in strictly increasing index order "
          "within the model dimension, values nonzero")


def test_fresh_state_text():
    text = ow.serialize(ow.create(1, 1.0))
    assert type(text) is str and len(text) == 272
    assert set(text) <= set("0123456789abcdef")
    assert text.startswith("6f726477796e6500" "0100000000000000")


def test_round_trip_gives_an_independent_equal_state():
    state = new_state()
    ow.decide(state, {"k": "v"}, TWO, 1.0, "s")
    text = ow.serialize(state)
    copy = ow.deserialize(text)
    assert type(copy) is ow.BanditState and copy is not state
    assert ow.serialize(copy) == text and ow.model_bits(copy) == 4
    ctx = {"k": "v"}
    assert record_values(ow.decide(state, ctx, TWO, 2.0, "t")) == \
        record_values(ow.decide(copy, ctx, TWO, 2.0, "t"))
    # The pending decision travelled with the copy and resolves on both.
    assert ow.learn(copy, "s:0", 1.0, 2.0).kind == "rewarded"
    assert ow.learn(copy, "s:0", 1.0, 2.0) is None
    assert ow.learn(state, "s:0", 1.0, 2.0).decision_id == "s:0"


@pytest.mark.parametrize("case", [str.upper, lambda t: t[:100].upper() + t[100:]])
def test_uppercase_accepted(case):
    state = new_state()
    ow.decide(state, {}, TWO, 0.0, "abc")
    text = ow.serialize(state)
    assert ow.serialize(ow.deserialize(case(text))) == text


def test_nan_inf_and_negative_zero_round_trip_bit_for_bit():
    odd_nan = float_from_bits(0x7FF4_0000_0000_00AB)
    state = new_state(default_reward=odd_nan, forgetfulness=1.0)
    for t in [-0.0, math.inf, math.nan, -math.inf]:
        ow.decide(state, {"x": -0.0, "y": math.inf}, TWO, t, "s")
    ow.learn(state, "s:0", math.nan, 0.0)
    ow.learn(state, "s:1", -0.0, 0.0)
    text = ow.serialize(state)
    copy = ow.deserialize(text)
    assert ow.serialize(copy) == text
    s = fields(copy)
    assert f64_bits(s["default_reward"]) == 0x7FF4_0000_0000_00AB
    assert [f64_bits(r["t"]) for r in s["records"]] == [f64_bits(math.nan), f64_bits(-math.inf)]
    assert any(math.isnan(v) for v in s["b"])


@pytest.mark.parametrize("data, exc, text, note", [
    ("", ValueError, TRUNC, None),
    ("abc", ValueError, HEX, None),
    ("0" * 47, ValueError, HEX, None),
    ("zz", ValueError, HEX, None),
    ("0x", ValueError, HEX, None),
    ("éé", ValueError, HEX, None),
    ("00" * 23, ValueError, TRUNC, None),
    ("00" * 24, ValueError, "not a ordwyne state (bad magic)", None),
    (b"", TypeError, "'bytes' object is not an instance of 'str'", "data"),
    (bytearray(b"00"), TypeError, "'bytearray' object is not an instance of 'str'", "data"),
    (None, TypeError, "'None' is not an instance of 'str'", "data"),
    ("\ud800\udc00", UnicodeEncodeError, None, "data"),
])
def test_refused_texts(data, exc, text, note):
    with expect(exc, text, note):
        ow.deserialize(data)


def _records(**kw):
    return [record_bytes("s:0"), record_bytes("s:1", **kw)]


@pytest.mark.parametrize("body, message", [
    (state_body(version=2), "unsupported state format version 2"),
    (state_body(version=0), "unsupported state format version 0"),
    (state_body(version=2 ** 64 - 1), "unsupported state format version 18446744073709551615"),
    (MAGIC + u64(2), "unsupported state format version 2"),
    (MAGIC + u64(1), TRUNC),
    (MAGIC + u64(1) + bytes(15), TRUNC),
    (b"ordwyne\x01" + state_body()[8:], "not a ordwyne state (bad magic)"),
    (state_body(dim=0, forgetting=0.0), "dim must be at least 1"),
    (state_body(forgetting=1.5, ridge=0.0), "forgetting must be in (0, 1] (1.0 = never forget)"),
    (state_body(forgetting=math.nan), "forgetting must be in (0, 1] (1.0 = never forget)"),
    (state_body(ridge=math.nan, scale=0.0), "ridge must be positive"),
    (state_body(scale=0.0), "scale must be in (0, 1]"),
    (state_body(scale=1.5), "scale must be in (0, 1]"),
    (state_body(horizon=0.0, epsilon=5.0), "horizon must be positive"),
    (state_body(epsilon=math.nan), "epsilon must be in [0, 1]"),
    (state_body(dim=2 ** 40, a=[], b=[]), TRUNC),
    (state_body(records=_records(), record_count=3), TRUNC),
    (state_body(records=_records(), record_count=1), "trailing bytes in state"),
    (state_body() + b"\x00", "trailing bytes in state"),
    (state_body(records=[u64(2 ** 62) + b"s:0"]), TRUNC),
    (state_body(dim=16, records=_records(features=[(5, 1.0), (5, 2.0)])), RECORD),
    (state_body(dim=16, records=_records(features=[(7, 1.0), (2, 1.0)])), RECORD),
    (state_body(dim=16, records=_records(features=[(16, 1.0)])), RECORD),
    (state_body(dim=16, records=_records(features=[(2, 0.0)])), RECORD),
    (state_body(dim=16, records=_records(features=[(1, 1.0), (2, -0.0)])), RECORD),
    (state_body(records=[record_bytes(b"\xc3\x28")]), "state string is not valid UTF-8"),
    (state_body(records=[record_bytes(salt=b"\xed\xa0\x80")]), "state string is not valid UTF-8"),
    (state_body(records=[record_bytes(salt=b"\xc0\xaf")]), "state string is not valid UTF-8"),
])
def test_refused_layouts(body, message):
    with expect(ValueError, message):
        ow.deserialize(sealed(body))


def test_accepted_oddities_round_trip():
    records = [record_bytes("", salt="", features=[(0, math.nan), (15, -1e-300)], chosen=99,
                            propensity=-5.0, t=math.nan),
               record_bytes("s:0", candidate_hash=2 ** 64 - 1)]
    text = sealed(state_body(dim=16, decision_count=2 ** 64 - 1, default_reward=math.nan,
                             records=records))
    assert ow.serialize(ow.deserialize(text)) == text


def test_any_changed_digit_is_detected():
    state = new_state()
    ow.decide(state, {}, TWO, 0.0, "s")
    text = ow.serialize(state)
    for pos in range(0, len(text), 7):
        flipped = text[:pos] + ("1" if text[pos] != "1" else "2") + text[pos + 1:]
        message = "not a ordwyne state (bad magic)" if pos < 16 else "state checksum mismatch"
        with expect(ValueError, message):
            ow.deserialize(flipped)


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
        return (r.decision_id, r.kind, f64_bits(r.reward))

    if op[0] == "decide":
        _, n, t, salt = op
        record = ow.decide(state, {"u": t, "d": salt}, [(f"c{i}", {"p": i}) for i in range(n)], t, salt)
        ids.add(record.decision_id)
        return record_values(record)
    if op[0] == "learn":
        _, k, reward, t, hook = op
        known = sorted(ids)
        decision_id = known[k % len(known)] if known and k < 10 else f"x:{k}"
        r = ow.learn(state, decision_id, reward, t, train if hook else None)
        return (r and res(r)), calls
    _, t, hook = op
    return [res(r) for r in ow.expire(state, t, train if hook else None)], calls


@settings(max_examples=150, deadline=None)
@given(OPS, FLOATS, st.sampled_from([1.0, 0.5, 0.999]))
def test_copies_evolve_identically(ops, default_reward, forgetfulness):
    states = [ow.create(3, 10.0, default_reward, 0.1, forgetfulness)]
    ids = set()
    for op in ops:
        if op[0] == "copy":
            text = ow.serialize(states[0])
            states.append(ow.deserialize(text))
            assert ow.serialize(states[-1]) == text
            continue
        results = [_apply(s, op, set(ids) if i else ids) for i, s in enumerate(states)]
        assert all(r == results[0] for r in results)
        texts = {ow.serialize(s) for s in states}
        assert len(texts) == 1
