"""Parameter kinds: every decoded value inside its bounds, and named validation errors."""

import json
import math
import re

import pytest
from hypothesis import given, strategies as st

from vordaopt import Categorical, Int, Periodic, Real, Space, space_from_json, space_to_json

KINDS = {
    "real": Real(-2.5, 7.0),
    "tiny": Real(1e-300, 2e-300),
    "huge": Real(-1.7e308, 1.7e308),
    "rate": Real(1e-5, 1e-1, log=True),
    "count": Int(-3, 4),
    "big": Int(0, 10**15),
    "lcount": Int(1, 1000, log=True),
    "pick": Categorical(["a", "b", None, 3]),
    "angle": Periodic(-180.0, 180.0),
}


def edges(n):
    """The share boundaries of n equal shares and their neighbouring floats."""
    out = [0.0, 1.0, 5e-324, math.nextafter(1.0, 0.0)]
    for i in range(1, n):
        b = i / n
        out += [b, math.nextafter(b, 0.0), math.nextafter(b, 1.0)]
    return out


def inside(kind, value):
    if isinstance(kind, Categorical):
        return any(value is c for c in kind.choices)
    if isinstance(kind, Int):
        return type(value) is int and kind.low <= value <= kind.high
    if isinstance(kind, Periodic):
        return type(value) is float and kind.low <= value < kind.high
    return type(value) is float and kind.low <= value <= kind.high


@pytest.mark.parametrize("name", sorted(KINDS))
def test_values_stay_inside_at_the_edges(name):
    kind = KINDS[name]
    space = Space({name: kind})
    n = len(kind.choices) if isinstance(kind, Categorical) else (
        kind.high - kind.low + 1 if isinstance(kind, Int) and not kind.log else 16)
    for t in edges(min(n, 64)) + [-0.5, 2.0, math.nan]:
        value = space.decode({name: t})[name]
        assert inside(kind, value), (name, t, value)


@given(st.floats(0.0, 1.0), st.sampled_from(sorted(KINDS)))
def test_values_stay_inside_everywhere(t, name):
    kind = KINDS[name]
    assert inside(kind, Space({name: kind}).decode({name: t})[name])


def test_the_mappings():
    space = Space(KINDS)
    assert space.names == tuple(sorted(KINDS))
    decode = lambda name, t: space.decode({n: t for n in space.names})[name]
    assert decode("real", 0.0) == -2.5 and decode("real", 1.0) == 7.0 and decode("real", 0.5) == 2.25
    assert math.isclose(decode("rate", 0.5), 1e-3) and decode("rate", 1.0) == 0.1
    assert [decode("count", t) for t in (0.0, 0.124, 0.125, 0.99, 1.0)] == [-3, -3, -2, 4, 4]
    # Log-spaced integer shares over [0.5, 1000.5]: the middle of the unit
    # interval is the geometric mean, about 22.4.
    low_half = [decode("lcount", t) for t in (0.0, 0.25, 0.49)]
    assert low_half[0] == 1 and low_half[-1] <= 22 <= decode("lcount", 0.51)
    assert decode("lcount", 1.0) == 1000
    assert [decode("pick", t) for t in (0.0, 0.25, 0.5, 0.75, 1.0)] == ["a", "b", None, 3, 3]
    assert decode("angle", 0.0) == -180.0 and decode("angle", 1.0) == -180.0
    assert decode("angle", 1.25) == -90.0 and decode("angle", -0.25) == 90.0
    assert decode("huge", 0.5) == 0.0 and decode("huge", 1.0) == 1.7e308


def test_every_integer_and_choice_is_reachable():
    space = Space({"n": Int(1, 50, log=True), "c": Categorical(list(range(7)))})
    seen_n = {space.decode({"n": i / 9999, "c": 0.0})["n"] for i in range(10000)}
    seen_c = {space.decode({"n": 0.0, "c": i / 999})["c"] for i in range(1000)}
    assert seen_n == set(range(1, 51)) and seen_c == set(range(7))


def test_categorical_returns_the_objects_themselves():
    marker = object()
    space = Space({"c": Categorical((marker, "x"))})
    assert space.decode({"c": 0.0})["c"] is marker


@pytest.mark.parametrize("make, error, text", [
    (lambda: {"lr": Real(1.0, 0.5)}, ValueError, "parameter 'lr': Real needs low < high"),
    (lambda: {"lr": Real(1.0, 1.0)}, ValueError, "parameter 'lr': Real needs low < high"),
    (lambda: {"lr": Real(0.0, math.inf)}, ValueError, "parameter 'lr': Real high must be finite"),
    (lambda: {"lr": Real(math.nan, 1.0)}, ValueError, "parameter 'lr': Real low must be finite"),
    (lambda: {"lr": Real("0", 1.0)}, TypeError, "parameter 'lr': Real low must be a number"),
    (lambda: {"lr": Real(0.0, 1.0, log=True)}, ValueError, "parameter 'lr': log=True needs low > 0"),
    (lambda: {"n": Int(-1, 5, log=True)}, ValueError, "parameter 'n': log=True needs low > 0"),
    (lambda: {"n": Int(0.5, 5)}, ValueError, "parameter 'n': Int low must be an integer"),
    (lambda: {"n": Int(0, True)}, TypeError, "parameter 'n': Int high must be an integer"),
    (lambda: {"n": Int(3, 3)}, ValueError, "parameter 'n': Int needs low < high"),
    (lambda: {"c": Categorical([])}, ValueError, "parameter 'c': Categorical needs at least one choice"),
    (lambda: {"c": Categorical(["a", "b", "a"])}, ValueError, "parameter 'c': Categorical choice 'a' appears twice"),
    (lambda: {"c": Categorical("ab")}, TypeError, "parameter 'c': Categorical choices must be a list"),
    (lambda: {"a": Periodic(360, 0)}, ValueError, "parameter 'a': Periodic needs low < high"),
    (lambda: {"x": (0, 1)}, TypeError, "parameter 'x': expected Real, Int, Categorical or Periodic"),
    (lambda: {"": Real(0, 1)}, ValueError, "parameter names must be non-empty strings"),
    (lambda: {3: Real(0, 1)}, TypeError, "parameter names must be strings"),
    (lambda: {}, ValueError, "the space is empty"),
])
def test_invalid_spaces_name_the_parameter(make, error, text):
    # Real and Int refuse bad bounds where they are built, before a name is known.
    prefix, _, rest = text.partition(": ") if text.startswith("parameter '") else ("", "", text)
    pattern = "^" + (f"({re.escape(prefix)}: )?" if prefix else "") + re.escape(rest)
    with pytest.raises(error, match=pattern):
        Space(make())


def test_json_round_trip_and_errors():
    doc = {"lr": {"type": "real", "low": 1e-5, "high": 0.1, "log": True},
           "depth": {"type": "int", "low": 2, "high": 12},
           "booster": {"type": "categorical", "choices": ["gbtree", "dart"]},
           "angle": {"type": "periodic", "low": 0, "high": 360}}
    space = space_from_json(json.dumps(doc))
    assert space["lr"] == Real(1e-5, 0.1, log=True) and space["depth"] == Int(2, 12)
    assert space_to_json(space) == {name: doc[name] for name in sorted(doc)}
    assert space_from_json(space_to_json(space)) == space
    bad = [
        ({"x": {"type": "float", "low": 0, "high": 1}}, "parameter 'x': \"type\" must be one of"),
        ({"x": {"type": "real", "low": 0}}, "parameter 'x': real needs high"),
        ({"x": {"type": "categorical", "choices": ["a"], "log": True}},
         "parameter 'x': log is accepted for real and int only"),
        ({"x": {"type": "int", "low": 0, "high": 1, "step": 2}}, "parameter 'x': unknown field step"),
        ({"x": {"type": "real", "low": 2, "high": 1}}, "parameter 'x': Real needs low < high"),
    ]
    for document, text in bad:
        with pytest.raises(ValueError, match="^" + text):
            space_from_json(document)
    with pytest.raises(TypeError, match="parameter 'x'"):
        space_from_json({"x": [0, 1]})
    with pytest.raises(TypeError, match="parameter 'c': choice"):
        space_to_json({"c": Categorical([object()])})
