"""The search methods, by name, all behind one protocol (:mod:`.base`).

- ``"batch"``: probe the space, classify the landscape, refine it with
  Nelder-Mead or TPE (the core's probe-classify-refine workflow).
- ``"online"``: one TPE trial at a time.
- ``"gp"``: Bayesian optimisation with a Gaussian process (:mod:`.gp`).
- ``"cma"``: CMA-ES with restarts of growing population (:mod:`.cma`).
- ``"auto"``: chooses from the space and the budget among the GP method,
  a trust-region descent (:mod:`.local`) and CMA-ES (:mod:`.auto`).
"""

from __future__ import annotations

from typing import Literal, Protocol

from .auto import AutoMethod
from .base import MethodSettings, SearchMethod, Told
from .batch import BatchMethod
from .cma import CmaMethod
from .gp import GpMethod
from .online import OnlineMethod

__all__ = ["DEFAULT_METHOD", "Method", "METHODS", "MethodSettings", "SearchMethod", "Told",
           "make_method", "method_class"]

Method = Literal["batch", "online", "gp", "cma", "auto"]
METHODS: tuple[str, ...] = ("batch", "online", "gp", "cma", "auto")
# Used when a run names no method (a resumed run: its journal's method).
DEFAULT_METHOD: Method = "auto"


class _MethodClass(Protocol):
    batched: bool
    replays_by_observing: bool

    def from_settings(self, settings: MethodSettings) -> SearchMethod: ...


_REGISTRY: dict[str, _MethodClass] = {
    "auto": AutoMethod,
    "batch": BatchMethod,
    "cma": CmaMethod,
    "gp": GpMethod,
    "online": OnlineMethod,
}


def method_class(name: str) -> _MethodClass:
    """The class of the method called `name` (one of METHODS)."""
    return _REGISTRY[name]


def make_method(name: str, settings: MethodSettings) -> SearchMethod:
    """A new method called `name` (one of METHODS) for a run of these settings."""
    return _REGISTRY[name].from_settings(settings)
