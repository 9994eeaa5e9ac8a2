"""The journal: resuming after a crash gives the uninterrupted run, bit for bit."""

import json
import os
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


@pytest.mark.parametrize("mode", ["batch", "online", "gp", "cma", "auto"])
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
    for changed in [{"seed": 2}, {"method": "online"}, {"direction": "maximize"}]:
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


def test_a_file_that_is_not_a_journal_is_refused_and_left_as_it_was(tmp_path):
    for name, content in [("notes.txt", b"remember the milk"), ("data.csv", b"a,b,c\n"),
                          ("data2.csv", b"a,b\n1,2"), ("blank.txt", b"\n"),
                          ("other.jsonl", b'{"something": "else"}\n{"number": 0')]:
        path = tmp_path / name
        path.write_bytes(content)
        with pytest.raises(JournalError, match="not a vordaopt journal"):
            minimize(objective, SPACE, 10, seed=1, journal=path)
        assert path.read_bytes() == content


def test_only_a_torn_journal_line_is_cut(tmp_path):
    path = tmp_path / "run.jsonl"
    full = minimize(objective, SPACE, 12, seed=1, journal=path)
    lines = path.read_bytes().splitlines(keepends=True)
    # A torn record (a prefix of a line this layer writes) is cut with a warning.
    path.write_bytes(b"".join(lines[:5]) + lines[5][:17])
    with pytest.warns(RuntimeWarning, match="cut 17 bytes"):
        assert trial_list(minimize(objective, SPACE, 12, seed=1, journal=path)) == trial_list(full)
    # Anything else after a valid header is refused, and the file kept.
    for tail in [b"hello", b"{\"numbers\": 3", lines[5][:-1].replace(b"number", b"nombre")]:
        damaged = b"".join(lines[:5]) + tail
        path.write_bytes(damaged)
        with pytest.raises(JournalError, match="line 6"):
            minimize(objective, SPACE, 12, seed=1, journal=path)
        assert path.read_bytes() == damaged
    # A header torn while the file was being created is the only other cut.
    path.write_bytes(lines[0][:30])
    with pytest.warns(RuntimeWarning, match="cut 30 bytes"):
        minimize(objective, SPACE, 12, seed=1, journal=path)


@pytest.mark.parametrize("damage, message", [
    (lambda r: r.pop("params"), '"params" must be an object'),
    (lambda r: r.update(state="running"), '"state" must be one of'),
    (lambda r: r.update(value="0.5"), 'needs a finite "value"'),
    (lambda r: r.update(unit=r["unit"][:1]), '"unit" must hold 3 coordinates'),
    (lambda r: r.update(unit=[1.5] + r["unit"][1:]), '"unit" must be a list of numbers from 0 to 1'),
    (lambda r: r.update(params={**r["params"], "extra": 1}), "exactly the space's parameters"),
    (lambda r: r.update(number=0), "trial 0 is recorded twice"),
    (lambda r: r.update(reports=[[2, 0.5, 0], [2, 0.4, 0]]), 'the steps of "reports" must increase'),
    (lambda r: r.update(reports=[[1, "0.5", 0]]), '"reports" must be a list of'),
    (lambda r: r.update(state="pruned"), "a pruned trial has no value"),
])
def test_load_show_and_resume_refuse_the_same_bad_lines(tmp_path, damage, message):
    path = tmp_path / "run.jsonl"
    minimize(objective, SPACE, 12, seed=1, journal=path)
    lines = [json.loads(line) for line in path.read_text().splitlines()]
    damage(lines[4])
    path.write_text("".join(json.dumps(line) + "\n" for line in lines))
    for read in (vordaopt.load, lambda p: minimize(objective, SPACE, 12, seed=1, journal=p)):
        with pytest.raises(JournalError, match=f"line 5: .*{message}"):
            read(path)
    shown = subprocess.run([sys.executable, "-m", "vordaopt", "show", str(path)],
                           capture_output=True, text=True)
    assert shown.returncode == 1 and "line 5: " in shown.stderr
    assert "Traceback" not in shown.stderr


def test_file_system_errors_name_the_journal(tmp_path):
    missing = tmp_path / "no" / "such" / "folder" / "run.jsonl"
    with pytest.raises(JournalError, match=f"cannot open the journal {missing}"):
        minimize(objective, SPACE, 5, journal=missing)
    with pytest.raises(JournalError, match=f"cannot read the journal {missing}"):
        vordaopt.load(missing)
    with pytest.raises(JournalError, match="must be a regular file"):
        minimize(objective, SPACE, 5, journal="/dev/full")
    # A disk that fills up: a child whose files may not grow past 2 KiB.
    full = subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
        import resource, sys
        sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})
        resource.setrlimit(resource.RLIMIT_FSIZE, (2048, 2048))
        from test_journal import SPACE, objective
        from vordaopt import minimize
        minimize(objective, SPACE, 50, journal={str(tmp_path / "full.jsonl")!r})
    """)], capture_output=True, text=True)
    assert f"JournalError: cannot write the journal {tmp_path / 'full.jsonl'}: File too large" \
        in full.stderr


def test_a_fifo_or_a_folder_is_no_journal_and_hangs_nothing(tmp_path):
    fifo = tmp_path / "fifo.jsonl"
    os.mkfifo(fifo)  # opening it to read would wait for a writer that never comes
    (tmp_path / "folder.jsonl").mkdir()
    for path in (fifo, tmp_path / "folder.jsonl"):
        with pytest.raises(JournalError, match="must be a regular file|cannot"):
            minimize(objective, SPACE, 3, journal=path)
        with pytest.raises(JournalError):
            vordaopt.load(path)
        shown = subprocess.run([sys.executable, "-m", "vordaopt", "show", str(path)],
                               capture_output=True, text=True, timeout=60)
        assert shown.returncode == 1 and "Traceback" not in shown.stderr
