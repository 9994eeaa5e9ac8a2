"""minimize(): the whole run in one call, with executors, a journal and progress."""

from __future__ import annotations

import collections
import concurrent.futures as cf
import os
import sys
import time
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple

from .executors import as_executor, check_picklable
from .journal import Journal, JournalError, read_journal, trial_from_record
from .optimizer import Direction, Mode, Optimizer, Schedule, Trial, TrialState, _point_key
from .space import Kind, Space, space_from_json, space_to_json

__all__ = ["minimize", "load", "Result", "StopOptimization"]

Objective = Callable[[dict[str, Any]], float]
Callback = Callable[[Trial, Optimizer], None]


class StopOptimization(Exception):
    """Raised by a callback to end the run cleanly after the running trials."""


@dataclass(frozen=True, slots=True)
class Result:
    """The outcome of a run.

    Attributes
    ----------
    best : Trial or None
        The best complete trial (None when no trial completed).
    trials : tuple of Trial
        Every trial, in hand-out order.
    n_evaluations : int
        How many times the objective was called (reused trials excluded).
    wall_time : float
        Seconds from the start of the run to its end (for a loaded journal:
        from the first evaluation's start to the last one's end).
    direction : str
        ``"minimize"`` or ``"maximize"``.
    space : Space or None
        The search space of the run.
    """

    best: Trial | None
    trials: tuple[Trial, ...]
    n_evaluations: int
    wall_time: float
    direction: str = "minimize"
    space: Space | None = None

    @property
    def best_params(self) -> dict[str, Any] | None:
        """The parameters of the best trial."""
        return None if self.best is None else self.best.params

    @property
    def best_value(self) -> float | None:
        """The value of the best trial."""
        return None if self.best is None else self.best.value

    @property
    def n_trials(self) -> int:
        return len(self.trials)

    @property
    def n_failed(self) -> int:
        return sum(t.state is TrialState.FAILED for t in self.trials)

    @property
    def n_reused(self) -> int:
        return sum(t.state is TrialState.REUSED for t in self.trials)

    def __repr__(self) -> str:
        return (
            f"Result(best_value={self.best_value!r}, best_params={self.best_params!r}, "
            f"n_trials={self.n_trials}, n_evaluations={self.n_evaluations}, "
            f"n_failed={self.n_failed}, wall_time={self.wall_time:.3f})"
        )


def rank_trials(trials: Sequence[Trial], direction: str) -> list[Trial]:
    """The complete trials, best first; among equal values the earliest first."""
    sign = 1.0 if direction == "minimize" else -1.0
    complete = [t for t in trials if t.state is TrialState.COMPLETE and t.value is not None]
    return sorted(complete, key=lambda t: (sign * (t.value or 0.0), t.number))


def load(path: str | os.PathLike[str]) -> Result:
    """The result recorded in a journal, without running anything.

    Examples
    --------
    >>> result = load("run.jsonl")  # doctest: +SKIP
    >>> result.best_params  # doctest: +SKIP
    """
    header, records = read_journal(path)
    trials = sorted((trial_from_record(r) for r in records), key=lambda t: t.number)
    direction = str(header.get("direction", "minimize"))
    starts = [t.started for t in trials if t.started is not None]
    ends = [t.ended for t in trials if t.ended is not None]
    wall = max(ends) - min(starts) if starts and ends else 0.0
    evaluations = sum(t.state is not TrialState.REUSED and t.reused_from is None for t in trials)
    space = space_from_json(header["space"]) if "space" in header else None
    ranked = rank_trials(trials, direction)
    best = ranked[0] if ranked else None
    return Result(best, tuple(trials), evaluations, wall, direction, space)


# --- Evaluation -------------------------------------------------------------------------


class _Outcome(NamedTuple):
    """One run of the objective (a tuple: cheap to make, and picklable)."""

    value: Any
    error: BaseException | None
    started: float
    ended: float
    seconds: float


def _evaluate(objective: Objective, params: dict[str, Any]) -> _Outcome:
    """Runs the objective once; a module-level function so that process pools can pickle it."""
    started = time.time()
    clock = time.perf_counter()
    try:
        value = objective(params)
        error = None
    except Exception as exc:  # noqa: BLE001 - the caller decides what a failure means
        value, error = None, exc
    seconds = time.perf_counter() - clock
    return _Outcome(value, error, started, time.time(), seconds)


class _Progress:
    """A tqdm bar on stderr: trials done of the budget, the best value, the rate."""

    def __init__(self, budget: int, show: bool | None) -> None:
        if show is None:
            show = sys.stderr.isatty()
        self._bar: Any = None
        if show:
            from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]

            self._bar = tqdm(total=budget, file=sys.stderr, unit="trial", dynamic_ncols=True)

    def update(self, done: int, best: Trial | None) -> None:
        if self._bar is None:
            return
        self._bar.n = done
        if best is not None:
            self._bar.set_postfix(best=f"{best.value:.6g}", refresh=False)
        self._bar.refresh()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


# --- The run ----------------------------------------------------------------------------


def minimize(
    objective: Objective,
    space: Mapping[str, Kind],
    budget: int,
    *,
    seed: int = 0,
    mode: Mode = "batch",
    executor: Any = None,
    journal: str | os.PathLike[str] | Journal | None = None,
    progress: bool | None = None,
    callbacks: Iterable[Callback] = (),
    timeout: float | None = None,
    catch: type[BaseException] | tuple[type[BaseException], ...] = (),
    probe_ratio: float = 0.2,
    direction: Direction = "minimize",
    reevaluate: bool = False,
    parallel: int = 1,
    schedule: Schedule = "rounds",
) -> Result:
    """Minimise (or maximise) `objective` over `space` in at most `budget` trials.

    Parameters
    ----------
    objective : callable
        ``objective(params) -> float`` with ``params`` a dict from name to
        value. Its wall time becomes each trial's ``cost``. NaN or an infinity
        marks the trial failed.
    space : dict or Space
        From parameter name to :class:`Real`, :class:`Int`,
        :class:`Categorical` or :class:`Periodic`.
    budget : int
        The number of trials; the run may end earlier once the search has
        converged.
    seed : int, default 0
    mode : {"batch", "online"}
        See :class:`Optimizer`.
    executor : concurrent.futures.Executor or distributed.Client, optional
        Evaluates trials concurrently: a batch's trials, or the `parallel`
        trials of an online round. Results are told in hand-out order, so the
        run is the same as a serial one. Threads, processes, a Dask client
        (or its ``get_executor(pure=False)``) and :class:`RayExecutor` work.
        An objective that a process or cluster executor cannot pickle is
        refused before any trial runs. A trial whose worker dies is marked
        failed, and the run goes on.
    journal : path-like or Journal, optional
        A JSON Lines file that records the run (or a :class:`Journal` opened
        with this run's settings and more). If it exists, the run resumes:
        recorded results are replayed in the order they were recorded (the
        objective is not called for them), so the run continues exactly as
        the interrupted one would have.
    progress : bool, optional
        A progress bar on stderr; by default shown when stderr is a terminal.
    callbacks : iterable of callables
        ``callback(trial, optimizer)`` after every finished trial; raising
        :class:`StopOptimization` ends the run once the running trials finish.
    timeout : float, optional
        Seconds after which no new trial starts; running trials finish and are
        recorded.
    catch : exception type or tuple of types
        Exceptions of the objective recorded as failed trials. Any other
        exception is recorded in the journal as a failure, then propagates.
    probe_ratio, direction, reevaluate, parallel, schedule
        See :class:`Optimizer`.

    Returns
    -------
    Result

    Raises
    ------
    JournalError
        The journal belongs to another run or is in use by another process.
    TypeError
        The objective cannot be pickled for the executor.

    Examples
    --------
    >>> from vordaopt import minimize, Real, Int
    >>> result = minimize(lambda p: (p["x"] - 2) ** 2 + p["n"], {"x": Real(-5, 5), "n": Int(0, 3)},
    ...                   budget=40, seed=3)
    >>> result.best_params["n"]
    0
    """
    optimizer = Optimizer(space, budget, seed=seed, mode=mode, probe_ratio=probe_ratio,
                          direction=direction, reevaluate=reevaluate, parallel=parallel,
                          schedule=schedule)
    pool = as_executor(executor)
    check_picklable(objective, pool)
    catch_types = catch if isinstance(catch, tuple) else (catch,)
    if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float))
                                or not timeout >= 0):
        raise ValueError(f"timeout must be a non-negative number of seconds, got {timeout!r}")

    run = _Run(objective, optimizer, pool, tuple(callbacks), catch_types, timeout, progress)
    if isinstance(journal, Journal):
        # Opened by the caller, with settings of its own besides the run's.
        expected = run_header(optimizer)
        wrong = sorted(k for k, v in expected.items() if journal.header.get(k) != v)
        if wrong:
            raise JournalError(f"{journal.path} was opened for other settings: {', '.join(wrong)}")
        run.use_journal(journal)
        return run.go()
    if journal is not None:
        with Journal(journal, run_header(optimizer)) as opened:
            run.use_journal(opened)
            return run.go()
    return run.go()


def run_header(optimizer: Optimizer, **extra: Any) -> dict[str, Any]:
    """The settings a journal records, and a resumed run must match."""
    try:
        space_json = space_to_json(optimizer.space)
    except TypeError as exc:
        raise TypeError(f"a journal needs JSON values as choices: {exc}") from None
    return {
        "space": space_json,
        "budget": optimizer.budget,
        "seed": optimizer.seed,
        "mode": optimizer.mode,
        "probe_ratio": optimizer.probe_ratio,
        "direction": optimizer.direction,
        "reevaluate": optimizer.reevaluate,
        "parallel": optimizer.parallel,
        "schedule": optimizer.schedule,
        **extra,
    }


class _Run:
    """The loop of one minimize() call.

    After every finished trial the optimizer is asked again, so the points at
    which trials are handed out depend only on the sequence of results. A
    resumed run feeds the recorded results in their recorded order through
    the same loop, and starts the trials that never finished only once the
    record is used up.
    """

    def __init__(self, objective: Objective, optimizer: Optimizer, executor: cf.Executor | None,
                 callbacks: tuple[Callback, ...], catch: tuple[type[BaseException], ...],
                 timeout: float | None, progress: bool | None) -> None:
        self.objective = objective
        self.optimizer = optimizer
        self.executor = executor
        self.callbacks = callbacks
        self.catch = catch
        self.timeout = timeout
        self.show_progress = progress
        self.journal: Journal | None = None
        self.replay: collections.deque[dict[str, Any]] = collections.deque()
        self.handed: dict[int, Trial] = {}  # handed out, neither replayed nor started yet
        self.running: dict[cf.Future[_Outcome], Trial] = {}
        self.reported = 0  # finished trials already journaled and announced
        self.stopping = False
        self.deadline: float | None = None

    def use_journal(self, journal: Journal) -> None:
        self.journal = journal
        # Repeats are rebuilt by the optimizer itself; only evaluations replay.
        self.replay.extend(r for r in journal.lines if r.get("reused_from") is None)

    def go(self) -> Result:
        began = time.perf_counter()
        self.deadline = None if self.timeout is None else time.monotonic() + self.timeout
        self.bar = _Progress(self.optimizer.budget, self.show_progress)
        try:
            while True:
                if not self._should_stop():
                    trials = self.optimizer.ask()
                    self._report()
                    if trials is None and not self.running and not self.handed:
                        break
                    if trials == [] and not (self.running or self.handed or self.replay):
                        raise RuntimeError("vordaopt: trials are outstanding but none is running")
                    for trial in trials or ():
                        self.handed[trial.number] = trial
                if self.replay:
                    self._replay_next()
                    continue
                self._start_handed()
                if self.running:
                    self._finish_one()
                elif self.stopping:
                    break
            # No new trials from here on; the running ones finish and are recorded.
            self._cancel_queued()
            while self.running:
                self._finish_one()
        except BaseException:
            for future in self.running:
                future.cancel()
            raise
        finally:
            self.bar.close()
        opt = self.optimizer
        return Result(opt.best, tuple(opt.trials), opt.n_evaluations,
                      time.perf_counter() - began, opt.direction, opt.space)

    def _should_stop(self) -> bool:
        if self.deadline is not None and time.monotonic() >= self.deadline:
            self.stopping = True
        return self.stopping

    def _replay_next(self) -> None:
        record = self.replay.popleft()
        number = int(record["number"])
        trial = self.handed.pop(number, None)
        if trial is None or _point_key(tuple(float(u) for u in record["unit"])) != _point_key(trial.unit):
            raise JournalError(
                f"the journal does not match this run at trial {number}: it was written by "
                "another version of vordaopt, or edited")
        value = None if record["state"] == TrialState.FAILED.value else record.get("value")
        self.optimizer._finish(number, value, record.get("error"), record.get("cost") or 0.0,
                               record.get("started"), record.get("ended"))
        self._report(replayed=True)

    def _start_handed(self) -> None:
        """Starts the handed-out trials: all at once on an executor, one at a time without."""
        if self._should_stop():
            return  # they stay pending: a resumed run evaluates them
        if self.executor is not None:
            for trial in self.handed.values():
                self.running[self.executor.submit(_evaluate, self.objective, trial.params)] = trial
            self.handed.clear()
        elif self.handed:
            number = min(self.handed)
            self._finish(self.handed.pop(number), _evaluate(self.objective,
                                                             self.optimizer.trials[number].params))

    def _cancel_queued(self) -> None:
        # Trials that an executor has not started yet stay pending: a resumed
        # run evaluates them.
        for future in [f for f in self.running if f.cancel()]:
            del self.running[future]

    def _finish_one(self) -> None:
        done, _ = cf.wait(self.running, return_when=cf.FIRST_COMPLETED)
        # One result per turn, so that the optimizer is asked after each;
        # among several, the earliest handed out.
        future = min(done, key=lambda f: self.running[f].number)
        trial = self.running.pop(future)
        try:
            outcome = future.result()
        except Exception as exc:  # the executor failed, not the objective: a worker died
            now = time.time()
            self.optimizer.tell(trial, ExecutorFailure(f"the executor failed to run it: {exc!r}"),
                                cost=0.0, started=now, ended=now)
            self._report()
            return
        self._finish(trial, outcome)

    def _finish(self, trial: Trial, outcome: _Outcome) -> None:
        error = outcome.error
        value: Any = outcome.value if error is None else error
        if error is None:
            try:
                value = float(value)
            except (TypeError, ValueError):
                error = TypeError(
                    f"the objective must return a number, got {type(outcome.value).__name__}")
                value = error
        self.optimizer.tell(trial, value, cost=outcome.seconds, started=outcome.started,
                            ended=outcome.ended)
        self._report()
        if error is not None and not isinstance(error, self.catch):
            raise error

    def _report(self, replayed: bool = False) -> None:
        """Journals and announces the trials finished since the last report."""
        finished = self.optimizer._finished
        new = [self.optimizer._trials[n] for n in finished[self.reported:]]
        self.reported = len(finished)
        if not new:
            return
        if self.journal is not None:
            self.journal.append(t for t in new if t.number not in self.journal.records)
        self.bar.update(len(finished), self.optimizer.best)
        if replayed:
            return
        for trial in new:
            for callback in self.callbacks:
                try:
                    callback(trial, self.optimizer)
                except StopOptimization:
                    self.stopping = True


class ExecutorFailure(RuntimeError):
    """The executor failed to run a trial, for example its worker died (the trial's failure)."""
