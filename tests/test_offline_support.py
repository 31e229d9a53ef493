"""A simulated host for the offline tool's tests: it decides, learns and
expires in a seeded random order, logs every event with `log_line`, and can
write checkpoints. Holds no tests itself."""

import json
import math
import random

import ordwyne as ow

PARAMS = dict(bits=6, horizon=5.0, default_reward=-0.25, epsilon=0.3, forgetfulness=0.9)
TEXTS = ["x", "é", "☃", "日本", "a=b", "", "|", "\u00e9\u0301"]


def create_args(params=PARAMS):
    return ["--bits", str(params["bits"]), "--horizon", repr(params["horizon"]),
            "--default-reward", repr(params["default_reward"]),
            "--epsilon", repr(params["epsilon"]),
            "--forgetfulness", repr(params["forgetfulness"])]


def new_state(params=PARAMS):
    return ow.create(params["bits"], params["horizon"], params["default_reward"],
                     params["epsilon"], params["forgetfulness"])


def random_value(rng):
    return rng.choice([
        lambda: None, lambda: True, lambda: False, lambda: rng.choice(TEXTS),
        lambda: rng.randint(-3, 3), lambda: rng.choice([2 ** 70, -2 ** 65, 2 ** 64 - 1]),
        lambda: rng.uniform(-2, 2), lambda: math.nan, lambda: rng.choice([math.inf, -math.inf]),
        lambda: 0.0, lambda: -0.0, lambda: 5e-324,
    ])()


def random_features(rng, n):
    return {rng.choice(["a", "b", "ü", "k=v", "n", "x|y", ""]) + str(i): random_value(rng)
            for i in range(n)}


class Host:
    """One seeded host. `step()` does one random thing and returns the log
    lines it produced; `lines` holds them all."""

    def __init__(self, seed, params=PARAMS, salt=None, use_expire=True):
        self.rng = random.Random(seed)
        self.use_expire = use_expire
        self.params = params
        self.state = new_state(params)
        self.salt = salt if salt is not None else self.rng.choice(["s", "é-salt", "", "a:b"])
        self.pending = []
        self.lines = []
        self.t = 0.0

    def _log(self, item):
        line = ow.log_line(item)
        self.lines.append(line)
        return [line]

    def step(self):
        rng = self.rng
        self.t += rng.choice([0.0, 0.5, 1.0, 3.0])
        roll = rng.random()
        if roll < 0.55 or not self.pending:
            context = random_features(rng, rng.randint(0, 4))
            candidates = [(rng.choice(TEXTS) + str(j), random_features(rng, rng.randint(0, 3)))
                          for j in range(rng.randint(1, 4))]
            if rng.random() < 0.3:
                candidates = tuple(candidates)
            t = self.t if rng.random() > 0.05 else rng.choice([math.nan, -math.inf])
            record = ow.decide(self.state, context, candidates, t, self.salt)
            self.pending.append(record.decision_id)
            return self._log(record)
        if roll < 0.9 or not self.use_expire:
            decision_id = self.pending.pop(rng.randrange(len(self.pending)))
            reward = rng.choice([0.0, 1.0, rng.uniform(-1, 1), math.nan, -0.0])
            t = self.t + rng.choice([0.0, 2.0, 6.0])
            resolution = ow.learn(self.state, decision_id, reward, t)
            return self._log(resolution) if resolution is not None else []
        out = []
        for resolution in ow.expire(self.state, self.t):
            self.pending.remove(resolution.decision_id)
            out += self._log(resolution)
        return out

    def run(self, steps, checkpoint_every=None):
        """Run; returns [(lines logged so far, serialize text)] checkpoints."""
        checkpoints = []
        for i in range(steps):
            self.step()
            if checkpoint_every and self.rng.random() < 1.0 / checkpoint_every:
                checkpoints.append((len(self.lines), ow.serialize(self.state)))
        return checkpoints

    def write(self, path, lines=None):
        with open(path, "w") as f:
            f.write("".join(line + "\n" for line in (self.lines if lines is None else lines)))
        return str(path)


def decision_lines(lines):
    return [i for i, line in enumerate(lines) if json.loads(line)["event"] == "decision"]


def resolution_lines(lines):
    return [i for i, line in enumerate(lines) if json.loads(line)["event"] == "resolution"]
