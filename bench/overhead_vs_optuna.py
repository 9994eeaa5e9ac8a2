"""Per-trial overhead of vordaopt beside Optuna's TPESampler (ask/tell).

The objective is trivial, so the times are the optimisers' own overhead:
- vordaopt ask_one + seed, per call, with 1,000 and 10,000 records already in
  the history (10 parameters);
- one full vordaopt batch run (ask/tell) and one full online run (ask_one/seed)
  of budget 1,000;
- the same 1,000-trial loop through Optuna's TPESampler ask/tell interface.

Optuna is installed in the benchmark's own environment (`make bench`), not as
a dependency of the package; without it the Optuna line is skipped.
"""

import json
import time

from vordaopt import VordaSolver

PARAMS = [f"p{i}" for i in range(10)]
BOUNDS = {name: {"min": 0.0, "max": 1.0} for name in PARAMS}


def objective(p):
    total = 0.0
    for v in p.values():
        total += (v - 0.3) * (v - 0.3)
    return total


def config(budget):
    return json.dumps({"seed": 42, "budget": budget, "bounds": BOUNDS})


def ask_one_overhead(history, calls=50):
    solver = VordaSolver(config(history + calls + 1))
    points = []
    for i in range(history):
        p = {name: ((i * 7919 + k * 104729) % 1000003) / 1000003.0 for k, name in enumerate(PARAMS)}
        points.append({"params": p, "value": objective(p), "cost": 1.0})
    solver.seed(json.dumps(points))
    t0 = time.perf_counter()
    for _ in range(calls):
        c = solver.ask_one()
        solver.seed(json.dumps([{"params": c, "value": objective(c), "cost": 1.0}]))
    return (time.perf_counter() - t0) / calls


def batch_run(budget=1000):
    solver = VordaSolver(config(budget))
    t0 = time.perf_counter()
    n = 0
    while (maps := solver.ask()) is not None:
        solver.tell(json.dumps([{"eval_id": n + i, "params": m, "value": objective(m), "cost": 1.0}
                                for i, m in enumerate(maps)]))
        n += len(maps)
    return time.perf_counter() - t0, solver.get_history_len()


def online_run(budget=1000):
    solver = VordaSolver(config(budget))
    t0 = time.perf_counter()
    while (c := solver.ask_one()) is not None:
        solver.seed(json.dumps([{"params": c, "value": objective(c), "cost": 1.0}]))
    return time.perf_counter() - t0, solver.get_history_len()


def optuna_run(trials=1000):
    import optuna

    optuna.logging.set_verbosity(optuna.logging.WARNING)
    study = optuna.create_study(sampler=optuna.samplers.TPESampler(seed=42))
    dists = {name: optuna.distributions.FloatDistribution(0.0, 1.0) for name in PARAMS}
    t0 = time.perf_counter()
    for _ in range(trials):
        trial = study.ask(dists)
        study.tell(trial, objective(trial.params))
    return time.perf_counter() - t0, optuna.__version__


def main():
    for h in (1000, 10000):
        print(f"vordaopt ask_one + seed at {h:>6} records: {ask_one_overhead(h) * 1e3:8.3f} ms per call")
    batch_s, batch_n = batch_run()
    print(f"vordaopt batch run, budget 1000 ({batch_n} trials): {batch_s:.3f} s, "
          f"{batch_s / batch_n * 1e6:.1f} us per trial")
    online_s, online_n = online_run()
    print(f"vordaopt online run, budget 1000 ({online_n} trials): {online_s:.3f} s, "
          f"{online_s / online_n * 1e6:.1f} us per trial")
    try:
        opt_s, version = optuna_run()
    except ImportError:
        print("optuna not installed: skipped (run `make bench`)")
        return
    print(f"optuna {version} TPESampler ask/tell, 1000 trials: {opt_s:.3f} s, "
          f"{opt_s / 1000 * 1e6:.1f} us per trial")
    print(f"ratio optuna / vordaopt per trial: batch {opt_s / 1000 / (batch_s / batch_n):.0f}x, "
          f"online {opt_s / 1000 / (online_s / online_n):.0f}x")


if __name__ == "__main__":
    main()
