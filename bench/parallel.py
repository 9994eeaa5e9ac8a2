"""Parallel runs: speed-up on each executor, quality at k = 4, and the proposal rate.

1. Speed-up. The objective sleeps 50 ms x (1 + a deterministic jitter of up to
   +-20 % derived from its parameters); budget 200, 6 parameters. Serial runs
   beside parallel=4 on a thread pool, a process pool and a Dask LocalCluster
   (4 single-threaded workers), in batch mode and in online mode with both
   schedules. A round waits for its slowest trial, so rounds cannot exceed
   about 3.6x with this jitter.
2. Quality at k = 4: median regret (median objective calls) over 10 seeds for
   online parallel=1 and parallel=4 beside Optuna's TPESampler(constant_liar=True)
   with n_jobs=4.
3. Proposal rate: trials handed out per second by parallel=16 rounds with
   1,000 and 10,000 finished trials in the history.
"""

from __future__ import annotations

import concurrent.futures as cf
import json
import math
import statistics
import sys
import time
from typing import Any

from vordaopt import Optimizer, Real, minimize

sys.path.insert(0, __file__.rsplit("/", 1)[0])
from quality import PROBLEMS, SEEDS  # noqa: E402

NAMES = [f"x{i}" for i in range(6)]
SPACE = {n: Real(0.0, 1.0) for n in NAMES}


def sleepy(p: dict[str, Any]) -> float:
    jitter = math.sin(sum((i + 1) * 12.9898 * v for i, v in enumerate(p.values()))) * 0.2
    time.sleep(0.05 * (1 + jitter))
    return sum((v - 0.3) ** 2 for v in p.values())


def timed(**kwargs: Any) -> float:
    t0 = time.perf_counter()
    minimize(sleepy, SPACE, 200, seed=1, **kwargs)
    return time.perf_counter() - t0


def speedup() -> None:
    print("1. speed-up, budget 200, 50 ms +-20 % per trial, 6 parameters")
    runs = [("batch", {}), ("online rounds", {"mode": "online"}),
            ("online async", {"mode": "online", "schedule": "async"})]
    serial = {name: timed(**kw) for name, kw in runs}
    executors: list[tuple[str, Any]] = [("threads", lambda: cf.ThreadPoolExecutor(4)),
                                        ("processes", lambda: cf.ProcessPoolExecutor(4))]
    try:
        import distributed

        cluster = distributed.LocalCluster(n_workers=4, threads_per_worker=1, processes=True,
                                           dashboard_address=None, silence_logs=50)
        client = distributed.Client(cluster)
        executors.append(("dask", lambda: client))
    except ImportError:
        client = None
        print("   (distributed not installed: no Dask column)")
    for name, kw in runs:
        line = f"   {name:14} serial {serial[name]:6.2f} s"
        for executor_name, make in executors:
            extra = {} if name == "batch" else {"parallel": 4}
            pool = make()
            seconds = timed(executor=pool, **kw, **extra)
            if executor_name != "dask":
                pool.shutdown()
            line += f" | {executor_name} {seconds:5.2f} s ({serial[name] / seconds:.2f}x)"
        print(line)
    if client is not None:
        client.close()
        cluster.close()


def quality() -> None:
    print("\n2. quality at k = 4: median regret (median objective calls), 10 seeds")
    methods: dict[str, Any] = {}

    def ours(k: int) -> Any:
        def run(f: Any, bounds: list[tuple[float, float]], budget: int, seed: int) -> tuple[float, int]:
            keys = [f"x{i}" for i in range(len(bounds))]
            space = {key: Real(lo, hi) for key, (lo, hi) in zip(keys, bounds)}
            r = minimize(lambda p: f([p[key] for key in keys]), space, budget, seed=seed,
                         mode="online", parallel=k)
            assert r.best_value is not None
            return r.best_value, r.n_evaluations
        return run

    methods["online k=1"] = ours(1)
    methods["online k=4"] = ours(4)
    try:
        import optuna

        optuna.logging.set_verbosity(optuna.logging.WARNING)

        def liar(f: Any, bounds: list[tuple[float, float]], budget: int, seed: int) -> tuple[float, int]:
            keys = [f"x{i}" for i in range(len(bounds))]
            study = optuna.create_study(
                sampler=optuna.samplers.TPESampler(seed=seed, constant_liar=True))
            study.optimize(lambda t: f([t.suggest_float(key, lo, hi)
                                        for key, (lo, hi) in zip(keys, bounds)]),
                           n_trials=budget, n_jobs=4)
            return study.best_value, budget

        methods["optuna liar n_jobs=4"] = liar
    except ImportError:
        print("   (optuna not installed: no Optuna column)")
    for budget in (50, 200):
        print(f"| budget {budget} | " + " | ".join(methods) + " |")
        print("|" + "---|" * (len(methods) + 1))
        for name, (f, bounds, minimum) in PROBLEMS.items():
            cells = []
            for method in methods.values():
                runs = [method(f, bounds, budget, seed) for seed in SEEDS]
                cells.append(f"{statistics.median(v - minimum for v, _ in runs):.3g} "
                             f"({statistics.median(c for _, c in runs):g})")
            print(f"| {name} | " + " | ".join(cells) + " |")
            sys.stdout.flush()


def proposal_rate() -> None:
    print("\n3. proposal rate of parallel=16 rounds (10 parameters)")
    names = [f"p{i}" for i in range(10)]
    space = {n: Real(0.0, 1.0) for n in names}
    for history in (1000, 10000):
        opt = Optimizer(space, history + 10 * 16, seed=0, mode="online", parallel=16)
        # A warm start told to the solver directly: history records with values.
        texts = []
        for i in range(history):
            p = {n: ((i * 7919 + k * 104729) % 1000003) / 1000003.0 for k, n in enumerate(names)}
            texts.append(json.dumps({"params": p, "value": sum((v - 0.3) ** 2 for v in p.values()),
                                     "cost": 1.0}))
        method = opt._method  # the online method: its solver and the history its liars read
        method._solver.seed("[" + ",".join(texts) + "]")
        method._history.texts = texts
        method._history.worst = 10.0
        handed = 0
        t0 = time.perf_counter()
        for _ in range(3):
            trials = opt.ask() or []
            handed += len(trials)
            for t in trials:
                opt.tell(t, sum((v - 0.3) ** 2 for v in t.params.values()))
        seconds = time.perf_counter() - t0
        print(f"   {history:>6} finished trials: {handed / seconds:8.1f} trials/s "
              f"({seconds / 3 * 1e3:.1f} ms per round of 16)")


if __name__ == "__main__":
    which = sys.argv[1:] or ["speedup", "quality", "rate"]
    if "speedup" in which:
        speedup()
    if "quality" in which:
        quality()
    if "rate" in which:
        proposal_rate()
