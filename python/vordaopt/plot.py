"""Plots of a run with matplotlib (``pip install "vordaopt[plot]"``).

Each function takes a :class:`~vordaopt.Result` or the path of a journal and
returns a matplotlib ``Figure``; nothing is shown or saved.
"""

from __future__ import annotations

import math
import os
from typing import TYPE_CHECKING, Any

from .results import Result, load, rank_trials
from .trial import Trial, TrialState
from .space import Categorical, Int, Real, Space

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["convergence", "slices", "parallel_coordinates", "intermediate", "front"]


def _pyplot_free_figure(**kwargs: Any) -> Figure:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError('vordaopt.plot needs matplotlib: pip install "vordaopt[plot]"') from None
    # A Figure not registered with pyplot: no GUI backend, nothing to close.
    return Figure(**kwargs)


def _integer_locator() -> Any:
    from matplotlib.ticker import MaxNLocator

    return MaxNLocator(integer=True)


def _result(run: Result | str | os.PathLike[str]) -> Result:
    return run if isinstance(run, Result) else load(run)


def _value(trial: Trial) -> float:
    return 0.0 if trial.value is None else trial.value


def _complete(result: Result) -> list[Trial]:
    return [t for t in result.trials if t.state is TrialState.COMPLETE and t.value is not None]


def convergence(run: Result | str | os.PathLike[str]) -> Figure:
    """Every trial's value and the best so far against the trial number; failed trials marked.

    Reused trials (repeats answered from a recorded value) are drawn hollow.
    """
    result = _result(run)
    sign = 1.0 if result.direction == "minimize" else -1.0
    fig = _pyplot_free_figure(figsize=(7, 4))
    ax = fig.add_subplot()
    evaluated = _complete(result)
    reused = [t for t in result.trials if t.state is TrialState.REUSED and t.value is not None]
    failed = [t for t in result.trials if t.state is TrialState.FAILED]
    if evaluated:
        ax.scatter([t.number for t in evaluated], [_value(t) for t in evaluated], s=14,
                   color="tab:blue", alpha=0.7, label="trial")
    if reused:
        ax.scatter([t.number for t in reused], [_value(t) for t in reused], s=14,
                   facecolors="none", edgecolors="tab:blue", alpha=0.6, label="reused")
    best_x: list[int] = []
    best_y: list[float] = []
    best: float | None = None
    for t in result.trials:
        if t.state is TrialState.COMPLETE and t.value is not None:
            if best is None or sign * t.value < sign * best:
                best = t.value
        if best is not None:
            best_x.append(t.number)
            best_y.append(best)
    if best_x:
        ax.step(best_x, best_y, where="post", color="tab:orange", label="best so far")
    if failed and evaluated:
        # Failures have no value: mark them along the top edge of the values.
        top = max(_value(t) for t in evaluated)
        ax.scatter([t.number for t in failed], [top] * len(failed), marker="x", color="tab:red",
                   label="failed")
    if not evaluated and not reused:
        # Nothing has a value to draw, and no height would be true for failures.
        ax.text(0.5, 0.5, f"no complete trial yet ({len(failed)} failed)", ha="center",
                va="center", transform=ax.transAxes)
    ax.set_xlabel("trial")
    ax.xaxis.set_major_locator(_integer_locator())
    ax.set_ylabel("value")
    ax.set_title(f"convergence ({result.direction})")
    if ax.collections or ax.lines:
        ax.legend(loc="best", fontsize="small")
    return fig


def _axis_values(kind: Any, values: list[Any]) -> tuple[list[float], list[str] | None]:
    """Positions on a parameter's axis, and tick labels for categories."""
    if isinstance(kind, Categorical):
        choices = list(kind.choices)
        index = {i: c for i, c in enumerate(choices)}
        positions = []
        for v in values:
            positions.append(float(next(i for i, c in index.items() if c == v)))
        return positions, [str(c) for c in choices]
    return [float(v) for v in values], None


def slices(run: Result | str | os.PathLike[str]) -> Figure:
    """The value against each parameter: log axes for log parameters, choices for categories."""
    result = _result(run)
    if result.space is None:
        raise ValueError("this result carries no search space")
    space: Space = result.space
    trials = _complete(result)
    n = len(space)
    cols = min(n, 3)
    rows = (n + cols - 1) // cols
    fig = _pyplot_free_figure(figsize=(4 * cols, 3.2 * rows))
    for i, name in enumerate(space.names):
        ax = fig.add_subplot(rows, cols, i + 1)
        kind = space[name]
        active = [t for t in trials if name in t.params]  # a conditional one is absent elsewhere
        x, labels = _axis_values(kind, [t.params[name] for t in active])
        ax.scatter(x, [_value(t) for t in active], s=12, alpha=0.7,
                   c=[t.number for t in active], cmap="viridis")
        if labels is not None:
            ax.set_xticks(range(len(labels)), labels)
            ax.set_xlim(-0.5, len(labels) - 0.5)
        elif isinstance(kind, (Real, Int)) and kind.log:
            ax.set_xscale("log")
        elif isinstance(kind, Int):
            ax.xaxis.set_major_locator(_integer_locator())
        ax.set_xlabel(name)
        ax.set_ylabel("value")
    fig.suptitle("value against each parameter (colour: trial number)")
    fig.tight_layout()
    return fig


def parallel_coordinates(run: Result | str | os.PathLike[str], top: int = 20) -> Figure:
    """The `top` best trials across all parameters, each axis spanning its declared range.

    Lines are drawn on the unit scale of the search (so log parameters are
    evenly spaced in log), with each axis labelled at its two ends.
    """
    result = _result(run)
    if result.space is None:
        raise ValueError("this result carries no search space")
    space: Space = result.space
    best = rank_trials(result.trials, result.direction)[:top]
    names = list(space.names)
    fig = _pyplot_free_figure(figsize=(max(6, 1.6 * len(names)), 4))
    ax = fig.add_subplot()
    if best:
        values = [_value(t) for t in best]
        low, high = min(values), max(values)
        from matplotlib import colormaps

        cmap = colormaps["viridis_r" if result.direction == "minimize" else "viridis"]
        for t in reversed(best):  # the best drawn last, on top
            shade = 0.0 if high == low else (_value(t) - low) / (high - low)
            # An inactive parameter breaks the line: it had no value there.
            ys = [u if on else math.nan for u, on in zip(t.unit, space.active(t.unit))]
            ax.plot(range(len(names)), ys, color=cmap(1 - shade), alpha=0.8,
                    marker="o", markersize=3)
    ax.set_xticks(range(len(names)), names)
    ax.set_ylim(-0.05, 1.05)
    ax.set_yticks([0, 1], ["low", "high"])
    for i, name in enumerate(names):
        ax.axvline(i, color="0.8", linewidth=0.8, zorder=0)
        kind = space[name]
        if isinstance(kind, Categorical):
            choices = list(kind.choices)
            ends = (str(choices[0]), str(choices[-1]))
        else:
            ends = (f"{kind.low:g}", f"{kind.high:g}")
        ax.annotate(ends[0], (i, 0), textcoords="offset points", xytext=(3, -12), fontsize=7)
        ax.annotate(ends[1], (i, 1), textcoords="offset points", xytext=(3, 4), fontsize=7)
    ax.set_title(f"the {len(best)} best trials (darker is better)")
    return fig


def intermediate(run: Result | str | os.PathLike[str]) -> Figure:
    """Every trial's reported values against its steps: the learning curves.

    Complete trials are drawn in blue, pruned ones in grey with a cross where
    they stopped, failed ones in red; the best trial's curve is drawn on top.
    """
    result = _result(run)
    fig = _pyplot_free_figure(figsize=(7, 4))
    ax = fig.add_subplot()
    curves = [t for t in result.trials if t.reports and t.reused_from is None]
    colours = {TrialState.COMPLETE: "tab:blue", TrialState.PRUNED: "tab:gray",
               TrialState.FAILED: "tab:red"}
    labelled: set[TrialState] = set()

    def finite(trial: Trial) -> list[tuple[int, float]]:
        return [(r.step, r.value) for r in trial.reports if r.value is not None]

    for t in curves:
        points = finite(t)
        if not points:
            continue
        steps, values = zip(*points)
        label = None if t.state in labelled else t.state.value
        labelled.add(t.state)
        ax.plot(steps, values, color=colours.get(t.state, "tab:blue"), alpha=0.5,
                linewidth=0.8, label=label)
        if t.state is TrialState.PRUNED:
            ax.scatter([steps[-1]], [values[-1]], marker="x", s=16, color="tab:gray")
    best = result.best_trial  # by the first objective in a run of several
    if best is not None and (points := finite(best)):
        ax.plot(*zip(*points), color="tab:orange", linewidth=1.8, label=f"best (trial {best.number})")
    if not curves:
        ax.text(0.5, 0.5, "no trial reported intermediate values", ha="center", va="center",
                transform=ax.transAxes)
    ax.set_xlabel("step")
    ax.xaxis.set_major_locator(_integer_locator())
    ax.set_ylabel("reported value")
    ax.set_title(f"learning curves ({len(curves)} trials, {result.n_pruned} pruned)")
    if ax.lines:
        ax.legend(loc="best", fontsize="small")
    return fig


def front(run: Result | str | os.PathLike[str]) -> Figure:
    """The objectives of a run of several, pair by pair: every feasible complete trial
    in grey, infeasible ones as crosses, the Pareto front in orange.

    Raises
    ------
    ValueError
        The run has fewer than two named objectives.
    """
    result = _result(run)
    named = result.objectives
    if named is None or len(named.names) < 2:
        raise ValueError("a front needs a run of two or more objectives (objectives=)")
    names = named.names
    pairs = [(i, j) for i in range(len(names)) for j in range(i + 1, len(names))]
    columns = min(3, len(pairs))
    rows = -(-len(pairs) // columns)
    fig = _pyplot_free_figure(figsize=(4.2 * columns, 3.8 * rows))
    done = [t for t in result.trials if t.state is TrialState.COMPLETE and t.values is not None]
    members = result.pareto_front
    on_front = {t.number for t in members}
    for slot, (i, j) in enumerate(pairs, start=1):
        ax = fig.add_subplot(rows, columns, slot)
        styles: tuple[tuple[list[Trial], dict[str, Any]], ...] = (
            ([t for t in done if t.feasible and t.number not in on_front],
             {"color": "tab:gray", "s": 12, "alpha": 0.6, "label": "feasible"}),
            ([t for t in done if not t.feasible],
             {"color": "tab:red", "marker": "x", "s": 14, "alpha": 0.6, "label": "infeasible"}),
            (members, {"color": "tab:orange", "s": 22, "label": "Pareto front"}))
        for trials, style in styles:
            if trials:
                ax.scatter([t.values[i] for t in trials if t.values],
                           [t.values[j] for t in trials if t.values], **style)
        ax.set_xlabel(f"{names[i]} ({named.directions[i]})")
        ax.set_ylabel(f"{names[j]} ({named.directions[j]})")
        if slot == 1 and ax.collections:
            ax.legend(loc="best", fontsize="small")
    fig.suptitle(f"Pareto front: {len(members)} of {len(done)} complete trials")
    return fig
