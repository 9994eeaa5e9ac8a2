"""The journal: an append-only JSON Lines record of a run, from which it resumes.

The first line is a header with the format version and the settings of the
run; each further line is one finished trial, written whole, flushed and
``fsync``-ed before the run goes on. A crash can therefore tear at most the
last line, which the next writer cuts off (with a warning) before appending.
A second writer of the same file is refused by an advisory lock.

Unit coordinates are written as JSON numbers in their shortest round-trip
form, so they read back to the same floats, bit for bit.
"""

from __future__ import annotations

import fcntl
import json
import os
import warnings
from collections.abc import Iterable
from typing import Any

from .optimizer import Trial, TrialState

__all__ = ["Journal", "JournalError", "read_journal", "trial_to_record", "trial_from_record"]

FORMAT_VERSION = 1
_MAGIC = "vordaopt_journal"


class JournalError(RuntimeError):
    """A journal that cannot be used for this run: another run's, locked, or damaged."""


def trial_to_record(trial: Trial) -> dict[str, Any]:
    """The JSON line of a finished trial."""
    return {
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


def trial_from_record(record: dict[str, Any]) -> Trial:
    """The trial of a journal line."""
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
    )


def _split_lines(data: bytes) -> tuple[list[dict[str, Any]], int, str | None]:
    """The complete JSON lines of `data`, the byte length they span, and why the rest was dropped."""
    lines: list[dict[str, Any]] = []
    good = 0
    while good < len(data):
        end = data.find(b"\n", good)
        if end < 0:
            return lines, good, "a last line without its line feed"
        try:
            lines.append(json.loads(data[good:end]))
        except ValueError:
            # Only the last line can be torn; damage further up is not ours to cut.
            if data.find(b"\n", end + 1) >= 0 or end + 1 < len(data):
                raise JournalError(f"line {len(lines) + 1} is not valid JSON") from None
            return lines, good, "a last line that is not valid JSON"
        good = end + 1
    return lines, good, None


def read_journal(path: str | os.PathLike[str]) -> tuple[dict[str, Any], list[dict[str, Any]]]:
    """The header and the trial records of a journal, without changing the file.

    A torn last line is ignored.

    Raises
    ------
    JournalError
        The file holds no header, or a line other than the last is damaged.
    """
    with open(path, "rb") as f:
        data = f.read()
    try:
        lines, _, _ = _split_lines(data)
    except JournalError as error:
        raise JournalError(f"{os.fspath(path)}: {error}") from None
    if not lines or not isinstance(lines[0], dict) or _MAGIC not in lines[0]:
        raise JournalError(f"{os.fspath(path)} is not a vordaopt journal (no header line)")
    return lines[0], lines[1:]


def _describe(value: Any) -> str:
    text = json.dumps(value, sort_keys=True)
    return text if len(text) <= 60 else text[:57] + "..."


class Journal:
    """An open journal, locked for this process until :meth:`close`.

    Parameters
    ----------
    path : path-like
        Created with `header` if it does not exist (or holds no complete
        line); otherwise its header must equal `header`.
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

    Raises
    ------
    JournalError
        The file is locked by another writer, was written for another run, or
        is damaged above its last line.
    """

    def __init__(self, path: str | os.PathLike[str], header: dict[str, Any]) -> None:
        self.path = os.fspath(path)
        self.header = {_MAGIC: FORMAT_VERSION, **header}
        fd = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o644)
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
        data = self._file.read()
        try:
            lines, good, torn = _split_lines(data)
        except JournalError as error:
            raise JournalError(f"{self.path}: {error}") from None
        if torn is not None:
            warnings.warn(
                f"{self.path}: cut {len(data) - good} bytes of {torn} (a run stopped while "
                "writing it); that trial will run again", RuntimeWarning, stacklevel=4)
            self._file.truncate(good)
        self._file.seek(good)
        self.resumed = bool(lines)
        self.lines: list[dict[str, Any]] = lines[1:]
        if not lines:
            self._write_line(self.header)
            return {}
        stored = lines[0]
        if not isinstance(stored, dict) or _MAGIC not in stored:
            raise JournalError(f"{self.path} is not a vordaopt journal (no header line)")
        if stored[_MAGIC] != FORMAT_VERSION:
            raise JournalError(
                f"{self.path} has journal format {stored[_MAGIC]!r}; this vordaopt writes "
                f"format {FORMAT_VERSION}")
        differences = [
            f"{key}: {_describe(stored.get(key))} in the journal, {_describe(self.header.get(key))} now"
            for key in sorted(set(stored) | set(self.header))
            if stored.get(key) != self.header.get(key)
        ]
        if differences:
            raise JournalError(
                f"{self.path} was written for another run; use another journal file or the "
                "same settings. Differences: " + "; ".join(differences))
        return {int(r["number"]): r for r in lines[1:]}

    def _write_line(self, record: dict[str, Any]) -> None:
        line = json.dumps(record, allow_nan=False, separators=(",", ":")) + "\n"
        self._file.write(line.encode("utf-8"))
        os.fsync(self._file.fileno())

    def append(self, trials: Iterable[Trial]) -> None:
        """Writes one line per finished trial, each flushed to the disk."""
        for trial in trials:
            record = trial_to_record(trial)
            self._write_line(record)
            self.records[trial.number] = record

    def close(self) -> None:
        """Releases the lock and closes the file."""
        if not self._file.closed:
            self._file.close()

    def __enter__(self) -> Journal:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
