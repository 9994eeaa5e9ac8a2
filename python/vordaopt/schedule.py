"""When trials go out: rounds or async, the budget, the end of a run, and replay.

Under ``"rounds"``, `parallel` trials go out together and the next round
waits for all of their results, which the method learns in hand-out order.
Under ``"async"``, a new trial goes out as soon as a result is told, and the
method learns each result as it arrives. A batched method hands out batches
of its own size instead. The run is over once the budget is spent, the
method has nothing more to propose, or every configuration of a finite
space has its value. Known points (``initial=``, ``Optimizer.enqueue``) go
out before anything the method proposes.
"""

from __future__ import annotations

from collections import deque
from collections.abc import Callable
from typing import Any

from .journal import JournalError
from .known_points import KnownPoint
from .ledger import Ledger
from .methods import SearchMethod
from .methods.base import Unit
from .settings import RunSettings
from .trial import Trial, TrialState, unit_key

__all__ = ["Scheduler"]


class Scheduler:
    """Hands out the points a method proposes as trials, as the run's schedule allows.

    Parameters
    ----------
    settings : RunSettings
    method : SearchMethod
    ledger : Ledger
        The run's trials, shared with the optimizer.
    """

    def __init__(self, settings: RunSettings, method: SearchMethod, ledger: Ledger) -> None:
        self._budget = settings.budget
        self._parallel = settings.parallel
        self._in_order = settings.schedule == "rounds"
        self._method = method
        self._ledger = ledger
        self.over = False
        self.ready: list[Trial] = []  # handed out, not yet returned by ask()
        # While a journal is replayed: the recorded points, which a method
        # that replays by observing hands out instead of proposing them again.
        self._recorded: dict[int, Unit] = {}
        self._known: deque[KnownPoint] = deque(settings.initial)
        self._names = settings.space.names

    def enqueue(self, point: KnownPoint) -> None:
        """Hands `point` out after the known points before it, ahead of the method's own."""
        self._known.append(point)
        self.over = False

    def take_ready(self) -> list[Trial]:
        """The trials handed out ahead of ask() that still wait for a result."""
        ready = [t for t in self.ready if self._ledger.trials[t.number].state is TrialState.PENDING]
        self.ready = []
        return ready

    def advance(self) -> list[Trial] | None:
        """Hands out what the method proposes now; None once the run is over."""
        if self.over:
            return None
        ledger = self._ledger
        pending = ledger.pending()
        if ledger.exhausted():
            if pending:
                return []
            self.over = True
            return None
        if self._method.batched:
            want = self._budget - len(ledger.trials)  # whole batches, cut to the budget
        else:
            room = self._round_size(len(pending))
            if not room:
                return None if room is None else []
            want = room
        handed: list[Trial] = []
        while len(handed) < want and len(ledger.trials) < self._budget:
            recorded = (self._recorded.get(len(ledger.trials))
                        if self._method.replays_by_observing else None)
            known = self._known.popleft() if self._known else None
            if known is not None:
                units: list[Unit] | None = [recorded if recorded is not None
                                            else self._known_unit(known, pending)]
            else:
                units = ([recorded] if recorded is not None
                         else self._method.propose(pending, want - len(handed)))
            if units is None:
                self.over = True
                break
            if not units:
                break
            new, answered = ledger.take(units, known.params if known is not None else None)
            if answered:
                self.tell_method()  # repeats answered at once may be told now
            handed += new
            pending += new
        if handed or pending:
            return handed
        # Nothing out and nothing running: the budget is spent, or the method
        # has nothing more (repeats answered from the record keep the loop
        # above asking until one of the two).
        self.over = True
        return None

    def _known_unit(self, known: KnownPoint, pending: list[Trial]) -> Unit:
        """A known point, its missing parameters those of the method's next proposal."""
        proposed = None
        if len(known.coordinates) < len(self._names):
            units = self._method.propose(pending, 1)
            proposed = units[0] if units else None
        return known.unit(self._names, proposed)

    def after_result(self) -> None:
        """A result was told: under the async schedule the next trial goes out now.

        It is prepared at once, whenever ask() is called: the run is then a
        function of the order of the results alone, which a journal replays.
        """
        if not self._in_order:
            self.ready += self.advance() or []

    def tell_method(self) -> None:
        """Tells the method the results it can take now (see Ledger.results_to_tell)."""
        results = self._ledger.results_to_tell(in_order=self._in_order)
        if results:
            self._method.observe(results)

    def replay(self, records: list[dict[str, Any]], finish: Callable[[dict[str, Any]], None],
               where: str) -> None:
        """Drives the run through a journal's records again, each told after one ask.

        `finish` records one of them as the optimizer's tell would; `where`
        names the journal in errors.
        """
        if self._method.replays_by_observing:
            self._recorded = {int(r["number"]): tuple(float(u) for u in r["unit"])
                              for r in records}
        for record in records:
            if record.get("reused_from") is not None:
                continue  # repeats are rebuilt by the ledger itself
            self.ready += self.advance() or []
            number = int(record["number"])
            trials = self._ledger.trials
            trial = trials[number] if number < len(trials) else None
            if (trial is None or trial.state is not TrialState.PENDING
                    or self._ledger.is_waiting(number)
                    or unit_key(tuple(float(u) for u in record["unit"])) != unit_key(trial.unit)):
                raise JournalError(
                    f"the journal {where} does not match this run at trial {number}: it was "
                    "written by another version of vordaopt, or edited")
            finish(record)
        self.ready += self.advance() or []
        self._recorded = {}
        self.ready = sorted(self.take_ready(), key=lambda t: t.number)

    def _round_size(self, pending: int) -> int | None:
        """How many trials to hand out now beside `pending` ones; None once the run is over."""
        if self._in_order and pending:
            return 0
        want = min(self._parallel - pending, self._budget - len(self._ledger.trials))
        if want <= 0 and len(self._ledger.trials) >= self._budget and not pending:
            self.over = True
            return None
        return max(want, 0)
