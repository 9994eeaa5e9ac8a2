"""Search quality on the BBOB suite: vordaopt's methods beside the named peers.

Each task minimises one BBOB problem (suite "bbob" of the coco-experiment
package, box [-5, 5]^d) with one method for a budget of B * d evaluations,
through one counting wrapper: the regret is the best value among the calls
minus the problem's optimum. Methods run at their defaults. Ranks are taken
per (function, instance, seed) among the methods that ran it, with regrets
below 1e-8 counted as equal; the table prints the mean rank and, per function
group, the median log10 regret.

Every finished task is appended to a JSON Lines file, so an interrupted
benchmark goes on where it stopped and a table can be printed at any time:

    python bench/bbob.py run --dims 2 5 10 --budgets 20 --instances 1 2 3 4 5 \\
        --out build/bbob.jsonl
    python bench/bbob.py table build/bbob.jsonl [more.jsonl ...]

``--suite bbob-noisy`` (functions 101-130) and ``--suite bbob-mixint`` (its
first variables integers, rounded by the wrapper so that every method
evaluates integer points) run the same way. On the noisy suite a run is
scored by the point of its best observed value, at its noise-free value
(the median of 31 evaluations): the point found, not the luck of a draw.

Optuna's GPSampler needs torch; where torch lives in another environment,
run its tasks there into a file of their own and print the tables together.
Nevergrad 1.0.12's NGOpt fails with NumPy 2.4 and 2.5 on some cases (its
metamodel converts a one-element array with float): run it the same way,
in an environment with NumPy 2.2.

Needs coco-experiment; the peers (optuna, nevergrad, cmaes) when listed.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import statistics
import sys
import time
from collections import defaultdict
from collections.abc import Callable
from typing import Any

import numpy as np

from ranking import shared_ranks

GROUPS = {"separable": range(1, 6), "low conditioning": range(6, 10),
          "high conditioning": range(10, 15), "multimodal, structured": range(15, 20),
          "multimodal, weak structure": range(20, 25)}
# bbob-noisy's groups (its functions 101-130), in the suite's own terms.
NOISY_GROUPS = {"moderate noise": range(101, 107), "severe noise": range(107, 122),
                "severe noise, multimodal": range(122, 131)}
EQUAL_BELOW = 1e-8
LOW, HIGH = -5.0, 5.0


class Budgeted:
    """Counts the calls of a problem and keeps the best value and point; refuses calls past
    the budget. The problem's first `integers` variables are rounded (bbob-mixint)."""

    class Spent(Exception):
        pass

    def __init__(self, problem: Any, budget: int, dimension: int | None = None) -> None:
        self.problem = problem
        self.budget = budget
        self.calls = 0
        self.best = math.inf
        self.best_x: Any = None
        # A problem without bounds of its own lives on [LOW, HIGH]^dimension.
        low = getattr(problem, "lower_bounds", None)
        high = getattr(problem, "upper_bounds", None)
        self.lower = np.asarray(low if low is not None else [LOW] * (dimension or 0), dtype=float)
        self.upper = np.asarray(high if high is not None else [HIGH] * (dimension or 0), dtype=float)
        self.integers = int(getattr(problem, "number_of_integer_variables", 0) or 0)

    def point(self, x: Any) -> Any:
        x = np.clip(np.asarray(x, dtype=float), self.lower, self.upper)
        x[:self.integers] = np.round(x[:self.integers])
        return x

    def __call__(self, x: Any) -> float:
        if self.calls >= self.budget:
            raise Budgeted.Spent
        self.calls += 1
        x = self.point(x)
        value = float(self.problem(x))
        if value < self.best:
            self.best, self.best_x = value, x
        return value


def noise_free(problem: Any, x: Any, draws: int = 31) -> float:
    """A noisy problem's value at x: the median of `draws` evaluations (bbob-noisy's noise
    models keep the noise-free value as their median, or near it)."""
    return float(statistics.median(float(problem(x)) for _ in range(draws)))


# --- the methods --------------------------------------------------------------------------


def run_vordaopt(method: str) -> Callable[[Budgeted, int, int], None]:
    def run(f: Budgeted, d: int, seed: int) -> None:
        import vordaopt

        space: dict[str, Any] = {
            f"x{i:02d}": vordaopt.Int(int(f.lower[i]), int(f.upper[i])) if i < f.integers
            else vordaopt.Real(float(f.lower[i]), float(f.upper[i])) for i in range(d)}
        names = sorted(space)
        vordaopt.minimize(lambda p: f([p[n] for n in names]), space, f.budget, seed=seed,
                          method=method)  # type: ignore[arg-type]
    return run


def run_random(f: Budgeted, d: int, seed: int) -> None:
    rng = np.random.default_rng(seed)
    for _ in range(f.budget):
        x = rng.uniform(f.lower, f.upper)
        x[:f.integers] = rng.integers(f.lower[:f.integers], f.upper[:f.integers], endpoint=True)
        f(x)


def run_optuna(sampler_name: str) -> Callable[[Budgeted, int, int], None]:
    def run(f: Budgeted, d: int, seed: int) -> None:
        import optuna

        optuna.logging.set_verbosity(optuna.logging.WARNING)
        sampler = getattr(optuna.samplers, sampler_name)(seed=seed)
        study = optuna.create_study(sampler=sampler)
        def suggest(t: Any, i: int) -> float:
            if i < f.integers:
                return t.suggest_int(f"x{i:02d}", int(f.lower[i]), int(f.upper[i]))
            return t.suggest_float(f"x{i:02d}", float(f.lower[i]), float(f.upper[i]))

        study.optimize(lambda t: f([suggest(t, i) for i in range(d)]), n_trials=f.budget)
    return run


def run_ngopt(f: Budgeted, d: int, seed: int) -> None:
    import nevergrad as ng

    if f.integers:
        variables = [ng.p.Scalar(lower=float(f.lower[i]), upper=float(f.upper[i]))
                     for i in range(d)]
        for v in variables[:f.integers]:
            v.set_integer_casting()
        parametrization = ng.p.Instrumentation(*variables)
        parametrization.random_state = np.random.RandomState(seed)
        optimizer = ng.optimizers.NGOpt(parametrization=parametrization, budget=f.budget)
        optimizer.minimize(lambda *x: f(list(x)))
        return
    parametrization = ng.p.Array(shape=(d,), lower=f.lower, upper=f.upper)
    parametrization.random_state = np.random.RandomState(seed)
    optimizer = ng.optimizers.NGOpt(parametrization=parametrization, budget=f.budget)
    optimizer.minimize(f)


def run_cmaes_restarts(f: Budgeted, d: int, seed: int) -> None:
    """The cmaes package with IPOP restarts (the population doubles at each restart);
    CMA-ES with margin (CMAwM) where some variables are integers."""
    from cmaes import CMA, CMAwM

    bounds = np.stack([f.lower, f.upper], axis=1)
    steps = np.array([1.0 if i < f.integers else 0.0 for i in range(d)])
    rng = np.random.default_rng(seed)
    population = None
    while True:
        mean = rng.uniform(f.lower, f.upper)
        sigma = float(np.max(f.upper - f.lower)) / 5
        if f.integers:
            optimizer: Any = CMAwM(mean=mean, sigma=sigma, bounds=bounds, steps=steps,
                                   seed=int(rng.integers(2**31)), population_size=population)
        else:
            optimizer = CMA(mean=mean, sigma=sigma, bounds=bounds, seed=int(rng.integers(2**31)),
                            population_size=population)
        while not optimizer.should_stop():
            solutions = []
            for _ in range(optimizer.population_size):
                if f.integers:
                    x_eval, x_tell = optimizer.ask()
                    solutions.append((x_tell, f(x_eval)))
                else:
                    x = optimizer.ask()
                    solutions.append((x, f(x)))
            optimizer.tell(solutions)
        population = optimizer.population_size * 2


METHODS: dict[str, Callable[[Budgeted, int, int], None]] = {
    "vordaopt auto": run_vordaopt("auto"),
    "vordaopt cma": run_vordaopt("cma"),
    "vordaopt gp": run_vordaopt("gp"),
    "vordaopt batch": run_vordaopt("batch"),
    "vordaopt online": run_vordaopt("online"),
    "optuna TPE": run_optuna("TPESampler"),
    "optuna CmaEs": run_optuna("CmaEsSampler"),
    "optuna GP": run_optuna("GPSampler"),
    "nevergrad NGOpt": run_ngopt,
    "cmaes IPOP": run_cmaes_restarts,
    "random": run_random,
}


def optimum(problem: Any) -> float:
    """f_opt of a BBOB problem (coco-experiment 2.8.4 exposes it; 2.8.2 only its argmin)."""
    value = getattr(problem, "_best_value", None)
    if value is not None:
        return float(value() if callable(value) else value)
    import tempfile

    here = os.getcwd()
    with tempfile.TemporaryDirectory() as folder:
        os.chdir(folder)
        try:
            problem._best_parameter("print")
            with open("._bbob_problem_best_parameter.txt") as f:
                x = np.array([float(v) for v in f.read().split()])
        finally:
            os.chdir(here)
    return float(problem(x))


def task_key(method: str, d: int, factor: int, fid: int, instance: int, seed: int,
             suite: str = "bbob") -> str:
    head = "" if suite == "bbob" else f"{suite}|"
    return f"{head}{method}|{d}|{factor}|{fid}|{instance}|{seed}"


def run_tasks(args: argparse.Namespace) -> None:
    import cocoex

    done = set()
    if os.path.exists(args.out):
        with open(args.out) as f:
            done = {json.loads(line)["key"] for line in f if line.strip()}
    for d in args.dims:
        suite = cocoex.Suite(args.suite, "", f"dimensions:{d} instance_indices:"
                             + ",".join(map(str, args.instances)))
        functions = args.functions or ([f for f in range(101, 131)] if args.suite == "bbob-noisy"
                                       else list(range(1, 25)))
        for factor in args.budgets:
            for method in args.methods:
                for fid in functions:
                    for instance in args.instances:
                        for seed in args.seeds:
                            key = task_key(method, d, factor, fid, instance, seed, args.suite)
                            if key in done:
                                continue
                            problem = suite.get_problem_by_function_dimension_instance(fid, d, instance)
                            f = Budgeted(problem, factor * d)
                            began = time.perf_counter()
                            try:
                                METHODS[method](f, d, seed)
                            except Budgeted.Spent:
                                pass
                            if args.suite == "bbob-noisy":  # the point found, not the luck
                                found = noise_free(problem, f.best_x) if f.calls else math.inf
                            else:
                                found = f.best
                            regret = max(found - optimum(problem), 0.0)
                            row = {"key": key, "suite": args.suite, "method": method, "dim": d,
                                   "factor": factor,
                                   "function": fid, "instance": instance, "seed": seed,
                                   "calls": f.calls, "regret": regret,
                                   "seconds": time.perf_counter() - began}
                            with open(args.out, "a") as out:
                                out.write(json.dumps(row) + "\n")
                            print(f"{method:16s} d={d:2d} {factor}d f{fid:02d} i{instance} s{seed}: "
                                  f"regret {regret:.3g} ({f.calls} calls, {row['seconds']:.1f} s)",
                                  file=sys.stderr, flush=True)


def load_settings(paths: list[str]) -> dict[tuple[str, int, int], list[dict[str, Any]]]:
    """The rows of the result files, by (suite, dimension, budget factor)."""
    rows = [json.loads(line) for path in paths for line in open(path) if line.strip()]
    by_setting: dict[tuple[str, int, int], list[dict[str, Any]]] = defaultdict(list)
    for r in rows:
        by_setting[(r.get("suite", "bbob"), r["dim"], r["factor"])].append(r)
    return by_setting


def rank_cases(group: list[dict[str, Any]], methods: list[str]
               ) -> tuple[dict[tuple[int, int, int], dict[str, float]], dict[str, list[float]]]:
    """The cases that all `methods` ran, and each method's rank in each of them."""
    cases: dict[tuple[int, int, int], dict[str, float]] = defaultdict(dict)
    for r in group:
        if r["method"] in methods:
            cases[(r["function"], r["instance"], r["seed"])][r["method"]] = r["regret"]
    complete = {c: v for c, v in cases.items() if len(v) == len(methods)}
    ranks: dict[str, list[float]] = defaultdict(list)
    for regrets in complete.values():
        clipped = {m: (0.0 if v < EQUAL_BELOW else v) for m, v in regrets.items()}
        for m, rank in shared_ranks(clipped).items():
            ranks[m].append(rank)
    return complete, ranks


def print_table(paths: list[str]) -> None:
    for (suite, d, factor), group in sorted(load_settings(paths).items()):
        methods = sorted({r["method"] for r in group})
        # Rank only cases that every method ran.
        complete, ranks = rank_cases(group, methods)
        groups = NOISY_GROUPS if suite == "bbob-noisy" else GROUPS
        print(f"\n{suite}, d = {d}, budget {factor}·d, {len(complete)} cases "
              "(function x instance x seed)")
        header = ["method", "mean rank"] + list(groups)
        print("| " + " | ".join(header) + " |")
        print("|" + "---|" * len(header))
        table = []
        for m in methods:
            cells = []
            for fids in groups.values():
                values = [max(v[m], 1e-12) for c, v in complete.items() if c[0] in fids]
                cells.append(f"{statistics.median(math.log10(x) for x in values):.2f}"
                             if values else "–")
            table.append((statistics.mean(ranks[m]) if ranks[m] else math.inf, m, cells))
        for mean_rank, m, cells in sorted(table):
            print(f"| {m} | {mean_rank:.2f} | " + " | ".join(cells) + " |")


def print_summary(paths: list[str]) -> None:
    """One table: each method's mean rank in each setting, among the methods that ran all of it."""
    settings = sorted(load_settings(paths).items())
    columns: list[tuple[str, dict[str, float], int]] = []
    for (suite, d, factor), group in settings:
        coverage: dict[str, int] = defaultdict(int)
        for r in group:
            coverage[r["method"]] += 1
        full = max(coverage.values())
        methods = sorted(m for m, n in coverage.items() if n == full)
        complete, ranks = rank_cases(group, methods)
        prefix = "" if suite == "bbob" else f"{suite} "
        columns.append((f"{prefix}d={d}, {factor}·d", {m: statistics.mean(ranks[m]) for m in ranks},
                        len(complete)))
    every = sorted({m for _, means, _ in columns for m in means},
                   key=lambda m: statistics.mean(
                       [means[m] / (len(means) + 1) * 2 for _, means, _ in columns if m in means]))
    print("| method | " + " | ".join(c for c, _, _ in columns) + " |")
    print("|---|" + "---|" * len(columns))
    for m in every:
        cells = []
        for _, means, _ in columns:
            if m not in means:
                cells.append("–")
            else:
                best = min(means.values())
                text = f"{means[m]:.2f}"
                cells.append(f"**{text}**" if means[m] == best else text)
        print(f"| {m} | " + " | ".join(cells) + " |")
    print("| methods / cases | " + " | ".join(f"{len(means)} / {n}" for _, means, n in columns)
          + " |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    run = sub.add_parser("run")
    run.add_argument("--dims", type=int, nargs="+", default=[2, 5, 10, 20])
    run.add_argument("--budgets", type=int, nargs="+", default=[20, 100], help="factors of d")
    run.add_argument("--instances", type=int, nargs="+", default=[1, 2, 3, 4, 5])
    run.add_argument("--functions", type=int, nargs="+",
                     help="default: every function of the suite")
    run.add_argument("--suite", default="bbob", choices=["bbob", "bbob-noisy", "bbob-mixint"])
    run.add_argument("--seeds", type=int, nargs="+", default=[0])
    run.add_argument("--methods", nargs="+", default=[m for m in METHODS if m != "optuna GP"],
                     choices=list(METHODS))
    run.add_argument("--out", default="build/bbob.jsonl")
    table = sub.add_parser("table", help="the table of one or more result files together")
    table.add_argument("paths", nargs="+")
    summary = sub.add_parser("summary", help="mean ranks of every method in every setting")
    summary.add_argument("paths", nargs="+")
    args = parser.parse_args()
    if args.command == "run":
        run_tasks(args)
        print_table([args.out])
    elif args.command == "summary":
        print_summary(args.paths)
    else:
        print_table(args.paths)


if __name__ == "__main__":
    main()
