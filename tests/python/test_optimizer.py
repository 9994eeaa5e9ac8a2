"""The ask/tell optimizer: hand-out order, exact budgets, failures, repeats, direction."""

import json
import math
import random

import pytest

from vordaopt import FAILED_STAND_IN, Categorical, Int, Optimizer, Real, TrialState

SPACE = {"x": Real(-5.0, 10.0), "n": Int(20, 150), "rate": Real(1e-3, 1.0, log=True)}


def quadratic(p):
    return (p["x"] - 1.0) ** 2 + (p["n"] - 60) ** 2 / 100 + math.log10(p["rate"]) ** 2


def drive(opt, f=quadratic, shuffle=None):
    """Runs an optimizer to its end; `shuffle` (a Random) tells each batch in random order."""
    while (trials := opt.ask()) is not None:
        assert trials, "ask() returned [] with nothing outstanding"
        if shuffle is not None:
            trials = list(trials)
            shuffle.shuffle(trials)
        for t in trials:
            opt.tell(t, f(t.params))
    return opt


@pytest.mark.parametrize("mode", ["batch", "online"])
def test_values_in_bounds_and_runs_reproducible(mode):
    a = drive(Optimizer(SPACE, 80, seed=5, mode=mode))
    b = drive(Optimizer(SPACE, 80, seed=5, mode=mode), shuffle=random.Random(1))
    assert [t.params for t in a.trials] == [t.params for t in b.trials]
    assert len(a.trials) <= 80
    for t in a.trials:
        assert -5.0 <= t.params["x"] <= 10.0 and 1e-3 <= t.params["rate"] <= 1.0
        assert type(t.params["n"]) is int and 20 <= t.params["n"] <= 150
    assert a.best.value == min(t.value for t in a.trials if t.state is TrialState.COMPLETE)
    assert [t.params for t in drive(Optimizer(SPACE, 80, seed=6, mode=mode)).trials] != \
        [t.params for t in a.trials]


def test_exact_budget_cuts_the_last_batch():
    opt = Optimizer(SPACE, 7, seed=1, probe_ratio=1.0)  # a probe batch of 7
    first = opt.ask()
    assert len(first) == 7
    opt = Optimizer(SPACE, 3, seed=1, probe_ratio=1.0)
    assert len(opt.ask()) == 3
    assert len(drive(Optimizer(SPACE, 200, seed=2)).trials) == 200


def test_results_reach_the_solver_in_hand_out_order():
    opt = Optimizer(SPACE, 50, seed=3)
    batch = opt.ask()
    assert len(batch) == 10
    for t in reversed(batch[1:]):
        opt.tell(t, quadratic(t.params))
        assert opt.ask() == []  # the first result is still outstanding
    assert opt.n_pending == 1
    opt.tell(batch[0], quadratic(batch[0].params))
    assert opt.n_pending == 0 and opt.ask()
    with pytest.raises(ValueError, match="trial 0 is not pending"):
        opt.tell(batch[0], 1.0)
    with pytest.raises(ValueError, match="no trial number 999"):
        opt.tell(999, 1.0)
    with pytest.raises(TypeError, match="must be a number or an exception"):
        opt.tell(opt.trials[-1], "bad")
    with pytest.raises(ValueError, match="cost must be a finite number"):
        opt.tell(opt.trials[-1], 1.0, cost=math.nan)


@pytest.mark.parametrize("mode", ["batch", "online"])
def test_failed_trials_stay_failed_and_never_win(mode):
    opt = Optimizer({"x": Real(0, 1)}, 40, seed=1, mode=mode)
    k = 0
    while (trials := opt.ask()) is not None:
        for t in trials:
            k += 1
            if k == 1:
                opt.tell(t, RuntimeError("crashed"))
            elif k % 3 == 0:
                opt.tell(t, math.nan if k % 2 else -math.inf)
            else:
                opt.tell(t, t.params["x"] + 1.0)
    failed = [t for t in opt.trials if t.state is TrialState.FAILED]
    assert failed and all(t.value is None and t.error for t in failed)
    assert failed[0].error == "RuntimeError: crashed"
    assert opt.best.state is TrialState.COMPLETE and opt.best.value >= 1.0


class SolverSpy:
    """Forwards to the real solver and keeps every document told to it."""

    def __init__(self, solver):
        self.solver, self.told = solver, []

    def __getattr__(self, name):
        return getattr(self.solver, name)

    def tell(self, text):
        self.told += json.loads(text)
        self.solver.tell(text)

    def seed(self, text):
        self.told += json.loads(text)
        self.solver.seed(text)


@pytest.mark.parametrize("direction", ["minimize", "maximize"])
def test_failed_stand_in_is_the_worst_value_before_it(direction):
    opt = Optimizer({"x": Real(0, 1)}, 20, seed=1, probe_ratio=0.3, direction=direction)
    spy = opt._solver = SolverSpy(opt._solver)
    batch = opt.ask()
    sign = 1 if direction == "minimize" else -1
    values = [None, 3.0, None, 7.0, 5.0, None]
    for t, v in reversed(list(zip(batch, values))):  # in any order: told in hand-out order
        opt.tell(t, ValueError("no") if v is None else sign * v)
    assert [r["value"] for r in spy.told] == [FAILED_STAND_IN, 3.0, 3.0, 7.0, 5.0, 7.0]
    assert [r["eval_id"] for r in spy.told] == list(range(6))


def test_repeated_points_are_reused_without_calling_again():
    calls = []

    def f(p):
        calls.append(p)
        return (p["x"] - 0.3) ** 2 + 5

    space = {"x": Real(0, 1), "y": Real(0, 1)}
    reused = drive(Optimizer(space, 200, seed=4), f)
    n_calls = len(calls)
    calls.clear()
    fresh = drive(Optimizer(space, 200, seed=4, reevaluate=True), f)
    assert [t.unit for t in reused.trials] == [t.unit for t in fresh.trials]
    repeats = [t for t in reused.trials if t.state is TrialState.REUSED]
    assert repeats and n_calls == reused.n_evaluations == 200 - len(repeats)
    for t in repeats:
        source = reused.trials[t.reused_from]
        assert source.unit == t.unit and source.value == t.value and source.number < t.number
    assert len(calls) == 200 and fresh.n_evaluations == 200


def test_maximize_reports_the_users_values():
    space = {"x": Real(-1, 1)}
    low = drive(Optimizer(space, 60, seed=2), lambda p: (p["x"] - 0.5) ** 2)
    high = drive(Optimizer(space, 60, seed=2, direction="maximize"), lambda p: -(p["x"] - 0.5) ** 2)
    assert [t.params for t in low.trials] == [t.params for t in high.trials]
    assert high.best.value == -low.best.value and high.best.value <= 0


def test_categorical_and_integers_decode_in_online_mode():
    opt = Optimizer({"kind": Categorical(["a", "b", "c"]), "depth": Int(1, 3)}, 30, mode="online")
    drive(opt, lambda p: {"a": 1.0, "b": 0.0, "c": 2.0}[p["kind"]] + p["depth"])
    assert opt.best.params == {"depth": 1, "kind": "b"}


@pytest.mark.parametrize("kwargs, text", [
    ({"budget": -1}, "budget must be a non-negative integer"),
    ({"budget": 1.5}, "budget must be a non-negative integer"),
    ({"seed": -1}, "seed must be an integer"),
    ({"mode": "fast"}, "mode must be 'batch' or 'online'"),
    ({"direction": "up"}, "direction must be 'minimize' or 'maximize'"),
    ({"probe_ratio": 1.5}, r"probe_ratio must be a number in \[0, 1\]"),
])
def test_invalid_settings(kwargs, text):
    settings = {"budget": 10, **kwargs}
    with pytest.raises(ValueError, match=text):
        Optimizer(SPACE, **settings)


def test_zero_budget_is_over_at_once():
    opt = Optimizer(SPACE, 0)
    assert opt.ask() is None and opt.is_over and opt.best is None
