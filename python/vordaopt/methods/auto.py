"""The automatic choice: the GP method while it pays, then CMA-ES.

A Gaussian process gets the most out of each of the first evaluations, but
its cost grows with its data and, past a few hundred points, a strategy that
follows the landscape (CMA-ES) makes better use of each further evaluation.
So the GP method proposes the first `gp_trials(space)` points (300); then CMA-ES
takes over, started around the best results so far (its mean at the best
point, its step sizes from the spread of the best points), and is told every
later result. The hand-over is a function of the number of results told, so
a run stays deterministic and a journal replays it.

Spaces of mostly categorical parameters stay with the GP (CMA-ES has little
to follow there); very high dimensions start with CMA-ES, where a GP's model
of so many coordinates is too coarse to pay for itself.
"""

from __future__ import annotations

from ..space import Space
from ._encoding import encode
from .cma import CmaMethod
from .gp import GpMethod

__all__ = ["AutoMethod", "gp_trials"]

# The GP's share of a run. Chosen on held-out test functions (bench/dev_suite.py),
# never on the BBOB problems the README reports: at d = 5 and 500 trials,
# 300 GP trials gave a median log10 regret of -4.70 against -3.68 for 100
# (and -4.09 for the GP alone, -2.95 for CMA-ES alone); at d = 10 and 1,000
# trials, -1.55 against -1.69 for 200, about even.
GP_TRIALS = 300
# Beyond this many parameters, CMA-ES from the first trial.
GP_MAX_DIMENSION = 40


def gp_trials(space: Space) -> int | None:
    """How many results the GP method proposes before CMA-ES takes over; None: all."""
    kinds, _ = encode(space)
    d = len(kinds)
    if 2 * kinds.count("k") > d:
        return None
    if d > GP_MAX_DIMENSION:
        return 0
    return GP_TRIALS


class AutoMethod:
    """Proposes one point of the unit cube at a time: GP first, then CMA-ES.

    Parameters
    ----------
    space : Space
    seed : int
    """

    def __init__(self, space: Space, seed: int) -> None:
        self._space = space
        self._seed = seed
        self._switch = gp_trials(space)
        self._gp = GpMethod(space, seed)
        self._cma: CmaMethod | None = None
        self._told = 0
        if self._switch == 0:
            self._cma = CmaMethod(space, seed)

    @property
    def phase(self) -> str:
        """The method proposing now: ``"gp"`` or ``"cma"``."""
        return "gp" if self._cma is None else "cma"

    def observe(self, unit: tuple[float, ...], value: float) -> None:
        """Adds one told result (a value to minimise, finite)."""
        self._told += 1
        if self._cma is not None:
            self._cma.observe(unit, value)
            return
        self._gp.observe(unit, value)
        if self._switch is not None and self._told >= self._switch:
            self._cma = CmaMethod(self._space, self._seed)
            self._cma.warm_start(self._gp.points, self._gp.values)

    def propose(self, pending: list[tuple[float, ...]]) -> tuple[float, ...]:
        """The next point, given the points being evaluated now."""
        if self._cma is not None:
            return self._cma.propose(pending)
        return self._gp.propose(pending)
