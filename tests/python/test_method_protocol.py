"""One check suite, run over every registered method, through the protocol alone."""

import math

import pytest

from vordaopt import Categorical, Int, Optimizer, Real, Space, TrialState, minimize
from vordaopt.methods import METHODS, MethodSettings, Told, make_method, method_class
from vordaopt.methods.batch import PROBE_SLICE
from vordaopt.trial import Trial

SPACE = Space({"c": Categorical(["a", "b", "c"]), "n": Int(0, 9), "x": Real(-2, 2),
               "y": Real(0, 1)})


def settings(budget=40, first_budget=None, parallel=1, space=SPACE):
    return MethodSettings(space=space, seed=5, budget=budget,
                          first_budget=budget if first_budget is None else first_budget,
                          parallel=parallel, reevaluate=False, probe_ratio=0.2)


def value(params):
    return (params["x"] - 0.5) ** 2 + 0.1 * params["n"] + "abc".index(params["c"]) + params["y"]


def drive(method, space, count, first=0):
    """Proposes and observes until `count` results are in; returns every proposed unit."""
    proposed, number = [], first
    while number < first + count:
        room = first + count - number if method.batched else 1
        units = method.propose([], room)
        if not units:
            break
        trials = []
        for unit in units:
            params = space.decode(dict(zip(space.names, unit)))
            trials.append(Trial(number, params, unit, TrialState.COMPLETE, value(params), 0.0))
            number += 1
        proposed += units
        method.observe([Told(t, t.value, False) for t in trials])
    return proposed


@pytest.mark.parametrize("name", METHODS)
def test_proposals_are_deterministic_and_inside_the_cube(name):
    runs = [drive(make_method(name, settings()), SPACE, 30) for _ in range(2)]
    assert runs[0] == runs[1] and len(runs[0]) == 30
    for unit in runs[0]:
        assert len(unit) == 4 and all(math.isfinite(u) and 0.0 <= u <= 1.0 for u in unit)


@pytest.mark.parametrize("name", METHODS)
def test_pending_points_are_never_proposed_again(name):
    method = make_method(name, settings(parallel=4))
    drive(method, SPACE, 12)
    pending = []
    for number in range(12, 16):
        units = method.propose(pending, 4 - len(pending))
        if method_class(name).batched:
            assert units  # a batch hands out its batch whole, then waits
            assert method.propose([Trial(12, {}, units[0])], 1) == []
            return
        if not units:
            break
        for unit in units:
            assert unit not in [t.unit for t in pending]
            pending.append(Trial(number, SPACE.decode(dict(zip(SPACE.names, unit))), unit))


@pytest.mark.parametrize("name", [n for n in METHODS if method_class(n).replays_by_observing])
def test_observing_recorded_results_rebuilds_the_method(name):
    proposer = make_method(name, settings())
    units = drive(proposer, SPACE, 20)
    rebuilt = make_method(name, settings())
    trials = []
    for number, unit in enumerate(units):
        params = SPACE.decode(dict(zip(SPACE.names, unit)))
        trials.append(Trial(number, params, unit, TrialState.COMPLETE, value(params), 0.0))
    rebuilt.observe([Told(t, t.value, False) for t in trials])
    assert rebuilt.propose([], 1) == proposer.propose([], 1)


@pytest.mark.parametrize("name", METHODS)
def test_a_raised_budget_goes_on_past_the_first_plan(name):
    planned = make_method(name, settings(budget=20))
    raised = make_method(name, settings(budget=30, first_budget=20))
    first = drive(planned, SPACE, 20)
    assert drive(raised, SPACE, 20) == first  # the same plan up to its budget
    assert len(drive(raised, SPACE, 10, first=20)) == 10


@pytest.mark.parametrize("name", METHODS)
def test_an_exhausted_finite_space_ends_the_run(name):
    # Six configurations and a budget that means "until the deadline": once
    # each configuration is evaluated there is nothing left to learn, and the
    # run ends instead of answering repeats from the record until the timeout.
    space = {"c": Categorical(["a", "b"]), "n": Int(0, 2)}
    result = minimize(lambda p: p["n"] + (p["c"] == "b"), space, 2**40, seed=2, method=name,
                      timeout=60)
    evaluated = [tuple(sorted(t.params.items())) for t in result.trials
                 if t.state is TrialState.COMPLETE]
    assert sorted(evaluated) == sorted(set(evaluated)) and len(evaluated) == 6
    # A batch's repeats are answered together: one probe slice at most.
    assert result.n_trials <= (PROBE_SLICE if name == "batch" else 100)
    assert result.n_evaluations == 6 and result.best_value == 0
    # Re-evaluating repeats is asked for: the space never runs out.
    opt = Optimizer(space, 20, seed=2, method=name, reevaluate=True)
    while (trials := opt.ask()) is not None:
        for trial in trials:
            opt.tell(trial, trial.params["n"])
    assert len(opt.trials) == 20


def test_a_batch_plan_that_converges_early_ends_the_run(monkeypatch):
    import vordaopt.methods.batch as batch

    class Converging:
        """A solver whose plan is one batch of three points, then converged."""

        def __init__(self, config):
            self.batches = [[{"c": 0.1, "n": 0.2, "x": 0.3, "y": 0.4},
                             {"c": 0.5, "n": 0.6, "x": 0.7, "y": 0.8},
                             {"c": 0.9, "n": 0.1, "x": 0.2, "y": 0.3}]]

        def probe_size(self):
            return 0

        def ask(self):
            return self.batches.pop() if self.batches else None

        def take_messages(self):
            return []

        def tell(self, document):
            pass

    monkeypatch.setattr(batch, "Solver", Converging)
    method = make_method("batch", settings(budget=10))
    assert len(drive(method, SPACE, 10)) == 3  # not online trials from a blank history
    # A budget raised past the plan goes on with online trials.
    raised = make_method("batch", settings(budget=10, first_budget=3))
    assert len(drive(raised, SPACE, 10)) == 10
