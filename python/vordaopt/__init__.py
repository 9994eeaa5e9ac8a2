"""vordaopt: a fast, deterministic black-box minimiser for hyper-parameter search.

Describe the search space in JSON, ask for candidates, evaluate them, and tell
the results back. Lower objective values are better.
"""

from ._internal import VordaProbe, VordaSolver
from ._panic import PanicException

__all__ = ["VordaSolver", "VordaProbe", "PanicException"]
