"""Time of one GP proposal against the number of finished trials (10 parameters).

Each proposal fits the model (hyper-parameters from fixed starts) and
maximises log EI; it runs on one thread. Beside it, Optuna's GPSampler when
it is installed (it needs torch, which may live in another environment: run
the script there too; each prints what it can).

    python bench/gp_speed.py
"""

from __future__ import annotations

import math
import random
import statistics
import sys
import time

DIMS = 10
SIZES = (50, 200, 500)


def objective(x: list[float]) -> float:
    # A rotated ellipsoid plus a ripple: smooth, with some structure to fit.
    return sum((i + 1) * (x[i] - 0.3) ** 2 for i in range(len(x))) + 0.1 * math.sin(7 * x[0])


def ours(n: int, repeats: int = 21) -> list[float] | None:
    try:
        from vordaopt._engine import gp_propose
    except ImportError:
        return None
    rng = random.Random(n)
    points = [rng.random() for _ in range(n * DIMS)]
    values = [objective(points[i * DIMS:(i + 1) * DIMS]) for i in range(n)]
    times = []
    for seed in range(repeats):
        began = time.perf_counter()
        gp_propose("c" * DIMS, [0.0] * DIMS, points, values, [], seed)
        times.append(time.perf_counter() - began)
    return times


def optuna_gp(n: int, repeats: int = 3) -> list[float] | None:
    try:
        import optuna
        import torch  # noqa: F401 - GPSampler imports it only when it first proposes
    except ImportError:
        return None
    optuna.logging.set_verbosity(optuna.logging.WARNING)
    rng = random.Random(n)
    study = optuna.create_study(sampler=optuna.samplers.GPSampler(seed=0))
    dists = {f"x{i}": optuna.distributions.FloatDistribution(0, 1) for i in range(DIMS)}
    for _ in range(n):
        params = {name: rng.random() for name in dists}
        study.add_trial(optuna.trial.create_trial(params=params, distributions=dists,
                                                  value=objective(list(params.values()))))
    times = []
    for _ in range(repeats):
        began = time.perf_counter()
        trial = study.ask(dists)
        times.append(time.perf_counter() - began)
        study.tell(trial, objective([trial.params[f"x{i}"] for i in range(DIMS)]))
    return times


def main() -> None:
    print(f"one proposal, {DIMS} parameters, single thread (python {sys.version.split()[0]})")
    for n in SIZES:
        mine = ours(n)
        line = f"  n = {n:4d}:"
        if mine is not None:
            line += f" vordaopt gp {statistics.median(mine) * 1000:8.1f} ms"
        peer = optuna_gp(n)
        if peer is not None:
            line += f"   optuna GPSampler {statistics.median(peer) * 1000:8.1f} ms"
        print(line, flush=True)


if __name__ == "__main__":
    main()
