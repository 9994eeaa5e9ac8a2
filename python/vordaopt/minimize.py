"""minimize(): the whole run in one call, with executors, a journal and progress."""

from __future__ import annotations

import concurrent.futures as cf
import functools
import inspect
import logging
import os
import sys
import time
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, NamedTuple

from ._numbers import as_real, objective_value
from .executors import TrialPool, as_executor, check_picklable, is_pickling_error
from .journal import Journal
from .known_points import WarmStart
from .optimizer import Direction, Mode, Optimizer, Schedule, Trial, TrialState
from .pruners import Pruner, TrialPruned
from .reporting import ReportServer, RunningTrial
from .results import Result, load
from .space import Kind, Space

_log = logging.getLogger("vordaopt")

__all__ = ["minimize", "load", "Result", "StopOptimization", "Unrecorded"]

# A number, or a mapping of metrics with named objectives.
Objective = Callable[..., "float | Mapping[str, Any]"]
Callback = Callable[[Trial, Optimizer], None]


class StopOptimization(Exception):
    """Raised by a callback to end the run cleanly after the running trials."""


class Unrecorded(Exception):
    """Raised by an objective that cannot run at all (its program is missing, say).

    The run stops and the trial is not recorded: a resumed run evaluates it.
    """


# --- Evaluation -------------------------------------------------------------------------


class _Outcome(NamedTuple):
    """One run of the objective (a tuple: cheap to make, and picklable)."""

    value: Any
    error: BaseException | None
    started: float
    ended: float
    seconds: float


def takes_trial(objective: Callable[..., Any]) -> bool:
    """Whether the objective takes a second positional argument (the running trial)."""
    try:
        parameters = inspect.signature(objective).parameters.values()
    except (TypeError, ValueError):
        return False
    positional = 0
    for p in parameters:
        if p.kind is p.VAR_POSITIONAL:
            return True
        if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD):
            positional += 1
    return positional >= 2


def _evaluate(objective: Objective, params: dict[str, Any],
              trial: RunningTrial | None = None) -> _Outcome:
    """Runs the objective once; a module-level function so that process pools can pickle it."""
    started = time.time()
    clock = time.perf_counter()
    try:
        value = objective(params) if trial is None else objective(params, trial)
        error = None
    except Exception as exc:  # noqa: BLE001 - the caller decides what a failure means
        value, error = None, exc
    seconds = time.perf_counter() - clock
    return _Outcome(value, error, started, time.time(), seconds)


class _Progress:
    """A tqdm bar on stderr: trials done of the budget, the best value, the rate."""

    def __init__(self, budget: int, show: bool | None, recorded: int = 0,
                 resumed: str | None = None) -> None:
        if show is None:
            show = sys.stderr.isatty()
        self._bar: Any = None
        if show:
            from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]

            # initial: the rate counts the trials run now, not those read back.
            self._bar = tqdm(total=budget, file=sys.stderr, unit="trial", dynamic_ncols=True,
                             initial=recorded, desc=resumed)

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
    method: Mode | None = None,
    mode: Mode | None = None,
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
    pruner: Pruner | None = None,
    objectives: Mapping[str, Direction] | Sequence[Direction] | None = None,
    constraints: Mapping[str, tuple[float | None, float | None]] | None = None,
    initial: Sequence[Mapping[str, Any]] | None = None,
    warm_start: WarmStart | None = None,
) -> Result:
    """Minimise (or maximise) `objective` over `space` in at most `budget` trials.

    Parameters
    ----------
    objective : callable
        ``objective(params) -> float`` with ``params`` a dict from name to
        value (its own copy). Its wall time becomes each trial's ``cost``.
        NaN or an infinity marks the trial failed; a value that is not a real
        number (a string, say) is an error. An objective that takes a second
        argument, ``objective(params, trial)``, gets the
        :class:`RunningTrial`: it calls ``trial.report(value, step)`` as it
        trains, and raises :class:`TrialPruned` when ``trial.should_prune()``
        says so (the trial is then recorded as pruned; returning a value
        instead records it as complete).
    space : dict or Space
        From parameter name to :class:`Real`, :class:`Int`,
        :class:`Categorical` or :class:`Periodic`.
    budget : int
        The number of trials, at most ``2**53``; the run may end earlier once
        the search has converged. With a `timeout`, a huge budget means "run
        until the deadline": memory does not grow with the budget.
    seed : int, default 0
    method : {"auto", "batch", "online", "gp", "cma"}, default "auto"
        See :class:`Optimizer`; `mode` is its former name.
    executor : concurrent.futures.Executor or distributed.Client, optional
        Evaluates trials concurrently: a batch's trials, or the `parallel`
        trials of an online round. Results are told in hand-out order, so the
        run is the same as a serial one. Threads, processes, a Dask client
        (or its ``get_executor(pure=False)``) and :class:`RayExecutor` work.
        An objective or a categorical choice that a process or cluster
        executor cannot pickle is refused before any trial runs. When a
        worker of a process pool dies, the pool is replaced and the trials
        that were running on it run again one at a time; the one whose worker
        dies again is marked failed, and the run goes on.
    journal : path-like or Journal, optional
        A JSON Lines file that records the run (or a :class:`Journal` opened
        with this run's settings and more). If it exists, the run resumes:
        recorded results are replayed in the order they were recorded (the
        objective is not called for them), so the run continues exactly as
        the interrupted one would have. A larger budget continues a finished
        run.
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
    pruner : MedianPruner, SuccessiveHalvingPruner or HyperbandPruner, optional
        Advises stopping trials whose reports trail the others (see the
        README, "Stopping bad trials early"). None: nothing is stopped.
    objectives : dict, optional
        From metric name to ``"minimize"`` or ``"maximize"``: the objective
        then returns a dict of metrics, read by name (every metric returned
        is kept in ``trial.metrics``). With one, the run minimises (or
        maximises) it as usual; with several, it searches their Pareto front
        (``result.pareto_front``). A pruner follows the first. A list of
        directions (Optuna's ``directions``) reads a returned sequence instead.
    constraints : dict, optional
        From metric name to ``(low, high)``, None for an open side: a trial
        outside them is infeasible, and never the best nor on the front.
    initial : list of dict, optional
        Points to try first, in order: the configuration you ship today, a
        colleague's best. Each may give some parameters only; the others are
        those the method would propose. They count towards the budget.
    warm_start : path-like, Result or list of (params, value), optional
        Results of an earlier run (its journal, its :class:`Result`, or pairs
        given by hand), told to the method before its first proposal. They
        spend no budget and are not trials of this run. The earlier space may
        differ: its extra parameters are dropped, a parameter it lacked takes
        the middle of its range (a categorical its first choice), and a
        recorded trial outside this space is left out. The journal records
        the source and a digest; a resumed run must be given the same.

    Returns
    -------
    Result

    Raises
    ------
    JournalError
        The journal belongs to another run, is not a journal, is in use by
        another process, or cannot be written.
    TypeError
        The objective or a choice cannot be pickled for the executor, or
        `catch` holds something other than exception types.
    ValueError
        A setting is out of range (the message names it).

    Examples
    --------
    >>> from vordaopt import minimize, Real, Int
    >>> result = minimize(lambda p: (p["x"] - 2) ** 2 + p["n"], {"x": Real(-5, 5), "n": Int(0, 3)},
    ...                   budget=40, seed=3)
    >>> result.best_params["n"]
    0
    """
    catch_types = catch if isinstance(catch, tuple) else (catch,)
    if not all(isinstance(c, type) and issubclass(c, BaseException) for c in catch_types):
        raise TypeError(f"catch must be an exception type or a tuple of them, got {catch!r}")
    if timeout is not None:
        timeout = as_real("timeout", timeout, low=0.0, what="a non-negative number of seconds")
    if pruner is not None and not takes_trial(objective):
        raise ValueError("a pruner needs an objective that reports: objective(params, trial), "
                         "calling trial.report(value, step) as it trains")
    pool = as_executor(executor)
    checked = Space(space)
    check_picklable(objective, checked, pool)
    with Optimizer(checked, budget, seed=seed, method=method, mode=mode, probe_ratio=probe_ratio,
                   direction=direction, reevaluate=reevaluate, parallel=parallel,
                   schedule=schedule, journal=journal, pruner=pruner, objectives=objectives,
                   constraints=constraints, initial=initial,
                   warm_start=warm_start) as optimizer:
        run = _Run(objective, optimizer, pool, tuple(callbacks), catch_types, timeout, progress)
        return run.go()


def _single_best(optimizer: Optimizer) -> Trial | None:
    """The best trial, or None in a run of several objectives (which has no single best)."""
    named = optimizer.objectives
    return None if named is not None and len(named.names) > 1 else optimizer.best


class _Run:
    """The loop of one minimize() call.

    After every finished trial the optimizer is asked again, so the points at
    which trials are handed out depend only on the sequence of results (a
    resumed optimizer has replayed its journal the same way).
    """

    def __init__(self, objective: Objective, optimizer: Optimizer, executor: cf.Executor | None,
                 callbacks: tuple[Callback, ...], catch: tuple[type[BaseException], ...],
                 timeout: float | None, progress: bool | None) -> None:
        self.objective = objective
        self.optimizer = optimizer
        self.pool = None if executor is None else TrialPool(executor)
        self.callbacks = callbacks
        self.catch = catch
        self.timeout = timeout
        self.show_progress = progress
        self.handed: dict[int, Trial] = {}  # handed out, not started yet
        self.running: dict[cf.Future[_Outcome], Trial] = {}
        self.reported = optimizer.n_finished  # finished trials already announced
        self.stopping = False
        self.deadline: float | None = None
        self.takes_trial = takes_trial(objective)
        # Trials in other processes report through a local socket.
        self.server: ReportServer | None = None
        if (self.takes_trial and executor is not None
                and not isinstance(executor, cf.ThreadPoolExecutor)):
            self.server = ReportServer(optimizer)

    def _arguments(self, trial: Trial) -> tuple[Any, ...]:
        """What _evaluate gets for `trial`: the objective, its own copy of the parameters,
        and the running trial when the objective takes one."""
        params = dict(trial.params)
        if not self.takes_trial:
            return (self.objective, params)
        reporter = functools.partial(self.optimizer.report, trial)
        return (self.objective, params, RunningTrial(trial.number, params, reporter, self.server))

    def go(self) -> Result:
        began = time.perf_counter()
        self.deadline = None if self.timeout is None else time.monotonic() + self.timeout
        journal = self.optimizer.journal
        resumed = None
        if journal is not None and journal.resumed:
            resumed = f"resuming {os.path.basename(journal.path)}"
            _log.info("resuming %s: %d trials recorded", journal.path, len(journal.lines))
        self.bar = _Progress(self.optimizer.budget, self.show_progress, self.reported, resumed)
        self.bar.update(self.reported, _single_best(self.optimizer))
        try:
            while True:
                if not self._should_stop():
                    trials = self.optimizer.ask()
                    self._report()
                    if trials is None and not self.running and not self.handed:
                        break
                    if trials == [] and not (self.running or self.handed):
                        raise RuntimeError("vordaopt: trials are outstanding but none is running")
                    for trial in trials or ():
                        self.handed[trial.number] = trial
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
            if self.pool is not None:
                self.pool.close()
            if self.server is not None:
                self.server.close()
        opt = self.optimizer
        finished = tuple(t for t in opt.trials if t.state is not TrialState.PENDING)
        return Result(_single_best(opt), finished, opt.n_evaluations,
                      time.perf_counter() - began, opt.direction, opt.space, opt.objectives)

    def _should_stop(self) -> bool:
        if self.deadline is not None and time.monotonic() >= self.deadline:
            self.stopping = True
        return self.stopping

    def _start_handed(self) -> None:
        """Starts the handed-out trials: all at once on an executor, one at a time without.

        Each run of the objective gets its own copy of the parameters, so
        that nothing it does to them reaches the record.
        """
        if self._should_stop():
            return  # they stay pending: a resumed run evaluates them
        if self.pool is not None:
            for trial in sorted(self.handed.values(), key=lambda t: t.number):
                future = self.pool.submit(_evaluate, *self._arguments(trial))
                self.running[future] = trial
            self.handed.clear()
        elif self.handed:
            trial = self.handed.pop(min(self.handed))
            self._finish(trial, _evaluate(*self._arguments(trial)))

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
        except cf.BrokenExecutor as exc:
            if self.pool is None or not self.pool.can_replace:
                raise
            self._rerun_alone([trial] + self._broken_beside(), exc)
            return
        except Exception as exc:  # the executor failed, not the objective
            if is_pickling_error(exc):
                raise TypeError(
                    f"the executor could not pickle trial {trial.number}'s call or its result "
                    f"({type(exc).__name__}: {exc}); the run stops, and the trial runs again "
                    "on resume") from exc
            now = time.time()
            self.optimizer.tell(trial, ExecutorFailure(f"the executor failed to run it: {exc!r}"),
                                cost=0.0, started=now, ended=now)
            self._report()
            return
        self._finish(trial, outcome)

    def _broken_beside(self) -> list[Trial]:
        """The other trials that the broken pool took down with it (they are unfinished)."""
        cf.wait(self.running)  # a broken pool fails every future it holds
        broken = [f for f in self.running
                  if not f.cancelled() and isinstance(f.exception(), cf.BrokenExecutor)]
        return [self.running.pop(f) for f in broken]

    def _rerun_alone(self, suspects: list[Trial], cause: BaseException) -> None:
        """Runs each trial of a pool whose worker died on a fresh pool, one at a time.

        A healthy trial that merely ran beside the one that killed its worker
        gets its real result; the one whose worker dies again alone is failed.
        """
        assert self.pool is not None
        for trial in sorted(suspects, key=lambda t: t.number):
            self.pool.replace()  # when broken
            self.optimizer.restart_reports(trial.number)  # it runs again from its first step
            future = self.pool.submit(_evaluate, *self._arguments(trial))
            try:
                outcome = future.result()
            except cf.BrokenExecutor:
                now = time.time()
                self.optimizer.tell(trial, ExecutorFailure(
                    f"its worker process died while running it, twice, the second time alone "
                    f"({type(cause).__name__}); the objective may end its process (os._exit), "
                    "crash, or run out of memory"), cost=0.0, started=now, ended=now)
                self._report()
                continue
            self._finish(trial, outcome)
        self.pool.replace()

    def _finish(self, trial: Trial, outcome: _Outcome) -> None:
        error = outcome.error
        if isinstance(error, Unrecorded):
            raise error
        value: Any = outcome.value if error is None else error
        named = self.optimizer.objectives
        if error is None:
            # What cannot be read fails the trial, recorded, before it is raised.
            try:
                if named is not None:
                    named.read(trial.number, value)
                elif isinstance(value, Mapping):
                    raise TypeError("the objective returned a dict of metrics; name the "
                                    "objective with objectives={name: 'minimize'}")
                else:
                    value = objective_value(value)
            except TypeError as exc:
                error = exc
                value = error
        self.optimizer.tell(trial, value, cost=outcome.seconds, started=outcome.started,
                            ended=outcome.ended)
        self._report()
        if error is not None and not isinstance(error, (TrialPruned, *self.catch)):
            raise error

    def _report(self) -> None:
        """Announces the trials finished since the last report (the optimizer journals them)."""
        new = self.optimizer.finished_since(self.reported)
        self.reported += len(new)
        if not new:
            return
        self.bar.update(self.reported, _single_best(self.optimizer))
        for trial in new:
            for callback in self.callbacks:
                try:
                    callback(trial, self.optimizer)
                except StopOptimization:
                    self.stopping = True


class ExecutorFailure(RuntimeError):
    """The executor failed to run a trial, for example its worker died (the trial's failure)."""
