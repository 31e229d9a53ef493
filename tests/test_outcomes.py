import math

import pytest

import ordwyne as ow
from conftest import TWO, expect, fields, new_state, unchanged


def decided(times, **kw):
    state = new_state(default_reward=-1.0, **kw)
    return state, [ow.decide(state, {}, TWO, t, "s") for t in times]


def pending(state):
    return [r["decision_id"] for r in fields(state)["records"]]


def test_learn_resolves_once():
    state, (record,) = decided([0.0], forgetfulness=1.0)
    resolution = ow.learn(state, record.decision_id, 1, 0.5)
    assert (resolution.decision_id, resolution.kind, resolution.reward) == ("s:0", "rewarded", 1.0)
    assert type(resolution.reward) is float
    s = fields(state)
    assert s["model_version"] == 1 and s["records"] == []
    # the built-in update with the chosen vector [(11, 1.0), (14, -1.0)]
    assert (s["a"][11], s["a"][14], s["b"][11], s["b"][14]) == (1.0, 1.0, 1.0, -1.0)
    assert ow.decide(state, {}, TWO, 0.0, "s").model_version == 1
    for decision_id in ["s:0", "s:9", "", "s:1\x00"]:
        with unchanged(state):
            assert ow.learn(state, decision_id, 1.0, 0.0, lambda r, x: pytest.fail()) is None


@pytest.mark.parametrize("t, kind, reward", [
    (15.0, "expired", -1.0),
    (math.nextafter(15.0, -math.inf), "rewarded", 2.0),
    (math.inf, "expired", -1.0),
    (math.nan, "rewarded", 2.0),
])
def test_horizon_boundary(t, kind, reward):
    state, (record,) = decided([5.0])
    seen = []
    resolution = ow.learn(state, record.decision_id, 2.0, t, lambda r, x: seen.append(x))
    assert (resolution.kind, resolution.reward) == (kind, reward) and seen == [reward]


def test_expire_in_ledger_order():
    state, _ = decided([0.0, 5.0, 0.0, 0.0, 0.0, math.nan])
    assert ow.learn(state, "s:3", 1.0, 0.0).decision_id == "s:3"
    with unchanged(state):
        assert ow.expire(state, 9.99) == ()
    resolutions = ow.expire(state, 10.0)
    assert type(resolutions) is tuple
    assert [(r.decision_id, r.kind, r.reward) for r in resolutions] == [
        ("s:0", "expired", -1.0), ("s:2", "expired", -1.0), ("s:4", "expired", -1.0)]
    assert pending(state) == ["s:1", "s:5"] and fields(state)["model_version"] == 4
    # a decision made at NaN is never due
    assert [r.decision_id for r in ow.expire(state, math.inf)] == ["s:1"]
    assert ow.learn(state, "s:5", 3.0, 1e308).kind == "rewarded"


def test_train_gets_a_compact_record_and_replaces_the_update():
    state, (record,) = decided([3.0])
    before, calls = fields(state), []
    resolution = ow.learn(state, "s:0", 7, 1.0, lambda *a, **k: calls.append((a, k)) or object())
    ((given, reward), kwargs), = calls
    assert kwargs == {} and type(reward) is float and reward == 7.0 == resolution.reward
    assert type(given) is ow.DecisionRecord and given is not record
    names = ["decision_id", "t", "candidate_hash", "chosen", "features", "propensity",
             "model_version", "salt", "bits", "context", "candidates"]
    assert [getattr(given, n) for n in names] == [getattr(record, n) for n in names[:8]] + [None] * 3
    after = fields(state)
    assert [after[k] for k in ("a", "b", "scale")] == [before[k] for k in ("a", "b", "scale")]
    assert after["model_version"] == 1 and after["records"] == []


@pytest.mark.parametrize("train, exc_type", [(5, TypeError), ("raise", ValueError)])
def test_failing_train_in_learn_keeps_the_commit(train, exc_type):
    state, (record,) = decided([0.0])
    error = ValueError("train callback raised")
    if train == "raise":
        def train(r, x):
            raise error
    assert ow.learn(state, "nope", 1.0, 0.0, train) is None and ow.expire(state, 1.0, train) == ()
    with pytest.raises(exc_type) as info:
        ow.learn(state, record.decision_id, 1.0, 0.0, train)
    assert exc_type is TypeError or info.value is error
    assert fields(state)["model_version"] == 1 and pending(state) == []


def test_expire_with_train_failing_on_second_call():
    state, _ = decided([0.0, 0.0, 100.0, 0.0])
    error, seen = KeyError("second"), []

    def train(record, reward):
        seen.append((record.decision_id, reward))
        if len(seen) == 2:
            raise error

    with pytest.raises(KeyError) as info:
        ow.expire(state, 10.0, train)
    assert info.value is error and seen == [("s:0", -1.0), ("s:1", -1.0)]
    assert pending(state) == ["s:2", "s:3"] and fields(state)["model_version"] == 2
    assert [r.decision_id for r in ow.expire(state, 10.0)] == ["s:3"]


@pytest.mark.parametrize("fn, args, exc, text, note", [
    (ow.learn, ("x", "s:0", 1.0, 0.0), TypeError,
     "'str' object is not an instance of 'BanditState'", "state"),
    (ow.learn, ("S", b"s:0", None, 0.0), TypeError,
     "'bytes' object is not an instance of 'str'", "decision_id"),
    (ow.learn, ("S", "\ud800", 1.0, 0.0), UnicodeEncodeError, None, "decision_id"),
    (ow.learn, ("S", "s:0", None, "x"), TypeError, None, "reward"),
    (ow.learn, ("S", "s:0", 1.0, "x"), TypeError, None, "t"),
    (ow.expire, (None, 0.0), TypeError, "'None' is not an instance of 'BanditState'", "state"),
    (ow.expire, ("S", "1"), TypeError, None, "t"),
])
def test_refused_arguments(fn, args, exc, text, note):
    state, _ = decided([0.0])
    with unchanged(state), expect(exc, text, note):
        fn(*(state if a == "S" else a for a in args), train=lambda r, x: pytest.fail())
