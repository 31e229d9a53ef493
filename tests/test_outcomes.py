import math

import pytest

import ordwyne as ow
from conftest import (TWO, expect, fields, new_state, record_bytes, sealed,
                      state_body, unchanged)


def decided(times, horizon=10.0, default_reward=-1.0, **kw):
    state = new_state(horizon=horizon, default_reward=default_reward, **kw)
    return state, [ow.decide(state, {}, TWO, t, "s") for t in times]


def pending(state):
    return [r["decision_id"] for r in fields(state)["records"]]


def test_learn_resolves_once():
    state, (record,) = decided([0.0], forgetfulness=1.0)
    resolution = ow.learn(state, record.decision_id, 1, 0.5)
    assert (resolution.decision_id, resolution.kind, resolution.reward) == ("s:0", "rewarded", 1.0)
    assert type(resolution.reward) is float and type(resolution.kind) is str
    s = fields(state)
    assert s["model_version"] == 1 and s["records"] == []
    # Built-in update with the chosen vector [(11, 1.0), (14, -1.0)].
    assert (s["a"][11], s["a"][14], s["b"][11], s["b"][14]) == (1.0, 1.0, 1.0, -1.0)
    assert ow.decide(state, {}, TWO, 0.0, "s").model_version == 1
    with unchanged(state):
        assert ow.learn(state, "s:0", 1.0, 0.0) is None


@pytest.mark.parametrize("decision_id", ["s:9", "", "s:0\x00", "S:0", "s:00"])
def test_unknown_ids(decision_id):
    state, _ = decided([0.0])
    with unchanged(state):
        assert ow.learn(state, decision_id, 1.0, 0.0, train=lambda r, x: pytest.fail("called")) is None


@pytest.mark.parametrize("t, kind, reward", [
    (15.0, "expired", -1.0),
    (math.nextafter(15.0, -math.inf), "rewarded", 2.0),
    (math.inf, "expired", -1.0),
    (math.nan, "rewarded", 2.0),
    (-math.inf, "rewarded", 2.0),
])
def test_horizon_boundary(t, kind, reward):
    state, (record,) = decided([5.0])
    seen = []
    resolution = ow.learn(state, record.decision_id, 2.0, t, lambda r, x: seen.append(x))
    assert (resolution.kind, resolution.reward) == (kind, reward) and seen == [reward]


def test_nan_decision_time_is_never_due():
    state, (record,) = decided([math.nan])
    assert math.isnan(record.t)
    assert ow.expire(state, math.inf) == ()
    assert ow.learn(state, record.decision_id, 3.0, 1e308).kind == "rewarded"


def test_expire_in_ledger_order():
    state, _ = decided([0.0, 5.0, 0.0])
    with unchanged(state):
        assert ow.expire(state, 9.99) == ()
    resolutions = ow.expire(state, 10.0)
    assert type(resolutions) is tuple
    assert [(r.decision_id, r.kind, r.reward) for r in resolutions] == [
        ("s:0", "expired", -1.0), ("s:2", "expired", -1.0)]
    assert pending(state) == ["s:1"] and fields(state)["model_version"] == 2
    assert ow.expire(new_state(), 1e9) == ()


def test_removals_keep_the_order_of_the_rest():
    state, _ = decided([0.0] * 6)
    for done in ["s:2", "s:4", "s:0"]:
        assert ow.learn(state, done, 1.0, 0.0).decision_id == done
    assert pending(state) == ["s:1", "s:3", "s:5"]
    assert [r.decision_id for r in ow.expire(state, 100.0)] == ["s:1", "s:3", "s:5"]


def test_duplicate_ids_resolve_first_come():
    records = [record_bytes("d:0", t=1.0), record_bytes("d:0", t=2.0), record_bytes("e:0", t=3.0)]
    state = ow.deserialize(sealed(state_body(dim=16, horizon=10.0, records=records)))
    times = []
    for _ in range(2):
        ow.learn(state, "d:0", 1.0, 0.0, lambda r, x: times.append(r.t))
    assert times == [1.0, 2.0] and ow.learn(state, "d:0", 1.0, 0.0) is None
    assert pending(state) == ["e:0"]


def test_train_receives_a_compact_record():
    state, (record,) = decided([3.0])
    calls = []

    def train(*args, **kwargs):
        calls.append((args, kwargs))
        return object()  # ignored

    before = fields(state)
    resolution = ow.learn(state, record.decision_id, 7, 1.0, train)
    (args, kwargs), = calls
    given, reward = args
    assert kwargs == {} and type(reward) is float and reward == 7.0 == resolution.reward
    assert isinstance(given, ow.DecisionRecord) and given is not record
    assert (given.bits, given.context, given.candidates) == (None, None, None)
    for name in ["decision_id", "t", "candidate_hash", "chosen", "features", "propensity",
                 "model_version", "salt"]:
        assert getattr(given, name) == getattr(record, name)
    after = fields(state)
    # The hook replaces training: the model is untouched, the version still counts.
    assert (after["a"], after["b"], after["scale"]) == (before["a"], before["b"], before["scale"])
    assert after["model_version"] == 1 and after["records"] == []


def test_train_none_is_the_builtin_update():
    one, (r1,) = decided([0.0])
    two, (r2,) = decided([0.0])
    ow.learn(one, r1.decision_id, 1.0, 0.0)
    ow.learn(two, r2.decision_id, 1.0, 0.0, None)
    ow.expire(two, 1.0, train=None)
    assert ow.serialize(one) == ow.serialize(two)


@pytest.mark.parametrize("train, exc_type", [(5, TypeError), ("raise", ValueError)])
def test_failing_train_in_learn_keeps_the_commit(train, exc_type):
    state, (record,) = decided([0.0])
    error = ValueError("train callback raised")
    if train == "raise":
        def train(r, x):
            raise error
    assert ow.learn(state, "nope", 1.0, 0.0, train) is None
    assert ow.expire(state, 1.0, train) == ()
    with pytest.raises(exc_type) as info:
        ow.learn(state, record.decision_id, 1.0, 0.0, train)
    if exc_type is ValueError:
        assert info.value is error
    assert fields(state)["model_version"] == 1 and pending(state) == []
    assert ow.learn(state, record.decision_id, 1.0, 0.0) is None


def test_expire_with_train_failing_on_second_call():
    state, _ = decided([0.0, 0.0, 100.0, 0.0])
    error = KeyError("second")
    seen = []

    def train(record, reward):
        seen.append((record.decision_id, reward))
        if len(seen) == 2:
            raise error

    with pytest.raises(KeyError) as info:
        ow.expire(state, 10.0, train)
    assert info.value is error and seen == [("s:0", -1.0), ("s:1", -1.0)]
    assert pending(state) == ["s:2", "s:3"] and fields(state)["model_version"] == 2
    assert [r.decision_id for r in ow.expire(state, 10.0)] == ["s:3"]


@pytest.mark.parametrize("call, message", [
    (lambda s: ow.learn(s, "s:1", 1.0, 0.0), "Already borrowed: PyBorrowMutError"),
    (lambda s: ow.expire(s, 0.0), "Already borrowed: PyBorrowMutError"),
    (lambda s: ow.model_bits(s), "Already mutably borrowed: PyBorrowError"),
    (lambda s: ow.serialize(s), "Already mutably borrowed: PyBorrowError"),
])
@pytest.mark.parametrize("outer", ["learn", "expire"])
def test_reentry_from_train(panic_type, outer, call, message):
    state, _ = decided([0.0, 0.0])
    caught = []

    def train(record, reward):
        try:
            call(state)
        except BaseException as e:
            caught.append(e)

    run = {"learn": lambda t: ow.learn(state, "s:0", 1.0, 0.0, t),
           "expire": lambda t: ow.expire(state, 10.0, t)}[outer]
    assert run(train)
    assert caught and all(type(e) is panic_type and e.args == (message,) for e in caught)

    state, _ = decided([0.0, 0.0])
    with pytest.raises(panic_type) as info:
        run(lambda r, x: call(state))
    assert info.value.args == (message,)
    # Whatever was committed, the state is whole and usable again.
    copy = ow.deserialize(ow.serialize(state))
    assert ow.decide(state, {}, TWO, 0.0, "s").decision_id == "s:2"
    assert ow.model_bits(copy) == 4


@pytest.mark.parametrize("args, exc, text, note", [
    (("x", "s:0", 1.0, 0.0), TypeError, "'str' object is not an instance of 'BanditState'", "state"),
    ((None, None, 1.0, 0.0), TypeError, "'None' is not an instance of 'BanditState'", "state"),
    (("S", b"s:0", None, 0.0), TypeError, "'bytes' object is not an instance of 'str'", "decision_id"),
    (("S", None, 1.0, 0.0), TypeError, "'None' is not an instance of 'str'", "decision_id"),
    (("S", "\ud800", 1.0, 0.0), UnicodeEncodeError, None, "decision_id"),
    (("S", "s:0", None, "x"), TypeError, None, "reward"),
    (("S", "s:0", 10 ** 400, 0.0), OverflowError, None, "reward"),
    (("S", "s:0", 1.0, "x"), TypeError, None, "t"),
])
def test_learn_argument_errors(args, exc, text, note):
    state, _ = decided([0.0])
    args = tuple(state if a == "S" else a for a in args)
    with unchanged(state), expect(exc, text, note):
        ow.learn(*args, train=lambda r, x: pytest.fail("called"))


@pytest.mark.parametrize("args, exc, note", [
    ((None, 0.0), TypeError, "state"), (("S", "1"), TypeError, "t"), (("S", None), TypeError, "t"),
    (("S", -(10 ** 400)), OverflowError, "t"),
])
def test_expire_argument_errors(args, exc, note):
    state, _ = decided([0.0])
    args = tuple(state if a == "S" else a for a in args)
    with unchanged(state), expect(exc, note=note):
        ow.expire(*args)
