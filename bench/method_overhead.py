"""Per-trial overhead of methods "auto" and "cma" beside Optuna's default sampler.

Runs of 1,000 trials over 10 and over 5 real parameters (where "auto" is
CMA-ES from the start), and one of 250 trials over 5 (where "auto" is the
GP), with an objective that costs nothing, on one thread; the time of each
ask + tell is the method's overhead. Prints the mean per trial over the run
and over its parts (for "auto" starting with the GP: the GP's trials, then
CMA-ES's). Optuna is measured in the same process if it is installed.

    OMP_NUM_THREADS=1 python bench/method_overhead.py [--runs 10x1000 5x1000 5x250]
"""

from __future__ import annotations

import argparse
import statistics
import time

import vordaopt
from vordaopt.methods.auto import first_phase, gp_trials

def objective(params: dict[str, float]) -> float:
    return sum((v - 0.3) ** 2 for v in params.values())


def vordaopt_times(method: str, trials: int, dimension: int) -> list[float]:
    space = {f"x{i}": vordaopt.Real(-1, 1) for i in range(dimension)}
    opt = vordaopt.Optimizer(space, trials, seed=0, method=method)  # type: ignore[arg-type]
    times = []
    while True:
        began = time.perf_counter()
        handed = opt.ask()
        if handed is None:
            break
        value = objective(handed[0].params)
        opt.tell(handed[0], value)
        times.append(time.perf_counter() - began)
    return times


def optuna_times(trials: int, dimension: int) -> list[float] | None:
    try:
        import optuna
    except ImportError:
        return None
    optuna.logging.set_verbosity(optuna.logging.WARNING)
    study = optuna.create_study(sampler=optuna.samplers.TPESampler(seed=0))
    times = []
    for _ in range(trials):
        began = time.perf_counter()
        trial = study.ask()
        params = {f"x{i}": trial.suggest_float(f"x{i}", -1, 1) for i in range(dimension)}
        study.tell(trial, objective(params))
        times.append(time.perf_counter() - began)
    return times


def show(label: str, times: list[float], parts: list[tuple[str, int, int]]) -> None:
    text = f"{label:48s} mean {statistics.mean(times) * 1e3:8.3f} ms/trial"
    for name, start, end in parts:
        if end > start:
            text += f"; {name} {statistics.mean(times[start:end]) * 1e3:.3f} ms"
    print(text, flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", nargs="+", default=["10x1000", "5x1000", "5x250"],
                        help="parameters x trials")
    args = parser.parse_args()
    for run in args.runs:
        dimension, n = (int(part) for part in run.split("x"))
        space = vordaopt.Space({f"x{i}": vordaopt.Real(-1, 1) for i in range(dimension)})
        first = first_phase(space, n)
        switch = min(gp_trials(space) or n, n) if first == "gp" else 0
        parts = [(f"trials 1-{switch}", 0, switch), (f"trials {switch + 1}-{n}", switch, n)]
        phases = {"gp": "the GP first", "local": "the trust region, then CMA-ES",
                  "cma": "CMA-ES from the start"}[first]
        print(f"\n{n} trials, {dimension} real parameters, an objective that costs nothing")
        show(f'vordaopt method="auto" ({phases})', vordaopt_times("auto", n, dimension), parts)
        show('vordaopt method="cma"', vordaopt_times("cma", n, dimension), [])
        tpe = optuna_times(n, dimension)
        if tpe is None:
            print("optuna is not installed: its default sampler was not measured")
        else:
            show("optuna TPESampler (default)", tpe, parts)


if __name__ == "__main__":
    main()
