"""A run's settings, checked once: what the optimizer runs by and what a journal records."""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal, cast

from ._numbers import as_int, as_real
from .journal import Journal, recorded_method
from .known_points import EarlierResults, KnownPoint, earlier_results, known_points
from .methods import DEFAULT_METHOD, METHODS, Method, handles_several_objectives, method_class
from .objectives import Objectives
from .pruners import Pruner
from .space import Kind, Space
from .space_json import space_to_json
from .trial import MAX_BUDGET

__all__ = ["Direction", "Mode", "RunSettings", "Schedule"]

Mode = Method
Direction = Literal["minimize", "maximize"]
Schedule = Literal["rounds", "async"]


def journal_method(journal: str | os.PathLike[str] | Journal | None) -> str | None:
    """The method recorded in an existing journal, if any."""
    if journal is None:
        return None
    if isinstance(journal, Journal):
        recorded = journal.header.get("method") if journal.resumed else None
        return recorded if isinstance(recorded, str) else None
    return recorded_method(journal)


@dataclass(frozen=True, slots=True)
class RunSettings:
    """The settings of a run, each checked (see :class:`~vordaopt.Optimizer` for their meaning).

    Build it with :meth:`checked`, which raises the errors a user sees.
    """

    space: Space
    budget: int
    seed: int
    method: Method
    probe_ratio: float
    direction: Direction
    reevaluate: bool
    parallel: int
    schedule: Schedule
    pruner: Pruner | None
    objectives: Objectives | None = None
    initial: tuple[KnownPoint, ...] = ()
    earlier: EarlierResults | None = None

    @classmethod
    def checked(
        cls,
        space: Mapping[str, Kind],
        budget: int,
        *,
        seed: int = 0,
        method: Method | None = None,
        mode: Mode | None = None,
        probe_ratio: float = 0.2,
        direction: Direction = "minimize",
        reevaluate: bool = False,
        parallel: int = 1,
        schedule: Schedule = "rounds",
        pruner: Pruner | None = None,
        journal: str | os.PathLike[str] | Journal | None = None,
        objectives: Mapping[str, str] | Sequence[str] | None = None,
        constraints: Mapping[str, tuple[float | None, float | None]] | None = None,
        initial: Sequence[Mapping[str, Any]] | None = None,
        warm_start: Any = None,
    ) -> RunSettings:
        """The settings, checked; `journal` supplies the method when none is named.

        Raises
        ------
        ValueError, TypeError
            A setting is out of its range or of the wrong type.
        """
        checked_space = Space(space)
        checked_budget = as_int("budget", budget, 0, MAX_BUDGET,
                                what="a non-negative integer of at most 2**53")
        checked_seed = as_int("seed", seed, 0, 2**64 - 1, what="an integer from 0 to 2**64 - 1")
        if method is not None and mode is not None and method != mode:
            raise ValueError(f"method={method!r} and mode={mode!r} disagree; give method only")
        chosen: str | None = method if method is not None else mode
        if chosen is None:
            # A resumed run goes on with the method its journal was started with.
            chosen = journal_method(journal) or DEFAULT_METHOD
        if chosen not in METHODS:
            raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, got {chosen!r}")
        if direction not in ("minimize", "maximize"):
            raise ValueError(f"direction must be 'minimize' or 'maximize', got {direction!r}")
        named = Objectives.checked(objectives, constraints)
        if named is not None:
            if direction != "minimize":
                raise ValueError("give each objective's direction in objectives=, not direction=")
            # The first objective is the one a pruner and a progress bar follow.
            direction = named.directions[0]
            if len(named.names) > 1 and not handles_several_objectives(chosen):
                raise ValueError(
                    f"method {chosen!r} optimises one objective; with several, use "
                    f"{', '.join(repr(m) for m in METHODS if handles_several_objectives(m))}")
        checked_ratio = as_real("probe_ratio", probe_ratio, low=0.0, high=1.0,
                                what="a number in [0, 1]")
        checked_parallel = as_int("parallel", parallel, 1, what="a positive integer")
        if schedule not in ("rounds", "async"):
            raise ValueError(f"schedule must be 'rounds' or 'async', got {schedule!r}")
        if method_class(chosen).batched and (checked_parallel != 1 or schedule != "rounds"):
            raise ValueError(
                f"parallel and schedule do not apply to method {chosen!r}, which hands out "
                "whole batches for an executor to evaluate concurrently")
        if pruner is not None and not (hasattr(pruner, "start") and hasattr(pruner, "to_json")):
            raise TypeError(f"pruner must be a MedianPruner, SuccessiveHalvingPruner or "
                            f"HyperbandPruner, got {type(pruner).__name__}")
        known = known_points(checked_space, initial, "initial")
        earlier = earlier_results(checked_space, warm_start, direction)
        if earlier is not None and named is not None and (len(named.names) > 1
                                                          or named.constraints):
            raise ValueError("warm_start takes the results of one objective without constraints")
        if (known or earlier is not None) and not method_class(chosen).replays_by_observing:
            setting = "initial" if known else "warm_start"
            raise ValueError(f"method {chosen!r} cannot take {setting}: it proposes from its "
                             "own plan alone; use " + ", ".join(
                                 repr(m) for m in METHODS if method_class(m).replays_by_observing))
        return cls(checked_space, checked_budget, checked_seed, cast(Method, chosen),
                   checked_ratio, direction, bool(reevaluate), checked_parallel, schedule, pruner,
                   named, known, earlier)

    @property
    def sign(self) -> float:
        """1.0 to minimise, -1.0 to maximise: what turns a value into one to minimise."""
        return 1.0 if self.direction == "minimize" else -1.0

    def header(self, **extra: Any) -> dict[str, Any]:
        """The settings a journal records, and a resumed run must match."""
        try:
            space_json = space_to_json(self.space)
        except (TypeError, ValueError) as exc:
            raise TypeError(f"a journal needs JSON values as choices: {exc}") from None
        return {
            "space": space_json,
            "budget": self.budget,
            "seed": self.seed,
            "method": self.method,
            "probe_ratio": self.probe_ratio,
            "direction": self.direction,
            "reevaluate": self.reevaluate,
            "parallel": self.parallel,
            "schedule": self.schedule,
            # Only when set, so that journals of runs without one keep their header.
            **({"pruner": self.pruner.to_json()} if self.pruner is not None else {}),
            **(self.objectives.to_json() if self.objectives is not None else {}),
            **({"initial": [p.to_json() for p in self.initial]} if self.initial else {}),
            **({"warm_start": self.earlier.to_json()} if self.earlier is not None else {}),
            **extra,
        }
