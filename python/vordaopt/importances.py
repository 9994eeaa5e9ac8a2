"""Parameter importance: how much of the spread of a run's values each parameter explains alone.

For each parameter, the complete trials are grouped by its value (a
category, an integer, or a band of equal counts of a real or periodic
parameter), and its importance is the share of the variance of the trials'
value ranks that the group means explain: the correlation ratio, adjusted
for the number of groups so that a parameter that does nothing scores about
0 however many groups it has. It is the first-order (main-effect) part of a
functional ANOVA, estimated without a model: sound for every kind of
parameter, linear in the number of trials after one sort, and free of
dependencies. Interactions are not counted: a parameter that matters only
together with another shows little here.

Ranks rather than values keep one enormous value (a diverged training run)
from deciding everything; the importances are then scaled to sum to 1.
"""

from __future__ import annotations

import os

from .minimize import Result, load
from .optimizer import Trial, TrialState
from .space import Categorical, Int, Kind, _share

__all__ = ["importance"]

#: Real and periodic parameters (and integers with more values than this) are
#: cut into this many bands of equal counts.
BANDS = 10


def _ranks(values: list[float]) -> list[float]:
    """Average ranks from 1 (ties share their mean rank)."""
    order = sorted(range(len(values)), key=lambda i: values[i])
    ranks = [0.0] * len(values)
    i = 0
    while i < len(order):
        j = i
        while j + 1 < len(order) and values[order[j + 1]] == values[order[i]]:
            j += 1
        for k in range(i, j + 1):
            ranks[order[k]] = (i + j) / 2 + 1
        i = j + 1
    return ranks


def _groups(kind: Kind, name: str, trials: list[Trial], position: int) -> list[int]:
    """The group of each trial by parameter `name` (its unit coordinate at `position`)."""
    if isinstance(kind, Categorical):
        count = len(kind.choices)
        return [_share(t.unit[position], count) for t in trials]
    if isinstance(kind, Int) and kind.high - kind.low < BANDS:
        return [int(t.params[name]) - kind.low for t in trials]
    # Bands of equal counts; equal coordinates always share a band.
    order = sorted(range(len(trials)), key=lambda i: trials[i].unit[position])
    groups = [0] * len(trials)
    band = 0
    for rank, i in enumerate(order):
        if rank and trials[i].unit[position] != trials[order[rank - 1]].unit[position]:
            band = rank * BANDS // len(trials)
        groups[i] = band
    return groups


def _explained(ranks: list[float], groups: list[int]) -> float:
    """The adjusted correlation ratio of `ranks` by `groups` (0 when it comes out negative)."""
    n = len(ranks)
    mean = sum(ranks) / n
    total = sum((r - mean) ** 2 for r in ranks)
    sums: dict[int, float] = {}
    counts: dict[int, int] = {}
    for r, g in zip(ranks, groups):
        sums[g] = sums.get(g, 0.0) + r
        counts[g] = counts.get(g, 0) + 1
    k = len(counts)
    if total == 0.0 or k < 2 or n <= k:
        return 0.0
    between = sum(counts[g] * (sums[g] / counts[g] - mean) ** 2 for g in counts)
    within = total - between
    return max(0.0, 1.0 - (within / (n - k)) / (total / (n - 1)))


def importance(run: Result | str | os.PathLike[str]) -> dict[str, float]:
    """The importance of each parameter of a run, most important first; they sum to 1.

    Parameters
    ----------
    run : Result or path-like
        A finished run, or the path of its journal.

    Returns
    -------
    dict
        From parameter name to its share of the explained spread (all 0.0
        when no parameter explains anything). Computed on the complete
        trials that were evaluated (repeats answered from the record are left
        out, as they would count a point twice).

    Raises
    ------
    ValueError
        The run has fewer than 2 complete trials, or no search space.

    Examples
    --------
    >>> import vordaopt
    >>> space = {"x": vordaopt.Real(0, 1), "y": vordaopt.Real(0, 1)}
    >>> result = vordaopt.minimize(lambda p: 10 * p["x"] + 0.1 * p["y"], space, 60,
    ...                            method="batch", probe_ratio=1.0)
    >>> max(vordaopt.importance(result).items(), key=lambda kv: kv[1])[0]
    'x'
    """
    result = run if isinstance(run, Result) else load(run)
    if result.space is None:
        raise ValueError("importance needs the run's search space")
    trials = [t for t in result.trials
              if t.state is TrialState.COMPLETE and t.value is not None and t.reused_from is None]
    if len(trials) < 2:
        raise ValueError(f"importance needs at least 2 complete trials, the run has {len(trials)}")
    ranks = _ranks([float(t.value or 0.0) for t in trials])  # every one has a value
    names = result.space.names
    shares: dict[str, float] = {}
    for position, name in enumerate(names):
        shares[name] = _explained(ranks, _groups(result.space[name], name, trials, position))
    total = sum(shares.values())
    scaled = {n: (v / total if total > 0 else 0.0) for n, v in shares.items()}
    return dict(sorted(scaled.items(), key=lambda kv: (-kv[1], kv[0])))
