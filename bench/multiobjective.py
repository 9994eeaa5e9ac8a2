"""Several objectives and constraints: pymoo's open test problems, beside Optuna.

    python bench/multiobjective.py run --out build/mo.jsonl [--seeds 0-9] [--methods auto,nsga2]
    python bench/multiobjective.py table build/mo.jsonl [--peers FILE]

Problems (pymoo 0.6.2, six variables each): ZDT1, ZDT2 and ZDT3 (two
objectives), DTLZ1 and DTLZ2 (three), and C2-DTLZ2 (two objectives, one
constraint g <= 0). A run is scored at 30 and 100 evaluations by minus the
hypervolume of its feasible evaluated points, in coordinates normalised by
the true front's ideal and nadir points (pymoo's ``pareto_front()``), points
beyond 1.1 in any coordinate dropped, reference point 1.1 in every
coordinate. Lower is better; 0 means nothing inside the box.

``run`` appends one JSON line per (method, problem, seed) and skips those
already there; ``table`` ranks the methods per (problem, seed) beside the
peers' cached results (``../shared/data/mo-open-peers.jsonl``: Optuna 5.1's
default TPESampler, NSGAIISampler and random search on seeds 0-9,
GPSampler on seeds 0-4), ties sharing their rank, and prints the cost per
trial of each method (the run's wall time over its trials, objective
included, which is negligible here). Needs pymoo.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import statistics
import time
from collections import defaultdict
from typing import Any

import numpy as np

import vordaopt
from vordaopt import Real, _engine

from ranking import shared_ranks

PROBLEMS = ["zdt1", "zdt2", "zdt3", "dtlz1", "dtlz2", "c2dtlz2"]
BUDGETS = (30, 100)
DEFAULT_PEERS = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data" / "mo-open-peers.jsonl"


def problem(name: str) -> Any:
    from pymoo.problems import get_problem
    from pymoo.problems.many import C2DTLZ2

    if name == "c2dtlz2":
        return C2DTLZ2(n_var=6, n_obj=2)
    if name.startswith("dtlz"):
        return get_problem(name, n_var=6, n_obj=3)
    return get_problem(name, n_var=6)


def score(prob: Any, objectives: np.ndarray, feasible: np.ndarray) -> float:
    """Minus the normalised hypervolume of the feasible points (see the module's description)."""
    front = prob.pareto_front()
    ideal, nadir = front.min(axis=0), front.max(axis=0)
    scaled = (objectives[feasible] - ideal) / (nadir - ideal)
    inside = scaled[(scaled <= 1.1).all(axis=1)]
    m = objectives.shape[1]
    return -_engine.hypervolume(inside.ravel().tolist(), m, [1.1] * m) if len(inside) else 0.0


def run_one(method: str, name: str, seed: int, budget: int) -> dict[str, Any]:
    prob = problem(name)
    m = prob.n_obj
    space = {f"x{i}": Real(float(lo), float(hi)) for i, (lo, hi) in enumerate(zip(prob.xl, prob.xu))}
    objectives = {f"f{k}": "minimize" for k in range(m)}
    constraints = {"g": (None, 0.0)} if prob.n_ieq_constr else None

    def evaluate(params: dict[str, float]) -> dict[str, float]:
        x = np.array([params[f"x{i}"] for i in range(prob.n_var)])
        out = prob.evaluate(x[None, :], return_as_dictionary=True)
        metrics = {f"f{k}": float(out["F"][0, k]) for k in range(m)}
        if prob.n_ieq_constr:
            metrics["g"] = float(out["G"][0, 0])
        return metrics

    began = time.perf_counter()
    result = vordaopt.minimize(evaluate, space, budget, seed=seed, method=method,
                               objectives=objectives, constraints=constraints)
    wall = time.perf_counter() - began
    trials = [t for t in result.trials if t.values is not None]
    scores = {}
    for b in BUDGETS:
        first = [t for t in trials if t.number < b]
        values = np.array([t.values for t in first]) if first else np.zeros((0, m))
        feasible = np.array([t.feasible for t in first], dtype=bool)
        scores[str(b)] = score(prob, values, feasible) if first else 0.0
    return {"method": f"vordaopt-{method}", "problem": name, "seed": seed, "budget": budget,
            "score_at": scores, "n_calls": result.n_evaluations, "wall": round(wall, 3),
            "version": vordaopt.__version__}


def seeds_of(text: str) -> list[int]:
    out: list[int] = []
    for part in text.split(","):
        lo, _, hi = part.partition("-")
        out += list(range(int(lo), int(hi or lo) + 1))
    return out


def run(args: argparse.Namespace) -> None:
    out = pathlib.Path(args.out)
    done = set()
    if out.exists():
        for line in out.read_text().splitlines():
            r = json.loads(line)
            done.add((r["method"], r["problem"], r["seed"]))
    for method in args.methods.split(","):
        for name in PROBLEMS:
            for seed in seeds_of(args.seeds):
                if (f"vordaopt-{method}", name, seed) in done:
                    continue
                row = run_one(method, name, seed, max(BUDGETS))
                with out.open("a") as f:
                    f.write(json.dumps(row) + "\n")
                print(f"{row['method']:16s} {name:8s} seed {seed}: "
                      + "  ".join(f"{b}: {row['score_at'][b]:+.4f}" for b in row["score_at"])
                      + f"  ({row['wall']} s)", flush=True)


def ranks(rows: list[dict[str, Any]], budget: str, seeds: set[int],
          methods: list[str]) -> tuple[dict[str, float], dict[str, dict[str, float]]]:
    """Mean rank per method over (problem, seed) blocks that every method ran, and mean score per problem."""
    by_block: dict[tuple[str, int], dict[str, float]] = defaultdict(dict)
    for r in rows:
        if r["seed"] in seeds and r["method"] in methods:
            by_block[(r["problem"], r["seed"])][r["method"]] = r["score_at"][budget]
    total: dict[str, list[float]] = defaultdict(list)
    per_problem: dict[str, dict[str, list[float]]] = defaultdict(lambda: defaultdict(list))
    for (name, _), scores in sorted(by_block.items()):
        if set(scores) != set(methods):
            continue
        shared = shared_ranks(scores)
        for method in methods:
            total[method].append(shared[method])
            per_problem[name][method].append(scores[method])
    mean_scores = {p: {m: statistics.mean(v) for m, v in d.items()} for p, d in per_problem.items()}
    return {m: statistics.mean(v) for m, v in total.items() if v}, mean_scores


def table(args: argparse.Namespace) -> None:
    rows = [json.loads(line) for line in pathlib.Path(args.results).read_text().splitlines()]
    peers = [json.loads(line) for line in pathlib.Path(args.peers).read_text().splitlines()]
    everything = rows + peers
    ours = sorted({r["method"] for r in rows if args.methods is None
                   or r["method"].removeprefix("vordaopt-") in args.methods.split(",")})
    for seeds, label, peer_methods in (
            (set(range(5)), "seeds 0-4", ["optuna-gp", "optuna-nsga2", "optuna-tpe", "random"]),
            (set(range(10)), "seeds 0-9", ["optuna-nsga2", "optuna-tpe", "random"])):
        methods = ours + peer_methods
        for budget in ("30", "100"):
            mean_rank, mean_scores = ranks(everything, budget, seeds, methods)
            blocks = len(seeds) * len(PROBLEMS)
            print(f"\n| budget {budget}, {label} ({blocks} blocks) | mean rank | "
                  + " | ".join(PROBLEMS) + " |")
            print("|---|---|" + "---|" * len(PROBLEMS))
            for method in sorted(mean_rank, key=mean_rank.get):  # type: ignore[arg-type]
                cells = [f"{mean_scores[p][method]:+.3f}" if p in mean_scores else "" for p in PROBLEMS]
                print(f"| {method} | {mean_rank[method]:.2f} | " + " | ".join(cells) + " |")
    print("\ncost per trial (wall time over 100 trials, objective included):")
    walls: dict[str, list[float]] = defaultdict(list)
    for r in everything:
        if r.get("wall") is not None and r.get("n_calls"):
            walls[r["method"]].append(r["wall"] / r["n_calls"])
    for method, values in sorted(walls.items()):
        print(f"  {method:16s} {statistics.median(values) * 1000:8.2f} ms (median over runs)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    go = sub.add_parser("run")
    go.add_argument("--out", default="build/mo.jsonl")
    go.add_argument("--seeds", default="0-9")
    go.add_argument("--methods", default="auto")
    show = sub.add_parser("table")
    show.add_argument("results")
    show.add_argument("--peers", default=str(DEFAULT_PEERS))
    show.add_argument("--methods", help="ours to rank (default: every one in the file)")
    args = parser.parse_args()
    run(args) if args.command == "run" else table(args)


if __name__ == "__main__":
    main()
