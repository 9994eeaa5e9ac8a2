"""Search spaces: parameter kinds and their mapping from the unit interval.

The solver searches the unit cube: one coordinate t in [0, 1] per parameter.
Each kind maps its coordinate to a value of its own, always inside the
declared bounds, so every move of the search stays inside them and a step of
0.05 means 5 % of a range.

A space is written as a ``dict`` from parameter name to kind::

    space = {
        "lr": Real(1e-5, 1e-1, log=True),
        "depth": Int(2, 12),
        "booster": Categorical(["gbtree", "dart"]),
        "angle": Periodic(0, 360),
    }

The kinds are plain records; a space is checked as a whole when it is built
(by :class:`Space`, :class:`~vordaopt.Optimizer` or :func:`~vordaopt.minimize`)
so that every message names the parameter at fault.
"""

from __future__ import annotations

import math
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import KW_ONLY, dataclass
from typing import Any, TypeAlias

from ._numbers import is_integral, is_real
from .conditions import Tree, flatten

__all__ = [
    "Real",
    "Int",
    "Categorical",
    "Periodic",
    "Kind",
    "Space",
]


@dataclass(frozen=True, slots=True)
class Real:
    """A real number in ``[low, high]``; ``log=True`` searches ``log(value)`` evenly."""

    low: float
    high: float
    _: KW_ONLY
    log: bool = False

    def __post_init__(self) -> None:
        _check_alone(self, _real_decoder)


@dataclass(frozen=True, slots=True)
class Int:
    """An integer in ``[low, high]``; each integer gets an equal share of the search.

    With ``log=True`` the shares are even in ``log(value)`` instead, so that
    1, 2, 4, 8, ... are as far apart as each other.
    """

    low: int
    high: int
    _: KW_ONLY
    log: bool = False

    def __post_init__(self) -> None:
        _check_alone(self, _int_decoder)


@dataclass(frozen=True, slots=True)
class Categorical:
    """One of ``choices``; each choice gets an equal share of the search.

    The choices come back as the very objects given, and are compared with
    ``==`` only to refuse duplicates. Given as a dict, each choice carries a
    sub-space (a dict from name to kind, or None): its parameters are active
    only when this parameter takes that choice (see conditions.py).
    """

    choices: Sequence[Any] | Mapping[Any, Mapping[str, Any] | None]


@dataclass(frozen=True, slots=True)
class Periodic:
    """A real number on a circle: ``low`` and ``high`` are the same point.

    A full turn spans ``high - low`` (360 for degrees); values lie in
    ``[low, high)``.
    """

    low: float
    high: float


Kind: TypeAlias = Real | Int | Categorical | Periodic


def _check_alone(kind: Any, build: Any) -> None:
    """Refuses a kind that no space would take, where it is built (no name to give yet)."""
    try:
        build("", kind)
    except (TypeError, ValueError) as exc:
        raise type(exc)(str(exc).removeprefix("parameter '': ")) from None


# --- The mapping from the unit interval -------------------------------------------------


def _unit(t: float) -> float:
    # The solver keeps its coordinates in [0, 1]; clamping guards the edges
    # against any rounding, and maps NaN to 0.
    if t >= 1.0:
        return 1.0
    if t > 0.0:
        return t
    return 0.0


def _share(t: float, n: int) -> int:
    """The index of the share of [0, 1] that holds t, when split into n equal shares."""
    return min(int(_unit(t) * n), n - 1)


class _Dimension:
    """A checked kind, ready to decode: the compiled form of one parameter."""

    __slots__ = ("name", "kind", "periodic", "_decode", "choices")

    def __init__(self, name: str, kind: Kind) -> None:
        self.name = name
        self.kind = kind
        self.periodic = isinstance(kind, Periodic)
        if isinstance(kind, Real):
            self._decode = _real_decoder(name, kind)
        elif isinstance(kind, Int):
            self._decode = _int_decoder(name, kind)
        elif isinstance(kind, Categorical):
            self._decode = _categorical_decoder(name, kind)
        elif isinstance(kind, Periodic):
            self._decode = _periodic_decoder(name, kind)
        else:
            raise TypeError(
                f"parameter {name!r}: expected Real, Int, Categorical or Periodic, "
                f"got {type(kind).__name__}"
            )
        # How many choices (None for a number): a choice is told apart from
        # the others by its index, since choices need not be hashable.
        self.choices = len(tuple(kind.choices)) if isinstance(kind, Categorical) else None

    def decode(self, t: float) -> Any:
        return self._decode(t)

    def encode(self, value: Any) -> float:
        """A coordinate that decodes to `value` exactly (to the nearest value the
        parameter can take, for a real that none decodes to); the middle of its
        share for an integer or a choice."""
        kind = self.kind
        if isinstance(kind, Categorical):
            choices = tuple(kind.choices)
            matches = [i for i, c in enumerate(choices) if type(c) is type(value) and c == value]
            matches = matches or [i for i, c in enumerate(choices) if c == value]
            if not matches:
                raise ValueError(f"parameter {self.name!r}: {value!r} is not one of its "
                                 f"choices {list(choices)!r}")
            return (matches[0] + 0.5) / len(choices)
        if isinstance(kind, Int):
            v: float = _integral(self.name, "value", value)
        elif not is_real(value):
            raise TypeError(f"parameter {self.name!r}: expected a number, got {value!r}")
        else:
            v = float(value)
        low, high = float(kind.low), float(kind.high)
        inside = low <= v < high if isinstance(kind, Periodic) else low <= v <= high
        if not inside:
            closed = ")" if isinstance(kind, Periodic) else "]"
            raise ValueError(f"parameter {self.name!r}: {value!r} lies outside "
                             f"[{kind.low!r}, {kind.high!r}{closed}")
        top = math.nextafter(1.0, 0.0) if isinstance(kind, Periodic) else 1.0
        first = self._first_reaching(v, top)
        if isinstance(kind, Int):
            return 0.5 * (first + self._first_reaching(v + 1, top, missing=top))
        below = math.nextafter(first, 0.0)
        if first > 0.0 and abs(self._decode(below) - v) < abs(self._decode(first) - v):
            return below
        return first

    def _first_reaching(self, v: float, top: float, missing: float | None = None) -> float:
        """The smallest coordinate whose value is at least `v` (decoding is monotone)."""
        if self._decode(top) < v:
            return top if missing is None else missing
        lo, hi = 0.0, top
        if self._decode(lo) >= v:
            return lo
        while True:  # invariant: decode(lo) < v <= decode(hi)
            mid = 0.5 * (lo + hi)
            if mid <= lo or mid >= hi:
                return hi
            if self._decode(mid) >= v:
                hi = mid
            else:
                lo = mid


def _finite_bounds(name: str, kind: Real | Periodic) -> tuple[float, float]:
    label = type(kind).__name__
    values = []
    for field in ("low", "high"):
        v = getattr(kind, field)
        if not is_real(v):
            raise TypeError(f"parameter {name!r}: {label} {field} must be a number, got {v!r}")
        v = float(v)
        if not math.isfinite(v):
            raise ValueError(f"parameter {name!r}: {label} {field} must be finite, got {v!r}")
        values.append(v)
    low, high = values
    if not low < high:
        raise ValueError(
            f"parameter {name!r}: {label} needs low < high, got low={low!r}, high={high!r}"
        )
    return low, high


def _check_log_flag(name: str, kind: Real | Int) -> bool:
    if not isinstance(kind.log, bool):
        raise TypeError(f"parameter {name!r}: log must be True or False, got {kind.log!r}")
    if kind.log and not float(kind.low) > 0:
        raise ValueError(
            f"parameter {name!r}: log=True needs low > 0, got low={kind.low!r}"
        )
    return kind.log


def _linear(low: float, high: float, t: float) -> float:
    width = high - low
    if math.isfinite(width):
        v = low + t * width
    else:  # the width overflows: weigh the two ends instead
        v = low * (1.0 - t) + high * t
    return min(max(v, low), high)


def _real_decoder(name: str, kind: Real) -> Any:
    low, high = _finite_bounds(name, kind)
    if not _check_log_flag(name, kind):
        width = high - low
        if not math.isfinite(width):
            return lambda t: _linear(low, high, _unit(t))

        def decode_linear(t: float) -> float:
            # _linear and _unit inlined: this runs once per parameter per trial.
            t = 1.0 if t >= 1.0 else (t if t > 0.0 else 0.0)
            v = low + t * width
            return high if v > high else v

        return decode_linear
    log_low, log_high = math.log(low), math.log(high)
    span = log_high - log_low

    def decode_log(t: float) -> float:
        return min(max(math.exp(log_low + _unit(t) * span), low), high)

    return decode_log


def _integral(name: str, field: str, v: Any) -> int:
    if is_integral(v):
        return int(v)
    if not is_real(v):
        raise TypeError(f"parameter {name!r}: Int {field} must be an integer, got {v!r}")
    if not (math.isfinite(v) and float(v).is_integer()):
        raise ValueError(f"parameter {name!r}: Int {field} must be an integer, got {v!r}")
    return int(v)


def _int_decoder(name: str, kind: Int) -> Any:
    low, high = _integral(name, "low", kind.low), _integral(name, "high", kind.high)
    if not low < high:
        raise ValueError(
            f"parameter {name!r}: Int needs low < high, got low={low!r}, high={high!r}"
        )
    if not _check_log_flag(name, kind):
        count = high - low + 1
        return lambda t: low + _share(t, count)
    # Integer k owns [k - 1/2, k + 1/2) on the log scale: the shares are even
    # in log(value), and every integer keeps a share of its own.
    log_low, log_high = math.log(low - 0.5), math.log(high + 0.5)
    span = log_high - log_low

    def decode_log(t: float) -> int:
        k = math.floor(math.exp(log_low + _unit(t) * span) + 0.5)
        return min(max(k, low), high)

    return decode_log


def _categorical_decoder(name: str, kind: Categorical) -> Any:
    choices = kind.choices
    if isinstance(choices, (str, bytes)) or not isinstance(choices, (Sequence, Mapping)):
        raise TypeError(
            f"parameter {name!r}: Categorical choices must be a list or tuple (or a dict "
            f"from choice to sub-space), got {choices!r}"
        )
    choices = tuple(choices)
    if not choices:
        raise ValueError(f"parameter {name!r}: Categorical needs at least one choice")
    for i, a in enumerate(choices):
        for b in choices[:i]:
            if type(a) is type(b) and a == b:
                raise ValueError(f"parameter {name!r}: Categorical choice {a!r} appears twice")
    count = len(choices)
    return lambda t: choices[_share(t, count)]


def _periodic_decoder(name: str, kind: Periodic) -> Any:
    low, high = _finite_bounds(name, kind)

    def decode(t: float) -> float:
        t = t - math.floor(t) if math.isfinite(t) else 0.0
        v = _linear(low, high, t)
        # high is low again, a full turn on: keep values in [low, high).
        return low if v >= high else v

    return decode


# --- Spaces -------------------------------------------------------------------------------


class Space(Mapping[str, Kind]):
    """A checked search space: parameter names in byte-wise order, each with its kind.

    Parameters
    ----------
    params : Mapping[str, Kind]
        The parameters, from name to kind. A :class:`Space` is accepted too.

    Raises
    ------
    TypeError
        A name that is not a string, a value that is not a kind, or a bound of
        the wrong type.
    ValueError
        An empty space or name, non-finite, equal or reversed bounds,
        ``log=True`` with ``low <= 0``, non-integral ``Int`` bounds, empty or
        duplicate choices. The message names the parameter.

    Examples
    --------
    >>> space = Space({"x": Real(-5, 10), "n": Int(1, 3)})
    >>> space.names
    ('n', 'x')
    >>> space.decode({"n": 0.5, "x": 1.0})
    {'n': 2, 'x': 10.0}
    """

    def __init__(self, params: Mapping[str, Kind]) -> None:
        if isinstance(params, Space):
            self._dims: tuple[_Dimension, ...] = params._dims
            self._tree: Tree = params._tree
            self._gates: tuple[tuple[int, tuple[tuple[int, int, frozenset[int]], ...]], ...] = (
                params._gates)
            return
        if not isinstance(params, Mapping):
            raise TypeError(f"a space is a dict from name to kind, got {type(params).__name__}")
        if not params:
            raise ValueError("the space is empty: give at least one parameter")
        self._tree = flatten(params)
        flat = self._tree.flat
        # Code-point order of str equals byte-wise order of its UTF-8 text:
        # the order in which the solver handles its dimensions.
        self._dims = tuple(_Dimension(name, flat[name]) for name in sorted(flat))
        position = {d.name: i for i, d in enumerate(self._dims)}
        # Each conditional parameter, parents first: (its position, and for each
        # parent: the parent's position, its number of choices, the choices
        # under which this one is active).
        self._gates = tuple(
            (position[name], tuple((position[parent], len(tuple(flat[parent].choices)), when)
                                   for parent, when in self._tree.conditions[name]))
            for name in self._tree.order)

    def __reduce__(self) -> tuple[Any, ...]:
        # The compiled decoders are closures: a copy is rebuilt from the kinds.
        return (Space, (self._tree.top,))

    @property
    def conditional(self) -> bool:
        """Whether some parameters are active only under a choice of another."""
        return bool(self._gates)

    def canonical(self, unit: Sequence[float]) -> tuple[float, ...]:
        """`unit` with every inactive coordinate at the middle, 0.5: points that
        differ only where nothing was read become one."""
        if not self._gates:
            return tuple(unit)
        return tuple(u if on else 0.5 for u, on in zip(unit, self.active(unit)))

    def active(self, unit: Sequence[float]) -> tuple[bool, ...]:
        """Which parameters the point `unit` (in name order) makes active."""
        on = [True] * len(self._dims)
        for position, parents in self._gates:
            on[position] = any(on[p] and _share(unit[p], count) in when
                               for p, count, when in parents)
        return tuple(on)

    @property
    def names(self) -> tuple[str, ...]:
        """The parameter names, sorted."""
        return tuple(d.name for d in self._dims)

    def __getitem__(self, name: str) -> Kind:
        for d in self._dims:
            if d.name == name:
                return d.kind
        raise KeyError(name)

    def __iter__(self) -> Iterator[str]:
        return (d.name for d in self._dims)

    def __len__(self) -> int:
        return len(self._dims)

    def __repr__(self) -> str:
        top = self._tree.top
        inner = ", ".join(f"{name!r}: {top[name]!r}" for name in sorted(top))
        return f"Space({{{inner}}})"

    def decode_every(self, unit: Mapping[str, float]) -> dict[str, Any]:
        """Every parameter's value at one point, the inactive ones' included."""
        return {d.name: d._decode(unit[d.name]) for d in self._dims}

    def decode(self, unit: Mapping[str, float]) -> dict[str, Any]:
        """The active parameter values of one point of the unit cube, in name order."""
        if not self._gates:
            return {d.name: d._decode(unit[d.name]) for d in self._dims}
        on = self.active([unit[d.name] for d in self._dims])
        return {d.name: d._decode(unit[d.name]) for d, active in zip(self._dims, on) if active}

    def encode(self, params: Mapping[str, Any], where: str = "") -> dict[str, float]:
        """The coordinates of the given parameters (some or all): ``decode`` gives
        them back. `where` starts each error message.

        Raises
        ------
        ValueError, TypeError
            A name the space does not hold, or a value its parameter cannot take.
        """
        prefix = f"{where}: " if where else ""
        if not isinstance(params, Mapping):
            raise TypeError(f"{prefix}parameters are a dict from name to value, "
                            f"got {type(params).__name__}")
        dims = {d.name: d for d in self._dims}
        out: dict[str, float] = {}
        for name in sorted(params, key=str):
            if name not in dims:
                raise ValueError(f"{prefix}the space has no parameter {name!r} "
                                 f"(it has {', '.join(map(repr, self.names))})")
            try:
                out[name] = dims[name].encode(params[name])
            except (TypeError, ValueError) as exc:
                raise type(exc)(f"{prefix}{exc}") from None
        return out

    @property
    def size(self) -> int | None:
        """How many distinct configurations the space holds; None with a real or periodic parameter."""
        return _size(self._tree.top)

    def point_key(self, params: Mapping[str, Any], unit: Sequence[float]) -> tuple[Any, ...]:
        """What identifies `params`, decoded from `unit` (in name order): equal keys, equal
        parameters, however far apart the unit points lie.

        A number is its own key (-0.0 equals 0.0 there, as it does for an
        objective); a choice is keyed by its index.
        """
        if self._gates:  # an inactive parameter is no part of the configuration
            return tuple([None if d.name not in params else
                          params[d.name] if d.choices is None else _share(t, d.choices)
                          for d, t in zip(self._dims, unit)])
        return tuple([params[d.name] if d.choices is None else _share(t, d.choices)
                      for d, t in zip(self._dims, unit)])

    def solver_bounds(self) -> dict[str, list[Any]]:
        """The solver's view of the space: [0, 1] per parameter, periodic where it wraps."""
        return {d.name: [0, 1, "Periodic" if d.periodic else "Linear"] for d in self._dims}


def _size(params: Mapping[str, Any]) -> int | None:
    """Configurations of a (sub-)space: a choice with a sub-space counts its configurations."""
    size = 1
    for kind in params.values():
        if isinstance(kind, Categorical):
            subs = kind.choices.values() if isinstance(kind.choices, Mapping) else []
            count = len(tuple(kind.choices))
            total = 0
            for sub in subs:
                inner = _size(sub) if sub else 1
                if inner is None:
                    return None
                total += inner
            size *= total if subs else count
        elif isinstance(kind, Int):
            size *= int(kind.high) - int(kind.low) + 1
        else:
            return None
    return size
