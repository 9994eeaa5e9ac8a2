"""Known points (initial=, enqueue) and earlier results (warm_start=)."""

import json
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vordaopt
from vordaopt import Categorical, Int, JournalError, Optimizer, Periodic, Real, Space, minimize

SPACE = {"x": Real(-5, 5), "lr": Real(1e-5, 1e-1, log=True), "n": Int(0, 10),
         "k": Int(1, 1000, log=True), "c": Categorical(["a", 1, 1.0]), "p": Periodic(0, 360)}


def quadratic(p):
    return (p["x"] - 1) ** 2 + abs(p["n"] - 3)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.floats(0, 1), min_size=6, max_size=6))
def test_encoding_gives_back_every_value_the_space_decodes(unit):
    space = Space(SPACE)
    params = space.decode(dict(zip(space.names, unit)))
    again = space.decode(space.encode(params))
    assert again == params and all(type(again[n]) is type(params[n]) for n in params)


@pytest.mark.parametrize("params, error, text", [
    ({"zz": 1}, ValueError, "no parameter 'zz'"),
    ({"x": 5.5}, ValueError, "'x': 5.5 lies outside [-5, 5]"),
    ({"n": 2.5}, ValueError, "'n'"),
    ({"c": "b"}, ValueError, "'b' is not one of its choices"),
    ({"p": 360}, ValueError, "lies outside [0, 360)"),
    ({"x": "1"}, TypeError, "expected a number"),
])
def test_a_bad_known_point_is_refused_before_any_trial(params, error, text):
    calls = []
    with pytest.raises(error, match=r"initial\[1\]: .*" + re.escape(text)):
        minimize(lambda p: calls.append(p) or 0.0, SPACE, 5, initial=[{"x": 0.0}, params])
    assert calls == []


def test_known_points_go_first_exactly_as_given_and_in_order():
    seen = []
    result = minimize(lambda p: seen.append(dict(p)) or quadratic(p), {"x": Real(-5, 5), "n": Int(0, 10)},
                      12, initial=[{"x": 0.1, "n": 4}, {"n": 2}, {"x": 0.3}])
    assert seen[0] == {"n": 4, "x": 0.1}  # 0.1, not the nearest value decoding gives
    assert seen[1]["n"] == 2 and seen[2]["x"] == 0.3
    assert -5 <= seen[1]["x"] <= 5 and 0 <= seen[2]["n"] <= 10
    assert [t.params for t in result.trials[:3]] == seen[:3]
    # Known points count towards the budget like any trial.
    assert len(result.trials) == 12


def test_a_repeated_known_point_is_answered_from_the_record():
    result = minimize(quadratic, {"x": Real(-5, 5), "n": Int(0, 10)}, 4,
                      initial=[{"x": 1.0, "n": 3}, {"x": 1.0, "n": 3}])
    assert result.trials[1].state is vordaopt.TrialState.REUSED


@pytest.mark.parametrize("method", ["auto", "gp", "cma"])
@pytest.mark.parametrize("stop_at", [2, 6])
def test_a_run_with_known_points_resumes_exactly(tmp_path, method, stop_at):
    space = {"x": Real(-5, 5), "n": Int(0, 10)}
    initial = [{"x": 0.5, "n": 4}, {"n": 2}, {"x": -1.25}]
    whole = minimize(quadratic, space, 15, method=method, initial=initial)
    path = tmp_path / "run.jsonl"
    with Optimizer(space, 15, method=method, initial=initial, journal=path) as opt:
        told = 0
        while told < stop_at and (trials := opt.ask()):
            for t in trials[:stop_at - told]:
                opt.tell(t, quadratic(t.params))
                told += 1
    resumed = minimize(quadratic, space, 15, method=method, initial=initial, journal=path)
    assert [t.params for t in resumed.trials] == [t.params for t in whole.trials]
    with pytest.raises(JournalError, match="initial"):
        minimize(quadratic, space, 15, method=method, initial=initial[:2], journal=path)


def test_enqueue_goes_before_the_next_proposal():
    opt = Optimizer({"x": Real(-5, 5), "n": Int(0, 10)}, 10, parallel=2)
    first = opt.ask()
    opt.enqueue({"x": 4.0})
    opt.enqueue({"x": -4.0, "n": 0})
    for t in first:
        opt.tell(t, quadratic(t.params))
    second = opt.ask()
    assert [t.params["x"] for t in second] == [4.0, -4.0] and second[1].params["n"] == 0


@pytest.mark.parametrize("method", ["batch", "online"])
def test_methods_with_a_plan_of_their_own_take_no_known_points(method):
    with pytest.raises(ValueError, match="cannot take initial"):
        Optimizer({"x": Real(0, 1)}, 10, method=method, initial=[{"x": 0.5}])
    with pytest.raises(ValueError, match="cannot take warm_start"):
        Optimizer({"x": Real(0, 1)}, 10, method=method, warm_start=[({"x": 0.5}, 1.0)])
    with pytest.raises(ValueError, match="cannot take known points"):
        Optimizer({"x": Real(0, 1)}, 10, method=method).enqueue({"x": 0.5})


def test_warm_start_from_a_run_of_a_smaller_space(tmp_path):
    small = {"x": Real(-5, 5), "n": Int(0, 10), "gone": Real(0, 1)}
    earlier = tmp_path / "earlier.jsonl"
    minimize(lambda p: quadratic(p) + p["gone"], small, 25, journal=earlier)
    # "gone" is dropped; "y" is new and takes the middle of its range; n's
    # range narrowed, so earlier trials with n > 6 are left out.
    space = {"x": Real(-5, 5), "n": Int(0, 6), "y": Real(0, 1)}
    seen = []
    path = tmp_path / "run.jsonl"
    warm = minimize(lambda p: seen.append(p) or quadratic(p) + p["y"], space, 10,
                    warm_start=earlier, journal=path)
    record = json.loads(path.read_text().splitlines()[0])["warm_start"]
    assert record["source"] == str(earlier)
    assert record["results"] + record["skipped"] == 25 and record["skipped"] > 0
    assert len(warm.trials) == 10 and len(seen) == 10  # no budget spent on them
    cold = minimize(lambda p: quadratic(p) + p["y"], space, 10)
    assert warm.best_value < cold.best_value
    # Resumed with the same earlier results: the same run; with others: refused.
    again = minimize(lambda p: quadratic(p) + p["y"], space, 10, warm_start=earlier, journal=path)
    assert [t.params for t in again.trials] == [t.params for t in warm.trials]
    with pytest.raises(JournalError, match="warm_start"):
        minimize(quadratic, space, 10, warm_start=[({"x": 1.0}, 0.0)], journal=path)


def test_warm_start_refuses_what_it_cannot_use(tmp_path):
    space = {"x": Real(-5, 5)}
    with pytest.raises(ValueError, match=r"warm_start\[0\]: the space has no parameter 'z'"):
        minimize(quadratic, space, 5, warm_start=[({"z": 1.0}, 1.0)])
    with pytest.raises(ValueError, match="finite number"):
        minimize(quadratic, space, 5, warm_start=[({"x": 1.0}, float("nan"))])
    maximised = minimize(lambda p: p["x"], space, 5, direction="maximize")
    with pytest.raises(ValueError, match="was a run to maximize"):
        minimize(lambda p: p["x"], space, 5, warm_start=maximised)
    with pytest.raises(ValueError, match="one objective without constraints"):
        minimize(lambda p: {"f": p["x"], "g": 0.0}, space, 5, objectives={"f": "minimize"},
                 constraints={"g": (None, 1.0)}, warm_start=[({"x": 1.0}, 0.0)])
