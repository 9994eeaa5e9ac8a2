"""vordaopt.sklearn.SearchCV: scikit-learn's search contract, folds, pruning, resume."""

import warnings

import numpy as np
import pytest

from vordaopt import Categorical, MedianPruner, Real, TrialState

sklearn = pytest.importorskip("sklearn")
from sklearn.datasets import load_breast_cancer, load_diabetes  # noqa: E402
from sklearn.linear_model import LogisticRegression, Ridge  # noqa: E402
from sklearn.model_selection import GridSearchCV, KFold, RandomizedSearchCV  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import StandardScaler  # noqa: E402
from sklearn.svm import SVC  # noqa: E402
from sklearn.utils.estimator_checks import check_estimator  # noqa: E402

from vordaopt.sklearn import SearchCV  # noqa: E402

X, Y = load_breast_cancer(return_X_y=True)
PIPE = make_pipeline(StandardScaler(), SVC())
SPACE = {"svc__C": Real(1e-2, 1e3, log=True), "svc__gamma": Real(1e-5, 1.0, log=True),
         "svc__kernel": Categorical(["rbf", "sigmoid"])}


def test_folds_scores_and_ranks_match_scikit_learns_search_on_the_same_candidates():
    cv = KFold(4, shuffle=True, random_state=0)
    search = SearchCV(PIPE, SPACE, n_trials=12, cv=cv).fit(X, Y)
    grid = GridSearchCV(PIPE, [{k: [v] for k, v in p.items()} for p in search.cv_results_["params"]],
                        cv=cv).fit(X, Y)
    for key in ["split0_test_score", "split3_test_score", "mean_test_score", "std_test_score",
                "rank_test_score"]:
        np.testing.assert_allclose(search.cv_results_[key], grid.cv_results_[key], err_msg=key)
    randomized = RandomizedSearchCV(PIPE, {"svc__C": [1.0]}, n_iter=1, cv=cv).fit(X, Y)
    assert set(randomized.cv_results_) - {"param_svc__C"} <= set(search.cv_results_)
    assert list(search.cv_results_["param_svc__kernel"]) == [p["svc__kernel"] for p in
                                                            search.cv_results_["params"]]
    best = int(np.argmin(search.cv_results_["rank_test_score"]))
    assert search.best_index_ == best and search.best_params_ == search.cv_results_["params"][best]
    assert search.best_score_ == pytest.approx(search.cv_results_["mean_test_score"][best])
    refitted = PIPE.set_params(**search.best_params_).fit(X, Y)
    np.testing.assert_array_equal(search.predict(X), refitted.predict(X))
    assert search.score(X, Y) == pytest.approx(refitted.score(X, Y))
    assert list(search.classes_) == [0, 1] and search.n_splits_ == 4


def test_a_pruner_stops_trials_after_their_first_folds_and_they_rank_last():
    search = SearchCV(PIPE, SPACE, n_trials=25, cv=5, pruner=MedianPruner(n_warmup_steps=0),
                      random_state=1).fit(X, Y)
    pruned = [i for i, s in enumerate(search.cv_results_["state"]) if s == "pruned"]
    assert pruned, "some configurations of this space are bad from their first fold"
    worst = search.cv_results_["rank_test_score"].max()
    for i in pruned:
        trial = search.result_.trials[i]
        folds = np.array([search.cv_results_[f"split{k}_test_score"][i] for k in range(5)])
        reached = len(trial.reports)
        assert reached < 5 and np.isfinite(folds[:reached]).all() and np.isnan(folds[reached:]).all()
        assert trial.reports[0].value == pytest.approx(folds[0])
        assert search.cv_results_["rank_test_score"][i] == worst


def test_n_jobs_runs_folds_or_trials_at_once():
    """Without a pruner the folds go to processes and the search is the same as with one
    job; with one, trials run two at a time on threads."""
    one = SearchCV(PIPE, SPACE, n_trials=10, cv=3, n_jobs=1).fit(X, Y)
    two = SearchCV(PIPE, SPACE, n_trials=10, cv=3, n_jobs=2).fit(X, Y)
    assert one.cv_results_["params"] == two.cv_results_["params"]
    np.testing.assert_array_equal(one.cv_results_["mean_test_score"],
                                  two.cv_results_["mean_test_score"])
    pruned = SearchCV(PIPE, SPACE, n_trials=10, cv=3, n_jobs=2, pruner=MedianPruner()).fit(X, Y)
    assert len(pruned.cv_results_["params"]) == 10 and pruned.best_score_ > 0.9


def test_a_journal_resumes_the_search_with_every_fold(tmp_path):
    path = tmp_path / "search.jsonl"
    first = SearchCV(PIPE, SPACE, n_trials=8, cv=3, journal=path).fit(X, Y)
    resumed = SearchCV(PIPE, SPACE, n_trials=8, cv=3, journal=path).fit(X, Y)
    assert resumed.best_params_ == first.best_params_
    np.testing.assert_array_equal(resumed.cv_results_["split2_test_score"],
                                  first.cv_results_["split2_test_score"])


def test_failing_fits_follow_error_score():
    bad = {"C": Real(-2.0, -1.0)}  # LogisticRegression refuses C <= 0
    with pytest.raises(ValueError, match="every fit of the search failed.*C"):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            SearchCV(LogisticRegression(), bad, n_trials=3, cv=2).fit(X, Y)
    with pytest.raises(ValueError, match="'C' parameter"):
        SearchCV(LogisticRegression(), bad, n_trials=3, cv=2, error_score="raise").fit(X, Y)
    scored = SearchCV(LogisticRegression(), {"C": Real(-1.0, 1.0)}, n_trials=6, cv=2,
                      error_score=0.0, method="gp").fit(X[:100], Y[:100])
    failed = scored.cv_results_["mean_test_score"] == 0.0
    assert failed.any() and scored.best_params_["C"] > 0


@pytest.mark.parametrize("estimator, space", [
    (LogisticRegression(), {"C": Real(1e-2, 1e2, log=True)}),
    (Ridge(), {"alpha": Real(1e-2, 1e2, log=True)}),
])
def test_scikit_learns_estimator_checks_pass(estimator, space):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        results = check_estimator(SearchCV(estimator, space, n_trials=3, cv=2), on_fail=None)
    failed = [(r["check_name"], str(r["exception"])[:200]) for r in results if r["status"] == "failed"]
    assert not failed


def test_a_regression_search():
    Xd, yd = load_diabetes(return_X_y=True)
    search = SearchCV(Ridge(), {"alpha": Real(1e-3, 1e3, log=True)}, n_trials=10, cv=3,
                      scoring="neg_mean_squared_error").fit(Xd, yd)
    assert search.best_score_ < 0 and search.result_.trials[0].state is TrialState.COMPLETE
    assert search.predict(Xd[:2]).shape == (2,)
