"""The search methods, by name, all behind one protocol (:mod:`.base`).

- ``"batch"``: probe the space, classify the landscape, refine it with
  Nelder-Mead or TPE (the core's probe-classify-refine workflow).
- ``"online"``: one TPE trial at a time.
- ``"gp"``: Bayesian optimisation with a Gaussian process (:mod:`.gp`).
- ``"cma"``: CMA-ES with restarts of growing population (:mod:`.cma`).
- ``"auto"``: chooses from the space and the budget among the GP method,
  a trust-region descent (:mod:`.local`) and CMA-ES (:mod:`.auto`).
- ``"nsga2"``: NSGA-II (:mod:`.nsga2`), for several objectives.

With several objectives, ``"gp"`` is ParEGO (:mod:`.parego`) and ``"auto"``
chooses between it and NSGA-II.
"""

from __future__ import annotations

from typing import Literal, Protocol

from .auto import AutoMethod, ParetoAutoMethod
from .base import MethodSettings, SearchMethod, Told
from .batch import BatchMethod
from .cma import CmaMethod
from .gp import GpMethod
from .nsga2 import Nsga2Method
from .online import OnlineMethod
from .parego import ParegoMethod

__all__ = ["DEFAULT_METHOD", "Method", "METHODS", "MethodSettings", "SearchMethod", "Told",
           "make_method", "method_class", "handles_several_objectives"]

Method = Literal["batch", "online", "gp", "cma", "auto", "nsga2"]
METHODS: tuple[str, ...] = ("batch", "online", "gp", "cma", "auto", "nsga2")
# Used when a run names no method (a resumed run: its journal's method).
DEFAULT_METHOD: Method = "auto"


class _MethodClass(Protocol):
    batched: bool
    replays_by_observing: bool
    many_objectives: bool

    def from_settings(self, settings: MethodSettings) -> SearchMethod: ...


_REGISTRY: dict[str, _MethodClass] = {
    "auto": AutoMethod,
    "batch": BatchMethod,
    "cma": CmaMethod,
    "gp": GpMethod,
    "nsga2": Nsga2Method,
    "online": OnlineMethod,
}
# What a name means for several objectives.
_SEVERAL: dict[str, _MethodClass] = {
    "auto": ParetoAutoMethod,
    "gp": ParegoMethod,
    "nsga2": Nsga2Method,
}


def handles_several_objectives(name: str) -> bool:
    """Whether the method called `name` searches several objectives."""
    return name in _SEVERAL


def method_class(name: str) -> _MethodClass:
    """The class of the method called `name` (one of METHODS)."""
    return _REGISTRY[name]


def make_method(name: str, settings: MethodSettings) -> SearchMethod:
    """A new method called `name` (one of METHODS) for a run of these settings."""
    registry = _SEVERAL if settings.objectives > 1 else _REGISTRY
    return registry[name].from_settings(settings)
