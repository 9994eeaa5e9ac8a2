"""Two objectives on coco's bbob-biobj suite, beside Optuna.

    python bench/biobj.py run --out build/biobj.jsonl [--dims 2] [--methods auto,optuna-tpe,...]
    python bench/biobj.py table build/biobj.jsonl

Every function of the suite (55 pairs of bbob functions), instances 1-5,
seed 0: 275 problems in each dimension. Each method searches the box
[-5, 5]^d, bbob's own domain, which holds both functions' optima (the
suite's nominal box, [-100, 100]^d, is mostly far from the front). A run is
scored at 30 and 100 evaluations as in bench/multiobjective.py: minus the
hypervolume of its evaluated points in coordinates normalised by the
problem's ideal point (the two functions' optima) and nadir point (each
function's value at the other's optimum), points beyond 1.1 in either
coordinate dropped, reference point (1.1, 1.1). Lower is better.

Methods: ``auto`` (or any vordaopt method), ``optuna-tpe`` (Optuna's
default sampler for several objectives), ``optuna-nsga2``, ``optuna-gp``
(GPSampler: slow, about half a minute a run) and ``random`` (Optuna's
RandomSampler), each at its defaults. ``run`` appends one line per
(method, problem) and skips those already there; ``table`` prints the mean
rank per problem (ties share their rank) over the problems every listed
method ran, the mean score per function group, and the cost per trial.
Needs coco-experiment and optuna.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import re
import statistics
import time
from collections import defaultdict
from typing import Any, Callable

import numpy as np

import vordaopt
from vordaopt import Real, _engine

from ranking import shared_ranks

BUDGETS = (30, 100)
BOX = 5.0
# bbob's five function groups: separable, moderate, ill-conditioned,
# multi-modal, weakly structured multi-modal.
GROUPS_NAMES = {1: "sep", 2: "mod", 3: "ill", 4: "mm", 5: "weak"}
BBOB_FUNCTIONS = (1, 2, 6, 8, 13, 14, 15, 17, 20, 21)  # those paired in the suite
GROUP_OF_BBOB = {1: 1, 2: 1, 6: 2, 8: 2, 13: 3, 14: 3, 15: 4, 17: 4, 20: 5, 21: 5}


def problems(dim: int) -> Any:
    import cocoex

    return cocoex.Suite("bbob-biobj", "instances: 1-5", f"dimensions: {dim}")


def ideal_and_nadir(problem: Any) -> tuple[np.ndarray, np.ndarray]:
    """The two functions' optimal values, and the problem's largest values of interest."""
    import cocoex

    match = re.match(r"bbob_f(\d+)_i(\d+)_d(\d+)__bbob_f(\d+)_i(\d+)", problem.name)
    assert match, problem.name
    f1, i1, d, f2, i2 = map(int, match.groups())
    single = cocoex.Suite("bbob", f"instances: {min(i1, i2)}-{max(i1, i2)}", f"dimensions: {d}")
    ideal = [float(single.get_problem_by_function_dimension_instance(f, d, i)._best_value)
             for f, i in ((f1, i1), (f2, i2))]
    return np.array(ideal), np.array(problem.largest_fvalues_of_interest, dtype=float)


def score(points: np.ndarray, ideal: np.ndarray, nadir: np.ndarray) -> float:
    if not len(points):
        return 0.0
    scaled = (points - ideal) / (nadir - ideal)
    inside = scaled[(scaled <= 1.1).all(axis=1)]
    return -_engine.hypervolume(inside.ravel().tolist(), 2, [1.1, 1.1]) if len(inside) else 0.0


def run_vordaopt(problem: Any, budget: int, method: str) -> list[list[float]]:
    seen: list[list[float]] = []

    def evaluate(params: dict[str, float]) -> dict[str, float]:
        f = problem(np.array([params[f"x{i}"] for i in range(problem.dimension)]))
        seen.append([float(f[0]), float(f[1])])
        return {"f1": seen[-1][0], "f2": seen[-1][1]}

    space = {f"x{i}": Real(-BOX, BOX) for i in range(problem.dimension)}
    vordaopt.minimize(evaluate, space, budget, seed=0, method=method,
                      objectives={"f1": "minimize", "f2": "minimize"})
    return seen


def run_optuna(problem: Any, budget: int, sampler: Callable[[], Any]) -> list[list[float]]:
    import optuna

    optuna.logging.set_verbosity(optuna.logging.WARNING)
    seen: list[list[float]] = []

    def objective(trial: Any) -> tuple[float, float]:
        x = np.array([trial.suggest_float(f"x{i}", -BOX, BOX) for i in range(problem.dimension)])
        f = problem(x)
        seen.append([float(f[0]), float(f[1])])
        return seen[-1][0], seen[-1][1]

    study = optuna.create_study(directions=["minimize", "minimize"], sampler=sampler())
    study.optimize(objective, n_trials=budget)
    return seen


def optuna_sampler(method: str) -> Callable[[], Any] | None:
    import optuna

    samplers = {"optuna-tpe": lambda: optuna.samplers.TPESampler(seed=0),
                "optuna-nsga2": lambda: optuna.samplers.NSGAIISampler(seed=0),
                "optuna-gp": lambda: optuna.samplers.GPSampler(seed=0),
                "random": lambda: optuna.samplers.RandomSampler(seed=0)}
    return samplers.get(method)


def run(args: argparse.Namespace) -> None:
    out = pathlib.Path(args.out)
    done = set()
    if out.exists():
        done = {(r["method"], r["problem"]) for r in map(json.loads, out.read_text().splitlines())}
    for dim in args.dims:
        for problem in problems(dim):
            if args.functions and problem.id_function not in args.functions:
                continue
            if args.instances and problem.id_instance not in args.instances:
                continue
            ideal, nadir = ideal_and_nadir(problem)
            for method in args.methods.split(","):
                if (method, problem.id) in done:
                    continue
                began = time.perf_counter()
                sampler = optuna_sampler(method)
                seen = (run_optuna(problem, max(BUDGETS), sampler) if sampler
                        else run_vordaopt(problem, max(BUDGETS), method))
                wall = time.perf_counter() - began
                points = np.array(seen)
                row = {"method": method, "problem": problem.id, "dim": dim,
                       "function": problem.id_function, "instance": problem.id_instance,
                       "score_at": {str(b): score(points[:b], ideal, nadir) for b in BUDGETS},
                       "n_calls": len(seen), "wall": round(wall, 3)}
                with out.open("a") as f:
                    f.write(json.dumps(row) + "\n")
                print(f"{method:14s} {problem.id}: " + "  ".join(
                    f"{b}: {s:+.4f}" for b, s in row["score_at"].items()) + f"  ({row['wall']} s)",
                    flush=True)


# The suite's functions in order: every pair of the bbob functions above.
PAIRS = [(a, b) for i, a in enumerate(BBOB_FUNCTIONS) for b in BBOB_FUNCTIONS[i:]]


def group_of(function: int) -> str:
    """The pair of bbob groups a bbob-biobj function combines (e.g. 'sep/mm')."""
    a, b = PAIRS[function - 1]
    return f"{GROUPS_NAMES[GROUP_OF_BBOB[a]]}/{GROUPS_NAMES[GROUP_OF_BBOB[b]]}"


def table(args: argparse.Namespace) -> None:
    rows = [json.loads(line) for line in pathlib.Path(args.results).read_text().splitlines()]
    methods = args.methods.split(",") if args.methods else sorted({r["method"] for r in rows})
    for dim in sorted({r["dim"] for r in rows}):
        by_problem: dict[str, dict[str, dict[str, Any]]] = defaultdict(dict)
        for r in rows:
            if r["dim"] == dim and r["method"] in methods:
                by_problem[r["problem"]][r["method"]] = r
        complete = {p: runs for p, runs in by_problem.items() if set(runs) == set(methods)}
        for budget in (str(b) for b in BUDGETS):
            ranks: dict[str, list[float]] = defaultdict(list)
            by_group: dict[str, dict[str, list[float]]] = defaultdict(lambda: defaultdict(list))
            for runs in complete.values():
                scores = {m: runs[m]["score_at"][budget] for m in methods}
                shared = shared_ranks(scores)
                for m in methods:
                    ranks[m].append(shared[m])
                    first, _, second = group_of(runs[m]["function"]).partition("/")
                    by_group[first][m].append(scores[m])
                    if second != first:
                        by_group[second][m].append(scores[m])
            names = list(GROUPS_NAMES.values())
            print(f"\n| bbob-biobj d = {dim}, budget {budget}, {len(complete)} problems | mean rank | "
                  + " | ".join(names) + " |")
            print("|---|---|" + "---|" * len(names))
            for m in sorted(methods, key=lambda m: statistics.mean(ranks[m])):
                cells = [f"{statistics.mean(by_group[g][m]):+.3f}" for g in names]
                print(f"| {m} | {statistics.mean(ranks[m]):.2f} | " + " | ".join(cells) + " |")
    print("\ncost per trial (wall time over 100 trials, objective included; median over runs):")
    for m in methods:
        walls = [r["wall"] / r["n_calls"] for r in rows if r["method"] in methods and r["method"] == m]
        if walls:
            print(f"  {m:14s} {statistics.median(walls) * 1000:8.2f} ms")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    go = sub.add_parser("run")
    go.add_argument("--out", default="build/biobj.jsonl")
    go.add_argument("--dims", type=int, nargs="+", default=[2])
    go.add_argument("--methods", default="auto,optuna-tpe,optuna-nsga2,random")
    go.add_argument("--functions", type=int, nargs="*", help="only these functions (1-55)")
    go.add_argument("--instances", type=int, nargs="*", help="only these instances (1-5)")
    show = sub.add_parser("table")
    show.add_argument("results")
    show.add_argument("--methods", help="the methods to rank, comma-separated (default: all)")
    args = parser.parse_args()
    run(args) if args.command == "run" else table(args)


if __name__ == "__main__":
    main()
