"""Named objectives, constraints and several objectives: reading, best, front, resume."""

import itertools
import json
import math
import subprocess
import sys

import pytest

from vordaopt import Categorical, Int, Optimizer, Real, Space, TrialState, load, minimize
from vordaopt.methods.base import Told
from vordaopt.methods.cma import CmaMethod
from vordaopt.trial import Trial

SPACE = {"x": Real(0, 1), "y": Real(0, 1), "k": Categorical(["a", "b"]), "n": Int(0, 4)}
TWO = {"error": "minimize", "speed": "maximize"}


def metrics(p):
    """Two objectives in tension, a constrained memory and an extra metric."""
    bonus = 0.1 if p["k"] == "a" else 0.0
    return {"error": (p["x"] - 0.2) ** 2 + p["y"] + bonus, "speed": p["x"] + 0.05 * p["n"],
            "memory": 3.0 * p["y"] + p["n"], "epochs": 7}


def dominates(a, b):
    return all(x <= y for x, y in zip(a, b)) and a != b


def test_one_named_objective_with_a_constraint_keeps_every_metric_and_the_best_feasible():
    result = minimize(metrics, SPACE, 40, seed=3, objectives={"error": "minimize"},
                      constraints={"memory": (None, 2.5)})
    complete = [t for t in result.trials if t.state is TrialState.COMPLETE]
    infeasible = [t for t in complete if not t.feasible]
    assert infeasible, "the run should meet the constraint's edge"
    feasible = [t for t in complete if t.feasible]
    assert result.best == min(feasible, key=lambda t: (t.value, t.number))
    for t in complete:
        assert t.metrics["epochs"] == 7.0 and t.values == (t.value,)
        assert t.violation == pytest.approx(max(0.0, t.metrics["memory"] - 2.5))
    assert result.pareto_front == [t for t in feasible if t.value == result.best_value]


def test_results_that_cannot_be_read_fail_or_are_refused():
    opt = Optimizer(SPACE, 10, objectives={"error": "minimize"},
                    constraints={"memory": (0.0, None)}, parallel=3)
    trials = opt.ask()
    nan = opt.tell(trials[0], {"error": 1.0, "memory": float("nan"), "note": 2})
    assert nan.state is TrialState.FAILED and "'memory'" in nan.error
    assert nan.metrics == {"error": 1.0, "memory": None, "note": 2.0}
    missing = opt.tell(trials[1], {"memory": 1.0})
    assert missing.state is TrialState.FAILED and "did not return 'error'" in missing.error
    with pytest.raises(TypeError, match="must return a dict of metrics naming 'error', 'memory'"):
        opt.tell(trials[2], 0.5)  # a bare number, with a constraint to read
    with pytest.raises(TypeError, match="metric 'error' must be a real number"):
        opt.tell(trials[2], {"error": "low", "memory": 1.0})
    plain = Optimizer(SPACE, 10)
    with pytest.raises(TypeError, match="name the objective with objectives="):
        plain.tell(plain.ask()[0], {"error": 1.0})


@pytest.mark.parametrize("kwargs, message", [
    ({"objectives": TWO, "method": "cma"}, "method 'cma' optimises one objective"),
    ({"objectives": TWO, "direction": "maximize"}, "in objectives=, not direction="),
    ({"constraints": {"memory": (None, 1)}}, "constraints need objectives="),
    ({"objectives": {"error": "down"}}, "'minimize' or 'maximize'"),
    ({"objectives": TWO, "constraints": {"memory": (2, 1)}}, "low 2.0 is above high 1.0"),
    ({"objectives": TWO, "constraints": {"memory": (None, None)}}, "needs a low or a high"),
])
def test_bad_objective_settings_are_refused(kwargs, message):
    with pytest.raises((ValueError, TypeError), match=message):
        Optimizer(SPACE, 10, **kwargs)


# Unconstrained, two objectives go to expected hypervolume improvement; with
# a constraint, to ParEGO.
@pytest.mark.parametrize("method, constrained", [("auto", True), ("auto", False), ("nsga2", True)])
def test_several_objectives_front_resume_and_load(tmp_path, method, constrained):
    constraints = {"memory": (None, 4.0)} if constrained else None
    whole = minimize(metrics, SPACE, 60, seed=1, method=method, objectives=TWO,
                     constraints=constraints)
    with pytest.raises(ValueError, match="see pareto_front"):
        whole.best_value
    # The front by brute force over the feasible complete trials, in each direction.
    done = [t for t in whole.trials if t.state is TrialState.COMPLETE and t.feasible]
    signed = {t.number: (t.values[0], -t.values[1]) for t in done}
    front = [t for t in done if not any(dominates(signed[o.number], signed[t.number])
                                        for o in done)]
    assert whole.pareto_front == front and front
    # Interrupted after 25 trials, then resumed: the same run.
    path = tmp_path / "run.jsonl"
    minimize(metrics, SPACE, 25, seed=1, method=method, objectives=TWO,
             constraints=constraints, journal=path)
    resumed = minimize(metrics, SPACE, 60, seed=1, method=method, objectives=TWO,
                       constraints=constraints, journal=path)
    assert [t.params for t in resumed.trials] == [t.params for t in whole.trials]
    loaded = load(path)
    assert [t.number for t in loaded.pareto_front] == [t.number for t in front]
    assert [t.metrics for t in loaded.trials] == [t.metrics for t in whole.trials]
    assert [t.violation for t in loaded.trials] == [t.violation for t in whole.trials]


def test_parallel_rounds_of_several_objectives_propose_distinct_points():
    opt = Optimizer(SPACE, 24, seed=2, objectives=TWO, parallel=4)
    while (trials := opt.ask()) is not None:
        assert len({tuple(t.unit) for t in trials}) == len(trials)
        for t in trials:
            opt.tell(t, metrics(t.params))
    assert len(opt.trials) == 24 and opt.pareto_front


def test_failures_among_several_objectives_are_stand_ins_not_front_members():
    def flaky(p):
        if p["n"] == 4:
            return {"error": math.nan, "speed": 1.0}
        return metrics(p)

    result = minimize(flaky, SPACE, 30, seed=4, objectives=TWO)
    failed = [t for t in result.trials if t.state is TrialState.FAILED]
    assert failed and not {t.number for t in failed} & {t.number for t in result.pareto_front}
    for a, b in itertools.combinations(result.pareto_front, 2):
        assert not dominates((a.values[0], -a.values[1]), (b.values[0], -b.values[1]))


def test_a_command_prints_its_metrics_as_a_json_object(tmp_path):
    (tmp_path / "space.json").write_text(json.dumps(
        {"x": {"type": "real", "low": 0, "high": 1}, "y": {"type": "real", "low": 0, "high": 1}}))
    (tmp_path / "train.py").write_text(
        "import json, sys\nx, y = float(sys.argv[1]), float(sys.argv[2])\n"
        "print('epoch 1')\n"
        "print(json.dumps({'error': (x - 0.3) ** 2 + y, 'size': 1 - x + y, 'mem': 3 * y}))\n")

    def cli(*args):
        return subprocess.run([sys.executable, "-m", "vordaopt", *args], cwd=tmp_path,
                              capture_output=True, text=True)

    command = ["--", sys.executable, "train.py", "{x}", "{y}"]
    done = cli("run", "space.json", "--budget", "12", "--quiet", "--journal", "mo.jsonl",
               "--objective", "error:minimize", "--objective", "size:minimize",
               "--constraint", "mem<=1", *command)
    assert done.returncode == 0 and "Pareto front:" in done.stdout, done.stderr
    result = load(tmp_path / "mo.jsonl")
    assert result.pareto_front and all(t.metrics["mem"] <= 1 for t in result.pareto_front)
    shown = json.loads(cli("show", "mo.jsonl", "--json").stdout)
    assert [t["number"] for t in shown["front"]] == [t.number for t in result.pareto_front]
    # Without --objective a JSON object fails the trial; a bad limit is a usage error.
    plain = cli("run", "space.json", "--budget", "2", "--quiet", "--journal", "p.jsonl", *command)
    assert plain.returncode == 1 and "Traceback" not in plain.stderr
    assert "--objective NAME:minimize" in load(tmp_path / "p.jsonl").trials[0].error
    bad = cli("run", "space.json", "--budget", "2", "--journal", "b.jsonl", "--objective",
              "error:minimize", "--constraint", "mem<one", *command)
    assert bad.returncode == 2 and "give NAME<=NUMBER or NAME>=NUMBER" in bad.stderr


def test_nothing_feasible_means_no_best_and_an_empty_front_and_runs_repeat():
    single = minimize(metrics, SPACE, 12, seed=5, objectives={"error": "minimize"},
                      constraints={"memory": (100.0, None)})
    assert single.best is None and single.pareto_front == []
    assert all(t.violation > 0 for t in single.trials)
    runs = [minimize(metrics, SPACE, 20, seed=5, objectives=TWO, method=method,
                     constraints={"memory": (100.0, None)}) for method in ("auto", "auto", "nsga2")]
    assert runs[0].pareto_front == [] and runs[2].pareto_front == []
    assert [t.params for t in runs[0].trials] == [t.params for t in runs[1].trials]


@pytest.mark.parametrize("method", ["gp", "auto"])
def test_one_objective_under_a_constraint_finds_the_edge_of_the_feasible_region(method):
    # Minimise (x - 1)^2 + y^2 subject to x + y <= 0.5: the optimum is x = 0.75,
    # y = -0.25 on the edge, value 0.125; the objective alone would go to (1, 0).
    def bowl(p):
        return {"loss": (p["x"] - 1) ** 2 + p["y"] ** 2, "total": p["x"] + p["y"]}

    result = minimize(bowl, {"x": Real(-1, 1), "y": Real(-1, 1)}, 30, seed=2, method=method,
                      objectives={"loss": "minimize"}, constraints={"total": (None, 0.5)})
    assert result.best.feasible and result.best_value < 0.125 + 0.02
    late = result.trials[20:]
    assert sum(t.feasible for t in late) >= 5


def test_auto_gives_a_constrained_run_the_gp_where_it_would_take_the_trust_region():
    # Three real parameters and 40 trials: the trust region's, without constraints.
    def bowl(p):
        return {"loss": (p["x"] - 1) ** 2 + p["y"] ** 2 + p["z"] ** 2, "total": p["x"] + p["y"]}

    space = {"x": Real(-1, 1), "y": Real(-1, 1), "z": Real(-1, 1)}
    result = minimize(bowl, space, 40, seed=2, objectives={"loss": "minimize"},
                      constraints={"total": (None, 0.5)})
    assert result.best_value < 0.125 + 0.01
    unconstrained = minimize(lambda p: bowl(p)["loss"], space, 40, seed=2)
    assert [t.params for t in unconstrained.trials][:4] != [t.params for t in result.trials][:4]


def test_a_list_of_directions_reads_a_returned_sequence_as_optuna_does(tmp_path):
    def pair(p):
        return (p["x"], (1 - p["x"]) ** 2 + p["y"])

    path = tmp_path / "run.jsonl"
    result = minimize(pair, SPACE, 16, seed=1, objectives=["minimize", "minimize"], journal=path)
    assert result.pareto_front and all(t.values == pair(t.params) for t in result.pareto_front)
    assert result.trials[0].metrics == {"0": result.trials[0].values[0],
                                        "1": result.trials[0].values[1]}
    resumed = minimize(pair, SPACE, 16, seed=1, objectives=["minimize", "minimize"], journal=path)
    assert resumed.trials == result.trials
    with pytest.raises(TypeError, match="must return 2 values, one per direction, got 3"):
        minimize(lambda p: [1.0, 2.0, 3.0], SPACE, 2, objectives=["minimize", "maximize"])
    with pytest.raises(ValueError, match="constraints need named metrics"):
        Optimizer(SPACE, 5, objectives=["minimize"], constraints={"m": (0, 1)})


def test_cma_ranks_feasible_results_first_then_by_violation():
    cma = CmaMethod(Space({"x": Real(0, 1)}), 0)

    def told(value, violation):
        trial = Trial(0, {"x": 0.5}, (0.5,))
        return Told(trial, value, violation > 0, violation=violation)

    infeasible_early = cma.ranking_value(told(-50.0, 2.0))
    feasible = [cma.ranking_value(told(v, 0.0)) for v in (3.0, 7.0, 5.0)]
    slightly, badly = cma.ranking_value(told(7.0, 0.5)), cma.ranking_value(told(7.0, 4.0))
    assert infeasible_early == 2.0 and feasible == [3.0, 7.0, 5.0]
    assert max(feasible) < slightly < badly


def test_auto_keeps_a_constrained_run_on_the_gp_where_it_would_take_cma_or_the_trust_region():
    from vordaopt.methods.auto import AutoMethod

    two = Space({"x": Real(0, 1), "y": Real(0, 1)})
    four = Space({f"x{i}": Real(0, 1) for i in range(4)})
    assert AutoMethod(two, 0, 1000).phase == "cma"
    assert AutoMethod(two, 0, 1000, constrained=True).phase == "gp"
    assert AutoMethod(four, 0, 30).phase == "local"
    assert AutoMethod(four, 0, 30, constrained=True).phase == "gp"
