"""The GP method: Bayesian optimisation with a Gaussian-process model in the core.

Each proposal is computed from the space, the seed, the results told so far
(in the order told) and the pending points, and from nothing else, so a run
is reproducible in every process and a resumed run never recomputes the
proposals it has recorded.
"""

from __future__ import annotations

from collections.abc import Sequence

from .._engine import gp_propose
from ..space import Space
from ._encoding import encode
from .base import MethodSettings, PointMethod, Told, Unit

__all__ = ["GpMethod", "flat_margins"]


class GpMethod(PointMethod):
    """Proposes one point of the unit cube at a time.

    Parameters
    ----------
    space : Space
    seed : int
    """

    @classmethod
    def from_settings(cls, settings: MethodSettings) -> GpMethod:
        return cls(settings.space, settings.seed)

    #: In a conditional space, whether the model sees an inactive coordinate
    #: at one fixed value (the middle) rather than as proposed. Fixed values
    #: link every trial where a parameter was inactive to one value of it, and
    #: lost on real tuning tasks (bench/conditional.py, and a held-out choice
    #: of model): the model learns the coordinates as proposed.
    impute_inactive = False

    def __init__(self, space: Space, seed: int) -> None:
        self._kinds, self._counts = encode(space)
        self._seed = seed
        self._canonical = space.canonical if space.conditional and self.impute_inactive else None
        self._points: list[float] = []
        self._values: list[float] = []
        # With constraints: each result's margins (None for a failure).
        self._margins: list[tuple[float, ...] | None] = []

    @property
    def points(self) -> list[float]:
        """The observed points, flat (n x d)."""
        return self._points

    @property
    def values(self) -> list[float]:
        """The observed values."""
        return self._values

    def observe_point(self, unit: Unit, value: float) -> None:
        self._points.extend(self._canonical(unit) if self._canonical else unit)
        self._values.append(value)
        self._margins.append(None)

    def observe(self, results: Sequence[Told]) -> None:
        for r in results:
            self.observe_point(r.trial.unit, r.value)
            if r.margins is not None and r.values is not None:
                # Feasibility is the constraint models' part: the trial's own value.
                self._values[-1] = r.values[0]
                self._margins[-1] = r.margins

    def propose_point(self, pending: list[Unit]) -> Unit:
        if self._canonical:
            pending = [self._canonical(point) for point in pending]
        flat = [u for point in pending for u in point]
        return tuple(gp_propose(self._kinds, self._counts, self._points, self._values, flat,
                                self._seed, flat_margins(self._margins)))


def flat_margins(margins: list[tuple[float, ...] | None]) -> list[float] | None:
    """Every result's margins, flat, a failure's the largest seen; None without constraints."""
    known = [m for m in margins if m is not None]
    if not known:
        return None
    worst = [max(m[j] for m in known) for j in range(len(known[0]))]
    return [x for m in margins for x in (m if m is not None else worst)]
