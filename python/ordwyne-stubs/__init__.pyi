"""A deterministic contextual-bandit decision engine.

Create a state with `create`, pick a candidate with `decide`, report the
outcome with `learn` (or let `expire` close it with the default reward),
keep the state with `serialize`/`deserialize` and log every decision and
resolution with `log_line`.
"""

from collections.abc import Callable, Sequence
from typing import Protocol, SupportsFloat, SupportsIndex, final, type_check_only

__all__ = [
    "BanditState",
    "DecisionRecord",
    "Resolution",
    "create",
    "decide",
    "learn",
    "expire",
    "serialize",
    "deserialize",
    "model_bits",
    "log_line",
]

# Signatures spell their types out rather than through aliases, so that an
# editor shows them in full. A feature value is None (no feature), a str (a
# category) or a bool, int or float (a weight); the module wants a real dict
# and (name, dict) tuples, so Mapping and list pairs are not offered. Number
# parameters take whatever float() takes: SupportsFloat | SupportsIndex.

@type_check_only
class _Reals(Protocol):
    """What a score or explore callback may return: a sequence (list, tuple,
    array) of numbers. A str, a dict or a generator is refused at run time."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsFloat | SupportsIndex: ...

@final
class BanditState:
    """The bandit's state: an opaque handle. Treat it linearly — always rebind
    the returned state — and persist it with serialize/deserialize.

    Made only by `create` and `deserialize` (calling the class raises
    TypeError) and changed in place by `decide`, `learn` and `expire`. It has
    no attributes. One state is used by one thread at a time: a second call
    on the same state while a callback of the first is running raises
    `PanicException`. `deserialize(serialize(state))` is the only way to copy
    a state.
    """

@final
class DecisionRecord:
    """One decision, self-contained: what was chosen, with what probability,
    under which id — everything outcome reporting and offline evaluation
    need. Records returned by `decide` additionally carry the inputs the
    decision was made over (`bits`, `context`, `candidates` — the
    caller's own objects), so they log as-is via `log_line`; records that
    crossed the state boundary (a `train` callback's) carry None there —
    the ledger keeps only the compact record.

    Made only by `decide` and for `train` callbacks; every attribute is
    read-only.
    """

    @property
    def decision_id(self) -> str:
        """The salt, ":" and the state's decision counter, e.g. "web-1:41".
        Unique within one state; pass it to `learn`."""

    @property
    def t(self) -> float:
        """The time `decide` was given, unchanged (in the caller's unit)."""

    @property
    def candidate_hash(self) -> int:
        """Fingerprint (0 to 2**64 - 1) of the encoded candidate set and the
        feature bits; equal for equal candidates in equal order."""

    @property
    def chosen(self) -> int:
        """Index of the chosen candidate in the candidates given to `decide`."""

    @property
    def features(self) -> list[tuple[int, float]]:
        """The chosen candidate's encoded features as (index, value) pairs,
        indices increasing; the vector `learn` trains on. A new list on every
        read."""

    @property
    def propensity(self) -> float:
        """The probability with which the chosen candidate was drawn."""

    @property
    def model_version(self) -> int:
        """How many resolutions the state had trained on when it decided."""

    @property
    def salt(self) -> str:
        """The salt `decide` was given."""

    @property
    def bits(self) -> int | None:
        """The state's feature bits at the decision; None in a `train`
        callback's record."""

    @property
    def context(self) -> dict[str, str | bool | int | float | None] | None:
        """The very context dict given to `decide` (not a copy: later changes
        show); None in a `train` callback's record."""

    @property
    def candidates(
        self,
    ) -> Sequence[tuple[str, dict[str, str | bool | int | float | None]]] | None:
        """The very candidates object given to `decide` (not a copy); None in
        a `train` callback's record."""

@final
class Resolution:
    """One resolution event: how a decision left the ledger. `reward` is what
    the model trained with.

    Returned by `learn` and `expire`; every attribute is read-only.
    """

    @property
    def decision_id(self) -> str:
        """The id of the resolved decision."""

    @property
    def kind(self) -> str:
        """"rewarded" (a reward arrived before the horizon ran out) or
        "expired" (resolved at or past the record's `t + horizon`, with the
        default reward)."""

    @property
    def reward(self) -> float | None:
        """The reward the model trained with (or `train` received): the
        reported one for "rewarded", the state's default reward for
        "expired". `learn` and `expire` never make None."""

# Not an attribute of the module at run time: the class exists (as
# ordwyne.PanicException) but is reachable only through a caught exception.
# Declared so that annotations can name it; see the docstring.
@final
class PanicException(BaseException):
    """Raised when a call into ordwyne fails internally (a state already in
    use, a dictionary changed while it was read). Derives from BaseException
    so that `except Exception` does not swallow it.

    `ordwyne.PanicException` does not exist at run time: use this name only
    in annotations (under `typing.TYPE_CHECKING` or in quoted annotations).
    To catch it, catch BaseException and test `type(e).__name__ ==
    "PanicException"`, then re-raise anything else.

    The usual cause is using one state from two places at once: a `score`,
    `explore` or `train` callback (or another thread while a callback runs)
    calling a module function on the state whose call is running. The text
    is "Already mutably borrowed: PyBorrowError" for `decide`, `model_bits`
    and `serialize`, "Already borrowed: PyBorrowMutError" for `learn` and
    `expire`. If a callback lets it escape, the outer call raises a new
    PanicException with the same text: a `decide` then changes nothing,
    while a `learn` or `expire` has already resolved the decision whose
    `train` let it through, as with any exception from `train`.
    """

def create(
    bits: SupportsIndex,
    horizon: SupportsFloat | SupportsIndex,
    default_reward: SupportsFloat | SupportsIndex = 0.0,
    epsilon: SupportsFloat | SupportsIndex = 0.05,
    forgetfulness: SupportsFloat | SupportsIndex = 0.999,
) -> BanditState:
    """A new bandit state with an untrained model and no pending decisions.

    Args:
        bits: feature bits, 1 to 24. Features hash into 2**bits
            coordinates; the model takes 16 * 2**bits bytes (bits 20:
            16 MiB, bits 24: 256 MiB) and `serialize` twice that in text.
            Fewer bits mean more features sharing a coordinate.
        horizon: how long, in the unit of your `t` values, a decision waits
            for its reward. A reward reported at or past `t + horizon`
            counts as `default_reward`. Positive; math.inf means never.
        default_reward: the reward of a decision that expires. Default 0.0.
        epsilon: exploration share, 0 to 1: every candidate gets at least
            epsilon / n of the probability, the best estimates share the
            rest. Default 0.05.
        forgetfulness: factor, in (0, 1], by which everything learned so
            far is discounted at each training step (1.0: never forget).
            Default 0.999, which halves an old observation's weight after
            about 693 resolutions.

    Raises:
        ValueError: bits outside 1..24 ("bits must be between 1 and 24"),
            horizon not positive or NaN ("horizon must be positive"), epsilon
            outside [0, 1] ("epsilon must be in [0, 1]"), forgetfulness
            outside (0, 1] ("forgetting must be in (0, 1] (1.0 = never
            forget)"); the first failing check in this order.
        TypeError: bits is not an integer (a float is refused); a number
            argument is not a number (None does not select the default).
        OverflowError: bits is negative or at least 2**32.
    """

def decide(
    state: BanditState,
    context: dict[str, str | bool | int | float | None],
    candidates: Sequence[tuple[str, dict[str, str | bool | int | float | None]]],
    t: SupportsFloat | SupportsIndex,
    salt: str,
    score: Callable[
        [dict[str, str | bool | int | float | None],
         Sequence[tuple[str, dict[str, str | bool | int | float | None]]]],
        _Reals,
    ] | None = None,
    explore: Callable[[list[float], float], _Reals] | None = None,
) -> DecisionRecord:
    """Choose one candidate, record the decision as pending and return it.

    The draw is a pure function of the decision id and the salt, so the
    same state and inputs always choose the same candidate. The state gains
    one pending decision and its decision counter advances by one.

    Args:
        state: the state; changed in place.
        context: the decision's features, shared by every candidate: a dict
            from feature name to None (no feature), str (a category), or
            bool, int or float (a weight; 0 and False add nothing).
        candidates: a list or tuple of (name, features) tuples, at least
            one; features as for `context`. Items must be tuples, not lists.
        t: the time of the decision, in your own unit (seconds, say); the
            horizon counts from it. Stored as a float.
        salt: any text; the decision id is salt + ":" + the counter, and
            the draw is keyed by id and salt. Give each process its own salt
            so that ids stay unique across processes.
        score: optional replacement for the built-in model's estimates.
            Called once as score(context, candidates) with the very objects
            given here; returns one finite number per candidate. Exceptions
            propagate unchanged.
        explore: optional replacement for epsilon-greedy. Called once as
            explore(estimates, epsilon) with a new list of floats (score's
            or the model's estimates) and the state's epsilon; returns one
            probability per candidate, each finite and >= 0, summing to 1
            within 1e-9. Exceptions propagate unchanged.

    Returns:
        The record; its `context` and `candidates` are the objects given.

    Raises:
        ValueError: no candidates ("need at least one candidate"); a feature
            name that is not a str ("feature names must be strings"); a
            value of another type ("feature 'tags' has unsupported type
            list"); a candidate tuple that is not a pair; score's or
            explore's result refused ("score must return one finite estimate
            per candidate", "explore must return one probability per
            candidate", "explore probabilities must be finite, nonnegative,
            and sum to 1").
        TypeError: an argument or candidate item of the wrong type (the
            message names the expected type).
        OverflowError: an int feature value too large for a float.
        PanicException: the state is in use by a running call (a callback
            of that call, or another thread during one).

    A failed decide leaves the state unchanged.
    """

def learn(
    state: BanditState,
    decision_id: str,
    reward: SupportsFloat | SupportsIndex,
    t: SupportsFloat | SupportsIndex,
    train: Callable[[DecisionRecord, float], object] | None = None,
) -> Resolution | None:
    """The resolution, or None if the id is unknown or already resolved.
    The engine classifies against the horizon at time `t`: a reward
    arriving at or past the record's `t + horizon` resolves as expired
    with the default reward. `train` is the BYO training tap: it replaces
    the built-in update and fires after the resolution commits, exactly
    once, with the classified reward.

    Args:
        state: the state holding the pending decision; changed in place.
        decision_id: the record's `decision_id`.
        reward: the observed reward (any float; the built-in model fits
            its mean).
        t: the time the reward arrived, in the unit of `decide`'s `t`.
        train: optional replacement for the built-in model update, called
            as train(record, reward) with a new DecisionRecord (its `bits`,
            `context` and `candidates` are None) and the classified reward;
            its return value is ignored. The model is then not updated.

    Raises:
        TypeError: decision_id is not a str, or a number is not a number.
        PanicException: the state is in use by a running call.
        Exception: whatever `train` raised, unchanged; the decision is then
            already resolved and counted.
    """

def expire(
    state: BanditState,
    t: SupportsFloat | SupportsIndex,
    train: Callable[[DecisionRecord, float], object] | None = None,
) -> tuple[Resolution, ...]:
    """Every decision past its horizon at time `t`, resolved as expired, in
    ledger order. `train` as on `learn`, fired per due record.

    Args:
        state: the state; changed in place.
        t: the current time, in the unit of `decide`'s `t`. A decision is
            due when its `t + horizon <= t`.
        train: as on `learn`; called once per due decision, oldest first.

    Returns:
        One Resolution per due decision (kind "expired", reward the default
        reward), oldest first; an empty tuple when nothing is due.

    Raises:
        TypeError: t is not a number.
        PanicException: the state is in use by a running call.
        Exception: whatever `train` raised, unchanged; the decisions up to
            and including that one are resolved, later due ones still
            pending, and the earlier resolutions are not returned.
    """

def serialize(state: BanditState) -> str:
    """The current state as one plain hex string — storable anywhere text
    goes, with no byte handling on the caller's side.

    Everything is kept: parameters, model, counters and pending decisions.
    The text is lowercase hexadecimal, 2 * (104 + 16 * 2**bits) characters
    plus 2 * (64 + len(decision_id) + len(salt) + 16 * len(features)) per
    pending decision: 272 characters at bits 1, 537 MB at bits 24.

    Raises:
        TypeError: state is not a BanditState.
        PanicException: the state is in use by a running call.
    """

def deserialize(data: str) -> BanditState:
    """A new, independent state from `serialize`'s text (upper-case
    hexadecimal digits are accepted too).

    Raises:
        ValueError: the text is not a valid state, e.g. "state must be a
            hexadecimal string", "truncated state", "not a ordwyne state
            (bad magic)", "state checksum mismatch", "unsupported state
            format version 2".
        TypeError: data is not a str (bytes are refused).
    """

def model_bits(state: BanditState) -> int:
    """The state's feature bits, 1 to 24, as given to `create`.

    Raises:
        ValueError: a restored state whose dimension is not a power of two
            ("model dimension is not 2**bits for bits in [1, 24]; the state
            was not built by create()").
        TypeError: state is not a BanditState.
        PanicException: the state is in use by a running call.
    """

def log_line(item: DecisionRecord | Resolution) -> str:
    """One canonical experience-log line for a decision record
    or resolution — append it to your log verbatim; it is exactly what
    the `ordwyne` CLI's verify/eval/replay consume. Decision records must
    be the ones `decide` returned (they carry the inputs; a `train`
    callback's record does not — its inputs are already in your log).

    The line is compact JSON without a line break, non-ASCII escaped,
    non-finite floats written as NaN, Infinity, -Infinity. It shows the
    record's context and candidates as they are now.

    Raises:
        ValueError: item is neither a DecisionRecord nor a Resolution
            ("log_line takes a DecisionRecord or Resolution"), or a `train`
            callback's record ("log_line needs the record decide returned
            (it carries the inputs)").
        TypeError: the context or candidates hold something JSON cannot
            write (raised by json.dumps, which raises ValueError for a
            circular reference).
    """
