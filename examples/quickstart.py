"""Quickstart: minimise two classic test functions with vordaopt.

Branin (2-D) runs through the batch loop (ask/tell), the 6-D Hartmann function
through the online loop (ask_one/seed). Each run prints the best value found
beside the known global minimum. The search is deterministic: every run finds
the same values (only the timings differ).
"""

import json
import math
import time
from collections.abc import Callable
from typing import Any

from vordaopt import VordaSolver

# --- Test functions ------------------------------------------------------------------------


def branin(p: dict[str, float]) -> float:
    # Searched in the unit square: the simplex moves of the refinement work
    # on the unit interval, so unit-scaled parameters suit it best.
    x, y = -5 + 15 * p["u"], 15 * p["v"]
    b, c = 5.1 / (4 * math.pi**2), 5 / math.pi
    return (y - b * x * x + c * x - 6) ** 2 + 10 * (1 - 1 / (8 * math.pi)) * math.cos(x) + 10


BRANIN_MIN = 0.397887

HARTMANN_A = [[10, 3, 17, 3.5, 1.7, 8], [0.05, 10, 17, 0.1, 8, 14],
              [3, 3.5, 1.7, 10, 17, 8], [17, 8, 0.05, 10, 0.1, 14]]
HARTMANN_P = [[1312, 1696, 5569, 124, 8283, 5886], [2329, 4135, 8307, 3736, 1004, 9991],
              [2348, 1451, 3522, 2883, 3047, 6650], [4047, 8828, 8732, 5743, 1091, 381]]
HARTMANN_ALPHA = [1.0, 1.2, 3.0, 3.2]
HARTMANN_MIN = -3.32237


def hartmann6(p: dict[str, float]) -> float:
    x = [p[f"x{i}"] for i in range(6)]
    total = 0.0
    for a, row_a, row_p in zip(HARTMANN_ALPHA, HARTMANN_A, HARTMANN_P):
        inner = sum(row_a[j] * (x[j] - row_p[j] * 1e-4) ** 2 for j in range(6))
        total -= a * math.exp(-inner)
    return total


# --- The two loops ---------------------------------------------------------------------------


Objective = Callable[[dict[str, float]], float]


def batch_loop(objective: Objective, config: dict[str, Any]) -> tuple[float, int]:
    """ask -> evaluate every candidate -> tell, until ask returns None."""
    solver = VordaSolver(json.dumps(config))
    best = math.inf
    eval_id = 0
    while (batch := solver.ask()) is not None:
        results: list[dict[str, Any]] = []
        for params in batch:
            value = objective(params)
            best = min(best, value)
            results.append({"eval_id": eval_id, "params": params, "value": value, "cost": 1.0})
            eval_id += 1
        solver.tell(json.dumps(results))
    return best, solver.get_history_len()


def online_loop(objective: Objective, config: dict[str, Any]) -> tuple[float, int]:
    """ask_one -> evaluate -> seed, one candidate at a time."""
    solver = VordaSolver(json.dumps(config))
    best = math.inf
    while (candidate := solver.ask_one()) is not None:
        value = objective(candidate)
        best = min(best, value)
        solver.seed(json.dumps([{"params": candidate, "value": value, "cost": 1.0}]))
    return best, solver.get_history_len()


def report(name: str, loop: str, best: float, evaluations: int, optimum: float,
           seconds: float) -> None:
    print(f"{name:<11} {loop:<7} best {best:10.6f}   known minimum {optimum:10.6f}   "
          f"gap {best - optimum:9.6f}   ({evaluations} evaluations, {seconds:.2f} s)")


def main() -> None:
    branin_config: dict[str, Any] = {
        "seed": 42, "budget": 200,
        "bounds": {"u": {"min": 0, "max": 1}, "v": {"min": 0, "max": 1}}}
    hartmann_config: dict[str, Any] = {
        "seed": 42, "budget": 300,
        "bounds": {f"x{i}": {"min": 0, "max": 1} for i in range(6)}}
    runs: list[tuple[str, Objective, dict[str, Any], float]] = [
        ("Branin", branin, branin_config, BRANIN_MIN),
        ("Hartmann-6", hartmann6, hartmann_config, HARTMANN_MIN),
    ]
    for name, objective, config, optimum in runs:
        for loop_name, loop in [("batch", batch_loop), ("online", online_loop)]:
            t0 = time.perf_counter()
            best, n = loop(objective, config)
            report(name, loop_name, best, n, optimum, time.perf_counter() - t0)


if __name__ == "__main__":
    main()
