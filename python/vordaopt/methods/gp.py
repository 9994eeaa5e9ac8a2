"""The GP method: Bayesian optimisation with a Gaussian-process model in the core.

Each proposal is computed from the space, the seed, the results told so far
(in the order told) and the pending points, and from nothing else, so a run
is reproducible in every process and a resumed run never recomputes the
proposals it has recorded.
"""

from __future__ import annotations

from .._engine import gp_propose
from ..space import Categorical, Int, Periodic, Space

__all__ = ["GpMethod"]

# Integers with more values than this are modelled as continuous coordinates
# (rounded when decoded), as are integers on a log scale, whose shares differ.
_MAX_DISCRETE = 2**31


class GpMethod:
    """Proposes one point of the unit cube at a time.

    Parameters
    ----------
    space : Space
    seed : int
    """

    def __init__(self, space: Space, seed: int) -> None:
        kinds = []
        counts: list[float] = []
        for name in space.names:
            kind = space[name]
            if isinstance(kind, Categorical):
                kinds.append("k")
                counts.append(float(len(kind.choices)))
            elif isinstance(kind, Int) and not kind.log and int(kind.high) - int(kind.low) < _MAX_DISCRETE:
                kinds.append("i")
                counts.append(float(int(kind.high) - int(kind.low) + 1))
            elif isinstance(kind, Periodic):
                kinds.append("p")
                counts.append(0.0)
            else:
                kinds.append("c")
                counts.append(0.0)
        self._kinds = "".join(kinds)
        self._counts = counts
        self._seed = seed
        self._points: list[float] = []
        self._values: list[float] = []

    def observe(self, unit: tuple[float, ...], value: float) -> None:
        """Adds one told result (a value to minimise, finite)."""
        self._points.extend(unit)
        self._values.append(value)

    def propose(self, pending: list[tuple[float, ...]]) -> tuple[float, ...]:
        """The next point, given the points being evaluated now."""
        flat = [u for point in pending for u in point]
        return tuple(gp_propose(self._kinds, self._counts, self._points, self._values, flat,
                                self._seed))
