"""Held-out problems for choosing the methods' defaults.

Defaults are chosen on these functions, never on the BBOB problems whose
ranks the README reports: a setting that only wins where it was tuned is
no win. Each function is shifted (and, where said, rotated) by its seed, so
its optimum sits elsewhere in [-5, 5]^d for every seed; f_opt is known.

    python bench/dev_suite.py --dims 5 10 --budget 20 --seeds 0 1 2 \\
        --methods "vordaopt gp"

With ``--grid N`` every coordinate (or the first ``--integers K``) is an
integer index over N points, and
with ``--noise S`` every call is noisy (scored at the noise-free regret of
the best observed point): the tuning-like versions of the same functions.

prints the median log10 regret per function and method (regrets below
1e-8 count as 1e-8), their mean, and each method's mean rank over the
functions (ties shared): the ranks are what the README's BBOB tables report,
and a mean of logarithms is swayed by the one function a method solves to
1e-8. Needs numpy and the methods' packages (see bbob.py).
"""

from __future__ import annotations

import argparse
import math
import statistics
import sys
from collections.abc import Callable
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bbob import HIGH, LOW, METHODS, Budgeted  # noqa: E402
from ranking import shared_ranks  # noqa: E402

Function = Callable[[np.ndarray], float]


def rotation(d: int, rng: np.random.Generator) -> np.ndarray:
    q, r = np.linalg.qr(rng.standard_normal((d, d)))
    return q * np.sign(np.diag(r))


def make(name: str, d: int, seed: int) -> tuple[Function, float]:
    """The function `name` for `seed`, and its minimum."""
    rng = np.random.default_rng([seed, d, sum(map(ord, name))])
    shift = rng.uniform(-3.0, 3.0, d)
    turn = rotation(d, rng)
    weights = 10.0 ** (3.0 * np.arange(d) / max(d - 1, 1))
    if name == "rotated ellipsoid":  # conditioning 1e3, not the BBOB 1e6
        return lambda x: float(weights @ (turn @ (x - shift)) ** 2), 0.0
    if name == "zakharov":
        i = np.arange(1, d + 1)
        def zakharov(x: np.ndarray) -> float:
            y = x - shift
            s = float(0.5 * i @ y)
            return float(y @ y) + s * s + s ** 4
        return zakharov, 0.0
    if name == "dixon-price":  # scaled into the box; minimum 0
        i = np.arange(1, d + 1)
        root = 2.0 ** (-(2.0 ** i - 2.0) / 2.0 ** i)
        def dixon(x: np.ndarray) -> float:
            y = (x - shift) / 2.0 + root
            return float((y[0] - 1) ** 2 + np.sum(i[1:] * (2 * y[1:] ** 2 - y[:-1]) ** 2))
        return dixon, 0.0
    if name == "different powers":
        i = np.arange(1, d + 1)
        return lambda x: float(np.sum(np.abs(turn @ (x - shift)) ** (1 + i))), 0.0
    if name == "levy":
        def levy(x: np.ndarray) -> float:
            w = 1 + (x - shift) / 4.0
            core = (w[:-1] - 1) ** 2 * (1 + 10 * np.sin(np.pi * w[:-1] + 1) ** 2)
            return float(np.sin(np.pi * w[0]) ** 2 + np.sum(core)
                         + (w[-1] - 1) ** 2 * (1 + np.sin(2 * np.pi * w[-1]) ** 2))
        return levy, 0.0
    if name == "styblinski-tang":  # the box is [-5, 5] unshifted: the minimum stays inside
        best = -39.16616570377142 * d
        return lambda x: float(0.5 * np.sum(x ** 4 - 16 * x ** 2 + 5 * x)) - best, 0.0
    if name == "log-cosh valley":  # smooth, not quadratic, rotated, a long curved valley
        def valley(x: np.ndarray) -> float:
            y = turn @ (x - shift)
            bend = y[1:] - 0.3 * y[:-1] ** 2
            return float(np.sum(np.log(np.cosh(3 * bend))) + 0.1 * np.sum(np.log(np.cosh(y))))
        return valley, 0.0
    if name == "sum of abs":  # not differentiable at the optimum
        return lambda x: float(np.sum(np.abs(turn @ (x - shift)) * np.sqrt(weights))), 0.0
    if name == "ackley":  # many shallow local minima on a funnel
        def ackley(x: np.ndarray) -> float:
            y = 2.0 * (turn @ (x - shift))
            return float(-20 * np.exp(-0.2 * np.sqrt(np.mean(y ** 2)))
                         - np.exp(np.mean(np.cos(2 * np.pi * y))) + 20 + np.e)
        return ackley, 0.0
    if name == "griewank":  # a bowl with a fine ripple whose minima line up with it
        i = np.arange(1, d + 1)
        def griewank(x: np.ndarray) -> float:
            y = 60.0 * (x - shift)
            return float(np.sum(y ** 2) / 4000 - np.prod(np.cos(y / np.sqrt(i))) + 1)
        return griewank, 0.0
    if name == "alpine":  # rugged, minima everywhere, no funnel to speak of
        return lambda x: float(np.sum(np.abs(np.sin(3 * (y := turn @ (x - shift))) * y + 0.1 * y))), 0.0
    if name == "steps":  # plateaus: a rounded sphere on a grid of 0.25
        return lambda x: float(np.sum(np.floor(4 * (x - shift) + 0.5) ** 2)), 0.0
    raise ValueError(name)


FUNCTIONS = ["rotated ellipsoid", "zakharov", "dixon-price", "different powers", "levy",
             "styblinski-tang", "log-cosh valley", "sum of abs", "ackley", "griewank", "alpine",
             "steps"]


class Problem:
    """One function as a problem: its regret, optionally on a grid and with noise.

    On a grid of `grid` points per coordinate, the variables are integer
    indices (0 to grid - 1) over [-5, 5]. With `noise`, each call adds
    Gaussian noise of that standard deviation times (1 + the regret), the
    way a validation score spreads more on bad configurations; `clean`
    gives the noise-free regret.
    """

    def __init__(self, f: Function, optimum: float, d: int, grid: int = 0, noise: float = 0.0,
                 seed: int = 0, integers: int | None = None) -> None:
        self.f, self.optimum, self.grid, self.noise = f, optimum, grid, noise
        self.rng = np.random.default_rng(10_007 + seed)
        self.integers = (d if integers is None else integers) if grid else 0
        if grid:
            k = self.integers
            self.lower_bounds = np.array([0.0] * k + [LOW] * (d - k))
            self.upper_bounds = np.array([grid - 1.0] * k + [HIGH] * (d - k))
            self.number_of_integer_variables = k

    def clean(self, x: np.ndarray) -> float:
        if self.grid:
            x = np.array(x, dtype=float)
            k = self.integers
            x[:k] = LOW + (HIGH - LOW) * x[:k] / (self.grid - 1)
        return self.f(x) - self.optimum

    def __call__(self, x: np.ndarray) -> float:
        regret = self.clean(x)
        return regret + self.noise * (1.0 + abs(regret)) * float(self.rng.standard_normal())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dims", type=int, nargs="+", default=[5, 10])
    parser.add_argument("--budget", type=int, default=20, help="evaluations per dimension")
    parser.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2])
    parser.add_argument("--functions", nargs="+", default=FUNCTIONS, choices=FUNCTIONS)
    parser.add_argument("--methods", nargs="+", default=["vordaopt gp"], choices=list(METHODS))
    parser.add_argument("--grid", type=int, default=0,
                        help="integer variables: this many grid points per coordinate")
    parser.add_argument("--integers", type=int, default=None,
                        help="with --grid: only the first this many coordinates are on the grid")
    parser.add_argument("--noise", type=float, default=0.0,
                        help="Gaussian noise, times 1 + the regret; scored noise-free")
    parser.add_argument("--budget-total", type=int, default=0,
                        help="a budget in evaluations, whatever the dimension")
    args = parser.parse_args()
    for d in args.dims:
        budget = f"{args.budget_total}" if args.budget_total else f"{args.budget}·d"
        on_grid = f" ({args.integers} of the coordinates)" if args.integers is not None else ""
        kind = (f", a grid of {args.grid}{on_grid}" if args.grid else "") + \
            (f", noise {args.noise}" if args.noise else "")
        print(f"\nd = {d}, budget {budget}{kind}: median log10 regret over seeds {args.seeds}")
        print("| function | " + " | ".join(args.methods) + " |")
        print("|---|" + "---|" * len(args.methods))
        totals: dict[str, list[float]] = {m: [] for m in args.methods}
        for name in args.functions:
            cells = []
            for method in args.methods:
                logs = []
                for seed in args.seeds:
                    problem = Problem(*make(name, d, seed), d, args.grid, args.noise, seed,
                                      args.integers)
                    f = Budgeted(problem, args.budget_total or args.budget * d, d)
                    try:
                        METHODS[method](f, d, seed)
                    except Budgeted.Spent:
                        pass
                    found = problem.clean(f.best_x) if args.noise else f.best
                    logs.append(math.log10(max(found, 1e-8)))
                totals[method].append(statistics.median(logs))
                cells.append(f"{statistics.median(logs):.2f}")
            print(f"| {name} | " + " | ".join(cells) + " |", flush=True)
        print("| mean | " + " | ".join(f"{statistics.mean(totals[m]):.2f}"
                                       for m in args.methods) + " |")
        ranks = {m: 0.0 for m in args.methods}
        for i in range(len(args.functions)):
            row = {m: round(totals[m][i], 2) for m in args.methods}
            for m, rank in shared_ranks(row).items():
                ranks[m] += rank / len(args.functions)
        print("| mean rank | " + " | ".join(f"{ranks[m]:.2f}" for m in args.methods) + " |")


if __name__ == "__main__":
    main()
