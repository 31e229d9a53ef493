#!/usr/bin/env python3
"""A news site picks one of 20 articles for each visit with ordwyne.

The site is simulated: visitors arrive over one day, each with a device,
a country, a daypart, an interest and the hour. A hidden click model that
the engine never sees decides how likely each article is to be clicked.
For every visit the host calls `decide`, logs the record, and - if the
visitor clicks - reports the click when it arrives, some seconds later,
with `learn`. Visits without a click are closed by a periodic `expire`
with the default reward 0. Halfway through, the state is written to a file,
dropped, and restored from that file.

Afterwards the example compares the engine with three baselines on the same
visits and the same click draws, writes a learning-curve picture and checks
that the checkpointed run is identical to one without a checkpoint.

    pip install ".[examples]"
    python examples/news_site.py --visits 30000 --out out

Needs rich, numpy and matplotlib (the package's "examples" extra).
"""

from __future__ import annotations

import argparse
import heapq
import math
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, TextIO

import numpy as np
import numpy.typing as npt

import ordwyne

# One feature dict, as decide takes it.
Features = dict[str, str | bool | int | float | None]
Array = npt.NDArray[Any]

EXPIRE_EVERY = 60.0  # the host sweeps unanswered visits once a simulated minute

TOPICS = ["politics", "business", "sports", "tech", "science", "culture", "health"]
LANGUAGES = ["en", "de", "fr", "es"]
COUNTRIES = ["us", "gb", "in", "de", "fr", "es"]
COUNTRY_LANGUAGE = {"us": "en", "gb": "en", "in": "en", "de": "de", "fr": "fr", "es": "es"}
COUNTRY_SHARE = [0.34, 0.14, 0.10, 0.18, 0.12, 0.12]
DEVICES = ["phone", "desktop", "tablet"]
DEVICE_SHARE = [0.58, 0.32, 0.10]
DAYPARTS = ["night", "morning", "afternoon", "evening"]
AUTHORS = ["a.moreau", "b.okafor", "c.lindqvist", "d.haas", "e.rossi",
           "f.tanaka", "g.mendes", "h.byrne"]
# Visits per hour of day: quiet at night, peaks at breakfast and after work.
TRAFFIC = [2, 1, 1, 1, 1, 2, 4, 7, 8, 7, 6, 6, 7, 6, 5, 5, 6, 7, 9, 10, 10, 8, 6, 4]
# Interest shares shift over the day: news in the morning, leisure at night.
INTEREST_BY_DAYPART = {
    "night":     [0.08, 0.06, 0.16, 0.22, 0.14, 0.24, 0.10],
    "morning":   [0.30, 0.22, 0.12, 0.12, 0.08, 0.06, 0.10],
    "afternoon": [0.18, 0.18, 0.16, 0.16, 0.12, 0.10, 0.10],
    "evening":   [0.12, 0.08, 0.28, 0.14, 0.10, 0.18, 0.10],
}
# Hidden click-model effects, on the log-odds scale.
BASE_LOGIT = -2.9
INTEREST_MATCH = 1.5
DEVICE_PER_1000_WORDS = {"phone": -0.55, "desktop": 0.35, "tablet": 0.10}
DAYPART_TOPIC = {
    "night":     {"tech": 0.45, "culture": 0.35, "science": 0.25},
    "morning":   {"politics": 0.55, "business": 0.45},
    "afternoon": {"business": 0.20, "health": 0.30},
    "evening":   {"sports": 0.55, "culture": 0.40},
}
FRESHNESS_DECAY = 0.45  # log-odds lost per log(1 + age / 6h)
P_MIN, P_MAX = 0.01, 0.30
# Clicks come back after a log-normal delay: median 20 s, a tail past the horizon.
DELAY_MEDIAN, DELAY_SIGMA = 20.0, 1.3


def daypart(hour: int) -> str:
    return DAYPARTS[(hour // 6) % 4]


@dataclass
class World:
    """The articles, the day's visits and the hidden click probabilities."""

    names: list[str]
    articles: list[Features]      # static features of each article
    published: Array              # seconds before midnight each article went up
    times: Array                  # visit time in seconds since midnight
    contexts: list[Features]
    prob: Array                   # true click probability, visits x articles
    click_u: Array                # one uniform per visit, shared by every policy
    delay: Array                  # click delay per visit, seconds

    def candidates(self, t: float) -> list[tuple[str, Features]]:
        out: list[tuple[str, Features]] = []
        # plain floats: rounding numpy scalars costs more than the decision itself
        for name, static, published in zip(self.names, self.articles, self.published.tolist()):
            features = dict(static)
            features["age_hours"] = round((t + published) / 3600.0, 2)
            out.append((name, features))
        return out


def build_world(visits: int, seed: int) -> World:
    rng = np.random.default_rng(seed)
    n = 20
    names = [f"article_{1001 + i}" for i in range(n)]
    topic = rng.permutation(np.resize(np.arange(len(TOPICS)), n))
    language = rng.choice(len(LANGUAGES), size=n, p=[0.55, 0.15, 0.15, 0.15])
    author = rng.integers(len(AUTHORS), size=n)
    length = rng.integers(250, 2800, size=n)
    published = rng.uniform(0.5, 30.0, size=n) * 3600.0
    quality = rng.normal(0.0, 0.35, size=n)
    articles: list[Features] = [
        {"topic": TOPICS[topic[i]], "author": AUTHORS[author[i]],
         "language": LANGUAGES[language[i]], "length_words": int(length[i])}
        for i in range(n)]

    hour_p = np.array(TRAFFIC, float) / sum(TRAFFIC)
    hours = rng.choice(24, size=visits, p=hour_p)
    times = np.sort(hours * 3600.0 + rng.uniform(0.0, 3600.0, size=visits))
    hour = (times // 3600).astype(int)
    device = rng.choice(len(DEVICES), size=visits, p=DEVICE_SHARE)
    country = rng.choice(len(COUNTRIES), size=visits, p=COUNTRY_SHARE)
    part = np.array([DAYPARTS.index(daypart(h)) for h in hour])
    interest_cdf = np.cumsum([INTEREST_BY_DAYPART[d] for d in DAYPARTS], axis=1)
    interest = (rng.uniform(size=(visits, 1)) >= interest_cdf[part][:, :-1]).sum(axis=1)
    contexts: list[Features] = [
        {"device": DEVICES[device[v]], "country": COUNTRIES[country[v]],
         "daypart": DAYPARTS[part[v]], "interest": TOPICS[interest[v]],
         "hour": int(hour[v])} for v in range(visits)]

    # log-odds, visits x articles
    logit = BASE_LOGIT + quality[None, :]
    logit = logit + INTEREST_MATCH * (interest[:, None] == topic[None, :])
    per_device = np.array([DEVICE_PER_1000_WORDS[d] for d in DEVICES])
    logit = logit + per_device[device][:, None] * (length[None, :] - 1000) / 1000.0
    lang_fit = np.zeros((len(COUNTRIES), len(LANGUAGES)))
    for c, country_name in enumerate(COUNTRIES):
        for lang_i, lang in enumerate(LANGUAGES):
            native = COUNTRY_LANGUAGE[country_name]
            lang_fit[c, lang_i] = 0.6 if lang == native else (-0.3 if lang == "en" else -1.8)
    logit = logit + lang_fit[country][:, language]
    part_topic = np.zeros((len(DAYPARTS), len(TOPICS)))
    for part_name, bonus in DAYPART_TOPIC.items():
        for topic_name, value in bonus.items():
            part_topic[DAYPARTS.index(part_name), TOPICS.index(topic_name)] = value
    logit = logit + part_topic[part][:, topic]
    age_hours = (times[:, None] + published[None, :]) / 3600.0
    logit = logit - FRESHNESS_DECAY * np.log1p(age_hours / 6.0)
    prob = np.clip(1.0 / (1.0 + np.exp(-logit)), P_MIN, P_MAX)

    click_u = rng.uniform(size=visits)
    delay = DELAY_MEDIAN * np.exp(DELAY_SIGMA * rng.standard_normal(visits))
    return World(names, articles, published, times, contexts, prob, click_u, delay)


@dataclass
class EngineRun:
    chosen: Array
    clicked: Array
    # what each decision was: id, chosen, propensity, model version, candidate hash
    trace: list[tuple[str, int, float, int, int]] = field(default_factory=list)
    final_state: str = ""
    rewarded: int = 0          # clicks reported within the horizon
    late_expired: int = 0      # clicks past the horizon, still pending: resolved as no-click
    late_after_close: int = 0  # clicks past the horizon after the sweep closed the visit
    swept: int = 0             # visits closed by expire


def new_state(args: argparse.Namespace) -> ordwyne.BanditState:
    return ordwyne.create(args.bits, args.horizon, epsilon=args.epsilon,
                          forgetfulness=args.forgetfulness)


def run_engine(world: World, args: argparse.Namespace, log: TextIO | None = None,
               checkpoint: Path | None = None,
               progress: Callable[[], None] | None = None) -> EngineRun:
    """Play the day with the engine. With `log` every decision and resolution
    is written; with `checkpoint` the state goes through that file halfway."""
    visits = len(world.times)
    state = new_state(args)
    salt = f"news-{args.seed}"
    run = EngineRun(np.zeros(visits, int), np.zeros(visits, bool))
    pending: list[tuple[float, int, str]] = []  # (arrival time, visit, decision id)
    next_sweep = EXPIRE_EVERY

    def note(resolution: ordwyne.Resolution) -> None:
        if log is not None:
            log.write(ordwyne.log_line(resolution) + "\n")

    def advance(now: float) -> None:
        # Clicks and sweeps happen in time order; a click at the very moment
        # of a sweep is reported first.
        nonlocal next_sweep
        while True:
            click_at = pending[0][0] if pending else math.inf
            if click_at <= now and click_at <= next_sweep:
                _, _, decision_id = heapq.heappop(pending)
                resolution = ordwyne.learn(state, decision_id, 1.0, click_at)
                if resolution is None:
                    run.late_after_close += 1
                else:
                    if resolution.kind == "rewarded":
                        run.rewarded += 1
                    else:
                        run.late_expired += 1
                    note(resolution)
            elif next_sweep <= now:
                for resolution in ordwyne.expire(state, next_sweep):
                    run.swept += 1
                    note(resolution)
                next_sweep += EXPIRE_EVERY
            else:
                return

    for v in range(visits):
        t = float(world.times[v])
        advance(t)
        record = ordwyne.decide(state, world.contexts[v], world.candidates(t), t, salt)
        if log is not None:
            log.write(ordwyne.log_line(record) + "\n")
        a = record.chosen
        run.chosen[v] = a
        run.trace.append((record.decision_id, a, record.propensity, record.model_version,
                          record.candidate_hash))
        if world.click_u[v] < world.prob[v, a]:
            run.clicked[v] = True
            heapq.heappush(pending, (t + float(world.delay[v]), v, record.decision_id))
        if checkpoint is not None and v == visits // 2:
            checkpoint.write_text(ordwyne.serialize(state))
            del state
            state = ordwyne.deserialize(checkpoint.read_text())
        if progress is not None:
            progress()

    # Let every outstanding click arrive and every decision reach its horizon.
    end = float(world.times[-1]) + args.horizon
    if pending:
        end = max(end, max(at for at, _, _ in pending))
    advance(end)
    for resolution in ordwyne.expire(state, end):
        run.swept += 1
        note(resolution)
    run.final_state = ordwyne.serialize(state)
    return run


def moving_rate(hits: Array, window: int) -> Array:
    cumulative = np.concatenate([[0.0], np.cumsum(hits, dtype=float)])
    rate: Array = (cumulative[window:] - cumulative[:-window]) / window
    return rate


def plot(path: Path, hours: Array, curves: dict[str, Array], window: int,
         epsilon: float) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    styles = {"oracle": ("#2b8a3e", "--"), "ordwyne": ("#1c7ed6", "-"),
              "best single article": ("#e67700", "-."), "random": ("#868e96", ":")}
    fig, (recent, overall) = plt.subplots(2, 1, figsize=(9, 7.5), dpi=110)
    visit = np.arange(1, len(hours) + 1)
    start = min(50, len(hours) - 1)  # the first few visits are all noise
    for name, hits in curves.items():
        color, style = styles[name]
        recent.plot(visit[window - 1:], 100 * moving_rate(hits, window), style, color=color,
                    label=name, linewidth=1.4)
        so_far = np.cumsum(hits) / visit
        overall.plot(visit[start:], 100 * so_far[start:], style, color=color, label=name,
                     linewidth=1.6)
    recent.set_title(f"News site, one simulated day (epsilon {epsilon})")
    recent.set_ylabel(f"click rate, %\nlast {window} visits")
    recent.set_xlabel("visit")
    # the hour of day above, since the visitors' tastes follow the clock
    to_hour = (lambda v: np.interp(v, visit, hours), lambda h: np.interp(h, hours, visit))
    clock = recent.secondary_xaxis("top", functions=to_hour)
    clock.set_xlabel("hour of day")
    overall.set_xscale("log")
    overall.set_ylabel("click rate, %\nsince the first visit")
    overall.set_xlabel("visit (log scale)")
    for ax in (recent, overall):
        ax.grid(alpha=0.3)
    overall.legend(loc="upper right", ncol=2)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def make_parser(description: str | None = None) -> argparse.ArgumentParser:
    """The day's flags (the fleet example adds its own to them)."""
    p = argparse.ArgumentParser(description=description or (__doc__ or "").split("\n\n")[0],
                                formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    p.add_argument("--visits", type=int, default=30_000, help="visits in the simulated day")
    p.add_argument("--epsilon", type=float, default=0.05, help="exploration rate")
    p.add_argument("--bits", type=int, default=18, help="feature bits (2**bits weights)")
    p.add_argument("--forgetfulness", type=float, default=1.0,
                   help="per-update discount of what was learned (1.0 = never forget)")
    p.add_argument("--horizon", type=float, default=120.0,
                   help="seconds a click may take before the visit counts as no-click")
    p.add_argument("--seed", type=int, default=7, help="seed of the world and of the salt")
    p.add_argument("--out", type=Path, default=Path("out"), help="output folder")
    return p


def parse_args(argv: Sequence[str] | None = None,
               p: argparse.ArgumentParser | None = None) -> argparse.Namespace:
    p = p or make_parser()
    args = p.parse_args(argv)
    if args.visits < 10:
        p.error("--visits must be at least 10")
    return args


def main(argv: Sequence[str] | None = None) -> int:
    from rich.console import Console
    from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, \
        TimeRemainingColumn
    from rich.table import Table

    args = parse_args(argv)
    console = Console()
    args.out.mkdir(parents=True, exist_ok=True)
    log_path = args.out / "experience.jsonl"
    checkpoint_path = args.out / "checkpoint_state.hex"
    state_path = args.out / "state.hex"
    # The state the day starts from: with the log, all the offline tool
    # needs to replay and check the day.
    start_path = args.out / "start_state.hex"
    picture_path = args.out / "learning_curve.png"

    started = time.perf_counter()
    world = build_world(args.visits, args.seed)
    visits = args.visits
    start_path.write_text(ordwyne.serialize(new_state(args)))

    columns = (TextColumn("{task.description:<26}"), BarColumn(), MofNCompleteColumn(),
               TimeRemainingColumn())
    with Progress(*columns, console=console) as progress:
        task = progress.add_task("engine, logged", total=visits)
        with log_path.open("w") as log:
            run = run_engine(world, args, log=log, checkpoint=checkpoint_path,
                             progress=lambda: progress.advance(task))
        state_path.write_text(run.final_state)
        task = progress.add_task("same day, no checkpoint", total=visits)
        again = run_engine(world, args, progress=lambda: progress.advance(task))

    identical = again.trace == run.trace and again.final_state == run.final_state

    # Baselines on the same visits, judged with the same per-visit click draw.
    rows = np.arange(visits)
    random_choice = np.random.default_rng(args.seed + 1).integers(len(world.names), size=visits)
    best_article = int(np.argmax(world.prob.sum(axis=0)))
    oracle_choice = np.argmax(world.prob, axis=1)
    policies = {
        "oracle": oracle_choice,
        "ordwyne": run.chosen,
        "best single article": np.full(visits, best_article),
        "random": random_choice,
    }
    hits = {name: world.click_u < world.prob[rows, choice] for name, choice in policies.items()}
    assert np.array_equal(hits["ordwyne"], run.clicked)

    random_rate = hits["random"].mean()
    half = visits // 2
    table = Table(title=f"{visits:,} visits, {len(world.names)} articles, seed {args.seed}")
    for header in ("policy", "clicks", "click rate", "expected", "2nd half", "vs random"):
        table.add_column(header, justify="left" if header == "policy" else "right")
    for name, choice in policies.items():
        h = hits[name]
        table.add_row(name, f"{h.sum():,}", f"{100 * h.mean():.2f}%",
                      f"{100 * world.prob[rows, choice].mean():.2f}%",
                      f"{100 * h[half:].mean():.2f}%",
                      f"{h.mean() / random_rate:.2f}x" if random_rate else "-")
    console.print(table)
    console.print(
        "click rate: simulated clicks, one uniform draw per visit shared by all policies; "
        "expected: mean true click probability of the chosen articles; 2nd half: click rate "
        f"over the last {visits - half:,} visits; best single article in hindsight: "
        f"{world.names[best_article]}; oracle: the most likely click for each visit")

    console.print(
        f"engine feedback: {run.rewarded:,} clicks learned within the {args.horizon:g} s "
        f"horizon; {run.swept:,} visits closed by expire as no-click; "
        f"{run.late_expired + run.late_after_close:,} clicks arrived too late "
        f"({run.late_expired:,} came back as kind 'expired', {run.late_after_close:,} "
        f"found their visit already closed)")

    window = max(20, min(1000, visits // 40))
    plot(picture_path, world.times / 3600.0, hits, window, args.epsilon)

    if identical:
        console.print("checkpoint/restore: identical run [green]✓[/green] "
                      "(decisions and final state match a run without the checkpoint)")
    else:
        first = next((i for i, pair in enumerate(zip(run.trace, again.trace))
                      if pair[0] != pair[1]), None)
        where = "the final states" if first is None else f"decision {first}"
        console.print(f"[red]checkpoint/restore: runs differ[/red] (first difference: {where})")

    console.print(f"experience log : {log_path}")
    console.print(f"state          : {state_path}  (start: {start_path}, "
                  f"checkpoint: {checkpoint_path})")
    console.print(f"learning curve : {picture_path}")
    console.print(f"run time       : {time.perf_counter() - started:.1f} s")
    return 0 if identical else 1


if __name__ == "__main__":
    sys.exit(main())
