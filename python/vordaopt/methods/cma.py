"""The CMA-ES method: an evolution strategy with restarts, in the core.

A generation of candidates is drawn from a Gaussian over the unit cube and
handed out in order (a round of `parallel` trials takes the next ones, so a
generation is a natural batch); once every candidate's result is told, the
distribution moves and the next generation is drawn. When a run converges
it restarts with twice the population (IPOP). Integers keep a margin of
probability to move off their current value; categorical parameters have a
distribution of their own over their choices (see core/src/cma/search.h).

In spaces without categorical parameters, a quadratic model of the run's
recent results orders each generation: the candidates it ranks best are
handed out first, and while the model keeps ranking new results correctly
the rest of the generation is ranked by it instead of evaluated (see
core/src/cma/surrogate.h). On smooth problems this saves most evaluations.

Under constraints, results are ranked feasible first: an infeasible result
is told as the worst feasible value seen so far plus its violation, so it
ranks behind every feasible result and, among the infeasible, by how far
it lies outside (before any feasible result, by its violation alone). The
objective's value at an infeasible point never pulls the search there.

The state is a function of the results told, in the order told: a journal
rebuilds it by telling them again, without proposing anything.
"""

from __future__ import annotations

from collections.abc import Sequence

from .._engine import Cma
from ..space import Space
from ._encoding import encode
from .base import MethodSettings, PointMethod, Told, Unit

__all__ = ["CmaMethod"]


class CmaMethod(PointMethod):
    """Proposes one point of the unit cube at a time.

    Parameters
    ----------
    space : Space
    seed : int
    round_size : int
        Trials handed out together (`parallel`): the model waits for that many
        results of a generation before it decides whether to rank the rest.
    """

    @classmethod
    def from_settings(cls, settings: MethodSettings) -> CmaMethod:
        return cls(settings.space, settings.seed, settings.parallel)

    def __init__(self, space: Space, seed: int, round_size: int = 1) -> None:
        kinds, counts = encode(space)
        self._search = Cma(kinds, counts, seed, surrogate=True, round_size=round_size)
        self._worst_feasible: float | None = None

    def observe(self, results: Sequence[Told]) -> None:
        for result in results:
            self.observe_point(result.trial.unit, self.ranking_value(result))

    def ranking_value(self, result: Told) -> float:
        """The value CMA-ES ranks a result by: feasible results first (see the module)."""
        if result.violation > 0:
            return (self._worst_feasible or 0.0) + result.violation
        if not result.stand_in and (self._worst_feasible is None
                                    or result.value > self._worst_feasible):
            self._worst_feasible = result.value
        return result.value

    def warm_start(self, points: list[float], values: list[float]) -> None:
        """Restarts the search around the best of these results (points flat, n x d)."""
        self._search.warm_start(points, values)

    def observe_point(self, unit: Unit, value: float) -> None:
        self._search.observe(unit, value)

    def propose_point(self, pending: list[Unit]) -> Unit:
        return tuple(self._search.propose([u for point in pending for u in point]))
