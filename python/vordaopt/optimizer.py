"""Trials and the ask/tell optimizer over the extension's solver.

The solver searches the unit cube of the space; the optimizer hands out each
of its candidates as a :class:`Trial` with decoded parameters, takes results in
any order, and tells them to the solver in the order the candidates were
handed out, as the solver requires.
"""

from __future__ import annotations

import enum
import json
import math
import struct
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, Literal

from ._internal import VordaSolver
from .space import Kind, Space

__all__ = ["Optimizer", "Trial", "TrialState", "FAILED_STAND_IN"]

#: The value told to the solver for a failed trial before any trial has a
#: value: finite, as the solver requires, and far worse than any objective
#: worth minimising. Once values exist, a failure counts as the worst so far.
FAILED_STAND_IN = 1e100


class TrialState(enum.Enum):
    """Where a trial stands."""

    PENDING = "pending"
    """Handed out; no result yet."""
    COMPLETE = "complete"
    """Evaluated, with a finite value."""
    FAILED = "failed"
    """The evaluation raised, or returned NaN or an infinity."""
    REUSED = "reused"
    """A repeat of an evaluated point, answered from its recorded value."""


@dataclass(frozen=True, slots=True)
class Trial:
    """One evaluation of the objective, as handed out and as finished.

    Attributes
    ----------
    number : int
        Its place in the run, from 0, in hand-out order.
    params : dict
        The parameter values: ``float`` for real and periodic parameters,
        ``int`` for integers, the choice object itself for categories.
    unit : tuple of float
        Its point of the unit cube, one coordinate per parameter in name order.
    state : TrialState
    value : float or None
        The objective's value (in the user's direction); None while pending
        and for failed trials.
    cost : float or None
        The cost told with the value (the objective's wall time in
        :func:`~vordaopt.minimize`).
    error : str or None
        Why a failed trial failed.
    reused_from : int or None
        For a repeated point, the number of the trial it repeats.
    started, ended : float or None
        Wall-clock times (seconds since the epoch) of the evaluation, when
        known.
    """

    number: int
    params: dict[str, Any]
    unit: tuple[float, ...]
    state: TrialState = TrialState.PENDING
    value: float | None = None
    cost: float | None = None
    error: str | None = None
    reused_from: int | None = None
    started: float | None = field(default=None, compare=False)
    ended: float | None = field(default=None, compare=False)

    def __repr__(self) -> str:
        extra = f", value={self.value!r}" if self.value is not None else ""
        if self.error is not None:
            extra += f", error={self.error!r}"
        return f"Trial(number={self.number}, state={self.state.value}{extra}, params={self.params!r})"


def _point_key(unit: tuple[float, ...]) -> bytes:
    # Bit for bit: -0.0 and 0.0 differ, as they do for the solver's next steps.
    return struct.pack(f"<{len(unit)}d", *unit)


Mode = Literal["batch", "online"]
Direction = Literal["minimize", "maximize"]
Schedule = Literal["rounds", "async"]


class Optimizer:
    """Ask for trials, evaluate them, tell their values: the solver in Python terms.

    Parameters
    ----------
    space : dict or Space
        The search space, from parameter name to kind.
    budget : int
        The number of trials of the run; never exceeded (a batch that would
        exceed it is cut). The run may end earlier once the search has
        converged.
    seed : int, default 0
        The run is a deterministic function of the space, the seed and the
        values told.
    mode : {"batch", "online"}
        ``"batch"``: a probe batch, then refinement batches (Nelder-Mead or
        TPE, chosen from the probe's results). ``"online"``: one TPE trial at
        a time.
    probe_ratio : float, default 0.2
        The share of the budget spent on the probe batch (batch mode).
    direction : {"minimize", "maximize"}
    reevaluate : bool, default False
        The batch workflow often proposes a point it has already evaluated.
        By default such a trial is answered from the recorded value (state
        ``REUSED``) without being handed out; it still counts towards the
        budget. ``True`` hands it out like any other.
    parallel : int, default 1
        Online mode: how many trials run at once. Beyond the solver's own
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
        is handed out as soon as one finishes, with the pending ones as
        liars; results are told in the order they arrive, so the run also
        depends on that order (a journal records it and replays it).

    Notes
    -----
    A failed trial (``tell`` with an exception, or a value that is NaN or
    infinite) stays visible as failed and is never the best. The solver needs
    a finite value for it, and is told the worst value among the trials handed
    out before it (``FAILED_STAND_IN`` if none has a value): the search then
    steers away from failing regions without ever preferring them.

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
        mode: Mode = "batch",
        probe_ratio: float = 0.2,
        direction: Direction = "minimize",
        reevaluate: bool = False,
        parallel: int = 1,
        schedule: Schedule = "rounds",
    ) -> None:
        self._space = Space(space)
        self._names = self._space.names
        self._keys = [json.dumps(name) + ":" for name in self._names]
        if isinstance(budget, bool) or not isinstance(budget, int) or budget < 0:
            raise ValueError(f"budget must be a non-negative integer, got {budget!r}")
        if isinstance(seed, bool) or not isinstance(seed, int) or not 0 <= seed < 2**64:
            raise ValueError(f"seed must be an integer from 0 to 2**64 - 1, got {seed!r}")
        if mode not in ("batch", "online"):
            raise ValueError(f"mode must be 'batch' or 'online', got {mode!r}")
        if direction not in ("minimize", "maximize"):
            raise ValueError(f"direction must be 'minimize' or 'maximize', got {direction!r}")
        if (isinstance(probe_ratio, bool) or not isinstance(probe_ratio, (int, float))
                or not 0.0 <= probe_ratio <= 1.0):
            raise ValueError(f"probe_ratio must be a number in [0, 1], got {probe_ratio!r}")
        if isinstance(parallel, bool) or not isinstance(parallel, int) or parallel < 1:
            raise ValueError(f"parallel must be a positive integer, got {parallel!r}")
        if schedule not in ("rounds", "async"):
            raise ValueError(f"schedule must be 'rounds' or 'async', got {schedule!r}")
        if mode == "batch" and (parallel != 1 or schedule != "rounds"):
            raise ValueError(
                "parallel and schedule apply to online mode; batch mode hands out whole "
                "batches, which an executor evaluates concurrently")
        self.parallel = parallel
        self.schedule: Schedule = schedule
        self.budget = budget
        self.seed = seed
        self.mode: Mode = mode
        self.probe_ratio = float(probe_ratio)
        self.direction: Direction = direction
        self.reevaluate = bool(reevaluate)
        self._sign = 1.0 if direction == "minimize" else -1.0
        config = {
            "seed": seed,
            "budget": budget,
            "bounds": self._space.solver_bounds(),
            "probe_ratio": self.probe_ratio,
        }
        self._config_json = json.dumps(config)
        self._solver = VordaSolver(self._config_json)
        # The records told to the solver, as JSON texts: a parallel round
        # rebuilds a scratch solver from them without encoding them again.
        self._told_texts: list[str] = []

        self._trials: list[Trial] = []
        self._complete_at: dict[bytes, int] = {}  # point -> first complete trial there
        self._key_of: dict[int, bytes] = {}  # pending trial -> its point
        self._waiting_on: dict[int, list[int]] = {}  # trial -> repeats waiting for its result
        self._waiting: set[int] = set()  # every repeat in those lists
        self._queue: list[int] = []  # handed out, not yet told to the solver, in order
        self._worst: float | None = None  # worst internal value told to the solver
        self._best: int | None = None
        self._best_internal: float | None = None
        self._finished: list[int] = []  # trial numbers in the order they finished
        self._evaluations = 0
        self._over = False

    # --- reading ----------------------------------------------------------------------

    @property
    def space(self) -> Space:
        return self._space

    @property
    def trials(self) -> list[Trial]:
        """Every trial so far, in hand-out order."""
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
        return self._over

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
            schedule as many as have finished).
        """
        if self._over:
            return None
        if self.mode == "batch":
            return self._ask_batch()
        return self._ask_online()

    def _ask_batch(self) -> list[Trial] | None:
        if self._queue:
            return []
        while True:
            remaining = self.budget - len(self._trials)
            if remaining <= 0:
                self._over = True
                return None
            candidates = self._solver.ask()
            if not candidates:
                # None: done. An empty batch would come back empty forever.
                self._over = True
                return None
            handed = self._take(candidates[:remaining])
            if handed:
                return handed

    def _ask_online(self) -> list[Trial] | None:
        pending = self.n_pending
        if self.schedule == "rounds" and pending:
            return []
        want = min(self.parallel - pending, self.budget - len(self._trials))
        if want <= 0:
            if len(self._trials) >= self.budget and not pending:
                self._over = True
                return None
            return []
        handed: list[Trial] = []
        if not pending:
            # The solver's own candidate; repeats of evaluated points are
            # answered at once, and the solver asked again.
            while not handed:
                if len(self._trials) >= self.budget:
                    self._over = True
                    return None
                one = self._solver.ask_one()
                if one is None:
                    self._over = True
                    return None
                handed = self._take([one])
        if len(handed) < want:
            handed += self._ask_liars(want - len(handed))
        return handed

    def _ask_liars(self, count: int) -> list[Trial]:
        """Up to `count` more candidates from a scratch solver that sees the pending ones."""
        scratch = VordaSolver(self._config_json)
        if self._told_texts:
            scratch.seed("[" + ",".join(self._told_texts) + "]")
        liar = 0.0 if self._worst is None else self._worst
        pending = [self._trials[n] for n in self._queue
                   if self._trials[n].state is TrialState.PENDING]
        scratch.seed("[" + ",".join(self._record(t, liar) for t in pending) + "]")
        taken = {_point_key(t.unit) for t in pending}
        handed: list[Trial] = []
        while len(handed) < count:
            unit_map = scratch.ask_one()
            if unit_map is None:
                break
            unit = tuple(unit_map[name] for name in self._names)
            key = _point_key(unit)
            if key in taken or (not self.reevaluate and key in self._complete_at):
                break  # a repeat: the round ends early
            trial = Trial(len(self._trials), self._space.decode(unit_map), unit)
            self._trials.append(trial)
            self._queue.append(trial.number)
            handed.append(trial)
            taken.add(key)
            scratch.seed("[" + self._record(trial, liar) + "]")
        return handed

    def _record(self, trial: Trial, value: float, eval_id: int | None = None) -> str:
        """The JSON text of one record for the solver.

        Written directly: every number is finite, and repr gives the shortest
        text that reads back to the same float, as json.dumps would.
        """
        params = ",".join([key + repr(u) for key, u in zip(self._keys, trial.unit)])
        text = f'{{"params":{{{params}}},"value":{value!r},"cost":{trial.cost or 0.0!r}'
        if eval_id is not None:
            text += f',"eval_id":{eval_id}'
        return text + "}"

    def _take(self, candidates: list[dict[str, float]]) -> list[Trial]:
        """Makes trials of the solver's candidates; returns those to hand out."""
        handed: list[Trial] = []
        in_batch: dict[bytes, int] = {}
        for unit_map in candidates:
            unit = tuple(unit_map[name] for name in self._names)
            number = len(self._trials)
            trial = Trial(number, self._space.decode(unit_map), unit)
            self._trials.append(trial)
            self._queue.append(number)
            key = _point_key(unit)
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
        if len(handed) < len(candidates):
            self._flush()  # repeats answered at once may be told now
        return handed

    def _reuse(self, number: int, source: Trial) -> None:
        state = TrialState.REUSED if source.state is TrialState.COMPLETE else TrialState.FAILED
        error = None if state is TrialState.REUSED else f"repeats trial {source.number}, which failed"
        t = self._trials[number]
        self._trials[number] = Trial(t.number, t.params, t.unit, state, source.value, 0.0, error,
                                     source.number)
        self._finished.append(number)

    # --- tell ---------------------------------------------------------------------------

    def tell(
        self,
        trial: Trial | int,
        value: float | BaseException,
        *,
        cost: float = 1.0,
        started: float | None = None,
        ended: float | None = None,
    ) -> Trial:
        """Report the result of a pending trial, in any order.

        Parameters
        ----------
        trial : Trial or int
            The trial, or its number.
        value : float or BaseException
            The objective's value. An exception, NaN or an infinity marks the
            trial failed.
        cost : float, default 1.0
            A finite cost of the evaluation, kept with the trial.
        started, ended : float, optional
            Wall-clock times of the evaluation, kept with the trial.

        Returns
        -------
        Trial
            The finished trial.

        Raises
        ------
        ValueError
            The trial is unknown or not pending, or the cost is not finite.
        TypeError
            The value is neither a number nor an exception.
        """
        number = trial.number if isinstance(trial, Trial) else trial
        if (isinstance(number, bool) or not isinstance(number, int)
                or not 0 <= number < len(self._trials)):
            raise ValueError(f"no trial number {number!r} in this run")
        current = self._trials[number]
        if current.state is not TrialState.PENDING or number in self._waiting:
            raise ValueError(f"trial {number} is not pending (it is {current.state.value})")
        if isinstance(cost, bool) or not isinstance(cost, (int, float)) or not math.isfinite(cost):
            raise ValueError(f"cost must be a finite number, got {cost!r}")
        if isinstance(value, BaseException):
            return self._finish(number, None, f"{type(value).__name__}: {value}", cost,
                                started, ended)
        try:
            result = float(value)
        except (TypeError, ValueError):
            raise TypeError(
                f"the value of trial {number} must be a number or an exception, "
                f"got {type(value).__name__}") from None
        if not math.isfinite(result):
            return self._finish(number, None, f"the objective returned {result!r}", cost,
                                started, ended)
        return self._finish(number, result, None, cost, started, ended)

    def _finish(self, number: int, value: float | None, error: str | None, cost: float,
                started: float | None, ended: float | None) -> Trial:
        """Records a checked result: a value, or an error text for a failure."""
        state = TrialState.FAILED if value is None else TrialState.COMPLETE
        t = self._trials[number]
        # Built directly: dataclasses.replace costs more than the rest of a tell.
        finished = Trial(t.number, t.params, t.unit, state, value, float(cost), error,
                         t.reused_from, started, ended)
        self._trials[number] = finished
        self._finished.append(number)
        self._evaluations += 1
        key = self._key_of.pop(number, None)
        if value is not None:
            self._complete_at.setdefault(key or _point_key(finished.unit), number)
            internal = self._sign * value
            if self._best_internal is None or internal < self._best_internal:
                self._best, self._best_internal = number, internal
        for repeat in self._waiting_on.pop(number, ()):
            self._waiting.discard(repeat)
            self._reuse(repeat, finished)
        self._flush()
        return finished

    def _flush(self) -> None:
        """Tells the solver the results it can take now.

        In hand-out order: each result once its predecessors' are told. Under
        the async schedule: every result as soon as it is in.
        """
        told: list[int] = []
        records: list[str] = []
        in_order = self.schedule == "rounds"
        for i, number in enumerate(self._queue):
            trial = self._trials[number]
            if trial.state is TrialState.PENDING:
                if in_order:
                    break
                continue
            if trial.value is not None and trial.state is not TrialState.FAILED:
                internal = self._sign * trial.value
                if self._worst is None or internal > self._worst:
                    self._worst = internal
            else:
                internal = FAILED_STAND_IN if self._worst is None else self._worst
            records.append(self._record(trial, internal, number if self.mode == "batch" else None))
            told.append(i)
        if not told:
            return
        if in_order:
            del self._queue[:len(told)]
        else:
            for i in reversed(told):
                del self._queue[i]
        document = "[" + ",".join(records) + "]"
        if self.mode == "batch":
            self._solver.tell(document)
        else:
            if self.parallel > 1:
                self._told_texts += records
            self._solver.seed(document)

    def __repr__(self) -> str:
        best = self.best
        best_text = "none" if best is None else repr(best.value)
        return (f"Optimizer(mode={self.mode!r}, direction={self.direction!r}, "
                f"trials={len(self._trials)}/{self.budget}, best={best_text})")
