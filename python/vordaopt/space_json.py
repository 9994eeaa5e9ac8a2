"""The JSON form of a search space: what journals, the command line and the dashboard read.

Each name maps to one object: ``{"type": "real", "low": 1e-5, "high": 0.1,
"log": true}``, ``{"type": "int", "low": 2, "high": 12}``, ``{"type":
"categorical", "choices": ["gbtree", "dart"]}`` or ``{"type": "periodic",
"low": 0, "high": 360}``. A categorical whose choices carry sub-spaces
writes its choices as an object from choice to sub-space:
``{"type": "categorical", "choices": {"rbf": {"gamma": {...}}, "linear": {}}}``.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

from ._numbers import is_integral
from .space import Categorical, Int, Kind, Periodic, Real, Space

__all__ = ["space_from_json", "space_to_json"]

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
        choices = spec["choices"]
        if isinstance(choices, dict):  # each choice with its sub-space
            return Categorical({choice: _kinds_from_json(sub, f"choice {choice!r} of {name!r}")
                                for choice, sub in choices.items()})
        return Categorical(choices)
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
    return Space(_kinds_from_json(document, "a space document"))


def _kinds_from_json(document: Any, what: str) -> dict[str, Kind]:
    if document is None:
        return {}
    if not isinstance(document, dict):
        raise TypeError(f"{what} is a JSON object from name to parameter")
    for name in document:
        if not name:
            raise ValueError("parameter names must be non-empty strings")
    return {name: _kind_from_json(name, spec) for name, spec in document.items()}


def _json_number(v: Any) -> int | float:
    # numpy's scalars are numbers here, but json writes only Python's own.
    return int(v) if is_integral(v) else float(v)


def space_to_json(space: Mapping[str, Kind]) -> dict[str, dict[str, Any]]:
    """The JSON form of a space (a dict ready for :func:`json.dumps`), in name order.

    Categorical choices must be JSON values (strings, numbers, booleans or
    None) to be written.
    """
    checked = Space(space)
    return _kinds_to_json(checked._tree.top)


def _kinds_to_json(kinds: Mapping[str, Kind]) -> dict[str, dict[str, Any]]:
    out: dict[str, dict[str, Any]] = {}
    for name in sorted(kinds):
        kind = kinds[name]
        if isinstance(kind, Categorical) and isinstance(kind.choices, Mapping):
            if not all(isinstance(choice, str) for choice in kind.choices):
                raise TypeError(f"parameter {name!r}: a journal needs the choices that carry "
                                "sub-spaces to be strings (JSON object keys)")
            out[name] = {"type": "categorical", "choices": {
                choice: _kinds_to_json(sub or {}) for choice, sub in kind.choices.items()}}
        elif isinstance(kind, Categorical):
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
