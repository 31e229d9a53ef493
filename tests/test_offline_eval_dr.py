"""`ordwyne eval`'s doubly robust estimate, its warnings and its advice:
the reward model learns only from earlier outcomes and stays within the
rewards seen, DR is narrower than IPS and covers a known truth, and the
best-supported row comes with the `ordwyne train` command that applies it."""

import json
import math
import random
import statistics

import pytest

import ordwyne as ow
from ordwyne_offline import eval_report
from ordwyne_offline.cli import main
from ordwyne_offline.eval_core import RewardModel
from ordwyne_offline.evaluate import evaluate
from ordwyne_offline.start import Start

USERS = 8
ARTICLES = [("politics", {"topic": "politics", "words": 1.2}),
            ("football", {"topic": "sport"}),
            ("gadgets", {"topic": "tech", "words": 0.9, "video": True}),
            ("recipes", {"topic": "food", "words": 0.4}),
            ("tennis", {"topic": "sport", "words": 1.5})]
BITS = 10


def simulate(path, seed, n, epsilon):
    """n visits logged by an engine with this epsilon. Each seed draws its
    own click table, users and clicks from streams of their own (string
    seeds are hashed, so neighbouring seeds are independent). Returns the
    uniform choice's true value."""
    table = random.Random(f"dr-table-{seed}")
    click = [[table.uniform(0.02, 0.6) for _ in ARTICLES] for _ in range(USERS)]
    users, clicks = random.Random(f"dr-users-{seed}"), random.Random(f"dr-clicks-{seed}")
    state = ow.create(BITS, 1e9, 0.0, epsilon, 0.999)
    with open(path, "w") as out:
        for i in range(n):
            user = users.randrange(USERS)
            context = {"user": f"u{user}", "hour": float(users.randrange(24))}
            record = ow.decide(state, context, ARTICLES, float(i), f"dr{seed}")
            reward = 1.0 if clicks.random() < click[user][record.chosen] else 0.0
            resolution = ow.learn(state, record.decision_id, reward, float(i))
            out.write(ow.log_line(record) + "\n" + ow.log_line(resolution) + "\n")
    return statistics.fmean(statistics.fmean(row) for row in click)


def run(path, epsilon, **kwargs):
    start = Start.create(BITS, 1e9, 0.0, epsilon, 0.999)
    report = evaluate([str(path)], start, **kwargs)
    return {r["name"]: r for r in report["rows"]}, report


@pytest.mark.slow
def test_dr_is_narrower_than_ips_and_covers_the_truth(tmp_path, capsys):
    runs, n = 40, 2000
    figures = []
    for epsilon in (0.3, 0.05):
        covered = dict.fromkeys(("ips", "snips", "dr"), 0)
        widths = {k: [] for k in covered}
        for seed in range(runs):
            truth = simulate(tmp_path / "log", seed, n, epsilon)
            rows, _ = run(tmp_path / "log", epsilon, epsilons=(epsilon,))
            uniform = rows["uniform"]
            for key in covered:
                c = uniform[key]
                covered[key] += c["low"] <= truth <= c["high"]
                widths[key].append(c["high"] - c["low"])
        mean = {k: statistics.fmean(v) for k, v in widths.items()}
        figures.append((epsilon, covered, mean))
        assert mean["dr"] <= mean["ips"], (epsilon, mean)
        # 95% nominal: 38 of 40 expected; 33 or fewer has odds below 1.5%
        assert covered["dr"] >= 34, (epsilon, covered)
    with capsys.disabled():
        print(f"\nuniform row, {runs} runs of {n:,} decisions each (logging epsilon, "
              "coverage of the true value by the 95% interval, mean interval width):")
        for epsilon, covered, mean in figures:
            print(f"  epsilon {epsilon}: " + ", ".join(
                f"{k.upper()} {covered[k]}/{runs} width {mean[k]:.4f}" for k in covered))


def test_dr_learns_only_from_earlier_outcomes(tmp_path):
    """Changing the last outcome moves DR by that decision's own term and
    nothing else: no earlier prediction may have seen it."""
    simulate(tmp_path / "a", 1, 400, 0.2)
    lines = (tmp_path / "a").read_text().splitlines()
    last = json.loads(lines[-1])
    last["reward"] = 1.0 - last["reward"]
    (tmp_path / "b").write_text("\n".join(lines[:-1] + [json.dumps(last)]) + "\n")
    a, _ = run(tmp_path / "a", 0.2, epsilons=(0.2, 0.0))
    b, _ = run(tmp_path / "b", 0.2, epsilons=(0.2, 0.0))
    for name in ("uniform", "e0.2 f0.999 b10", "e0.0 f0.999 b10"):
        moved_ips = b[name]["ips"]["estimate"] - a[name]["ips"]["estimate"]
        moved_dr = b[name]["dr"]["estimate"] - a[name]["dr"]["estimate"]
        assert moved_ips != 0.0 or name == "e0.0 f0.999 b10"
        # the last term moves by w * (r' - r), in both estimators alike
        assert moved_dr == pytest.approx(moved_ips, abs=1e-12), name


def test_uniform_row_does_not_depend_on_the_sweep(tmp_path):
    """Its reward model is the start state's own, whatever else is swept
    and in whatever order (it once borrowed the first group's model)."""
    simulate(tmp_path / "log", 2, 500, 0.2)
    (tmp_path / "state").write_text(ow.serialize(ow.create(BITS, 1e9, 0.0, 0.2, 0.999)))
    reports = []
    for sweep in ("0.9,0.999", "0.999,0.9", "0.9,0.5"):
        out = tmp_path / f"{sweep}.json"
        assert main(["eval", str(tmp_path / "log"), "--state", str(tmp_path / "state"),
                     "--forgetfulness", sweep, "--quiet", "--jobs", "2",
                     "--json", str(out)]) == 0
        reports.append(json.loads(out.read_text()))
    uniform = [next(r for r in rep["rows"] if r["name"] == "uniform") for rep in reports]
    assert uniform[0] == uniform[1] == uniform[2]


@pytest.mark.parametrize("estimates, scale", [
    ([3.0, 1.0, 2.0, 3.5], 0.25),
    ([3.0, 3.0, 1.0], 0.1),           # a tie on top
    ([400.0, -250.0, 1.0], 0.5),      # far outside the rewards: clipped
    ([-0.0, 0.0, -1.0], 0.3),
])
@pytest.mark.parametrize("outcomes", [
    [(0.2, 0.0), (0.8, 1.0), (0.5, 1.0), (0.1, 0.0)],   # a rising line
    [(0.2, 1.0), (0.8, 0.0), (0.6, 0.0)],               # a falling one
    [(0.5, 2.0), (0.5, 3.0)],                           # no spread in x: the mean
    [],                                                 # nothing learned yet
])
def test_reward_model_predicts_within_the_rewards_seen(estimates, scale, outcomes):
    model = RewardModel()
    for x, r in outcomes:
        model.fit(x, r)
    chosen = 1
    total, top, rhat, on_top, k = model.sums(estimates, chosen, scale)
    predicted = model.predict(estimates, [scale] * len(estimates))
    if not outcomes:
        assert predicted == [0.0] * len(estimates)
    else:
        lo, hi = min(r for _, r in outcomes), max(r for _, r in outcomes)
        assert all(lo <= v <= hi for v in predicted)
    # the shortcut through the sums agrees with the candidate by candidate way
    m = max(estimates)
    assert total == pytest.approx(math.fsum(predicted), abs=1e-12)
    assert top == pytest.approx(math.fsum(v for v, e in zip(predicted, estimates) if e == m),
                                abs=1e-12)
    assert rhat == pytest.approx(predicted[chosen], abs=1e-12)
    assert (on_top, k) == (estimates[chosen] == m, estimates.count(m))


def test_non_finite_estimates_predict_the_mean():
    model = RewardModel()
    for x, r in [(0.1, 0.0), (0.9, 1.0), (0.5, 1.0)]:
        model.fit(x, r)
    nan, inf = float("nan"), float("inf")
    assert model.predict([nan, inf, -inf], [1.0] * 3) == [pytest.approx(2 / 3), 1.0, 0.0]
    total, _, _, _, _ = model.sums([nan, 0.5], 0, 1.0)
    assert math.isfinite(total)


# -- the advice and the warnings ------------------------------------------

def host_log(tmp_path, n=600, epsilon=0.2, checkpoint_at=None):
    """A host's log (and a checkpoint, when asked) on the simulated traffic."""
    state = ow.create(BITS, 50.0, 0.0, epsilon, 0.999)
    rng = random.Random(f"host-{n}-{epsilon}")
    lines, checkpoint = [], None
    for i in range(n):
        user = rng.randrange(USERS)
        record = ow.decide(state, {"user": f"u{user}"}, ARTICLES, float(i), "h")
        reward = 1.0 if rng.random() < 0.1 + 0.15 * ((user + record.chosen) % 4) else 0.0
        lines.append(ow.log_line(record))
        lines.append(ow.log_line(ow.learn(state, record.decision_id, reward, float(i))))
        if i == checkpoint_at:
            checkpoint = ow.serialize(state)
    (tmp_path / "log").write_text("\n".join(lines) + "\n")
    if checkpoint is not None:
        (tmp_path / "ckpt").write_text(checkpoint)
    return str(tmp_path / "log")


def eval_json(tmp_path, *argv):
    out = tmp_path / "eval.json"
    assert main(["eval", *argv, "--quiet", "--jobs", "1", "--json", str(out)]) == 0
    return json.loads(out.read_text())


@pytest.mark.parametrize("case", ["fresh", "checkpoint"])
def test_best_row_and_the_train_command_that_applies_it(tmp_path, capsys, case):
    log = host_log(tmp_path, checkpoint_at=100)
    if case == "fresh":
        argv = [log, "--bits", str(BITS), "--horizon", "50", "--epsilon", "0.2,0,0.5"]
    else:
        argv = [log, "--state", str(tmp_path / "ckpt"), "--epsilon", "0.2"]
    report = eval_json(tmp_path, *argv)
    out = capsys.readouterr().out
    engine = [r for r in report["rows"] if r["kind"] == "engine"]
    best = max(engine, key=lambda r: r["dr"]["low"])  # all well supported here
    assert all(r["warning"] is None for r in engine)
    assert report["best"]["row"] == best["name"]
    command = report["best"]["command"]
    assert command[:3] == ["ordwyne", "train", log] and command[-2:] == ["--out", "tuned.hex"]
    if case == "checkpoint":  # the start state's own setting, from the checkpoint
        assert command[3:5] == ["--state", str(tmp_path / "ckpt")] and len(command) == 7
    else:
        assert command[3:-2] == ["--bits", str(BITS), "--horizon", "50.0", "--default-reward",
                                 "0.0", "--epsilon", repr(best["epsilon"]),
                                 "--forgetfulness", "0.999"]
    assert f"best supported: {best['name']}" in out
    assert max(map(len, out.splitlines())) <= 80
    # the command is one `ordwyne train` takes, and it makes that setting
    tuned = tmp_path / "tuned.hex"
    assert main(command[1:-1] + [str(tuned), "--quiet"]) == 0
    made = Start.from_file(str(tuned)).params
    assert (made["bits"], made["epsilon"], made["forgetfulness"]) == (
        best["bits"], best["epsilon"], best["forgetfulness"])


def test_no_best_row_without_support(tmp_path, capsys):
    log = host_log(tmp_path, n=300, epsilon=0.02)
    report = eval_json(tmp_path, log, "--bits", str(BITS), "--horizon", "50",
                       "--epsilon", "0.02,1")
    assert report["best"] is None or report["best"]["row"] == "e0.02 f0.999 b10"
    report = eval_json(tmp_path, log, "--state", str(_fresh_state(tmp_path, 0.02)),
                       "--epsilon", "1")
    assert report["best"] is None
    assert "best supported: none" in capsys.readouterr().out


def _fresh_state(tmp_path, epsilon):
    path = tmp_path / "fresh"
    path.write_text(ow.serialize(ow.create(BITS, 50.0, 0.0, epsilon, 0.999)))
    return path


@pytest.mark.parametrize("claimed, warned", [(0.2, False), (0.3, True)])
def test_starred_row_that_is_not_the_logged_policy_is_named(tmp_path, capsys, claimed,
                                                             warned):
    log = host_log(tmp_path, epsilon=0.2)
    report = eval_json(tmp_path, log, "--bits", str(BITS), "--horizon", "50",
                       "--epsilon", repr(claimed))
    own = next(r for r in report["rows"] if r["start_setting"])
    assert (own["min_weight"] == own["max_weight"] == 1.0) != warned
    text = " ".join(capsys.readouterr().out.split())
    assert ("the start state's own setting gives weights from" in text) == warned
    assert any("not the logged policy" in w for w in report["warnings"]) == warned


def test_intervals_outside_the_rewards_are_named(tmp_path, capsys):
    """Few decisions, rare rewards, large weights: an interval below the
    smallest reward. Every row whose interval leaves the range is named,
    and no other."""
    log = host_log(tmp_path, n=40, epsilon=0.05)
    report = eval_json(tmp_path, log, "--bits", str(BITS), "--horizon", "50",
                       "--epsilon", "0.05,0.5")
    lo, hi = report["reward_range"]
    outside = {r["name"] for r in report["rows"]
               if any(r[k]["low"] is not None and (r[k]["low"] < lo or r[k]["high"] > hi)
                      for k in ("ips", "snips", "dr"))}
    named = {w.split(":")[0] for w in report["warnings"] if "the range of the rewards" in w}
    assert outside and named == outside
    assert "the range of the rewards used" in " ".join(capsys.readouterr().out.split())


# -- the plot --------------------------------------------------------------

def test_plot_takes_an_interval_that_misses_its_estimate(tmp_path):
    """A percentile interval need not hold its estimate (it once made the
    plot raise after the table was written)."""
    pytest.importorskip("matplotlib")
    rows = [{"name": "logged", "kind": "logged",
             "ips": {"estimate": 0.3, "low": 0.2, "high": 0.4}},
            {"name": "uniform", "kind": "uniform",
             **{k: {"estimate": 0.2958, "low": 0.3071, "high": 0.3071}
                for k in ("ips", "snips", "dr")}}]
    eval_report.plot(str(tmp_path / "p.png"), {"rows": rows})
    assert (tmp_path / "p.png").read_bytes()[:4] == b"\x89PNG"


def test_plot_failure_is_one_line(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    log = host_log(tmp_path, n=50)
    target = tmp_path / "p.xyz"  # matplotlib knows no such format
    assert main(["eval", log, "--bits", str(BITS), "--horizon", "50", "--quiet",
                 "--jobs", "1", "--plot", str(target)]) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"ordwyne eval: cannot write the plot {target}: ")
    assert err.count("\n") == 1
