"""Plots: what each figure draws (points, axis scales, labels), from a result or a journal."""

import math

import pytest

pytest.importorskip("matplotlib")

from vordaopt import Categorical, Int, Real, TrialState, minimize  # noqa: E402
from vordaopt import plot  # noqa: E402

SPACE = {"lr": Real(1e-4, 1.0, log=True), "depth": Int(1, 8), "kind": Categorical(["a", "b", "c"])}


def objective(p):
    if p["depth"] == 8:
        raise ValueError("too deep")
    return (math.log10(p["lr"]) + 2) ** 2 + abs(p["depth"] - 3) + {"a": 1, "b": 0, "c": 2}[p["kind"]]


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    path = tmp_path_factory.mktemp("plot") / "run.jsonl"
    result = minimize(objective, SPACE, 60, seed=1, mode="online", catch=ValueError, journal=path)
    assert result.n_failed > 0
    return result, path


def offsets(collection):
    return collection.get_offsets()


def test_convergence_draws_every_trial_and_marks_failures(run):
    result, path = run
    for source in (result, path):
        fig = plot.convergence(source)
        ax = fig.axes[0]
        by_label = {c.get_label(): c for c in ax.collections}
        complete = [t for t in result.trials if t.state is TrialState.COMPLETE]
        assert len(offsets(by_label["trial"])) == len(complete)
        assert len(offsets(by_label["failed"])) == result.n_failed
        best_line = [line for line in ax.lines if line.get_label() == "best so far"][0]
        assert min(best_line.get_ydata()) == result.best_value
        assert list(best_line.get_ydata()) == sorted(best_line.get_ydata(), reverse=True)
        assert ax.get_xlabel() == "trial" and ax.get_ylabel() == "value"


def test_slices_use_log_axes_and_choice_labels(run):
    result, path = run
    fig = plot.slices(path)
    axes = {ax.get_xlabel(): ax for ax in fig.axes}
    assert set(axes) == {"lr", "depth", "kind"}
    assert axes["lr"].get_xscale() == "log" and axes["depth"].get_xscale() == "linear"
    assert [t.get_text() for t in axes["kind"].get_xticklabels()] == ["a", "b", "c"]
    complete = sum(t.state is TrialState.COMPLETE for t in result.trials)
    assert all(len(offsets(ax.collections[0])) == complete for ax in fig.axes)


def test_parallel_coordinates_draw_the_best_trials(run):
    result, _ = run
    fig = plot.parallel_coordinates(result, top=7)
    ax = fig.axes[0]
    lines = [line for line in ax.lines if len(line.get_xdata()) == 3]
    assert len(lines) == 7
    assert [t.get_text() for t in ax.get_xticklabels()] == ["depth", "kind", "lr"]
    best_unit = list(result.best.unit)
    assert list(lines[-1].get_ydata()) == best_unit  # the best is drawn last, on top
    fig.savefig(_buffer(), format="png")


def _buffer():
    import io

    return io.BytesIO()


def test_convergence_of_a_run_without_values_draws_nothing_and_says_so():
    def fails(p):
        raise ValueError("broken")

    result = minimize(fails, SPACE, 5, seed=1, catch=ValueError)
    ax = plot.convergence(result).axes[0]
    assert not ax.collections and not ax.lines
    assert [t.get_text() for t in ax.texts] == ["no complete trial yet (5 failed)"]


def test_front_draws_each_pair_of_objectives_and_marks_the_front(tmp_path):
    def three(p):
        return {"a": p["x"], "b": 1 - p["x"] + p["y"], "c": p["y"] ** 2, "m": p["y"]}

    result = minimize(three, {"x": Real(0, 1), "y": Real(0, 1)}, 20, seed=1,
                      objectives={"a": "minimize", "b": "minimize", "c": "maximize"},
                      constraints={"m": (None, 0.8)}, journal=tmp_path / "mo.jsonl")
    fig = plot.front(tmp_path / "mo.jsonl")
    assert len(fig.axes) == 3  # (a, b), (a, c), (b, c)
    drawn = offsets(fig.axes[0].collections[-1])
    assert sorted(map(tuple, drawn)) == sorted((t.values[0], t.values[1])
                                               for t in result.pareto_front)
    with pytest.raises(ValueError, match="two or more objectives"):
        plot.front(minimize(lambda p: p["x"], {"x": Real(0, 1)}, 3))
