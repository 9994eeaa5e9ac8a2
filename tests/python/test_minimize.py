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


@pytest.mark.parametrize("mode", ["batch", "online"])
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
