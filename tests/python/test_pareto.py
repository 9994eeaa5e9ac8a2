"""The fronts and hypervolumes of the core against moocore's."""

from __future__ import annotations

import random

import pytest

from vordaopt import _engine

moocore = pytest.importorskip("moocore")
np = pytest.importorskip("numpy")


def random_set(rng: random.Random, n: int, m: int) -> list[list[float]]:
    """Points near the simplex (a front with spread) mixed with dominated ones and
    duplicates, some outside the reference box."""
    points = []
    for _ in range(n):
        weights = [rng.random() for _ in range(m)]
        scale = sum(weights) * rng.choice([1.0, 1.0, 1.3, 2.5])
        points.append([w / scale for w in weights])
    points += [list(p) for p in rng.sample(points, n // 10)]
    return points


@pytest.mark.parametrize("m", [2, 3, 4, 5])
def test_hypervolume_equals_moocore(m: int) -> None:
    rng = random.Random(m)
    for n in (1, 7, 60, 200 if m <= 4 else 80):
        points = random_set(rng, n, m)
        reference = [1.1] * m
        flat = [x for p in points for x in p]
        ours = _engine.hypervolume(flat, m, reference)
        theirs = moocore.hypervolume(np.array(points), ref=np.array(reference))
        assert ours == pytest.approx(theirs, abs=1e-12, rel=0), (m, n)


@pytest.mark.parametrize("m", [2, 3, 5])
def test_first_front_equals_moocore_and_constraints_come_first(m: int) -> None:
    rng = random.Random(10 + m)
    points = [[float(rng.randrange(6)) for _ in range(m)] for _ in range(120)]
    flat = [x for p in points for x in p]
    ranks = _engine.pareto_ranks(flat, m, [])
    front = moocore.is_nondominated(np.array(points), keep_weakly=True)
    assert [r == 0 for r in ranks] == list(front)
    violations = [0.0 if i % 3 else float(i) for i in range(len(points))]
    constrained = _engine.pareto_ranks(flat, m, violations)
    worst_feasible = max(r for r, v in zip(constrained, violations) if v == 0)
    assert all(r > worst_feasible for r, v in zip(constrained, violations) if v > 0)


def test_bad_input_is_refused_with_the_argument_named() -> None:
    with pytest.raises(ValueError, match="values must be finite"):
        _engine.hypervolume([0.5, float("nan")], 2, [1.0, 1.0])
    with pytest.raises(ValueError, match="reference must have 2 floats"):
        _engine.hypervolume([0.5, 0.5], 2, [1.0])
    with pytest.raises(ValueError, match="points of 3 floats"):
        _engine.pareto_ranks([1.0, 2.0], 3, [])
    with pytest.raises(ValueError, match="violations"):
        _engine.pareto_ranks([1.0, 2.0], 2, [-1.0])
    with pytest.raises(TypeError, match="'values'"):
        _engine.pareto_ranks("12", 2, [])
