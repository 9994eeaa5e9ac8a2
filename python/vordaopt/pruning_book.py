"""What running trials report, and the pruner's advice on them."""

from __future__ import annotations

import math
import threading

from .pruners import Pruner
from .trial import Report

__all__ = ["PruningBook"]


class PruningBook:
    """The reports of running trials, their curves as the pruner reads them, and its advice.

    Trials report from the threads that run them while results are told, so
    every member but the constant `pruner` is guarded by `lock` (re-entrant:
    the optimizer holds it while it records a finished trial).

    Parameters
    ----------
    pruner : Pruner or None
        Without one, reports are kept and nothing is ever advised.
    sign : float
        1.0 to minimise, -1.0 to maximise: the pruner always minimises.
    """

    def __init__(self, pruner: Pruner | None, sign: float) -> None:
        self.pruner = pruner  # constant
        self._sign = sign  # constant
        self.lock = threading.RLock()
        self._decisions = None if pruner is None else pruner.start()  # guarded by lock
        self._finished = 0  # guarded by lock: finished trials the pruner counts
        self._reports: dict[int, list[Report]] = {}  # guarded by lock
        self._curves: dict[int, list[tuple[int, float]]] = {}  # guarded by lock
        self._stop_advised: set[int] = set()  # guarded by lock

    def report(self, number: int, step: int, value: float) -> bool:
        """Records a checked report of running trial `number`; True to advise stopping it.

        Raises ValueError when `step` does not follow the trial's last step.
        """
        finite = math.isfinite(value)
        with self.lock:
            reports = self._reports.setdefault(number, [])
            if reports and step <= reports[-1].step:
                raise ValueError(f"trial {number} reported step {step} after step "
                                 f"{reports[-1].step}: steps must increase")
            reports.append(Report(step, value if finite else None, self._finished))
            curve = self._curves.setdefault(number, [])
            curve.append(self._curve_point(reports[-1]))
            if self._decisions is None:
                return False
            if number not in self._stop_advised and self._decisions.decide(number, curve):
                self._stop_advised.add(number)
            return number in self._stop_advised

    def forget(self, number: int) -> list[Report]:
        """Drops what a running trial reported (it finished, or starts again); returns its reports."""
        with self.lock:
            self._curves.pop(number, None)
            self._stop_advised.discard(number)
            return self._reports.pop(number, [])

    def close(self, number: int, complete: bool,
              reports: tuple[Report, ...] | None = None) -> tuple[Report, ...]:
        """Trial `number` finished: the pruner counts it; returns the reports it keeps.

        `reports` replaces those made through this book (a journal's).
        """
        with self.lock:
            made = self.forget(number)
            kept = tuple(made) if reports is None else reports
            if self._decisions is not None:
                self._decisions.add(number, complete, [self._curve_point(r) for r in kept])
            self._finished += 1
            return kept

    def _curve_point(self, report: Report) -> tuple[int, float]:
        """A report as the pruner reads it: the value to minimise, NaN when not finite."""
        return report.step, math.nan if report.value is None else self._sign * report.value
