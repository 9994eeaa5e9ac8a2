"""How the model-based methods see a space: one letter and one count per parameter."""

from __future__ import annotations

from ..space import Categorical, Int, Periodic, Space

__all__ = ["encode"]

# Integers with more values than this are searched as continuous coordinates
# (rounded when decoded), as are integers on a log scale, whose shares differ.
_MAX_DISCRETE = 2**31


def encode(space: Space) -> tuple[str, list[float]]:
    """The kinds (c continuous, i integer, k categorical, p periodic) and counts of `space`."""
    kinds = []
    counts: list[float] = []
    for name in space.names:
        kind = space[name]
        if isinstance(kind, Categorical):
            kinds.append("k")
            counts.append(float(len(kind.choices)))
        elif isinstance(kind, Int) and not kind.log and int(kind.high) - int(kind.low) < _MAX_DISCRETE:
            kinds.append("i")
            counts.append(float(int(kind.high) - int(kind.low) + 1))
        elif isinstance(kind, Periodic):
            kinds.append("p")
            counts.append(0.0)
        else:
            kinds.append("c")
            counts.append(0.0)
    return "".join(kinds), counts
