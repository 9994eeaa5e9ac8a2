"""Parallel rounds and the async schedule: the same trials on every executor, exact replay."""

import concurrent.futures as cf
import multiprocessing
import os
import pathlib
import time

import pytest

import vordaopt
from vordaopt import Categorical, Int, Optimizer, Real, TrialState, minimize

# Workers that do not inherit this process's threads.
FORKSERVER = multiprocessing.get_context("forkserver")

SPACE = {"x": Real(-5.0, 10.0), "y": Real(0.0, 15.0), "n": Int(1, 9), "c": Categorical(["u", "v"])}


def objective(p):
    return (p["x"] - 2.0) ** 2 + (p["y"] - 3.0) ** 2 / 4 + p["n"] + (p["c"] == "v")


def jittered(p):
    # Uneven run times derived from the parameters: results finish out of order.
    time.sleep(0.002 * (1 + (int(p["y"] * 1000) % 7)))
    return objective(p)


def summary(result):
    return [(t.number, t.params, t.unit, t.value, t.state) for t in result.trials]


def drive_rounds(opt, order):
    """Runs an online optimizer round by round, telling each round in the order `order` gives."""
    sizes = []
    while (trials := opt.ask()) is not None:
        sizes.append(len(trials))
        assert opt.ask() == []  # nothing more until the round is in
        for t in order(trials):
            opt.tell(t, objective(t.params))
    return sizes


def test_rounds_hand_out_distinct_trials_whatever_the_finishing_order():
    a = Optimizer(SPACE, 80, seed=3, mode="online", parallel=4)
    b = Optimizer(SPACE, 80, seed=3, mode="online", parallel=4)
    sizes = drive_rounds(a, lambda ts: ts)
    drive_rounds(b, lambda ts: list(reversed(ts)))
    assert [t.unit for t in a.trials] == [t.unit for t in b.trials]
    assert sizes[0] == 4 and sum(sizes) == len(a.trials) <= 80
    units = [t.unit for t in a.trials if t.state is not TrialState.REUSED]
    assert len(set(units)) == len(units)
    # The first trial of each round is the plain solver's: k = 1 starts alike.
    single = Optimizer(SPACE, 80, seed=3, mode="online")
    drive_rounds(single, lambda ts: ts)
    assert a.trials[0].unit == single.trials[0].unit
    assert [t.unit for t in a.trials] != [t.unit for t in single.trials]


@pytest.mark.parametrize("mode", ["online", "cma"])
@pytest.mark.parametrize("schedule", ["rounds", "async"])
def test_parallel_runs_on_threads_and_processes(schedule, mode):
    serial = minimize(objective, SPACE, 60, seed=5, mode=mode, parallel=4, schedule=schedule)
    with cf.ThreadPoolExecutor(4) as pool:
        threads = minimize(jittered, SPACE, 60, seed=5, mode=mode, parallel=4,
                           schedule=schedule, executor=pool)
    assert threads.n_trials == 60
    if schedule == "rounds":
        with cf.ProcessPoolExecutor(2, mp_context=FORKSERVER) as pool:
            processes = minimize(jittered, SPACE, 60, seed=5, mode=mode, parallel=4,
                                 executor=pool)
        assert summary(serial) == summary(threads) == summary(processes)


def test_async_hands_out_a_trial_as_soon_as_one_finishes():
    opt = Optimizer(SPACE, 30, seed=1, mode="online", parallel=3, schedule="async")
    first = opt.ask()
    assert len(first) == 3 and opt.ask() == []
    opt.tell(first[1], objective(first[1].params))
    more = opt.ask()
    assert len(more) == 1 and more[0].number == 3
    assert more[0].unit not in {t.unit for t in first}


def test_async_resume_replays_the_recorded_order(tmp_path):
    path = tmp_path / "run.jsonl"
    with cf.ThreadPoolExecutor(3) as pool:
        full = minimize(jittered, SPACE, 50, seed=9, mode="online", parallel=3,
                        schedule="async", executor=pool, journal=path)
    lines = path.read_text().splitlines(keepends=True)
    cut = tmp_path / "cut.jsonl"
    cut.write_text("".join(lines[:31]))  # the header and the first 30 results
    recorded = {vordaopt.load(cut).trials[i].number for i in range(30)}
    calls = []

    def checking(p):
        calls.append(p)
        return jittered(p)

    with cf.ThreadPoolExecutor(3) as pool:
        resumed = minimize(checking, SPACE, 50, seed=9, mode="online", parallel=3,
                           schedule="async", executor=pool, journal=cut)
    by_number = {t.number: t for t in full.trials}
    for t in resumed.trials:
        if t.number in recorded:
            assert (t.unit, t.value) == (by_number[t.number].unit, by_number[t.number].value)
    assert len(calls) == resumed.n_trials - 30 and resumed.n_trials == 50
    # Its journal starts with the same 30 lines, in the same order.
    assert cut.read_text().splitlines()[:31] == [line.rstrip("\n") for line in lines[:31]]


def test_parallel_belongs_to_online_mode():
    with pytest.raises(ValueError, match="do not apply to method 'batch'"):
        Optimizer(SPACE, 10, method="batch", parallel=2)
    with pytest.raises(ValueError, match="parallel must be a positive integer"):
        Optimizer(SPACE, 10, mode="online", parallel=0)
    with pytest.raises(ValueError, match="schedule must be"):
        Optimizer(SPACE, 10, mode="online", schedule="eager")


def test_another_parallelism_is_another_run(tmp_path):
    path = tmp_path / "run.jsonl"
    minimize(objective, SPACE, 10, mode="online", parallel=2, journal=path)
    with pytest.raises(vordaopt.JournalError, match="parallel"):
        minimize(objective, SPACE, 10, mode="online", parallel=3, journal=path)


# --- clusters ---------------------------------------------------------------------------

MARKER = "VORDAOPT_TEST_KILL_MARKER"


def killing_once(p):
    """Ends its own worker process the first time it sees a large x."""
    marker = pathlib.Path(os.environ[MARKER])
    if p["x"] > 6 and not marker.exists():
        marker.write_text("killed")
        os._exit(1)
    return objective(p)


@pytest.fixture(scope="module")
def dask_client(tmp_path_factory):
    distributed = pytest.importorskip("distributed")
    os.environ[MARKER] = str(tmp_path_factory.mktemp("dask") / "killed")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, silence_logs=50)
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


@pytest.mark.cluster
def test_dask_client_and_its_executor_give_the_serial_run(dask_client):
    serial = minimize(objective, SPACE, 40, seed=2, mode="online", parallel=2)
    via_client = minimize(jittered, SPACE, 40, seed=2, mode="online", parallel=2,
                          executor=dask_client)
    via_executor = minimize(jittered, SPACE, 40, seed=2, mode="online", parallel=2,
                            executor=dask_client.get_executor(pure=False))
    assert summary(serial) == summary(via_client) == summary(via_executor)
    batch = minimize(objective, SPACE, 40, seed=2, executor=dask_client)
    assert summary(batch) == summary(minimize(objective, SPACE, 40, seed=2))


@pytest.mark.cluster
def test_a_dead_dask_worker_does_not_end_the_run(dask_client):
    result = minimize(killing_once, SPACE, 40, seed=4, mode="online", parallel=2,
                      executor=dask_client)
    assert pathlib.Path(os.environ[MARKER]).exists()  # a worker did die
    assert result.n_trials == 40
    for t in result.trials:  # retried by Dask, or failed with the loss recorded
        assert t.state is not TrialState.PENDING
        assert t.state is not TrialState.FAILED or "executor failed" in t.error


@pytest.mark.cluster
def test_unpicklable_objectives_are_refused_for_clusters(dask_client):
    import threading

    lock = threading.Lock()
    with pytest.raises(TypeError, match="cannot be pickled for a cluster"):
        minimize(lambda p: lock.locked() or 0.0, SPACE, 5, executor=dask_client)


@pytest.mark.cluster
def test_ray_futures_give_the_serial_run(ray_runtime):
    serial = minimize(objective, SPACE, 30, seed=6, mode="online", parallel=2)
    on_ray = minimize(jittered, SPACE, 30, seed=6, mode="online", parallel=2,
                      executor=vordaopt.RayExecutor())
    assert summary(serial) == summary(on_ray)


def reporting_then_killed(p, trial):
    """Reports, then ends its own worker process the first time it sees a large x."""
    trial.report(p["x"], 1)
    trial.report(p["x"], 2)
    return killing_once(p)


@pytest.mark.cluster
def test_a_trial_dask_runs_again_reports_from_its_first_step(dask_client):
    pathlib.Path(os.environ[MARKER]).unlink(missing_ok=True)
    result = minimize(reporting_then_killed, SPACE, 30, seed=4, executor=dask_client,
                      pruner=vordaopt.MedianPruner())
    assert pathlib.Path(os.environ[MARKER]).exists()  # a worker did die after its reports
    for t in result.trials:
        assert t.state is not TrialState.FAILED or "executor failed" in t.error, t.error
        assert [r.step for r in t.reports] in ([], [1], [1, 2]), t
