"""Following a journal as it grows: torn lines wait, replaced or cut files start afresh."""

import json
import os

from vordaopt import Real, minimize
from vordaopt.journal_tail import JournalTail


def journal_lines(tmp_path, trials=6):
    path = tmp_path / "source.jsonl"
    minimize(lambda p: p["x"] ** 2, {"x": Real(-1, 1)}, trials, seed=1, journal=path)
    return path.read_bytes().splitlines(keepends=True)


def test_new_lines_arrive_in_order_and_a_torn_line_waits(tmp_path):
    lines = journal_lines(tmp_path)
    path = tmp_path / "run.jsonl"
    tail = JournalTail(path)
    assert tail.poll().records == []  # no file yet
    path.write_bytes(lines[0] + lines[1] + lines[2][:20])
    first = tail.poll()
    assert first.header is not None and [r["number"] for r in first.records] == [0]
    with open(path, "ab") as f:
        f.write(lines[2][20:] + lines[3])
        f.write(b'{"budget": 10}\n')
    second = tail.poll()
    assert second.header is None and not second.reset
    assert [r["number"] for r in second.records] == [1, 2] and second.budgets == [10]
    assert tail.poll().records == []


def test_a_replaced_or_cut_file_is_read_again_from_its_start(tmp_path):
    lines = journal_lines(tmp_path)
    path = tmp_path / "run.jsonl"
    path.write_bytes(b"".join(lines[:4]))
    tail = JournalTail(path)
    assert len(tail.poll().records) == 3
    # Replaced by a new file (another inode), as a rotation would.
    replacement = tmp_path / "new.jsonl"
    replacement.write_bytes(b"".join(lines[:2]))
    os.replace(replacement, path)
    update = tail.poll()
    assert update.reset and update.header is not None and len(update.records) == 1
    # Cut shorter in place.
    with open(path, "r+b") as f:
        f.truncate(len(lines[0]))
    update = tail.poll()
    assert update.reset and update.header is not None and update.records == []
    path.unlink()
    assert tail.poll().reset


def test_damaged_lines_are_skipped_and_named(tmp_path):
    lines = journal_lines(tmp_path)
    bad = json.loads(lines[2])
    bad["unit"] = "nowhere"
    path = tmp_path / "run.jsonl"
    path.write_bytes(lines[0] + lines[1] + json.dumps(bad).encode() + b"\n" + b"{oops\n"
                     + lines[1] + lines[3])
    update = JournalTail(path).poll()
    assert [r["number"] for r in update.records] == [0, 2]
    assert update.skipped == ['line 3: "unit" must be a list of finite numbers',
                              "line 4 is not valid JSON", "line 5: trial 0 is recorded twice"]
