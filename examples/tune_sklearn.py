"""Tune a gradient-boosted classifier with vordaopt.minimize.

A HistGradientBoostingClassifier on scikit-learn's built-in breast-cancer data
set: a log-scale learning rate, three integers and a categorical (the share of
features each split may consider), 60 trials evaluated on a process pool (one
worker per core), with a progress bar and a journal (run it again with the
same journal and it resumes instead of starting over).
The best cross-validated accuracy is printed beside that of the defaults, and
the convergence and slices plots are written beside the journal (with
``vordaopt[plot]``).

Needs scikit-learn: ``pip install "vordaopt[examples]"``.
"""

from __future__ import annotations

import os

# One thread per model fit: the trials already run in parallel processes, and
# OpenMP threads competing for the same cores would slow every fit down.
os.environ.setdefault("OMP_NUM_THREADS", "1")

import argparse
import pathlib
import time
from concurrent.futures import ProcessPoolExecutor
from typing import Any

from sklearn.datasets import load_breast_cancer  # type: ignore[import-untyped, import-not-found, unused-ignore]
from sklearn.ensemble import HistGradientBoostingClassifier  # type: ignore[import-untyped, import-not-found, unused-ignore]
from sklearn.model_selection import StratifiedKFold, cross_val_score  # type: ignore[import-untyped, import-not-found, unused-ignore]

import vordaopt
from vordaopt import Categorical, Int, Kind, Real

SPACE: dict[str, Kind] = {
    "learning_rate": Real(1e-3, 0.5, log=True),
    "max_depth": Int(2, 12),
    "max_leaf_nodes": Int(4, 64, log=True),
    "min_samples_leaf": Int(2, 60),
    "max_features": Categorical([0.5, 0.75, 1.0]),
}


def accuracy(params: dict[str, Any]) -> float:
    """Mean 5-fold cross-validated accuracy (deterministic folds and model)."""
    data, target = load_breast_cancer(return_X_y=True)
    model = HistGradientBoostingClassifier(max_iter=100, random_state=0, **params)
    folds = StratifiedKFold(n_splits=5, shuffle=True, random_state=0)
    return float(cross_val_score(model, data, target, cv=folds, n_jobs=1).mean())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--budget", type=int, default=60)
    parser.add_argument("--journal", default="build/demo/tune_sklearn.jsonl")
    parser.add_argument("--fresh", action="store_true", help="delete the journal first")
    args = parser.parse_args()

    journal = pathlib.Path(args.journal)
    journal.parent.mkdir(parents=True, exist_ok=True)
    if args.fresh and journal.exists():
        journal.unlink()

    started = time.perf_counter()
    workers = os.cpu_count() or 2
    with ProcessPoolExecutor(max_workers=workers) as pool:
        # One trial per worker at a time: rounds of `workers` distinct trials.
        result = vordaopt.minimize(accuracy, SPACE, args.budget, seed=7, direction="maximize",
                                   executor=pool, parallel=workers, journal=journal,
                                   progress=True)
    default = accuracy({})

    print(f"\n{result.n_trials} trials ({result.n_evaluations} model fits) "
          f"in {time.perf_counter() - started:.1f} s; journal: {journal}")
    print(f"default hyper-parameters:  accuracy {default:.4f}")
    print(f"best found by vordaopt:    accuracy {result.best_value:.4f}")
    assert result.best is not None
    for name, value in result.best.params.items():
        shown = f"{value:.4g}" if isinstance(value, float) else str(value)
        print(f"    {name:18} {shown}")

    try:
        from vordaopt import plot
    except ImportError:
        return
    for kind, draw in (("convergence", plot.convergence), ("slices", plot.slices)):
        image = journal.with_name(f"{journal.stem}-{kind}.png")
        draw(result).savefig(image, dpi=110, bbox_inches="tight")
        print(f"{kind} plot: {image}")


if __name__ == "__main__":
    main()
