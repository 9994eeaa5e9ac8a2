"""NSGA-II: the evolutionary method for several objectives, in the core.

A generation of children is drawn from the current parents and handed out in
order (a round of `parallel` trials takes the next ones); once every child
is told, the best of parents and children by Pareto front (feasible points
first, then by violation) and crowding become the next parents (see
core/src/pareto/nsga2.h). It suits runs of hundreds of trials or more;
with one objective it is a genetic algorithm.

The state is a function of the results told, in the order told: a journal
rebuilds it by telling them again, without proposing anything.
"""

from __future__ import annotations

from .._engine import Nsga2
from ..space import Space
from ._encoding import encode
from .base import ParetoPointMethod, Unit

__all__ = ["Nsga2Method", "POPULATION"]

#: Parents, and children per generation.
POPULATION = 50


class Nsga2Method(ParetoPointMethod):
    """Proposes one point of the unit cube at a time.

    Parameters
    ----------
    space : Space
    seed : int
    objectives : int
    """

    def __init__(self, space: Space, seed: int, objectives: int = 1) -> None:
        kinds, counts = encode(space)
        self._search = Nsga2(kinds, counts, objectives, seed, POPULATION)

    def observe_objectives(self, unit: Unit, values: tuple[float, ...], stand_in: bool,
                           violation: float, margins: tuple[float, ...] | None = None) -> None:
        self._search.observe(unit, values, violation)

    def propose_point(self, pending: list[Unit]) -> Unit:
        return tuple(self._search.propose([u for point in pending for u in point]))
