"""One objective under constraints: coco's bbob-constrained suite, beside Optuna's TPE.

    python bench/constrained.py run --out build/constrained.jsonl [--dims 2 5] [--methods auto]
                                    [--budget-per-dim 20]
    python bench/constrained.py table build/constrained.jsonl

Every function and instance 1-5 of the suite (54 functions: 9 objectives,
each with 1 to about 3d constraints g <= 0), a budget of 20 evaluations per
dimension unless told otherwise (at 100 per dimension ``auto`` runs CMA-ES),
seed 0. A run is scored by the regret of its best feasible
evaluation (its value minus the problem's optimum; the largest value of
interest when nothing feasible was found). ``run`` appends one line per
(method, problem) and skips those already there; ``table`` prints, per
dimension, the share of runs that found a feasible point, the median log10
regret and the mean rank per problem. Optuna's TPE takes the constraints
through ``constraints_func``. Needs coco-experiment and optuna.
"""

from __future__ import annotations

import argparse
import json
import math
import pathlib
import statistics
import time
from collections import defaultdict
from typing import Any

import numpy as np

import vordaopt
from vordaopt import Real

from ranking import shared_ranks

BUDGET_PER_DIM = 20
FLOOR = 1e-8  # regrets below count as this, as in the BBOB tables


def suite(dim: int) -> Any:
    import cocoex

    return cocoex.Suite("bbob-constrained", "instances: 1-5", f"dimensions: {dim}")


def optimum(problem: Any) -> float:
    value = problem._best_value
    return float(value() if callable(value) else value)


def run_vordaopt(problem: Any, budget: int, method: str) -> list[tuple[float, bool]]:
    d, c = problem.dimension, problem.number_of_constraints
    space = {f"x{i}": Real(float(lo), float(hi))
             for i, (lo, hi) in enumerate(zip(problem.lower_bounds, problem.upper_bounds))}
    seen: list[tuple[float, bool]] = []

    def evaluate(params: dict[str, float]) -> dict[str, float]:
        x = np.array([params[f"x{i}"] for i in range(d)])
        f, g = float(problem(x)), problem.constraint(x)
        seen.append((f, bool(np.all(g <= 0))))
        return {"f": f, **{f"g{j}": float(g[j]) for j in range(c)}}

    vordaopt.minimize(evaluate, space, budget, seed=0, method=method,
                      objectives={"f": "minimize"},
                      constraints={f"g{j}": (None, 0.0) for j in range(c)})
    return seen


def run_optuna(problem: Any, budget: int) -> list[tuple[float, bool]]:
    import optuna

    optuna.logging.set_verbosity(optuna.logging.WARNING)
    d = problem.dimension
    seen: list[tuple[float, bool]] = []

    def objective(trial: Any) -> float:
        x = np.array([trial.suggest_float(f"x{i}", float(problem.lower_bounds[i]),
                                          float(problem.upper_bounds[i])) for i in range(d)])
        f, g = float(problem(x)), problem.constraint(x)
        trial.set_user_attr("g", [float(v) for v in g])
        seen.append((f, bool(np.all(g <= 0))))
        return f

    sampler = optuna.samplers.TPESampler(seed=0, constraints_func=lambda t: t.user_attrs["g"])
    optuna.create_study(sampler=sampler).optimize(objective, n_trials=budget)
    return seen


def run(args: argparse.Namespace) -> None:
    out = pathlib.Path(args.out)
    done = set()
    if out.exists():
        done = {(r["method"], r["problem"], r.get("budget", BUDGET_PER_DIM * r["dim"]))
                for r in map(json.loads, out.read_text().splitlines())}
    for dim in args.dims:
        for problem in suite(dim):
            for method in args.methods.split(","):
                budget = args.budget_per_dim * dim
                if (method, problem.id, budget) in done:
                    continue
                began = time.perf_counter()
                seen = (run_optuna(problem, budget) if method == "optuna-tpe"
                        else run_vordaopt(problem, budget, method))
                feasible = [f for f, ok in seen if ok]
                best = min(feasible) if feasible else None
                row = {"method": method, "problem": problem.id, "dim": dim, "budget": budget,
                       "function": problem.id_function, "feasible": best is not None,
                       "regret": (best - optimum(problem)) if best is not None else None,
                       "seconds": round(time.perf_counter() - began, 3)}
                with out.open("a") as f:
                    f.write(json.dumps(row) + "\n")
                print(json.dumps(row), flush=True)


def table(args: argparse.Namespace) -> None:
    rows = [json.loads(line) for line in pathlib.Path(args.results).read_text().splitlines()]
    by_dim: dict[tuple[int, int], dict[str, dict[str, Any]]] = defaultdict(lambda: defaultdict(dict))
    for r in rows:
        by_dim[(r["dim"], r.get("budget", BUDGET_PER_DIM * r["dim"]))][r["problem"]][r["method"]] = r
    for (dim, budget), problems in sorted(by_dim.items()):
        methods = sorted({m for p in problems.values() for m in p})
        complete = [p for p in problems.values() if set(p) == set(methods)]
        print(f"\nbbob-constrained, d = {dim}, budget {budget // dim}*d, {len(complete)} problems")
        print("| method | found feasible | median log10 regret | mean rank |")
        print("|---|---|---|---|")
        ranks: dict[str, list[float]] = defaultdict(list)
        for p in complete:
            # Infeasible runs rank last, tied among themselves.
            score = {m: (max(p[m]["regret"], FLOOR) if p[m]["feasible"] else math.inf)
                     for m in methods}
            for m, rank in shared_ranks(score).items():
                ranks[m].append(rank)
        for m in sorted(methods, key=lambda m: statistics.mean(ranks[m])):
            found = [p[m] for p in complete if p[m]["feasible"]]
            logs = [math.log10(max(r["regret"], FLOOR)) for r in found]
            median = statistics.median(logs) if logs else float("nan")
            print(f"| {m} | {len(found)}/{len(complete)} | {median:.2f} | "
                  f"{statistics.mean(ranks[m]):.2f} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    go = sub.add_parser("run")
    go.add_argument("--out", default="build/constrained.jsonl")
    go.add_argument("--dims", type=int, nargs="+", default=[2, 5])
    go.add_argument("--methods", default="auto,optuna-tpe")
    go.add_argument("--budget-per-dim", type=int, default=BUDGET_PER_DIM)
    show = sub.add_parser("table")
    show.add_argument("results")
    args = parser.parse_args()
    run(args) if args.command == "run" else table(args)


if __name__ == "__main__":
    main()
