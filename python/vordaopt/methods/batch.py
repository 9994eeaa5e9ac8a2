"""The batch workflow: the core solver's probe batch, then refinement batches.

The probe batch covers the space; its results classify the landscape, and
refinement batches follow (Nelder-Mead where it looks smooth, TPE where it
looks rugged). Each batch is handed out whole and its results are told
together, in hand-out order. The plan is made for the budget the run began
with; a run resumed with a larger budget goes on with online TPE trials
once the plan has ended (see methods/online.py).
"""

from __future__ import annotations

import logging
import re
from collections.abc import Sequence

from .._engine import Solver
from ..trial import Trial
from ._solver_records import SolverHistory, solver_config
from .base import MethodSettings, Told, Unit
from .online import OnlineMethod

__all__ = ["BatchMethod", "PROBE_SLICE"]

#: A batch plan hands out its probe batch in slices of at most this many
#: trials, so that the memory of a run does not grow with its budget.
PROBE_SLICE = 1024

_log = logging.getLogger("vordaopt")

# The core's diagnostic lines, in words a user of the layer understands.
_CLASSIFIED = re.compile(r"\[Machine\] Classified as (\w+) \(Score: ([^)]*)\)")
_FAIL_SAFE = re.compile(r"\[Machine\] Structured Fail-Safe Triggered! .* at param count (\d+)")


def _log_core_lines(lines: list[str]) -> None:
    for line in lines:
        if match := _CLASSIFIED.fullmatch(line):
            smooth = match[1] == "Structured"
            _log.info("the probe batch is in: the landscape looks %s (variance score %s); "
                      "refining with %s", "smooth" if smooth else "rugged", match[2],
                      "Nelder-Mead" if smooth else "TPE")
        elif match := _FAIL_SAFE.fullmatch(line):
            _log.info("after %s trials the Nelder-Mead search restarts from a fresh, shifted "
                      "probe batch", match[1])
        elif "Chaotic mode" not in line:  # said already with the classification
            _log.info("%s", line)


class BatchMethod:
    """The core solver's batch workflow, behind the method protocol.

    Parameters
    ----------
    settings : MethodSettings
    """

    batched = True
    many_objectives = False
    replays_by_observing = False

    @classmethod
    def from_settings(cls, settings: MethodSettings) -> BatchMethod:
        return cls(settings)

    def __init__(self, settings: MethodSettings) -> None:
        self._settings = settings
        self._names = settings.space.names
        self._plan = settings.first_budget
        self._solver = Solver(solver_config(settings, self._plan))
        self._probe_size = self._solver.probe_size()
        self._probe_next = 0
        self._proposed = 0
        # Past the plan, the records rebuild an online solver.
        self._history = SolverHistory(settings.space, keep_texts=settings.budget > self._plan)
        self._online: OnlineMethod | None = None

    def propose(self, pending: Sequence[Trial], room: int) -> list[Unit] | None:
        if pending:
            return []  # a batch's results all come in before the next batch
        if self._online is not None:
            return self._count(self._online.propose(pending, 1))
        remaining = self._plan - self._proposed
        if remaining <= 0:
            return self._go_on(pending)
        candidates: list[dict[str, float]] | None
        if self._probe_next < self._probe_size:
            count = min(PROBE_SLICE, self._probe_size - self._probe_next, remaining)
            candidates = self._solver.probe_points(self._probe_next, count)
            self._probe_next += len(candidates)
        else:
            candidates = self._solver.ask()
            _log_core_lines(self._solver.take_messages())
        if not candidates:
            # None: done. An empty batch would come back empty forever.
            return self._go_on(pending)
        return self._count([tuple(c[name] for name in self._names)
                            for c in candidates[:min(remaining, room)]])

    def observe(self, results: Sequence[Told]) -> None:
        if self._online is not None:
            self._online.observe(results)
        else:
            self._solver.tell(self._history.add(results, with_ids=True))

    def _count(self, units: list[Unit] | None) -> list[Unit] | None:
        self._proposed += len(units or ())
        return units

    def _go_on(self, pending: Sequence[Trial]) -> list[Unit] | None:
        """The plan has ended: online trials up to a raised budget, or nothing more.

        A plan that ends before its own budget (its refinement converged)
        ends the run: only a budget raised past the plan goes on.
        """
        if self._proposed >= self._settings.budget or self._settings.budget <= self._plan:
            return None
        self._online = OnlineMethod(self._settings, self._history)
        return self._count(self._online.propose(pending, 1))
