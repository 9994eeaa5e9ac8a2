"""minimize(): executors, failures, callbacks, time-out, progress, and its Result."""

import concurrent.futures as cf
import multiprocessing
import math
import time

import pytest

import vordaopt
from vordaopt import Categorical, Int, Real, StopOptimization, TrialState, minimize

# Workers that do not inherit this process's threads.
FORKSERVER = multiprocessing.get_context("forkserver")

SPACE = {"x": Real(-5.0, 10.0), "n": Int(0, 6), "kind": Categorical(["a", "b"])}


def objective(p):
    return (p["x"] - 1.5) ** 2 + p["n"] + (0.5 if p["kind"] == "b" else 0.0)


def summary(result):
    return [(t.number, t.params, t.value, t.state) for t in result.trials]


@pytest.mark.parametrize("mode", ["batch", "online", "gp", "cma", "auto"])
def test_executors_give_the_serial_run(mode):
    serial = minimize(objective, SPACE, 60, seed=2, mode=mode)
    with cf.ThreadPoolExecutor(4) as pool:
        threads = minimize(objective, SPACE, 60, seed=2, mode=mode, executor=pool)
    with cf.ProcessPoolExecutor(2, mp_context=FORKSERVER) as pool:
        processes = minimize(objective, SPACE, 60, seed=2, mode=mode, executor=pool)
    assert summary(serial) == summary(threads) == summary(processes)
    assert serial.best_value == min(t.value for t in serial.trials if t.value is not None)
    assert serial.best_params == serial.best.params and serial.n_trials == 60
    assert all(t.cost is not None and t.cost >= 0 and t.ended >= t.started
               for t in serial.trials if t.state is not TrialState.REUSED)
    assert "best_value=" in repr(serial) and "n_evaluations=" in repr(serial)


def flaky(p):
    if p["x"] > 7:
        raise ArithmeticError("too far")
    return objective(p)


def test_caught_exceptions_become_failed_trials():
    result = minimize(flaky, SPACE, 50, seed=1, catch=ArithmeticError)
    failed = [t for t in result.trials if t.state is TrialState.FAILED]
    assert failed and all(t.error == "ArithmeticError: too far" for t in failed)
    assert result.n_failed == len(failed) and result.best.params["x"] <= 7


def test_other_exceptions_propagate_after_being_journaled(tmp_path):
    path = tmp_path / "run.jsonl"
    with pytest.raises(ArithmeticError):
        minimize(flaky, SPACE, 50, seed=1, journal=path)
    last = vordaopt.load(path).trials[-1]
    assert last.state is TrialState.FAILED and last.params["x"] > 7


def test_callbacks_see_every_trial_and_can_stop():
    seen = []

    def watch(trial, optimizer):
        seen.append(trial.number)
        if len(seen) == 25:
            raise StopOptimization

    result = minimize(objective, SPACE, 100, seed=3, mode="online", callbacks=[watch])
    assert seen == list(range(25)) and result.n_trials == 25


def test_timeout_starts_no_new_trials():
    def slow(p):
        time.sleep(0.02)
        return objective(p)

    begin = time.monotonic()
    result = minimize(slow, SPACE, 500, seed=1, mode="online", timeout=0.1)
    assert 1 <= result.n_trials < 500 and time.monotonic() - begin < 5


def test_progress_bar_goes_to_stderr(capsys):
    minimize(objective, SPACE, 20, seed=1, progress=True)
    err = capsys.readouterr().err
    assert "20/20" in err and "best=" in err


def test_unpicklable_objective_is_refused_before_any_trial():
    calls = []
    with cf.ProcessPoolExecutor(1) as pool, pytest.raises(TypeError, match="cannot be pickled"):
        minimize(lambda p: calls.append(p) or 0.0, SPACE, 10, executor=pool)
    assert calls == []


def test_non_numeric_results_fail_the_trial():
    result = minimize(lambda p: "oops", SPACE, 5, seed=1, catch=TypeError)
    assert all(t.state is not TrialState.COMPLETE for t in result.trials)
    assert result.best is None and result.best_value is None
    assert "must return a number" in result.trials[0].error


def test_maximize():
    result = minimize(lambda p: -objective(p), SPACE, 40, seed=1, direction="maximize")
    assert result.best_value == max(t.value for t in result.trials if t.value is not None)
    assert math.isfinite(result.best_value)


# --- budgets, timeouts and counts ---------------------------------------------------------


def test_huge_budget_with_a_timeout_runs_until_the_deadline():
    began = time.monotonic()
    result = minimize(lambda p: p["x"] + p["y"], {"x": Real(0, 1), "y": Real(0, 1)}, 10**12,
                      timeout=0.3)
    # Before: a probe batch of 2e11 points was built first (MemoryError).
    assert time.monotonic() - began < 30
    assert result.n_trials == result.n_evaluations > 0
    assert all(t.state is TrialState.COMPLETE for t in result.trials)
    minimize(lambda p: 0.0, {"x": Real(0, 1)}, 2**53, timeout=0.0)
    for budget in (2**53 + 1, 2**64):
        with pytest.raises(ValueError, match="budget must be a non-negative integer"):
            minimize(lambda p: 0.0, {"x": Real(0, 1)}, budget)


def test_trials_never_started_are_not_part_of_the_result(tmp_path):
    def slow(p):
        time.sleep(0.05)
        return objective(p)

    result = minimize(slow, SPACE, 100, seed=1, timeout=0.12, journal=tmp_path / "run.jsonl")
    assert 1 <= result.n_trials == result.n_evaluations < 20  # the probe batch has 20
    assert vordaopt.load(tmp_path / "run.jsonl").n_trials == result.n_trials
    assert all(t.state is not TrialState.PENDING for t in result.trials)


def test_the_objective_gets_its_own_copy_of_the_parameters(tmp_path):
    def meddling(p):
        value = objective(p)
        p["x"] = 5.0
        p["added"] = 1
        return value

    result = minimize(meddling, SPACE, 30, seed=4, journal=tmp_path / "run.jsonl")
    reference = minimize(objective, SPACE, 30, seed=4)
    assert summary(result) == summary(reference)
    assert vordaopt.load(tmp_path / "run.jsonl").best_params == reference.best_params


# --- numbers --------------------------------------------------------------------------------


def test_numbers_of_any_real_type_are_numbers_and_strings_never_are(tmp_path):
    np = pytest.importorskip("numpy")
    space = {"x": Real(np.float64(-5), np.int64(10)), "n": Int(np.int64(0), np.int32(6)),
             "kind": Categorical(["a", "b"])}
    plain = minimize(objective, SPACE, 30, seed=3)
    numpy_run = minimize(lambda p: np.float64(objective(p)), space, np.int64(30),
                         seed=np.uint64(3), journal=tmp_path / "run.jsonl")
    assert [t.unit for t in numpy_run.trials] == [t.unit for t in plain.trials]
    assert minimize(lambda p: np.array(1.5), SPACE, 3).best_value == 1.5
    with pytest.raises(TypeError, match="must return a number"):
        minimize(lambda p: "0.5", SPACE, 3)
    with pytest.raises(TypeError, match="must return a number"):
        minimize(lambda p: True, SPACE, 3)


def test_catch_is_checked_before_any_trial():
    calls = []
    with pytest.raises(TypeError, match="catch must be an exception type"):
        minimize(lambda p: calls.append(p) or 0.0, SPACE, 5, catch=("ValueError",))
    assert calls == []


def test_a_choice_without_a_json_form_is_explained(tmp_path):
    with pytest.raises(TypeError, match="a journal needs JSON values.*choice nan has no JSON form"):
        minimize(objective, {**SPACE, "kind": Categorical(["a", math.nan])}, 5,
                 journal=tmp_path / "run.jsonl")
    assert not (tmp_path / "run.jsonl").exists()


# --- process pools ---------------------------------------------------------------------------


def exits_for_large_x(p):
    """Ends its worker process for x > 7 (a segfault, say, or os._exit in a library)."""
    import os

    if p["x"] > 7.0:
        os._exit(3)
    return objective(p)


def test_a_dead_worker_fails_only_its_own_trial(tmp_path):
    path = tmp_path / "run.jsonl"
    with cf.ProcessPoolExecutor(2, mp_context=FORKSERVER) as pool:
        result = minimize(exits_for_large_x, SPACE, 30, seed=5, executor=pool, journal=path,
                          catch=Exception)
    killers = [t for t in result.trials if t.params["x"] > 7.0]
    assert killers and all(t.state is TrialState.FAILED and "worker process died" in t.error
                           for t in killers)
    # Healthy trials that were running beside them got their real values.
    healthy = [t for t in result.trials if t.params["x"] <= 7.0]
    assert all(t.state is not TrialState.FAILED for t in healthy)
    assert result.n_trials == 30
    assert summary(vordaopt.load(path)) == summary(result)


def unpicklable_result(p):
    import threading

    return threading.Lock()


def test_pickling_failures_stop_the_run_before_or_at_the_first_trial(tmp_path):
    import threading

    space = {**SPACE, "lock": Categorical([threading.Lock()])}
    with cf.ProcessPoolExecutor(1, mp_context=FORKSERVER) as pool:
        with pytest.raises(TypeError, match="parameter 'lock': choice .* cannot be pickled"):
            minimize(objective, space, 5, executor=pool, journal=tmp_path / "none.jsonl")
        assert not (tmp_path / "none.jsonl").exists()  # refused before anything ran
        with pytest.raises(TypeError, match="could not pickle trial 0's call or its result"):
            minimize(unpicklable_result, SPACE, 5, executor=pool, journal=tmp_path / "run.jsonl")
    # The trial is not recorded as failed: a resumed run evaluates it.
    assert vordaopt.load(tmp_path / "run.jsonl").n_trials == 0
