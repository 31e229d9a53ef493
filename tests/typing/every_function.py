"""A host program typed against the module: every name in use, the
callbacks with their exact signatures. Type-checked with mypy --strict and
pyright (strict); also run, so that what it claims holds at run time."""
# pyright: strict

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, NamedTuple, TypeGuard

import ordwyne
from ordwyne import BanditState, DecisionRecord, Resolution

if TYPE_CHECKING:
    from typing_extensions import assert_type

    from ordwyne import PanicException
else:
    import types
    import typing

    def assert_type(value, expected):
        # At run time the value must at least be an instance of the type's
        # plain class (or of one member of a union).
        options = typing.get_args(expected) if isinstance(expected, types.UnionType) else [expected]
        assert any(isinstance(value, typing.get_origin(o) or o) for o in options), (value, expected)
        return value

Value = str | bool | int | float | None


class Candidate(NamedTuple):
    # A NamedTuple of (str, dict) is a tuple of two: decide takes it.
    name: str
    features: dict[str, Value]


def score(context: dict[str, Value],
          candidates: Sequence[tuple[str, dict[str, Value]]]) -> list[float]:
    hour = context.get("hour")
    bonus = float(hour) if isinstance(hour, (int, float)) else 0.0
    return [bonus + len(features) for _, features in candidates]


def explore(estimates: list[float], epsilon: float) -> tuple[float, ...]:
    n = len(estimates)
    best = estimates.index(max(estimates))
    return tuple(epsilon / n + (1.0 - epsilon if i == best else 0.0) for i in range(n))


trained: list[tuple[DecisionRecord, float]] = []


def train(record: DecisionRecord, reward: float) -> None:
    trained.append((record, reward))


def is_panic(error: BaseException) -> TypeGuard[PanicException]:
    # The class can be named only in annotations; at run time it is known by name.
    return type(error).__name__ == "PanicException"


state: BanditState = ordwyne.create(12, 60.0)
state = ordwyne.create(bits=12, horizon=60, default_reward=-0.5, epsilon=0.1, forgetfulness=1.0)
assert_type(ordwyne.model_bits(state), int)

context: dict[str, Value] = {"device": "phone", "hour": 9, "returning": True, "score": 0.5,
                             "referrer": None}
candidates = [Candidate("a", {"topic": "sport"}), Candidate("b", {"length": 900})]
record = ordwyne.decide(state, context, candidates, 0.0, "host-1")
assert_type(record, DecisionRecord)
record = ordwyne.decide(state, {"device": "tablet"}, (("a", {}), ("b", {"x": 2})), t=1.5,
                        salt="host-1", score=score, explore=explore)
record = ordwyne.decide(state, {}, [("a", {})], 2, "host-1",
                        score=lambda ctx, cands: [0.0] * len(cands),
                        explore=lambda estimates, epsilon: [1.0])

assert_type(record.decision_id, str)
assert_type(record.t, float)
assert_type(record.candidate_hash, int)
assert_type(record.chosen, int)
assert_type(record.features, list[tuple[int, float]])
assert_type(record.propensity, float)
assert_type(record.model_version, int)
assert_type(record.salt, str)
assert_type(record.bits, int | None)
assert_type(record.context, dict[str, Value] | None)
assert_type(record.candidates, Sequence[tuple[str, dict[str, Value]]] | None)

line: str = ordwyne.log_line(record)

resolution = ordwyne.learn(state, record.decision_id, 1.0, 3.0)
assert_type(resolution, Resolution | None)
if resolution is not None:
    assert_type(resolution.kind, str)
    assert_type(resolution.reward, float | None)
    line = ordwyne.log_line(resolution)

first = ordwyne.decide(state, context, candidates, 4.0, "host-1")
ordwyne.learn(state, first.decision_id, reward=0, t=5, train=train)
resolutions = ordwyne.expire(state, 1e9, train=train)
assert_type(resolutions, tuple[Resolution, ...])
for resolved in ordwyne.expire(state, float("inf")):
    assert_type(resolved.decision_id, str)

text: str = ordwyne.serialize(state)
copy: BanditState = ordwyne.deserialize(text)
assert ordwyne.serialize(copy) == text

try:
    ordwyne.decide(state, {}, [("a", {})], 0.0, "host-1",
                   score=lambda ctx, cands: [float(ordwyne.model_bits(state))])
except BaseException as error:
    assert is_panic(error)
    if TYPE_CHECKING:
        assert_type(error, PanicException)

names: list[str] = ordwyne.__all__
assert len(trained) == 3 and names[0] == "BanditState"
