"""Points the user already knows: trials to hand out first, and earlier results.

A known point (``initial=``, ``Optimizer.enqueue``) is handed out before
anything the method proposes, in the order given. Its parameters reach the
objective exactly as given; the ones left out are those of the point the
method would have proposed then. The method learns its result as any other.

Earlier results (``warm_start=``) are told to the method before its first
proposal and spend no budget. They may come from a run of another space:
parameters this space lacks are dropped, and a parameter the earlier run
lacked takes the middle of its range (the first choice of a categorical).
A journal's or a result's trials outside this space are left out; a list
given by hand must fit it.
"""

from __future__ import annotations

import hashlib
import json
import math
import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TypeAlias

from ._numbers import is_real
from .methods.base import Told
from .space import Categorical, Int, Space
from .trial import Trial, TrialState

if TYPE_CHECKING:
    from .results import Result

__all__ = ["EarlierResults", "KnownPoint", "WarmStart", "earlier_results", "known_point"]

WarmStart: TypeAlias = "str | os.PathLike[str] | Result | Sequence[tuple[Mapping[str, Any], float]]"


@dataclass(frozen=True, slots=True)
class KnownPoint:
    """Some or all parameters of a trial to hand out."""

    coordinates: dict[str, float]
    """The given parameters' coordinates in the unit cube."""
    params: dict[str, Any]
    """The given parameters, as the objective receives them."""

    def unit(self, names: Sequence[str], proposed: Sequence[float] | None) -> tuple[float, ...]:
        """The whole point: the given coordinates, the others from `proposed` (or the middle)."""
        return tuple(self.coordinates[n] if n in self.coordinates
                     else (proposed[i] if proposed is not None else 0.5)
                     for i, n in enumerate(names))

    def to_json(self) -> dict[str, Any]:
        return dict(self.params)


def known_point(space: Space, params: Mapping[str, Any], where: str) -> KnownPoint:
    """`params` checked against `space` (see :meth:`Space.encode` for the errors)."""
    coordinates = space.encode(params, where)
    decoded = space.decode_every({n: coordinates.get(n, 0.5) for n in space.names})
    exact: dict[str, Any] = {}
    for name in coordinates:
        kind = space[name]
        # A real keeps the very value given (decoding may land an ulp off);
        # an integer or a choice is the space's own.
        keep_given = not isinstance(kind, (Int, Categorical))
        exact[name] = float(params[name]) if keep_given else decoded[name]
    return KnownPoint(coordinates, exact)


def known_points(space: Space, points: Any, what: str) -> tuple[KnownPoint, ...]:
    """A sequence of parameter dicts, each checked; `what` names the setting."""
    if points is None:
        return ()
    if isinstance(points, (Mapping, str, bytes)) or not isinstance(points, Sequence):
        raise TypeError(f"{what} must be a list of parameter dicts, got {type(points).__name__}")
    return tuple(known_point(space, p, f"{what}[{i}]") for i, p in enumerate(points))


@dataclass(frozen=True, slots=True)
class EarlierResults:
    """Results of an earlier run, as points of this run's space."""

    source: str
    units: tuple[tuple[float, ...], ...]
    values: tuple[float, ...]
    skipped: int
    """The earlier trials left out: outside this space, or without a value."""

    def to_json(self) -> dict[str, Any]:
        """What a journal records: the source, the counts, and a digest of the results."""
        digest = hashlib.sha256(json.dumps([self.units, self.values]).encode()).hexdigest()
        return {"source": self.source, "results": len(self.values), "skipped": self.skipped,
                "sha256": digest}

    def told(self, space: Space, sign: float) -> list[Told]:
        """The results as a method learns them, each on a trial of its own (numbered -1, -2, ...)."""
        out = []
        for i, (unit, value) in enumerate(zip(self.units, self.values)):
            params = space.decode(dict(zip(space.names, unit)))
            trial = Trial(-1 - i, params, unit, TrialState.COMPLETE, value)
            out.append(Told(trial, sign * value, False))
        return out


def earlier_results(space: Space, source: Any, direction: str) -> EarlierResults | None:
    """`warm_start` read and checked: a journal's path, a Result, or (params, value) pairs."""
    from .results import Result, load

    if source is None:
        return None
    if isinstance(source, (str, os.PathLike)):
        return _from_result(space, load(source), os.fspath(source), direction)
    if isinstance(source, Result):
        return _from_result(space, source, "a Result", direction)
    if isinstance(source, (Mapping, bytes)) or not isinstance(source, Sequence):
        raise TypeError("warm_start must be a journal's path, a Result or a list of "
                        f"(params, value) pairs, got {type(source).__name__}")
    units, values = [], []
    defaults = _defaults(space)
    for i, pair in enumerate(source):
        where = f"warm_start[{i}]"
        if not (isinstance(pair, Sequence) and len(pair) == 2):
            raise TypeError(f"{where}: expected a (params, value) pair, got {pair!r}")
        params, value = pair
        if not (is_real(value) and math.isfinite(value)):
            raise ValueError(f"{where}: the value must be a finite number, got {value!r}")
        units.append(_unit(space, defaults, params, where))
        values.append(float(value))
    return EarlierResults(f"a list of {len(values)} results", tuple(units), tuple(values), 0)


def _from_result(space: Space, result: Result, source: str, direction: str) -> EarlierResults:
    if result.objectives is not None and len(result.objectives.names) > 1:
        raise ValueError(f"warm_start: {source} has several objectives; give (params, value) "
                         "pairs of the one this run minimises")
    if result.direction != direction:
        raise ValueError(f"warm_start: {source} was a run to {result.direction}, this one is "
                         f"to {direction}")
    units, values, skipped = [], [], 0
    defaults = _defaults(space)
    for trial in result.trials:
        if trial.state is not TrialState.COMPLETE or trial.value is None or not trial.feasible:
            skipped += trial.state is not TrialState.REUSED
            continue
        params = {n: v for n, v in trial.params.items() if n in space}
        try:
            units.append(_unit(space, defaults, params, ""))
        except (TypeError, ValueError):
            skipped += 1  # outside this space: a range narrowed, a choice dropped
            continue
        values.append(trial.value)
    return EarlierResults(source, tuple(units), tuple(values), skipped)


def _defaults(space: Space) -> dict[str, Any]:
    """What a parameter an earlier run lacked takes: the middle of its range, or the first choice."""
    middle = space.decode_every({n: 0.5 for n in space.names})
    first_choice = {n: next(iter(space[n].choices)) for n in space.names  # type: ignore[union-attr]
                    if isinstance(space[n], Categorical)}
    return {**middle, **first_choice}


def _unit(space: Space, defaults: dict[str, Any], params: Any, where: str) -> tuple[float, ...]:
    """The point of `params`, completed by `defaults`."""
    if not isinstance(params, Mapping):
        raise TypeError(f"{where}: parameters are a dict, got {type(params).__name__}")
    coordinates = space.encode({**defaults, **params}, where)
    return tuple(coordinates[n] for n in space.names)
