"""The journal: resuming after a crash gives the uninterrupted run, bit for bit."""

import json
import pathlib
import subprocess
import sys
import textwrap

import pytest

import vordaopt
from vordaopt import Categorical, Int, JournalError, Real, minimize

SPACE = {"x": Real(-5.0, 10.0), "n": Int(1, 64, log=True), "kind": Categorical(["a", "b", "c"])}


def objective(p):
    return (p["x"] - 1.5) ** 2 + abs(p["n"] - 9) / 3 + {"a": 0.0, "b": 0.5, "c": 1.0}[p["kind"]]


# The child runs minimize() with a journal and kills itself (SIGKILL: no
# cleanup of any kind) at its k-th objective call.
CHILD = textwrap.dedent("""
    import os, signal, sys
    sys.path.insert(0, {here!r})
    from test_journal import SPACE, objective
    from vordaopt import minimize
    kill_at = int(sys.argv[1])
    calls = 0
    def killing(p):
        global calls
        calls += 1
        if calls == kill_at:
            os.kill(os.getpid(), signal.SIGKILL)
        return objective(p)
    minimize(killing, SPACE, 90, seed=11, mode=sys.argv[2], journal=sys.argv[3])
""").format(here=str(pathlib.Path(__file__).parent))


def run_child(kill_at, mode, path):
    return subprocess.run([sys.executable, "-c", CHILD, str(kill_at), mode, str(path)],
                          capture_output=True, text=True)


def trial_list(result):
    return [(t.number, t.params, t.unit, t.value, t.state, t.reused_from) for t in result.trials]


@pytest.mark.parametrize("mode", ["batch", "online"])
def test_killed_runs_resume_to_the_uninterrupted_run(tmp_path, mode):
    path = tmp_path / "run.jsonl"
    kills = 0
    stderr = ""
    for kill_at in [3, 11, 2, 17, 9, 40, 1000]:
        done = run_child(kill_at, mode, path)
        stderr += done.stderr
        if done.returncode == 0:
            break
        assert done.returncode == -9, done.stderr
        kills += 1
        if kills == 2:
            # A crash in the middle of writing leaves a torn last line.
            with open(path, "ab") as f:
                f.write(b'{"number": 99, "state": "compl')
    assert kills >= 4
    assert "cut 30 bytes of a last line without its line feed" in stderr
    resumed = vordaopt.load(path)
    reference = minimize(objective, SPACE, 90, seed=11, mode=mode)
    assert trial_list(resumed) == trial_list(reference)
    assert resumed.best_value == reference.best_value
    # A finished run resumed once more evaluates nothing.
    again = minimize(lambda p: pytest.fail("evaluated again"), SPACE, 90, seed=11, mode=mode,
                     journal=path)
    assert trial_list(again) == trial_list(reference)


def test_another_runs_journal_is_refused(tmp_path):
    path = tmp_path / "run.jsonl"
    minimize(objective, SPACE, 20, seed=1, journal=path)
    for changed in [{"seed": 2}, {"budget": 21}, {"mode": "online"}, {"direction": "maximize"}]:
        settings = {"seed": 1, "budget": 20, **changed}
        budget = settings.pop("budget")
        with pytest.raises(JournalError, match="was written for another run.*" + next(iter(changed))):
            minimize(objective, SPACE, budget, journal=path, **settings)
    with pytest.raises(JournalError, match="space"):
        minimize(objective, {**SPACE, "x": Real(-5.0, 11.0)}, 20, seed=1, journal=path)


def test_a_second_writer_is_refused(tmp_path):
    path = tmp_path / "run.jsonl"

    def check_lock(trial, optimizer):
        if trial.number == 3:
            with pytest.raises(JournalError, match="in use by another process"):
                minimize(objective, SPACE, 20, seed=1, journal=path)

    minimize(objective, SPACE, 20, seed=1, journal=path, callbacks=[check_lock])
    minimize(objective, SPACE, 20, seed=1, journal=path)  # free again afterwards


def test_journal_lines(tmp_path):
    path = tmp_path / "run.jsonl"
    result = minimize(objective, SPACE, 30, seed=4, journal=path)
    lines = [json.loads(line) for line in path.read_text().splitlines()]
    header, records = lines[0], lines[1:]
    assert header["vordaopt_journal"] == 1 and header["budget"] == 30 and header["seed"] == 4
    assert header["space"]["n"] == {"type": "int", "low": 1, "high": 64, "log": True}
    assert len(records) == result.n_trials
    for record, trial in zip(sorted(records, key=lambda r: r["number"]), result.trials):
        assert tuple(record["unit"]) == trial.unit and record["value"] == trial.value
        assert record["state"] == trial.state.value
    loaded = vordaopt.load(path)
    assert loaded.best == result.best and loaded.n_evaluations == result.n_evaluations


def test_damage_above_the_last_line_is_an_error(tmp_path):
    path = tmp_path / "run.jsonl"
    minimize(objective, SPACE, 10, seed=1, journal=path)
    lines = path.read_text().splitlines(keepends=True)
    lines[2] = "garbage\n"
    path.write_text("".join(lines))
    with pytest.raises(JournalError, match="line 3 is not valid JSON"):
        minimize(objective, SPACE, 10, seed=1, journal=path)
    path.write_text('{"something": "else"}\n')
    with pytest.raises(JournalError, match="not a vordaopt journal"):
        vordaopt.load(path)
