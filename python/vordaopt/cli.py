"""The command line: tune any program (`vordaopt run`), inspect a run (`show`), plot it (`plot`).

    vordaopt run SPACE.json --budget 100 -- python train.py --lr {lr} --depth {depth}
    vordaopt show vordaopt-run.jsonl [--json]
    vordaopt plot vordaopt-run.jsonl -o run.png [--kind convergence|slices|parallel|intermediate]
    vordaopt report vordaopt-run.jsonl -o report.html
    vordaopt dashboard vordaopt-run.jsonl|FOLDER [--port 8050] [--host 127.0.0.1]

A command may report as it trains by printing lines ``vordaopt-report STEP
VALUE`` on its standard output; with ``--pruner``, a trial that the pruner
gives up on is ended like one that runs past ``--trial-timeout``.

Exit status: 0 on success, 1 when the run fails (no trial completed, a bad
journal), 2 for wrong usage, 130 after Ctrl-C, 143 after SIGTERM and 129 after
SIGHUP (the running commands are ended, and the journal is left ready to
resume), 141 when the reader of the output goes away.
"""

from __future__ import annotations

import argparse
import concurrent.futures as cf
import json
import os
import selectors
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Sequence
from typing import Any, cast

from .journal import Journal, JournalError, JournalMismatch, read_journal, recorded_method
from .methods import DEFAULT_METHOD, METHODS, Method, method_class
from .minimize import Unrecorded, minimize
from .optimizer import Direction, Trial
from .pruners import (PRUNER_NAMES, HyperbandPruner, MedianPruner, Pruner,
                      SuccessiveHalvingPruner, TrialPruned)
from .reporting import RunningTrial
from .results import Result, load, rank_trials
from .settings import RunSettings
from .space import Categorical, Space, space_from_json

__all__ = ["main", "CommandTemplate", "format_value"]

DEFAULT_JOURNAL = "vordaopt-run.jsonl"
STDERR_LINES = 20  # of a failed command's standard error, kept in the journal
STDERR_BYTES = 8192  # of its end, read into memory, from which those lines come
LINE_LIMIT = 4096  # bytes kept of one line of a command's output
EXIT_POLL = 0.05  # seconds between looks at whether a command that keeps its pipes quiet has ended
REPORT_PREFIX = b"vordaopt-report"  # a line "vordaopt-report STEP VALUE" reports a value


class UsageError(Exception):
    """A command line or space file that cannot be run (exit status 2)."""


# --- Placeholders ----------------------------------------------------------------------


def format_value(value: Any) -> str:
    """The text of a parameter value in a command: floats in their shortest form
    that reads back to the same value, integers as integers, choices as their text."""
    if isinstance(value, str):
        return value
    if isinstance(value, bool) or value is None:
        return json.dumps(value)
    if isinstance(value, float):
        return repr(value)
    return str(value)


def value_variable(index: int) -> str:
    """The environment variable through which --shell passes parameter `index` (name order)."""
    return f"VORDAOPT_VALUE_{index}"


class _ShellScanner:
    """Tracks the quoting context of a POSIX shell command, character by character.

    Enough of the shell's grammar to know, at each placeholder, whether it
    stands bare (at the top level or inside ``$( )``), inside double quotes,
    or where no variable can reach it (single quotes, backquotes).
    """

    def __init__(self) -> None:
        self._stack: list[list[Any]] = [["bare", 0]]  # context, open parentheses in it
        self._escaped = False
        self._previous = ""

    @property
    def context(self) -> str:
        return str(self._stack[-1][0])

    @property
    def balanced(self) -> bool:
        return len(self._stack) == 1 and not self._escaped

    def feed(self, text: str) -> None:
        for c in text:
            escaped = self._escaped
            self._step(c)
            self._previous = "" if escaped else c

    def _step(self, c: str) -> None:
        frame = self._stack[-1]
        context = frame[0]
        if self._escaped:
            self._escaped = False
            return
        if context == "single":
            if c == "'":
                self._stack.pop()
            return
        if c == "\\":
            self._escaped = True
        elif c == "`":
            if context == "backquote":
                self._stack.pop()
            else:
                self._stack.append(["backquote", 0])
        elif context == "backquote":
            return
        elif c == "(" and self._previous == "$":
            self._stack.append(["bare", 0])
        elif context == "double":
            if c == '"':
                self._stack.pop()
        elif c == "'":
            self._stack.append(["single", 0])
        elif c == '"':
            self._stack.append(["double", 0])
        elif c == "(":
            frame[1] += 1
        elif c == ")":
            if frame[1] > 0:
                frame[1] -= 1
            elif len(self._stack) > 1:
                self._stack.pop()  # the end of a $( ) substitution


class CommandTemplate:
    """A command whose arguments hold ``{name}`` placeholders; ``{{`` and ``}}`` are braces.

    Without a shell each argument is rendered on its own, and a value is never
    more or less than its text. With ``shell=True`` the arguments, joined by
    spaces, are one shell command, and no value ever becomes shell code: each
    placeholder turns into a reference to an environment variable holding the
    value (``"${VORDAOPT_VALUE_0}"``, or ``${VORDAOPT_VALUE_0}`` inside double
    quotes), so that every value reaches the program as one argument,
    unchanged, whatever it holds.

    Raises
    ------
    UsageError
        A placeholder names no parameter, a brace is unmatched, or (with a
        shell) a placeholder stands inside single quotes or backquotes, or the
        command's quotes are unbalanced.
    """

    def __init__(self, argv: Sequence[str], names: Sequence[str], *, shell: bool = False) -> None:
        if not argv:
            raise UsageError("no command given: put it after --, e.g. -- python train.py --lr {lr}")
        self.argv = list(argv)
        self.shell = shell
        self._index = {name: i for i, name in enumerate(names)}
        self._parts = [self._parse(arg, set(names)) for arg in self.argv]
        self.placeholders = {text for parts in self._parts for is_name, text in parts if is_name}
        # With a shell: the quoting context of every placeholder, in order.
        self._contexts: list[str] = self._scan() if shell else []

    @staticmethod
    def _parse(arg: str, names: set[str]) -> list[tuple[bool, str]]:
        """The argument as (is_placeholder, text) pieces."""
        parts: list[tuple[bool, str]] = []
        literal = []
        i = 0
        while i < len(arg):
            c = arg[i]
            if arg.startswith("{{", i) or arg.startswith("}}", i):
                literal.append(c)
                i += 2
            elif c == "{":
                end = arg.find("}", i)
                if end < 0:
                    raise UsageError(f"unmatched '{{' in {arg!r} (write {{{{ for a brace)")
                name = arg[i + 1:end]
                if name not in names:
                    raise UsageError(
                        f"placeholder {{{name}}} in {arg!r} names no parameter; the space has "
                        f"{', '.join(sorted(names))}")
                parts.append((False, "".join(literal)))
                literal = []
                parts.append((True, name))
                i = end + 1
            elif c == "}":
                raise UsageError(f"unmatched '}}' in {arg!r} (write }}}} for a brace)")
            else:
                literal.append(c)
                i += 1
        parts.append((False, "".join(literal)))
        return parts

    def _scan(self) -> list[str]:
        scanner = _ShellScanner()
        contexts = []
        for k, parts in enumerate(self._parts):
            if k:
                scanner.feed(" ")
            for is_name, text in parts:
                if not is_name:
                    scanner.feed(text)
                    continue
                if scanner.context in ("single", "backquote"):
                    where = "single quotes" if scanner.context == "single" else "backquotes"
                    raise UsageError(
                        f"placeholder {{{text}}} stands inside {where}, where the shell cannot "
                        "pass a value safely; write it bare or inside double quotes (vordaopt "
                        "passes each value as one argument), or use $( ) for backquotes")
                contexts.append(scanner.context)
                scanner.feed("x")  # a value is one word
        if not scanner.balanced:
            raise UsageError("the shell command has unbalanced quotes or a trailing backslash")
        return contexts

    def _render(self, params: dict[str, Any], placeholder: Any) -> list[str]:
        out = []
        contexts = iter(self._contexts)
        for parts in self._parts:
            pieces = []
            for is_name, text in parts:
                if is_name:
                    context = next(contexts) if self.shell else ""
                    pieces.append(placeholder(text, format_value(params[text]), context))
                else:
                    pieces.append(text)
            out.append("".join(pieces))
        return out

    def render(self, params: dict[str, Any]) -> list[str]:
        """The command's arguments for these values (with a shell: variable references)."""
        def reference(name: str, value: str, context: str) -> str:
            if not self.shell:
                return value
            variable = "${" + value_variable(self._index[name]) + "}"
            return variable if context == "double" else f'"{variable}"'

        return self._render(params, reference)

    def environment(self, params: dict[str, Any]) -> dict[str, str]:
        """The variables a shell command reads its values from."""
        if not self.shell:
            return {}
        return {value_variable(self._index[name]): format_value(params[name])
                for name in self.placeholders}

    def command_line(self, params: dict[str, Any]) -> str:
        """A line to paste into a shell that runs the command with these values."""
        if not self.shell:
            return shlex.join(self._render(params, lambda name, value, context: value))

        def quoted(name: str, value: str, context: str) -> str:
            # Inside double quotes: close them, add the value in single quotes, reopen.
            return f'"{shlex.quote(value)}"' if context == "double" else shlex.quote(value)

        return " ".join(self._render(params, quoted))


# --- Running one trial -------------------------------------------------------------------


class TrialFailed(Exception):
    """The command exited non-zero, timed out, was killed, or printed no number last."""


class CommandNotFound(Unrecorded):
    """The command cannot be started: the run stops, and the trial runs again on resume."""


class _Children:
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
                 workdir: str | None, children: _Children) -> None:
        self.template = template
        self.trial_timeout = trial_timeout
        self.workdir = workdir
        self.children = children
        self._counter = 0
        self._lock = threading.Lock()

    def __call__(self, params: dict[str, Any], trial: RunningTrial | None = None) -> float:
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
            return float(line)
        except ValueError:
            raise TrialFailed(
                f"the last line of its output is not a number: {line[:200]!r}"
                + _stderr_note(err)) from None


def _tail(data: bytes, lines: int = STDERR_LINES) -> str:
    text = data.decode("utf-8", "replace").rstrip("\n")
    return "\n".join(text.splitlines()[-lines:])


def _stderr_note(err: bytes) -> str:
    tail = _tail(err)
    return f"; last lines of stderr:\n{tail}" if tail else ""


# --- Subcommands ---------------------------------------------------------------------------


def _refuse_duplicate_keys(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    seen: dict[str, Any] = {}
    for key, value in pairs:
        if key in seen:
            raise ValueError(f"key {key!r} appears twice")
        seen[key] = value
    return seen


def _read_space(path: str) -> Space:
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as exc:
        raise UsageError(f"cannot read the space file {path}: {exc.strerror or exc}") from None
    try:
        document = json.loads(text, object_pairs_hook=_refuse_duplicate_keys)
    except ValueError as exc:
        raise UsageError(f"{path} is not a valid space file: {exc}") from None
    try:
        space = space_from_json(document)
    except (TypeError, ValueError) as exc:
        raise UsageError(f"{path}: {exc}") from None
    for name in space.names:
        kind = space[name]
        if isinstance(kind, Categorical) and any("\0" in format_value(c) for c in kind.choices):
            raise UsageError(f"{path}: parameter {name!r}: a choice holds a NUL character, "
                             "which no command argument can carry")
    return space


def _check_program(command: list[str], shell: bool, workdir: str | None) -> None:
    """Refuses, before any trial, a program that cannot be found."""
    program = command[0]
    if shell or "{" in program:
        return
    if os.sep in program:
        if workdir is not None and not os.path.isabs(program):
            return  # found, or not, from each trial's own folder
        if not (os.path.isfile(program) and os.access(program, os.X_OK)):
            raise UsageError(f"command not found: {program!r} is not an executable file")
    elif shutil.which(program) is None:
        raise UsageError(f"command not found: {program!r} is not on the PATH")


class _Stopped(KeyboardInterrupt):
    """SIGTERM or SIGHUP, handled as Ctrl-C is."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _raise_stopped(signum: int, frame: object) -> None:
    raise _Stopped(signum)


class _StopSignals:
    """Turns SIGTERM and SIGHUP into _Stopped while a run goes, unless they are ignored (nohup)."""

    def __enter__(self) -> None:
        self._previous: dict[int, Any] = {}
        if threading.current_thread() is not threading.main_thread():
            return
        for signum in (signal.SIGTERM, signal.SIGHUP):
            if signal.getsignal(signum) is not signal.SIG_IGN:
                self._previous[signum] = signal.signal(signum, _raise_stopped)

    def __exit__(self, *exc_info: object) -> None:
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)


def _run(args: argparse.Namespace) -> int:
    command = list(args.command)
    space = _read_space(args.space)
    template = CommandTemplate(command, space.names, shell=args.shell)
    _check_program(command, args.shell, args.workdir)
    for name in space.names:
        if name not in template.placeholders:
            print(f"vordaopt: warning: parameter {name!r} appears in no placeholder; the command "
                  "sees its value only in $VORDAOPT_PARAMS", file=sys.stderr)
    direction: Direction = "maximize" if args.maximize else "minimize"
    # A resumed run goes on with its journal's method unless told otherwise.
    method = cast(Method, args.method or recorded_method(args.journal) or DEFAULT_METHOD)
    try:
        pruner = _pruner(args)
        batched = method in METHODS and method_class(method).batched
        settings = RunSettings.checked(space, args.budget, seed=args.seed, method=method,
                                       direction=direction,
                                       parallel=1 if batched else args.parallel, pruner=pruner)
        if args.timeout is not None and not args.timeout >= 0:
            raise ValueError(f"--timeout must be a non-negative number of seconds, got {args.timeout}")
        if args.trial_timeout is not None and not args.trial_timeout > 0:
            raise ValueError(f"--trial-timeout must be a positive number of seconds, got "
                             f"{args.trial_timeout}")
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    children = _Children()
    objective = CommandObjective(template, trial_timeout=args.trial_timeout,
                                 workdir=args.workdir, children=children)
    header = settings.header(command=command, shell=args.shell)
    try:
        opened = Journal(args.journal, header)
    except JournalMismatch as exc:
        raise JournalMismatch(f"{exc}. To start a new run, name a new journal with "
                              "--journal NEW.jsonl") from None
    with _StopSignals(), opened as journal:
        if journal.resumed:
            print(f"resuming {args.journal}: {len(journal.lines)} trials recorded",
                  file=sys.stderr)
        pool = cf.ThreadPoolExecutor(args.parallel) if args.parallel > 1 else None
        try:
            result = minimize(objective, space, args.budget, seed=args.seed, method=method,
                              executor=pool, journal=journal,
                              progress=False if args.quiet else None,
                              timeout=args.timeout, catch=TrialFailed, direction=direction,
                              parallel=settings.parallel, pruner=pruner)
        except BaseException as exc:
            # The running commands end now; their trials stay unrecorded and
            # run again on resume.
            children.terminate_all()
            if isinstance(exc, CommandNotFound):
                raise UsageError(str(exc)) from None
            if not isinstance(exc, KeyboardInterrupt):
                raise
            signum = exc.signum if isinstance(exc, _Stopped) else signal.SIGINT
            print(f"\nstopped by {signal.Signals(signum).name}: {args.journal} holds every "
                  "finished trial; run the same command line again to resume", file=sys.stderr)
            return 128 + signum
        finally:
            if pool is not None:
                pool.shutdown(wait=True, cancel_futures=True)
    _print_outcome(result, template)
    return 0 if result.best is not None else 1


def _pruner(args: argparse.Namespace) -> Pruner | None:
    """The pruner of `vordaopt run`'s options (ValueError for settings out of range)."""
    given = {"--warmup-steps": args.warmup_steps, "--startup-trials": args.startup_trials,
             "--min-resource": args.min_resource, "--reduction-factor": args.reduction_factor,
             "--max-resource": args.max_resource}
    applies = {None: (), "median": ("--warmup-steps", "--startup-trials"),
               "asha": ("--min-resource", "--reduction-factor"),
               "hyperband": ("--min-resource", "--reduction-factor", "--max-resource")}
    stray = [flag for flag, v in given.items() if v is not None and flag not in applies[args.pruner]]
    if stray:
        raise ValueError(f"{', '.join(stray)} {'does' if len(stray) == 1 else 'do'} not apply "
                         f"to --pruner {args.pruner or '(none)'}")
    chosen = {flag[2:].replace("-", "_"): v for flag, v in given.items() if v is not None}
    if args.pruner == "median":
        return MedianPruner(**{("n_" + k): v for k, v in chosen.items()})
    if args.pruner == "asha":
        return SuccessiveHalvingPruner(**chosen)
    if args.pruner == "hyperband":
        if args.max_resource is None:
            raise ValueError("--pruner hyperband needs --max-resource, the step at which a "
                             "trial is fully trained")
        return HyperbandPruner(**chosen)
    return None


def _print_outcome(result: Result, template: CommandTemplate) -> None:
    pruned = f", {result.n_pruned} pruned" if result.n_pruned else ""
    print(f"{result.n_trials} trials, {result.n_evaluations} runs of the command, "
          f"{result.n_failed} failed{pruned}")
    if result.best is None:
        print("no trial completed")
        return
    print(f"best: trial {result.best.number}, value {result.best.value!r}")
    for name, value in result.best.params.items():
        print(f"  {name} = {format_value(value)}")
    print("reproduce it with:")
    print(f"  {template.command_line(result.best.params)}")


def _summary(path: str) -> dict[str, Any]:
    header, _ = read_journal(path)
    result = load(path)
    ranked = rank_trials(result.trials, result.direction)
    settings = {k: v for k, v in header.items() if k != "vordaopt_journal"}

    def brief(t: Trial) -> dict[str, Any]:
        return {"number": t.number, "value": t.value, "params": t.params}

    return {
        "journal": path,
        "settings": settings,
        "best": None if result.best is None else brief(result.best),
        "top": [brief(t) for t in ranked[:10]],
        "counts": {
            "trials": result.n_trials,
            "complete": len(ranked),
            "failed": result.n_failed,
            "reused": result.n_reused,
            "pruned": result.n_pruned,
            "evaluations": result.n_evaluations,
        },
    }


def _show(args: argparse.Namespace) -> int:
    summary = _summary(args.journal)
    if args.json:
        print(json.dumps(summary, indent=2))
        return 0
    settings = summary["settings"]
    counts = summary["counts"]
    print(f"journal {summary['journal']}")
    print("settings: " + ", ".join(f"{k}={json.dumps(settings[k])}" for k in
                                   ("budget", "seed", "method", "direction", "parallel", "schedule",
                                    "probe_ratio") if k in settings))
    if "command" in settings:
        print(f"command: {shlex.join(settings['command'])}")
    pruned = f", {counts['pruned']} pruned" if counts["pruned"] else ""
    print(f"trials: {counts['trials']} ({counts['complete']} complete, {counts['failed']} failed, "
          f"{counts['reused']} reused{pruned})")
    if summary["best"] is None:
        print("no trial completed")
        return 0
    best = summary["best"]
    print(f"best: trial {best['number']}, value {best['value']!r}, "
          + ", ".join(f"{k}={format_value(v)}" for k, v in best["params"].items()))
    names = list(best["params"])
    rows = [[str(t["number"]), f"{t['value']:.6g}"] + [format_value(t["params"].get(n)) for n in names]
            for t in summary["top"]]
    head = ["trial", "value"] + names
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(head)]
    print()
    print("  ".join(h.rjust(w) for h, w in zip(head, widths)))
    for r in rows:
        print("  ".join(c.rjust(w) for c, w in zip(r, widths)))
    return 0


def _plot(args: argparse.Namespace) -> int:
    from . import plot

    try:
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError:
        raise ImportError('vordaopt plot needs matplotlib: pip install "vordaopt[plot]"') from None
    formats = FigureCanvasBase.get_supported_filetypes()
    extension = os.path.splitext(args.output)[1][1:].lower()
    if extension not in formats:
        raise UsageError(
            f"cannot write {args.output!r}: the file name must end in one of "
            f"{', '.join('.' + f for f in sorted(formats))}")
    draw = {"convergence": plot.convergence, "slices": plot.slices,
            "parallel": plot.parallel_coordinates, "intermediate": plot.intermediate}[args.kind]
    figure = draw(args.journal)
    figure.savefig(args.output, dpi=120, bbox_inches="tight")
    print(args.output)
    return 0


def _report(args: argparse.Namespace) -> int:
    from .dashboard import write_report

    write_report(args.journal, args.output)
    print(args.output)
    return 0


def _dashboard(args: argparse.Namespace) -> int:
    from .dashboard import serve

    if not os.path.exists(args.path):
        raise UsageError(f"no journal or folder {args.path}")
    serve(args.path, args.host, args.port)
    return 0


def _port(text: str) -> int:
    if not text.isdigit() or int(text) > 65535:
        raise argparse.ArgumentTypeError(f"a port is a number from 0 to 65535, got {text!r}")
    return int(text)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vordaopt", description="Tune any program's parameters with vordaopt.")
    sub = parser.add_subparsers(dest="subcommand", required=True)

    run = sub.add_parser(
        "run", help="tune a command",
        usage="vordaopt run SPACE.json --budget N [options] -- COMMAND [ARG ...]",
        description="Run COMMAND once per trial with {name} placeholders replaced by values "
                    "(also in $VORDAOPT_PARAMS as JSON); its value is the last non-empty line "
                    "of its standard output.")
    run.add_argument("space", metavar="SPACE.json", help="the search space (JSON)")
    run.add_argument("--budget", type=int, required=True, help="number of trials")
    run.add_argument("--seed", type=int, default=0)
    run.add_argument("--method", choices=METHODS, default=None,
                     help="the search method (default auto; a resumed run: its journal's)")
    run.add_argument("--mode", choices=METHODS, dest="method", help=argparse.SUPPRESS)
    run.add_argument("--parallel", type=int, default=1, metavar="K",
                     help="commands at once (batch: a batch's trials; the other methods: "
                          "parallel rounds)")
    run.add_argument("--journal", default=DEFAULT_JOURNAL,
                     help=f"the run's journal; an existing one is resumed (default {DEFAULT_JOURNAL})")
    run.add_argument("--timeout", type=float, metavar="SEC", help="start no trial after SEC seconds")
    run.add_argument("--trial-timeout", type=float, metavar="SEC",
                     help="a command running longer fails its trial")
    run.add_argument("--maximize", action="store_true", help="maximise the value")
    run.add_argument("--pruner", choices=PRUNER_NAMES,
                     help="stop trials whose reports (lines 'vordaopt-report STEP VALUE') trail")
    run.add_argument("--warmup-steps", type=int, metavar="N",
                     help="median: act on reports from step N on (default 0)")
    run.add_argument("--startup-trials", type=int, metavar="N",
                     help="median: act once N trials are complete (default 5)")
    run.add_argument("--min-resource", type=int, metavar="N",
                     help="asha, hyperband: the step of the first rung (default 1)")
    run.add_argument("--reduction-factor", type=int, metavar="N",
                     help="asha, hyperband: keep the best 1/N at each rung (default 3)")
    run.add_argument("--max-resource", type=int, metavar="N",
                     help="hyperband: the step at which a trial is fully trained")
    run.add_argument("--shell", action="store_true",
                     help="run the command through /bin/sh; each value is passed in an "
                          "environment variable, never as shell code")
    run.add_argument("--workdir", metavar="DIR", help="run each trial in a folder of its own under DIR")
    run.add_argument("--quiet", action="store_true", help="no progress bar")
    run.set_defaults(handler=_run)

    show = sub.add_parser("show", help="summarise a run's journal")
    show.add_argument("journal")
    show.add_argument("--json", action="store_true", help="print JSON for scripts")
    show.set_defaults(handler=_show)

    plot = sub.add_parser("plot", help="plot a run's journal (needs vordaopt[plot])")
    plot.add_argument("journal")
    plot.add_argument("-o", "--output", required=True, help="the image file to write")
    plot.add_argument("--kind", choices=("convergence", "slices", "parallel", "intermediate"),
                      default="convergence")
    plot.set_defaults(handler=_plot)

    report = sub.add_parser("report", help="write every view of a run into one HTML file")
    report.add_argument("journal")
    report.add_argument("-o", "--output", required=True, help="the HTML file to write")
    report.set_defaults(handler=_report)

    dashboard = sub.add_parser("dashboard", help="a local web page that follows runs as they go")
    dashboard.add_argument("path", help="a journal, or a folder of journals (*.jsonl)")
    dashboard.add_argument("--port", type=_port, default=8050,
                           help="the port to listen on (default 8050; 0 takes a free one)")
    dashboard.add_argument("--host", default="127.0.0.1",
                           help="the address to listen on (default 127.0.0.1, or ::1: this "
                                "machine only)")
    dashboard.set_defaults(handler=_dashboard)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """The entry point of the ``vordaopt`` command."""
    parser = _parser()
    words = list(sys.argv[1:] if argv is None else argv)
    # Everything after the first "--" is the command, options included.
    command: list[str] = []
    if "--" in words:
        cut = words.index("--")
        words, command = words[:cut], words[cut + 1:]
    args = parser.parse_args(words)
    args.command = command
    if getattr(args, "parallel", 1) < 1:
        parser.error("--parallel must be at least 1")
    try:
        status: int = args.handler(args)
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        # The reader went away (`vordaopt show run.jsonl | head`): stop quietly,
        # as a writer killed by SIGPIPE would.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 128 + signal.SIGPIPE
    except UsageError as exc:
        print(f"vordaopt: error: {exc}", file=sys.stderr)
        return 2
    except (JournalError, OSError) as exc:
        print(f"vordaopt: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except ImportError as exc:
        print(f"vordaopt: error: {exc}", file=sys.stderr)
        return 1
