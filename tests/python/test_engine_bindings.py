"""The method bindings share one shape: the same checks, errors and signatures."""

import inspect
import math

import pytest

from vordaopt._engine import Cma, TrustRegion, gp_means, gp_propose


def cma():
    return Cma("cc", [0.0, 0.0], 3)


def region():
    return TrustRegion([0.5, 0.5])


def gp(pending=(), points=(0.1, 0.2, 0.7, 0.9, 0.4, 0.4), values=(1.0, 2.0, 0.5)):
    return gp_propose("cc", [0.0, 0.0], list(points), list(values), list(pending), 0)


PROPOSERS = {
    "Cma.propose": lambda pending: cma().propose(pending),
    "TrustRegion.propose": lambda pending: region().propose(pending),
    "gp_propose": lambda pending: gp(pending),
}


@pytest.mark.parametrize("call", PROPOSERS, ids=list(PROPOSERS))
def test_pending_points_must_be_whole_and_inside_the_cube(call):
    propose = PROPOSERS[call]
    x = propose([0.2, 0.3])
    assert len(x) == 2 and all(0.0 <= u <= 1.0 for u in x)
    for bad in ([0.2], [0.2, 1.5], [math.nan, 0.5], [-0.0001, 0.5]):
        with pytest.raises(ValueError, match=f"{call}: pending must be points of 2 floats in"):
            propose(bad)
    with pytest.raises(TypeError, match="pending"):
        propose("0.2 0.3")


@pytest.mark.parametrize("make", [cma, region], ids=["Cma", "TrustRegion"])
def test_observe_takes_a_point_of_the_cube_and_a_finite_value(make):
    search = make()
    search.observe([0.25, 0.75], 1.5)
    name = type(search).__name__
    for unit, value in (([0.25], 1.0), ([0.25, 1.25], 1.0), ([0.25, 0.75], math.inf),
                        ([0.25, 0.75], math.nan)):
        with pytest.raises(ValueError, match=f"{name}.observe: a point of 2 floats in"):
            search.observe(unit, value)
    with pytest.raises(TypeError):
        search.observe([0.25, 0.75])
    assert inspect.signature(type(search).propose).parameters.keys() == {"self", "pending"}
    assert inspect.signature(type(search).observe).parameters.keys() == {"self", "unit", "value"}


def test_the_gp_and_a_warm_start_refuse_points_outside_the_cube():
    with pytest.raises(ValueError, match="gp_propose: points must be points of 2 floats"):
        gp(points=(0.1, 0.2, 0.7, 1.9, 0.4, 0.4))
    with pytest.raises(ValueError, match="gp_means: points must be points of 2 floats"):
        gp_means("cc", [0.0, 0.0], [0.1, -0.2, 0.7, 0.9, 0.4, 0.4], [1.0, 2.0, 0.5])
    with pytest.raises(ValueError, match="Cma.warm_start: points must be points of 2 floats"):
        cma().warm_start([0.1, 2.0], [1.0])


def test_the_range_prior_for_reals_changes_reals_only_and_takes_a_bool():
    # Several objectives model reals with the prior of integers and categories:
    # a grid proposes the same either way, a real space does not.
    points, values = [0.1, 0.2, 0.7, 0.9, 0.4, 0.4, 0.9, 0.1], [1.0, 2.0, 0.5, 1.5]
    grid = [gp_propose("ii", [8.0, 8.0], points, values, [], 0, reals_at_range=flag)
            for flag in (False, True)]
    reals = [gp_propose("cc", [0.0, 0.0], points, values, [], 0, reals_at_range=flag)
             for flag in (False, True)]
    assert grid[0] == grid[1] and reals[0] != reals[1]
    with pytest.raises(TypeError, match="gp_propose: reals_at_range must be a bool"):
        gp_propose("cc", [0.0, 0.0], points, values, [], 0, None, 1)
