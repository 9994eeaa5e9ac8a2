"""The journal: an append-only JSON Lines record of a run, from which it resumes.

The first line is a header with the format version and the settings of the
run; each further line is one finished trial, written whole, flushed and
``fsync``-ed before the run goes on. A resumed run that raises the budget
appends a line of its own, ``{"budget": N}``. A crash can therefore tear at
most the last line, which the next writer cuts off (with a warning) before
appending; nothing else in a file is ever cut or rewritten. A second writer
of the same file is refused by an advisory lock.

Every reader (:func:`read_journal`, :class:`Journal`, and through them
``load``, ``vordaopt show`` and resuming) checks each line the same way, and
an error names the line.

Unit coordinates are written as JSON numbers in their shortest round-trip
form, so they read back to the same floats, bit for bit.
"""

from __future__ import annotations

import fcntl
import json
import math
import os
import stat
import warnings
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any

from ._numbers import is_integral, is_real
from .trial import MAX_STEP, Report, Trial, TrialState

__all__ = ["Journal", "JournalError", "JournalMismatch", "open_for_run", "read_journal", "trial_to_record",
           "trial_from_record"]

FORMAT_VERSION = 1
_MAGIC = "vordaopt_journal"
# How every line this layer writes begins: a torn last line is cut only when
# it is the beginning of one of these.
_LINE_STARTS = (b'{"number":', b'{"budget":')
# A header line is the space and the settings: a few kB, far below this.
_HEADER_LIMIT = 1 << 24
_FINISHED_STATES = {s.value for s in TrialState if s is not TrialState.PENDING}


class JournalError(RuntimeError):
    """A journal that cannot be used for this run: another run's, locked, damaged, or unwritable."""


class JournalMismatch(JournalError):
    """The journal holds another run (its settings differ from this one's)."""


def trial_to_record(trial: Trial) -> dict[str, Any]:
    """The JSON line of a finished trial; its reports as [step, value, seen] when it has any."""
    record: dict[str, Any] = {
        "number": trial.number,
        "state": trial.state.value,
        "params": trial.params,
        "unit": list(trial.unit),
        "value": trial.value,
        "error": trial.error,
        "cost": trial.cost,
        "reused_from": trial.reused_from,
        "started": trial.started,
        "ended": trial.ended,
    }
    if trial.reports:
        record["reports"] = [list(r) for r in trial.reports]
    if trial.metrics is not None:
        record["metrics"] = trial.metrics
    return record


def trial_from_record(record: dict[str, Any]) -> Trial:
    """The trial of a checked journal line."""
    return Trial(
        number=int(record["number"]),
        params=dict(record["params"]),
        unit=tuple(float(u) for u in record["unit"]),
        state=TrialState(record["state"]),
        value=record.get("value"),
        cost=record.get("cost"),
        error=record.get("error"),
        reused_from=record.get("reused_from"),
        started=record.get("started"),
        ended=record.get("ended"),
        reports=record_reports(record),
    )


def record_reports(record: dict[str, Any]) -> tuple[Report, ...]:
    """The reports of a checked journal line (none when it has no "reports")."""
    return tuple(Report(int(s), v, int(seen)) for s, v, seen in record.get("reports", ()))


# --- Reading and checking ----------------------------------------------------------------


def _is_number(v: Any) -> bool:
    return is_real(v) and math.isfinite(v)


def _is_count(v: Any) -> bool:
    return is_integral(v) and v >= 0


def _check_record(record: Any, names: tuple[list[str], set[str]] | None) -> str | None:
    """Why a trial line cannot be used, or None."""
    if not isinstance(record, dict):
        return "a trial line must be a JSON object"
    if not _is_count(record.get("number")):
        return "\"number\" must be a non-negative integer"
    if record.get("state") not in _FINISHED_STATES:
        return f"\"state\" must be one of {', '.join(sorted(_FINISHED_STATES))}"
    params = record.get("params")
    if not isinstance(params, dict):
        return "\"params\" must be an object"
    unit = record.get("unit")
    if not isinstance(unit, list) or not all(_is_number(u) and 0 <= u <= 1 for u in unit):
        return "\"unit\" must be a list of numbers from 0 to 1"
    if names is not None:
        every, always = names
        if not always <= set(params) <= set(every):
            return f"\"params\" must name exactly the space's parameters {', '.join(every)}"
        if len(unit) != len(every):
            return f"\"unit\" must hold {len(every)} coordinates"
    value = record.get("value")
    if record["state"] in (TrialState.FAILED.value, TrialState.PRUNED.value):
        if value is not None:
            return f"a {record['state']} trial has no value"
    elif not _is_number(value):
        return f"a {record['state']} trial needs a finite \"value\""
    for key in ("cost", "started", "ended"):
        if record.get(key) is not None and not _is_number(record[key]):
            return f"\"{key}\" must be a finite number or null"
    if record.get("error") is not None and not isinstance(record["error"], str):
        return "\"error\" must be a string or null"
    reports = record.get("reports", [])
    if not isinstance(reports, list) or not all(
            isinstance(r, list) and len(r) == 3 and _is_count(r[0]) and r[0] <= MAX_STEP
            and (r[1] is None or _is_number(r[1])) and _is_count(r[2]) for r in reports):
        return "\"reports\" must be a list of [step up to 2**53, value or null, seen]"
    if any(a[0] >= b[0] for a, b in zip(reports, reports[1:])):
        return "the steps of \"reports\" must increase"
    reused_from = record.get("reused_from")
    if reused_from is not None and not (_is_count(reused_from) and reused_from < record["number"]):
        return "\"reused_from\" must be the number of an earlier trial, or null"
    metrics = record.get("metrics", {})
    if not isinstance(metrics, dict) or not all(
            isinstance(k, str) and (v is None or _is_number(v)) for k, v in metrics.items()):
        return "\"metrics\" must be an object of finite numbers or nulls"
    return None


@dataclass
class _Contents:
    """A journal's checked lines."""

    header: dict[str, Any] | None
    records: list[dict[str, Any]]  # trial lines, in the order written
    budgets: list[int]  # budgets of the run: the header's, then each raise
    good: int  # bytes of complete, usable lines
    torn: str | None  # what follows them, described; None when nothing does


def _parse(data: bytes, path: str, expected_header: bytes | None = None) -> _Contents:
    """Splits and checks a journal's bytes.

    A last line without its line feed is torn when it is the beginning of a
    line this layer writes (after a valid header), or of `expected_header` in
    an otherwise empty file. Anything else
    that is not a journal raises JournalError, which names the line.
    """
    contents = _Contents(None, [], [], 0, None)
    first_line: dict[int, int] = {}  # trial number -> line of its record
    position = 0
    line_no = 0
    while position < len(data):
        line_no += 1
        end = data.find(b"\n", position)
        raw = data[position:] if end < 0 else data[position:end]
        try:
            line = json.loads(raw) if end >= 0 else None
        except ValueError:
            line = None
        if line is None:
            # Lines are written whole, line feed included: only a last line
            # without one can have been torn by a crash.
            if end < 0 and raw and _is_torn_start(raw, contents.header is not None,
                                                  expected_header):
                contents.torn = "a last line without its line feed"
                return contents
            if contents.header is None:
                raise JournalError(f"{path} is not a vordaopt journal (its first line is not a "
                                   "journal header); choose another file name")
            raise JournalError(f"{path}: line {line_no} is not valid JSON")
        if contents.header is None:
            if not isinstance(line, dict) or _MAGIC not in line:
                raise JournalError(f"{path} is not a vordaopt journal (its first line is not a "
                                   "journal header); choose another file name")
            if line[_MAGIC] != FORMAT_VERSION:
                raise JournalError(f"{path} has journal format {line[_MAGIC]!r}; this vordaopt "
                                   f"reads and writes format {FORMAT_VERSION}")
            contents.header = line = current_names(line)
            if "budget" in line:
                contents.budgets.append(line["budget"])
        elif isinstance(line, dict) and set(line) == {"budget"}:
            if not _is_count(line["budget"]) or (contents.budgets
                                                 and line["budget"] < contents.budgets[-1]):
                raise JournalError(f"{path}: line {line_no}: a budget line must raise the budget")
            contents.budgets.append(line["budget"])
        else:
            why = _check_record(line, _json_names(contents.header.get("space")))
            if why is not None:
                raise JournalError(f"{path}: line {line_no}: {why}")
            number = line["number"]
            if number in first_line:
                raise JournalError(f"{path}: line {line_no}: trial {number} is recorded twice "
                                   f"(first on line {first_line[number]})")
            first_line[number] = line_no
            contents.records.append(line)
        position = end + 1
        contents.good = position
    return contents


def _json_names(space: Any) -> tuple[list[str], set[str]] | None:
    """A JSON space's parameters, sorted, and those active in every trial (outside any sub-space)."""
    if not isinstance(space, dict):
        return None
    every: set[str] = set()
    nested: set[str] = set()

    def visit(kinds: dict[str, Any], inside: bool) -> None:
        for name, spec in kinds.items():
            every.add(name)
            if inside:
                nested.add(name)
            choices = spec.get("choices") if isinstance(spec, dict) else None
            if isinstance(choices, dict):
                for sub in choices.values():
                    if isinstance(sub, dict):
                        visit(sub, True)

    visit(space, False)
    return sorted(every), every - nested


def _is_torn_start(raw: bytes, after_header: bool, expected_header: bytes | None) -> bool:
    if after_header:
        return any(raw.startswith(s) or s.startswith(raw) for s in _LINE_STARTS)
    return expected_header is not None and expected_header.startswith(raw)


def open_regular(path: str | os.PathLike[str], flags: int = os.O_RDONLY, mode: int = 0o644) -> int:
    """A descriptor of the regular file at `path`, opened with `flags`.

    Opened without blocking and checked before anything is read: a FIFO
    would otherwise hold the caller until some writer came, and a device
    would stream without end. Raises JournalError for anything else than a
    regular file, OSError when the file cannot be opened.
    """
    fd = os.open(path, flags | os.O_NONBLOCK | os.O_CLOEXEC, mode)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise JournalError(f"the journal {os.fspath(path)} must be a regular file")
        os.set_blocking(fd, True)
    except BaseException:
        os.close(fd)
        raise
    return fd


def read_journal(path: str | os.PathLike[str]) -> tuple[dict[str, Any], list[dict[str, Any]]]:
    """The header and the trial records of a journal, without changing the file.

    A torn last line is ignored. The header's ``budget`` is the run's current
    budget (the last raise, if any).

    Raises
    ------
    JournalError
        The file cannot be read, is not a journal, or holds a line that is
        damaged or breaks the journal's rules (the message names the line).
    """
    name = os.fspath(path)
    try:
        with os.fdopen(open_regular(path), "rb") as f:
            data = f.read()
    except OSError as exc:
        raise JournalError(f"cannot read the journal {name}: {exc.strerror or exc}") from None
    contents = _parse(data, name)
    if contents.header is None:
        raise JournalError(f"{name} is not a vordaopt journal (it holds no header line)")
    header = dict(contents.header)
    if contents.budgets:
        header["budget"] = contents.budgets[-1]
    return header, contents.records


def recorded_method(path: str | os.PathLike[str]) -> str | None:
    """The method a journal's run was started with, from its first line; None if unknown.

    A run resumed without naming its method goes on with this one. Anything
    unreadable gives None: the journal is checked in full when it is opened.
    """
    try:
        with os.fdopen(open_regular(path), "rb") as f:
            first = f.readline(_HEADER_LIMIT)
        header = json.loads(first)
    except (OSError, ValueError, JournalError):
        return None
    method = current_names(header).get("method") if isinstance(header, dict) else None
    return method if isinstance(method, str) else None


def current_names(header: dict[str, Any]) -> dict[str, Any]:
    """A header with today's names: earlier journals called the method "mode"."""
    if "mode" in header and "method" not in header:
        return {("method" if key == "mode" else key): value for key, value in header.items()}
    return header


def _describe(value: Any) -> str:
    text = json.dumps(value, sort_keys=True)
    return text if len(text) <= 60 else text[:57] + "..."


def _line(record: dict[str, Any]) -> bytes:
    return (json.dumps(record, allow_nan=False, separators=(",", ":")) + "\n").encode("utf-8")


class Journal:
    """An open journal, locked for this process until :meth:`close`.

    Parameters
    ----------
    path : path-like
        Created with `header` if it does not exist or is empty; otherwise it
        must be a journal whose header equals `header`, except that the
        budget may be raised (never lowered): a raise is recorded as a line.
        A file that is not a journal is refused and left as it was.
    header : dict
        The settings of the run (JSON values); the format version is added.

    Attributes
    ----------
    records : dict[int, dict]
        The trials already in the file, by number.
    lines : list of dict
        The same, in the order they were written (the order they finished).
    resumed : bool
        Whether the file held a run already.
    first_budget : int or None
        The budget the run was started with (its batch plan is made for it).

    Raises
    ------
    JournalError
        The file is locked by another writer, was written for another run,
        is not a journal or is damaged above its last line, or cannot be
        opened or written (the message names the file).
    """

    def __init__(self, path: str | os.PathLike[str], header: dict[str, Any]) -> None:
        self.path = os.fspath(path)
        self.header = {_MAGIC: FORMAT_VERSION, **header}
        try:
            fd = open_regular(self.path, os.O_RDWR | os.O_CREAT)
        except OSError as exc:
            raise JournalError(
                f"cannot open the journal {self.path}: {exc.strerror or exc}") from None
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise JournalError(
                f"{self.path} is in use by another process (a run writing to it is still going)"
            ) from None
        self._file = os.fdopen(fd, "r+b", buffering=0)
        try:
            self.records = self._open_existing()
        except BaseException:
            self._file.close()
            raise

    def _open_existing(self) -> dict[int, dict[str, Any]]:
        try:
            data = self._file.read()
        except OSError as exc:
            raise JournalError(f"cannot read the journal {self.path}: {exc.strerror or exc}") from None
        contents = _parse(data, self.path, expected_header=_line(self.header))
        if contents.torn is not None:
            warnings.warn(
                f"{self.path}: cut {len(data) - contents.good} bytes of {contents.torn} (a run "
                "stopped while writing it); that trial will run again", RuntimeWarning,
                stacklevel=4)
            self._io(self._file.truncate, contents.good)
        self._file.seek(contents.good)
        self.resumed = contents.header is not None
        self.lines: list[dict[str, Any]] = contents.records
        self.first_budget = contents.budgets[0] if contents.budgets else self.header.get("budget")
        if contents.header is None:
            self._write(self.header)
            return {}
        self._check_settings(contents.header, contents.budgets)
        return {int(r["number"]): r for r in contents.records}

    def _check_settings(self, stored: dict[str, Any], budgets: list[int]) -> None:
        differences = [
            f"{key}: {_describe(stored.get(key))} in the journal, {_describe(self.header.get(key))} now"
            for key in sorted(set(stored) | set(self.header))
            if key != "budget" and stored.get(key) != self.header.get(key)
        ]
        if differences:
            raise JournalMismatch(
                f"{self.path} was written for another run; use another journal file or the "
                "same settings. Differences: " + "; ".join(differences))
        if "budget" not in self.header or not budgets:
            return
        budget, current = self.header["budget"], budgets[-1]
        if budget < current:
            raise JournalError(
                f"{self.path} holds a run with budget {current}; a resumed run may raise its "
                f"budget, not lower it (got budget {budget})")
        if budget > current:
            self._write({"budget": budget})

    def _io(self, operation: Any, *args: Any) -> Any:
        try:
            return operation(*args)
        except OSError as exc:
            raise JournalError(
                f"cannot write the journal {self.path}: {exc.strerror or exc}") from exc

    def _write(self, record: dict[str, Any]) -> None:
        self._io(self._file.write, _line(record))
        self._io(os.fsync, self._file.fileno())

    def append(self, trials: Iterable[Trial]) -> None:
        """Writes one line per finished trial, each flushed to the disk."""
        for trial in trials:
            record = trial_to_record(trial)
            self._write(record)
            self.records[trial.number] = record

    def close(self) -> None:
        """Releases the lock and closes the file."""
        if not self._file.closed:
            self._file.close()

    def __enter__(self) -> Journal:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def open_for_run(journal: str | os.PathLike[str] | Journal,
                 settings: dict[str, Any]) -> tuple[Journal, bool]:
    """The journal of a run of `settings`, and whether the run opened it (and closes it).

    A Journal the caller opened must hold the same settings (with settings of
    its own besides); a path is opened, or created, for them.
    """
    if isinstance(journal, Journal):
        wrong = sorted(k for k, v in settings.items() if journal.header.get(k) != v)
        if wrong:
            raise JournalError(f"{journal.path} was opened for other settings: {', '.join(wrong)}")
        return journal, False
    return Journal(journal, settings), True
