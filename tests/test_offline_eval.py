"""`ordwyne eval`: exact weights for the logging setting, the estimators
against a direct computation from the log, identical results however the
work is spread, and clean refusals of bad input."""

import io
import json
import math
import random
import statistics
import sys

import pytest

import ordwyne as ow
from ordwyne_offline.cli import main
from ordwyne_offline.eval_core import epsilon_greedy

NAN = float("nan")
POOL = [("a", {"topic": "news", "len": 1.0}), ("b", {"topic": "sport"}),
        ("c", {"topic": "news", "len": 2.5}), ("d", {}),
        ("e", {"topic": "tech", "len": NAN})]  # e's estimate turns NaN once it is trained
SETTING = dict(bits=8, horizon=5.0, default_reward=0.0, epsilon=0.2, forgetfulness=0.99)


def host(n=300, seed=1, checkpoint_at=None, **setting):
    """A host that logs every decision and resolution: rewards now, late
    (some past the horizon), never, and periodic expiries. Returns the log
    lines and the checkpoint text taken after decision `checkpoint_at`."""
    s = dict(SETTING, **setting)
    state = ow.create(s["bits"], s["horizon"], s["default_reward"], s["epsilon"],
                      s["forgetfulness"])
    rng = random.Random(seed)
    lines, late, checkpoint = [], [], None
    for i in range(n):
        context = {"user": f"u{rng.randrange(6)}", "hour": float(rng.randrange(24))}
        if rng.random() < 0.02:
            context["score"] = NAN  # every candidate NaN: all tied
        candidates = rng.sample(POOL, rng.randint(2, len(POOL)))
        record = ow.decide(state, context, candidates, float(i), "h")
        lines.append(ow.log_line(record))
        u = rng.random()
        reward = 1.0 if rng.random() < 0.3 + 0.1 * record.chosen else 0.0
        if u < 0.6:
            lines.append(ow.log_line(ow.learn(state, record.decision_id, reward, i + 0.5)))
        elif u < 0.8:
            late.append((i + rng.randint(1, 8), record.decision_id, reward))
        for due in [x for x in late if x[0] <= i]:
            late.remove(due)
            res = ow.learn(state, due[1], due[2], float(due[0]))
            if res is not None:
                lines.append(ow.log_line(res))
        if i % 25 == 24:
            lines.extend(ow.log_line(r) for r in ow.expire(state, float(i)))
        if i == checkpoint_at:
            checkpoint = ow.serialize(state)
    return lines, checkpoint


def creation_flags(**setting):
    s = dict(SETTING, **setting)
    return ["--bits", str(s["bits"]), "--horizon", repr(s["horizon"]), "--default-reward",
            repr(s["default_reward"]), "--epsilon", repr(s["epsilon"]), "--forgetfulness",
            repr(s["forgetfulness"])]


def write(path, lines, end="\n"):
    path.write_text("\n".join(lines) + end)
    return str(path)


def evaluate(tmp_path, *argv, name="report.json"):
    out = tmp_path / name
    assert main(["eval", *argv, "--quiet", "--jobs", "1", "--json", str(out)]
                if "--jobs" not in argv else
                ["eval", *argv, "--quiet", "--json", str(out)]) == 0
    return json.loads(out.read_text())


def row(report, name):
    return next(r for r in report["rows"] if r["name"] == name)


def own_row(report):
    (r,) = [r for r in report["rows"] if r["start_setting"]]
    return r


# -- the recorded rule is the engine's -------------------------------------

@pytest.mark.parametrize("epsilon", [0.0, 0.05, 0.3, 1.0])
def test_recorded_probabilities_are_the_engines_to_the_bit(epsilon):
    """A state whose explore hook answers with `epsilon_greedy` draws and
    records exactly what the built-in rule does, on ties, trained estimates,
    NaN estimates first and later, and all-NaN estimates."""
    built_in = ow.create(6, 10.0, 0.0, epsilon, 0.9)
    hooked = ow.create(6, 10.0, 0.0, epsilon, 0.9)
    rng = random.Random(3)
    for i in range(400):
        context = {"u": f"u{rng.randrange(3)}"}
        if i % 37 == 0:
            context["x"] = NAN
        candidates = rng.sample(POOL, rng.randint(1, len(POOL)))
        a = ow.decide(built_in, context, candidates, float(i), "s")
        b = ow.decide(hooked, context, candidates, float(i), "s", explore=epsilon_greedy)
        assert (a.chosen, a.propensity.hex()) == (b.chosen, b.propensity.hex()), i
        reward = float(rng.random() < 0.4)
        for state in (built_in, hooked):
            ow.learn(state, a.decision_id, reward, float(i))


@pytest.mark.parametrize("estimates, expected", [
    ([NAN, 1.0, 1.0], [0.1 / 3, 0.1 / 3 + 0.9 / 2, 0.1 / 3 + 0.9 / 2]),
    ([1.0, NAN, 2.0], [0.1 / 3, 0.1 / 3, 0.1 / 3 + 0.9]),
    ([NAN, NAN], [0.05 + 0.9 / 2] * 2),
    ([-0.0, 0.0, -1.0], [0.1 / 3 + 0.9 / 2, 0.1 / 3 + 0.9 / 2, 0.1 / 3]),
])
def test_rule_with_nan_and_signed_zero(estimates, expected):
    assert epsilon_greedy(estimates, 0.1) == expected


# -- the logging setting's weights are exactly 1 ---------------------------

@pytest.mark.parametrize("from_checkpoint", [False, True])
def test_logging_setting_has_weight_one_everywhere(tmp_path, from_checkpoint):
    lines, checkpoint = host(n=400, checkpoint_at=160)  # between expiries: much pending
    log = write(tmp_path / "log", lines)
    if from_checkpoint:
        (tmp_path / "state").write_text(checkpoint)
        start = ["--state", str(tmp_path / "state")]
    else:
        start = creation_flags()
    report = evaluate(tmp_path, log, *start, "--epsilon", "0.2,0,1")
    own, logged = own_row(report), row(report, "logged")
    assert own["name"] == "e0.2 f0.99 b8"
    assert own["used"] == logged["used"] > 150
    # all weights 1: the largest is 1 and (Σw)²/Σw² = n only when all are equal
    assert own["max_weight"] == 1.0 and own["ess"] == own["used"]
    for key in ("ips", "snips"):
        assert own[key] == logged["ips"]
    skipped = report["counts"]["skipped"]
    assert (skipped > 150) if from_checkpoint else skipped == 0
    assert report["start"]["pending"] >= (3 if from_checkpoint else 0)
    # epsilon 1 is the uniform choice: the same weights, a different model for DR
    uniform, e1 = row(report, "uniform"), row(report, "e1.0 f0.99 b8")
    assert (e1["ips"], e1["snips"], e1["ess"]) == (uniform["ips"], uniform["snips"],
                                                    uniform["ess"])


def test_outcomes_pending_in_the_checkpoint_are_learned(tmp_path):
    """A decision still pending in the checkpoint is resolved after it; the
    setting that starts from the checkpoint must learn that outcome, or its
    later probabilities (here: a clear favourite instead of a tie) differ."""
    state = ow.create(8, 100.0, 0.0, 0.2, 1.0)
    two = [("a", {}), ("b", {})]
    first = ow.decide(state, {}, two, 0.0, "p")
    checkpoint = ow.serialize(state)
    lines = [ow.log_line(first),
             ow.log_line(ow.learn(state, first.decision_id, 1.0, 1.0))]
    for i in range(20):
        record = ow.decide(state, {}, two, float(i), "p")
        lines.append(ow.log_line(record))
        lines.append(ow.log_line(ow.learn(state, record.decision_id, 0.5, float(i))))
    (tmp_path / "state").write_text(checkpoint)
    report = evaluate(tmp_path, write(tmp_path / "log", lines), "--state",
                      str(tmp_path / "state"))
    own = own_row(report)
    assert report["counts"]["skipped"] == 1 and own["used"] == 20
    assert own["max_weight"] == 1.0 and own["ess"] == 20


# -- the estimators against the log itself ---------------------------------

def test_estimates_and_exclusions_against_the_log(tmp_path):
    lines, _ = host(n=512, seed=5)
    # spoil a few lines: propensity 0, a NaN reward, a resolution repeated,
    # and one for a decision nobody made
    decisions = [i for i, l in enumerate(lines) if '"event":"decision"' in l]
    zero = json.loads(lines[decisions[10]])
    zero["record"]["propensity"] = 0.0
    lines[decisions[10]] = json.dumps(zero, separators=(",", ":"))
    resolutions = [i for i, l in enumerate(lines) if '"kind":"rewarded"' in l]
    spoilt = json.loads(lines[resolutions[20]])
    spoilt["reward"] = NAN
    lines[resolutions[20]] = json.dumps(spoilt, separators=(",", ":"))
    lines.append(lines[resolutions[30]])
    lines.append('{"event":"resolution","decision_id":"nobody:1","kind":"rewarded",'
                 '"reward":1.0}')
    report = evaluate(tmp_path, write(tmp_path / "log", lines), *creation_flags())

    # the same numbers straight from the lines
    made, used = {}, []
    unresolved = zero_p = bad_reward = unmatched = 0
    for line in lines:
        d = json.loads(line)
        if d["event"] == "decision":
            made[d["record"]["decision_id"]] = (d["record"]["propensity"], len(d["candidates"]))
            continue
        if d["decision_id"] not in made:
            unmatched += 1
            continue
        p, n = made.pop(d["decision_id"])
        if p == 0.0:
            zero_p += 1
        elif not math.isfinite(d["reward"]):
            bad_reward += 1
        else:
            used.append((p, n, d["reward"]))
    unresolved = len(made)
    assert (zero_p, bad_reward, unmatched) == (1, 1, 2) and unresolved > 0
    counts = report["counts"]
    assert (counts["used"], counts["unresolved"], counts["zero_propensity"],
            counts["bad_reward"], counts["unmatched"]) == (len(used), unresolved, zero_p,
                                                          bad_reward, unmatched)

    rewards = [r for _, _, r in used]
    logged = row(report, "logged")["ips"]
    half = 1.959963984540054 * statistics.stdev(rewards) / math.sqrt(len(rewards))
    assert logged["estimate"] == pytest.approx(statistics.fmean(rewards), rel=1e-12)
    assert logged["high"] - logged["estimate"] == pytest.approx(half, rel=1e-9)

    w = [(1.0 / n) / p for p, n, _ in used]
    wr = [wi * r for wi, (_, _, r) in zip(w, used)]
    uniform = row(report, "uniform")
    v_snips = math.fsum(wr) / math.fsum(w)
    assert uniform["ips"]["estimate"] == pytest.approx(statistics.fmean(wr), rel=1e-12)
    assert uniform["snips"]["estimate"] == pytest.approx(v_snips, rel=1e-12)
    assert uniform["max_weight"] == max(w)
    assert uniform["ess"] == pytest.approx(math.fsum(w) ** 2 / math.fsum(x * x for x in w),
                                           rel=1e-12)
    # delta-method interval of the ratio
    resid = [wi * (r - v_snips) for wi, (_, _, r) in zip(w, used)]
    half = 1.959963984540054 * math.sqrt(math.fsum(x * x for x in resid) / (len(w) - 1)
                                         / len(w)) / statistics.fmean(w)
    assert uniform["snips"]["high"] - v_snips == pytest.approx(half, rel=1e-6)
    for r in report["rows"][1:]:
        assert math.isfinite(r["dr"]["estimate"]) and r["dr"]["low"] < r["dr"]["high"]
    # the logged row is a mean: no SNIPS or DR, in the JSON as in the table
    assert row(report, "logged")["snips"] == row(report, "logged")["dr"] == {
        "estimate": None, "low": None, "high": None}


@pytest.mark.parametrize("epsilon, uniform_warned, deterministic", [
    (0.2, False, False), (0.02, True, False), (0.0, False, True)])
def test_weak_support_is_flagged(tmp_path, capsys, epsilon, uniform_warned, deterministic):
    """Rare exploration gives the uniform choice a few huge weights (a small
    effective sample size); greedy logging gives it no support at all, which
    the weights cannot show but the propensities of 1 do."""
    lines, _ = host(n=600, epsilon=epsilon)
    report = evaluate(tmp_path, write(tmp_path / "log", lines),
                      *creation_flags(epsilon=epsilon))
    out = " ".join(capsys.readouterr().out.split())
    assert ("warning: uniform: effective sample size" in out) == uniform_warned
    assert (row(report, "uniform")["warning"] is not None) == uniform_warned
    assert ("propensity 1 among several candidates" in out) == deterministic
    assert (report["counts"]["deterministic"] > 0) == deterministic
    assert own_row(report)["warning"] is None


def test_nothing_to_use_gives_empty_estimates(tmp_path, capsys):
    state = ow.create(8, 5.0, 0.0, 0.2, 0.99)
    lines = [ow.log_line(ow.decide(state, {}, POOL, float(i), "x")) for i in range(3)]
    report = evaluate(tmp_path, write(tmp_path / "log", lines), *creation_flags())
    assert report["counts"]["unresolved"] == 3 and report["counts"]["used"] == 0
    for r in report["rows"]:
        assert r["used"] == 0 and r["ess"] is None and r["max_weight"] is None
        assert r["ips"] == r["snips"] == r["dr"] == {"estimate": None, "low": None,
                                                     "high": None}
    assert "3 without a resolution" in capsys.readouterr().out


# -- the same result however it runs ---------------------------------------

SWEEP = ["--bits", "8,9", "--forgetfulness", "0.99,0.9", "--epsilon", "0.2,0,0.5"]


@pytest.mark.parametrize("extra", [[], ["--bootstrap", "200", "--seed", "7"]],
                         ids=["normal", "bootstrap"])
def test_two_jobs_equal_one_bit_for_bit(tmp_path, extra):
    if extra:
        pytest.importorskip("numpy")
    lines, _ = host(n=300)
    log = write(tmp_path / "log", lines)
    flags = [log, "--horizon", "5", *SWEEP, *extra]
    evaluate(tmp_path, *flags, "--jobs", "1", name="one.json")
    evaluate(tmp_path, *flags, "--jobs", "2", name="two.json")
    one, two = (tmp_path / "one.json").read_bytes(), (tmp_path / "two.json").read_bytes()
    assert one == two
    assert len(json.loads(one)["rows"]) == 2 + 2 * 2 * 3


def test_bootstrap_is_seeded(tmp_path):
    pytest.importorskip("numpy")
    log = write(tmp_path / "log", host(n=200)[0])
    flags = [log, *creation_flags(), "--bootstrap", "200"]
    a = evaluate(tmp_path, *flags, "--seed", "1", name="a.json")
    b = evaluate(tmp_path, *flags, "--seed", "2", name="b.json")
    c = evaluate(tmp_path, *flags, "--seed", "1", name="c.json")
    assert a == c
    ua, ub = row(a, "uniform")["dr"], row(b, "uniform")["dr"]
    assert ua["estimate"] == ub["estimate"] and (ua["low"], ua["high"]) != (ub["low"], ub["high"])
    assert ua["low"] <= ua["estimate"] <= ua["high"]
    # every row is resampled alike: equal data, equal intervals
    assert own_row(a)["ips"] == row(a, "logged")["ips"]


def test_standard_input_with_two_jobs(tmp_path, monkeypatch):
    lines, _ = host(n=150)
    log = write(tmp_path / "log", lines)
    flags = ["--horizon", "5", "--bits", "8,9"]
    from_file = evaluate(tmp_path, log, *flags, "--jobs", "2", name="f.json")
    data = (tmp_path / "log").read_bytes()
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))
    from_stdin = evaluate(tmp_path, "-", *flags, "--jobs", "2", name="s.json")
    assert from_stdin["rows"] == from_file["rows"] and from_stdin["logs"] == ["-"]


def test_progress_of_two_processes_reaches_the_last_line(tmp_path):
    from ordwyne_offline.evaluate import plan
    from ordwyne_offline.start import Start
    from ordwyne_offline.sweep import run_local
    lines = host(n=100)[0]
    _, tasks = plan([write(tmp_path / "log", lines)], Start.create(8, 5.0), bits=(8, 9),
                    chunks=2)
    seen = []
    run_local(tasks, progress=seen.append)
    assert len(tasks) == 2 and seen[-1] == len(lines) and seen == sorted(seen)


def run_dask(tmp_path, address, progress):
    from ordwyne_offline.evaluate import evaluate as evaluate_api
    from ordwyne_offline.start import Start
    return evaluate_api([str(tmp_path / "log")], Start.from_file(str(tmp_path / "state")),
                        bits=(8, 9), forgetfulness=(0.99, 0.9), epsilons=(0.2, 0.0, 0.5),
                        bootstrap=200, scheduler=address, progress=progress)


@pytest.mark.slow
def test_dask_cluster_equals_local(tmp_path):
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("numpy")
    lines, checkpoint = host(n=300, checkpoint_at=100)
    log = write(tmp_path / "log", lines)
    (tmp_path / "state").write_text(checkpoint)
    flags = [log, "--state", str(tmp_path / "state"), *SWEEP, "--bootstrap", "200"]
    local = evaluate(tmp_path, *flags, "--jobs", "1", name="local.json")
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None) as cluster:
        remote = evaluate(tmp_path, *flags, "--scheduler", cluster.scheduler_address,
                          name="dask.json")
        seen = []
        report = run_dask(tmp_path, cluster.scheduler_address, seen.append)
        assert seen[-1] == len(lines) and seen == sorted(seen)
        assert report["rows"] == remote["rows"]
    assert (tmp_path / "local.json").read_bytes() == (tmp_path / "dask.json").read_bytes()
    assert remote == local


# -- output and input handling ---------------------------------------------

def test_torn_last_line_is_skipped_with_one_warning(tmp_path, capsys):
    lines, _ = host(n=100)
    whole = evaluate(tmp_path, write(tmp_path / "a", lines), *creation_flags(), name="a.json")
    torn = write(tmp_path / "b", lines + [lines[-1][:20]], end="")
    report = evaluate(tmp_path, torn, *creation_flags(), "--bits", "8,9", "--jobs", "2",
                      name="b.json")
    err = capsys.readouterr().err
    assert err.count("incomplete last line") == 1 and f"{torn}:{len(lines) + 1}" in err
    assert report["counts"]["lines"] == whole["counts"]["lines"] + 1
    assert row(report, "logged") == row(whole, "logged")


def test_table_fits_80_columns_and_plot_is_written(tmp_path, capsys):
    pytest.importorskip("numpy")
    pytest.importorskip("matplotlib")
    log = write(tmp_path / "log", host(n=150)[0])
    png = tmp_path / "eval.png"
    for extra in ([], ["--bootstrap", "200"]):
        evaluate(tmp_path, log, *creation_flags(), "--epsilon", "0.123456789,0.2,0",
                 "--forgetfulness", "0.99,0.999999", "--plot", str(png), *extra)
        out = capsys.readouterr().out
        assert max(len(line) for line in out.splitlines()) <= 80
        assert "e0.123456789 f0.999999 b8" in out and "uniform" in out
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        png.unlink()


@pytest.mark.parametrize("argv, message", [
    (["--nope"], "unrecognized arguments: --nope"),
    (["--epsilon", "0.1,x"], "bad item 'x'"),
    (["--epsilon", "1.5"], "bad item '1.5'"),
    (["--epsilon", "0.1,,0.2"], "bad item ''"),
    (["--bits", "0"], "bad item '0'"),
    (["--forgetfulness", "0"], "bad item '0'"),
    (["--jobs", "0"], "'0' is not an integer >= 1"),
    (["--bootstrap", "-3"], "'-3' is not an integer >= 200"),
    (["--bootstrap", "1"], "'1' is not an integer >= 200"),  # a nonsense interval
], ids=lambda v: v if isinstance(v, str) else None)
def test_usage_errors_exit_2(tmp_path, capsys, argv, message):
    log = write(tmp_path / "log", host(n=5)[0])
    with pytest.raises(SystemExit) as info:
        main(["eval", log, "--bits", "8", "--horizon", "5", *argv])
    assert info.value.code == 2 and message in capsys.readouterr().err


@pytest.mark.parametrize("case, message", [
    ("missing log", "cannot read log {tmp}/absent: no such file"),
    ("no start", "a start state is needed"),
    ("missing state", "cannot read state {tmp}/absent"),
    ("bad state", "bad state {tmp}/log"),
    ("state and horizon", "--state cannot be combined with --horizon"),
    ("malformed line", "{tmp}/log:3: not valid JSON"),
    ("stdin on a cluster", "cluster workers cannot read standard input"),
    ("bad horizon", "horizon must be positive"),
    ("no numpy", "--bootstrap needs numpy (pip install numpy)"),
    ("no matplotlib", "--plot needs matplotlib (pip install matplotlib)"),
])
def test_input_errors_exit_2(tmp_path, capsys, monkeypatch, case, message):
    lines = host(n=5)[0]
    if case == "malformed line":
        lines[2] = lines[2][:-3] + "}}"
    log = write(tmp_path / "log", lines)
    fresh = ["--bits", "8", "--horizon", "5"]
    argv = {"missing log": [str(tmp_path / "absent"), *fresh],
            "no start": [log],
            "missing state": [log, "--state", str(tmp_path / "absent")],
            "bad state": [log, "--state", log],
            "state and horizon": [log, "--state", log, "--horizon", "5"],
            "malformed line": [log, *fresh, "--jobs", "1"],
            "stdin on a cluster": ["-", *fresh, "--scheduler", "tcp://127.0.0.1:1"],
            "bad horizon": [log, "--bits", "8", "--horizon", "-1"],
            "no numpy": [log, *fresh, "--bootstrap", "200"],
            "no matplotlib": [log, *fresh, "--plot", str(tmp_path / "p.png")]}[case]
    monkeypatch.setitem(sys.modules, "numpy", None)  # as if not installed
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    assert main(["eval", *argv, "--quiet"]) == 2
    err = capsys.readouterr().err
    assert message.format(tmp=tmp_path) in err, err
