"""Pruners: stop a trial early when its reported values say it will not win.

An objective that trains in steps reports a value after each (epochs,
boosting rounds, or any increasing resource count); after each report the
run's pruner says whether the trial is worth going on with. Three rules:

- :class:`MedianPruner`: stop a trial whose best value so far is worse than
  the median of the complete trials' values at the same step.
- :class:`SuccessiveHalvingPruner`: asynchronous successive halving (ASHA).
  Rungs at steps ``min_resource * reduction_factor**k``; a trial that reaches
  a rung goes on only if its value there ranks in the best
  ``1/reduction_factor`` of the values recorded at that rung.
- :class:`HyperbandPruner`: several successive-halving brackets, from the
  most aggressive to none at all; each trial belongs to one bracket, chosen
  from its number, and competes within it.

What a decision sees: the reports of the trials finished (complete or
pruned) by the time the trial reports, and the trial's own reports. Curves
of trials still running are not counted: they may yet be cut short by an
interruption and run again, and a decision should rest on results a resumed
run also has. With one trial at a time every trial before it has finished,
so a run and its resumption make the same decisions; with several, the
number of finished trials each decision saw is kept with its report.

A NaN or infinite report stops the trial at once under every pruner: a
training run that diverged is not worth finishing.

Values given to a pruner's state are to be minimised (the optimizer flips
them for ``direction="maximize"``).
"""

from __future__ import annotations

import bisect
import math
from collections.abc import Sequence
from dataclasses import dataclass, fields
from typing import Any, Protocol

from ._numbers import as_int

__all__ = ["TrialPruned", "MedianPruner", "SuccessiveHalvingPruner", "HyperbandPruner",
           "Pruner", "PRUNER_NAMES"]


class TrialPruned(Exception):
    """Raised by an objective to stop a trial that its pruner gave up on.

    The trial is recorded with the state ``pruned``: it keeps its reports and
    has no value. ``Optimizer.tell(trial, TrialPruned())`` records the same.
    """


# (step, value to minimise): a trial's reports, in the order made.
Curve = Sequence[tuple[int, float]]


class PrunerState(Protocol):
    """The decisions of one run: fed with finished trials, asked about running ones."""

    def add(self, number: int, complete: bool, curve: Curve) -> None:
        """Counts a finished trial (complete, or pruned) from now on."""

    def decide(self, number: int, curve: Curve) -> bool:
        """Whether the running trial `number`, whose last report ends `curve`, should stop."""


class Pruner(Protocol):
    def to_json(self) -> dict[str, Any]: ...
    def start(self) -> PrunerState: ...


# Steps go up to 2**53 (what a plot's doubles hold): so do the resources counted in steps.
_MAX_RESOURCE = 2**53


def _set(pruner: Any, name: str, low: int, what: str, high: int | None = None) -> None:
    """Checks a setting and stores it as a plain int (a numpy integer would not go into JSON)."""
    object.__setattr__(pruner, name, as_int(name, getattr(pruner, name), low, high, what=what))


def _settings(name: str, pruner: Any) -> dict[str, Any]:
    """What a journal records of a pruner: its name and every setting."""
    return {"name": name, **{f.name: getattr(pruner, f.name) for f in fields(pruner)}}


def _rung_steps(min_resource: int, factor: int, offset: int, last_step: int) -> list[int]:
    """The rung steps min_resource * factor**(offset + k) up to `last_step`."""
    steps: list[int] = []
    # factor**offset >= 2**offset: beyond the step's bit length no rung is reached,
    # and the power (millions of digits for a large offset) is never formed.
    if offset > last_step.bit_length():
        return steps
    step = min_resource * factor ** offset
    while step <= last_step:
        steps.append(step)
        step *= factor
    return steps


@dataclass(frozen=True, slots=True)
class MedianPruner:
    """Stops a trial whose best value so far is worse than the median at its step.

    The median is over the complete trials that reported at that very step.

    Parameters
    ----------
    n_startup_trials : int, default 5
        No trial is stopped before this many trials are complete.
    n_warmup_steps : int, default 0
        Reports at steps below this are never acted on.
    interval_steps : int, default 1
        Act on every this many steps after the warm-up.
    """

    n_startup_trials: int = 5
    n_warmup_steps: int = 0
    interval_steps: int = 1

    def __post_init__(self) -> None:
        _set(self, "n_startup_trials", 0, "a non-negative integer")
        _set(self, "n_warmup_steps", 0, "a non-negative integer")
        _set(self, "interval_steps", 1, "a positive integer")

    def to_json(self) -> dict[str, Any]:
        return _settings("median", self)

    def start(self) -> PrunerState:
        return _MedianState(self)


class _MedianState:
    def __init__(self, settings: MedianPruner) -> None:
        self.settings = settings
        self.complete = 0
        self.at_step: dict[int, list[float]] = {}  # step -> sorted finite values

    def add(self, number: int, complete: bool, curve: Curve) -> None:
        if not complete:
            return
        self.complete += 1
        for step, value in curve:
            if math.isfinite(value):
                bisect.insort(self.at_step.setdefault(step, []), value)

    def decide(self, number: int, curve: Curve) -> bool:
        step, value = curve[-1]
        if not math.isfinite(value):
            return True
        s = self.settings
        if (self.complete < s.n_startup_trials or step < s.n_warmup_steps
                or (step - s.n_warmup_steps) % s.interval_steps):
            return False
        values = self.at_step.get(step)
        if not values:
            return False
        middle = len(values) // 2
        median = values[middle] if len(values) % 2 else (values[middle - 1] + values[middle]) / 2
        best = min(v for _, v in curve)
        return best > median


@dataclass(frozen=True, slots=True)
class SuccessiveHalvingPruner:
    """Asynchronous successive halving (ASHA; Li et al., MLSys 2020).

    Rungs sit at steps ``min_resource * reduction_factor**(min_early_stopping_rate + k)``.
    When a trial's reports reach a rung, its value there (at the first report
    at or after the rung's step) is ranked among the values of the finished
    trials at that rung; it goes on only when it is among the best
    ``floor(n / reduction_factor)`` of the ``n`` values, its own included,
    and always when it is the best (the promotion rule of the ASHA paper,
    which waits for ``reduction_factor`` values before it keeps a second).

    Parameters
    ----------
    min_resource : int, default 1
        The step of the first rung.
    reduction_factor : int, default 3
        Keep the best 1/`reduction_factor` at each rung; rungs lie this
        factor apart.
    min_early_stopping_rate : int, default 0
        Skip this many of the first rungs.
    """

    min_resource: int = 1
    reduction_factor: int = 3
    min_early_stopping_rate: int = 0

    def __post_init__(self) -> None:
        _set(self, "min_resource", 1, "a positive integer up to 2**53", _MAX_RESOURCE)
        _set(self, "reduction_factor", 2, "an integer of at least 2")
        _set(self, "min_early_stopping_rate", 0, "a non-negative integer")

    def to_json(self) -> dict[str, Any]:
        return _settings("asha", self)

    def start(self) -> PrunerState:
        return _HalvingState(self.min_resource, self.reduction_factor, self.min_early_stopping_rate)


class _HalvingState:
    def __init__(self, min_resource: int, factor: int, offset: int) -> None:
        self.min_resource, self.factor, self.offset = min_resource, factor, offset
        self.rungs: dict[int, list[float]] = {}  # rung step -> sorted values (NaN as +inf)

    def _at_rungs(self, curve: Curve, first: int) -> list[tuple[int, float]]:
        """(rung step, value there) for the rungs that curve[first:] reaches first."""
        before = curve[first - 1][0] if first > 0 else -1
        reached = []
        for rung in _rung_steps(self.min_resource, self.factor, self.offset, curve[-1][0]):
            if rung <= before:
                continue
            # The first report at or after the rung's step.
            value = next(v for s, v in curve[first:] if s >= rung)
            reached.append((rung, math.inf if math.isnan(value) else value))
        return reached

    def add(self, number: int, complete: bool, curve: Curve) -> None:
        if curve:
            for rung, value in self._at_rungs(curve, 0):
                bisect.insort(self.rungs.setdefault(rung, []), value)

    def decide(self, number: int, curve: Curve) -> bool:
        if not math.isfinite(curve[-1][1]):
            return True
        for rung, value in self._at_rungs(curve, len(curve) - 1):
            others = self.rungs.get(rung, [])
            n = len(others) + 1
            keep = max(1, n // self.factor)
            if bisect.bisect_left(others, value) >= keep:
                return True
        return False


@dataclass(frozen=True, slots=True)
class HyperbandPruner:
    """Hyperband (Li et al., JMLR 2018): successive halving in several brackets.

    Bracket ``b`` (from 0 to ``s_max = floor(log(max_resource / min_resource)
    / log(reduction_factor))``) is successive halving whose first rung is at
    ``min_resource * reduction_factor**b``: bracket 0 stops trials from the
    first step, bracket ``s_max`` hardly at all. Trial ``n`` belongs to one
    bracket, chosen from ``n`` alone so that the brackets share the trials in
    Hyperband's proportions; it competes only with trials of its bracket.

    Parameters
    ----------
    max_resource : int
        The step at which a trial is fully trained.
    min_resource : int, default 1
    reduction_factor : int, default 3
    """

    max_resource: int
    min_resource: int = 1
    reduction_factor: int = 3

    def __post_init__(self) -> None:
        _set(self, "min_resource", 1, "a positive integer up to 2**53", _MAX_RESOURCE)
        _set(self, "max_resource", self.min_resource,
             "an integer no smaller than min_resource, up to 2**53", _MAX_RESOURCE)
        _set(self, "reduction_factor", 2, "an integer of at least 2")

    def to_json(self) -> dict[str, Any]:
        return _settings("hyperband", self)

    @property
    def n_brackets(self) -> int:
        brackets, step = 1, self.min_resource * self.reduction_factor
        while step <= self.max_resource:
            brackets += 1
            step *= self.reduction_factor
        return brackets

    def bracket_shares(self) -> list[int]:
        """How many trials of each cycle each bracket gets, as Hyperband's brackets start
        ``ceil((s_max + 1) / (s + 1)) * eta**s`` configurations, s = s_max - b."""
        s_max = self.n_brackets - 1
        eta = self.reduction_factor
        return [-(-(s_max + 1) // (s_max - b + 1)) * eta ** (s_max - b) for b in range(s_max + 1)]

    def start(self) -> PrunerState:
        return _HyperbandState(self)


class _Interleaving:
    """Bracket indices, each index `shares[i]` times in a cycle of sum(shares), spread
    evenly (smooth weighted round robin; ties go to the lower index).

    The cycle is as long as Hyperband's (775 million places for
    ``max_resource=10**9``): it is followed only as far as the largest trial
    number asked about, one byte a trial.
    """

    def __init__(self, shares: list[int]) -> None:
        self.shares = shares
        self.total = sum(shares)
        self.credit = [0] * len(shares)
        self.cycle = bytearray()  # the places followed so far (at most 54 brackets: one byte)

    def __getitem__(self, number: int) -> int:
        place = number % self.total
        while len(self.cycle) <= place:
            credit = self.credit
            for i, share in enumerate(self.shares):
                credit[i] += share
            chosen = max(range(len(credit)), key=lambda i: (credit[i], -i))
            credit[chosen] -= self.total
            self.cycle.append(chosen)
        return self.cycle[place]


class _HyperbandState:
    def __init__(self, settings: HyperbandPruner) -> None:
        self.cycle = _Interleaving(settings.bracket_shares())
        self.brackets = [_HalvingState(settings.min_resource, settings.reduction_factor, b)
                         for b in range(settings.n_brackets)]

    def bracket(self, number: int) -> int:
        return self.cycle[number]

    def add(self, number: int, complete: bool, curve: Curve) -> None:
        self.brackets[self.bracket(number)].add(number, complete, curve)

    def decide(self, number: int, curve: Curve) -> bool:
        return self.brackets[self.bracket(number)].decide(number, curve)


PRUNER_NAMES = ("median", "asha", "hyperband")
