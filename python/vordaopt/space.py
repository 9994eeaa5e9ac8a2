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

__all__ = [
    "Real",
    "Int",
    "Categorical",
    "Periodic",
    "Kind",
    "Space",
    "space_from_json",
    "space_to_json",
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
    ``==`` only to refuse duplicates.
    """

    choices: Sequence[Any]


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
    if isinstance(choices, (str, bytes)) or not isinstance(choices, Sequence):
        raise TypeError(
            f"parameter {name!r}: Categorical choices must be a list or tuple, got {choices!r}"
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
            return
        if not isinstance(params, Mapping):
            raise TypeError(f"a space is a dict from name to kind, got {type(params).__name__}")
        if not params:
            raise ValueError("the space is empty: give at least one parameter")
        for name in params:
            if not isinstance(name, str):
                raise TypeError(f"parameter names must be strings, got {name!r}")
            if not name:
                raise ValueError("parameter names must be non-empty strings")
        # Code-point order of str equals byte-wise order of its UTF-8 text:
        # the order in which the solver handles its dimensions.
        self._dims = tuple(_Dimension(name, params[name]) for name in sorted(params))

    def __reduce__(self) -> tuple[Any, ...]:
        # The compiled decoders are closures: a copy is rebuilt from the kinds.
        return (Space, ({d.name: d.kind for d in self._dims},))

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
        inner = ", ".join(f"{d.name!r}: {d.kind!r}" for d in self._dims)
        return f"Space({{{inner}}})"

    def decode(self, unit: Mapping[str, float]) -> dict[str, Any]:
        """The parameter values of one point of the unit cube, in name order."""
        return {d.name: d._decode(unit[d.name]) for d in self._dims}

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
        size = 1
        for d in self._dims:
            if d.choices is not None:
                size *= d.choices
            elif isinstance(d.kind, Int):
                size *= int(d.kind.high) - int(d.kind.low) + 1
            else:
                return None
        return size

    def point_key(self, params: Mapping[str, Any], unit: Sequence[float]) -> tuple[Any, ...]:
        """What identifies `params`, decoded from `unit` (in name order): equal keys, equal
        parameters, however far apart the unit points lie.

        A number is its own key (-0.0 equals 0.0 there, as it does for an
        objective); a choice is keyed by its index.
        """
        return tuple([params[d.name] if d.choices is None else _share(t, d.choices)
                      for d, t in zip(self._dims, unit)])

    def solver_bounds(self) -> dict[str, list[Any]]:
        """The solver's view of the space: [0, 1] per parameter, periodic where it wraps."""
        return {d.name: [0, 1, "Periodic" if d.periodic else "Linear"] for d in self._dims}


# --- JSON form ----------------------------------------------------------------------------

_JSON_FIELDS = {
    "real": ({"low", "high"}, {"log"}),
    "int": ({"low", "high"}, {"log"}),
    "categorical": ({"choices"}, set()),
    "periodic": ({"low", "high"}, set()),
}


def _kind_from_json(name: str, spec: Any) -> Kind:
    if not isinstance(spec, dict):
        raise TypeError(f"parameter {name!r}: expected an object with a \"type\", got {spec!r}")
    kind = spec.get("type")
    if kind not in _JSON_FIELDS:
        raise ValueError(
            f"parameter {name!r}: \"type\" must be one of "
            f"{', '.join(repr(k) for k in _JSON_FIELDS)}, got {kind!r}"
        )
    required, optional = _JSON_FIELDS[kind]
    fields = set(spec) - {"type"}
    if missing := sorted(required - fields):
        raise ValueError(f"parameter {name!r}: {kind} needs {', '.join(missing)}")
    if unknown := sorted(fields - required - optional):
        if "log" in unknown:
            raise ValueError(f"parameter {name!r}: log is accepted for real and int only")
        raise ValueError(f"parameter {name!r}: unknown field {', '.join(unknown)} for {kind}")
    try:  # Real and Int check themselves, without a name to give
        if kind == "real":
            return Real(spec["low"], spec["high"], log=spec.get("log", False))
        if kind == "int":
            return Int(spec["low"], spec["high"], log=spec.get("log", False))
    except (TypeError, ValueError) as exc:
        raise type(exc)(f"parameter {name!r}: {exc}") from None
    if kind == "categorical":
        return Categorical(spec["choices"])
    return Periodic(spec["low"], spec["high"])


def space_from_json(document: Any) -> Space:
    """Build a space from its JSON form (parsed, or as text).

    Each name maps to one object: ``{"type": "real", "low": 1e-5, "high": 0.1,
    "log": true}``, ``{"type": "int", "low": 2, "high": 12}``, ``{"type":
    "categorical", "choices": ["gbtree", "dart"]}`` or ``{"type": "periodic",
    "low": 0, "high": 360}``. ``log`` is optional (false by default) and
    accepted for ``real`` and ``int`` only.

    Raises
    ------
    TypeError, ValueError
        As :class:`Space` does, and for an unknown type or field; the message
        names the parameter.

    Examples
    --------
    >>> space_from_json('{"n": {"type": "int", "low": 1, "high": 4}}')
    Space({'n': Int(low=1, high=4, log=False)})
    """
    import json

    if isinstance(document, (str, bytes)):
        document = json.loads(document)
    if not isinstance(document, dict):
        raise TypeError("a space document is a JSON object from name to parameter")
    for name in document:
        if not name:
            raise ValueError("parameter names must be non-empty strings")
    return Space({name: _kind_from_json(name, spec) for name, spec in document.items()})


def _json_number(v: Any) -> int | float:
    # numpy's scalars are numbers here, but json writes only Python's own.
    return int(v) if is_integral(v) else float(v)


def space_to_json(space: Mapping[str, Kind]) -> dict[str, dict[str, Any]]:
    """The JSON form of a space (a dict ready for :func:`json.dumps`), in name order.

    Categorical choices must be JSON values (strings, numbers, booleans or
    None) to be written.
    """
    checked = Space(space)
    out: dict[str, dict[str, Any]] = {}
    for name in checked.names:
        kind = checked[name]
        if isinstance(kind, Categorical):
            for choice in kind.choices:
                if choice is not None and not isinstance(choice, (str, int, float, bool)):
                    raise TypeError(
                        f"parameter {name!r}: choice {choice!r} ({type(choice).__name__}) has no "
                        "JSON form; use strings, numbers, booleans or None as choices"
                    )
                if isinstance(choice, float) and not math.isfinite(choice):
                    raise ValueError(
                        f"parameter {name!r}: choice {choice!r} has no JSON form (JSON has no "
                        "NaN or infinity); use a string such as 'nan' as the choice"
                    )
            out[name] = {"type": "categorical", "choices": list(kind.choices)}
        elif isinstance(kind, Periodic):
            out[name] = {"type": "periodic", "low": _json_number(kind.low),
                         "high": _json_number(kind.high)}
        else:
            entry: dict[str, Any] = {
                "type": "real" if isinstance(kind, Real) else "int",
                "low": _json_number(kind.low),
                "high": _json_number(kind.high),
            }
            if kind.log:
                entry["log"] = True
            out[name] = entry
    return out
