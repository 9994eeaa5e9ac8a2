"""Overhead of the Python layer per trial: minimize() beside the raw solver loop and Optuna.

A trivial objective over 10 real parameters, 1,000 trials. Figures per trial:
- the raw VordaSolver loop on the unit cube (batch: ask/tell; online:
  ask_one/seed), the floor the layer builds on;
- minimize() in batch and online mode, without and with a journal (one
  fsync-ed line per trial);
- Optuna's study.optimize with its TPESampler, in memory and with its journal
  file storage (when Optuna is installed, as in `make bench`).
"""

from __future__ import annotations

import json
import os
import tempfile
import time
from collections.abc import Callable
from typing import Any

from vordaopt import Real, VordaSolver, minimize

TRIALS = 1000
NAMES = [f"p{i}" for i in range(10)]
SPACE = {name: Real(0.0, 1.0) for name in NAMES}


def objective(p: dict[str, Any]) -> float:
    total = 0.0
    for v in p.values():
        total += (v - 0.3) * (v - 0.3)
    return total


def raw(mode: str) -> tuple[float, int]:
    config = json.dumps({"seed": 0, "budget": TRIALS,
                         "bounds": {n: [0, 1, "Linear"] for n in NAMES}, "probe_ratio": 0.2})
    solver = VordaSolver(config)
    t0 = time.perf_counter()
    if mode == "batch":
        n = 0
        while (maps := solver.ask()) is not None:
            maps = maps[:TRIALS - n]
            solver.tell(json.dumps([{"eval_id": n + i, "params": m, "value": objective(m),
                                     "cost": 1.0} for i, m in enumerate(maps)]))
            n += len(maps)
    else:
        while (c := solver.ask_one()) is not None:
            solver.seed(json.dumps([{"params": c, "value": objective(c), "cost": 1.0}]))
    return time.perf_counter() - t0, solver.get_history_len()


def layer(mode: str, journal: bool) -> tuple[float, int]:
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "run.jsonl") if journal else None
        t0 = time.perf_counter()
        result = minimize(objective, SPACE, TRIALS, seed=0, mode=mode, journal=path,
                          progress=False)
        return time.perf_counter() - t0, result.n_trials


def optuna_run(storage: str) -> tuple[float, int]:
    import optuna

    optuna.logging.set_verbosity(optuna.logging.WARNING)
    with tempfile.TemporaryDirectory() as folder:
        if storage == "journal":
            from optuna.storages import JournalStorage
            from optuna.storages.journal import JournalFileBackend

            store: Any = JournalStorage(JournalFileBackend(os.path.join(folder, "optuna.log")))
        else:
            store = None
        study = optuna.create_study(sampler=optuna.samplers.TPESampler(seed=0), storage=store)

        def optuna_objective(trial: Any) -> float:
            return objective({n: trial.suggest_float(n, 0.0, 1.0) for n in NAMES})

        t0 = time.perf_counter()
        study.optimize(optuna_objective, n_trials=TRIALS)
        return time.perf_counter() - t0, len(study.trials)


def best_of(runs: int, f: Callable[[], tuple[float, int]]) -> tuple[float, int]:
    results = [f() for _ in range(runs)]
    return min(results)


def main() -> None:
    rows: dict[str, float] = {}
    for mode in ("batch", "online"):
        seconds, n = best_of(3, lambda: raw(mode))
        rows[f"raw {mode}"] = seconds / n
        for journal in (False, True):
            seconds, n = best_of(3 if not journal else 1, lambda: layer(mode, journal))
            rows[f"minimize {mode}{' + journal' if journal else ''}"] = seconds / n
    try:
        import optuna

        for storage in ("memory", "journal"):
            seconds, n = optuna_run(storage)
            rows[f"optuna {optuna.__version__} {storage}"] = seconds / n
    except ImportError:
        print("optuna not installed: its rows are skipped (run `make bench`)")
    print(f"per-trial time, {TRIALS} trials, 10 parameters, trivial objective:")
    for name, per_trial in rows.items():
        print(f"  {name:32} {per_trial * 1e6:10.1f} us")
    for mode in ("batch", "online"):
        added = rows[f"minimize {mode}"] - rows[f"raw {mode}"]
        print(f"layer overhead over the raw loop, {mode}: {added * 1e6:.1f} us per trial")
    memory = next((v for k, v in rows.items() if k.endswith("memory")), None)
    if memory is not None:
        for mode in ("batch", "online"):
            print(f"optuna in-memory / minimize {mode}: {memory / rows[f'minimize {mode}']:.0f}x")


if __name__ == "__main__":
    main()
