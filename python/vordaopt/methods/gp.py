"""The GP method: Bayesian optimisation with a Gaussian-process model in the core.

Each proposal is computed from the space, the seed, the results told so far
(in the order told) and the pending points, and from nothing else, so a run
is reproducible in every process and a resumed run never recomputes the
proposals it has recorded.
"""

from __future__ import annotations

from .._engine import gp_propose
from ..space import Space
from ._encoding import encode
from .base import MethodSettings, PointMethod, Unit

__all__ = ["GpMethod"]


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

    def __init__(self, space: Space, seed: int) -> None:
        self._kinds, self._counts = encode(space)
        self._seed = seed
        self._points: list[float] = []
        self._values: list[float] = []

    @property
    def points(self) -> list[float]:
        """The observed points, flat (n x d)."""
        return self._points

    @property
    def values(self) -> list[float]:
        """The observed values."""
        return self._values

    def observe_point(self, unit: Unit, value: float) -> None:
        self._points.extend(unit)
        self._values.append(value)

    def propose_point(self, pending: list[Unit]) -> Unit:
        flat = [u for point in pending for u in point]
        return tuple(gp_propose(self._kinds, self._counts, self._points, self._values, flat,
                                self._seed))
