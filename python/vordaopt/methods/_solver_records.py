"""What the core solver's workflows ("batch", "online") share: its records and their history."""

from __future__ import annotations

import json
from collections.abc import Sequence
from typing import Any

from ..space import Space
from .base import MethodSettings, Told, Unit

__all__ = ["SolverHistory", "solver_config"]


def solver_config(settings: MethodSettings, budget: int) -> str:
    """The solver's configuration text for a plan of `budget` trials."""
    return json.dumps({
        "seed": settings.seed,
        "budget": budget,
        "bounds": settings.space.solver_bounds(),
        "probe_ratio": settings.probe_ratio,
    })


class SolverHistory:
    """The results told to a solver, as it reads them, and what a liar needs of them.

    Parameters
    ----------
    space : Space
    keep_texts : bool
        Keep every record told, so that a scratch solver (a round's liars) or
        the continuation of a plan can be seeded with the same history
        without encoding it again.
    liars : bool, default False
        Keep the configurations evaluated, which a round's liars must not
        repeat (only rounds of more than one trial have liars).
    """

    def __init__(self, space: Space, keep_texts: bool, liars: bool = False) -> None:
        self.space = space
        self._keys = [json.dumps(name) + ":" for name in space.names]
        self.keep_texts = keep_texts
        self._liars = liars
        self.texts: list[str] = []
        self.worst: float | None = None  # the worst value of an evaluated trial told
        # With liars: the configurations evaluated so far (failures excluded).
        self.evaluated: set[tuple[Any, ...]] = set()

    def record(self, unit: Unit, value: float, cost: float | None,
               eval_id: int | None = None) -> str:
        """The JSON text of one record for the solver.

        Written directly: every number is finite, and repr gives the shortest
        text that reads back to the same float, as json.dumps would.
        """
        params = ",".join([key + repr(u) for key, u in zip(self._keys, unit)])
        text = f'{{"params":{{{params}}},"value":{value!r},"cost":{cost or 0.0!r}'
        if eval_id is not None:
            text += f',"eval_id":{eval_id}'
        return text + "}"

    def add(self, results: Sequence[Told], with_ids: bool) -> str:
        """Takes `results` in; returns their document for the solver (ids: trial numbers)."""
        records = []
        for result in results:
            trial = result.trial
            if not result.stand_in:
                if self.worst is None or result.value > self.worst:
                    self.worst = result.value
                if self._liars:
                    self.evaluated.add(self.space.point_key(trial.params, trial.unit))
            records.append(self.record(trial.unit, result.value, trial.cost,
                                       trial.number if with_ids else None))
            if self.keep_texts:
                self.texts.append(records[-1] if not with_ids
                                  else self.record(trial.unit, result.value, trial.cost))
        return "[" + ",".join(records) + "]"

    def document(self) -> str:
        """Every kept record, as one document."""
        return "[" + ",".join(self.texts) + "]"
