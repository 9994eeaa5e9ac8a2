"""A run as a table: one row per trial, for pandas (``Result.to_pandas``) or CSV
(``vordaopt show --csv``).

Columns, in this order: ``number``, ``state``, the value (``value``, or one
``value_<name>`` per objective of a run of several), ``feasible`` and
``violation`` with constraints, one ``params_<name>`` per parameter (empty
where a trial lacks it), one ``metrics_<name>`` per metric recorded beside
the objectives, ``cost``, ``started`` and ``ended`` (seconds since the epoch;
pandas gets UTC timestamps), ``duration``, ``last_step`` and ``last_report``
(the trial's last report, if any), ``reused_from`` and ``error``.
"""

from __future__ import annotations

import csv
import importlib
import io
from collections.abc import Sequence
from typing import Any

from .objectives import Objectives
from .trial import Trial

__all__ = ["trial_rows", "to_csv", "to_pandas"]


def _columns(trials: Sequence[Trial], names: Sequence[str],
             named: Objectives | None) -> tuple[list[str], list[str], list[str]]:
    """The value columns, the parameters and the extra metrics of a run, in column order."""
    several = named is not None and len(named.names) > 1
    values = [f"value_{n}" for n in named.names] if several and named else ["value"]
    if named is not None and named.constraints:
        values += ["feasible", "violation"]
    params: list[str] = list(names)
    extra: list[str] = []
    for t in trials:
        for name in t.params:
            if name not in params:
                params.append(name)
        for name in t.metrics or {}:
            if (named is None or name not in named.names) and name not in extra:
                extra.append(name)
    return values, params, sorted(extra)


def trial_rows(trials: Sequence[Trial], names: Sequence[str],
               objectives: Objectives | None) -> tuple[list[str], list[list[Any]]]:
    """The column names and one row per trial (None where a cell is empty); `names`
    are the space's parameters."""
    values, params, extra = _columns(trials, names, objectives)
    head = (["number", "state", *values, *(f"params_{p}" for p in params),
             *(f"metrics_{m}" for m in extra),
             "cost", "started", "ended", "duration", "last_step", "last_report",
             "reused_from", "error"])
    rows = [_row(t, values, params, extra) for t in trials]
    return head, rows


def _row(t: Trial, values: Sequence[str], params: Sequence[str], extra: Sequence[str]) -> list[Any]:
    if values[0] == "value":
        cells: list[Any] = [t.value]
    else:
        count = sum(v.startswith("value_") for v in values)
        cells = list(t.values) if t.values is not None else [None] * count
    if "feasible" in values:
        known = t.violation is not None
        cells += [t.feasible if known else None, t.violation]
    cells += [t.params.get(p) for p in params]
    cells += [(t.metrics or {}).get(m) for m in extra]
    duration = t.ended - t.started if t.started is not None and t.ended is not None else None
    last = t.reports[-1] if t.reports else None
    cells += [t.cost, t.started, t.ended, duration, last.step if last else None,
              last.value if last else None, t.reused_from, t.error]
    return [t.number, t.state.value, *cells]


def to_csv(trials: Sequence[Trial], names: Sequence[str], objectives: Objectives | None) -> str:
    """The table as CSV text (empty cells for None)."""
    head, rows = trial_rows(trials, names, objectives)
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(head)
    for row in rows:
        writer.writerow(["" if c is None else c for c in row])
    return out.getvalue()


def to_pandas(trials: Sequence[Trial], names: Sequence[str], objectives: Objectives | None) -> Any:
    """The table as a pandas DataFrame indexed by nothing (``number`` is a column)."""
    try:
        pd: Any = importlib.import_module("pandas")
    except ImportError:
        raise ImportError("to_pandas needs pandas: pip install 'vordaopt[pandas]'") from None
    head, rows = trial_rows(trials, names, objectives)
    frame = pd.DataFrame(rows, columns=head)
    for column in ("started", "ended"):
        frame[column] = pd.to_datetime(frame[column], unit="s", utc=True)
    frame["duration"] = pd.to_timedelta(frame["duration"], unit="s")
    return frame
