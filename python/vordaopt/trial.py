"""A trial and what it reports: the records every part of the package shares.

Nothing here imports from the rest of the package, so the journal, the
results and the methods read trials without importing the optimizer.
"""

from __future__ import annotations

import enum
import struct
from dataclasses import dataclass, field
from typing import Any, NamedTuple

__all__ = ["MAX_BUDGET", "MAX_STEP", "Report", "Trial", "TrialState", "bounded_text", "unit_key"]

#: The largest budget: trial numbers and counts stay exact as floats, and
#: therefore in every JSON reader.
MAX_BUDGET = 2**53
# Steps beyond this would not survive a plot's doubles (a journal holds them, but not its readers).
MAX_STEP = 2**53

#: Error texts longer than this keep their beginning and their end.
MAX_ERROR_TEXT = 4096


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
    PRUNED = "pruned"
    """Stopped early on its pruner's advice; it keeps its reports and has no value."""


class Report(NamedTuple):
    """One value a trial reported while it ran."""

    step: int
    """The step it reported at (an epoch, a round: any increasing count)."""
    value: float | None
    """The value; None when it was NaN or an infinity."""
    seen: int
    """How many finished trials the pruning decision after it counted."""


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
    reports : tuple of Report
        The values the trial reported as it ran, in step order (see
        :meth:`Optimizer.report`).
    metrics : dict or None
        With named objectives: every metric the objective returned (None
        where it was NaN or an infinity).
    values : tuple of float or None
        With named objectives: theirs, in the order of ``objectives`` (in
        each one's own direction). `value` is then the first of them.
    violation : float or None
        With constraints: how far the constrained metrics lie outside their
        limits, summed; 0 for a feasible trial.
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
    reports: tuple[Report, ...] = ()
    metrics: dict[str, float | None] | None = None
    values: tuple[float, ...] | None = None
    violation: float | None = None

    @property
    def feasible(self) -> bool:
        """Whether the trial meets every constraint (always, in a run without any)."""
        return not self.violation

    def __repr__(self) -> str:
        if self.values is not None and len(self.values) > 1:
            extra = f", values={self.values!r}"
        else:
            extra = f", value={self.value!r}" if self.value is not None else ""
        if self.violation:
            extra += f", violation={self.violation!r}"
        if self.error is not None:
            extra += f", error={self.error!r}"
        return f"Trial(number={self.number}, state={self.state.value}{extra}, params={self.params!r})"


def unit_key(unit: tuple[float, ...]) -> bytes:
    """The bytes of a unit point, to compare points bit for bit."""
    # Bit for bit: -0.0 and 0.0 differ, as they do for the solver's next steps.
    return struct.pack(f"<{len(unit)}d", *unit)


def bounded_text(text: str, limit: int = MAX_ERROR_TEXT) -> str:
    """`text` itself, or its beginning and end with the middle cut out when longer than `limit`."""
    if len(text) <= limit:
        return text
    head, tail = limit * 3 // 4, limit // 4
    return f"{text[:head]}\n[... {len(text) - head - tail} characters cut ...]\n{text[-tail:]}"
