"""The online workflow: one TPE trial at a time from the core solver.

With no trial pending, the next trial is the solver's own candidate. Beside
pending trials, each further candidate comes from a scratch solver holding
the same history, into which every pending candidate has been told at a
stand-in value (the "constant liar": the worst value told so far, 0.0
before any, which the first 24 uniform draws never read). A candidate that
repeats a pending or evaluated configuration ends the round early.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from .._engine import Solver
from ..trial import Trial
from ._solver_records import SolverHistory, solver_config
from .base import MethodSettings, Told, Unit

__all__ = ["OnlineMethod"]


class OnlineMethod:
    """The core solver's online workflow, behind the method protocol.

    Parameters
    ----------
    settings : MethodSettings
    history : SolverHistory, optional
        The results already told (a batch plan that goes on with online
        trials): the solver starts from them.
    """

    batched = False
    many_objectives = False
    replays_by_observing = False

    @classmethod
    def from_settings(cls, settings: MethodSettings) -> OnlineMethod:
        return cls(settings)

    def __init__(self, settings: MethodSettings, history: SolverHistory | None = None) -> None:
        self._space = settings.space
        self._names = settings.space.names
        self._reevaluate = settings.reevaluate
        self._config = solver_config(settings, settings.budget)
        self._solver = Solver(self._config)
        if history is None:
            history = SolverHistory(settings.space, keep_texts=settings.parallel > 1,
                                    liars=settings.parallel > 1)
        elif history.texts:
            self._solver.seed(history.document())
        self._history = history
        # Where a round of liars ended early (results observed, trials
        # pending once its liars are out): asked again there, it stays ended.
        self._ended_at: tuple[int, int] | None = None
        self._observed = 0

    def propose(self, pending: Sequence[Trial], room: int) -> list[Unit] | None:
        if not pending:
            one = self._solver.ask_one()
            return None if one is None else [self._unit(one)]
        if (self._observed, len(pending)) == self._ended_at:
            return []
        liars = self._liars(pending, room)
        if len(liars) < room:
            self._ended_at = (self._observed, len(pending) + len(liars))
        return liars

    def observe(self, results: Sequence[Told]) -> None:
        self._observed += len(results)
        self._solver.seed(self._history.add(results, with_ids=False))

    def _unit(self, unit_map: dict[str, float]) -> Unit:
        return tuple(unit_map[name] for name in self._names)

    def _liars(self, pending: Sequence[Trial], count: int) -> list[Unit]:
        """Up to `count` candidates from a scratch solver that sees the pending trials."""
        history = self._history
        scratch = Solver(self._config)
        if history.texts:
            scratch.seed(history.document())
        liar = 0.0 if history.worst is None else history.worst
        scratch.seed("[" + ",".join(history.record(t.unit, liar, t.cost) for t in pending) + "]")
        taken: set[tuple[Any, ...]] = {self._space.point_key(t.params, t.unit) for t in pending}
        units: list[Unit] = []
        while len(units) < count:
            unit_map = scratch.ask_one()
            if unit_map is None:
                break
            unit = self._unit(unit_map)
            key = self._space.point_key(self._space.decode(unit_map), unit)
            if key in taken or (not self._reevaluate and key in history.evaluated):
                break  # a repeat: the round ends early
            units.append(unit)
            taken.add(key)
            scratch.seed("[" + history.record(unit, liar, None) + "]")
        return units
