"""vordaopt: a fast, deterministic black-box minimiser for hyper-parameter search.

Describe a search space, then either let :func:`minimize` run the whole
search, or drive an :class:`Optimizer` with ask/tell. Lower objective values
are better (``direction="maximize"`` turns that around). The extension's raw
protocol (:class:`VordaSolver`, :class:`VordaProbe`) stays available.
"""

from ._internal import VordaProbe, VordaSolver
from ._panic import PanicException
from .journal import JournalError
from .minimize import StopOptimization, minimize
from .results import Result, load
from .optimizer import FAILED_STAND_IN, Optimizer, Report, Trial, TrialState
from .pruners import HyperbandPruner, MedianPruner, SuccessiveHalvingPruner, TrialPruned
from .reporting import RunningTrial
from .executors import RayExecutor
from .importances import importance, importance_intervals
from .space import Categorical, Int, Kind, Periodic, Real, Space
from .space_json import space_from_json, space_to_json

__version__ = "0.2.0"

__all__ = [
    "minimize",
    "load",
    "importance",
    "importance_intervals",
    "Result",
    "StopOptimization",
    "Optimizer",
    "Trial",
    "TrialState",
    "Report",
    "RunningTrial",
    "TrialPruned",
    "MedianPruner",
    "SuccessiveHalvingPruner",
    "HyperbandPruner",
    "FAILED_STAND_IN",
    "Real",
    "Int",
    "Categorical",
    "Periodic",
    "Kind",
    "Space",
    "space_from_json",
    "space_to_json",
    "JournalError",
    "RayExecutor",
    "PanicException",
    "VordaSolver",
    "VordaProbe",
]
