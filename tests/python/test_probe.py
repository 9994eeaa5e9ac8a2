import inspect
import json
import subprocess
import sys

import pytest

from vordaopt._internal import VordaProbe

MIXED = json.dumps(
    {
        "seed": 1,
        "budget": 1,
        "bounds": {
            "x": {"min": 0, "max": 10},
            "lr": {"min": 1e-4, "max": 0.1, "scale": "Log"},
            "angle": [0, 1, "Periodic"],
        },
    }
)
ONE_X = '{"seed": 1, "budget": 1, "bounds": {"x": [0, 10]}}'


def test_shards_join_into_one_range():
    a = VordaProbe(MIXED).sample_range(0, 100)
    b = VordaProbe(MIXED).sample_range(100, 100)
    assert a + b == VordaProbe(MIXED).sample_range(0, 200)
    probe = VordaProbe(MIXED, seed=3)
    assert probe.sample_range(17, 5) == [probe.sample_at(i) for i in range(17, 22)]
    assert probe.sample_range(4294967295, 2) == [probe.sample_at(4294967295), probe.sample_at(0)]


def test_known_points_and_seeds():
    # seed 42 gives offset 0.36901521971920914; seed 0 gives 0.0.
    assert [p["x"] for p in VordaProbe(ONE_X).sample_range(0, 3)] == [
        7.01820898726881, 9.661584212006282, 2.304959436743772]
    assert VordaProbe(ONE_X, 0).sample_at(0) == {"x": 3.328056790076719}
    assert VordaProbe(ONE_X).sample_range(0, 5) == VordaProbe(ONE_X, 42).sample_range(0, 5)
    assert VordaProbe(ONE_X, seed=7).sample_at(0) != VordaProbe(ONE_X).sample_at(0)
    # The configuration's own seed plays no part.
    other = ONE_X.replace('"seed": 1', '"seed": 99')
    assert VordaProbe(other).sample_at(3) == VordaProbe(ONE_X).sample_at(3)


def test_results_are_fresh_float_dicts_in_sorted_key_order():
    point = VordaProbe(MIXED).sample_at(0)
    assert list(point) == ["angle", "lr", "x"]
    assert all(type(v) is float for v in point.values())
    empty = VordaProbe('{"seed": 1, "budget": 1, "bounds": {}}')
    assert empty.sample_range(0, 3) == [{}, {}, {}]
    assert empty.sample_range(5, 0) == []
    same = '{"seed": 1, "budget": 1, "bounds": {"x": [0, 0]}}'
    assert VordaProbe(same).sample_at(9) == {"x": 0.0}


def test_argument_errors():
    probe = VordaProbe(ONE_X)
    with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
        probe.sample_at(4294967296)
    with pytest.raises(OverflowError):
        probe.sample_at(-1)
    with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
        probe.sample_range(0, 2**70)
    with pytest.raises(TypeError, match="^argument 'index': "):
        probe.sample_at(1.0)
    with pytest.raises(TypeError, match="^argument 'count': "):
        probe.sample_range(0, None)
    with pytest.raises(TypeError, match="^argument 'seed': "):
        VordaProbe(ONE_X, seed=None)
    with pytest.raises(OverflowError):
        VordaProbe(ONE_X, seed=-1)
    with pytest.raises(OverflowError):
        VordaProbe(ONE_X, seed=2**64)
    VordaProbe(ONE_X, seed=2**64 - 1)
    with pytest.raises(TypeError):
        VordaProbe()
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'count'"):
        probe.sample_range(0)
    with pytest.raises(TypeError, match="unexpected keyword argument 'n'"):
        probe.sample_range(0, n=1)
    assert probe.sample_range(count=1, start=2) == [probe.sample_at(index=2)]


def test_config_rules_apply():
    with pytest.raises(ValueError, match="^Invalid config: missing field `seed` at line 1 column 25$"):
        VordaProbe('{"bounds": {"x": [0, 1]}}')
    with pytest.raises(ValueError, match="^Invalid config: missing field `budget`"):
        VordaProbe('{"seed": 1, "bounds": {}}')


def test_reversed_log_domain_raises_the_internal_error():
    probe = VordaProbe('{"seed": 1, "budget": 1, "bounds": {"x": [2, 0.5, "Log"]}}')
    with pytest.raises(BaseException) as info:
        probe.sample_range(0, 3)
    assert type(info.value).__qualname__ == "PanicException"
    assert type(info.value).__module__ == "pyo3_runtime"
    assert type(info.value).__bases__ == (BaseException,)
    assert str(info.value) == "min > max, or either was NaN. min = 2.0, max = 0.5"
    assert probe.sample_range(0, 0) == []


def test_class_shape():
    assert VordaProbe.__module__ == "builtins"
    assert VordaProbe.__qualname__ == "VordaProbe"
    assert str(inspect.signature(VordaProbe)) == "(config_json, seed=42)"
    assert str(inspect.signature(VordaProbe.sample_range)) == "(self, /, start, count)"
    assert VordaProbe.sample_at.__doc__ == (
        "Generate a single pure LDS point at the given global index (Stateless)")
    assert VordaProbe.sample_range.__doc__ == (
        "Generate a range of pure LDS points [start, start+count) (Stateless)\n"
        "This enables zero-coordination sharding.")
    with pytest.raises(TypeError):
        type("Sub", (VordaProbe,), {})
    assert not hasattr(VordaProbe(ONE_X), "__dict__")


def test_points_are_identical_across_processes():
    script = (
        "from vordaopt import VordaProbe; import sys; "
        f"print(VordaProbe({MIXED!r}, seed=5).sample_range(0, 50))"
    )
    runs = [subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                           check=True).stdout for _ in range(2)]
    assert runs[0] == runs[1]
    assert runs[0].startswith("[{'angle': ")
