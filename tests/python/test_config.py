import inspect

import pytest

from vordaopt import _internal
from vordaopt._internal import VordaSolver

CFG = '{"seed": 42, "budget": 100, "bounds": {"x": {"min": 0, "max": 1}}}'


def test_every_config_vector_is_accepted_or_rejected_exactly(vectors):
    rows = [r for r in vectors if r[0] == "config"]
    assert len(rows) > 3000
    for _, text, expected in rows:
        if expected.startswith("OK "):
            VordaSolver(text)
        else:
            with pytest.raises(ValueError) as info:
                VordaSolver(text)
            assert str(info.value) == "Invalid config: " + expected[4:], text


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "EOF while parsing a value at line 1 column 0"),
        ('{"seed": 1}', "missing field `budget` at line 1 column 11"),
        ('{"seed": -1, "budget": 1, "bounds": {}}', "invalid value: integer `-1`, expected u64 at line 1 column 11"),
        ("[7, 50]", "invalid length 2, expected struct SolverConfig with 5 elements at line 1 column 7"),
        ('{"seed": 1, "budget": 2, "bounds": {}} {}', "trailing characters at line 1 column 40"),
        ('{"seed": 1e2, "budget": 2, "bounds": {}}', "invalid type: floating point `100.0`, expected u64 at line 1 column 12"),
    ],
)
def test_rejected_configs_carry_prefix_and_position(text, message):
    with pytest.raises(ValueError) as info:
        VordaSolver(text)
    assert info.value.args == ("Invalid config: " + message,)


def test_constructor_arguments():
    VordaSolver(config_json=CFG)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'config_json'"):
        VordaSolver()
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        VordaSolver(CFG, CFG)
    with pytest.raises(TypeError, match="unexpected keyword argument 'cfg'"):
        VordaSolver(cfg=CFG)
    with pytest.raises(TypeError, match="multiple values for argument 'config_json'"):
        VordaSolver(CFG, config_json=CFG)
    with pytest.raises(TypeError) as info:
        VordaSolver(CFG.encode())
    assert str(info.value).startswith("argument 'config_json': ")


def test_class_shape():
    assert _internal.__all__ == ["VordaSolver", "VordaProbe"]
    assert _internal.__doc__ == ""
    assert VordaSolver.__module__ == "builtins"
    assert VordaSolver.__qualname__ == "VordaSolver"
    assert str(inspect.signature(VordaSolver)) == "(config_json)"
    solver = VordaSolver(CFG)
    assert not hasattr(solver, "__dict__")
    with pytest.raises(TypeError):
        import weakref

        weakref.ref(solver)
    with pytest.raises(TypeError):
        type("Sub", (VordaSolver,), {})
