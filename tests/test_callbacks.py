import math
import traceback
from fractions import Fraction

import pytest

import ordwyne as ow
from conftest import TWO, expect, new_state, unchanged

SCORE_MSG = "score must return one finite estimate per candidate"
COUNT_MSG = "explore must return one probability per candidate"
PROB_MSG = "explore probabilities must be finite, nonnegative, and sum to 1"


def test_score_and_explore_arguments():
    state = new_state(epsilon=0.05)
    context, candidates = {"k": 1}, [("a", {}), ("b", {}), ("c", {})]
    calls = []

    def score(*args, **kwargs):
        calls.append(("score", args, kwargs))
        return (0.0, Fraction(3, 1), 2)

    def explore(*args, **kwargs):
        calls.append(("explore", args, kwargs))
        return [0.0, 1.0, 0.0]

    record = ow.decide(state, context, candidates, 0.0, "s", score, explore)
    (_, s_args, s_kw), (_, e_args, e_kw) = calls
    assert s_kw == e_kw == {} and len(s_args) == len(e_args) == 2
    assert s_args[0] is context and s_args[1] is candidates
    estimates, epsilon = e_args
    assert type(estimates) is list and estimates == [0.0, 3.0, 2.0]
    assert all(type(x) is float for x in estimates) and type(epsilon) is float and epsilon == 0.05
    assert (record.chosen, record.propensity) == (1, 1.0)


def test_explore_sees_the_models_estimates_without_score():
    state = new_state(forgetfulness=1.0)
    first = ow.decide(state, {}, TWO, 0.0, "abc")  # chooses "a": [(11, 1.0), (14, -1.0)]
    ow.learn(state, first.decision_id, 1.0, 0.0)
    seen = []
    ow.decide(state, {}, TWO, 0.0, "s", explore=lambda e, eps: seen.append(e) or [0.5, 0.5])
    assert seen == [[1.0, 0.5]]


def test_score_drives_the_greedy_choice():
    state = new_state(epsilon=0.0)
    for best in range(3):
        scores = [0.0, 0.0, 0.0]
        scores[best] = 1.0
        record = ow.decide(state, {}, TWO + [("c", {})], 0.0, "s", score=lambda c, k: scores)
        assert (record.chosen, record.propensity) == (best, 1.0)


class Item:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class Indexed:
    """Iterated through __getitem__; fails there or in an item's __float__."""

    def __init__(self, exc, where):
        self.exc, self.where = exc, where

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        if self.where == "getitem":
            raise self.exc
        return Item(self.exc) if i == 0 else 0.5


class Iterated(Indexed):
    def __iter__(self):
        raise self.exc


def failing(exc, where):
    return (Iterated if where == "iter" else Indexed)(exc, where)


def _gen():
    yield 0.5
    yield 0.5


@pytest.mark.parametrize("result", ["ab", "0.5", _gen(), None, 3, [0.5], [0.5, 0.5, 0.0],
                                    [math.nan, 0.0], [0.0, math.inf], ["0.5", "0.5"],
                                    failing(RuntimeError("x"), "iter"),
                                    failing(RuntimeError("x"), "getitem"), failing(RuntimeError("x"), "float")])
def test_unusable_score_result(result):
    state = new_state()
    with unchanged(state), expect(ValueError, SCORE_MSG):
        ow.decide(state, {}, TWO, 0.0, "s", score=lambda c, k: result)


@pytest.mark.parametrize("result, message", [
    ("ab", COUNT_MSG), (_gen(), COUNT_MSG), ({0: 1.0, 1: 0.0}, COUNT_MSG), ([1.0], COUNT_MSG),
    ([object(), 1.0], COUNT_MSG), (failing(ValueError("x"), "float"), COUNT_MSG),
    ([0.7, 0.31], PROB_MSG), ([1.5, -0.5], PROB_MSG), ([0.5, 0.4], PROB_MSG),
    ([math.nan, 1.0], PROB_MSG), ([math.inf, -math.inf], PROB_MSG), ([1.0, -0.0001], PROB_MSG),
])
def test_unusable_explore_result(result, message):
    state = new_state()
    with unchanged(state), expect(ValueError, message):
        ow.decide(state, {}, TWO, 0.0, "s", explore=lambda e, eps: result)


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("where", ["iter", "getitem", "float"])
@pytest.mark.parametrize("hook", ["score", "explore"])
def test_interrupt_while_converting_a_result_escapes(hook, where, exc_type):
    exc = exc_type()
    result = failing(exc, where)
    state = new_state()
    kwargs = {hook: (lambda a, b: result)}
    with unchanged(state), pytest.raises(BaseException) as info:
        ow.decide(state, {}, TWO, 0.0, "s", **kwargs)
    assert info.value is exc


def _raise(exc):
    def hook(a, b):
        raise exc
    return hook


@pytest.mark.parametrize("exc_type", [KeyError, ValueError, KeyboardInterrupt, SystemExit, Exception])
@pytest.mark.parametrize("hook", ["score", "explore"])
def test_callback_exception_is_reraised_unchanged(hook, exc_type):
    state = new_state()
    exc = exc_type(SCORE_MSG)  # even the engine's own wording must not replace it
    called = []
    kwargs = {hook: _raise(exc)}
    if hook == "score":
        kwargs["explore"] = lambda e, eps: called.append(1) or [0.5, 0.5]
    with unchanged(state), pytest.raises(BaseException) as info:
        ow.decide(state, {}, TWO, 0.0, "s", **kwargs)
    assert info.value is exc and not called
    assert exc.__cause__ is None and exc.__context__ is None
    assert getattr(exc, "__notes__", None) is None
    assert "hook" in [frame.name for frame in traceback.extract_tb(exc.__traceback__)]
    assert ow.decide(state, {}, TWO, 0.0, "s").decision_id == "s:0"


@pytest.mark.parametrize("hook", ["score", "explore"])
def test_non_callable_hook(hook):
    state = new_state()
    with unchanged(state), expect(TypeError, "'int' object is not callable"):
        ow.decide(state, {}, TWO, 0.0, "s", **{hook: 5})
    # Not noticed when the engine stops before the hook is due.
    with expect(ValueError, "need at least one candidate"):
        ow.decide(state, {}, [], 0.0, "s", **{hook: 5})
    with expect(ValueError, "feature 'k' has unsupported type list"):
        ow.decide(state, {"k": []}, TWO, 0.0, "s", **{hook: 5})


@pytest.mark.parametrize("call, message", [
    (lambda s: ow.model_bits(s), "Already mutably borrowed: PyBorrowError"),
    (lambda s: ow.serialize(s), "Already mutably borrowed: PyBorrowError"),
    (lambda s: ow.decide(s, {}, TWO, 0.0, "in"), "Already mutably borrowed: PyBorrowError"),
    (lambda s: ow.learn(s, "s:0", 1.0, 0.0), "Already borrowed: PyBorrowMutError"),
    (lambda s: ow.expire(s, 0.0), "Already borrowed: PyBorrowMutError"),
])
def test_reentry_is_refused(panic_type, call, message):
    assert panic_type.__bases__ == (BaseException,)
    state = new_state()
    ow.decide(state, {}, TWO, 0.0, "s")
    caught = []

    def score(context, candidates):
        try:
            call(state)
        except BaseException as e:
            caught.append(e)
        return [0.0, 0.0]

    record = ow.decide(state, {}, TWO, 0.0, "s", score=score)
    assert record.decision_id == "s:1"
    (e,) = caught
    assert type(e) is panic_type and e.args == (message,)

    def escaping(context, candidates):
        call(state)

    with unchanged(state), pytest.raises(panic_type) as info:
        ow.decide(state, {}, TWO, 0.0, "s", score=escaping)
    assert info.value.args == (message,)
    assert ow.decide(state, {}, TWO, 0.0, "s").decision_id == "s:2"


def test_callbacks_may_use_other_states():
    outer, inner = new_state(), new_state()

    def score(context, candidates):
        nested = ow.decide(inner, {}, TWO, 0.0, "in", score=lambda c, k: [1.0, 0.0])
        ow.learn(inner, nested.decision_id, 1.0, 0.0)
        try:  # a failing nested call must not leak into the outer one
            ow.decide(inner, {}, TWO, 0.0, "in", score=_raise(KeyError("inner")))
        except KeyError:
            pass
        return [0.0, 0.0]

    assert ow.decide(outer, {}, TWO, 0.0, "out", score=score).decision_id == "out:0"
    assert ow.decide(inner, {}, TWO, 0.0, "in").decision_id == "in:1"
