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


def test_pruned_trials_count_by_their_last_report():
    # Two complete trials at small x; every trial at large x is pruned, the
    # worse the further x is, so only the pruned trials show what x does.
    opt = vordaopt.Optimizer({"x": Real(0, 1), "unused": Real(0, 1)}, 40, seed=1,
                             method="batch", probe_ratio=1.0, pruner=vordaopt.MedianPruner())
    complete = 0
    while (trials := opt.ask()) is not None:
        for t in trials:
            if t.params["x"] < 0.3 and complete < 2:
                opt.tell(t, t.params["x"])
                complete += 1
            else:
                opt.report(t, t.params["x"], 1 if t.params["x"] > 0.6 else 2)
                opt.tell(t, pruned=True)
    result = vordaopt.Result(None, tuple(opt.trials), len(opt.trials), 0.0, "minimize", opt.space)
    shares = importance(result)
    assert list(shares) == ["x", "unused"] and shares["x"] > 0.8


def test_intervals_say_how_sure_a_small_run_is():
    def f(p):  # only x matters
        return p["x"] + 0.01 * p["k"]

    small = space_filling(f, budget=12)
    large = space_filling(f, budget=300)
    for result in (small, large):
        intervals = vordaopt.importance_intervals(result, rounds=100)
        assert list(intervals) == list(importance(result))
        assert all(0.0 <= low <= high <= 1.0 for low, high in intervals.values())
        assert intervals == vordaopt.importance_intervals(result, rounds=100)  # reproducible
    assert vordaopt.importance_intervals(large)["x"][0] > 0.5  # sure on many trials
    widths = [high - low for low, high in vordaopt.importance_intervals(small).values()]
    assert max(widths) > 0.3  # and says it is not on few
    with pytest.raises(ValueError, match="rounds must be an integer of at least 10"):
        vordaopt.importance_intervals(large, rounds=3)
