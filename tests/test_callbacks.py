import math
import traceback
from fractions import Fraction

import pytest

import ordwyne as ow
from conftest import TWO, expect, fields, new_state, unchanged

SCORE_MSG = "score must return one finite estimate per candidate"
COUNT_MSG = "explore must return one probability per candidate"
PROB_MSG = "explore probabilities must be finite, nonnegative, and sum to 1"
SHARED = "Already mutably borrowed: PyBorrowError"
EXCLUSIVE = "Already borrowed: PyBorrowMutError"


def failing(exc, where):
    """A two-item callback result whose conversion raises `exc` in `where`."""
    def fail(*args):
        raise exc

    item = type("Item", (), {"__float__": fail})() if where == "float" else 0.5
    methods = {"__len__": lambda self: 2, "__getitem__": lambda self, i: [item, 0.5][i]}
    if where != "float":
        methods[f"__{where}__"] = fail
    return type("Failing", (), methods)()


def test_hook_arguments_and_results():
    context, candidates, calls = {"k": 1}, TWO + [("c", {})], []
    record = ow.decide(new_state(epsilon=0.05), context, candidates, 0.0, "s",
                       lambda *a, **k: calls.append((a, k)) or (0.0, Fraction(3, 1), 2),
                       lambda *a, **k: calls.append((a, k)) or [0.0, 1.0, 0.0])
    ((s_ctx, s_cands), s_kw), ((estimates, epsilon), e_kw) = calls
    assert s_ctx is context and s_cands is candidates and s_kw == e_kw == {}
    assert estimates == [0.0, 3.0, 2.0] and all(type(x) is float for x in estimates)
    assert type(epsilon) is float and epsilon == 0.05
    assert (record.chosen, record.propensity) == (1, 1.0)
    greedy = ow.decide(new_state(epsilon=0.0), {}, candidates, 0.0, "s", lambda c, k: [0, 0, 1])
    assert (greedy.chosen, greedy.propensity) == (2, 1.0)
    # the length only sizes the list: an ordinary failure of it is ignored
    assert ow.decide(new_state(), {}, TWO, 0.0, "s", lambda c, k: failing(KeyError(), "len"))
    # without score, explore sees the model's own estimates
    state, seen = new_state(forgetfulness=1.0), []
    ow.learn(state, ow.decide(state, {}, TWO, 0.0, "abc").decision_id, 1.0, 0.0)
    ow.decide(state, {}, TWO, 0.0, "s", explore=lambda e, eps: seen.append(e) or [0.5, 0.5])
    assert seen == [[1.0, 0.5]]


@pytest.mark.parametrize("hook, result, message", [
    *[("score", result, SCORE_MSG) for result in [
        "ab", (x for x in [0.5, 0.5]), None, [0.5], [math.nan, 0.0], ["0.5", "0.5"],
        failing(RuntimeError(), "iter"), failing(RuntimeError(), "getitem"),
        failing(RuntimeError(), "float")]],
    *[("explore", result, COUNT_MSG) for result in [
        "ab", {0: 1.0, 1: 0.0}, [1.0], failing(ValueError(), "float")]],
    *[("explore", result, PROB_MSG) for result in [[0.7, 0.31], [1.5, -0.5], [math.nan, 1.0]]],
])
def test_unusable_result(hook, result, message):
    state = new_state()
    with unchanged(state), expect(ValueError, message):
        ow.decide(state, {}, TWO, 0.0, "s", **{hook: lambda a, b: result})


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("where", ["len", "iter", "getitem", "float"])
@pytest.mark.parametrize("hook", ["score", "explore"])
def test_interrupt_while_converting_a_result_escapes(hook, where, exc_type):
    exc, state = exc_type(), new_state()
    with unchanged(state), pytest.raises(exc_type) as info:
        ow.decide(state, {}, TWO, 0.0, "s", **{hook: lambda a, b: failing(exc, where)})
    assert info.value is exc


@pytest.mark.parametrize("exc_type", [KeyError, KeyboardInterrupt])
@pytest.mark.parametrize("hook", ["score", "explore"])
def test_callback_exception_is_reraised_unchanged(hook, exc_type):
    state, called = new_state(), []
    exc = exc_type(SCORE_MSG)  # even the engine's own wording must not replace it

    def failing_hook(a, b):
        raise exc

    kwargs = {hook: failing_hook}
    if hook == "score":  # explore must not run after score failed
        kwargs["explore"] = lambda e, eps: called.append(1) or [0.5, 0.5]
    with unchanged(state), pytest.raises(exc_type) as info:
        ow.decide(state, {}, TWO, 0.0, "s", **kwargs)
    assert info.value is exc and not called
    assert exc.__cause__ is None and exc.__context__ is None
    assert getattr(exc, "__notes__", None) is None
    assert "failing_hook" in [f.name for f in traceback.extract_tb(exc.__traceback__)]
    assert ow.decide(state, {}, TWO, 0.0, "s").decision_id == "s:0"


@pytest.mark.parametrize("hook", ["score", "explore"])
def test_non_callable_hook(hook):
    state = new_state()
    with unchanged(state), expect(TypeError, "'int' object is not callable"):
        ow.decide(state, {}, TWO, 0.0, "s", **{hook: 5})
    # not noticed when the engine stops before the hook is due
    with expect(ValueError, "need at least one candidate"):
        ow.decide(state, {}, [], 0.0, "s", **{hook: 5})


def two_pending():
    state = new_state()
    ow.decide(state, {}, TWO, 0.0, "s")
    ow.decide(state, {}, TWO, 0.0, "s")
    return state


@pytest.mark.parametrize("call, message", [
    (lambda s: ow.model_bits(s), SHARED),
    (lambda s: ow.serialize(s), SHARED),
    (lambda s: ow.decide(s, {}, TWO, 0.0, "in"), SHARED),
    (lambda s: ow.learn(s, "s:1", 1.0, 0.0), EXCLUSIVE),
    (lambda s: ow.expire(s, 0.0), EXCLUSIVE),
])
@pytest.mark.parametrize("outer", [
    lambda s, hook: ow.decide(s, {}, TWO, 0.0, "s", score=lambda c, k: hook() or [0.0, 0.0]),
    lambda s, hook: ow.learn(s, "s:0", 1.0, 0.0, lambda r, x: hook()),
    lambda s, hook: ow.expire(s, 10.0, lambda r, x: hook()),
], ids=["decide", "learn", "expire"])
def test_reentry_is_refused(panic_type, outer, call, message):
    assert panic_type.__bases__ == (BaseException,)
    state, caught = two_pending(), []
    assert outer(state, lambda: caught.append(pytest.raises(panic_type, call, state).value))
    assert caught and all(e.args == (message,) for e in caught)
    state = two_pending()
    with pytest.raises(panic_type) as info:
        outer(state, lambda: call(state))
    assert info.value.args == (message,)
    # the call was abandoned, and the state is whole and usable again
    assert fields(ow.deserialize(ow.serialize(state)))["decision_count"] == 2
    assert ow.decide(state, {}, TWO, 0.0, "s").decision_id == "s:2"


def test_callbacks_may_use_other_states():
    outer, inner = new_state(), new_state()

    def score(context, candidates):
        nested = ow.decide(inner, {}, TWO, 0.0, "in", score=lambda c, k: [1.0, 0.0])
        ow.learn(inner, nested.decision_id, 1.0, 0.0)
        with pytest.raises(KeyError):  # a failing nested call must not leak into the outer one
            ow.decide(inner, {}, TWO, 0.0, "in", score=lambda c, k: {}["x"])
        return [0.0, 0.0]

    assert ow.decide(outer, {}, TWO, 0.0, "out", score=score).decision_id == "out:0"
    assert ow.decide(inner, {}, TWO, 0.0, "in").decision_id == "in:1"


def test_nested_decisions_leave_the_outer_inputs_alone():
    # Each call converts its inputs into buffers of its own, even when a
    # value's own conversion decides again, with more and other candidates,
    # while the outer call is still converting.
    many = [(f"b{i}", {"x": float(i), "y": "z" * i}) for i in range(40)]

    class Deciding(int):
        def __float__(self):
            ow.decide(new_state(), {"other": 1.0}, many, 0.0, "in")
            return 2.0

    def inputs(length):
        return ({"device": "tv", "hour": length},
                [(f"a{i}", {"topic": f"t{i}", "len": length}) for i in range(3)])

    nested = ow.decide(new_state(), *inputs(Deciding()), 0.0, "s")
    plain = ow.decide(new_state(), *inputs(2.0), 0.0, "s")
    assert (nested.features, nested.candidate_hash) == (plain.features, plain.candidate_hash)
