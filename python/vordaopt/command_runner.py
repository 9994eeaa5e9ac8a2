"""Running one trial's command: its output, its reports, its time limit, its end.

The command's last line of standard output is its value (a number, or a
JSON object of metrics for a run with named objectives); lines
``vordaopt-report STEP VALUE`` on the way are reports for the pruner. A
command that exits non-zero, times out, is killed or prints no number last
fails the trial, with the last lines of its standard error kept.
"""

from __future__ import annotations

import json
import os
import selectors
import signal
import subprocess
import threading
import time
from typing import Any

from .command_template import CommandTemplate
from .minimize import Unrecorded
from .pruners import TrialPruned
from .reporting import RunningTrial

__all__ = ["Children", "CommandNotFound", "CommandObjective", "TrialFailed"]

STDERR_LINES = 20  # of a failed command's standard error, kept in the journal
STDERR_BYTES = 8192  # of its end, read into memory, from which those lines come
LINE_LIMIT = 4096  # bytes kept of one line of a command's output
EXIT_POLL = 0.05  # seconds between looks at whether a command that keeps its pipes quiet has ended
REPORT_PREFIX = b"vordaopt-report"  # a line "vordaopt-report STEP VALUE" reports a value


class TrialFailed(Exception):
    """The command exited non-zero, timed out, was killed, or printed no number last."""


class CommandNotFound(Unrecorded):
    """The command cannot be started: the run stops, and the trial runs again on resume."""


class Children:
    """The commands running now, so that a signal to vordaopt can end them all."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._procs: set[subprocess.Popen[bytes]] = set()
        self.stopping = False

    def add(self, proc: subprocess.Popen[bytes]) -> None:
        with self._lock:
            if self.stopping:
                _terminate(proc)
            self._procs.add(proc)

    def discard(self, proc: subprocess.Popen[bytes]) -> None:
        with self._lock:
            self._procs.discard(proc)

    def terminate_all(self) -> None:
        with self._lock:
            self.stopping = True
            procs = list(self._procs)
        for proc in procs:
            _terminate(proc)


def _terminate(proc: subprocess.Popen[bytes]) -> None:
    """Ends a command and everything it started (its own process group)."""
    try:
        os.killpg(proc.pid, signal.SIGTERM)
        proc.wait(timeout=3)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


class _LastLine:
    """The last non-empty line of a stream fed in chunks, in bounded memory.

    A line longer than LINE_LIMIT bytes keeps its beginning only and is
    marked, since no such line is a number.
    """

    def __init__(self, on_report: Any = None) -> None:
        self.last = b""
        self.last_cut = False
        self._partial = bytearray()
        self._partial_cut = False
        self._on_report = on_report  # called with each report line; never the last line
        self.reports = 0

    def feed(self, chunk: bytes) -> None:
        *complete, rest = chunk.split(b"\n")
        for piece in complete:
            self._extend(piece)
            self._close_line()
        self._extend(rest)

    def _extend(self, piece: bytes) -> None:
        room = LINE_LIMIT - len(self._partial)
        if len(piece) > room:
            self._partial_cut = True
        self._partial += piece[:max(room, 0)]

    def _close_line(self) -> None:
        if self._on_report is not None and self._partial.startswith(REPORT_PREFIX):
            line = bytes(self._partial)
            self._partial.clear()
            self._partial_cut = False
            self.reports += 1
            self._on_report(line)
            return
        if self._partial.strip():
            self.last, self.last_cut = bytes(self._partial), self._partial_cut
        self._partial.clear()
        self._partial_cut = False

    def finish(self) -> tuple[str, bool]:
        """The last line's text and whether it was cut."""
        self._close_line()
        return self.last.decode("utf-8", "replace").strip(), self.last_cut


def _read_output(proc: subprocess.Popen[bytes], deadline: float | None,
                 on_report: Any = None) -> tuple[_LastLine, bytes]:
    """Reads the command's standard output and error as they come, until the command ends.

    Keeps the last line of the output and the last STDERR_BYTES of the error,
    whatever the command prints; hands each report line to `on_report` as it
    comes (which may raise to stop reading). Raises subprocess.TimeoutExpired
    at `deadline`.
    """
    out = _LastLine(on_report)
    err = bytearray()

    def take(stream: Any, chunk: bytes) -> None:
        nonlocal err
        if stream is proc.stdout:
            out.feed(chunk)
        else:
            err += chunk
            del err[:-STDERR_BYTES]

    with selectors.DefaultSelector() as selector:
        for stream in (proc.stdout, proc.stderr):
            selector.register(stream, selectors.EVENT_READ)  # type: ignore[arg-type]
        while selector.get_map():
            if proc.poll() is not None:
                # The command has ended: what it wrote is in the pipes now. A
                # child it left running may hold them open for hours; the trial
                # ends with the command, not with that child.
                for key in list(selector.get_map().values()):
                    os.set_blocking(key.fd, False)
                    while True:
                        try:
                            chunk = os.read(key.fd, 65536)
                        except BlockingIOError:
                            break
                        if not chunk:
                            break
                        take(key.fileobj, chunk)
                break
            wait = EXIT_POLL
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise subprocess.TimeoutExpired(proc.args, 0)
                wait = min(left, EXIT_POLL)
            for key, _ in selector.select(wait):
                chunk = os.read(key.fd, 65536)
                if not chunk:
                    selector.unregister(key.fileobj)
                else:
                    take(key.fileobj, chunk)
    return out, bytes(err)


def _exit_text(status: int) -> str:
    if status < 0:
        try:
            name = signal.Signals(-status).name
        except ValueError:
            name = "an unknown signal"
        return f"killed by signal {-status} ({name})"
    if status == 127:
        return "exit status 127 (command not found)"
    return f"exit status {status}"


class _StopCommand(Exception):
    """Raised from a report line: the command is to be ended, for `outcome`."""

    def __init__(self, outcome: Exception) -> None:
        super().__init__(str(outcome))
        self.outcome = outcome


def _reporter(trial: RunningTrial) -> Any:
    """Reads a report line into `trial`; raises _StopCommand when the command must end."""

    def on_report(line: bytes) -> None:
        fields = line.split()
        try:
            if len(fields) != 3 or fields[0] != REPORT_PREFIX or not fields[1].isdigit():
                raise ValueError  # a step is plain digits: int() would also read "1_0" or "+1"
            step, value = int(fields[1]), float(fields[2])
        except ValueError:
            text = line[:200].decode("utf-8", "replace")
            raise _StopCommand(TrialFailed(
                f"a report line must read 'vordaopt-report STEP VALUE' (STEP a whole number "
                f"in digits), "
                f"got {text!r}")) from None
        try:
            trial.report(value, step)
        except (ValueError, TypeError) as exc:
            raise _StopCommand(TrialFailed(str(exc))) from None
        if trial.should_prune():
            raise _StopCommand(TrialPruned(f"pruned after step {step}"))

    return on_report


class CommandObjective:
    """Runs the command for one trial and reads its value from the last line of its output.

    Report lines (``vordaopt-report STEP VALUE``) go to the running trial as
    they come; when its pruner advises stopping, the command is ended.
    """

    def __init__(self, template: CommandTemplate, *, trial_timeout: float | None,
                 workdir: str | None, children: Children, metrics: bool = False) -> None:
        self.template = template
        self.metrics = metrics  # the run names its objectives: a JSON object is read
        self.trial_timeout = trial_timeout
        self.workdir = workdir
        self.children = children
        self._counter = 0
        self._lock = threading.Lock()

    def __call__(self, params: dict[str, Any],
                 trial: RunningTrial | None = None) -> float | dict[str, Any]:
        args = self.template.render(params)
        env = dict(os.environ, VORDAOPT_PARAMS=json.dumps(params),
                   **self.template.environment(params))
        cwd = None
        if self.workdir is not None:
            with self._lock:
                self._counter += 1
                cwd = os.path.join(self.workdir, f"trial-{os.getpid()}-{self._counter}")
            os.makedirs(cwd, exist_ok=True)
        command: Any = " ".join(args) if self.template.shell else args
        # A session of its own: a signal to vordaopt reaches vordaopt alone,
        # which then ends the commands, their children included.
        try:
            proc = subprocess.Popen(command, shell=self.template.shell, cwd=cwd, env=env,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, start_new_session=True)
        except (FileNotFoundError, PermissionError, NotADirectoryError) as exc:
            why = "command not found" if isinstance(exc, FileNotFoundError) else exc.strerror
            raise CommandNotFound(f"{why}: {args[0]!r}") from None
        self.children.add(proc)
        deadline = None if self.trial_timeout is None else time.monotonic() + self.trial_timeout
        try:
            try:
                out, err = _read_output(proc, deadline,
                                        None if trial is None else _reporter(trial))
                proc.wait(None if deadline is None else max(deadline - time.monotonic(), 0))
            except _StopCommand as stop:
                _terminate(proc)
                raise stop.outcome from None
            except subprocess.TimeoutExpired:
                _terminate(proc)
                _, err = _read_output(proc, time.monotonic() + 2)
                raise TrialFailed(
                    f"timed out after {self.trial_timeout:g} s" + _stderr_note(err)) from None
            except BaseException:  # a signal while waiting in the main thread
                _terminate(proc)
                raise
        finally:
            self.children.discard(proc)
            for stream in (proc.stdout, proc.stderr):
                if stream is not None:
                    stream.close()
        if proc.returncode != 0:
            raise TrialFailed(_exit_text(proc.returncode) + _stderr_note(err))
        line, cut = out.finish()
        if not line:
            if out.reports:
                raise TrialFailed(
                    f"the command printed {out.reports} report line(s) and no value after them: "
                    "the last line of its output must be the value" + _stderr_note(err))
            raise TrialFailed("the command printed nothing" + _stderr_note(err))
        try:
            if cut:
                raise ValueError
            if line.lstrip().startswith("{"):
                metrics = json.loads(line)
                if not isinstance(metrics, dict):
                    raise ValueError
                if not self.metrics:
                    raise TrialFailed("the command printed a JSON object of metrics; name the "
                                      "objective with --objective NAME:minimize")
                return metrics
            return float(line)
        except ValueError:  # json.JSONDecodeError is one
            raise TrialFailed(
                f"the last line of its output is not a number or a JSON object of metrics: "
                f"{line[:200]!r}" + _stderr_note(err)) from None


def _tail(data: bytes, lines: int = STDERR_LINES) -> str:
    text = data.decode("utf-8", "replace").rstrip("\n")
    return "\n".join(text.splitlines()[-lines:])


def _stderr_note(err: bytes) -> str:
    tail = _tail(err)
    return f"; last lines of stderr:\n{tail}" if tail else ""
