import collections
import enum
import math
from fractions import Fraction

import pytest

import ordwyne as ow
from conftest import (DIM_MESSAGE, TWO, expect, fields, new_state, sample_index, sealed,
                      state_body, unchanged)


def encode(context, features=None, bits=4, name="a"):
    record = ow.decide(new_state(bits), context, [(name, features or {})], 0.0, "s")
    return record.features, record.candidate_hash


def test_worked_example():
    state = new_state(bits=4, epsilon=0.05)
    context, candidates = {}, [("a", {}), ("b", {})]
    first = ow.decide(state, context, candidates, 0, "abc")
    assert (first.decision_id, first.chosen, first.propensity) == ("abc:0", 0, 0.5)
    assert first.candidate_hash == 0x31BE19873102F2B2
    assert first.features == [(11, 1.0), (14, -1.0)]
    assert (first.t, first.model_version, first.salt, first.bits) == (0.0, 0, "abc", 4)
    assert first.context is context and first.candidates is candidates
    second = ow.decide(state, context, candidates, 0, "abc")
    assert (second.decision_id, second.chosen, second.propensity) == ("abc:1", 1, 0.5)
    assert second.features == [(3, 1.0), (11, 1.0)]
    assert second.candidate_hash == 0x31BE19873102F2B2
    s = fields(state)
    assert s["decision_count"] == 2
    assert [(r["decision_id"], r["chosen"], r["features"]) for r in s["records"]] == [
        ("abc:0", 0, [(11, 1.0), (14, -1.0)]), ("abc:1", 1, [(3, 1.0), (11, 1.0)])]
    alone = ow.decide(new_state(), {}, [("a", {})], 0, "abc")
    assert (alone.candidate_hash, alone.propensity, alone.chosen) == (0x4DBD40A61FB1556F, 1.0, 0)


def test_encoding_through_the_module():
    features, _ = encode({"hour": 3, "device": "phone", "x": None}, {"price": 2.5, "color": "red"},
                         bits=8, name="b")
    assert features == [(18, 3.0), (27, 1.0), (48, 1.0), (61, 3.0), (123, 1.0), (131, 1.0),
                        (134, 7.5), (166, -2.5), (178, 1.0), (196, -3.0), (200, 1.0), (201, 2.5)]
    assert encode({}, bits=1)[0] == [(0, -1.0), (1, 1.0)]


class Color(enum.IntEnum):
    ONE = 1


class Real(float):
    pass


class Text(str):
    pass


class Hostile(dict):
    """Overridden iteration must not be what the conversion reads."""

    def __iter__(self):
        raise AssertionError("iterated")

    def items(self):
        raise AssertionError("items")

    def keys(self):
        raise AssertionError("keys")

    def __getitem__(self, key):
        raise AssertionError("getitem")


@pytest.mark.parametrize("where", ["context", "candidate"])
@pytest.mark.parametrize("same, other", [
    ({"x": 1.0}, [{"x": True}, {"x": 1}, {"x": Color.ONE}, {"x": Real(1.0)}]),
    ({}, [{"x": None}, {"x": False}, {"x": 0}, {"x": -0.0}]),
    ({"d": "phone", "h": 3}, [{"h": 3.0, "d": Text("phone")}, Hostile(d="phone", h=3)]),
])
def test_equivalent_feature_values(where, same, other):
    def enc(d):
        return encode(d) if where == "context" else encode({}, d)

    for variant in other:
        assert enc(variant) == enc(same)
    assert enc({"x": 2.0}) != enc({"x": 1.0})


class Items(collections.abc.Sequence):
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


Pair = collections.namedtuple("Pair", "name features")


@pytest.mark.parametrize("candidates", [tuple(TWO), Items(TWO), [Pair("a", {}), Pair("b", {})],
                                        collections.UserList(TWO)])
def test_candidate_sequences_accepted(candidates):
    record = ow.decide(new_state(), {}, candidates, 0, "abc")
    assert record.candidates is candidates and record.chosen == 0
    assert record.candidate_hash == 0x31BE19873102F2B2


class Boom(Exception):
    pass


BOOM = Boom("iteration")


class BadIter(Items):
    def __iter__(self):
        raise BOOM


FAILURES = [
    ({"state": 5}, TypeError, "'int' object is not an instance of 'BanditState'", "state"),
    ({"state": None, "context": []}, TypeError, "'None' is not an instance of 'BanditState'", "state"),
    ({"context": [], "t": "x"}, TypeError, "'list' object is not an instance of 'dict'", "context"),
    ({"context": None}, TypeError, "'None' is not an instance of 'dict'", "context"),
    ({"t": "x", "salt": 1}, TypeError, None, "t"),
    ({"t": None}, TypeError, None, "t"),
    ({"t": 10 ** 400}, OverflowError, None, "t"),
    ({"salt": b"s", "candidates": "ab"}, TypeError, "'bytes' object is not an instance of 'str'", "salt"),
    ({"salt": None}, TypeError, "'None' is not an instance of 'str'", "salt"),
    ({"salt": "\ud800"}, UnicodeEncodeError, None, "salt"),
    ({"candidates": "ab", "context": {1: 1}}, TypeError, "Can't extract `str` to `Vec`", None),
    ({"candidates": Text("")}, TypeError, "Can't extract `str` to `Vec`", None),
    ({"candidates": {}}, TypeError, "'dict' object is not an instance of 'Sequence'", None),
    ({"candidates": None}, TypeError, "'None' is not an instance of 'Sequence'", None),
    ({"candidates": {("a", "b")}}, TypeError, "'set' object is not an instance of 'Sequence'", None),
    ({"candidates": iter(TWO)}, TypeError,
     "'list_iterator' object is not an instance of 'Sequence'", None),
    ({"candidates": BadIter(TWO)}, Boom, "iteration", None),
    ({"candidates": [["a", {}]]}, TypeError, "'list' object is not an instance of 'tuple'", None),
    ({"candidates": [("a", {}), None]}, TypeError, "'None' is not an instance of 'tuple'", None),
    ({"candidates": [("a", {}, 1)]}, ValueError,
     "expected tuple of length 2, but got tuple of length 3", None),
    ({"candidates": [()]}, ValueError, "expected tuple of length 2, but got tuple of length 0", None),
    ({"candidates": [(1, {})]}, TypeError, "'int' object is not an instance of 'str'", None),
    ({"candidates": [("\udc80", {})]}, UnicodeEncodeError, None, None),
    ({"candidates": [("a", None)]}, TypeError, "'None' is not an instance of 'dict'", None),
    ({"candidates": [("a", [])]}, TypeError, "'list' object is not an instance of 'dict'", None),
    # Every item's shape is checked before any dictionary is read.
    ({"context": {"k": []}, "candidates": [("a", {"j": []}), ("b", 5)]}, TypeError,
     "'int' object is not an instance of 'dict'", None),
    ({"context": {1: 1}}, ValueError, "feature names must be strings", None),
    ({"context": {"\ud800": 1}}, ValueError, "feature names must be strings", None),
    ({"context": {"tags": [], 1: 1}}, ValueError, "feature 'tags' has unsupported type list", None),
    ({"context": {"k": []}, "candidates": [("a", {"j": []})]}, ValueError,
     "feature 'k' has unsupported type list", None),
    ({"candidates": [("a", {"x": b""}), ("b", {"y": []})]}, ValueError,
     "feature 'x' has unsupported type bytes", None),
    ({"candidates": [("a", {}), ("b", {"p": Fraction(1, 2)})]}, ValueError,
     "feature 'p' has unsupported type Fraction", None),
    ({"candidates": [("a", {(1,): 1})]}, ValueError, "feature names must be strings", None),
    ({"context": {"x": 10 ** 400}}, OverflowError, None, None),
    ({"candidates": [("a", {"x": "\ud800"})]}, UnicodeEncodeError, None, None),
    ({"candidates": []}, ValueError, "need at least one candidate", None),
    ({"candidates": ()}, ValueError, "need at least one candidate", None),
]


@pytest.mark.parametrize("overrides, exc, message, note", FAILURES)
def test_failure_table(overrides, exc, message, note):
    state = new_state()
    args = {"state": state, "context": {}, "candidates": TWO, "t": 0.0, "salt": "s"}
    args.update(overrides)
    with unchanged(state), expect(exc, message, note) as e:
        ow.decide(**args)
    if exc is Boom:
        assert e.value is BOOM
    assert ow.decide(state, {}, TWO, 0.0, "s").decision_id == "s:0"


def test_foreign_dimension_checked_after_conversion():
    state = ow.deserialize(sealed(state_body(dim=3, a=[0.0] * 3, b=[0.0] * 3)))
    with unchanged(state), expect(ValueError, DIM_MESSAGE):
        ow.decide(state, {}, [], 0.0, "s")
    with expect(ValueError, "feature 'k' has unsupported type list"):
        ow.decide(state, {"k": []}, [], 0.0, "s")


def test_record_attributes():
    context, candidates = {"u": 1}, [("a", {"p": 2})]
    state = new_state(bits=5)
    record = ow.decide(state, context, candidates, -0.0, "é☃")
    assert type(record.t) is float and math.copysign(1, record.t) == -1
    assert all(type(getattr(record, a)) is int for a in ("candidate_hash", "chosen", "model_version", "bits"))
    assert type(record.propensity) is float and record.salt == "é☃"
    assert record.decision_id == "é☃:0" and record.bits == ow.model_bits(state) == 5
    assert record.decision_id is not record.decision_id and record.t is not record.t
    features = record.features
    assert type(features) is list and features is not record.features and features == record.features
    assert all(type(i) is int and type(v) is float for i, v in features)
    features.clear()
    assert record.features  # the caller's copy is not the record's
    context["later"] = "x"
    assert record.context is context and record.context["later"] == "x"
    assert record.candidates is candidates
    assert fields(state)["records"][0]["features"] == record.features


@pytest.mark.parametrize("probabilities", [[0.5, 0.5], [0.0, 1.0], [0.7, 0.3000000005], [0.1, 0.2, 0.7],
                                           [-0.0, 1.0], [0.25] * 4])
@pytest.mark.parametrize("salt", ["", "abc", "é☃", "x" * 100])
def test_draw_follows_id_and_salt(probabilities, salt):
    state = new_state()
    candidates = [(str(i), {}) for i in range(len(probabilities))]
    for n in range(3):
        record = ow.decide(state, {}, candidates, 0.0, salt, explore=lambda e, eps: probabilities)
        assert record.decision_id == f"{salt}:{n}"
        assert record.chosen == sample_index(probabilities, record.decision_id, salt)
        assert record.propensity == probabilities[record.chosen]


def test_nan_estimate_gets_only_the_exploration_share():
    # The identity coordinate of candidate "a" (index 14 at bits 4) is NaN, so
    # its estimate is NaN and the greedy share goes to "b".
    b = [0.0] * 16
    b[14] = math.nan
    state = ow.deserialize(sealed(state_body(dim=16, b=b, a=[1.0] * 16, epsilon=0.05)))
    for n in range(8):
        record = ow.decide(state, {}, TWO, 0.0, str(n))
        assert record.chosen == sample_index([0.025, 0.975], record.decision_id, str(n))
        assert record.propensity == [0.025, 0.975][record.chosen]


def test_all_nan_estimates_are_a_tie():
    state = new_state(forgetfulness=1.0, epsilon=0.1)
    first = ow.decide(state, {}, TWO, 0.0, "s")
    ow.learn(state, first.decision_id, math.nan, 0.0)
    seen = []
    ow.decide(state, {}, TWO, 0.0, "s", explore=lambda e, eps: seen.append(e) or [0.5, 0.5])
    assert all(math.isnan(e) for e in seen[0])
    record = ow.decide(state, {}, TWO + [("c", {})], 0.0, "s")
    assert record.propensity == 0.1 / 3 + 0.9 / 3
