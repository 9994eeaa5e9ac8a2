"""Parameter importance on functions whose important parameters are known."""

import pytest

import vordaopt
from vordaopt import Categorical, Int, Periodic, Real, importance, minimize

SPACE = {"x": Real(0, 1), "n": Int(0, 30), "c": Categorical(["a", "b", "c"]),
         "angle": Periodic(0, 360), "k": Int(1, 4)}


def space_filling(f, budget=400, space=SPACE):
    """A run whose trials all come from the probe lattice: no search bias."""
    return minimize(f, space, budget, method="batch", probe_ratio=1.0)


def test_parameters_rank_by_their_effect_whatever_their_kind():
    result = space_filling(lambda p: 10 * p["x"] + {"a": 0, "b": 6, "c": 0}[p["c"]]
                           + 0.1 * p["n"] + 0.5 * p["k"])
    shares = importance(result)
    assert list(shares) == ["x", "c", "n", "k", "angle"]
    assert sum(shares.values()) == pytest.approx(1.0)
    assert shares["angle"] < 0.02  # no effect: about nothing, whatever its bands


def test_ranks_keep_one_huge_value_from_deciding():
    def f(p):
        return 1e12 if p["angle"] > 359 else p["x"]  # one diverged trial at most
    assert next(iter(importance(space_filling(f)))) == "x"


def test_constant_values_explain_nothing_and_small_runs_are_refused(tmp_path):
    result = space_filling(lambda p: 1.0, budget=50)
    assert set(importance(result).values()) == {0.0}
    path = tmp_path / "run.jsonl"
    minimize(lambda p: float("nan"), {"x": Real(0, 1)}, 3, journal=path)
    with pytest.raises(ValueError, match="at least 2 complete trials, the run has 0"):
        importance(path)


def test_a_journal_and_its_result_give_the_same_importances(tmp_path):
    path = tmp_path / "run.jsonl"
    result = minimize(lambda p: p["x"] + (p["c"] == "b"), SPACE, 80, seed=3, journal=path)
    assert importance(path) == importance(result) == importance(vordaopt.load(path))
