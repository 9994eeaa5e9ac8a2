"""The record of a run's trials: hand-out order, repeats, the best, and what a method is told.

A trial is made for every point a method proposes. Unless the run
re-evaluates, a point whose parameters repeat an evaluated trial is
answered from the record at once (state ``REUSED``, or the source's failure
or prune), and one that repeats another point of the same hand-out waits
for that point's result. Results reach the method in hand-out order (or as
they arrive, under the async schedule), each with the value it minimises:
a failed trial stands in as the worst value told before it, a pruned one as
its last report but never better than that worst.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

from .methods import Told
from .objectives import Objectives
from .space import Space
from .trial import Trial, TrialState, unit_key

__all__ = ["FAILED_STAND_IN", "Ledger"]

#: The value told to the method for a failed trial before any trial has a
#: value: finite, as the methods require, and far worse than any objective
#: worth minimising. Once values exist, a failure counts as the worst so far.
FAILED_STAND_IN = 1e100


class Ledger:
    """Every trial of a run and the order in which the method learns of them.

    Parameters
    ----------
    space : Space
    sign : float
        1.0 to minimise, -1.0 to maximise: the method always minimises.
    reevaluate : bool
        Hand out repeated points instead of answering them from the record.
    """

    def __init__(self, space: Space, sign: float, reevaluate: bool,
                 objectives: Objectives | None = None) -> None:
        self._space = space
        self._names = space.names
        self._sign = sign
        self._reevaluate = reevaluate
        self.trials: list[Trial] = []
        # Repeats are repeats of the parameters, not of the unit point: on a
        # grid, many points decode to the same values.
        self._complete_at: dict[tuple[Any, ...], int] = {}  # parameters -> first complete trial
        self._key_of: dict[int, tuple[Any, ...]] = {}  # pending trial -> its parameters
        self._waiting_on: dict[int, list[int]] = {}  # trial -> repeats waiting for its result
        self._waiting: set[int] = set()  # every repeat in those lists
        self._queue: list[int] = []  # handed out, not yet told to the method, in order
        self._worst: float | None = None  # worst value (to minimise) told to the method
        # With several objectives: their signs, and each one's worst told value.
        self._signs = objectives.signs if objectives is not None else ()
        self._objectives = objectives
        self._constrained = objectives is not None and bool(objectives.constraints)
        self._worst_values: list[float] | None = None
        self._best: int | None = None
        self._best_value: float | None = None  # to minimise
        self.finished: list[int] = []  # trial numbers in the order they finished
        self.evaluations = 0
        self._size = space.size  # of a finite space, else None

    # --- reading ----------------------------------------------------------------------

    @property
    def best(self) -> Trial | None:
        """The best feasible complete trial (the earliest among equals), or None.

        Raises ValueError in a run of several objectives, which has no single best.
        """
        if len(self._signs) > 1:
            raise ValueError("a run of several objectives has no single best trial: "
                             "see pareto_front")
        return self.leader

    @property
    def leader(self) -> Trial | None:
        """The best trial by the first objective: `best`, which a run of several objectives lacks."""
        return None if self._best is None else self.trials[self._best]

    def pending(self) -> list[Trial]:
        """The trials still waiting for a result, in hand-out order (waiting repeats included)."""
        return [self.trials[n] for n in self._queue if self.trials[n].state is TrialState.PENDING]

    def pending_number(self, trial: Trial | int) -> int:
        """The number of `trial`, checked to be a pending trial of this run."""
        number = trial.number if isinstance(trial, Trial) else trial
        if (isinstance(number, bool) or not isinstance(number, int)
                or not 0 <= number < len(self.trials)):
            raise ValueError(f"no trial number {number!r} in this run")
        current = self.trials[number]
        if isinstance(trial, Trial) and (unit_key(trial.unit) != unit_key(current.unit)
                                         or tuple(trial.params) != tuple(current.params)):
            raise ValueError(
                f"trial {number} was not handed out by this optimizer: its parameters differ")
        if current.state is not TrialState.PENDING or number in self._waiting:
            raise ValueError(f"trial {number} is not pending (it is {current.state.value})")
        return number

    def exhausted(self) -> bool:
        """Every configuration of a finite space is evaluated, and repeats are answered from the record.

        Nothing is left to learn: a method could only propose repeats, each
        answered at once, and a run with a large budget would never stop.
        """
        return (not self._reevaluate and self._size is not None
                and len(self._complete_at) >= self._size)

    def is_waiting(self, number: int) -> bool:
        """Whether trial `number` is a repeat waiting for the result of the point it repeats."""
        return number in self._waiting

    # --- writing ----------------------------------------------------------------------

    def take(self, units: Sequence[tuple[float, ...]],
             given: Mapping[str, Any] | None = None) -> tuple[list[Trial], bool]:
        """Makes trials of a method's points (of a known point's, whose `given`
        parameters stand as given).

        Returns the trials to hand out, and whether some were repeats
        answered from the record (the method may learn of them now).
        """
        handed: list[Trial] = []
        in_batch: dict[tuple[Any, ...], int] = {}
        for unit in units:
            number = len(self.trials)
            params = self._space.decode(dict(zip(self._names, unit)))
            if given:  # a known point's values, where the point makes them active
                params = {**params, **{n: v for n, v in given.items() if n in params}}
            trial = Trial(number, params, unit)
            self.trials.append(trial)
            self._queue.append(number)
            key = self._space.point_key(trial.params, unit)
            self._key_of[number] = key
            if not self._reevaluate:
                source = self._complete_at.get(key)
                if source is not None:
                    self._reuse(number, self.trials[source])
                    continue
                source = in_batch.get(key)
                if source is not None:
                    self._waiting_on.setdefault(source, []).append(number)
                    self._waiting.add(number)
                    continue
                in_batch[key] = number
            handed.append(trial)
        return handed, len(handed) < len(units)

    def _reuse(self, number: int, source: Trial) -> None:
        if source.state is TrialState.PRUNED:
            state, error = TrialState.PRUNED, None
        elif source.state is TrialState.COMPLETE:
            state, error = TrialState.REUSED, None
        else:
            state, error = TrialState.FAILED, f"repeats trial {source.number}, which failed"
        t = self.trials[number]
        self.trials[number] = Trial(t.number, t.params, t.unit, state, source.value, 0.0, error,
                                    source.number, metrics=source.metrics, values=source.values,
                                    violation=source.violation)
        self.finished.append(number)

    def finish(self, finished: Trial) -> None:
        """Records a finished trial (its number pending) and answers the repeats waiting on it."""
        number = finished.number
        self.trials[number] = finished
        self.finished.append(number)
        self.evaluations += 1
        key = self._key_of.pop(number, None)
        if finished.value is not None:
            self._complete_at.setdefault(
                key or self._space.point_key(finished.params, finished.unit), number)
            value = self._sign * finished.value
            if finished.feasible and (self._best_value is None or value < self._best_value):
                self._best, self._best_value = number, value
        for repeat in self._waiting_on.pop(number, ()):
            self._waiting.discard(repeat)
            self._reuse(repeat, finished)

    def results_to_tell(self, in_order: bool) -> list[Told]:
        """The results the method may learn now, taken off the queue.

        In hand-out order: each result once its predecessors' are in.
        Otherwise every result that is in.
        """
        told: list[int] = []
        results: list[Told] = []
        for i, number in enumerate(self._queue):
            trial = self.trials[number]
            if trial.state is TrialState.PENDING:
                if in_order:
                    break
                continue
            stand_in = trial.value is None or trial.state is TrialState.FAILED
            if trial.value is not None and not stand_in and trial.feasible:
                value = self._sign * trial.value
                if self._worst is None or value > self._worst:
                    self._worst = value
            elif trial.value is not None and not stand_in:
                # Infeasible: to a method of one objective, never better than
                # the worst feasible value told so far.
                stand_in = True
                value = self._sign * trial.value
                value = value if self._worst is None else max(value, self._worst)
            elif trial.state is TrialState.PRUNED:
                value = self._pruned_stand_in(trial)
            else:
                value = FAILED_STAND_IN if self._worst is None else self._worst
            # With constraints a method also learns an infeasible trial's own values.
            values = (self._values_to_tell(trial) if len(self._signs) > 1 or self._constrained
                      else None)
            margins = None
            if (self._objectives is not None and self._constrained and trial.metrics is not None
                    and trial.values is not None and trial.state is not TrialState.FAILED):
                margins = self._objectives.margins(trial.metrics)
            results.append(Told(trial, value, stand_in, values, trial.violation or 0.0, margins))
            told.append(i)
        if in_order:
            del self._queue[:len(told)]
        else:
            for i in reversed(told):
                del self._queue[i]
        return results

    def _values_to_tell(self, trial: Trial) -> tuple[float, ...]:
        """The objectives to minimise of a result, each failure's the worst told in each."""
        if trial.values is not None and trial.state is not TrialState.FAILED:
            values = tuple(s * v for s, v in zip(self._signs, trial.values))
            if self._worst_values is None:
                self._worst_values = list(values)
            else:
                self._worst_values = [max(w, v) for w, v in zip(self._worst_values, values)]
            return values
        # Failed, or pruned (whose reports have one value): the worst so far.
        if self._worst_values is None:
            return (FAILED_STAND_IN,) * len(self._signs)
        return tuple(self._worst_values)

    def _pruned_stand_in(self, trial: Trial) -> float:
        """The value told to the method for a pruned trial.

        Its last finite report, but never better than the worst value told
        so far: reports need not be on the scale of final values, and a
        point given up on must not look better than a point trained to the
        end. Among pruned trials worse than every complete one, their
        reports keep their order. Without a report: the failure rule.
        """
        last = next((r.value for r in reversed(trial.reports) if r.value is not None), None)
        if last is None:
            return FAILED_STAND_IN if self._worst is None else self._worst
        value = self._sign * last
        return value if self._worst is None else max(value, self._worst)

