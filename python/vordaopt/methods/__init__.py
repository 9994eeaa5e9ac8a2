"""The search methods, by name.

- ``"batch"``: probe the space, classify the landscape, refine it with
  Nelder-Mead or TPE (the core's probe-classify-refine workflow).
- ``"online"``: one TPE trial at a time.
- ``"gp"``: Bayesian optimisation with a Gaussian process (:mod:`.gp`).
- ``"cma"``: CMA-ES with restarts of growing population (:mod:`.cma`).
- ``"auto"``: chooses from the space and the budget among the GP method,
  a trust-region descent (:mod:`.local`) and CMA-ES (:mod:`.auto`).
"""

from __future__ import annotations

from typing import Literal

__all__ = ["DEFAULT_METHOD", "Method", "METHODS", "MODEL_METHODS"]

Method = Literal["batch", "online", "gp", "cma", "auto"]
METHODS: tuple[str, ...] = ("batch", "online", "gp", "cma", "auto")
# Used when a run names no method (a resumed run: its journal's method).
DEFAULT_METHOD: Method = "auto"
# The methods that propose one point at a time from a model of the results.
MODEL_METHODS: tuple[str, ...] = ("gp", "cma", "auto")
