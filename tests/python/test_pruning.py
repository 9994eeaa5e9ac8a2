"""Reports and pruning: the pruners' rules on hand-made curves, the optimizer's
checks, every method and executor, resume after a kill, and the command line."""

import concurrent.futures as cf
import math
import multiprocessing
import numbers
import pathlib
import subprocess
import sys
import textwrap
import time

import pytest

import vordaopt
from vordaopt import (HyperbandPruner, MedianPruner, Optimizer, Real, SuccessiveHalvingPruner,
                      TrialPruned, TrialState, minimize)
from vordaopt.methods import METHODS

SPACE = {"a": Real(0.0, 1.0), "b": Real(0.0, 1.0)}
# Workers that do not inherit this process's threads.
FORKSERVER = multiprocessing.get_context("forkserver")
STEPS = 9


def learning(p, trial):
    """A loss that falls with the steps towards a floor set by the parameters."""
    floor = (p["a"] - 0.3) ** 2 + (p["b"] - 0.6) ** 2
    for step in range(1, STEPS + 1):
        trial.report(floor + 1.0 / step, step)
        if trial.should_prune():
            raise TrialPruned()
    return floor + 1.0 / STEPS


def summary(result):
    return [(t.number, t.params, t.value, t.state, t.reports) for t in result.trials]


def steps_trained(result):
    return sum(len(t.reports) for t in result.trials)


def fed(state, curves):
    """A pruner state told the finished trials `curves`: number -> (complete, [(step, value)])."""
    for number, (complete, curve) in curves.items():
        state.add(number, complete, curve)
    return state


# --- the rules on hand-made curves -------------------------------------------------------


def test_median_compares_the_best_so_far_with_the_median_at_the_step():
    complete = {i: (True, [(1, v), (2, v - 1), (4, v - 2)]) for i, v in enumerate([5, 6, 7, 8])}
    state = fed(MedianPruner(n_startup_trials=4).start(), complete)
    # Median at step 1 of 5, 6, 7, 8 is 6.5 (the mean of the middle two).
    assert state.decide(9, [(1, 6.6)]) is True
    assert state.decide(9, [(1, 6.4)]) is False
    # The trial's best so far counts, not its last value: 4.0 at step 1 beats 5.5 at step 2.
    assert state.decide(9, [(1, 4.0), (2, 9.0)]) is False
    # No complete trial reported at step 3: nothing to compare with.
    assert state.decide(9, [(1, 6.4), (3, 100.0)]) is False
    # A pruned trial's curve is not part of the median.
    state.add(10, False, [(1, 0.0)])
    assert state.decide(9, [(1, 6.6)]) is True
    assert state.decide(9, [(1, math.nan)]) is True


def test_median_waits_for_its_startup_trials_warmup_steps_and_interval():
    curves = {i: (True, [(s, 1.0) for s in range(10)]) for i in range(3)}
    assert fed(MedianPruner(n_startup_trials=4).start(), curves).decide(5, [(0, 9.0)]) is False
    state = fed(MedianPruner(n_startup_trials=3, n_warmup_steps=2, interval_steps=3).start(), curves)
    assert [state.decide(5, [(s, 9.0)]) for s in range(10)] == [
        False, False, True, False, False, True, False, False, True, False]


def test_asha_keeps_the_best_third_at_each_rung():
    # Rungs at 1, 3, 9. The rung value is the first report at or after the rung's step.
    state = SuccessiveHalvingPruner().start()
    state.add(0, True, [(1, 5.0), (2, 4.0), (4, 3.0), (9, 1.0)])  # rung 3 gets 3.0 (step 4)
    assert state.rungs == {1: [5.0], 3: [3.0], 9: [1.0]}
    # Alone with one other at a rung, a trial goes on only if it is the better.
    assert state.decide(1, [(1, 4.0)]) is False
    assert state.decide(1, [(1, 6.0)]) is True
    # Only the rungs reached by the last report are judged: step 2 reaches none.
    assert state.decide(1, [(1, 4.0), (2, 99.0)]) is False
    for n, v in enumerate([6.0, 7.0, 8.0], start=2):
        state.add(n, False, [(1, v)])
    # Five values at rung 1 with this trial's: only the best goes on (floor(5 / 3) = 1).
    assert state.decide(9, [(1, 4.0)]) is False
    assert state.decide(9, [(1, 5.5)]) is True  # second of five
    state.add(5, False, [(1, 9.0)])
    # Six: the best floor(6 / 3) = 2 go on.
    assert state.decide(9, [(1, 5.5)]) is False  # second of six
    assert state.decide(9, [(1, 6.5)]) is True  # third of six
    # A report that jumps past rungs 3 and 9 is judged at both.
    assert state.decide(9, [(1, 1.0), (20, 2.0)]) is True  # 2.0 > 1.0 at rung 9
    assert state.decide(9, [(1, 1.0), (20, 0.5)]) is False


def test_asha_rungs_start_later_with_a_min_early_stopping_rate():
    state = SuccessiveHalvingPruner(min_resource=2, reduction_factor=2,
                                    min_early_stopping_rate=1).start()
    state.add(0, True, [(s, 1.0) for s in range(1, 20)])
    assert sorted(state.rungs) == [4, 8, 16]
    assert [state.decide(1, [(s, 5.0)]) for s in (2, 3, 4)] == [False, False, True]


def test_hyperband_brackets_share_trials_in_hyperbands_proportions():
    pruner = HyperbandPruner(max_resource=27)
    assert pruner.n_brackets == 4
    assert pruner.bracket_shares() == [27, 18, 6, 4]
    state = pruner.start()
    cycle = [state.bracket(n) for n in range(55)]
    assert [cycle.count(b) for b in range(4)] == [27, 18, 6, 4]
    assert cycle == [state.bracket(n + 55) for n in range(55)]
    assert cycle[:3] == [0, 1, 0]  # interleaved, not in blocks
    # A trial competes only in its bracket, whose first rung is min_resource * 3**b.
    zero, one = cycle.index(0), cycle.index(1)
    state.add(zero, True, [(1, 0.0), (3, 0.0)])
    assert state.decide(one, [(1, 5.0)]) is False  # bracket 1 has no rung at step 1
    assert state.decide(cycle.index(0, zero + 1), [(1, 5.0)]) is True
    assert HyperbandPruner(max_resource=8, min_resource=1, reduction_factor=3).n_brackets == 2


@pytest.mark.parametrize("make, message", [
    (lambda: MedianPruner(n_startup_trials=-1), "n_startup_trials must be a non-negative integer"),
    (lambda: MedianPruner(interval_steps=0), "interval_steps must be a positive integer"),
    (lambda: SuccessiveHalvingPruner(reduction_factor=1), "reduction_factor must be an integer of at least 2"),
    (lambda: SuccessiveHalvingPruner(min_resource=1.5), "min_resource must be a positive integer"),
    (lambda: HyperbandPruner(max_resource=2, min_resource=3), "max_resource must be an integer no smaller"),
])
def test_bad_pruner_settings_are_refused(make, message):
    with pytest.raises(ValueError, match=message):
        make()


# --- reports through the optimizer -------------------------------------------------------


def test_reports_are_checked_and_kept_with_the_trial():
    opt = Optimizer(SPACE, 5, seed=1, pruner=MedianPruner())
    trial = opt.ask()[0]
    assert opt.report(trial, 0.5, 1) is False
    for step, message in [(1, "reported step 1 after step 1: steps must increase"),
                          (0, "reported step 0 after step 1"),
                          (2.0, "step must be a non-negative integer"),
                          (True, "step must be a non-negative integer")]:
        with pytest.raises(ValueError, match=message):
            opt.report(trial, 0.4, step)
    for value in ("0.3", True, None):
        with pytest.raises(TypeError, match="a reported value must be a real number"):
            opt.report(trial, value, 2)
    assert opt.report(trial, math.inf, 3) is True  # non-finite: stopped under any pruner
    assert opt.report(trial, 0.1, 4) is True  # and advised so from then on
    with pytest.raises(TypeError, match="needs the value of trial 0"):
        opt.tell(trial)
    with pytest.raises(ValueError, match="a pruned trial has no value"):
        opt.tell(trial, 0.3, pruned=True)
    done = opt.tell(trial, pruned=True)
    assert done.state is TrialState.PRUNED and done.value is None and opt.best is None
    assert [(r.step, r.value) for r in done.reports] == [(1, 0.5), (3, None), (4, 0.1)]
    with pytest.raises(ValueError, match="trial 0 is not pending"):
        opt.report(trial, 0.1, 5)
    second = opt.ask()[0]
    assert opt.tell(second, TrialPruned()).state is TrialState.PRUNED


def test_without_a_pruner_reports_are_kept_and_nothing_is_stopped():
    with pytest.raises(ValueError, match="a pruner needs an objective that reports"):
        minimize(lambda p: 0.0, SPACE, 12, pruner=MedianPruner())
    result = minimize(learning, SPACE, 12, seed=2)
    assert result.n_pruned == 0 and steps_trained(result) == 12 * STEPS
    assert all([r.step for r in t.reports] == list(range(1, STEPS + 1)) for t in result.trials)


def test_a_pruned_trial_never_looks_better_to_the_method_than_a_complete_one():
    # Reports on another scale than the final value (an accuracy reported, a loss returned).
    opt = Optimizer(SPACE, 4, seed=0, method="gp", pruner=MedianPruner(n_startup_trials=0))
    opt.tell(opt.ask()[0], 5.0)
    for report in (0.9, 7.5):
        trial = opt.ask()[0]
        opt.report(trial, report, 1)
        opt.tell(trial, pruned=True)
    # Told the worst value so far, or its own report when that is worse.
    assert opt._method.values == [5.0, 5.0, 7.5]


@pytest.mark.parametrize("method", list(METHODS))
@pytest.mark.parametrize("pruner", [MedianPruner(), SuccessiveHalvingPruner(),
                                    HyperbandPruner(max_resource=STEPS)], ids=["median", "asha", "hyperband"])
def test_every_method_prunes_and_stays_deterministic(method, pruner):
    result = minimize(learning, SPACE, 30, seed=3, method=method, pruner=pruner)
    assert result.n_pruned > 0 and steps_trained(result) < 30 * STEPS
    assert result.best.state is TrialState.COMPLETE
    for t in result.trials:
        if t.state is TrialState.PRUNED:
            assert t.value is None and t.reports
    assert summary(result) == summary(minimize(learning, SPACE, 30, seed=3, method=method,
                                               pruner=pruner))


def learning_slowly(p, trial):
    time.sleep(0.001 * (1 + int(p["a"] * 1000) % 5))  # out-of-order finishes
    return learning(p, trial)


def test_threads_and_processes_report_like_the_serial_run():
    serial = minimize(learning, SPACE, 24, seed=4, pruner=MedianPruner(n_startup_trials=3))
    with cf.ThreadPoolExecutor(2) as threads:
        on_threads = minimize(learning, SPACE, 24, seed=4, executor=threads,
                              pruner=MedianPruner(n_startup_trials=3))
    with cf.ProcessPoolExecutor(2, mp_context=FORKSERVER) as processes:
        on_processes = minimize(learning, SPACE, 24, seed=4, executor=processes,
                                pruner=MedianPruner(n_startup_trials=3))
    # One trial at a time: every decision saw the same finished trials.
    assert summary(serial) == summary(on_threads) == summary(on_processes)
    assert serial.n_pruned > 0


@pytest.mark.parametrize("executor", ["threads", "processes"])
def test_parallel_trials_record_what_each_decision_saw(executor):
    pool = cf.ThreadPoolExecutor(3) if executor == "threads" else cf.ProcessPoolExecutor(3, mp_context=FORKSERVER)
    with pool:
        result = minimize(learning_slowly, SPACE, 30, seed=6, method="cma", parallel=3,
                          executor=pool, pruner=SuccessiveHalvingPruner())
    assert result.n_pruned > 0
    finished_before = {}
    for position, t in enumerate(sorted(result.trials, key=lambda t: t.ended)):
        finished_before[t.number] = position
    for t in result.trials:
        seen = [r.seen for r in t.reports]
        assert seen == sorted(seen) and seen[-1] <= finished_before[t.number]


def test_a_report_error_in_a_worker_process_reaches_the_objective():
    with cf.ProcessPoolExecutor(1, mp_context=FORKSERVER) as pool:
        result = minimize(twice_module_level, SPACE, 2, executor=pool, catch=ValueError)
    assert all("reported step 2 after step 2" in t.error for t in result.trials)


def twice_module_level(p, trial):
    trial.report(1.0, 2)
    trial.report(1.0, 2)
    return 0.0


@pytest.mark.cluster
def test_dask_workers_report_over_the_socket():
    distributed = pytest.importorskip("distributed")
    here = str(pathlib.Path(__file__).parent)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=50) as cluster, \
            distributed.Client(cluster) as client:
        client.run(lambda: sys.path.insert(0, here))
        serial = minimize(learning, SPACE, 20, seed=7, pruner=SuccessiveHalvingPruner())
        on_dask = minimize(learning, SPACE, 20, seed=7, pruner=SuccessiveHalvingPruner(),
                           executor=client)
    assert summary(serial) == summary(on_dask) and on_dask.n_pruned > 0


@pytest.mark.cluster
def test_ray_tasks_report_over_the_socket(ray_runtime):
    serial = minimize(learning, SPACE, 16, seed=9, pruner=MedianPruner(n_startup_trials=2))
    on_ray = minimize(learning, SPACE, 16, seed=9, pruner=MedianPruner(n_startup_trials=2),
                      executor=vordaopt.RayExecutor())
    assert summary(serial) == summary(on_ray) and on_ray.n_pruned > 0


# --- resume after a kill -----------------------------------------------------------------

CHILD = textwrap.dedent("""
    import os, signal, sys
    sys.path.insert(0, {here!r})
    from test_pruning import SPACE, learning
    from vordaopt import minimize, SuccessiveHalvingPruner
    kill_at = int(sys.argv[1])
    reports = 0
    class Killing:
        def __init__(self, trial):
            self.trial = trial
        def report(self, value, step):
            global reports
            reports += 1
            if reports == kill_at:
                os.kill(os.getpid(), signal.SIGKILL)
            self.trial.report(value, step)
        def should_prune(self):
            return self.trial.should_prune()
    minimize(lambda p, t: learning(p, Killing(t)), SPACE, 40, seed=8,
             pruner=SuccessiveHalvingPruner(), journal=sys.argv[2])
""").format(here=str(pathlib.Path(__file__).parent))


def test_a_run_killed_between_reports_resumes_to_the_uninterrupted_run(tmp_path):
    path = tmp_path / "run.jsonl"
    kills = 0
    for kill_at in [4, 10, 3, 25, 7, 10_000]:
        done = subprocess.run([sys.executable, "-c", CHILD, str(kill_at), str(path)],
                              capture_output=True, text=True)
        if done.returncode == 0:
            break
        assert done.returncode == -9, done.stderr
        kills += 1
    assert kills == 5
    reference = minimize(learning, SPACE, 40, seed=8, pruner=SuccessiveHalvingPruner())
    assert summary(vordaopt.load(path)) == summary(reference)
    assert reference.n_pruned > 10


def test_a_journal_keeps_the_pruner_and_refuses_another(tmp_path):
    path = tmp_path / "run.jsonl"
    minimize(learning, SPACE, 10, seed=1, pruner=MedianPruner(n_startup_trials=2), journal=path)
    with pytest.raises(vordaopt.JournalError, match="pruner"):
        minimize(learning, SPACE, 10, seed=1, pruner=SuccessiveHalvingPruner(), journal=path)
    with pytest.raises(vordaopt.JournalError, match="pruner"):
        minimize(learning, SPACE, 10, seed=1, journal=path)


# --- the command line --------------------------------------------------------------------

TRAIN = textwrap.dedent("""
    import sys, time
    a, b = float(sys.argv[1]), float(sys.argv[2])
    floor = (a - 0.3) ** 2 + (b - 0.6) ** 2
    for step in range(1, 10):
        print(f"vordaopt-report {step} {floor + 1 / step}", flush=True)
        time.sleep(0.5 if step == 1 and floor > 0.3 else 0)  # time for the pruner to stop it
    print(floor + 1 / 9)
""")


def vordaopt_cli(cwd, *args):
    return subprocess.run([sys.executable, "-m", "vordaopt", *args], cwd=cwd, capture_output=True,
                          text=True, timeout=120)


@pytest.fixture
def project(tmp_path):
    (tmp_path / "space.json").write_text('{"a": {"type": "real", "low": 0, "high": 1}, '
                                         '"b": {"type": "real", "low": 0, "high": 1}}')
    (tmp_path / "train.py").write_text(TRAIN)
    return tmp_path


def test_the_cli_reads_reports_and_ends_pruned_commands(project):
    began = time.monotonic()
    done = vordaopt_cli(project, "run", "space.json", "--budget", "20", "--pruner", "median",
                        "--startup-trials", "3", "--journal", "run.jsonl", "--quiet", "--",
                        sys.executable, "train.py", "{a}", "{b}")
    assert done.returncode == 0, done.stderr
    result = vordaopt.load(project / "run.jsonl")
    assert result.n_pruned > 0 and f"{result.n_pruned} pruned" in done.stdout
    assert time.monotonic() - began < 20 * 0.5  # pruned commands were ended, not waited for
    for t in result.trials:
        assert [r.step for r in t.reports] == list(range(1, len(t.reports) + 1))
        if t.state is TrialState.COMPLETE:
            assert len(t.reports) == 9 and t.value == pytest.approx(t.reports[-1].value)
    shown = vordaopt_cli(project, "show", "run.jsonl")
    assert f"{result.n_pruned} pruned" in shown.stdout


def test_the_cli_fails_a_trial_with_a_malformed_report_and_checks_its_options(project):
    (project / "bad.py").write_text('print("vordaopt-report one 0.5")\nprint(1.0)\n')
    done = vordaopt_cli(project, "run", "space.json", "--budget", "2", "--journal", "bad.jsonl",
                        "--quiet", "--", sys.executable, "bad.py")
    assert done.returncode == 1
    error = vordaopt.load(project / "bad.jsonl").trials[0].error
    assert "a report line must read 'vordaopt-report STEP VALUE'" in error
    for options, message in [(["--pruner", "hyperband"], "needs --max-resource"),
                             (["--pruner", "asha", "--warmup-steps", "2"],
                              "--warmup-steps does not apply to --pruner asha"),
                             (["--max-resource", "9"], "does not apply to --pruner (none)"),
                             (["--pruner", "asha", "--reduction-factor", "1"],
                              "reduction_factor must be an integer of at least 2")]:
        done = vordaopt_cli(project, "run", "space.json", "--budget", "2", *options, "--",
                            sys.executable, "train.py", "{a}", "{b}")
        assert done.returncode == 2 and message in done.stderr, done.stderr


def test_the_intermediate_plot_draws_every_curve(project, tmp_path):
    pytest.importorskip("matplotlib")
    from vordaopt import plot

    result = minimize(learning, SPACE, 15, seed=2, pruner=SuccessiveHalvingPruner())
    figure = plot.intermediate(result)
    curves = figure.axes[0].lines
    assert len(curves) == 15 + 1  # every trial, and the best again on top
    assert "pruned" in figure.axes[0].get_title()
    path = tmp_path / "run.jsonl"
    minimize(learning, SPACE, 5, seed=2, journal=path)
    done = vordaopt_cli(tmp_path, "plot", str(path), "--kind", "intermediate", "-o", "curves.png")
    assert done.returncode == 0 and (tmp_path / "curves.png").stat().st_size > 1000


# --- the report socket under strangers, faults and many runs ------------------------------


def test_huge_pruner_settings_decide_at_once():
    state = HyperbandPruner(max_resource=10**9, reduction_factor=2).start()
    brackets = [state.bracket(n) for n in range(200)]
    assert len(set(brackets)) > 5 and max(brackets) <= 29
    halving = SuccessiveHalvingPruner(min_early_stopping_rate=10**7).start()
    curve = []
    for step in range(1, 10):
        curve.append((step * 10**6, 1.0))
        assert halving.decide(0, curve) is False  # no rung is ever reached


def served_optimizer():
    from vordaopt.reporting import ReportServer

    optimizer = Optimizer(SPACE, 4, pruner=MedianPruner())
    trial = optimizer.ask()[0]
    server = ReportServer(optimizer)
    server.accept_connections()
    return optimizer, trial, server


def remote(server, number):
    """A trial's reporter as a worker process receives it (a new attempt each time)."""
    import pickle

    from vordaopt.reporting import _SocketReporter

    return pickle.loads(pickle.dumps(_SocketReporter(server.address, server.key, number)))


@numbers.Real.register
class Unreadable:
    """A real number whose float cannot be taken."""

    def __float__(self):
        raise RuntimeError("no float today")


def test_the_report_socket_survives_silent_peers_bad_reports_and_retries():
    import socket
    import threading

    optimizer, trial, server = served_optimizer()
    try:
        silent = socket.create_connection(server.address)  # connects, never says a word
        report = remote(server, trial.number)
        done = []
        worker = threading.Thread(target=lambda: done.append(report(1.0, 1)))
        worker.start()
        worker.join(timeout=30)
        assert done == [False]  # not held up by the silent peer
        # A value that cannot be read fails the trial in its own process; the link stays.
        with pytest.raises(RuntimeError, match="no float today"):
            report(Unreadable(), 2)
        with pytest.raises(ValueError, match=r"trial 0 .* within the range of a float"):
            report(10**400, 2)
        with pytest.raises(ValueError, match="trial 0: step must be a non-negative integer up to 2\\*\\*53"):
            report(1.0, 10**5000)
        assert server._answer(b"not a pickle")[0] == "error"
        assert report(0.5, 2) is False
        # The same trial sent again (an engine's retry) starts its curve afresh.
        assert remote(server, trial.number)(0.7, 1) is False
        assert [(r.step, r.value) for r in optimizer._book._reports[trial.number]] == [(1, 0.7)]
        silent.close()
    finally:
        server.close()


def worker_resources(p, trial):
    """The threads and descriptors of the worker process that runs the trial."""
    import os

    trial.report(p["a"], 1)
    return float(len(os.listdir("/proc/self/fd")))


def test_runs_sharing_a_pool_release_their_threads_and_sockets():
    import os
    import threading

    def resources():
        return threading.active_count(), len(os.listdir("/proc/self/fd"))

    with cf.ProcessPoolExecutor(2, mp_context=FORKSERVER) as pool:
        first = minimize(worker_resources, SPACE, 4, executor=pool, pruner=MedianPruner())
        before = resources()
        for seed in range(12):
            last = minimize(worker_resources, SPACE, 4, seed=seed, executor=pool,
                            pruner=MedianPruner())
        after = resources()
    assert after[0] <= before[0] + 1 and after[1] <= before[1] + 2
    assert max(t.value for t in last.trials) <= max(t.value for t in first.trials) + 2


def test_the_cli_is_strict_about_report_lines_and_ends_with_the_command(project):
    (project / "reports_only.py").write_text('print("vordaopt-report 1 0.5")\n')
    (project / "underscore.py").write_text('print("vordaopt-report 1_0 0.5")\nprint(1.0)\n')
    for script, message in [("reports_only.py", "the last line of its output must be the value"),
                            ("underscore.py", "STEP a whole number in digits")]:
        journal = script.replace(".py", ".jsonl")
        vordaopt_cli(project, "run", "space.json", "--budget", "1", "--journal", journal,
                     "--quiet", "--", sys.executable, script)
        assert message in vordaopt.load(project / journal).trials[0].error
    # A child left running with the command's output open does not hold the trial.
    done = vordaopt_cli(project, "run", "space.json", "--budget", "2", "--journal", "child.jsonl",
                        "--quiet", "--shell", "--", "(sleep 100) & echo 0.25")
    assert done.returncode == 0 and "value 0.25" in done.stdout
