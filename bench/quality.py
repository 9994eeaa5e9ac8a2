"""Search quality: median final regret over 10 seeds, at budgets 50 and 200.

Functions: Branin (2-D), Hartmann-6, Rosenbrock-5, and Ackley-5 and
Rastrigin-5 with their optimum shifted away from the centre of the box.
Methods:
- minimize (batch) and minimize (online): the Python layer on the unit cube;
- raw batch: the extension's ask/tell loop on the functions' natural bounds;
- Optuna's TPESampler (when installed, as in `make bench`);
- random search (uniform, seeded).
Each cell is "median regret (median objective calls)"; the regret is the best
value found minus the known minimum.
"""

from __future__ import annotations

import json
import math
import random
import statistics
import sys
from collections.abc import Callable

from vordaopt import Real, VordaSolver, minimize

Function = Callable[[list[float]], float]


def branin(x: list[float]) -> float:
    b, c = 5.1 / (4 * math.pi**2), 5 / math.pi
    return (x[1] - b * x[0] ** 2 + c * x[0] - 6) ** 2 + 10 * (1 - 1 / (8 * math.pi)) * math.cos(x[0]) + 10


HA = [[10, 3, 17, 3.5, 1.7, 8], [0.05, 10, 17, 0.1, 8, 14],
      [3, 3.5, 1.7, 10, 17, 8], [17, 8, 0.05, 10, 0.1, 14]]
HP = [[1312, 1696, 5569, 124, 8283, 5886], [2329, 4135, 8307, 3736, 1004, 9991],
      [2348, 1451, 3522, 2883, 3047, 6650], [4047, 8828, 8732, 5743, 1091, 381]]
HALPHA = [1.0, 1.2, 3.0, 3.2]


def hartmann6(x: list[float]) -> float:
    total = 0.0
    for a, ra, rp in zip(HALPHA, HA, HP):
        total -= a * math.exp(-sum(ra[j] * (x[j] - rp[j] * 1e-4) ** 2 for j in range(6)))
    return total


def rosenbrock(x: list[float]) -> float:
    return sum(100 * (x[i + 1] - x[i] ** 2) ** 2 + (1 - x[i]) ** 2 for i in range(len(x) - 1))


ACKLEY_SHIFT = [11.3, -7.9, 19.1, -15.4, 5.6]
RASTRIGIN_SHIFT = [2.31, -1.73, 3.37, -2.89, 1.19]


def ackley(x: list[float]) -> float:
    z = [a - s for a, s in zip(x, ACKLEY_SHIFT)]
    n = len(z)
    return (-20 * math.exp(-0.2 * math.sqrt(sum(v * v for v in z) / n))
            - math.exp(sum(math.cos(2 * math.pi * v) for v in z) / n) + 20 + math.e)


def rastrigin(x: list[float]) -> float:
    z = [a - s for a, s in zip(x, RASTRIGIN_SHIFT)]
    return 10 * len(z) + sum(v * v - 10 * math.cos(2 * math.pi * v) for v in z)


PROBLEMS: dict[str, tuple[Function, list[tuple[float, float]], float]] = {
    "Branin": (branin, [(-5, 10), (0, 15)], 0.397887357729739),
    "Hartmann-6": (hartmann6, [(0, 1)] * 6, -3.322368011415515),
    "Rosenbrock-5": (rosenbrock, [(-5, 10)] * 5, 0.0),
    "Ackley-5 shifted": (ackley, [(-32.768, 32.768)] * 5, 0.0),
    "Rastrigin-5 shifted": (rastrigin, [(-5.12, 5.12)] * 5, 0.0),
}
SEEDS = range(10)
BUDGETS = (50, 200)


def names(bounds: list[tuple[float, float]]) -> list[str]:
    return [f"x{i}" for i in range(len(bounds))]


def run_layer(f: Function, bounds: list[tuple[float, float]], budget: int, seed: int,
              mode: str) -> tuple[float, int]:
    keys = names(bounds)
    space = {k: Real(lo, hi) for k, (lo, hi) in zip(keys, bounds)}
    result = minimize(lambda p: f([p[k] for k in keys]), space, budget, seed=seed, mode=mode)
    assert result.best_value is not None
    return result.best_value, result.n_evaluations


def run_raw(f: Function, bounds: list[tuple[float, float]], budget: int, seed: int) -> tuple[float, int]:
    keys = names(bounds)
    config = {"seed": seed, "budget": budget,
              "bounds": {k: [lo, hi] for k, (lo, hi) in zip(keys, bounds)}}
    solver = VordaSolver(json.dumps(config))
    best, n = math.inf, 0
    while (batch := solver.ask()) is not None:
        batch = batch[:budget - n]
        records = []
        for m in batch:
            v = f([m[k] for k in keys])
            best = min(best, v)
            records.append({"eval_id": n, "params": m, "value": v, "cost": 1.0})
            n += 1
        solver.tell(json.dumps(records))
    return best, n


def run_random(f: Function, bounds: list[tuple[float, float]], budget: int, seed: int) -> tuple[float, int]:
    rng = random.Random(seed)
    return min(f([rng.uniform(lo, hi) for lo, hi in bounds]) for _ in range(budget)), budget


def run_optuna(f: Function, bounds: list[tuple[float, float]], budget: int, seed: int) -> tuple[float, int]:
    import optuna

    keys = names(bounds)
    study = optuna.create_study(sampler=optuna.samplers.TPESampler(seed=seed))
    study.optimize(lambda t: f([t.suggest_float(k, lo, hi) for k, (lo, hi) in zip(keys, bounds)]),
                   n_trials=budget)
    return study.best_value, budget


def methods() -> dict[str, Callable[..., tuple[float, int]]]:
    out: dict[str, Callable[..., tuple[float, int]]] = {
        "minimize batch": lambda f, b, n, s: run_layer(f, b, n, s, "batch"),
        "minimize online": lambda f, b, n, s: run_layer(f, b, n, s, "online"),
        "raw batch": run_raw,
    }
    try:
        import optuna

        optuna.logging.set_verbosity(optuna.logging.WARNING)
        out["optuna TPE"] = run_optuna
    except ImportError:
        print("optuna not installed: its column is skipped (run `make bench`)", file=sys.stderr)
    out["random"] = run_random
    return out


def table(budget: int, methods_: dict[str, Callable[..., tuple[float, int]]]) -> list[str]:
    header = f"| budget {budget} | " + " | ".join(methods_) + " |"
    lines = [header, "|" + "---|" * (len(methods_) + 1)]
    for name, (f, bounds, minimum) in PROBLEMS.items():
        cells = []
        for method in methods_.values():
            runs = [method(f, bounds, budget, seed) for seed in SEEDS]
            regret = statistics.median(v - minimum for v, _ in runs)
            calls = statistics.median(c for _, c in runs)
            cells.append(f"{regret:.3g} ({calls:g})")
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    return lines


def main() -> None:
    chosen = methods()
    print("median final regret (median objective calls) over 10 seeds")
    for budget in BUDGETS:
        print()
        for line in table(budget, chosen):
            print(line)
        sys.stdout.flush()


if __name__ == "__main__":
    main()
