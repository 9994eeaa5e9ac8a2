"""The automatic choice: the method that pays best for the space and the budget.

- Up to GP_MAX_DIMENSION parameters, a Gaussian process gets the most out of
  each of the first evaluations, but its cost grows with its data and, past
  a few hundred points, a strategy that follows the landscape (CMA-ES) makes
  better use of each further evaluation. So, for a budget of up to
  GP_BUDGET trials per parameter, the GP method proposes the first
  `gp_trials(space)` points (300); then CMA-ES takes over, started around
  the best results so far (its mean at the best point, its step sizes from
  the spread of the best points), and is told every later result.
- A larger budget in a space without categorical parameters goes to CMA-ES
  from the first trial: its quadratic model of the recent results
  (see methods/cma.py) learns a smooth basin from every evaluation, and
  over a long run that pays more than the GP's head start.
- A small budget goes to a trust-region search from the centre of the space,
  which descends a smooth basin in far fewer evaluations than a population
  or a global model; once it has converged, CMA-ES searches afresh. Small
  is up to SMALL_BUDGET_FEW trials per parameter from LOCAL_MIN_DIMENSION to
  GP_MAX_DIMENSION parameters (where the GP pays from a few more), and up to
  SMALL_BUDGET_MANY per parameter beyond.
- Beyond GP_MAX_DIMENSION parameters a larger budget goes to CMA-ES from the
  first trial: its restarts explore, and pay off on rugged landscapes when
  there are evaluations to spare.
- Spaces with any integer or categorical parameter (the usual tuning space:
  grids, choices, often a noisy score) never go to the trust region, whose
  quadratic steps chase noise and land on configurations already evaluated.
  Up to DISCRETE_GP_MAX_DIMENSION parameters they get the GP first at any
  budget, then CMA-ES after GP_TRIALS; beyond, CMA-ES from the first trial.
  Spaces of mostly categorical parameters (the others have little to
  follow there) and grids (integer and categorical parameters only, where
  CMA-ES would spend trials on configurations already evaluated) keep the
  GP to the end.

The choice is a function of the space, the budget and the results told, so a
run stays deterministic and a journal replays it. A run resumed with a larger
budget keeps the choice of the budget it began with (the optimizer passes
that one).
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Literal

from ..space import Space
from ._encoding import encode
from .cma import CmaMethod
from .base import MethodSettings, ParetoPointMethod, PointMethod, Told, Unit
from .gp import GpMethod
from .local import LocalMethod
from .nsga2 import Nsga2Method
from .parego import ParegoMethod

__all__ = ["AutoMethod", "ParetoAutoMethod", "Phase", "first_phase", "gp_trials"]

# All chosen on held-out test functions (bench/dev_suite.py), never on the
# BBOB problems the README reports, by the mean rank over its functions
# (three seeds each; eight functions at first, all twelve since CMA-ES ranks
# by its model). The GP's share: at d = 5 and 500 trials, 300 GP trials
# ranked ahead of 100, of the GP alone and of the CMA-ES of the time, which
# had no model. The dimension: against that CMA-ES, the GP (then CMA-ES
# after 300 trials) ranked 1.38 to 1.62 at d = 5 and 20 trials per
# dimension, 1.44 to 1.56 at 100 per dimension; level at d = 6; behind from
# d = 8 at 5, 20 and 100 trials per dimension (at d = 10, 15 and 20 too).
GP_TRIALS = 300
# Against CMA-ES with its model, the GP first (pairwise mean ranks, twelve
# functions, seeds 0-2 and 3-5) ranked ahead at 50 trials per parameter in
# d = 2 to 4 (1.17 to 1.46) and level at d = 5 (1.54 and 1.58, with a far
# lower mean regret); level at 70 in d = 3 to 5; behind at 100 in d = 2 to 5
# (1.62 to 1.71).
GP_BUDGET = 50
# Beyond this many parameters, no GP.
GP_MAX_DIMENSION = 5
# The trust region first, then CMA-ES, against CMA-ES alone: ahead at d = 10
# with 20 and 50 trials per dimension, level at d = 20 with 50, behind at
# d = 10 with 100 (CMA-ES's restarts find better basins of the rugged
# functions). Again with CMA-ES's model: ahead at 20 per dimension (1.33 at
# d = 10, 1.08 at d = 20), level at 50 (1.54 against 1.46 at both).
SMALL_BUDGET_MANY = 50
# Against the GP: ahead at d = 3, 4 and 5 with 20 trials per dimension;
# behind at d = 3 and 4 with 30 (level at d = 5) and at d = 3 to 5 with 50;
# behind at d = 2 with 20.
SMALL_BUDGET_FEW = 20
LOCAL_MIN_DIMENSION = 3
# Spaces with integer or categorical parameters: the GP first up to this many
# parameters, at any budget. On the open tables of recorded training runs
# (bench/hpo_tables.py: grids of 5 and 9 parameters, 6 categoricals; seeds
# 0-9) the GP ranked 1.73 and 1.74 of three beside Optuna's TPE and random
# search at 30 and 100 trials, where the trust region (5 grids) and CMA-ES
# (9 parameters) had left "auto" at 2.74 and 2.65 of four; the tables reach
# 9 parameters, and 12 leaves room for a few more before the GP's cost and
# CMA-ES's scaling favour CMA-ES.
DISCRETE_GP_MAX_DIMENSION = 12

Phase = Literal["gp", "local", "cma"]


def is_discrete(kinds: str) -> bool:
    """Whether a space encoded as `kinds` has an integer or categorical parameter."""
    return "i" in kinds or "k" in kinds


def gp_trials(space: Space) -> int | None:
    """How many results the GP method proposes before CMA-ES takes over; None: all."""
    kinds, _ = encode(space)
    d = len(kinds)
    if 2 * kinds.count("k") > d:
        return None
    if d > (DISCRETE_GP_MAX_DIMENSION if is_discrete(kinds) else GP_MAX_DIMENSION):
        return 0
    if all(kind in "ik" for kind in kinds):
        # A grid: CMA-ES would draw configurations already evaluated (each
        # answered from the record, but a trial spent); the GP never does
        # while others remain.
        return None
    return GP_TRIALS


def first_phase(space: Space, budget: int) -> Phase:
    """The method that proposes the first trial of a run of `budget` trials."""
    kinds, _ = encode(space)
    d = len(kinds)
    switch = gp_trials(space)
    if switch is None:
        return "gp"
    if is_discrete(kinds):
        return "gp" if switch != 0 else "cma"
    small = SMALL_BUDGET_MANY if switch == 0 else SMALL_BUDGET_FEW
    if d >= LOCAL_MIN_DIMENSION and budget <= small * d:
        return "local"
    if switch == 0 or budget > GP_BUDGET * d:
        return "cma"
    return "gp"


class AutoMethod(PointMethod):
    """Proposes one point of the unit cube at a time: see the module's description.

    Parameters
    ----------
    space : Space
    seed : int
    budget : int
        The run's number of trials (the first, for a run resumed with more).
    round_size : int
        Trials handed out together (`parallel`), for CMA-ES.
    """

    @classmethod
    def from_settings(cls, settings: MethodSettings) -> AutoMethod:
        return cls(settings.space, settings.seed, settings.first_budget, settings.parallel,
                   settings.constrained)

    def __init__(self, space: Space, seed: int, budget: int, round_size: int = 1,
                 constrained: bool = False) -> None:
        self._space = space
        self._seed = seed
        self._round_size = round_size
        self._switch = gp_trials(space)
        self._told = 0
        first = first_phase(space, budget)
        if constrained and first != "gp" and self._switch != 0:
            # Only the GP models the constraints: the trust region sees an
            # infeasible trial as merely bad, and CMA-ES only ranks it behind
            # the feasible ones (bench/constrained.py, d = 5 at 20 trials per
            # dimension, d = 2 at 100). CMA-ES takes over after the GP's trials.
            first = "gp"
        self._method: GpMethod | LocalMethod | CmaMethod = (
            GpMethod(space, seed) if first == "gp"
            else LocalMethod(space) if first == "local" else self._cma())

    @property
    def phase(self) -> Phase:
        """The method proposing now."""
        if isinstance(self._method, GpMethod):
            return "gp"
        return "local" if isinstance(self._method, LocalMethod) else "cma"

    def observe(self, results: Sequence[Told]) -> None:
        for r in results:
            if isinstance(self._method, LocalMethod):
                self.observe_point(r.trial.unit, r.value)
                continue
            # The GP and CMA-ES take the result whole: with constraints, the
            # GP models them and CMA-ES ranks feasible results first.
            self._told += 1
            self._method.observe([r])
            self._moved_on(self._method)

    def observe_point(self, unit: Unit, value: float) -> None:
        self._told += 1
        self._method.observe_point(unit, value)
        self._moved_on(self._method)

    def _moved_on(self, method: GpMethod | LocalMethod | CmaMethod) -> None:
        """Hands over to CMA-ES once the method that observed a result is done."""
        if isinstance(method, LocalMethod) and method.converged:
            self._method = self._cma()
        elif isinstance(method, GpMethod) and self._switch is not None and self._told >= self._switch:
            self._method = self._cma()
            self._method.warm_start(method.points, method.values)

    def propose_point(self, pending: list[Unit]) -> Unit:
        return self._method.propose_point(pending)

    def _cma(self) -> CmaMethod:
        return CmaMethod(self._space, self._seed, self._round_size)


# Several objectives: the GP's scalarisations up to this budget (as many
# trials as the GP takes for one objective), NSGA-II beyond.
PARETO_GP_BUDGET = GP_TRIALS


class ParetoAutoMethod(ParetoPointMethod):
    """For several objectives: ParEGO with the GP for a budget of up to
    PARETO_GP_BUDGET trials and up to DISCRETE_GP_MAX_DIMENSION parameters,
    NSGA-II otherwise."""

    @classmethod
    def from_settings(cls, settings: MethodSettings) -> ParetoAutoMethod:
        return cls(settings.space, settings.seed, settings.objectives, settings.first_budget)

    def __init__(self, space: Space, seed: int, objectives: int, budget: int) -> None:
        modelled = (budget <= PARETO_GP_BUDGET
                    and len(space.names) <= DISCRETE_GP_MAX_DIMENSION)
        self._method: ParegoMethod | Nsga2Method = (
            ParegoMethod(space, seed, objectives) if modelled
            else Nsga2Method(space, seed, objectives))

    @property
    def phase(self) -> str:
        """The method proposing: "gp" or "nsga2"."""
        return "gp" if isinstance(self._method, ParegoMethod) else "nsga2"

    def observe_objectives(self, unit: Unit, values: tuple[float, ...], stand_in: bool,
                           violation: float, margins: tuple[float, ...] | None = None) -> None:
        self._method.observe_objectives(unit, values, stand_in, violation, margins)

    def propose_point(self, pending: list[Unit]) -> Unit:
        return self._method.propose_point(pending)
