"""Following a journal while a run writes it (for a live view of the run).

Each :meth:`JournalTail.poll` reads what was appended since the last one and
returns the new, checked lines. A last line without its line feed is a line
still being written: it is left for a later poll. A file that was replaced
(another inode) or cut shorter than what was read is read again from its
start, and the update says so, so that a viewer starts afresh. A damaged
line is skipped and counted, not fatal: a viewer shows what it can.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
from typing import Any

from .journal import FORMAT_VERSION, _MAGIC, _check_record, _is_count

__all__ = ["JournalTail", "TailUpdate"]

#: Bytes read by one poll at most: a journal of 100,000 trials (about 60 MB)
#: loads in one poll, and a larger one in steps, in bounded memory.
READ_LIMIT = 1 << 28


@dataclass
class TailUpdate:
    """What one poll found."""

    reset: bool = False
    """The file was replaced or cut: forget what earlier polls returned."""
    header: dict[str, Any] | None = None
    """The header, when this poll read it (first poll, or after a reset)."""
    records: list[dict[str, Any]] = field(default_factory=list)
    """New trial lines, in the order written."""
    budgets: list[int] = field(default_factory=list)
    """New budget raises."""
    skipped: list[str] = field(default_factory=list)
    """Why each new line that could not be used was skipped."""


class JournalTail:
    """Reads a journal in steps as it grows.

    Parameters
    ----------
    path : path-like
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        self._identity: tuple[int, int] | None = None
        self._offset = 0
        self._line = 0
        self.header: dict[str, Any] | None = None
        self._seen: set[int] = set()

    def _restart(self) -> None:
        self._identity, self._offset, self._line = None, 0, 0
        self.header = None
        self._seen.clear()

    def poll(self) -> TailUpdate:
        """The lines appended since the last poll (at most READ_LIMIT bytes of them)."""
        update = TailUpdate()
        try:
            with open(self.path, "rb") as f:
                info = os.fstat(f.fileno())
                identity = (info.st_dev, info.st_ino)
                if self._identity is not None and (identity != self._identity
                                                   or info.st_size < self._offset):
                    self._restart()
                    update.reset = True
                self._identity = identity
                f.seek(self._offset)
                data = f.read(READ_LIMIT)
        except FileNotFoundError:
            if self._identity is not None:
                self._restart()
                update.reset = True
            return update
        end = data.rfind(b"\n")
        if end < 0:
            return update  # nothing complete yet
        for raw in data[:end].split(b"\n"):
            self._line += 1
            self._take(raw, update)
        self._offset += end + 1
        return update

    def _take(self, raw: bytes, update: TailUpdate) -> None:
        try:
            line = json.loads(raw)
        except ValueError:
            update.skipped.append(f"line {self._line} is not valid JSON")
            return
        if self.header is None:
            if not isinstance(line, dict) or line.get(_MAGIC) != FORMAT_VERSION:
                update.skipped.append(f"line {self._line} is not a journal header")
                return
            self.header = update.header = line
            return
        if isinstance(line, dict) and set(line) == {"budget"} and _is_count(line["budget"]):
            update.budgets.append(line["budget"])
            return
        space = self.header.get("space")
        why = _check_record(line, sorted(space) if isinstance(space, dict) else None)
        if why is None and line["number"] in self._seen:
            why = f"trial {line['number']} is recorded twice"
        if why is not None:
            update.skipped.append(f"line {self._line}: {why}")
            return
        self._seen.add(line["number"])
        update.records.append(line)
