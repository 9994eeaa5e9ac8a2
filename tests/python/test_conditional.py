"""Conditional spaces: a categorical whose choices carry sub-spaces."""

import json
import pickle

import pytest

import vordaopt
from vordaopt import Categorical, Int, Real, Space, TrialState, minimize, space_from_json, space_to_json

GAMMA = Real(1e-4, 10, log=True)
SVC_LIKE = {"C": Real(1e-3, 1e3, log=True),
            "kernel": Categorical({"rbf": {"gamma": GAMMA},
                                   "poly": {"degree": Int(2, 5), "gamma": GAMMA},
                                   "linear": {}})}
ACTIVE = {"rbf": {"C", "kernel", "gamma"}, "poly": {"C", "kernel", "gamma", "degree"},
          "linear": {"C", "kernel"}}


def loss(p):
    return (abs(p["C"] - 1) + {"rbf": 0.2, "poly": 0.0, "linear": 0.5}[p["kernel"]]
            + abs(p.get("degree", 3) - 3) + abs(p.get("gamma", 1.0) - 1.0) / 10)


def test_the_space_flattens_and_round_trips_through_json_pickle_and_a_flat_copy():
    space = Space(SVC_LIKE)
    assert space.names == ("C", "degree", "gamma", "kernel") and space.conditional
    assert space.size is None
    assert Space({"k": Categorical({"a": {"n": Int(1, 3)}, "b": None, "c": {}})}).size == 5
    document = space_to_json(space)
    assert document["kernel"]["choices"]["poly"]["degree"] == {"type": "int", "low": 2, "high": 5}
    assert "gamma" not in document  # written where it was declared
    for again in (space_from_json(json.dumps(document)), pickle.loads(pickle.dumps(space)),
                  Space(dict(space))):
        assert again.names == space.names and space_to_json(again) == document
    # Nested sub-spaces: "depth" is active only under kind=tree and booster=gbtree.
    nested = Space({"kind": Categorical({"tree": {"booster": Categorical(
        {"gbtree": {"depth": Int(1, 9)}, "dart": {}})}, "linear": {}})})
    unit = {"booster": 0.25, "depth": 0.5, "kind": 0.25}
    assert nested.decode(unit) == {"booster": "gbtree", "depth": 5, "kind": "tree"}
    assert nested.decode({**unit, "kind": 0.75}) == {"kind": "linear"}


@pytest.mark.parametrize("params, error, text", [
    ({"k": Categorical({"a": {"x": Real(0, 1)}, "b": {"x": Real(0, 2)}})}, ValueError,
     "'x' is declared twice with different kinds"),
    ({"k": Categorical({"a": [Real(0, 1)]})}, TypeError, "sub-space of choice 'a' must be a dict"),
    ({"x": Int(0, 3), "k": Categorical({"a": {"x": Real(0, 1)}})}, ValueError, "declared twice"),
])
def test_a_malformed_conditional_space_is_refused(params, error, text):
    with pytest.raises(error, match=text):
        Space(params)


def test_json_needs_string_choices_for_sub_spaces():
    with pytest.raises(TypeError, match="choices that carry sub-spaces to be strings"):
        space_to_json({"k": Categorical({1: {"x": Real(0, 1)}, 2: {}})})


@pytest.mark.parametrize("method", ["auto", "gp", "cma", "batch", "online"])
def test_the_objective_receives_only_the_active_parameters(tmp_path, method):
    seen = []

    def objective(p):
        seen.append(dict(p))
        return loss(p)

    path = tmp_path / "run.jsonl"
    result = minimize(objective, SVC_LIKE, 40, method=method, journal=path)
    assert seen and all(set(p) == ACTIVE[p["kernel"]] for p in seen)
    assert {p["kernel"] for p in seen} == set(ACTIVE)
    loaded = vordaopt.load(path)
    assert [t.params for t in loaded.trials] == [t.params for t in result.trials]
    # The journal resumes to the same run.
    again = minimize(objective, SVC_LIKE, 40, method=method, journal=path)
    assert [t.params for t in again.trials] == [t.params for t in result.trials]


def test_points_that_differ_only_where_nothing_is_read_are_one_configuration():
    opt = vordaopt.Optimizer(SVC_LIKE, 10)
    space = opt.space
    linear = space.encode({"C": 1.0, "kernel": "linear"})
    first = {**linear, "degree": 0.1, "gamma": 0.2}
    second = {**linear, "degree": 0.9, "gamma": 0.7}
    assert space.decode(first) == space.decode(second) == {"C": 1.0, "kernel": "linear"}
    units = [tuple(u[n] for n in space.names) for u in (first, second)]
    assert space.canonical(units[0]) == space.canonical(units[1])
    assert space.point_key(space.decode(first), units[0]) == space.point_key(space.decode(second), units[1])
    result = minimize(loss, SVC_LIKE, 4, initial=[{"C": 1.0, "kernel": "linear", "gamma": 5.0},
                                                  {"C": 1.0, "kernel": "linear", "degree": 4}])
    assert result.trials[0].params == {"C": 1.0, "kernel": "linear"}  # gamma dropped: inactive
    assert result.trials[1].state is TrialState.REUSED


def test_importance_plots_and_the_table_show_inactive_values_as_absent():
    result = minimize(loss, SVC_LIKE, 40, seed=1)
    shares = vordaopt.importance(result)
    assert set(shares) == {"C", "degree", "gamma", "kernel"}
    assert abs(sum(shares.values()) - 1) < 1e-9
    pytest.importorskip("pandas")
    frame = result.to_pandas()
    linear = frame[frame["params_kernel"] == "linear"]
    assert len(linear) and linear["params_gamma"].isna().all() and linear["params_degree"].isna().all()
    pytest.importorskip("matplotlib")
    from vordaopt import plot

    plot.slices(result)
    plot.parallel_coordinates(result)


def test_vordaopt_show_lists_every_parameter_and_marks_the_inactive(tmp_path):
    import subprocess
    import sys

    path = tmp_path / "run.jsonl"
    minimize(loss, SVC_LIKE, 30, seed=1, journal=path)
    shown = subprocess.run([sys.executable, "-m", "vordaopt", "show", str(path)],
                           capture_output=True, text=True, check=True).stdout
    head, *rows = shown.split("\n\n", 1)[1].splitlines()
    names = head.split()
    assert names[:2] == ["trial", "value"] and {"C", "gamma", "kernel"} <= set(names)
    cells = [dict(zip(names, row.split())) for row in rows]
    assert any(c["kernel"] == "linear" for c in cells)
    assert all((c["gamma"] == "-") == (c["kernel"] == "linear") for c in cells)


def test_the_gp_learns_inactive_coordinates_as_proposed_unless_told_to_impute(monkeypatch):
    from vordaopt.methods.gp import GpMethod

    space = Space(SVC_LIKE)
    unit = tuple(space.encode({"C": 2.0, "kernel": "linear", "degree": 4, "gamma": 0.1})[n]
                 for n in space.names)
    gp = GpMethod(space, 0)
    gp.observe_point(unit, 1.0)
    assert gp.points == list(unit)
    monkeypatch.setattr(GpMethod, "impute_inactive", True)
    imputed = GpMethod(space, 0)
    imputed.observe_point(unit, 1.0)
    assert imputed.points == [unit[0], 0.5, 0.5, unit[3]]
    assert imputed.propose_point([unit]) != unit  # pending points are imputed as well
