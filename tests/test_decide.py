import collections
import enum
import math

import pytest

import ordwyne as ow
from conftest import DIM_MESSAGE, TWO, expect, fields, new_state, sealed, state_body, unchanged


def test_worked_example():
    state = new_state(bits=4, epsilon=0.05)
    context, candidates = {}, [("a", {}), ("b", {})]
    first = ow.decide(state, context, candidates, 0, "abc")
    assert (first.decision_id, first.chosen, first.propensity) == ("abc:0", 0, 0.5)
    assert (first.candidate_hash, first.features) == (0x31BE19873102F2B2, [(11, 1.0), (14, -1.0)])
    assert (first.t, first.model_version, first.salt, first.bits) == (0.0, 0, "abc", 4)
    assert first.context is context and first.candidates is candidates
    second = ow.decide(state, context, candidates, 0, "abc")
    assert (second.decision_id, second.chosen, second.propensity) == ("abc:1", 1, 0.5)
    assert (second.candidate_hash, second.features) == (0x31BE19873102F2B2, [(3, 1.0), (11, 1.0)])
    s = fields(state)
    assert s["decision_count"] == 2
    assert [(r["decision_id"], r["chosen"], r["features"]) for r in s["records"]] == [
        ("abc:0", 0, [(11, 1.0), (14, -1.0)]), ("abc:1", 1, [(3, 1.0), (11, 1.0)])]
    alone = ow.decide(new_state(), {}, [("a", {})], 0, "abc")
    assert (alone.candidate_hash, alone.propensity, alone.chosen) == (0x4DBD40A61FB1556F, 1.0, 0)
    pair = collections.namedtuple("Pair", "name features")
    for other in [tuple(TWO), collections.UserList(TWO), [pair(*c) for c in TWO]]:
        record = ow.decide(new_state(), {}, other, 0, "abc")
        assert record.candidates is other and record.candidate_hash == first.candidate_hash
    features, _ = encode({"hour": 3, "device": "phone"}, {"price": 2.5, "color": "red"}, bits=8)
    assert features == [(18, 3.0), (27, 1.0), (48, 1.0), (61, 3.0), (123, 1.0), (131, 1.0),
                        (134, 7.5), (166, -2.5), (178, 1.0), (196, -3.0), (200, 1.0), (201, 2.5)]


def encode(context, features=None, bits=4):
    record = ow.decide(new_state(bits), context, [("b", features or {})], 0.0, "s")
    return record.features, record.candidate_hash


# a dict subclass whose overridable reading methods all fail
HOSTILE = type("Hostile", (dict,), dict.fromkeys(["__iter__", "items", "keys", "__getitem__"]))


@pytest.mark.parametrize("where", ["context", "candidate"])
@pytest.mark.parametrize("same, others", [
    ({"x": 1.0}, [{"x": True}, {"x": 1}, {"x": enum.IntEnum("Color", "ONE").ONE}, {"x": type("F", (float,), {})(1.0)}]),
    ({}, [{"x": None}, {"x": False}, {"x": -0.0}]),
    ({"d": "a", "h": 3}, [{"h": 3.0, "d": type("S", (str,), {})("a")}, HOSTILE(d="a", h=3)]),
])
def test_equivalent_feature_values(where, same, others):
    def enc(d):
        return encode(d) if where == "context" else encode({}, d)

    assert all(enc(other) == enc(same) for other in others)
    assert enc({"x": 2.0}) != enc({"x": 1.0})


def mismatch(name, required):
    return f"'{name}' object is not an instance of '{required}'"


@pytest.mark.parametrize("overrides, exc, message, note", [
    ({"state": 5, "context": []}, TypeError, mismatch("int", "BanditState"), "state"),
    ({"context": None, "t": "x"}, TypeError, "'None' is not an instance of 'dict'", "context"),
    ({"t": "x", "salt": 1}, TypeError, None, "t"),
    ({"salt": b"s", "candidates": "ab"}, TypeError, mismatch("bytes", "str"), "salt"),
    ({"salt": "\ud800"}, UnicodeEncodeError, None, "salt"),
    ({"candidates": type("T", (str,), {})("ab"), "context": {1: 1}}, TypeError,
     "Can't extract `str` to `Vec`", None),
    ({"candidates": {}}, TypeError, mismatch("dict", "Sequence"), None),
    ({"candidates": type("It", (collections.UserList,), {"__iter__": None})(TWO)}, TypeError,
     "'It' object is not iterable", None),
    ({"candidates": [("a", {}), ["b", {}]]}, TypeError, mismatch("list", "tuple"), None),
    ({"candidates": [("a", {}, 1)]}, ValueError,
     "expected tuple of length 2, but got tuple of length 3", None),
    ({"candidates": [(1, {})]}, TypeError, mismatch("int", "str"), None),
    ({"candidates": [("\udc80", {})]}, UnicodeEncodeError, None, None),
    # every item's shape is checked before any dictionary is read
    ({"context": {"k": []}, "candidates": [("a", {"j": []}), ("b", 5)]}, TypeError,
     mismatch("int", "dict"), None),
    ({"context": {1: 1}}, ValueError, "feature names must be strings", None),
    ({"candidates": [("a", {"\ud800": 1})]}, ValueError, "feature names must be strings", None),
    ({"context": {"tags": [], 1: 1}}, ValueError, "feature 'tags' has unsupported type list", None),
    ({"context": {"k": []}, "candidates": [("a", {"j": b""})]}, ValueError,
     "feature 'k' has unsupported type list", None),
    ({"candidates": [("a", {"x": b""}), ("b", {"y": []})]}, ValueError,
     "feature 'x' has unsupported type bytes", None),
    ({"context": {"x": 10 ** 400}}, OverflowError, None, None),
    ({"candidates": [("a", {"x": "\ud800"})]}, UnicodeEncodeError, None, None),
    ({"candidates": ()}, ValueError, "need at least one candidate", None),
])
def test_refused_arguments(overrides, exc, message, note):
    state = new_state()
    args = {"state": state, "context": {}, "candidates": TWO, "t": 0.0, "salt": "s", **overrides}
    with unchanged(state), expect(exc, message, note):
        ow.decide(**args)
    assert ow.decide(state, {}, TWO, 0.0, "s").decision_id == "s:0"


def test_foreign_dimension_checked_after_conversion():
    state = ow.deserialize(sealed(state_body(dim=3)))
    for bad in [ow.model_bits, lambda s: ow.decide(s, {}, [], 0.0, "s")]:
        with unchanged(state), expect(ValueError, DIM_MESSAGE):
            bad(state)
    with expect(ValueError, "feature 'k' has unsupported type list"):
        ow.decide(state, {"k": []}, [], 0.0, "s")


def test_record_attributes():
    state = new_state(bits=5)
    record = ow.decide(state, {"u": 1}, [("a", {"p": 2})], -0.0, "é☃")
    assert math.copysign(1, record.t) == -1 and (record.decision_id, record.bits) == ("é☃:0", 5)
    assert [type(getattr(record, a)) for a in ("t", "candidate_hash", "chosen", "model_version",
                                               "bits", "propensity")] == [float] + [int] * 4 + [float]
    features = record.features
    assert all(type(i) is int and type(v) is float for i, v in features)
    features.clear()  # the caller's copy, not the record's
    assert record.features == fields(state)["records"][0]["features"] != []


def test_nan_estimates():
    # b[14] is the identity coordinate of "a" at bits 4: its estimate is NaN,
    # so it gets only the exploration share and the greedy share goes to "b"
    b = [0.0] * 16
    b[14] = math.nan
    state = ow.deserialize(sealed(state_body(dim=16, b=b, a=[1.0] * 16, epsilon=0.05)))
    records = [ow.decide(state, {}, TWO, 0.0, "s") for _ in range(8)]
    assert [r.propensity for r in records] == [[0.025, 0.975][r.chosen] for r in records]
    # all estimates NaN: a tie
    state = new_state(forgetfulness=1.0, epsilon=0.1)
    ow.learn(state, ow.decide(state, {}, TWO, 0.0, "s").decision_id, math.nan, 0.0)
    seen = []
    ow.decide(state, {}, TWO, 0.0, "s", explore=lambda e, eps: seen.append(e) or [0.5, 0.5])
    assert all(math.isnan(e) for e in seen[0])
    assert ow.decide(state, {}, TWO + [("c", {})], 0.0, "s").propensity == 0.1 / 3 + 0.9 / 3
