"""The ask/tell optimizer: trials over any search method.

A method (see methods/base.py) proposes points of the unit cube; the
optimizer hands each out as a :class:`Trial` with decoded parameters,
answers repeats of evaluated configurations from the record, takes results
in any order, and tells the method each result (a stand-in for a failure or
a prune) in the order the trials were handed out, or as they arrive under
the async schedule. It also keeps the reports for the pruner and the journal.
"""

from __future__ import annotations

import math
import numbers
import os
import threading
from collections.abc import Mapping
from typing import Any, Literal, cast

from ._numbers import as_int, as_real, brief, objective_value, reported_value
from .journal import Journal, JournalError, record_reports, recorded_method
from .methods import DEFAULT_METHOD, METHODS, Method, MethodSettings, Told, make_method, method_class
from .pruners import Pruner, TrialPruned
from .space import Kind, Space, space_to_json
from .trial import MAX_BUDGET, MAX_STEP, Report, Trial, TrialState, bounded_text, unit_key

__all__ = ["Optimizer", "Trial", "TrialState", "Report", "FAILED_STAND_IN", "MAX_BUDGET"]

#: The value told to the solver for a failed trial before any trial has a
#: value: finite, as the solver requires, and far worse than any objective
#: worth minimising. Once values exist, a failure counts as the worst so far.
FAILED_STAND_IN = 1e100


Mode = Method
Direction = Literal["minimize", "maximize"]
Schedule = Literal["rounds", "async"]


def _journal_method(journal: Any) -> str | None:
    """The method recorded in an existing journal, if any."""
    if journal is None:
        return None
    if isinstance(journal, Journal):
        recorded = journal.header.get("method") if journal.resumed else None
        return recorded if isinstance(recorded, str) else None
    return recorded_method(journal)


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
    method : {"auto", "batch", "online", "gp", "cma"}, default "auto"
        ``"batch"``: a probe batch, then refinement batches (Nelder-Mead or
        TPE, chosen from the probe's results). ``"online"``: one TPE trial at
        a time. ``"gp"``: Bayesian optimisation with a Gaussian process, one
        trial at a time (or `parallel` at once). ``"cma"``: CMA-ES with
        restarts; a generation's candidates go out `parallel` at a time.
        ``"auto"``: with an integer or categorical parameter, the GP method
        for the first 300 trials (then CMA-ES started around the best of
        them; on a grid of integers and categories only, the GP to the end)
        up to 12 parameters, CMA-ES beyond. Otherwise a trust-region
        descent from the centre (then CMA-ES) when `budget` is small (at
        most 20 trials per parameter for 3 to 5 parameters, 50 beyond);
        otherwise, up to 5 parameters, the GP method for the first 300
        trials, then CMA-ES, and beyond, CMA-ES from the start (see
        docs/methods.md). A run resumed from a journal without a method
        goes on with the journal's.
    mode : str, optional
        The former name of `method`, still accepted.
    probe_ratio : float, default 0.2
        The share of the budget spent on the probe batch (batch mode). A
        probe batch larger than 1,024 trials is handed out in slices of 1,024,
        each once the results of the one before are in.
    direction : {"minimize", "maximize"}
    reevaluate : bool, default False
        The batch workflow often proposes a point it has already evaluated.
        By default such a trial is answered from the recorded value (state
        ``REUSED``) without being handed out; it still counts towards the
        budget. ``True`` hands it out like any other.
    parallel : int, default 1
        Every method but "batch": how many trials run at once. For "gp",
        each pending trial joins the model at its predicted value, so that no
        point is proposed twice. For "cma", pending trials are the next
        candidates of the generation (once all are out, further draws from
        the same distribution). For "online": Beyond the solver's own
        candidate, each comes from a scratch solver holding the same history,
        into which every pending candidate has been told at a stand-in value
        (the "constant liar": the worst value told so far, 0.0 before any,
        which the first 24 uniform draws never read). A candidate that
        repeats an evaluated or pending point ends the round early.
    schedule : {"rounds", "async"}, default "rounds"
        ``"rounds"``: `parallel` trials are handed out together, and the next
        round starts once all their results are in; they are told to the
        solver in hand-out order, so the trials are a function of the space,
        the seed, `parallel` and the values alone. ``"async"``: a new trial
        is handed out as soon as a result is told (``tell`` prepares it, and
        the next ``ask`` returns it), with the pending ones as liars; the run
        then also depends on the order in which results are told.
    journal : path-like or Journal, optional
        A JSON Lines file that records every finished trial. If it exists,
        the optimizer is rebuilt from it: the recorded results are told
        again in their recorded order, and the first ``ask`` hands out the
        trials that were handed out but never finished, so that the run goes
        on exactly as an uninterrupted one would. A larger budget than the
        journal's continues the run (see the README); a smaller one, or other
        settings, are refused with :class:`~vordaopt.JournalError`. Call
        :meth:`close` (or use the optimizer in a ``with`` block) to release it.
    pruner : MedianPruner, SuccessiveHalvingPruner or HyperbandPruner, optional
        Stops trials early from the values they report (:meth:`report`).
        Without one, reports are recorded and nothing is stopped.

    Notes
    -----
    A failed trial (``tell`` with an exception, or a value that is NaN or
    infinite) stays visible as failed and is never the best. The solver needs
    a finite value for it, and is told the worst value among the trials handed
    out before it (``FAILED_STAND_IN`` if none has a value): the search then
    steers away from failing regions without ever preferring them. A pruned
    trial is told its last finite report, but never a value better than the
    worst told so far: reports need not be on the scale of the final value
    (a training loss, a running accuracy), and a point given up on must not
    look better to the method than one trained to the end.

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
    ) -> None:
        self._space = Space(space)
        self._names = self._space.names
        self.budget = as_int("budget", budget, 0, MAX_BUDGET,
                             what="a non-negative integer of at most 2**53")
        self.seed = as_int("seed", seed, 0, 2**64 - 1, what="an integer from 0 to 2**64 - 1")
        if method is not None and mode is not None and method != mode:
            raise ValueError(f"method={method!r} and mode={mode!r} disagree; give method only")
        chosen: str | None = method if method is not None else mode
        if chosen is None:
            # A resumed run goes on with the method its journal was started with.
            chosen = _journal_method(journal) or DEFAULT_METHOD
        if chosen not in METHODS:
            raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, got {chosen!r}")
        mode = cast(Method, chosen)
        if direction not in ("minimize", "maximize"):
            raise ValueError(f"direction must be 'minimize' or 'maximize', got {direction!r}")
        self.probe_ratio = as_real("probe_ratio", probe_ratio, low=0.0, high=1.0,
                                   what="a number in [0, 1]")
        self.parallel = as_int("parallel", parallel, 1, what="a positive integer")
        if schedule not in ("rounds", "async"):
            raise ValueError(f"schedule must be 'rounds' or 'async', got {schedule!r}")
        if method_class(mode).batched and (self.parallel != 1 or schedule != "rounds"):
            raise ValueError(
                f"parallel and schedule do not apply to method {mode!r}, which hands out "
                "whole batches for an executor to evaluate concurrently")
        self.schedule: Schedule = schedule
        self.method: Method = mode
        self.direction: Direction = direction
        self.reevaluate = bool(reevaluate)
        self._sign = 1.0 if direction == "minimize" else -1.0
        if pruner is not None and not (hasattr(pruner, "start") and hasattr(pruner, "to_json")):
            raise TypeError(f"pruner must be a MedianPruner, SuccessiveHalvingPruner or "
                            f"HyperbandPruner, got {type(pruner).__name__}")
        self.pruner = pruner
        self._pruning = None if pruner is None else pruner.start()
        self._finished_curves = 0  # finished trials the pruner counts
        # Reports of running trials: trials report from other threads while
        # results are told, so both go through this lock.
        self._lock = threading.RLock()
        self._reports: dict[int, list[Report]] = {}
        self._curves: dict[int, list[tuple[int, float]]] = {}  # internal values
        self._stop_advised: set[int] = set()

        self._trials: list[Trial] = []
        # Repeats are repeats of the parameters, not of the unit point: on a
        # grid, many points decode to the same values.
        self._complete_at: dict[tuple[Any, ...], int] = {}  # parameters -> first complete trial
        self._key_of: dict[int, tuple[Any, ...]] = {}  # pending trial -> its parameters
        self._waiting_on: dict[int, list[int]] = {}  # trial -> repeats waiting for its result
        self._waiting: set[int] = set()  # every repeat in those lists
        self._queue: list[int] = []  # handed out, not yet told to the solver, in order
        self._ready: list[Trial] = []  # handed out, not yet returned by ask()
        self._worst: float | None = None  # worst internal value told to the solver
        self._best: int | None = None
        self._best_internal: float | None = None
        self._finished: list[int] = []  # trial numbers in the order they finished
        self._journaled = 0  # how many of them the journal holds
        self._evaluations = 0
        self._over = False
        self._journal: Journal | None = None
        self._owns_journal = False
        first_budget = self.budget
        if journal is not None:
            self._journal, self._owns_journal = self._open_journal(journal)
            if isinstance(self._journal.first_budget, int):
                first_budget = self._journal.first_budget
        self._method = make_method(mode, MethodSettings(
            space=self._space, seed=self.seed, budget=self.budget, first_budget=first_budget,
            parallel=self.parallel, reevaluate=self.reevaluate, probe_ratio=self.probe_ratio))
        # While a journal is replayed: the recorded points, which a method
        # that replays by observing hands out instead of proposing them again.
        self._replay_units: dict[int, tuple[float, ...]] = {}

        if self._journal is not None:
            try:
                self._replay(self._journal.lines)
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
        return list(self._trials)

    @property
    def best(self) -> Trial | None:
        """The best complete trial (the earliest among equals), or None."""
        return None if self._best is None else self._trials[self._best]

    @property
    def n_evaluations(self) -> int:
        """How many results came from the objective (reused trials excluded)."""
        return self._evaluations

    @property
    def n_pending(self) -> int:
        """How many trials still wait for their result (repeats of pending ones included)."""
        return sum(self._trials[n].state is TrialState.PENDING for n in self._queue)

    @property
    def is_over(self) -> bool:
        """True once the run has ended: the budget is spent or the search has converged."""
        return self._over and not self._ready

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
        try:
            space_json = space_to_json(self._space)
        except (TypeError, ValueError) as exc:
            raise TypeError(f"a journal needs JSON values as choices: {exc}") from None
        return {
            "space": space_json,
            "budget": self.budget,
            "seed": self.seed,
            "method": self.method,
            "probe_ratio": self.probe_ratio,
            "direction": self.direction,
            "reevaluate": self.reevaluate,
            "parallel": self.parallel,
            "schedule": self.schedule,
            # Only when set, so that journals of runs without one keep their header.
            **({"pruner": self.pruner.to_json()} if self.pruner is not None else {}),
            **extra,
        }

    # --- ask ----------------------------------------------------------------------------

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
        if self._ready:
            ready = [t for t in self._ready if self._trials[t.number].state is TrialState.PENDING]
            self._ready = []
            if ready:
                return ready
        handed = self._advance()
        self._write_journal()
        return handed

    def _advance(self) -> list[Trial] | None:
        """Hands out what the method proposes now; None once the run is over."""
        if self._over:
            return None
        pending = [self._trials[n] for n in self._queue
                   if self._trials[n].state is TrialState.PENDING]
        if self._method.batched:
            want = self.budget - len(self._trials)  # whole batches, cut to the budget
        else:
            room = self._round_size(len(pending))
            if not room:
                return None if room is None else []
            want = room
        handed: list[Trial] = []
        while len(handed) < want and len(self._trials) < self.budget:
            recorded = (self._replay_units.get(len(self._trials))
                        if self._method.replays_by_observing else None)
            units = ([recorded] if recorded is not None
                     else self._method.propose(pending, want - len(handed)))
            if units is None:
                self._over = True
                break
            if not units:
                break
            new = self._take(units)
            handed += new
            pending += new
        if handed or pending:
            return handed
        if self._over or len(self._trials) >= self.budget:
            self._over = True
            return None
        # Every point taken was a repeat, answered from the record: ask again.
        return self._advance()

    def _round_size(self, pending: int) -> int | None:
        """How many trials to hand out now beside `pending` ones; None once the run is over."""
        if self.schedule == "rounds" and pending:
            return 0
        want = min(self.parallel - pending, self.budget - len(self._trials))
        if want <= 0 and len(self._trials) >= self.budget and not pending:
            self._over = True
            return None
        return max(want, 0)

    def _take(self, units: list[tuple[float, ...]]) -> list[Trial]:
        """Makes trials of the method's points; returns those to hand out."""
        handed: list[Trial] = []
        in_batch: dict[tuple[Any, ...], int] = {}
        for unit in units:
            number = len(self._trials)
            trial = Trial(number, self._space.decode(dict(zip(self._names, unit))), unit)
            self._trials.append(trial)
            self._queue.append(number)
            key = self._space.point_key(trial.params, unit)
            self._key_of[number] = key
            if not self.reevaluate:
                source = self._complete_at.get(key)
                if source is not None:
                    self._reuse(number, self._trials[source])
                    continue
                source = in_batch.get(key)
                if source is not None:
                    self._waiting_on.setdefault(source, []).append(number)
                    self._waiting.add(number)
                    continue
                in_batch[key] = number
            handed.append(trial)
        if len(handed) < len(units):
            self._flush()  # repeats answered at once may be told now
        return handed

    def _reuse(self, number: int, source: Trial) -> None:
        if source.state is TrialState.PRUNED:
            state, error = TrialState.PRUNED, None
        elif source.state is TrialState.COMPLETE:
            state, error = TrialState.REUSED, None
        else:
            state, error = TrialState.FAILED, f"repeats trial {source.number}, which failed"
        t = self._trials[number]
        self._trials[number] = Trial(t.number, t.params, t.unit, state, source.value, 0.0, error,
                                     source.number)
        self._finished.append(number)

    # --- tell ---------------------------------------------------------------------------

    def _pending_number(self, trial: Trial | int) -> int:
        """The number of `trial`, checked to be a pending trial of this optimizer."""
        number = trial.number if isinstance(trial, Trial) else trial
        if (isinstance(number, bool) or not isinstance(number, int)
                or not 0 <= number < len(self._trials)):
            raise ValueError(f"no trial number {number!r} in this run")
        current = self._trials[number]
        if isinstance(trial, Trial) and (unit_key(trial.unit) != unit_key(current.unit)
                                         or tuple(trial.params) != self._names):
            raise ValueError(
                f"trial {number} was not handed out by this optimizer: its parameters differ")
        if current.state is not TrialState.PENDING or number in self._waiting:
            raise ValueError(f"trial {number} is not pending (it is {current.state.value})")
        return number

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
        number = self._pending_number(trial)
        if (isinstance(step, bool) or not isinstance(step, numbers.Integral)
                or not 0 <= step <= MAX_STEP):
            raise ValueError(f"trial {number}: step must be a non-negative integer up to 2**53, got "
                             f"{brief(step)}")
        step = int(step)
        result = reported_value(number, value, step)
        finite = math.isfinite(result)
        with self._lock:
            reports = self._reports.setdefault(number, [])
            if reports and step <= reports[-1].step:
                raise ValueError(f"trial {number} reported step {step} after step "
                                 f"{reports[-1].step}: steps must increase")
            reports.append(Report(step, result if finite else None, self._finished_curves))
            curve = self._curves.setdefault(number, [])
            curve.append(self._curve_point(reports[-1]))
            if self._pruning is None:
                return False
            if number not in self._stop_advised and self._pruning.decide(number, curve):
                self._stop_advised.add(number)
            return number in self._stop_advised

    def _curve_point(self, report: Report) -> tuple[int, float]:
        """A report as the pruner reads it: the value to minimise, NaN when not finite."""
        return report.step, math.nan if report.value is None else self._sign * report.value

    def _forget_reports(self, number: int) -> list[Report]:
        """Drops what a running trial reported (it finished, or starts again); returns its reports."""
        with self._lock:
            self._curves.pop(number, None)
            self._stop_advised.discard(number)
            return self._reports.pop(number, [])

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
        value : float or BaseException
            The objective's value: a real number (numpy's included, never a
            string). An exception, NaN or an infinity marks the trial failed;
            a :class:`~vordaopt.TrialPruned` exception marks it pruned.
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
        number = self._pending_number(trial)
        cost = as_real("cost", cost, low=0.0, what="a finite number, not negative")
        if pruned or isinstance(value, TrialPruned):
            if value is not None and not isinstance(value, TrialPruned):
                raise ValueError(f"trial {number}: a pruned trial has no value; give "
                                 "pruned=True alone")
            finished = self._finish(number, None, None, cost, started, ended, pruned=True)
        elif value is None:
            raise TypeError(f"tell needs the value of trial {number}, an exception, or "
                            "pruned=True")
        elif isinstance(value, BaseException):
            finished = self._finish(number, None, bounded_text(f"{type(value).__name__}: {value}"),
                                    cost, started, ended)
        else:
            try:
                result = objective_value(value)
            except TypeError:
                raise TypeError(
                    f"the value of trial {number} must be a number or an exception (a real "
                    f"number, never a string), got {type(value).__name__}") from None
            except OverflowError:  # an integer such as 10**400: a failure, as an infinity is
                result = math.inf
            if math.isfinite(result):
                finished = self._finish(number, result, None, cost, started, ended)
            else:
                finished = self._finish(number, None, f"the objective returned {result!r}", cost,
                                        started, ended)
        if self.schedule == "async":
            # The next trial is handed out now, whenever ask() is called: the
            # run is then a function of the order of the results alone, which
            # a journal replays.
            self._ready += self._advance() or []
        self._write_journal()
        return finished

    def _finish(self, number: int, value: float | None, error: str | None, cost: float,
                started: float | None, ended: float | None, *, pruned: bool = False,
                reports: tuple[Report, ...] | None = None) -> Trial:
        """Records a checked result: a value, an error text for a failure, or a pruned trial.

        `reports` replaces the reports made through this optimizer (a journal's).
        """
        if pruned:
            state = TrialState.PRUNED
        else:
            state = TrialState.FAILED if value is None else TrialState.COMPLETE
        t = self._trials[number]
        with self._lock:
            made = self._forget_reports(number)
            kept = tuple(made) if reports is None else reports
            if self._pruning is not None:
                self._pruning.add(number, state is TrialState.COMPLETE,
                                  [self._curve_point(r) for r in kept])
            self._finished_curves += 1
            # Built directly: dataclasses.replace costs more than the rest of a tell.
            finished = Trial(t.number, t.params, t.unit, state, value, float(cost), error,
                             t.reused_from, started, ended, kept)
            self._trials[number] = finished
        self._finished.append(number)
        self._evaluations += 1
        key = self._key_of.pop(number, None)
        if value is not None:
            self._complete_at.setdefault(
                key or self._space.point_key(finished.params, finished.unit), number)
            internal = self._sign * value
            if self._best_internal is None or internal < self._best_internal:
                self._best, self._best_internal = number, internal
        for repeat in self._waiting_on.pop(number, ()):
            self._waiting.discard(repeat)
            self._reuse(repeat, finished)
        self._flush()
        return finished

    def _pruned_stand_in(self, trial: Trial) -> float:
        """The value told to the search method for a pruned trial.

        Its last finite report, but never better than the worst value told
        so far: reports need not be on the scale of final values, and a
        point given up on must not look better than a point trained to the
        end. Among pruned trials worse than every complete one, their
        reports keep their order. Without a report: the failure rule.
        """
        last = next((r.value for r in reversed(trial.reports) if r.value is not None), None)
        if last is None:
            return FAILED_STAND_IN if self._worst is None else self._worst
        internal = self._sign * last
        return internal if self._worst is None else max(internal, self._worst)

    def _flush(self) -> None:
        """Tells the method the results it can take now.

        In hand-out order: each result once its predecessors' are told. Under
        the async schedule: every result as soon as it is in. A failed or
        pruned trial is told a stand-in value.
        """
        told: list[int] = []
        results: list[Told] = []
        in_order = self.schedule == "rounds"
        for i, number in enumerate(self._queue):
            trial = self._trials[number]
            if trial.state is TrialState.PENDING:
                if in_order:
                    break
                continue
            stand_in = trial.value is None or trial.state is TrialState.FAILED
            if not stand_in:
                assert trial.value is not None
                internal = self._sign * trial.value
                if self._worst is None or internal > self._worst:
                    self._worst = internal
            elif trial.state is TrialState.PRUNED:
                internal = self._pruned_stand_in(trial)
            else:
                internal = FAILED_STAND_IN if self._worst is None else self._worst
            results.append(Told(trial, internal, stand_in))
            told.append(i)
        if not told:
            return
        if in_order:
            del self._queue[:len(told)]
        else:
            for i in reversed(told):
                del self._queue[i]
        self._method.observe(results)

    # --- the journal --------------------------------------------------------------------

    def _open_journal(self, journal: Any) -> tuple[Journal, bool]:
        settings = self.settings()
        if isinstance(journal, Journal):
            # Opened by the caller, with settings of its own besides the run's.
            wrong = sorted(k for k, v in settings.items() if journal.header.get(k) != v)
            if wrong:
                raise JournalError(
                    f"{journal.path} was opened for other settings: {', '.join(wrong)}")
            return journal, False
        return Journal(journal, settings), True

    def _replay(self, lines: list[dict[str, Any]]) -> None:
        """Tells the recorded results again, each after one ask, as the run was driven."""
        if self._method.replays_by_observing:
            self._replay_units = {int(r["number"]): tuple(float(u) for u in r["unit"])
                                  for r in lines}
        for record in lines:
            if record.get("reused_from") is not None:
                continue  # repeats are rebuilt by the optimizer itself
            self._ready += self._advance() or []
            number = int(record["number"])
            trial = self._trials[number] if number < len(self._trials) else None
            if (trial is None or trial.state is not TrialState.PENDING or number in self._waiting
                    or unit_key(tuple(float(u) for u in record["unit"])) != unit_key(trial.unit)):
                raise JournalError(
                    f"the journal {self._journal.path if self._journal else ''} does not match "
                    f"this run at trial {number}: it was written by another version of "
                    "vordaopt, or edited")
            valueless = record["state"] in (TrialState.FAILED.value, TrialState.PRUNED.value)
            self._finish(number, None if valueless else record["value"], record.get("error"),
                         record.get("cost") or 0.0, record.get("started"), record.get("ended"),
                         pruned=record["state"] == TrialState.PRUNED.value,
                         reports=record_reports(record))
        self._ready += self._advance() or []
        self._replay_units = {}
        self._ready = sorted((t for t in self._ready
                              if self._trials[t.number].state is TrialState.PENDING),
                             key=lambda t: t.number)
        self._write_journal()

    def _write_journal(self) -> None:
        """Journals the trials finished since the last write (not those already in the file)."""
        if self._journal is None or self._journaled == len(self._finished):
            return
        new = [self._trials[n] for n in self._finished[self._journaled:]]
        self._journaled = len(self._finished)
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
        best = self.best
        best_text = "none" if best is None else repr(best.value)
        return (f"Optimizer(method={self.method!r}, direction={self.direction!r}, "
                f"trials={len(self._trials)}/{self.budget}, best={best_text})")
