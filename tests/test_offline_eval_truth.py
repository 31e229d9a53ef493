"""`ordwyne eval` against a known truth: simulated traffic with fixed click
probabilities, logged by an exploring engine. The uniform choice's value is
known exactly, so its 95% intervals must cover it in nearly every run."""

import json
import random
import statistics

import pytest

import ordwyne as ow
from ordwyne_offline.cli import main

USERS = 6
ARTICLES = [("politics", {"topic": "politics", "words": 1.2}),
            ("football", {"topic": "sport", "words": 0.6}),
            ("gadgets", {"topic": "tech", "words": 0.9}),
            ("recipes", {"topic": "food"})]
_table = random.Random(99)
CLICK = [[_table.uniform(0.05, 0.6) for _ in ARTICLES] for _ in range(USERS)]
UNIFORM_TRUTH = statistics.fmean(statistics.fmean(row) for row in CLICK)
SETTING = dict(bits=8, horizon=1e9, default_reward=0.0, epsilon=0.3, forgetfulness=0.999)
SEEDS = range(20)


def traffic(seed, n, epsilon, lines=None):
    """n visits by the engine with this epsilon, each clicked or not from the
    table; returns the mean reward it earned. Visits and clicks come from
    the seed alone, so two policies see the same users."""
    state = ow.create(SETTING["bits"], SETTING["horizon"], SETTING["default_reward"], epsilon,
                      SETTING["forgetfulness"])
    users, clicks = random.Random(seed), random.Random(seed + 1000)
    total = 0.0
    for i in range(n):
        user = users.randrange(USERS)
        context = {"user": f"u{user}", "weekday": float(i % 7)}
        record = ow.decide(state, context, ARTICLES, float(i), f"sim{seed}")
        reward = 1.0 if clicks.random() < CLICK[user][record.chosen] else 0.0
        total += reward
        resolution = ow.learn(state, record.decision_id, reward, float(i))
        if lines is not None:
            lines.append(ow.log_line(record))
            lines.append(ow.log_line(resolution))
    return total / n


def evaluate(tmp_path, lines):
    log = tmp_path / "log"
    log.write_text("\n".join(lines) + "\n")
    out = tmp_path / "report.json"
    s = SETTING
    assert main(["eval", str(log), "--bits", str(s["bits"]), "--horizon", repr(s["horizon"]),
                 "--epsilon", f"{s['epsilon']!r},0", "--forgetfulness",
                 repr(s["forgetfulness"]), "--jobs", "1", "--quiet", "--json", str(out)]) == 0
    return {r["name"]: r for r in json.loads(out.read_text())["rows"]}


@pytest.mark.slow
def test_uniform_intervals_cover_the_true_value(tmp_path, capsys):
    covered = {"ips": 0, "snips": 0, "dr": 0}
    learning = []
    for seed in SEEDS:
        lines = []
        traffic(seed, 1500, SETTING["epsilon"], lines)
        rows = evaluate(tmp_path, lines)
        uniform = rows["uniform"]
        for key in covered:
            c = uniform[key]
            covered[key] += c["low"] <= UNIFORM_TRUTH <= c["high"]
        greedy = rows["e0.0 f0.999 b8"]
        learning.append((greedy["ips"]["estimate"], greedy["dr"]["estimate"],
                         traffic(seed, 1500, 0.0), greedy["ess"]))
    with capsys.disabled():
        print(f"\nuniform truth {UNIFORM_TRUTH:.4f}; intervals covering it in "
              f"{len(SEEDS)} runs: {covered}")
        ips, dr, online, ess = (statistics.fmean(x) for x in zip(*learning))
        print(f"greedy learner (epsilon 0), means over the runs: IPS {ips:.4f}, DR {dr:.4f}, "
              f"its own online value {online:.4f}, ESS {ess:.0f} of 1500")
    assert covered["ips"] >= 18 and covered["dr"] >= 18, covered
