"""The state a replay, verification or evaluation starts from.

Either a stored state (`--state FILE`, for example a checkpoint the host
wrote with `serialize`) or a fresh one made with `create`'s arguments.
Starting from a checkpoint, the log lines the checkpoint already contains
are recognised and skipped: decisions whose counter is below the state's
decision count, and resolutions of decisions made before the state that
are no longer pending in it. They are skipped only at the head of the log
(`Prefix`): once a line the checkpoint does not contain has come, such a
line is out of place.
"""

from __future__ import annotations

import argparse
from typing import Optional

import ordwyne

from .logs import Event, decision_count_of
from .statefile import StateError, StateInfo, engine_check, parse_state, read_state_text

__all__ = ["Start", "StartError", "Prefix", "add_start_arguments", "start_from_args",
           "DEFAULT_REWARD", "DEFAULT_EPSILON", "DEFAULT_FORGETFULNESS"]

# create()'s own defaults
DEFAULT_REWARD = 0.0
DEFAULT_EPSILON = 0.05
DEFAULT_FORGETFULNESS = 0.999


class StartError(Exception):
    """No usable start state: a usage or input error (exit status 2)."""


def add_start_arguments(parser: argparse.ArgumentParser) -> None:
    """--state FILE, or the creation flags. --bits and --horizon have no
    defaults: a fresh start state needs both (the log's bits must match,
    and the horizon decides which rewards count)."""
    group = parser.add_argument_group(
        "start state", "a stored state (--state), or a fresh one made like create() "
        "(--bits and --horizon required, the rest default as in create())")
    group.add_argument("--state", metavar="FILE",
                       help="a serialize() text to start from, e.g. a checkpoint")
    group.add_argument("--bits", type=int, help="feature bits of a fresh state (1-24)")
    group.add_argument("--horizon", type=float, help="horizon of a fresh state")
    group.add_argument("--default-reward", type=float, default=None,
                       help=f"default reward of a fresh state (default {DEFAULT_REWARD})")
    group.add_argument("--epsilon", type=float, default=None,
                       help=f"epsilon of a fresh state (default {DEFAULT_EPSILON})")
    group.add_argument("--forgetfulness", type=float, default=None,
                       help=f"forgetting factor of a fresh state (default {DEFAULT_FORGETFULNESS})")


def _given(args, name):
    return getattr(args, name, None) is not None


def has_start(args) -> bool:
    """Whether the arguments name a start state at all."""
    return any(_given(args, n) for n in ("state", "bits", "horizon", "default_reward",
                                          "epsilon", "forgetfulness"))


class Start:
    """The start state: its text, its parameters and its pending ids."""

    def __init__(self, info: StateInfo, text: Optional[str] = None, create_args=None) -> None:
        self._info = info
        self._text = text
        self._create_args = create_args
        self.params = {"bits": info.bits, "horizon": info.horizon,
                       "default_reward": info.default_reward, "epsilon": info.epsilon,
                       "forgetfulness": info.forgetting, "ridge": info.ridge,
                       "scale": info.scale}
        self.decision_count = info.decision_count
        self.model_version = info.model_version
        self.pending_ids = {r.decision_id for r in info.records}
        self.pending = len(info.records)

    @property
    def info(self) -> StateInfo:
        return self._info

    @property
    def text(self) -> str:
        """The start state's serialize text (made on first use for a fresh state)."""
        if self._text is None:
            self._text = ordwyne.serialize(self.new_state())
        return self._text

    def new_state(self) -> "ordwyne.BanditState":
        """A new, independent BanditState equal to the start state."""
        if self._create_args is not None:
            return ordwyne.create(*self._create_args)
        return ordwyne.deserialize(self._text)

    def already_contained(self, event: Event) -> bool:
        """Whether the start state already holds this line's effect."""
        if not self.decision_count:
            return False
        if event.kind == "decision":
            count = decision_count_of(event.data["record"]["decision_id"])
            return count is not None and count < self.decision_count
        if event.kind == "resolution":
            decision_id = event.data["decision_id"]
            if decision_id in self.pending_ids:
                return False
            count = decision_count_of(decision_id)
            return count is not None and count < self.decision_count
        return False

    @classmethod
    def from_file(cls, path: str) -> "Start":
        try:
            text = read_state_text(path)
        except (OSError, UnicodeDecodeError) as e:
            raise StartError(f"cannot read state {path}: {e}") from None
        return cls.from_text(text, path)

    @classmethod
    def from_text(cls, text: str, name: str = "state") -> "Start":
        message = engine_check(text)
        if message is None:
            try:
                info = parse_state(text)
            except StateError as e:  # the engine accepted what we cannot read
                message = str(e)
        if message is not None:
            raise StartError(f"bad state {name}: {message}")
        if info.bits is None:
            raise StartError(f"bad state {name}: model dimension {info.dim} is not 2**bits "
                             "for bits in [1, 24]")
        return cls(info, text=text)

    @classmethod
    def create(cls, bits: int, horizon: float, default_reward: float = DEFAULT_REWARD,
               epsilon: float = DEFAULT_EPSILON,
               forgetfulness: float = DEFAULT_FORGETFULNESS) -> "Start":
        args = (bits, horizon, default_reward, epsilon, forgetfulness)
        if not 1 <= bits <= 24:
            raise StartError("cannot create the start state: bits must be between 1 and 24")
        try:  # the engine's checks and messages, on a state too small to cost anything
            ordwyne.create(1, horizon, default_reward, epsilon, forgetfulness)
        except (ValueError, TypeError, OverflowError) as e:
            raise StartError(f"cannot create the start state: {e}") from None
        info = StateInfo(dim=1 << bits, ridge=1.0, forgetting=forgetfulness, scale=1.0,
                         decision_count=0, model_version=0, horizon=horizon,
                         default_reward=default_reward, epsilon=epsilon)
        return cls(info, create_args=args)


class Prefix:
    """The head of a log that the start state already contains.

    A host checkpoints between calls, after the calls' lines are in the log,
    so the lines a checkpoint contains come first and end where the first
    decision it does not contain begins. `classify` tells each line: SKIP (in
    that head), NEW, or LATE: a line the checkpoint contains that comes
    after the head has ended (a copy of an early line appended later, a line
    moved), which is a fault, not a line to skip. Resolutions of decisions
    still pending in the checkpoint may come before its first new decision;
    they are NEW and do not end the head. The caller ends it (`close`) at
    the decision it takes for the first new one."""

    SKIP, NEW, LATE = "skip", "new", "late"

    __slots__ = ("_contained", "open")

    def __init__(self, start: Start) -> None:
        self._contained = start.already_contained if start.decision_count else None
        self.open = self._contained is not None

    def classify(self, event: Event) -> str:
        if self._contained is None or not self._contained(event):
            return self.NEW
        return self.SKIP if self.open else self.LATE

    def close(self) -> None:
        self.open = False


def start_from_args(args) -> Start:
    """The Start the parsed arguments describe; StartError when they
    describe none or a bad one."""
    if _given(args, "state"):
        clash = [f"--{n.replace('_', '-')}" for n in ("bits", "horizon", "default_reward",
                                                     "epsilon", "forgetfulness")
                 if _given(args, n)]
        if clash:
            raise StartError(f"--state cannot be combined with {', '.join(clash)}")
        return Start.from_file(args.state)
    if not (_given(args, "bits") and _given(args, "horizon")):
        raise StartError("a start state is needed: --state FILE, or --bits and --horizon "
                         "(with optional --default-reward, --epsilon, --forgetfulness)")
    return Start.create(
        args.bits, args.horizon,
        DEFAULT_REWARD if args.default_reward is None else args.default_reward,
        DEFAULT_EPSILON if args.epsilon is None else args.epsilon,
        DEFAULT_FORGETFULNESS if args.forgetfulness is None else args.forgetfulness)
