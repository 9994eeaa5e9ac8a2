"""The search methods, by name.

- ``"batch"``: probe the space, classify the landscape, refine it with
  Nelder-Mead or TPE (the core's probe-classify-refine workflow).
- ``"online"``: one TPE trial at a time.
- ``"gp"``: Bayesian optimisation with a Gaussian process (:mod:`.gp`).
"""

from __future__ import annotations

from typing import Literal

__all__ = ["Method", "METHODS"]

Method = Literal["batch", "online", "gp"]
METHODS: tuple[str, ...] = ("batch", "online", "gp")
