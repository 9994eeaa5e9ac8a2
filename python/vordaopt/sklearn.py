"""A scikit-learn search: ``SearchCV``, a drop-in for ``RandomizedSearchCV``.

Each trial fits a clone of the estimator with the trial's parameters on
every training fold and scores it on the matching test fold; the trial's
value is the mean test score, maximised. The folds are the same for every
trial. With a pruner, each fold's running mean score is reported as the
trial goes (step 0 after the first fold), so that a bad configuration stops
after its first folds; folds then run one after the other and ``n_jobs``
trials run at once, on threads. Without one, a trial's folds run on
``n_jobs`` processes (joblib), as scikit-learn's own searches do.

Needs scikit-learn (``pip install "vordaopt[sklearn]"``).
"""

from __future__ import annotations

import concurrent.futures as cf
import contextlib
import numbers
import threading
import time
from collections.abc import Mapping
from typing import Any

try:
    import numpy as np
    from joblib import Parallel, delayed  # type: ignore[import-untyped, import-not-found, unused-ignore]
    from sklearn.base import BaseEstimator, MetaEstimatorMixin, clone, is_classifier  # type: ignore[import-untyped, import-not-found, unused-ignore]
    from sklearn.metrics import check_scoring  # type: ignore[import-untyped, import-not-found, unused-ignore]
    from sklearn.model_selection import check_cv  # type: ignore[import-untyped, import-not-found, unused-ignore]
    from sklearn.utils.metaestimators import _safe_split, available_if  # type: ignore[import-untyped, import-not-found, unused-ignore]
    from sklearn.utils.validation import indexable  # type: ignore[import-untyped, import-not-found, unused-ignore]
except ImportError:  # pragma: no cover - the message is the point
    raise ImportError("vordaopt.sklearn needs scikit-learn: pip install 'vordaopt[sklearn]'") from None

from .minimize import minimize
from .pruners import Pruner, TrialPruned
from .space import Kind, Space
from .trial import TrialState

__all__ = ["SearchCV"]


def _best_has(attribute: str) -> Any:
    """Whether the refitted estimator (or, before fitting, the estimator) has `attribute`."""
    def check(self: SearchCV) -> bool:
        estimator = getattr(self, "best_estimator_", self.estimator)
        getattr(estimator, attribute)
        return True
    return check


class SearchCV(MetaEstimatorMixin, BaseEstimator):  # type: ignore[misc]
    """Cross-validated search of an estimator's hyper-parameters with vordaopt.

    Parameters
    ----------
    estimator : estimator
        Cloned for every fit; the space names its parameters (``"svc__C"``
        for a pipeline's step).
    space : dict
        From parameter name to :class:`Real`, :class:`Int`,
        :class:`Categorical` or :class:`Periodic`.
    n_trials : int, default 50
        Trials of the search (each one cross-validation).
    cv : int, cross-validation generator or iterable, optional
        As in scikit-learn (default 5-fold, stratified for a classifier).
    scoring : str or callable, optional
        One scorer (the estimator's ``score`` by default); higher is better.
    n_jobs : int, optional
        Processes for a trial's folds, or with a pruner, trials at once.
    pruner : MedianPruner, SuccessiveHalvingPruner or HyperbandPruner, optional
        Stops a trial after some folds, from their running mean score.
    refit : bool, default True
        Refit the best configuration on the whole data: ``best_estimator_``,
        and ``predict``, ``score`` and the rest delegate to it.
    method : str, default "auto"
        The vordaopt method (see :func:`vordaopt.minimize`).
    random_state : int, optional
        The search's seed (0 when None); the estimator keeps its own.
    error_score : "raise" or float, default nan
        A fold's score when its fit fails; ``"raise"`` raises. A trial with a
        NaN score is recorded as failed and never the best.
    return_train_score : bool, default False
    journal : path-like, optional
        Records the search; fitting again with the same journal resumes it.
    verbose : int, default 0
        Above 0, a progress bar.

    Attributes
    ----------
    best_params_, best_score_, best_index_, best_estimator_, cv_results_,
    n_splits_, scorer_, refit_time_, multimetric_ : as in scikit-learn
    result_ : vordaopt.Result
        The search's trials (pruned and failed ones included).
    """

    def __init__(self, estimator: Any, space: Mapping[str, Kind], *, n_trials: int = 50,
                 cv: Any = None, scoring: Any = None, n_jobs: int | None = None,
                 pruner: Pruner | None = None, refit: bool = True, method: str = "auto",
                 random_state: int | None = None, error_score: Any = np.nan,
                 return_train_score: bool = False, journal: Any = None, verbose: int = 0) -> None:
        self.estimator = estimator
        self.space = space
        self.n_trials = n_trials
        self.cv = cv
        self.scoring = scoring
        self.n_jobs = n_jobs
        self.pruner = pruner
        self.refit = refit
        self.method = method
        self.random_state = random_state
        self.error_score = error_score
        self.return_train_score = return_train_score
        self.journal = journal
        self.verbose = verbose

    # --- fitting ------------------------------------------------------------------------

    def fit(self, X: Any, y: Any = None, *, groups: Any = None, **fit_params: Any) -> SearchCV:
        """Runs the search, then refits the best configuration (see `refit`)."""
        if not (self.error_score == "raise" or isinstance(self.error_score, numbers.Real)):
            raise ValueError(f"error_score must be 'raise' or a number, got {self.error_score!r}")
        if isinstance(self.scoring, (Mapping, list, tuple, set)):
            raise ValueError("SearchCV takes one scorer (a name or a callable), not several")
        space = Space(self.space)
        X, y, groups = indexable(X, y, groups)
        cv = check_cv(self.cv, y, classifier=is_classifier(self.estimator))
        splits = list(cv.split(X, y, groups))
        self.scorer_ = check_scoring(self.estimator, scoring=self.scoring)
        self.n_splits_ = len(splits)
        self.multimetric_ = False
        folds: dict[int, list[dict[str, float]]] = {}
        self._failures: list[str] = []
        lock = threading.Lock()
        parallel_folds = self.pruner is None and (self.n_jobs or 1) != 1

        def objective(params: dict[str, Any], trial: Any) -> dict[str, float]:
            scores: list[dict[str, float]] = []
            with lock:
                folds[trial.number] = scores
            if parallel_folds:
                scores += Parallel(n_jobs=self.n_jobs)(
                    delayed(self._fold)(params, X, y, train, test, fit_params)
                    for train, test in splits)
            else:
                for step, (train, test) in enumerate(splits):
                    scores.append(self._fold(params, X, y, train, test, fit_params))
                    if self.pruner is not None:
                        trial.report(float(np.mean([s["test"] for s in scores])), step)
                        if trial.should_prune():
                            raise TrialPruned()
            # Every fold's figures are metrics, so that a journal keeps them.
            metrics = {f"{key}_{k}": value for k, fold in enumerate(scores)
                       for key, value in fold.items()}
            return {"score": float(np.mean([s["test"] for s in scores])), **metrics}

        parallel = 1 if self.pruner is None or self.n_jobs is None else max(int(self.n_jobs), 1)
        with cf.ThreadPoolExecutor(parallel) if parallel > 1 else contextlib.nullcontext() as pool:
            self.result_ = minimize(
                objective, space, self.n_trials, seed=self.random_state or 0,
                method=self.method, objectives={"score": "maximize"},  # type: ignore[arg-type]
                pruner=self.pruner,
                executor=pool, parallel=parallel, journal=self.journal,
                progress=bool(self.verbose))
        self.cv_results_ = self._results(space, folds)
        best = self.result_.best
        if best is None:
            # As scikit-learn's searches do: the estimator's own message says why.
            first = self._failures[0] if self._failures else "no trial completed"
            raise ValueError(f"every fit of the search failed; the first failure: {first}")
        self.best_index_ = [t.number for t in self.result_.trials].index(best.number)
        self.best_params_ = dict(best.params)
        self.best_score_ = best.value
        if self.refit:
            began = time.perf_counter()
            self.best_estimator_ = clone(self.estimator).set_params(**self.best_params_)
            self.best_estimator_.fit(X, y, **fit_params)
            self.refit_time_ = time.perf_counter() - began
        return self

    def _fold(self, params: dict[str, Any], X: Any, y: Any, train: Any, test: Any,
              fit_params: dict[str, Any]) -> dict[str, float]:
        """Fits on one training fold and scores on its test fold."""
        estimator = clone(self.estimator).set_params(**params)
        X_train, y_train = _safe_split(estimator, X, y, train)
        X_test, y_test = _safe_split(estimator, X, y, test, train)
        n = _num_samples(X)
        kwargs = {k: _rows(v, train) if _num_samples(v) == n else v for k, v in fit_params.items()}
        began = time.perf_counter()
        out: dict[str, float] = {}
        try:
            estimator.fit(X_train, y_train, **kwargs)
        except Exception as exc:
            if self.error_score == "raise":
                raise
            self._failures.append(f"{type(exc).__name__}: {exc}")
            out["fit_time"] = time.perf_counter() - began
            out.update(test=float(self.error_score), score_time=0.0)
            if self.return_train_score:
                out["train"] = float(self.error_score)
            return out
        out["fit_time"] = time.perf_counter() - began
        began = time.perf_counter()
        out["test"] = float(self.scorer_(estimator, X_test, y_test))
        out["score_time"] = time.perf_counter() - began
        if self.return_train_score:
            out["train"] = float(self.scorer_(estimator, X_train, y_train))
        return out

    def _results(self, space: Space, folds: dict[int, list[dict[str, float]]]) -> dict[str, Any]:
        """cv_results_, one entry per trial in trial order.

        A complete trial's folds come from its metrics; a pruned trial's from
        this fit (NaN for the folds it did not reach, and for every fold of
        one pruned before a resume).
        """
        trials = self.result_.trials
        k = self.n_splits_

        def table(key: str) -> np.ndarray:
            out = np.full((len(trials), k), np.nan)
            for row, t in enumerate(trials):
                for col in range(k):
                    if t.metrics is not None:  # a complete trial, perhaps from the journal
                        out[row, col] = _number(t.metrics.get(f"{key}_{col}"))
                    elif col < len(folds.get(t.number, ())):
                        out[row, col] = folds[t.number][col].get(key, np.nan)
            return out

        results: dict[str, Any] = {}
        for key in ("fit_time", "score_time"):
            values = table(key)
            results[f"mean_{key}"] = np.nanmean(values, axis=1) if values.size else values
            results[f"std_{key}"] = np.nanstd(values, axis=1) if values.size else values
        for name in space.names:
            present = [t.params.get(name) for t in trials]
            # NumPy 2.3's stubs leave MaskedArray untyped; 2.5's type it.
            column = np.ma.MaskedArray(  # type: ignore[no-untyped-call, unused-ignore]
                np.empty(len(trials), dtype=object), mask=[name not in t.params for t in trials])
            for i, v in enumerate(present):
                column[i] = v
            results[f"param_{name}"] = column
        results["params"] = [dict(t.params) for t in trials]
        for which in ("test", "train") if self.return_train_score else ("test",):
            scores = table(which)
            for col in range(k):
                results[f"split{col}_{which}_score"] = scores[:, col]
            complete = np.array([t.state is TrialState.COMPLETE for t in trials], dtype=bool)
            means = np.where(complete, scores.mean(axis=1), np.nan) if k else np.zeros(0)
            results[f"mean_{which}_score"] = means
            results[f"std_{which}_score"] = np.where(complete, scores.std(axis=1), np.nan)
            if which == "test":
                results["rank_test_score"] = _rank(means)
        results["state"] = [t.state.value for t in trials]
        return results

    # --- the refitted estimator's methods -------------------------------------------------

    def _fitted(self) -> Any:
        if not hasattr(self, "best_estimator_"):
            from sklearn.exceptions import NotFittedError  # type: ignore[import-untyped, import-not-found, unused-ignore]

            raise NotFittedError(f"this {type(self).__name__} is not fitted with refit=True yet")
        return self.best_estimator_

    def score(self, X: Any, y: Any = None) -> float:
        """The scorer's value of the refitted estimator on (X, y)."""
        return float(self.scorer_(self._fitted(), X, y))

    @available_if(_best_has("predict"))  # type: ignore[untyped-decorator]
    def predict(self, X: Any) -> Any:
        return self._fitted().predict(X)

    @available_if(_best_has("predict_proba"))  # type: ignore[untyped-decorator]
    def predict_proba(self, X: Any) -> Any:
        return self._fitted().predict_proba(X)

    @available_if(_best_has("predict_log_proba"))  # type: ignore[untyped-decorator]
    def predict_log_proba(self, X: Any) -> Any:
        return self._fitted().predict_log_proba(X)

    @available_if(_best_has("decision_function"))  # type: ignore[untyped-decorator]
    def decision_function(self, X: Any) -> Any:
        return self._fitted().decision_function(X)

    @available_if(_best_has("transform"))  # type: ignore[untyped-decorator]
    def transform(self, X: Any) -> Any:
        return self._fitted().transform(X)

    @available_if(_best_has("inverse_transform"))  # type: ignore[untyped-decorator]
    def inverse_transform(self, X: Any) -> Any:
        return self._fitted().inverse_transform(X)

    @property
    def classes_(self) -> Any:
        return self._fitted().classes_

    @property
    def n_features_in_(self) -> int:
        return int(self._fitted().n_features_in_)

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        inner = self.estimator.__sklearn_tags__()
        tags.estimator_type = inner.estimator_type
        tags.classifier_tags = inner.classifier_tags
        tags.regressor_tags = inner.regressor_tags
        tags.target_tags = inner.target_tags
        tags.input_tags.pairwise = inner.input_tags.pairwise
        tags.input_tags.sparse = inner.input_tags.sparse
        tags.array_api_support = False
        return tags


def _rank(means: np.ndarray) -> np.ndarray:
    """Rank 1 for the best mean score, ties sharing the smallest rank; NaN ranks last."""
    if not len(means) or np.isnan(means).all():
        return np.ones(len(means), dtype=np.int32)
    filled = np.where(np.isnan(means), np.nanmin(means) - 1, means)
    return np.array([1 + int(np.sum(filled > m)) for m in filled], dtype=np.int32)


def _number(v: float | None) -> float:
    return np.nan if v is None else v


def _num_samples(v: Any) -> int | None:
    shape = getattr(v, "shape", None)
    if shape is not None:
        return int(shape[0]) if len(shape) else None
    return len(v) if isinstance(v, (list, tuple)) else None


def _rows(v: Any, rows: Any) -> Any:
    if hasattr(v, "iloc"):
        return v.iloc[rows]
    if hasattr(v, "shape"):
        return v[rows]
    return [v[i] for i in rows]
