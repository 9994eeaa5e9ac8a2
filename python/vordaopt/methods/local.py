"""The trust-region descent: a local model-based search from the centre of the space.

It fits a quadratic to the results nearest its best point and steps to the
model's minimum inside a ball that grows while the model predicts well and
shrinks when it does not (see core/src/local/trust_region.h). It follows a
smooth basin in few evaluations and stays in it: method "auto" uses it for
small budgets and hands over to CMA-ES once it has converged.

The state is a function of the results told, in the order told: a journal
rebuilds it by telling them again, without proposing anything.
"""

from __future__ import annotations

from .._engine import TrustRegion
from ..space import Space
from .base import PointMethod, Unit

__all__ = ["LocalMethod"]


class LocalMethod(PointMethod):
    """Proposes one point of the unit cube at a time, from the centre.

    Parameters
    ----------
    space : Space
    """

    def __init__(self, space: Space) -> None:
        self._search = TrustRegion([0.5] * len(space.names))

    @property
    def converged(self) -> bool:
        """The ball has shrunk to nothing: the search is over."""
        return bool(self._search.state()["converged"])

    def observe_point(self, unit: Unit, value: float) -> None:
        self._search.observe(unit, value)

    def propose_point(self, pending: list[Unit]) -> Unit:
        return tuple(self._search.propose([u for point in pending for u in point]))
