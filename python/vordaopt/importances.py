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

Pruned trials count too, by their last report: a pruner stopped them for
trailing, so each ranks below every complete trial, and among themselves
those that went further rank better, then by the value they last reported.
Left out, they would hide exactly the region the search learnt to avoid.

On few trials the statistic is rough: :func:`importance_intervals` gives a
bootstrap interval of each importance, and the dashboard marks importances
computed on fewer than ``ROUGH_BELOW`` trials.
"""

from __future__ import annotations

import math
import os
import random
from typing import Any

from .results import Result, load
from .trial import Trial, TrialState
from .space import Categorical, Int, Kind, _share

__all__ = ["importance", "importance_intervals"]

#: Real and periodic parameters (and integers with more values than this) are
#: cut into this many bands of equal counts.
BANDS = 10
#: Below this many counted trials, the dashboard calls the importances rough.
ROUGH_BELOW = 30


def _last_report(trial: Trial) -> tuple[int, float] | None:
    """The last finite report of a trial: (step, value)."""
    for report in reversed(trial.reports):
        if report.value is not None and math.isfinite(report.value):
            return report.step, report.value
    return None


def _counted(result: Result) -> list[Trial]:
    """The trials importance counts: complete and evaluated, or pruned after a finite report."""
    return [t for t in result.trials if t.reused_from is None and (
        (t.state is TrialState.COMPLETE and t.value is not None)
        or (t.state is TrialState.PRUNED and _last_report(t) is not None))]


def _outcome_ranks(trials: list[Trial], sign: float) -> list[float]:
    """Average ranks from 1, best first: the complete trials by value, then the pruned
    ones by how far they got and their last value (see the module)."""
    complete = [i for i, t in enumerate(trials) if t.state is TrialState.COMPLETE]
    pruned = [i for i, t in enumerate(trials) if t.state is not TrialState.COMPLETE]
    ranks = [0.0] * len(trials)
    for i, r in zip(complete, _ranks([sign * float(trials[i].value or 0.0) for i in complete])):
        ranks[i] = r
    keys = []
    for i in pruned:
        step, value = _last_report(trials[i]) or (0, 0.0)
        keys.append((-step, sign * value))
    for i, r in zip(pruned, _ranks(keys)):
        ranks[i] = len(complete) + r
    return ranks


def _ranks(values: list[Any]) -> list[float]:
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
    """The group of each trial by parameter `name` (its unit coordinate at `position`).

    Where a conditional parameter is inactive, its absence is a group of its own (-1).
    """
    if any(name not in t.params for t in trials):
        present = [i for i, t in enumerate(trials) if name in t.params]
        groups = [-1] * len(trials)
        for i, g in zip(present, _groups(kind, name, [trials[i] for i in present], position)):
            groups[i] = g
        return groups
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
        trials that were evaluated and the pruned trials that reported (see
        the module); repeats answered from the record are left out, as they
        would count a point twice.

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
    trials = _counted(result)
    complete = sum(t.state is TrialState.COMPLETE for t in trials)
    if complete < 2:
        raise ValueError(f"importance needs at least 2 complete trials, the run has {complete}")
    return _importances(result, trials)


def _importances(result: Result, trials: list[Trial]) -> dict[str, float]:
    assert result.space is not None
    ranks = _outcome_ranks(trials, -1.0 if result.direction == "maximize" else 1.0)
    names = result.space.names
    shares: dict[str, float] = {}
    for position, name in enumerate(names):
        shares[name] = _explained(ranks, _groups(result.space[name], name, trials, position))
    total = sum(shares.values())
    scaled = {n: (v / total if total > 0 else 0.0) for n, v in shares.items()}
    return dict(sorted(scaled.items(), key=lambda kv: (-kv[1], kv[0])))


def importance_intervals(run: Result | str | os.PathLike[str], *, rounds: int = 200,
                         level: float = 0.9, seed: int = 0) -> dict[str, tuple[float, float]]:
    """How sure :func:`importance` is: a bootstrap interval of each parameter's importance.

    The counted trials are drawn again with replacement `rounds` times (from
    a generator seeded with `seed`, so the intervals are reproducible) and
    the importances computed on each draw; each interval holds the central
    `level` of them. An interval that reaches down to about 0 says the run
    cannot tell that parameter from one that does nothing.

    Returns
    -------
    dict
        From parameter name to (low, high), in the order of :func:`importance`.

    Raises
    ------
    ValueError
        As :func:`importance`; `rounds` below 10 or `level` outside (0, 1).
    """
    if isinstance(rounds, bool) or not isinstance(rounds, int) or rounds < 10:
        raise ValueError(f"rounds must be an integer of at least 10, got {rounds!r}")
    if not 0.0 < level < 1.0:
        raise ValueError(f"level must lie between 0 and 1, got {level!r}")
    result = run if isinstance(run, Result) else load(run)
    order = importance(result)  # checks the run
    trials = _counted(result)
    draw = random.Random(seed)
    samples: dict[str, list[float]] = {name: [] for name in order}
    for _ in range(rounds):
        sample = [trials[draw.randrange(len(trials))] for _ in trials]
        if sum(t.state is TrialState.COMPLETE for t in sample) < 2:
            continue
        for name, share in _importances(result, sample).items():
            samples[name].append(share)
    tail = (1.0 - level) / 2
    intervals = {}
    for name in order:
        values = sorted(samples[name])
        low = values[min(int(tail * len(values)), len(values) - 1)]
        high = values[min(int((1.0 - tail) * len(values)), len(values) - 1)]
        intervals[name] = (low, high)
    return intervals
