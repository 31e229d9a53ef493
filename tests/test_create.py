import math

import pytest

import ordwyne as ow
from conftest import DIM_MESSAGE, expect, f64_bits, fields, new_state, sealed, state_body

NAN, INF = math.nan, math.inf
BITS = "bits must be between 1 and 24"
HORIZON = "horizon must be positive"
EPSILON = "epsilon must be in [0, 1]"
FORGET = "forgetting must be in (0, 1] (1.0 = never forget)"


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Float:
    def __float__(self):
        return 2.5


def test_defaults_and_fresh_state():
    s = fields(ow.create(10, 100.0))
    assert (s["dim"], s["ridge"], s["forgetting"], s["scale"]) == (1024, 1.0, 0.999, 1.0)
    assert (s["horizon"], s["default_reward"], s["epsilon"]) == (100.0, 0.0, 0.05)
    assert s["decision_count"] == s["model_version"] == 0 and s["records"] == []
    assert set(s["a"]) == set(s["b"]) == {0.0}


@pytest.mark.parametrize("bits", [1, 2, 8, 24])
def test_bits_round_trip(bits):
    assert ow.model_bits(ow.create(bits, 1.0)) == bits


@pytest.mark.parametrize("args, message", [
    ((0, 1.0), BITS),
    ((25, 1.0), BITS),
    ((2 ** 32 - 1, 1.0), BITS),
    ((0, 0.0, 0.0, 2.0, 0.0), BITS),
    ((4, 0.0), HORIZON),
    ((4, -1.0), HORIZON),
    ((4, NAN), HORIZON),
    ((4, 0.0, 0.0, NAN, NAN), HORIZON),
    ((4, 1.0, 0.0, -0.1), EPSILON),
    ((4, 1.0, 0.0, 1.1), EPSILON),
    ((4, 1.0, 0.0, NAN, 0.0), EPSILON),
    ((4, 1.0, 0.0, 0.5, 0.0), FORGET),
    ((4, 1.0, 0.0, 0.5, 1.5), FORGET),
    ((4, 1.0, 0.0, 0.5, NAN), FORGET),
    ((4, 1.0, 0.0, 0.5, -INF), FORGET),
])
def test_engine_validation_in_order(args, message):
    with expect(ValueError, message):
        ow.create(*args)


@pytest.mark.parametrize("args", [
    (1, INF, NAN, 0.0, 1.0),
    (4, 1e-300, -INF, 1.0, 5e-324),
    (4, 1.0, INF, 0.0, 1.0),
])
def test_extremes_accepted_and_stored_unchanged(args):
    s = fields(ow.create(*args))
    got = (s["horizon"], s["default_reward"], s["epsilon"], s["forgetting"])
    assert list(map(f64_bits, got)) == list(map(f64_bits, args[1:]))


@pytest.mark.parametrize("args, exc, param", [
    ((-1, 1.0), OverflowError, "bits"),
    ((2 ** 32, 1.0), OverflowError, "bits"),
    ((2 ** 64, 1.0), OverflowError, "bits"),
    ((-(2 ** 70), 1.0), OverflowError, "bits"),
    ((10.0, 1.0), TypeError, "bits"),
    (("4", 1.0), TypeError, "bits"),
    ((None, 1.0), TypeError, "bits"),
    ((4, "1"), TypeError, "horizon"),
    ((4, 10 ** 400), OverflowError, "horizon"),
    ((4, 1.0, None), TypeError, "default_reward"),
    ((4, 1.0, 0.0, None), TypeError, "epsilon"),
    ((4, 1.0, 0.0, 0.1, None), TypeError, "forgetfulness"),
    ((4, 1.0, 0.0, 0.1, [1.0]), TypeError, "forgetfulness"),
    # Conversion runs left to right, before the engine sees anything.
    ((-1, None, None), OverflowError, "bits"),
    ((0, None), TypeError, "horizon"),
    ((4, 0.0, "x"), TypeError, "default_reward"),
    ((4, 1.0, 0.0, 5.0, "x"), TypeError, "forgetfulness"),
])
def test_conversion_errors_carry_the_parameter_note(args, exc, param):
    with expect(exc, note=param):
        ow.create(*args)


def test_out_of_range_bits_text():
    with expect(OverflowError, "out of range integral type conversion attempted", "bits"):
        ow.create(2 ** 32, 1.0)


def test_index_and_float_protocols():
    state = ow.create(Index(6), Index(3), Float(), epsilon=Index(1), forgetfulness=True)
    s = fields(state)
    assert ow.model_bits(state) == 6
    assert (s["horizon"], s["default_reward"], s["epsilon"], s["forgetting"]) == (3.0, 2.5, 1.0, 1.0)
    with expect(OverflowError, note="bits"):
        ow.create(Index(-5), 1.0)


def test_keywords_and_int_horizon():
    state = ow.create(bits=12, horizon=3)
    assert ow.model_bits(state) == 12
    h = fields(state)["horizon"]
    assert h == 3.0 and type(h) is float


@pytest.mark.parametrize("bad, text", [
    ({}, "'dict' object is not an instance of 'BanditState'"),
    (None, "'None' is not an instance of 'BanditState'"),
    (ow.BanditState, "'type' object is not an instance of 'BanditState'"),
    ("s", "'str' object is not an instance of 'BanditState'"),
])
@pytest.mark.parametrize("fn", [ow.model_bits, ow.serialize])
def test_state_type_mismatch(fn, bad, text):
    with expect(TypeError, text, "state"):
        fn(bad)


class Outer:
    class Inner:
        pass


def test_mismatch_names_the_qualified_type():
    with expect(TypeError, "'Outer.Inner' object is not an instance of 'BanditState'", "state"):
        ow.model_bits(Outer.Inner())
    record = ow.decide(new_state(), {}, [("a", {})], 0.0, "s")
    with expect(TypeError, "'DecisionRecord' object is not an instance of 'BanditState'", "state"):
        ow.model_bits(record)


@pytest.mark.parametrize("dim", [1, 3, 6, 48])
def test_model_bits_refuses_foreign_dimension(dim):
    state = ow.deserialize(sealed(state_body(dim=dim)))
    with expect(ValueError, DIM_MESSAGE):
        ow.model_bits(state)
