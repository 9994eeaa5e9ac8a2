"""A conditional space against the same parameters always active, and Optuna's define-by-run TPE.

    python bench/conditional.py run --out build/conditional.jsonl [--seeds 0-9] [--methods ...]
    python bench/conditional.py table build/conditional.jsonl

An SVC (standardised inputs) on scikit-learn's digits and breast cancer
datasets; the loss is 1 - the mean accuracy of a 3-fold stratified
cross-validation with fixed folds. The conditional space:

    C: log-real [1e-3, 1e3]
    kernel: rbf     -> gamma (log-real [1e-5, 1])
            poly    -> gamma, degree (int [2, 5]), coef0 (real [0, 1])
            sigmoid -> gamma, coef0
            linear  -> nothing

Methods: ``auto`` and ``gp`` on the conditional space; ``auto-flat`` on the
flat space, where gamma, degree and coef0 are always searched (the SVC
ignores those its kernel does not read); ``auto-impute`` and ``gp-impute``
on the conditional space with the GP learning every inactive coordinate at
one fixed value instead of as proposed; ``optuna-tpe`` Optuna 5.1's default sampler
asking for the active parameters only (define-by-run). 100 evaluations per
run; the best loss after 30 and 100 is kept. ``table`` prints the mean best
loss and the mean rank per (dataset, seed). Needs scikit-learn and optuna.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import statistics
import time
import warnings
from collections import defaultdict
from typing import Any

from ranking import shared_ranks

BUDGET = 100
CHECKPOINTS = (30, 100)
DATASETS = ("digits", "breast_cancer")


class Loss:
    def __init__(self, dataset: str) -> None:
        from sklearn import datasets
        from sklearn.model_selection import StratifiedKFold

        self.X, self.y = getattr(datasets, f"load_{dataset}")(return_X_y=True)
        self.folds = StratifiedKFold(3, shuffle=True, random_state=0)
        self.values: list[float] = []

    def __call__(self, params: dict[str, Any]) -> float:
        from sklearn.model_selection import cross_val_score
        from sklearn.pipeline import make_pipeline
        from sklearn.preprocessing import StandardScaler
        from sklearn.svm import SVC

        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            model = make_pipeline(StandardScaler(), SVC(**params, max_iter=20000))
            score = float(cross_val_score(model, self.X, self.y, cv=self.folds).mean())
        self.values.append(1.0 - score)
        return self.values[-1]


def conditional_space() -> dict[str, Any]:
    from vordaopt import Categorical, Int, Real

    gamma = Real(1e-5, 1.0, log=True)
    return {"C": Real(1e-3, 1e3, log=True),
            "kernel": Categorical({"rbf": {"gamma": gamma},
                                   "poly": {"gamma": gamma, "degree": Int(2, 5), "coef0": Real(0, 1)},
                                   "sigmoid": {"gamma": gamma, "coef0": Real(0, 1)},
                                   "linear": {}})}


def flat_space() -> dict[str, Any]:
    from vordaopt import Categorical, Int, Real

    return {"C": Real(1e-3, 1e3, log=True), "gamma": Real(1e-5, 1.0, log=True),
            "degree": Int(2, 5), "coef0": Real(0, 1),
            "kernel": Categorical(["rbf", "poly", "sigmoid", "linear"])}


def run_vordaopt(loss: Loss, seed: int, method: str) -> None:
    import vordaopt
    from vordaopt.methods.gp import GpMethod

    space = flat_space() if method == "auto-flat" else conditional_space()
    GpMethod.impute_inactive = method.endswith("-impute")
    try:
        vordaopt.minimize(loss, space, BUDGET, seed=seed,
                          method=method.removesuffix("-flat").removesuffix("-impute"))
    finally:
        GpMethod.impute_inactive = False


def run_optuna(loss: Loss, seed: int) -> None:
    import optuna

    optuna.logging.set_verbosity(optuna.logging.WARNING)

    def objective(trial: Any) -> float:
        params: dict[str, Any] = {"C": trial.suggest_float("C", 1e-3, 1e3, log=True),
                                  "kernel": trial.suggest_categorical(
                                      "kernel", ["rbf", "poly", "sigmoid", "linear"])}
        if params["kernel"] != "linear":
            params["gamma"] = trial.suggest_float("gamma", 1e-5, 1.0, log=True)
        if params["kernel"] == "poly":
            params["degree"] = trial.suggest_int("degree", 2, 5)
        if params["kernel"] in ("poly", "sigmoid"):
            params["coef0"] = trial.suggest_float("coef0", 0.0, 1.0)
        return loss(params)

    optuna.create_study(sampler=optuna.samplers.TPESampler(seed=seed)).optimize(
        objective, n_trials=BUDGET)


def seeds_of(text: str) -> list[int]:
    lo, _, hi = text.partition("-")
    return list(range(int(lo), int(hi or lo) + 1))


def run(args: argparse.Namespace) -> None:
    out = pathlib.Path(args.out)
    done = set()
    if out.exists():
        done = {(r["method"], r["dataset"], r["seed"]) for r in map(json.loads, out.read_text().splitlines())}
    for dataset in DATASETS:
        for seed in seeds_of(args.seeds):
            for method in args.methods.split(","):
                if (method, dataset, seed) in done:
                    continue
                loss = Loss(dataset)
                began = time.perf_counter()
                run_optuna(loss, seed) if method == "optuna-tpe" else run_vordaopt(loss, seed, method)
                row = {"method": method, "dataset": dataset, "seed": seed,
                       "best_at": {str(b): min(loss.values[:b]) for b in CHECKPOINTS},
                       "wall": round(time.perf_counter() - began, 2)}
                with out.open("a") as f:
                    f.write(json.dumps(row) + "\n")
                print(json.dumps(row), flush=True)


def table(args: argparse.Namespace) -> None:
    rows = [json.loads(line) for line in pathlib.Path(args.results).read_text().splitlines()]
    methods = sorted({r["method"] for r in rows})
    blocks: dict[tuple[str, int], dict[str, dict[str, float]]] = defaultdict(dict)
    for r in rows:
        blocks[(r["dataset"], r["seed"])][r["method"]] = r["best_at"]
    complete = {k: v for k, v in blocks.items() if set(v) == set(methods)}
    print(f"{len(complete)} (dataset, seed) blocks; mean best loss per dataset, mean rank overall")
    for budget in (str(b) for b in CHECKPOINTS):
        print(f"\n| budget {budget} | mean rank | " + " | ".join(DATASETS) + " |")
        print("|---|---|" + "---|" * len(DATASETS))
        ranks: dict[str, list[float]] = defaultdict(list)
        for scores in complete.values():
            for m, rank in shared_ranks({m: scores[m][budget] for m in methods}).items():
                ranks[m].append(rank)
        for m in sorted(methods, key=lambda m: statistics.mean(ranks[m])):
            cells = [statistics.mean(v[m][budget] for (d, _), v in complete.items() if d == ds)
                     for ds in DATASETS]
            print(f"| {m} | {statistics.mean(ranks[m]):.2f} | "
                  + " | ".join(f"{c:.4f}" for c in cells) + " |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    go = sub.add_parser("run")
    go.add_argument("--out", default="build/conditional.jsonl")
    go.add_argument("--seeds", default="0-9")
    go.add_argument("--methods", default="auto,gp,auto-flat,auto-impute,gp-impute,optuna-tpe")
    show = sub.add_parser("table")
    show.add_argument("results")
    args = parser.parse_args()
    run(args) if args.command == "run" else table(args)


if __name__ == "__main__":
    main()
