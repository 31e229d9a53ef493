import importlib.util
import inspect
import math
import weakref

import pytest

import ordwyne as ow
from conftest import TWO, expect, f64_bits, fields, new_state

NAN, INF = math.nan, math.inf
CLASSES = {  # how the documentation starts, and the attributes
    "BanditState": ("The bandit's state: an opaque handle. Treat it linearly \u2014 always", []),
    "DecisionRecord": ("One decision, self-contained: what was chosen, with what",
                       ["decision_id", "t", "candidate_hash", "chosen", "features", "propensity",
                        "model_version", "salt", "bits", "context", "candidates"]),
    "Resolution": ("One resolution event: how a decision left the ledger. `reward` is what\n",
                   ["decision_id", "kind", "reward"]),
}
FUNCTIONS = {  # the signature, and how the documentation starts (None: it has none)
    "create": ("(bits, horizon, default_reward=0.0, epsilon=..., forgetfulness=...)", None),
    "decide": ("(state, context, candidates, t, salt, score=None, explore=None)", None),
    "learn": ("(state, decision_id, reward, t, train=None)", "The resolution, or None if the id"),
    "expire": ("(state, t, train=None)", "Every decision past its horizon at time `t`, resolved"),
    "serialize": ("(state)", "The current state as one plain hex string \u2014 storable"),
    "deserialize": ("(data)", None),
    "model_bits": ("(state)", None),
    "log_line": ("(item)", "One canonical experience-log line for a decision record\nor"),
}
NAMES = [*CLASSES, *FUNCTIONS]


def instance(name):
    state = new_state()
    record = ow.decide(state, {}, TWO, 0.0, "s")
    return {"BanditState": state, "DecisionRecord": record,
            "Resolution": ow.learn(state, record.decision_id, 1.0, 0.0)}[name]


def test_module_contents():
    assert ow.__all__ == NAMES and ow.__doc__ == "" and not hasattr(ow, "PanicException")
    assert all(getattr(ow, n).__module__ == "ordwyne" for n in NAMES)
    assert all(getattr(ow, n).__self__ is ow for n in FUNCTIONS)
    found = importlib.util.find_spec("ordwyne")
    again = importlib.util.module_from_spec(found)
    found.loader.exec_module(again)
    assert again.__all__ == NAMES and again.__all__ is not ow.__all__
    assert again.BanditState is ow.BanditState and ow.model_bits(again.create(3, 1.0)) == 3


@pytest.mark.parametrize("name", CLASSES)
def test_class_traits(name):
    (doc, attrs), cls, obj = CLASSES[name], getattr(ow, name), instance(name)
    assert cls.__doc__.startswith(doc) and cls.__bases__ == (object,)
    assert repr(cls) == f"<class 'ordwyne.{name}'>" and cls.__qualname__ == name
    for make in [cls, lambda: type("Sub", (cls,), {}), lambda: weakref.ref(obj)]:
        with pytest.raises(TypeError):
            make()
    assert not hasattr(obj, "__dict__") and obj != instance(name)
    assert sorted(a for a in dir(obj) if not a.startswith("_")) == sorted(attrs)
    for attr in attrs + ["extra"]:
        with pytest.raises(AttributeError):
            setattr(obj, attr, 1)
    for attr in attrs:
        assert getattr(cls, attr).__doc__ is None
        with pytest.raises(AttributeError):
            delattr(obj, attr)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_documentation(name):
    (signature, doc), fn = FUNCTIONS[name], getattr(ow, name)
    assert (fn.__name__, fn.__text_signature__) == (name, signature)
    assert fn.__doc__ is None if doc is None else fn.__doc__.startswith(doc)
    assert {p.kind for p in inspect.signature(fn).parameters.values()} == {
        inspect.Parameter.POSITIONAL_OR_KEYWORD}


@pytest.mark.parametrize("name, args, kwargs, mentioned", [
    ("create", ("x",), {}, "horizon"),  # binding precedes converting bits
    ("create", (4, 1.0, 0.0, 0.1, 0.9, 1), {}, "6 given"),
    ("log_line", (), {"item": 1, "x": 2}, "2 given"),
    ("expire", (None, 0.0), {"when": 1}, "when"),
    ("learn", (None, "s:0", 1.0, 0.0), {"state": None}, "state"),
])
def test_argument_binding_errors(name, args, kwargs, mentioned):
    with expect(TypeError) as info:
        getattr(ow, name)(*args, **kwargs)
    assert f"{name}()" in str(info.value) and mentioned in str(info.value)


def test_keyword_arguments_everywhere():
    state = ow.create(bits=3, horizon=5, epsilon=0.0, forgetfulness=1.0, default_reward=-1.0)
    record = ow.decide(salt="k", t=1, candidates=TWO, context={}, state=state)
    assert (record.decision_id, record.t, record.bits) == ("k:0", 1.0, 3)
    assert ow.expire(t=6.0, state=state)[0].reward == -1.0
    assert ow.model_bits(state=ow.deserialize(data=ow.serialize(state=state))) == 3
    assert ow.log_line(item=record).startswith('{"event":"decision"')


def index(v):
    return type("Index", (), {"__index__": lambda self: v})()


@pytest.mark.parametrize("args, stored", [
    ((10, 100), (100.0, 0.0, 0.05, 0.999)),
    ((index(6), index(3), type("H", (), {"__float__": lambda s: 2.5})(), index(1), True),
     (3.0, 2.5, 1.0, 1.0)),
    ((1, INF, NAN, 0.0, 1.0), None),  # extremes the engine accepts are stored bit for bit
    ((4, 5e-324, -INF, 1.0, 5e-324), None),
])
def test_create_stores_converted_values(args, stored):
    s = fields(ow.create(*args))
    assert (s["dim"], s["ridge"], s["scale"]) == (2 ** args[0].__index__(), 1.0, 1.0)
    assert s["decision_count"] == 0 and s["records"] == [] and set(s["a"] + s["b"]) == {0.0}
    got = [s["horizon"], s["default_reward"], s["epsilon"], s["forgetting"]]
    assert list(map(f64_bits, got)) == list(map(f64_bits, stored or args[1:]))


class Outer:
    class Inner:
        pass


RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize("fn, args, exc, text, note", [
    (ow.create, (0, 0.0, 0.0, 2.0, 0.0), ValueError, "bits must be between 1 and 24", None),
    (ow.create, (25, 1.0), ValueError, "bits must be between 1 and 24", None),
    (ow.create, (2 ** 32 - 1, 1.0), ValueError, "bits must be between 1 and 24", None),
    (ow.create, (4, NAN, 0.0, NAN, NAN), ValueError, "horizon must be positive", None),
    (ow.create, (4, 1.0, 0.0, NAN, 0.0), ValueError, "epsilon must be in [0, 1]", None),
    (ow.create, (4, 1.0, 0.0, 1.0, NAN), ValueError,
     "forgetting must be in (0, 1] (1.0 = never forget)", None),
    (ow.create, (2 ** 32, None), OverflowError, RANGE, "bits"),
    (ow.create, (index(-1), 1.0), OverflowError, RANGE, "bits"),
    (ow.create, (-(2 ** 70), 1.0), OverflowError, None, "bits"),
    (ow.create, (10.0, 1.0), TypeError, None, "bits"),
    (ow.create, (0, "1"), TypeError, None, "horizon"),
    (ow.create, (4, 0.0, None), TypeError, None, "default_reward"),
    (ow.create, (4, 1.0, 0.0, None), TypeError, None, "epsilon"),
    (ow.create, (4, 1.0, 0.0, 5.0, [1.0]), TypeError, None, "forgetfulness"),
    (ow.model_bits, (None,), TypeError, "'None' is not an instance of 'BanditState'", "state"),
    (ow.serialize, (ow.BanditState,), TypeError,
     "'type' object is not an instance of 'BanditState'", "state"),
    (ow.model_bits, (Outer.Inner(),), TypeError,
     "'Outer.Inner' object is not an instance of 'BanditState'", "state"),
])
def test_refused_arguments(fn, args, exc, text, note):
    with expect(exc, text, note):
        fn(*args)
