"""The outcome of a run, and reading one back from its journal.

The read-only views (plots, importances, the dashboard, ``vordaopt show``)
import this module, never the run loop.
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from ._engine import pareto_ranks
from .journal import read_journal, trial_from_record
from .objectives import Objectives, recorded_reading
from .space import Space
from .space_json import space_from_json
from .table import to_pandas
from .trial import Trial, TrialState

__all__ = ["Result", "load", "pareto_front", "rank_trials"]


def pareto_front(trials: Sequence[Trial], objectives: Objectives | None) -> list[Trial]:
    """The feasible complete trials that no other feasible complete trial dominates,
    in trial order (equal ones all kept). Without named objectives, the best trials."""
    complete = [t for t in trials if t.state is TrialState.COMPLETE and t.value is not None
                and t.feasible]
    if objectives is None or not complete:
        best = min((t.value for t in complete), default=None)  # type: ignore[type-var]
        return [t for t in complete if t.value == best]
    signs = objectives.signs
    flat = [s * v for t in complete for s, v in zip(signs, t.values or ())]
    ranks = pareto_ranks(flat, len(signs), [])
    return [t for t, rank in zip(complete, ranks) if rank == 0]


@dataclass(frozen=True, slots=True)
class Result:
    """The outcome of a run.

    Attributes
    ----------
    best : Trial or None
        The best complete trial (None when no trial completed).
    trials : tuple of Trial
        Every trial that finished, in hand-out order. Trials handed out but
        never started (after a timeout or a stop) are not part of the result.
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

    best_trial: Trial | None
    trials: tuple[Trial, ...]
    n_evaluations: int
    wall_time: float
    direction: str = "minimize"
    space: Space | None = None
    objectives: Objectives | None = None

    @property
    def several_objectives(self) -> bool:
        return self.objectives is not None and len(self.objectives.names) > 1

    @property
    def best(self) -> Trial | None:
        """The best complete trial (with constraints, the best feasible one), or None.

        A run of several objectives has none: see :attr:`pareto_front`.
        """
        if self.several_objectives:
            raise ValueError("a run of several objectives has no single best trial: "
                             "see pareto_front")
        return self.best_trial

    @property
    def best_params(self) -> dict[str, Any] | None:
        """The parameters of the best trial."""
        return None if self.best is None else self.best.params

    @property
    def best_value(self) -> float | None:
        """The value of the best trial."""
        return None if self.best is None else self.best.value

    @property
    def pareto_front(self) -> list[Trial]:
        """The feasible complete trials that no other feasible complete trial dominates."""
        return pareto_front(self.trials, self.objectives)

    @property
    def n_trials(self) -> int:
        return len(self.trials)

    @property
    def n_failed(self) -> int:
        return sum(t.state is TrialState.FAILED for t in self.trials)

    @property
    def n_reused(self) -> int:
        return sum(t.state is TrialState.REUSED for t in self.trials)

    @property
    def n_pruned(self) -> int:
        return sum(t.state is TrialState.PRUNED for t in self.trials)

    def to_pandas(self) -> Any:
        """One row per trial: its number, state, value(s), parameters, metrics, cost,
        times and last report (the columns: vordaopt/table.py). Needs pandas
        (``pip install 'vordaopt[pandas]'``)."""
        names = self.space.names if self.space is not None else ()
        return to_pandas(self.trials, names, self.objectives)

    def __repr__(self) -> str:
        if self.several_objectives:
            return (f"Result(pareto_front={len(self.pareto_front)} trials, "
                    f"n_trials={self.n_trials}, n_evaluations={self.n_evaluations}, "
                    f"n_failed={self.n_failed}, wall_time={self.wall_time:.3f})")
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
    objectives = Objectives.from_json(header)
    trials = sorted((_recorded_trial(r, objectives) for r in records), key=lambda t: t.number)
    direction = str(header.get("direction", "minimize"))
    starts = [t.started for t in trials if t.started is not None]
    ends = [t.ended for t in trials if t.ended is not None]
    wall = max(ends) - min(starts) if starts and ends else 0.0
    evaluations = sum(t.state is not TrialState.REUSED and t.reused_from is None for t in trials)
    space = space_from_json(header["space"]) if "space" in header else None
    best = next((t for t in rank_trials(trials, direction) if t.feasible), None)
    return Result(best, tuple(trials), evaluations, wall, direction, space, objectives)


def _recorded_trial(record: dict[str, Any], objectives: Objectives | None) -> Trial:
    trial = trial_from_record(record)
    reading = recorded_reading(trial.number, record, objectives)
    if reading is None:
        return trial
    return dataclasses.replace(trial, metrics=reading.metrics, values=reading.values,
                               violation=reading.violation)
