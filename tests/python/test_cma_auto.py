"""Methods "cma" and "auto": every kind of parameter, generations as rounds, the hand-over."""

import math

import pytest

from vordaopt import Categorical, Int, Optimizer, Periodic, Real, Space, TrialState, minimize
from vordaopt.methods.auto import first_phase, gp_trials

MIXED = {"x": Real(0, 1), "k": Int(0, 6), "c": Categorical(["a", "b", "c"]),
         "angle": Periodic(0, 360)}


def mixed(p):
    return (p["x"] - 0.7) ** 2 + 0.1 * (p["k"] - 5) ** 2 + (p["c"] != "b") + \
        (1 - math.cos(math.radians(p["angle"] - 350)))


def test_cma_rounds_are_distinct_and_find_every_kind():
    opt = Optimizer(MIXED, 300, seed=4, method="cma", parallel=4)
    while (trials := opt.ask()) is not None:
        assert len({t.unit for t in trials}) == len(trials)
        for t in trials:
            opt.tell(t, mixed(t.params))
    best = opt.best.params
    assert best["k"] == 5 and best["c"] == "b" and abs(best["x"] - 0.7) < 0.01
    assert min(abs(best["angle"] - 350), 360 - abs(best["angle"] - 350)) < 5  # across the seam
    assert {t.params["c"] for t in opt.trials} == {"a", "b", "c"}
    assert len({t.params["k"] for t in opt.trials}) >= 5  # the margin keeps integers moving


@pytest.mark.parametrize("method", ["gp", "auto"])
def test_a_finite_space_is_covered_before_any_configuration_repeats(method):
    twelve = {"k": Int(0, 2), "c": Categorical(["a", "b", "c", "d"])}
    result = minimize(lambda p: p["k"] + (p["c"] == "b"), twelve, 12, seed=3, method=method)
    assert result.n_evaluations == 12
    assert len({tuple(t.params.values()) for t in result.trials}) == 12
    bits = {f"b{i}": Int(0, 1) for i in range(6)}  # 64 corners; parallel rounds too
    result = minimize(lambda p: sum(p.values()), bits, 64, seed=5, method=method, parallel=3)
    assert result.n_evaluations == 64 and result.best.value == 0


def test_cma_on_a_tiny_discrete_space_answers_repeats_from_the_record_until_it_is_covered():
    result = minimize(lambda p: (p["c"] == "b") + p["k"], {"c": Categorical(["a", "b"]),
                      "k": Int(0, 1)}, 40, seed=1, method="cma")
    assert result.n_evaluations == 4 and result.n_trials == 4 + result.n_reused < 40
    assert result.best.params == {"c": "a", "k": 0}


def test_gp_share_of_an_auto_run():
    assert gp_trials(Space({"x": Real(0, 1)})) == 300
    assert gp_trials(Space({f"x{i}": Real(0, 1) for i in range(5)})) == 300
    assert gp_trials(Space({f"x{i}": Real(0, 1) for i in range(6)})) == 0
    mostly_choices = {"a": Categorical(["p", "q"]), "b": Categorical(["p", "q"]), "x": Real(0, 1)}
    assert gp_trials(Space(mostly_choices)) is None
    many_choices = {f"c{i}": Categorical(["p", "q"]) for i in range(8)} | {"x": Real(0, 1)}
    assert gp_trials(Space(many_choices)) is None
    # Integers or categories: the GP up to 12 parameters, then CMA-ES; a grid
    # stays with the GP, which never repeats a configuration while others remain.
    assert gp_trials(Space({f"n{i}": Int(0, 9) for i in range(4)} | {"x": Real(0, 1)})) == 300
    assert gp_trials(Space({f"n{i}": Int(0, 9) for i in range(12)})) is None
    assert gp_trials(Space({f"n{i}": Int(0, 9) for i in range(13)})) == 0


def test_the_first_phase_follows_the_dimension_the_budget_and_the_kinds():
    six = {f"x{i}": Real(-1, 1) for i in range(6)}
    assert first_phase(Space({"x": Real(0, 1)}), 50) == "gp"  # 50 trials per parameter
    assert first_phase(Space({"x": Real(0, 1)}), 51) == "cma"
    assert first_phase(Space({"x": Real(0, 1), "c": Categorical(["a", "b"])}), 10_000) == "gp"
    three = {f"x{i}": Real(-1, 1) for i in range(3)}
    assert first_phase(Space(three), 60) == "local"  # 20 trials per parameter
    assert first_phase(Space(three), 61) == "gp"
    assert first_phase(Space(three), 150) == "gp"
    assert first_phase(Space(three), 151) == "cma"
    assert first_phase(Space({"x": Real(0, 1), "y": Real(0, 1)}), 10) == "gp"
    assert first_phase(Space(three | {"c": Categorical(["a", "b"])}), 20) == "gp"
    assert first_phase(Space(six), 300) == "local"  # 50 trials per parameter
    assert first_phase(Space(six), 301) == "cma"
    # Any integer or categorical parameter: the GP, whatever the budget.
    assert first_phase(Space(six | {"n": Int(0, 9)}), 100) == "gp"
    assert first_phase(Space(six | {"c": Categorical(["a", "b"])}), 100) == "gp"
    assert first_phase(Space(three | {"n": Int(0, 9)}), 10_000) == "gp"
    grids = {f"n{i}": Int(0, 9) for i in range(13)}
    assert first_phase(Space(grids), 100) == "cma"  # never the trust region on a grid


@pytest.mark.parametrize("dimension", [3, 6])
def test_auto_with_a_large_budget_is_cma_from_the_first_trial(dimension):
    space = {f"x{i}": Real(-1, 1) for i in range(dimension)}

    def f(p):
        return sum((v - 0.2) ** 2 for v in p.values())

    auto = minimize(f, space, 400, seed=2, method="auto")
    cma = minimize(f, space, 400, seed=2, method="cma")
    assert [t.unit for t in auto.trials] == [t.unit for t in cma.trials]


def test_auto_with_a_small_budget_descends_from_the_centre_then_hands_over(tmp_path):
    space = {f"x{i}": Real(-1, 1) for i in range(6)}

    def f(p):
        return sum((i + 1) * (p[f"x{i}"] - 0.2) ** 2 for i in range(6))

    path = tmp_path / "run.jsonl"
    opt = Optimizer(space, 300, seed=2, method="auto", journal=path)
    phases = {}  # by trial number (a repeat answered from the record is never asked)
    while (trials := opt.ask()) is not None:
        for t in trials:
            phases[t.number] = opt._method.phase
            opt.tell(t, f(t.params))
    opt.close()
    assert opt.trials[0].params == {f"x{i}": 0.0 for i in range(6)}  # the centre
    handed = min(n for n, phase in phases.items() if phase == "cma")
    assert {phases[n] for n in phases if n < handed} == {"local"}
    assert {phases[n] for n in phases if n >= handed} == {"cma"}
    assert opt.best.value < 1e-10 and opt.best.number < handed
    # Killed after the hand-over and resumed: the same trials, bit for bit.
    cut = handed + 7
    lines = path.read_text().splitlines(keepends=True)
    path.write_text("".join(lines[:cut + 1]))
    resumed = minimize(f, space, 300, seed=2, method="auto", journal=path)
    assert [t.unit for t in resumed.trials] == [t.unit for t in opt.trials]
    # Resumed in the trust region with a budget that alone would choose
    # CMA-ES: the choice stays the one the run began with.
    path.write_text("".join(lines[:31]))
    raised = minimize(f, space, 400, seed=2, method="auto", journal=path)
    assert [t.unit for t in raised.trials[:40]] == [t.unit for t in opt.trials[:40]]


def test_auto_hands_over_to_cma_around_the_best_point(early_hand_over):
    space = {"x": Real(-5, 5), "y": Real(-5, 5), "z": Real(-5, 5)}

    def f(p):
        return (p["x"] - 1) ** 2 + (p["y"] + 2) ** 2 + 3 * (p["z"] - 0.5) ** 2

    opt = Optimizer(space, 150, seed=3, method="auto")  # the GP first: 50 per parameter
    phases = []
    while (trials := opt.ask()) is not None:
        phases.append(opt._method.phase)
        for t in trials:
            opt.tell(t, f(t.params))
    assert phases[:12] == ["gp"] * 12 and set(phases[12:]) == {"cma"}
    incumbent = min(opt.trials[:12], key=lambda t: t.value)
    first_cma = opt.trials[12:20]
    offsets = sorted(abs(t.params[k] - incumbent.params[k]) for t in first_cma for k in "xyz")
    assert offsets[len(offsets) // 2] < 2.0  # around the incumbent, not the whole box
    assert opt.best.value < 1e-2
    # The same run again, and a different seed, for determinism.
    again = Optimizer(space, 150, seed=3, method="auto")
    while (trials := again.ask()) is not None:
        for t in trials:
            again.tell(t, f(t.params))
    assert [t.unit for t in again.trials] == [t.unit for t in opt.trials]


def test_cma_failures_get_the_stand_in_and_never_win():
    opt = Optimizer({"x": Real(0, 1), "y": Real(0, 1)}, 120, seed=2, method="cma", parallel=3)
    while (trials := opt.ask()) is not None:
        for t in trials:
            opt.tell(t, RuntimeError("diverged") if t.params["x"] > 0.8 else t.params["y"])
    failed = [t for t in opt.trials if t.state is TrialState.FAILED]
    assert failed and opt.best.state is TrialState.COMPLETE and opt.best.params["x"] <= 0.8
    assert opt.best.value < 0.01


@pytest.mark.parametrize("method", ["cma", "auto"])
def test_a_finished_journal_is_replayed_without_calling_the_objective(tmp_path, method):
    path = tmp_path / "run.jsonl"
    first = minimize(lambda p: p["x"] ** 2, {"x": Real(-1, 1)}, 30, seed=1, method=method,
                     journal=path)
    again = minimize(lambda p: 1 / 0, {"x": Real(-1, 1)}, 30, seed=1, method=method, journal=path)
    assert [t.unit for t in again.trials] == [t.unit for t in first.trials]


def test_auto_is_the_default_and_a_journal_keeps_its_method(tmp_path):
    assert Optimizer({"x": Real(0, 1)}, 5).method == "auto"
    path = tmp_path / "run.jsonl"
    first = minimize(lambda p: p["x"], {"x": Real(0, 1)}, 10, method="batch", journal=path)
    # Resumed without a method: the journal's, not the default.
    with Optimizer({"x": Real(0, 1)}, 12, journal=path) as resumed:
        assert resumed.method == "batch"
        assert [t.unit for t in resumed.trials[:10]] == [t.unit for t in first.trials]


def valley(p):
    return sum((i + 1) * (p[f"x{i}"] - 0.3) ** 2 for i in range(6)) + abs(p["x0"] - p["x1"])


def test_the_trust_region_gives_the_same_rounds_on_every_executor():
    import concurrent.futures as cf
    import multiprocessing as mp

    space = {f"x{i}": Real(-1, 1) for i in range(6)}
    runs = [minimize(valley, space, 120, seed=4, parallel=3)]
    with cf.ThreadPoolExecutor(3) as pool:
        runs.append(minimize(valley, space, 120, seed=4, parallel=3, executor=pool))
    with cf.ProcessPoolExecutor(2, mp_context=mp.get_context("forkserver")) as pool:
        runs.append(minimize(valley, space, 120, seed=4, parallel=3, executor=pool))
    units = [[t.unit for t in r.trials] for r in runs]
    assert units[0] == units[1] == units[2] and len(set(units[0])) == 120  # no repeats in rounds
    assert runs[0].best.value < 0.05
