"""A run as a table: Result.to_pandas and `vordaopt show --csv`."""

import io
import math
import subprocess
import sys

import pytest

from vordaopt import Categorical, Real, TrialState, load, minimize

pd = pytest.importorskip("pandas")

SPACE = {"x": Real(0, 1), "k": Categorical(["a", "b"])}


def metrics(p):
    if p["x"] > 0.9:
        raise RuntimeError("diverged")
    return {"error": p["x"] ** 2, "speed": 1 - p["x"], "memory": 4 * p["x"], "epochs": 3}


def test_the_table_holds_every_trial_of_a_run_of_several_objectives(tmp_path):
    path = tmp_path / "run.jsonl"
    result = minimize(metrics, SPACE, 25, seed=2, objectives={"error": "minimize", "speed": "maximize"},
                      constraints={"memory": (None, 2.0)}, catch=RuntimeError, journal=path,
                      initial=[{"x": 0.95}])
    frame = result.to_pandas()
    assert list(frame.columns[:5]) == ["number", "state", "value_error", "value_speed", "feasible"]
    assert {"params_k", "params_x", "metrics_epochs", "metrics_memory"} <= set(frame.columns)
    assert len(frame) == len(result.trials)
    for row, t in zip(frame.itertuples(), result.trials):
        assert (row.number, row.state, row.params_x, row.params_k) == (
            t.number, t.state.value, t.params["x"], t.params["k"])
        if t.state is TrialState.FAILED:
            assert math.isnan(row.value_error) and "diverged" in row.error
        else:
            assert (row.value_error, row.value_speed, row.feasible) == (*t.values, t.feasible)
            assert row.metrics_epochs == 3
        assert row.ended >= row.started
        assert abs(row.duration - (row.ended - row.started)) < pd.Timedelta(microseconds=1)
    # The command line writes the same table as CSV, which pandas reads back.
    shown = subprocess.run([sys.executable, "-m", "vordaopt", "show", str(path), "--csv"],
                           capture_output=True, text=True, check=True).stdout
    back = pd.read_csv(io.StringIO(shown))
    loaded = load(path).to_pandas()
    assert list(back.columns) == list(loaded.columns)
    assert back["value_error"].equals(loaded["value_error"])
    assert (back["params_x"] == loaded["params_x"]).all()


def test_a_trials_last_report_is_in_its_row():
    def trained(p, trial):
        for step in range(3):
            trial.report(p["x"] * (3 - step), step)
        return p["x"]

    frame = minimize(trained, {"x": Real(0, 1)}, 5).to_pandas()
    assert list(frame.columns[:3]) == ["number", "state", "value"]
    assert (frame["last_step"] == 2).all()
    assert (frame["last_report"] == frame["params_x"]).all()


def test_without_pandas_the_error_names_the_extra(monkeypatch):
    result = minimize(lambda p: p["x"], {"x": Real(0, 1)}, 3)
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match=r"vordaopt\[pandas\]"):
        result.to_pandas()
