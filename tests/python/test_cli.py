"""The command line: tuning real programs, interrupting and resuming, show and plot."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import vordaopt
from vordaopt import TrialState
from vordaopt.command_template import CommandTemplate, UsageError, format_value

from conftest import default_signals

SPACE = {
    "x": {"type": "real", "low": -5, "high": 5},
    "n": {"type": "int", "low": 1, "high": 4},
    "c": {"type": "categorical", "choices": ["plain", "with space"]},
}

# Prints a value; fails (exit 3) for x > 3; hangs for n == 4 and x < -3.
PROGRAM = textwrap.dedent("""
    import json, os, sys, time
    x, n, c = float(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    assert json.loads(os.environ["VORDAOPT_PARAMS"]) == {"c": c, "n": n, "x": x}
    if x > 3:
        print("diverged", file=sys.stderr)
        sys.exit(3)
    if n == 4 and x < -3:
        time.sleep(60)
    time.sleep(0.03)
    print("epoch 1")
    print((x - 1) ** 2 + n + (c == "with space"))
""")


@pytest.fixture
def project(tmp_path):
    (tmp_path / "space.json").write_text(json.dumps(SPACE))
    (tmp_path / "train.py").write_text(PROGRAM)
    return tmp_path


def vordaopt_cli(folder, *args, **kwargs):
    return subprocess.run([sys.executable, "-m", "vordaopt", *args], cwd=folder,
                          capture_output=True, text=True, **kwargs)


RUN = ["run", "space.json", "--budget", "24", "--mode", "online", "--trial-timeout", "1",
       "--quiet", "--", sys.executable, "train.py", "{x}", "{n}", "{c}"]


def trials_of(path):
    return [(t.number, t.params, t.unit, t.value, t.state) for t in vordaopt.load(path).trials]


def test_interrupted_run_resumes_to_the_uninterrupted_one(project):
    full = subprocess.run([sys.executable, "-m", "vordaopt", *RUN[:4], "--journal", "full.jsonl",
                           *RUN[4:]], cwd=project, capture_output=True, text=True)
    assert full.returncode == 0, full.stderr
    assert "reproduce it with:" in full.stdout

    journal = project / "part.jsonl"
    args = [sys.executable, "-m", "vordaopt", *RUN[:4], "--journal", "part.jsonl", *RUN[4:]]
    proc = subprocess.Popen(args, cwd=project, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, start_new_session=True, preexec_fn=default_signals)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        if journal.exists() and len(journal.read_text().splitlines()) >= 8:
            break
        time.sleep(0.01)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 130, err
    assert "run the same command line again to resume" in err
    lines = journal.read_text().splitlines()
    assert all(json.loads(line) for line in lines)  # every line whole
    assert len(lines) - 1 < 24

    resumed = subprocess.run(args, cwd=project, capture_output=True, text=True)
    assert resumed.returncode == 0, resumed.stderr
    assert "resuming part.jsonl" in resumed.stderr
    assert trials_of(journal) == trials_of(project / "full.jsonl")

    result = vordaopt.load(journal)
    failed = [t for t in result.trials if t.state is TrialState.FAILED]
    errors = " ".join(t.error for t in failed)
    assert any(t.params["x"] > 3 for t in failed) and "exit status 3" in errors
    assert "diverged" in errors  # the last lines of stderr are kept
    timed_out = [t for t in failed if "timed out after 1 s" in t.error]
    assert all(t.params["n"] == 4 and t.params["x"] < -3 for t in timed_out)
    assert result.best.value == min(t.value for t in result.trials if t.value is not None)


def test_resuming_with_another_command_or_space_is_refused(project):
    assert vordaopt_cli(project, *RUN).returncode == 0
    other = RUN[:-1] + ["{n}"]
    refused = vordaopt_cli(project, *other)
    assert refused.returncode == 1 and "command" in refused.stderr
    (project / "space.json").write_text(json.dumps({**SPACE, "x": {"type": "real", "low": -6, "high": 5}}))
    refused = vordaopt_cli(project, *RUN)
    assert refused.returncode == 1 and "space" in refused.stderr


def test_bad_placeholders_and_spaces_fail_before_any_trial(project):
    bad = vordaopt_cli(project, "run", "space.json", "--budget", "5", "--",
                       sys.executable, "train.py", "{x}", "{depth}")
    assert bad.returncode == 2 and "placeholder {depth}" in bad.stderr
    assert not (project / "vordaopt-run.jsonl").exists()
    (project / "bad.json").write_text('{"lr": {"type": "real", "low": 0, "high": 1, "log": true}}')
    bad = vordaopt_cli(project, "run", "bad.json", "--budget", "5", "--", "true")
    assert bad.returncode == 2 and "parameter 'lr': log=True needs low > 0" in bad.stderr
    (project / "bad.json").write_text('{"c": {"type": "categorical", "choices": ["a"], "log": true}}')
    bad = vordaopt_cli(project, "run", "bad.json", "--budget", "5", "--", "true")
    assert bad.returncode == 2 and "log is accepted for real and int only" in bad.stderr


def test_templates():
    names = ["x", "n", "c"]
    t = CommandTemplate(["run", "--x={x}", "{{literal}}", "{c}-{n}"], names)
    assert t.render({"x": 0.1, "n": 3, "c": "a b"}) == ["run", "--x=0.1", "{literal}", "a b-3"]
    shell = CommandTemplate(["echo", "{c}", "|", "cat"], names, shell=True)
    assert shell.render({"c": "a b; rm -rf /", "x": 1.0, "n": 1}) == \
        ["echo", '"${VORDAOPT_VALUE_2}"', "|", "cat"]
    assert shell.command_line({"c": "a b; rm -rf /"}) == "echo 'a b; rm -rf /' | cat"
    for bad in ["{x", "x}", "{X}"]:
        with pytest.raises(UsageError):
            CommandTemplate([bad], names)
    assert [format_value(v) for v in (1e-05, 0.1 + 0.2, 7, True, None, "s")] == \
        ["1e-05", "0.30000000000000004", "7", "true", "null", "s"]
    assert float(format_value(0.1 + 0.2)) == 0.1 + 0.2


def test_shell_workdir_parallel_and_maximize(project):
    script = (f"pwd | grep -q /work/trial- && test -n \"$VORDAOPT_PARAMS\" && "
              f"{sys.executable} -c \"print({{x}})\"")
    done = vordaopt_cli(project, "run", "space.json", "--budget", "12", "--shell", "--maximize",
                        "--parallel", "3", "--workdir", "work", "--journal", "shell.jsonl",
                        "--quiet", "--", script)
    assert done.returncode == 0, done.stderr
    result = vordaopt.load(project / "shell.jsonl")
    assert result.direction == "maximize" and result.best.value == max(
        t.value for t in result.trials if t.value is not None)
    assert len(list((project / "work").iterdir())) == result.n_evaluations


def test_show_and_plot_from_the_command_line(project):
    assert vordaopt_cli(project, *RUN).returncode == 0
    shown = vordaopt_cli(project, "show", "vordaopt-run.jsonl")
    assert "best: trial" in shown.stdout and "complete" in shown.stdout
    assert shown.stdout.count("\n") >= 8  # the table of the ten best
    as_json = json.loads(vordaopt_cli(project, "show", "vordaopt-run.jsonl", "--json").stdout)
    assert as_json["counts"]["trials"] == 24 and len(as_json["top"]) == 10
    assert as_json["settings"]["command"][-3:] == ["{x}", "{n}", "{c}"]
    assert as_json["best"]["value"] == as_json["top"][0]["value"]
    for kind in ("convergence", "slices", "parallel"):
        drawn = vordaopt_cli(project, "plot", "vordaopt-run.jsonl", "-o", f"{kind}.png",
                             "--kind", kind)
        assert drawn.returncode == 0, drawn.stderr
        assert (project / f"{kind}.png").read_bytes().startswith(b"\x89PNG")


# --- hostile values, signals, unbounded output --------------------------------------------

HOSTILE = ["$(touch PWNED)", "`touch PWNED`", ";touch PWNED", "it's", "a b", "\"q\"", "back\\",
           "*", "", "-n", "$HOME", "!!", "\n"]
RECORDER = """
import json, sys
with open("args.jsonl", "a") as f:
    f.write(json.dumps(sys.argv[1:]) + "\\n")
print(len(sys.argv))
"""


@pytest.mark.parametrize("template, expected", [
    ("{exe} rec.py {c}", lambda c: [c]),
    ('{exe} rec.py "{c}"', lambda c: [c]),
    ('{exe} rec.py "[{c}]" x{c}y', lambda c: [f"[{c}]", f"x{c}y"]),
    ('{exe} rec.py "$(printf %s "{c}")"', lambda c: [c.rstrip("\n")]),
])
def test_shell_values_reach_the_program_unchanged_and_never_run(tmp_path, template, expected):
    (tmp_path / "rec.py").write_text(RECORDER)
    (tmp_path / "space.json").write_text(json.dumps(
        {"c": {"type": "categorical", "choices": HOSTILE}}))
    command = template.replace("{exe}", sys.executable)
    done = vordaopt_cli(tmp_path, "run", "space.json", "--budget", "40", "--mode", "online",
                        "--shell", "--quiet", "--", command)
    assert done.returncode == 0, done.stderr
    assert not (tmp_path / "PWNED").exists()
    seen = [json.loads(line) for line in (tmp_path / "args.jsonl").read_text().splitlines()]
    result = vordaopt.load(tmp_path / "vordaopt-run.jsonl")
    assert seen == [expected(t.params["c"]) for t in result.trials if t.reused_from is None]
    # The line printed to reproduce the best trial is safe to paste.
    line = done.stdout.split("reproduce it with:\n", 1)[1].strip()
    (tmp_path / "args.jsonl").unlink()
    subprocess.run(["sh", "-c", line], cwd=tmp_path, check=True, capture_output=True)
    assert json.loads((tmp_path / "args.jsonl").read_text()) == expected(result.best_params["c"])
    assert not (tmp_path / "PWNED").exists()


def test_shell_placeholders_no_variable_can_reach_are_refused(project):
    for command in ["echo '{c}'", "echo `echo {c}`", "echo \"{c}", "echo {c} \\"]:
        done = vordaopt_cli(project, "run", "space.json", "--budget", "4", "--shell", "--",
                            command)
        assert done.returncode == 2 and "vordaopt: error:" in done.stderr, command
        assert not (project / "vordaopt-run.jsonl").exists()


def test_sigterm_ends_the_commands_and_leaves_a_journal_to_resume(project):
    (project / "slow.py").write_text(textwrap.dedent("""
        import os, sys, time
        open(f"pid-{os.getpid()}", "w").close()
        time.sleep(0.05 if float(sys.argv[1]) < 0 else 60)
        print(sys.argv[1])
    """))
    args = [sys.executable, "-m", "vordaopt", "run", "space.json", "--budget", "30", "--mode",
            "online", "--parallel", "3", "--quiet", "--", sys.executable, "slow.py", "{x}"]
    for signum, status in [(signal.SIGTERM, 143), (signal.SIGHUP, 129)]:
        proc = subprocess.Popen(args, cwd=project, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, start_new_session=True,
                                preexec_fn=default_signals)
        deadline = time.monotonic() + 30
        while len(list(project.glob("pid-*"))) < 3 and time.monotonic() < deadline:
            time.sleep(0.02)
        time.sleep(0.2)
        proc.send_signal(signum)
        _, err = proc.communicate(timeout=30)
        assert proc.returncode == status, err
        assert f"stopped by {signal.Signals(signum).name}" in err and "to resume" in err
        for pid_file in project.glob("pid-*"):
            pid = int(pid_file.name[4:])
            with pytest.raises(ProcessLookupError):
                os.kill(pid, 0)  # every command has ended
            pid_file.unlink()
        vordaopt.load(project / "vordaopt-run.jsonl")  # a valid journal


def test_huge_output_is_read_as_a_stream_and_kept_bounded(project):
    (project / "loud.py").write_text(textwrap.dedent("""
        import sys
        block = "e" * 1_000_000 + "\\n"
        for _ in range(20):
            sys.stderr.write(block)
            sys.stdout.write("o" * 999_999 + "\\n")
        print(float(sys.argv[1]) ** 2)
        sys.exit(0 if float(sys.argv[1]) < 0 else 1)
    """))
    done = vordaopt_cli(project, "run", "space.json", "--budget", "4", "--mode", "online",
                        "--quiet", "--", sys.executable, "loud.py", "{x}")
    result = vordaopt.load(project / "vordaopt-run.jsonl")
    assert done.returncode in (0, 1), done.stderr
    assert (project / "vordaopt-run.jsonl").stat().st_size < 100_000
    assert all(t.value == t.params["x"] ** 2 for t in result.trials if t.value is not None)
    failed = [t for t in result.trials if t.error is not None]
    assert all("exit status 1" in t.error and len(t.error) < 10_000 for t in failed)


def test_command_line_errors_are_plain_messages(project):
    def cli(*args):
        done = vordaopt_cli(project, *args)
        assert "Traceback" not in done.stderr
        return done

    missing = cli("run", "space.json", "--budget", "3", "--", "no-such-program", "{x}")
    assert missing.returncode == 2 and "command not found: 'no-such-program'" in missing.stderr
    (project / "twice.json").write_text('{"x": {"type": "real", "low": 0, "high": 1}, '
                                        '"x": {"type": "real", "low": 0, "high": 2}}')
    twice = cli("run", "twice.json", "--budget", "3", "--", "echo", "{x}")
    assert twice.returncode == 2 and "key 'x' appears twice" in twice.stderr
    (project / "killer.py").write_text("import os, signal\nos.kill(os.getpid(), signal.SIGKILL)")
    killed = cli("run", "space.json", "--budget", "3", "--mode", "online", "--journal",
                 "killed.jsonl", "--", sys.executable, "killer.py", "{x}", "{n}")
    assert "parameter 'c' appears in no placeholder" in killed.stderr
    assert "%|" not in killed.stderr  # no progress bar when stderr is not a terminal
    assert all("killed by signal 9 (SIGKILL)" in t.error
               for t in vordaopt.load(project / "killed.jsonl").trials)
    unknown = cli("plot", "killed.jsonl", "-o", "x.xyz")
    assert unknown.returncode == 2 and "the file name must end in one of" in unknown.stderr
    shown = subprocess.run(f"{sys.executable} -m vordaopt show killed.jsonl | head -1",
                           shell=True, cwd=project, capture_output=True, text=True)
    assert shown.stdout.startswith("journal") and shown.stderr == ""


def test_printed_counts_agree_with_show_after_a_timeout(project):
    done = vordaopt_cli(project, "run", "space.json", "--budget", "20", "--timeout", "0.5",
                        "--quiet", "--", sys.executable, "train.py", "{x}", "{n}", "{c}")
    shown = json.loads(vordaopt_cli(project, "show", "vordaopt-run.jsonl", "--json").stdout)
    assert done.stdout.startswith(f"{shown['counts']['trials']} trials,")


@pytest.mark.parametrize("method", ["gp", "cma"])
def test_a_model_method_from_the_command_line(project, method):
    args = ["run", "space.json", "--budget", "10", "--method", method, "--parallel", "2",
            "--trial-timeout", "1", "--quiet", "--", sys.executable, "train.py", "{x}", "{n}",
            "{c}"]
    done = vordaopt_cli(project, *args)
    assert done.returncode == 0, done.stderr
    shown = json.loads(vordaopt_cli(project, "show", "vordaopt-run.jsonl", "--json").stdout)
    assert shown["settings"]["method"] == method and shown["counts"]["trials"] == 10
    again = vordaopt_cli(project, *args)  # a finished run resumes to itself
    assert again.returncode == 0 and again.stdout == done.stdout
    # Resumed with a larger budget and no --method: the journal's method goes on.
    more = vordaopt_cli(project, *args[:3], "14", *args[6:])
    assert more.returncode == 0, more.stderr
    shown = json.loads(vordaopt_cli(project, "show", "vordaopt-run.jsonl", "--json").stdout)
    assert shown["settings"]["method"] == method and shown["counts"]["trials"] == 14


def test_dashboard_options_and_a_second_run_in_the_same_folder(project):
    done = vordaopt_cli(project, "dashboard", ".", "--port", "70000")
    assert done.returncode == 2 and "a port is a number from 0 to 65535" in done.stderr
    assert "Traceback" not in done.stderr
    command = ["--quiet", "--", sys.executable, "train.py", "{x}", "{n}", "{c}"]
    assert vordaopt_cli(project, "run", "space.json", "--budget", "3", *command).returncode == 0
    other = vordaopt_cli(project, "run", "space.json", "--budget", "3", "--seed", "1", *command)
    assert other.returncode == 1 and "--journal NEW.jsonl" in other.stderr
    shown = vordaopt_cli(project, "show", "vordaopt-run.jsonl").stdout
    assert 'method="auto"' in shown and "mode" not in shown
