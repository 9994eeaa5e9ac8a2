"""What a search method is to the optimizer: two calls and two flags.

The optimizer keeps the trials, the repeats, the stand-ins, the schedule and
the journal; a method only proposes points and observes results:

- ``propose(pending, room)``: up to `room` new points of the unit cube (one
  tuple per point, coordinates in name order), given the trials being
  evaluated now; ``[]`` to wait for results; None when it has nothing more
  to propose (the run ends). The optimizer makes trials of the points,
  answers a repeat of an evaluated configuration from the record (that
  trial is observed at once when the order allows), and calls again while
  there is room.
- ``observe(results)``: the results the method may now learn from, in the
  order it must learn them (hand-out order under rounds, arrival order under
  the async schedule), each with the value to minimise: the trial's own, or
  a stand-in for a failed or pruned one.
- ``batched``: the method hands out batches of its own size and waits for
  all of their results; `parallel` and the schedule do not apply to it.
- ``replays_by_observing``: a proposal changes nothing in the method, so a
  journal rebuilds it by observing the recorded results alone, and the
  recorded points are handed out again instead of proposed.

A method's proposals depend only on its settings, the results observed (in
that order) and the pending trials, so a run is reproducible anywhere.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import NamedTuple, Protocol, Self

from ..space import Space
from ..trial import Trial

__all__ = ["MethodSettings", "ParetoPointMethod", "PointMethod", "SearchMethod", "Told", "Unit"]

Unit = tuple[float, ...]


class Told(NamedTuple):
    """One result as a method learns it."""

    trial: Trial
    """The finished trial, as recorded."""
    value: float
    """The value to minimise: the trial's own (sign-adjusted), or its stand-in."""
    stand_in: bool
    """True when `value` stands in for a failed, pruned or infeasible trial (or a repeat of one)."""
    values: tuple[float, ...] | None = None
    """With several objectives: each one to minimise (sign-adjusted), or stand-ins as `value`."""
    violation: float = 0.0
    """With constraints: how far the trial lies outside them (0: feasible)."""
    margins: tuple[float, ...] | None = None
    """With constraints: how far each constrained metric lies outside its limits
    (negative inside); None for a failed or pruned trial."""


@dataclass(frozen=True, slots=True)
class MethodSettings:
    """What a method may read of the run's settings."""

    space: Space
    seed: int
    budget: int
    """The run's budget now."""
    first_budget: int
    """The budget the run began with: a run resumed with more keeps the plans made for it."""
    parallel: int
    reevaluate: bool
    probe_ratio: float
    objectives: int = 1
    """How many objectives a result has (see Told.values)."""
    constrained: bool = False
    """Whether results carry constraint margins (see Told.margins)."""


class SearchMethod(Protocol):
    batched: bool
    replays_by_observing: bool

    def propose(self, pending: Sequence[Trial], room: int) -> list[Unit] | None: ...

    def observe(self, results: Sequence[Told]) -> None: ...


class PointMethod:
    """A method that proposes one point at a time from its own record of the results.

    Subclasses implement `observe_point` and `propose_point`.
    """

    batched = False
    replays_by_observing = True
    many_objectives = False

    def observe_point(self, unit: Unit, value: float) -> None:
        """Adds one result (a finite value to minimise)."""
        raise NotImplementedError

    def propose_point(self, pending: list[Unit]) -> Unit:
        """The next point, given the points being evaluated now."""
        raise NotImplementedError

    def propose(self, pending: Sequence[Trial], room: int) -> list[Unit] | None:
        return [self.propose_point([t.unit for t in pending])]

    def observe(self, results: Sequence[Told]) -> None:
        for result in results:
            self.observe_point(result.trial.unit, result.value)


class ParetoPointMethod(PointMethod):
    """A point method for several objectives: it observes each result's objectives
    (to minimise), whether they stand in for a failure, and its constraint violation.

    Subclasses implement `observe_objectives` and `propose_point`.
    """

    many_objectives = True

    def __init__(self, space: Space, seed: int, objectives: int) -> None:
        raise NotImplementedError

    @classmethod
    def from_settings(cls, settings: MethodSettings) -> Self:
        return cls(settings.space, settings.seed, settings.objectives)

    def observe_objectives(self, unit: Unit, values: tuple[float, ...], stand_in: bool,
                           violation: float, margins: tuple[float, ...] | None = None) -> None:
        raise NotImplementedError

    def observe(self, results: Sequence[Told]) -> None:
        for r in results:
            values = r.values if r.values is not None else (r.value,)
            self.observe_objectives(r.trial.unit, values, r.stand_in and r.trial.feasible,
                                    r.violation, r.margins)
