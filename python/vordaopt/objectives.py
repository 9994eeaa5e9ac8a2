"""Named objectives and constraints: how a run reads the metrics an objective returns.

With ``objectives={"error": "minimize", "latency_ms": "minimize"}`` the
objective returns a mapping of metric names to numbers. Each named objective
is read by name; each constraint ``name: (low, high)`` (None for an open
side) adds how far the metric lies outside its limits to the trial's
violation, and a trial is feasible when that sum is 0. Every metric returned
is recorded, named or not.

A trial whose objectives or constrained metrics are missing, NaN or infinite
fails, with its metrics still recorded (the non-finite ones as None).
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal, NamedTuple, cast

from ._numbers import brief, is_real, objective_value

__all__ = ["Objectives", "Reading", "recorded_reading"]

Direction = Literal["minimize", "maximize"]


class Reading(NamedTuple):
    """What one returned mapping says."""

    metrics: dict[str, float | None]
    """Every metric returned, None where it was NaN or an infinity."""
    values: tuple[float, ...] | None
    """The objectives' values in the order of `objectives`; None when one is missing or not finite."""
    violation: float | None
    """How far the constrained metrics lie outside their limits (0: feasible); None with `values`."""
    error: str | None
    """Why the trial failed, when it did."""


def _limit(name: str, bound: object, side: str) -> float | None:
    if bound is None:
        return None
    if not is_real(bound) or math.isnan(float(bound)):  # type: ignore[arg-type]
        raise TypeError(f"constraint {name!r}: the {side} limit must be a number or None, "
                        f"got {brief(bound)}")
    return float(bound)  # type: ignore[arg-type]


@dataclass(frozen=True, slots=True)
class Objectives:
    """The named objectives of a run, their directions, and its constraints.

    Build it with :meth:`checked`. Constraints are kept in ascending order of
    their names, so that a violation is summed in the same order everywhere.
    """

    names: tuple[str, ...]
    directions: tuple[Direction, ...]
    constraints: tuple[tuple[str, float | None, float | None], ...] = ()
    positional: bool = False
    """Given as a list of directions (Optuna's habit): the objective returns a
    sequence of values, recorded as metrics "0", "1", ..."""

    @classmethod
    def checked(cls, objectives: Mapping[str, str] | Sequence[str] | None,
                constraints: Mapping[str, tuple[float | None, float | None]] | None,
                ) -> Objectives | None:
        """The objectives and constraints, checked; None for a run of one unnamed value.

        Raises
        ------
        TypeError, ValueError
            A name, a direction or a limit is not what it must be.
        """
        if objectives is None:
            if constraints:
                raise ValueError("constraints need objectives= naming what to minimise or "
                                 "maximise, e.g. objectives={'error': 'minimize'}")
            return None
        if isinstance(objectives, (list, tuple)):
            if constraints:
                raise ValueError("constraints need named metrics: give objectives= as a dict "
                                 "and return a dict of metrics")
            named = cls.checked({str(i): d for i, d in enumerate(objectives)}, None)
            return dataclasses.replace(named, positional=True) if named else None
        if not isinstance(objectives, Mapping) or not objectives:
            raise TypeError("objectives must be a non-empty dict from metric name to "
                            "'minimize' or 'maximize'")
        directions: list[Direction] = []
        for name, direction in objectives.items():
            if not isinstance(name, str) or not name:
                raise TypeError(f"objectives: a metric name must be a non-empty str, got {brief(name)}")
            if direction not in ("minimize", "maximize"):
                raise ValueError(f"objective {name!r}: the direction must be 'minimize' or "
                                 f"'maximize', got {brief(direction)}")
            directions.append(cast(Direction, direction))
        checked: list[tuple[str, float | None, float | None]] = []
        if constraints is not None and not isinstance(constraints, Mapping):
            raise TypeError("constraints must be a dict from metric name to (low, high)")
        for name, limits in sorted((constraints or {}).items()):
            if not isinstance(name, str) or not name:
                raise TypeError(f"constraints: a metric name must be a non-empty str, got {brief(name)}")
            if not isinstance(limits, (tuple, list)) or len(limits) != 2:
                raise TypeError(f"constraint {name!r} must be a pair (low, high), None for an "
                                f"open side, got {brief(limits)}")
            low, high = _limit(name, limits[0], "low"), _limit(name, limits[1], "high")
            if low is None and high is None:
                raise ValueError(f"constraint {name!r} needs a low or a high limit")
            if low is not None and high is not None and low > high:
                raise ValueError(f"constraint {name!r}: low {low!r} is above high {high!r}")
            checked.append((name, low, high))
        return cls(tuple(objectives), tuple(directions), tuple(checked))

    @property
    def signs(self) -> tuple[float, ...]:
        """1.0 for each objective to minimise, -1.0 for each to maximise."""
        return tuple(1.0 if d == "minimize" else -1.0 for d in self.directions)

    def to_json(self) -> dict[str, Any]:
        """What a journal records of them."""
        if self.positional:
            return {"objectives": list(self.directions)}
        record: dict[str, Any] = {"objectives": dict(zip(self.names, self.directions))}
        if self.constraints:
            record["constraints"] = {name: [low, high] for name, low, high in self.constraints}
        return record

    def read(self, number: int, returned: object) -> Reading:
        """The metrics of trial `number`'s returned mapping, its objectives and its violation.

        A bare number stands for the only objective of a run without
        constraints.

        Raises
        ------
        TypeError
            The result is not a mapping of names to real numbers.
        """
        listed = (isinstance(returned, Sequence) and not isinstance(returned, (str, bytes))
                  or getattr(returned, "ndim", 0) == 1)  # a numpy vector too
        if self.positional and listed:
            values = list(returned)  # type: ignore[call-overload]
            if len(values) != len(self.names):
                raise TypeError(f"trial {number}: the objective must return {len(self.names)} "
                                f"values, one per direction, got {len(values)}")
            returned = dict(zip(self.names, values))
        if not isinstance(returned, Mapping):
            if len(self.names) == 1 and not self.constraints and is_real(returned):
                returned = {self.names[0]: returned}
            else:
                raise TypeError(
                    f"trial {number}: the objective must return a dict of metrics naming "
                    f"{', '.join(map(repr, self.metric_names))}, got {type(returned).__name__}")
        metrics: dict[str, float | None] = {}
        for name, value in returned.items():
            if not isinstance(name, str):
                raise TypeError(f"trial {number}: metric names must be str, got {brief(name)}")
            try:
                number_value = objective_value(value)
            except TypeError:
                raise TypeError(f"trial {number}: metric {name!r} must be a real number, "
                                f"got {type(value).__name__}") from None
            except OverflowError:  # an integer such as 10**400
                number_value = math.inf
            metrics[name] = number_value if math.isfinite(number_value) else None
        for name in self.metric_names:
            if metrics.get(name) is None:
                state = "did not return" if name not in metrics else "returned no finite"
                return Reading(metrics, None, None, f"the objective {state} {name!r}")
        values = tuple(float(metrics[name]) for name in self.names)  # type: ignore[arg-type]
        return Reading(metrics, values, self.violation(metrics), None)

    @property
    def metric_names(self) -> tuple[str, ...]:
        """The objectives, then the constrained metrics not among them."""
        extra = tuple(name for name, _, _ in self.constraints if name not in self.names)
        return self.names + extra

    def margins(self, metrics: Mapping[str, float | None]) -> tuple[float, ...]:
        """How far each constrained metric lies outside its limits, negative inside them
        (the larger of its distances past the low and the high limit)."""
        out = []
        for name, low, high in self.constraints:
            value = metrics[name]
            assert value is not None
            past_low = -math.inf if low is None else low - value
            past_high = -math.inf if high is None else value - high
            out.append(max(past_low, past_high))
        return tuple(out)

    def violation(self, metrics: Mapping[str, float | None]) -> float:
        """The sum over constraints of how far each metric lies outside its limits."""
        return sum((max(0.0, m) for m in self.margins(metrics)), 0.0)

    @classmethod
    def from_json(cls, header: Mapping[str, Any]) -> Objectives | None:
        """The objectives a journal's header records, or None."""
        named = header.get("objectives")
        if named is None:
            return None
        limits = header.get("constraints") or {}
        return cls.checked(named, {name: (pair[0], pair[1]) for name, pair in limits.items()}
                           or None)


def recorded_reading(number: int, record: Mapping[str, Any],
                     objectives: Objectives | None) -> Reading | None:
    """What a journal line's metrics say under the run's objectives (None without either)."""
    metrics = record.get("metrics")
    if objectives is None or metrics is None:
        return None
    return objectives.read(number, {k: math.nan if v is None else v for k, v in metrics.items()})
