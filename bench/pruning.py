"""Pruning on a model that trains in epochs, beside Optuna's pruners; and the cost of a report.

The model: scikit-learn's SGDClassifier trained with partial_fit for up to 27
epochs on the digits dataset (a fixed 70/30 split), over five parameters
(regularisation, step size and its schedule, loss, penalty). A trial reports
its validation error after each epoch. Every method and pruner keeps its
defaults (Hyperband is told the full training, 27 epochs, which ours needs;
Optuna's finds it by itself). For each seed and setting, the same budget of
trials: the total epochs trained, the wall time, and the best validation error.

    python bench/pruning.py [--trials 60] [--seeds 0 1 2 3 4] [--out build/pruning.jsonl]
    python bench/pruning.py --table build/pruning.jsonl
    python bench/pruning.py --report-cost

Results are appended one line per run, and a rerun skips the runs already there.
"""

from __future__ import annotations

import argparse
import concurrent.futures as cf
import json
import os
import statistics
import sys
import time
import warnings
from pathlib import Path
from typing import Any

EPOCHS = 27
SETTINGS = ["none", "median", "asha", "hyperband"]


def data() -> tuple[Any, Any, Any, Any]:
    from sklearn.datasets import load_digits
    from sklearn.model_selection import train_test_split
    from sklearn.preprocessing import StandardScaler

    x, y = load_digits(return_X_y=True)
    x_train, x_valid, y_train, y_valid = train_test_split(x, y, test_size=0.3, random_state=0,
                                                          stratify=y)
    scaler = StandardScaler().fit(x_train)
    return scaler.transform(x_train), scaler.transform(x_valid), y_train, y_valid


DATA = None


def train(params: dict[str, Any], report: Any) -> tuple[float, int]:
    """Trains for up to EPOCHS epochs; `report(error, epoch)` returns True to stop.

    Returns the last validation error and the epochs trained.
    """
    import numpy as np
    from sklearn.exceptions import ConvergenceWarning
    from sklearn.linear_model import SGDClassifier

    global DATA
    if DATA is None:
        DATA = data()
    x_train, x_valid, y_train, y_valid = DATA
    model = SGDClassifier(alpha=params["alpha"], eta0=params["eta0"],
                          learning_rate=params["schedule"], loss=params["loss"],
                          penalty=params["penalty"], random_state=0)
    classes = np.unique(y_train)
    error = 1.0
    for epoch in range(1, EPOCHS + 1):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ConvergenceWarning)
            model.partial_fit(x_train, y_train, classes=classes)
        error = 1.0 - float(model.score(x_valid, y_valid))
        if report(error, epoch):
            return error, epoch
    return error, EPOCHS


def run_vordaopt(setting: str, trials: int, seed: int) -> dict[str, Any]:
    import vordaopt
    from vordaopt import Categorical, Real

    space = {"alpha": Real(1e-6, 1e-1, log=True), "eta0": Real(1e-4, 1.0, log=True),
             "schedule": Categorical(["constant", "invscaling", "adaptive", "optimal"]),
             "loss": Categorical(["hinge", "log_loss", "modified_huber"]),
             "penalty": Categorical(["l2", "l1", "elasticnet"])}
    pruner = {"none": None, "median": vordaopt.MedianPruner(),
              "asha": vordaopt.SuccessiveHalvingPruner(),
              "hyperband": vordaopt.HyperbandPruner(max_resource=EPOCHS)}[setting]
    epochs = 0

    def objective(params: dict[str, Any], trial: vordaopt.RunningTrial) -> float:
        nonlocal epochs

        def report(error: float, epoch: int) -> bool:
            trial.report(error, epoch)
            return trial.should_prune()

        error, trained = train(params, report)
        epochs += trained
        if trained < EPOCHS or trial.should_prune():
            raise vordaopt.TrialPruned()
        return error

    began = time.perf_counter()
    result = vordaopt.minimize(objective, space, trials, seed=seed, pruner=pruner)
    return {"wall": time.perf_counter() - began, "epochs": epochs, "best": result.best_value,
            "pruned": result.n_pruned}


def run_optuna(setting: str, trials: int, seed: int) -> dict[str, Any]:
    import optuna

    optuna.logging.set_verbosity(optuna.logging.WARNING)
    pruner = {"none": optuna.pruners.NopPruner(), "median": optuna.pruners.MedianPruner(),
              "asha": optuna.pruners.SuccessiveHalvingPruner(),
              "hyperband": optuna.pruners.HyperbandPruner()}[setting]
    epochs = 0

    def objective(trial: Any) -> float:
        nonlocal epochs
        params = {"alpha": trial.suggest_float("alpha", 1e-6, 1e-1, log=True),
                  "eta0": trial.suggest_float("eta0", 1e-4, 1.0, log=True),
                  "schedule": trial.suggest_categorical(
                      "schedule", ["constant", "invscaling", "adaptive", "optimal"]),
                  "loss": trial.suggest_categorical("loss", ["hinge", "log_loss", "modified_huber"]),
                  "penalty": trial.suggest_categorical("penalty", ["l2", "l1", "elasticnet"])}

        def report(error: float, epoch: int) -> bool:
            trial.report(error, epoch)
            return bool(trial.should_prune())

        error, trained = train(params, report)
        epochs += trained
        if trained < EPOCHS or trial.should_prune():
            raise optuna.TrialPruned()
        return error

    study = optuna.create_study(sampler=optuna.samplers.TPESampler(seed=seed), pruner=pruner)
    began = time.perf_counter()
    study.optimize(objective, n_trials=trials)
    complete = [t.value for t in study.trials if t.state == optuna.trial.TrialState.COMPLETE]
    pruned = sum(t.state == optuna.trial.TrialState.PRUNED for t in study.trials)
    return {"wall": time.perf_counter() - began, "epochs": epochs,
            "best": min(complete) if complete else None, "pruned": pruned}


LIBRARIES = {"vordaopt": run_vordaopt, "optuna": run_optuna}


def run(args: argparse.Namespace) -> None:
    out = Path(args.out)
    done = set()
    if out.exists():
        for line in out.read_text().splitlines():
            r = json.loads(line)
            done.add((r["library"], r["setting"], r["seed"], r["trials"]))
    for seed in args.seeds:
        for library in args.libraries:
            for setting in SETTINGS:
                key = (library, setting, seed, args.trials)
                if key in done:
                    continue
                row = LIBRARIES[library](setting, args.trials, seed)
                row.update(library=library, setting=setting, seed=seed, trials=args.trials)
                with out.open("a") as f:
                    f.write(json.dumps(row) + "\n")
                print(json.dumps(row), flush=True)


def table(path: str) -> None:
    rows = [json.loads(line) for line in Path(path).read_text().splitlines()]
    groups: dict[tuple[str, str], list[dict[str, Any]]] = {}
    for r in rows:
        groups.setdefault((r["library"], r["setting"]), []).append(r)
    seeds = sorted({r["seed"] for r in rows})
    trials = sorted({r["trials"] for r in rows})
    print(f"SGDClassifier on digits, up to {EPOCHS} epochs a trial, {trials} trials, seeds {seeds}; "
          "means over seeds (best error: mean, and the spread over seeds)")
    print("| library | pruner | epochs trained | fewer than unpruned | wall time (s) | best validation error | pruned trials |")
    print("|---|---|---|---|---|---|---|")
    for library in LIBRARIES:
        base = groups.get((library, "none"))
        for setting in SETTINGS:
            group = groups.get((library, setting))
            if not group:
                continue
            epochs = statistics.mean(r["epochs"] for r in group)
            ratio = "" if base is None else f"{statistics.mean(r['epochs'] for r in base) / epochs:.1f}×"
            best = [r["best"] for r in group if r["best"] is not None]
            spread = statistics.stdev(best) if len(best) > 1 else 0.0
            print(f"| {library} | {setting} | {epochs:.0f} | {ratio} | "
                  f"{statistics.mean(r['wall'] for r in group):.1f} | "
                  f"{statistics.mean(best):.4f} ± {spread:.4f} | "
                  f"{statistics.mean(r['pruned'] for r in group):.1f} |")


def _steps(params: dict[str, Any], trial: Any) -> float:
    """100 reports, each followed by should_prune; returns the seconds they took."""
    began = time.perf_counter()
    for step in range(100):
        trial.report(params["x"] + 1.0 / (step + 1), step)
        if trial.should_prune():
            break
    return time.perf_counter() - began


def report_cost() -> None:
    """Microseconds per report + should_prune, in the run's process and from a worker process."""
    import vordaopt

    space = {"x": vordaopt.Real(0.0, 1.0)}
    print("cost of one trial.report(value, step) + trial.should_prune(), 300 trials of up to "
          "100 steps (the objective times its own calls and returns the seconds)")
    for name, pruner in [("no pruner", None), ("median", vordaopt.MedianPruner()),
                         ("asha", vordaopt.SuccessiveHalvingPruner()),
                         ("hyperband", vordaopt.HyperbandPruner(max_resource=100))]:
        for where in ("in process", "process pool"):
            pool = cf.ProcessPoolExecutor(1) if where == "process pool" else None
            try:
                result = vordaopt.minimize(_timed_in_worker, space, 300, method="cma",
                                           pruner=pruner, executor=pool)
            finally:
                if pool is not None:
                    pool.shutdown()
            complete = [t for t in result.trials if t.value is not None]
            reports = sum(len(t.reports) for t in complete)
            seconds = sum(t.value for t in complete if t.value is not None)
            print(f"  {name:10s} {where:13s} {seconds / reports * 1e6:7.2f} us per call "
                  f"({reports} calls in complete trials)")


def _timed_in_worker(params: dict[str, Any], trial: Any) -> float:
    """The seconds its reports took, as the trial's value (a pruned trial raises)."""
    import vordaopt

    seconds = _steps(params, trial)
    if trial.should_prune():
        raise vordaopt.TrialPruned()
    return seconds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trials", type=int, default=60)
    parser.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2, 3, 4])
    parser.add_argument("--libraries", nargs="+", default=list(LIBRARIES), choices=list(LIBRARIES))
    parser.add_argument("--out", default="build/pruning.jsonl")
    parser.add_argument("--table", metavar="JSONL")
    parser.add_argument("--report-cost", action="store_true")
    args = parser.parse_args()
    if args.table:
        table(args.table)
    elif args.report_cost:
        report_cost()
    else:
        os.makedirs(os.path.dirname(args.out) or ".", exist_ok=True)
        run(args)


if __name__ == "__main__":
    sys.exit(main())
