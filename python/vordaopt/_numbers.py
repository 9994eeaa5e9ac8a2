"""One reading of numbers for the whole package.

Anything that is a ``numbers.Real`` (numpy's scalars included) is a number,
and anything that is a ``numbers.Integral`` an integer; ``bool`` is neither,
and a string never is, whatever it holds.
"""

from __future__ import annotations

import math
import numbers
from typing import Any

__all__ = ["is_real", "is_integral", "as_int", "as_real", "objective_value", "reported_value", "brief"]


def is_real(v: Any) -> bool:
    return isinstance(v, numbers.Real) and not isinstance(v, bool)


def is_integral(v: Any) -> bool:
    return isinstance(v, numbers.Integral) and not isinstance(v, bool)


def as_int(name: str, v: Any, low: int, high: int | None = None, *, what: str) -> int:
    """`v` as a plain int in [low, high]; ValueError naming `name` and saying `what` otherwise."""
    if is_integral(v):
        n = int(v)
        if n >= low and (high is None or n <= high):
            return n
    raise ValueError(f"{name} must be {what}, got {v!r}")


def as_real(name: str, v: Any, *, low: float | None = None, high: float | None = None,
            what: str = "a finite number") -> float:
    """`v` as a finite float within the given bounds; ValueError naming `name` otherwise."""
    if is_real(v):
        x = float(v)
        if math.isfinite(x) and (low is None or x >= low) and (high is None or x <= high):
            return x
    raise ValueError(f"{name} must be {what}, got {v!r}")


def objective_value(v: Any) -> float:
    """The float of an objective's value: a real number, or an object that is one
    (a 0-d numpy or torch array, a ``Decimal``).

    NaN and infinities pass: they mark a trial failed, not a wrong type.

    Raises
    ------
    TypeError
        Strings, bytes, bools, complex numbers, sequences and anything else that
        is not a real number.
    """
    if is_real(v):
        return float(v)
    refused = (isinstance(v, (str, bytes, bytearray, bool, numbers.Complex))
               or getattr(getattr(v, "dtype", None), "kind", "f") in "bcOSUV"
               or getattr(v, "shape", ()) != ()
               or not hasattr(type(v), "__float__"))
    if not refused:
        try:
            return float(v)
        except (TypeError, ValueError):
            pass
    text = repr(v)
    text = text if len(text) <= 60 else text[:57] + "..."
    raise TypeError(f"the objective must return a number (a real number, never a string), "
                    f"got {type(v).__name__} {text}")


def reported_value(number: int, value: Any, step: Any) -> float:
    """The float of a value trial `number` reported at `step` (see :func:`objective_value`).

    Raises
    ------
    TypeError
        Not a real number.
    ValueError
        A number beyond the range of a float (``10**400``): no journal or plot could hold it.
    """
    try:
        return objective_value(value)
    except TypeError:
        raise TypeError(f"trial {number} reported {type(value).__name__} {brief(value)} at step "
                        f"{brief(step)}: a reported value must be a real number") from None
    except OverflowError:
        raise ValueError(f"trial {number} reported {brief(value)} at step {brief(step)}: a "
                         "reported value must lie within the range of a float") from None


def brief(v: Any) -> str:
    """A short text of `v`, even for an integer too long to print."""
    if is_integral(v) and abs(int(v)).bit_length() > 200:
        return f"an integer of {abs(int(v)).bit_length()} bits"
    text = repr(v)
    return text if len(text) <= 60 else text[:57] + "..."
