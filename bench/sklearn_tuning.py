"""Tuning real models: vordaopt's default beside Optuna's default sampler and its GP sampler.

Three scikit-learn models on its built-in datasets, each with a mixed space
(log-scaled reals, integers, categoricals). The loss is 1 - the mean accuracy
of a 3-fold stratified cross-validation with fixed folds, so a point has one
value whoever evaluates it. Every method runs at its defaults for 100
evaluations per seed; the best loss after 30 and after 100 evaluations is
reported (the first 30 evaluations of the same run).

    python bench/sklearn_tuning.py run --methods "vordaopt auto" "optuna TPE" \\
        --seeds 0 1 2 --out build/sklearn.jsonl
    python bench/sklearn_tuning.py table build/sklearn.jsonl [more.jsonl ...]

Three more tasks, held out for choosing defaults and never reported as a
result (an SVC on breast cancer, a random forest on wine, a linear SGD
classifier on digits), run with ``--problems`` naming them.

Optuna's GPSampler needs torch: run its tasks in an environment that has it,
into a file of its own, and print the tables together. Needs scikit-learn.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import statistics
import time
import warnings
from collections import defaultdict
from collections.abc import Callable
from typing import Any

from ranking import outcomes, p_text, sign_test

BUDGET = 100
CHECKPOINTS = (30, 100)

# name: (kind, low, high, log) or ("categorical", choices)
Space = dict[str, tuple[Any, ...]]


def _hgb(params: dict[str, Any]) -> Any:
    from sklearn.ensemble import HistGradientBoostingClassifier
    return HistGradientBoostingClassifier(random_state=0, **params)


def _svc(params: dict[str, Any]) -> Any:
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler
    from sklearn.svm import SVC
    return make_pipeline(StandardScaler(), SVC(**params))


def _mlp(params: dict[str, Any]) -> Any:
    from sklearn.neural_network import MLPClassifier
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler
    width, depth = params.pop("width"), params.pop("depth")
    return make_pipeline(StandardScaler(), MLPClassifier(hidden_layer_sizes=(width,) * depth,
                                                         max_iter=300, random_state=0, **params))


PROBLEMS: dict[str, tuple[str, Callable[[dict[str, Any]], Any], Space]] = {
    "HistGradientBoosting / breast cancer": ("breast_cancer", _hgb, {
        "learning_rate": ("real", 1e-3, 1.0, True),
        "max_leaf_nodes": ("int", 4, 128, True),
        "min_samples_leaf": ("int", 2, 80, False),
        "l2_regularization": ("real", 1e-6, 10.0, True),
        "max_features": ("categorical", [0.3, 0.6, 1.0]),
    }),
    "SVC / digits": ("digits", _svc, {
        "C": ("real", 1e-3, 1e3, True),
        "gamma": ("real", 1e-5, 1.0, True),
        "kernel": ("categorical", ["rbf", "poly", "sigmoid"]),
        "degree": ("int", 2, 5, False),
    }),
    "MLP / wine": ("wine", _mlp, {
        "width": ("int", 4, 128, True),
        "depth": ("int", 1, 3, False),
        "alpha": ("real", 1e-6, 1.0, True),
        "learning_rate_init": ("real", 1e-4, 0.1, True),
        "activation": ("categorical", ["relu", "tanh", "logistic"]),
    }),
}


def _forest(params: dict[str, Any]) -> Any:
    from sklearn.ensemble import RandomForestClassifier
    return RandomForestClassifier(random_state=0, **params)


def _sgd(params: dict[str, Any]) -> Any:
    from sklearn.linear_model import SGDClassifier
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler
    return make_pipeline(StandardScaler(),
                         SGDClassifier(max_iter=30, tol=None, random_state=0, **params))


# Tasks for choosing defaults, never reported as a result (``--problems`` names
# them); their folds are drawn with another seed.
HELD_OUT: dict[str, tuple[str, Callable[[dict[str, Any]], Any], Space]] = {
    "SVC / breast cancer (held out)": ("breast_cancer", _svc, {
        "C": ("real", 1e-3, 1e3, True),
        "gamma": ("real", 1e-5, 1.0, True),
        "kernel": ("categorical", ["rbf", "sigmoid"]),
        "shrinking": ("categorical", [True, False]),
    }),
    "random forest / wine (held out)": ("wine", _forest, {
        "n_estimators": ("int", 5, 100, True),
        "max_depth": ("int", 1, 12, False),
        "max_features": ("real", 0.05, 1.0, False),
        "min_samples_leaf": ("int", 1, 20, False),
        "criterion": ("categorical", ["gini", "entropy"]),
    }),
    "SGD / digits (held out)": ("digits", _sgd, {
        "alpha": ("real", 1e-7, 1e-1, True),
        "l1_ratio": ("real", 0.0, 1.0, False),
        "loss": ("categorical", ["hinge", "log_loss", "modified_huber"]),
        "penalty": ("categorical", ["l2", "l1", "elasticnet"]),
        "eta0": ("real", 1e-4, 1.0, True),
        "learning_rate": ("categorical", ["constant", "optimal", "invscaling", "adaptive"]),
    }),
}
ALL_PROBLEMS = {**PROBLEMS, **HELD_OUT}


class Loss:
    """1 - cross-validated accuracy of one problem, with every value it gave."""

    def __init__(self, problem: str) -> None:
        from sklearn import datasets
        from sklearn.model_selection import StratifiedKFold
        dataset, self.build, self.space = ALL_PROBLEMS[problem]
        self.X, self.y = getattr(datasets, f"load_{dataset}")(return_X_y=True)
        self.folds = StratifiedKFold(3, shuffle=True, random_state=int(problem in HELD_OUT))
        self.values: list[float] = []

    def __call__(self, params: dict[str, Any]) -> float:
        from sklearn.model_selection import cross_val_score
        if len(self.values) >= BUDGET:
            raise RuntimeError("over budget")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            score = cross_val_score(self.build(dict(params)), self.X, self.y, cv=self.folds).mean()
        value = 1.0 - float(score) if math.isfinite(score) else 1.0
        self.values.append(value)
        return value


def vordaopt_space(spec_of: Space) -> dict[str, Any]:
    """A problem's space as vordaopt's kinds."""
    import vordaopt
    space: dict[str, Any] = {}
    for name, spec in spec_of.items():
        if spec[0] == "categorical":
            space[name] = vordaopt.Categorical(spec[1])
        elif spec[0] == "int":
            space[name] = vordaopt.Int(spec[1], spec[2], log=spec[3])
        else:
            space[name] = vordaopt.Real(spec[1], spec[2], log=spec[3])
    return space


def run_vordaopt(method: str) -> Callable[[Loss, int], None]:
    def run(loss: Loss, seed: int) -> None:
        import vordaopt
        vordaopt.minimize(loss, vordaopt_space(loss.space), BUDGET, seed=seed,
                          method=method)  # type: ignore[arg-type]
    return run


def run_optuna(sampler_name: str) -> Callable[[Loss, int], None]:
    def run(loss: Loss, seed: int) -> None:
        import optuna
        optuna.logging.set_verbosity(optuna.logging.WARNING)

        def objective(trial: Any) -> float:
            params = {}
            for name, spec in loss.space.items():
                if spec[0] == "categorical":
                    params[name] = trial.suggest_categorical(name, spec[1])
                elif spec[0] == "int":
                    params[name] = trial.suggest_int(name, spec[1], spec[2], log=spec[3])
                else:
                    params[name] = trial.suggest_float(name, spec[1], spec[2], log=spec[3])
            return loss(params)

        sampler = getattr(optuna.samplers, sampler_name)(seed=seed)
        optuna.create_study(sampler=sampler).optimize(objective, n_trials=BUDGET)
    return run


METHODS = {
    "vordaopt auto": run_vordaopt("auto"),
    "vordaopt gp": run_vordaopt("gp"),
    "optuna TPE (default)": run_optuna("TPESampler"),
    "optuna GP": run_optuna("GPSampler"),
}


def command_run(args: argparse.Namespace) -> None:
    done = set()
    if os.path.exists(args.out):
        with open(args.out) as f:
            done = {json.loads(line)["key"] for line in f if line.strip()}
    for problem in args.problems:
        for method in args.methods:
            for seed in args.seeds:
                key = f"{problem}|{method}|{seed}"
                if key in done:
                    continue
                loss = Loss(problem)
                began = time.perf_counter()
                METHODS[method](loss, seed)
                seconds = time.perf_counter() - began
                row = {"key": key, "problem": problem, "method": method, "seed": seed,
                       "values": loss.values, "seconds": seconds}
                with open(args.out, "a") as f:
                    f.write(json.dumps(row) + "\n")
                print(f"{method:22s} {problem:38s} seed {seed}: best loss "
                      f"{min(loss.values):.4f} ({seconds:.0f} s)", flush=True)


def command_table(args: argparse.Namespace) -> None:
    rows = []
    for path in args.paths:
        with open(path) as f:
            rows += [json.loads(line) for line in f if line.strip()]
    by = defaultdict(dict)
    for r in rows:
        by[(r["problem"], r["seed"])][r["method"]] = r["values"]
    methods = sorted({r["method"] for r in rows})
    problems = [p for p in ALL_PROBLEMS if any(r["problem"] == p for r in rows)]
    for budget in CHECKPOINTS:
        print(f"\nbest 1 - CV accuracy after {budget} evaluations (mean over seeds; mean rank "
              "over problems x seeds, 1 = best)")
        print("| method | " + " | ".join(problems) + " | mean rank |")
        print("|---|" + "---|" * (len(problems) + 1))
        ranks = defaultdict(list)
        for case, got in by.items():
            if set(got) != set(methods):
                continue
            best = {m: min(got[m][:budget]) for m in methods}
            for m in methods:
                ranks[m].append(1 + sum(best[o] < best[m] for o in methods)
                                + 0.5 * sum(best[o] == best[m] for o in methods if o != m))
        for m in methods:
            cells = []
            for problem in problems:
                bests = [min(v[m][:budget]) for (p, _), v in by.items() if p == problem and m in v]
                cells.append(f"{statistics.mean(bests):.4f}" if bests else "–")
            rank = f"{statistics.mean(ranks[m]):.2f}" if ranks[m] else "–"
            print(f"| {m} | " + " | ".join(cells) + f" | {rank} |")
        for ours in (m for m in methods if m.startswith("vordaopt")):
            for peer in (m for m in methods if not m.startswith("vordaopt")):
                wins, losses, ties = outcomes(
                    (min(got[ours][:budget]), min(got[peer][:budget]))
                    for got in by.values() if ours in got and peer in got)
                print(f"{ours} against {peer}: {wins} wins, {losses} losses, {ties} ties "
                      f"(two-sided sign test, {p_text(sign_test(wins, losses))})")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("run")
    run.add_argument("--problems", nargs="+", default=list(PROBLEMS), choices=list(ALL_PROBLEMS))
    run.add_argument("--methods", nargs="+", default=["vordaopt auto", "optuna TPE (default)"],
                     choices=list(METHODS))
    run.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2])
    run.add_argument("--out", default="build/sklearn.jsonl")
    table = commands.add_parser("table")
    table.add_argument("paths", nargs="+")
    args = parser.parse_args()
    command_run(args) if args.command == "run" else command_table(args)


if __name__ == "__main__":
    main()
