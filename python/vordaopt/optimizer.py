"""The ask/tell optimizer: trials over any search method.

A method (see methods/base.py) proposes points of the unit cube; the
optimizer hands each out as a :class:`Trial` with decoded parameters, takes
results in any order, and tells the method each result in the order the
trials were handed out, or as they arrive under the async schedule. The
trials, repeats and stand-ins live in the ledger (ledger.py), the reports
and the pruner's advice in the pruning book (pruning_book.py), the checked
settings in settings.py; this class schedules, and keeps the journal.
"""

from __future__ import annotations

import math
import os
from collections.abc import Mapping, Sequence
from typing import Any, NamedTuple

from ._numbers import as_real, brief, is_integral, objective_value, reported_value
from .journal import Journal, open_for_run, record_reports
from .known_points import WarmStart, known_point
from .results import pareto_front
from .ledger import FAILED_STAND_IN, Ledger
from .methods import Method, MethodSettings, SearchMethod, make_method
from .objectives import Objectives, Reading, recorded_reading
from .pruners import Pruner, TrialPruned
from .pruning_book import PruningBook
from .schedule import Scheduler
from .settings import Direction, Mode, RunSettings, Schedule
from .space import Kind, Space
from .trial import MAX_BUDGET, MAX_STEP, Report, Trial, TrialState, bounded_text

__all__ = ["Optimizer", "Trial", "TrialState", "Report", "FAILED_STAND_IN", "MAX_BUDGET",
           "Direction", "Mode", "Schedule"]


class _Outcome(NamedTuple):
    """A told result, checked."""

    value: float | None
    error: str | None
    pruned: bool
    reading: Reading | None = None  # with named objectives


def _read_outcome(number: int, value: object, pruned: bool,
                  objectives: Objectives | None) -> _Outcome:
    """What a told result is, read by name when the run has named objectives."""
    if objectives is None or pruned or value is None or isinstance(value, BaseException):
        if objectives is None and isinstance(value, Mapping):
            raise TypeError(f"trial {number}: the objective returned a dict of metrics; name "
                            "the objective with objectives={name: 'minimize'}")
        return _Outcome(*_outcome(number, value, pruned))
    reading = objectives.read(number, value)
    first = reading.values[0] if reading.values is not None else None
    return _Outcome(first, reading.error, False, reading)


def _outcome(number: int, value: object, pruned: bool) -> tuple[float | None, str | None, bool]:
    """What a told result of trial `number` is: (value, error text, pruned), checked.

    A finite value; None with an error text for an exception, NaN or an
    infinity (a failure); None and True for a pruned trial.
    """
    if pruned or isinstance(value, TrialPruned):
        if value is not None and not isinstance(value, TrialPruned):
            raise ValueError(f"trial {number}: a pruned trial has no value; give "
                             "pruned=True alone")
        return None, None, True
    if value is None:
        raise TypeError(f"tell needs the value of trial {number}, an exception, or pruned=True")
    if isinstance(value, BaseException):
        return None, bounded_text(f"{type(value).__name__}: {value}"), False
    try:
        result = objective_value(value)
    except TypeError:
        raise TypeError(
            f"the value of trial {number} must be a number or an exception (a real "
            f"number, never a string), got {type(value).__name__}") from None
    except OverflowError:  # an integer such as 10**400: a failure, as an infinity is
        result = math.inf
    if math.isfinite(result):
        return result, None, False
    return None, f"the objective returned {result!r}", False


def _checked_step(number: int, step: Any) -> int:
    if not is_integral(step) or not 0 <= int(step) <= MAX_STEP:
        raise ValueError(f"trial {number}: step must be a non-negative integer up to "
                         f"2**53, got {brief(step)}")
    return int(step)


def _make_method(settings: RunSettings, first_budget: int) -> SearchMethod:
    named = settings.objectives
    return make_method(settings.method, MethodSettings(
        space=settings.space, seed=settings.seed, budget=settings.budget,
        first_budget=first_budget, parallel=settings.parallel, reevaluate=settings.reevaluate,
        probe_ratio=settings.probe_ratio, objectives=len(named.names) if named else 1,
        constrained=bool(named and named.constraints)))


class Optimizer:
    """Ask for trials, evaluate them, tell their values: the solver in Python terms.

    Parameters
    ----------
    space : dict or Space
        The search space, from parameter name to kind.
    budget : int
        The number of trials of the run (at most ``2**53``); never exceeded (a
        batch that would exceed it is cut). The run may end earlier once the
        search has converged.
    seed : int, default 0
        The run is a deterministic function of the space, the seed and the
        values told.
    method : {"auto", "batch", "online", "gp", "cma", "nsga2"}, default "auto"
        The search method (see docs/methods.md). ``"auto"`` chooses one from
        the space and the budget. A run resumed from a journal without a
        method goes on with the journal's. `mode` is its former name.
    probe_ratio : float, default 0.2
        The share of the budget spent on the probe batch (method "batch",
        handed out in slices of at most 1,024 trials).
    direction : {"minimize", "maximize"}
    reevaluate : bool, default False
        By default a trial of a point already evaluated is answered from the
        record (state ``REUSED``), counting towards the budget; ``True``
        hands it out like any other.
    parallel : int, default 1
        Every method but "batch": how many trials run at once; the pending
        ones keep a method from proposing a point twice (docs/parallel.md).
    schedule : {"rounds", "async"}, default "rounds"
        ``"rounds"``: `parallel` trials go out together, the next round once
        all their results are in, told in hand-out order: the trials are a
        function of the space, the seed, `parallel` and the values alone.
        ``"async"``: a new trial goes out as soon as a result is told (the
        next ``ask`` returns it); the run then also depends on that order.
    journal : path-like or Journal, optional
        A JSON Lines file that records every finished trial. If it exists,
        the optimizer is rebuilt from it: the recorded results are told
        again in their recorded order, and the first ``ask`` hands out the
        trials that were handed out but never finished, so that the run goes
        on exactly as an uninterrupted one would. A larger budget than the
        journal's continues the run (see the README); a smaller one, or other
        settings, are refused with :class:`~vordaopt.JournalError`. Release
        it with :meth:`close` or a ``with`` block.
    pruner : MedianPruner, SuccessiveHalvingPruner or HyperbandPruner, optional
        Stops trials early from the values they report (:meth:`report`).
        Without one, reports are recorded and nothing is stopped.
    objectives, constraints : dict, optional
        Named objectives and limits on metrics (see :func:`~vordaopt.minimize`):
        ``tell`` then takes a dict of metrics.
    initial, warm_start : optional
        Points to hand out first (see :meth:`enqueue`), and earlier results to
        tell the method before its first proposal (see :func:`~vordaopt.minimize`).

    Notes
    -----
    A failed trial stays visible as failed and is never the best; the method
    is told the worst value handed out before it, and a pruned trial its last
    report, never better than that (see docs/minimize.md).

    The core's progress notes (the landscape found by the probe, a restart)
    go to the ``logging`` logger ``"vordaopt"`` at level INFO, never to the
    standard output.

    Examples
    --------
    >>> from vordaopt import Optimizer, Real
    >>> opt = Optimizer({"x": Real(-5, 5)}, budget=20, seed=1)
    >>> while (trials := opt.ask()) is not None:
    ...     for trial in trials:
    ...         opt.tell(trial, (trial.params["x"] - 1) ** 2)
    >>> len(opt.trials) <= 20 and opt.best is not None
    True
    """

    def __init__(
        self,
        space: Mapping[str, Kind],
        budget: int,
        *,
        seed: int = 0,
        method: Method | None = None,
        mode: Mode | None = None,
        probe_ratio: float = 0.2,
        direction: Direction = "minimize",
        reevaluate: bool = False,
        parallel: int = 1,
        schedule: Schedule = "rounds",
        journal: str | os.PathLike[str] | Journal | None = None,
        pruner: Pruner | None = None,
        objectives: Mapping[str, Direction] | Sequence[Direction] | None = None,
        constraints: Mapping[str, tuple[float | None, float | None]] | None = None,
        initial: Sequence[Mapping[str, Any]] | None = None,
        warm_start: WarmStart | None = None,
    ) -> None:
        settings = RunSettings.checked(
            space, budget, seed=seed, method=method, mode=mode, probe_ratio=probe_ratio,
            direction=direction, reevaluate=reevaluate, parallel=parallel, schedule=schedule,
            pruner=pruner, journal=journal, objectives=objectives, constraints=constraints,
            initial=initial, warm_start=warm_start)
        self._settings = settings
        self._space = settings.space
        self._names = settings.space.names
        self.budget = settings.budget
        self.seed = settings.seed
        self.method: Method = settings.method
        self.probe_ratio = settings.probe_ratio
        self.direction: Direction = settings.direction
        self.reevaluate = settings.reevaluate
        self.parallel = settings.parallel
        self.schedule: Schedule = settings.schedule
        self.pruner = settings.pruner
        self.objectives: Objectives | None = settings.objectives
        # report() and restart_reports() run on the threads that run trials:
        # they read the ledger and write the book under the book's lock, which
        # _finish holds while a trial finishes. Everything else runs on the
        # thread that asks and tells.
        self._book = PruningBook(settings.pruner, settings.sign)
        self._ledger = Ledger(settings.space, settings.sign, settings.reevaluate,
                              settings.objectives)
        self._journaled = 0  # how many finished trials the journal holds
        self._journal: Journal | None = None
        self._owns_journal = False
        first_budget = self.budget
        if journal is not None:
            self._journal, self._owns_journal = open_for_run(journal, settings.header())
            if isinstance(self._journal.first_budget, int):
                first_budget = self._journal.first_budget
        self._method = _make_method(settings, first_budget)
        if settings.earlier is not None:
            self._method.observe(settings.earlier.told(settings.space, settings.sign))
        self._scheduler = Scheduler(settings, self._method, self._ledger)
        if self._journal is not None:
            try:
                self._scheduler.replay(self._journal.lines, self._finish_recorded,
                                       str(self._journal.path))
                self._write_journal()
            except BaseException:
                self.close()
                raise

    # --- reading ----------------------------------------------------------------------

    @property
    def space(self) -> Space:
        return self._space

    @property
    def trials(self) -> list[Trial]:
        """Every trial so far, in hand-out order (pending ones included)."""
        return list(self._ledger.trials)

    @property
    def best(self) -> Trial | None:
        """The best (feasible) complete trial, the earliest among equals, or None.

        A run of several objectives has none (ValueError): see :attr:`pareto_front`.
        """
        return self._ledger.best

    @property
    def pareto_front(self) -> list[Trial]:
        """The feasible complete trials that no other feasible complete trial dominates."""
        return pareto_front(self._ledger.trials, self.objectives)

    @property
    def n_evaluations(self) -> int:
        """How many results came from the objective (reused trials excluded)."""
        return self._ledger.evaluations

    @property
    def n_pending(self) -> int:
        """How many trials still wait for their result (repeats of pending ones included)."""
        return len(self._ledger.pending())

    @property
    def n_finished(self) -> int:
        """How many trials have finished (reused ones included)."""
        return len(self._ledger.finished)

    def finished_since(self, count: int) -> list[Trial]:
        """The trials that finished after the first `count` to finish, in the order they finished."""
        return [self._ledger.trials[n] for n in self._ledger.finished[count:]]

    @property
    def is_over(self) -> bool:
        """True once the run has ended: the budget is spent or the search has converged."""
        return self._scheduler.over and not self._scheduler.ready

    @property
    def mode(self) -> Method:
        """The former name of `method`."""
        return self.method

    @property
    def journal(self) -> Journal | None:
        """The open journal, if any."""
        return self._journal

    def settings(self, **extra: Any) -> dict[str, Any]:
        """The settings a journal records, and a resumed run must match."""
        return self._settings.header(**extra)

    # --- ask ----------------------------------------------------------------------------

    def enqueue(self, params: Mapping[str, Any]) -> None:
        """Hands out a trial of these parameters before the method's next proposal.

        In the order enqueued, after those of ``initial``; the objective gets
        the values as given, and the method's proposal for those left out. A
        journal records the trial like any other: on resuming, enqueue only
        points not handed out yet. ValueError or TypeError for a name the
        space lacks, a value out of range, or the methods "batch" and "online".
        """
        if not self._method.replays_by_observing:
            raise ValueError(f"method {self.method!r} cannot take known points: it proposes "
                             "from its own plan alone")
        self._scheduler.enqueue(known_point(self._space, params, "enqueue"))

    def ask(self) -> list[Trial] | None:
        """The next trials to evaluate.

        Returns
        -------
        list of Trial or None
            New pending trials; an empty list while results of trials already
            handed out are outstanding (the solver moves on only once it has
            them all); None once the run is over. In online mode the list holds
            one trial, or up to `parallel` (a round, or under the async
            schedule as many as results have come in since). The first call
            on an optimizer rebuilt from a journal returns the trials that
            were handed out before and never finished.
        """
        ready = self._scheduler.take_ready()
        if ready:
            return ready
        handed = self._scheduler.advance()
        self._write_journal()
        return handed

    # --- tell ---------------------------------------------------------------------------

    def report(self, trial: Trial | int, value: float, step: int) -> bool:
        """Record a value a running trial reached at `step`, and say whether to stop it.

        Safe to call from the threads that run trials while results are told.

        Parameters
        ----------
        trial : Trial or int
            A pending trial of this optimizer, or its number.
        value : float
            Its value so far, in the run's direction (a validation loss, say).
            NaN or an infinity is recorded as None and stops the trial under
            any pruner.
        step : int
            A non-negative integer, larger than the trial's previous step.

        Returns
        -------
        bool
            True when the pruner advises stopping the trial (then
            ``tell(trial, pruned=True)``); always False without a pruner.
            Once True, it stays True for that trial.

        Raises
        ------
        ValueError
            The trial is not pending, or the step is not an integer larger
            than the trial's last.
        TypeError
            The value is not a real number.
        """
        # Under the book's lock, which a tell holds while it finishes a trial:
        # a report checked as pending cannot land after its trial finished.
        with self._book.lock:
            number = self._ledger.pending_number(trial)
            step = _checked_step(number, step)
            return self._book.report(number, step, reported_value(number, value, step))

    def restart_reports(self, trial: Trial | int) -> None:
        """Forgets what a pending trial reported: it runs again from its first step.

        Raises
        ------
        ValueError
            The trial is not pending.
        """
        with self._book.lock:
            self._book.forget(self._ledger.pending_number(trial))

    def tell(
        self,
        trial: Trial | int,
        value: float | BaseException | None = None,
        *,
        pruned: bool = False,
        cost: float = 1.0,
        started: float | None = None,
        ended: float | None = None,
    ) -> Trial:
        """Report the result of a pending trial, in any order.

        Parameters
        ----------
        trial : Trial or int
            The trial this optimizer handed out, or its number.
        value : float, dict or BaseException
            The objective's value: a real number (numpy's included, never a
            string), or with named objectives a dict of metrics. An
            exception, NaN or an infinity marks the trial failed; a
            :class:`~vordaopt.TrialPruned` exception marks it pruned.
        pruned : bool, default False
            The trial was stopped early (give no value): it is recorded as
            pruned, with the values it reported.
        cost : float, default 1.0
            A finite, non-negative cost of the evaluation, kept with the trial.
        started, ended : float, optional
            Wall-clock times of the evaluation, kept with the trial.

        Returns
        -------
        Trial
            The finished trial.

        Raises
        ------
        ValueError
            The trial is unknown, not pending, or was handed out by another
            optimizer; or the cost is not a finite, non-negative number.
        TypeError
            The value is neither a real number nor an exception.
        JournalError
            The journal cannot be written.
        """
        number = self._ledger.pending_number(trial)
        cost = as_real("cost", cost, low=0.0, what="a finite number, not negative")
        outcome = _read_outcome(number, value, pruned, self.objectives)
        finished = self._finish(number, outcome.value, outcome.error, cost, started, ended,
                                pruned=outcome.pruned, reading=outcome.reading)
        self._scheduler.after_result()
        self._write_journal()
        return finished

    def _finish(self, number: int, value: float | None, error: str | None, cost: float,
                started: float | None, ended: float | None, *, pruned: bool = False,
                reports: tuple[Report, ...] | None = None,
                reading: Reading | None = None) -> Trial:
        """Records a checked result: a value, an error text for a failure, or a pruned trial.

        `reports` replaces the reports made through this optimizer (a journal's).
        """
        state = (TrialState.PRUNED if pruned
                 else TrialState.FAILED if value is None else TrialState.COMPLETE)
        t = self._ledger.trials[number]
        with self._book.lock:  # a report of this trial sees it pending, or finished whole
            kept = self._book.close(number, state is TrialState.COMPLETE, reports)
            # Built directly: dataclasses.replace costs more than the rest of a tell.
            named = (None, None, None) if reading is None else reading[:3]
            self._ledger.finish(finished := Trial(
                t.number, t.params, t.unit, state, value, float(cost), error, t.reused_from,
                started, ended, kept, *named))
        self._scheduler.tell_method()
        return finished

    def _finish_recorded(self, record: dict[str, Any]) -> None:
        """Records a journal's finished trial again."""
        valueless = record["state"] in (TrialState.FAILED.value, TrialState.PRUNED.value)
        number = int(record["number"])
        self._finish(number, None if valueless else record["value"], record.get("error"),
                     record.get("cost") or 0.0, record.get("started"), record.get("ended"),
                     pruned=record["state"] == TrialState.PRUNED.value,
                     reports=record_reports(record),
                     reading=recorded_reading(number, record, self.objectives))

    # --- the journal --------------------------------------------------------------------

    def _write_journal(self) -> None:
        """Journals the trials finished since the last write (not those already in the file)."""
        if self._journal is None or self._journaled == self.n_finished:
            return
        new = self.finished_since(self._journaled)
        self._journaled = self.n_finished
        self._journal.append(t for t in new if t.number not in self._journal.records)

    def close(self) -> None:
        """Closes the journal if the optimizer opened it (idempotent)."""
        if self._journal is not None and self._owns_journal:
            self._journal.close()

    def __enter__(self) -> Optimizer:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        best_text = "none" if (best := self._ledger.leader) is None else repr(best.value)
        return (f"Optimizer(method={self.method!r}, direction={self.direction!r}, "
                f"trials={len(self._ledger.trials)}/{self.budget}, best={best_text})")
