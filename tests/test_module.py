import importlib.util
import inspect
import weakref

import pytest

import ordwyne as ow
from conftest import TWO, new_state

NAMES = ["BanditState", "DecisionRecord", "Resolution", "create", "decide", "learn",
         "expire", "serialize", "deserialize", "model_bits", "log_line"]

DOCS = {
    "create": ("(bits, horizon, default_reward=0.0, epsilon=..., forgetfulness=...)", None),
    "decide": ("(state, context, candidates, t, salt, score=None, explore=None)", None),
    "learn": ("(state, decision_id, reward, t, train=None)",
              "The resolution, or None if the id is unknown or already resolved.\n"
              "The engine classifies against the horizon at time `t`: a reward\n"
              "arriving at or past the record's `t + horizon` resolves as expired\n"
              "with the default reward. `train` is the BYO training tap: it replaces\n"
              "the built-in update and fires after the resolution commits, exactly\n"
              "once, with the classified reward."),
    "expire": ("(state, t, train=None)",
               "Every decision past its horizon at time `t`, resolved as expired, in\n"
               "ledger order. `train` as on `learn`, fired per due record."),
    "serialize": ("(state)",
                  "The current state as one plain hex string \u2014 storable anywhere text\n"
                  "goes, with no byte handling on the caller's side."),
    "deserialize": ("(data)", None),
    "model_bits": ("(state)", None),
    "log_line": ("(item)",
                 "One canonical experience-log line for a decision record\n"
                 "or resolution \u2014 append it to your log verbatim; it is exactly what\n"
                 "the `ordwyne` CLI's verify/eval/replay consume. Decision records must\n"
                 "be the ones `decide` returned (they carry the inputs; a `train`\n"
                 "callback's record does not \u2014 its inputs are already in your log)."),
}

CLASS_DOCS = {
    "BanditState": "The bandit's state: an opaque handle. Treat it linearly \u2014 always rebind\n"
                   "the returned state \u2014 and persist it with serialize/deserialize.",
    "DecisionRecord": "One decision, self-contained: what was chosen, with what probability,\n"
                      "under which id \u2014 everything outcome reporting and offline evaluation\n"
                      "need. Records returned by `decide` additionally carry the inputs the\n"
                      "decision was made over (`bits`, `context`, `candidates` \u2014 the\n"
                      "caller's own objects), so they log as-is via `log_line`; records that\n"
                      "crossed the state boundary (a `train` callback's) carry None there \u2014\n"
                      "the ledger keeps only the compact record.",
    "Resolution": "One resolution event: how a decision left the ledger. `reward` is what\n"
                  "the model trained with.",
}

RECORD_ATTRS = ["decision_id", "t", "candidate_hash", "chosen", "features", "propensity",
                "model_version", "salt", "bits", "context", "candidates"]


def instances():
    state = new_state()
    record = ow.decide(state, {}, TWO, 0.0, "s")
    resolution = ow.learn(state, record.decision_id, 1.0, 0.0)
    return {"BanditState": state, "DecisionRecord": record, "Resolution": resolution}


def test_module_contents():
    assert ow.__all__ == NAMES
    assert ow.__doc__ == ""
    assert not hasattr(ow, "PanicException")
    for name in NAMES:
        assert getattr(ow, name).__module__ == "ordwyne"
    assert all(getattr(ow, name).__self__ is ow for name in NAMES[3:])


def test_second_module_object_shares_the_types():
    spec = importlib.util.find_spec("ordwyne")
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again.__all__ == NAMES and again.__all__ is not ow.__all__
    assert again.BanditState is ow.BanditState and again.Resolution is ow.Resolution
    assert ow.model_bits(again.create(3, 1.0)) == 3


@pytest.mark.parametrize("name", ["BanditState", "DecisionRecord", "Resolution"])
def test_class_traits(name):
    cls = getattr(ow, name)
    assert cls.__doc__ == CLASS_DOCS[name]
    assert cls.__qualname__ == name and repr(cls) == f"<class 'ordwyne.{name}'>"
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    obj = instances()[name]
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert obj == obj and obj != instances()[name] and hash(obj) == hash(obj)
    assert repr(obj).startswith(f"<ordwyne.{name} object at 0x")


@pytest.mark.parametrize("name, attrs", [
    ("BanditState", []),
    ("DecisionRecord", RECORD_ATTRS),
    ("Resolution", ["decision_id", "kind", "reward"]),
])
def test_attributes_are_read_only(name, attrs):
    obj = instances()[name]
    cls = type(obj)
    assert sorted(a for a in dir(obj) if not a.startswith("_")) == sorted(attrs)
    for attr in attrs:
        assert getattr(cls, attr).__doc__ is None
        with pytest.raises(AttributeError):
            setattr(obj, attr, getattr(obj, attr))
        with pytest.raises(AttributeError):
            delattr(obj, attr)


@pytest.mark.parametrize("name", sorted(DOCS))
def test_function_documentation(name):
    fn = getattr(ow, name)
    signature, body = DOCS[name]
    assert fn.__name__ == name
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == body
    params = inspect.signature(fn).parameters.values()
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params)


STATE = object()  # placeholder replaced by a real state in the test

BINDING_ERRORS = [
    ("create", (), {}, "bits"),
    ("create", (4,), {}, "horizon"),
    ("create", (4, 1.0, 0.0, 0.1, 0.9, 1), {}, None),
    ("create", (4, 1.0), {"bogus": 1}, "bogus"),
    ("create", (4, 1.0), {"bits": 4}, "bits"),
    ("decide", (STATE, {}, TWO, 0.0), {}, "salt"),
    ("decide", (STATE, {}, TWO, 0.0, "s", None, None, None), {}, None),
    ("learn", (STATE, "s:0", 1.0), {}, "t"),
    ("learn", (STATE, "s:0", 1.0, 0.0), {"state": STATE}, "state"),
    ("expire", (STATE,), {}, "t"),
    ("expire", (STATE, 0.0), {"when": 1}, "when"),
    ("serialize", (), {}, "state"),
    ("serialize", (STATE, STATE), {}, None),
    ("deserialize", (), {"text": ""}, None),
    ("model_bits", (STATE,), {"state": STATE}, None),
    ("log_line", (), {}, "item"),
]


@pytest.mark.parametrize("name, args, kwargs, mentioned", BINDING_ERRORS)
def test_argument_binding_errors(name, args, kwargs, mentioned):
    state = new_state()
    args = tuple(state if a is STATE else a for a in args)
    kwargs = {k: state if v is STATE else v for k, v in kwargs.items()}
    before = ow.serialize(state)
    with pytest.raises(TypeError) as info:
        getattr(ow, name)(*args, **kwargs)
    message = str(info.value)
    assert name in message and (mentioned is None or mentioned in message)
    assert getattr(info.value, "__notes__", None) is None
    assert ow.serialize(state) == before


def test_binding_precedes_conversion():
    # A bad bits value must not be reported while horizon is missing.
    with pytest.raises(TypeError, match="horizon"):
        ow.create("x")


def test_keyword_arguments_everywhere():
    state = ow.create(bits=3, horizon=5, epsilon=0.0, forgetfulness=1.0, default_reward=-1.0)
    record = ow.decide(salt="k", t=1, candidates=TWO, context={}, state=state)
    assert record.decision_id == "k:0" and record.t == 1.0 and record.bits == 3
    assert ow.expire(t=6.0, state=state)[0].reward == -1.0
    assert ow.model_bits(state=ow.deserialize(data=ow.serialize(state=state))) == 3
    assert ow.log_line(item=record).startswith('{"event":"decision"')
