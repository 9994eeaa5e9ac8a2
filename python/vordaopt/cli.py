"""The command line: tune any program (`vordaopt run`), inspect a run (`show`), plot it (`plot`).

    vordaopt run SPACE.json --budget 100 -- python train.py --lr {lr} --depth {depth}
    vordaopt show vordaopt-run.jsonl [--json]
    vordaopt plot vordaopt-run.jsonl -o run.png [--kind convergence|slices|parallel]

Exit status: 0 on success, 1 when the run fails (no trial completed, a bad
journal), 2 for wrong usage, 130 after Ctrl-C.
"""

from __future__ import annotations

import argparse
import concurrent.futures as cf
import json
import os
import shlex
import signal
import subprocess
import sys
import threading
from collections.abc import Sequence
from typing import Any

from .journal import Journal, JournalError
from .minimize import Result, load, minimize, rank_trials, run_header
from .optimizer import Direction, Optimizer, Trial
from .space import Space, space_from_json

__all__ = ["main", "CommandTemplate", "format_value"]

DEFAULT_JOURNAL = "vordaopt-run.jsonl"
STDERR_LINES = 20  # of a failed command's standard error, kept in the journal


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


class CommandTemplate:
    """A command whose arguments hold ``{name}`` placeholders; ``{{`` and ``}}`` are braces.

    Raises
    ------
    UsageError
        A placeholder names no parameter, or a brace is unmatched.
    """

    def __init__(self, argv: Sequence[str], names: Sequence[str], *, shell: bool = False) -> None:
        if not argv:
            raise UsageError("no command given: put it after --, e.g. -- python train.py --lr {lr}")
        self.argv = list(argv)
        self.shell = shell
        self._parts = [self._parse(arg, set(names)) for arg in self.argv]

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

    def render(self, params: dict[str, Any]) -> list[str]:
        """The command's arguments for these values (quoted for the shell with --shell)."""
        out = []
        for parts in self._parts:
            pieces = []
            for is_name, text in parts:
                if is_name:
                    value = format_value(params[text])
                    pieces.append(shlex.quote(value) if self.shell else value)
                else:
                    pieces.append(text)
            out.append("".join(pieces))
        return out

    def command_line(self, params: dict[str, Any]) -> str:
        """A line to paste into a shell that runs the command with these values."""
        args = self.render(params)
        if self.shell:
            return " ".join(args)
        return shlex.join(args)


# --- Running one trial -------------------------------------------------------------------


class TrialFailed(Exception):
    """The command exited non-zero, timed out, or printed no number last."""


class _Children:
    """The commands running now, so that Ctrl-C can end them all."""

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


def _tail(data: bytes, lines: int = STDERR_LINES) -> str:
    text = data.decode("utf-8", "replace").rstrip("\n")
    return "\n".join(text.splitlines()[-lines:])


class CommandObjective:
    """Runs the command for one trial and reads its value from the last line of its output."""

    def __init__(self, template: CommandTemplate, *, trial_timeout: float | None,
                 workdir: str | None, children: _Children) -> None:
        self.template = template
        self.trial_timeout = trial_timeout
        self.workdir = workdir
        self.children = children
        self._counter = 0
        self._lock = threading.Lock()

    def __call__(self, params: dict[str, Any]) -> float:
        args = self.template.render(params)
        env = dict(os.environ, VORDAOPT_PARAMS=json.dumps(params))
        cwd = None
        if self.workdir is not None:
            with self._lock:
                self._counter += 1
                cwd = os.path.join(self.workdir, f"trial-{os.getpid()}-{self._counter}")
            os.makedirs(cwd, exist_ok=True)
        command: Any = " ".join(args) if self.template.shell else args
        # A session of its own: Ctrl-C reaches vordaopt alone, which then ends
        # the commands, their children included.
        proc = subprocess.Popen(command, shell=self.template.shell, cwd=cwd, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, start_new_session=True)
        self.children.add(proc)
        try:
            try:
                out, err = proc.communicate(timeout=self.trial_timeout)
            except subprocess.TimeoutExpired:
                _terminate(proc)
                out, err = proc.communicate()
                raise TrialFailed(
                    f"timed out after {self.trial_timeout:g} s" + _stderr_note(err)) from None
            except BaseException:  # Ctrl-C while waiting in the main thread
                _terminate(proc)
                raise
        finally:
            self.children.discard(proc)
        if proc.returncode != 0:
            raise TrialFailed(f"exit status {proc.returncode}" + _stderr_note(err))
        lines = [line for line in out.decode("utf-8", "replace").splitlines() if line.strip()]
        if not lines:
            raise TrialFailed("the command printed nothing" + _stderr_note(err))
        try:
            value = float(lines[-1].strip())
        except ValueError:
            raise TrialFailed(
                f"the last line of its output is not a number: {lines[-1].strip()[:200]!r}"
                + _stderr_note(err)) from None
        return value


def _stderr_note(err: bytes) -> str:
    tail = _tail(err)
    return f"; last lines of stderr:\n{tail}" if tail else ""


# --- Subcommands ---------------------------------------------------------------------------


def _read_space(path: str) -> Space:
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as exc:
        raise UsageError(f"cannot read the space file: {exc}") from None
    try:
        document = json.loads(text)
    except ValueError as exc:
        raise UsageError(f"{path} is not valid JSON: {exc}") from None
    try:
        return space_from_json(document)
    except (TypeError, ValueError) as exc:
        raise UsageError(f"{path}: {exc}") from None


def _run(args: argparse.Namespace) -> int:
    command = list(args.command)
    space = _read_space(args.space)
    template = CommandTemplate(command, space.names, shell=args.shell)
    direction: Direction = "maximize" if args.maximize else "minimize"
    try:
        settings = Optimizer(space, args.budget, seed=args.seed, mode=args.mode,
                             direction=direction, parallel=args.parallel if args.mode == "online" else 1)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    children = _Children()
    objective = CommandObjective(template, trial_timeout=args.trial_timeout,
                                 workdir=args.workdir, children=children)
    header = run_header(settings, command=command, shell=args.shell)
    with Journal(args.journal, header) as journal:
        if journal.resumed:
            print(f"resuming {args.journal}: {len(journal.lines)} trials recorded",
                  file=sys.stderr)
        pool = cf.ThreadPoolExecutor(args.parallel) if args.parallel > 1 else None
        try:
            result = minimize(objective, space, args.budget, seed=args.seed, mode=args.mode,
                              executor=pool, journal=journal, progress=not args.quiet,
                              timeout=args.timeout, catch=TrialFailed, direction=direction,
                              parallel=settings.parallel)
        except BaseException as exc:
            # The running commands end now; their trials stay unrecorded and
            # run again on resume.
            children.terminate_all()
            if not isinstance(exc, KeyboardInterrupt):
                raise
            print(f"\ninterrupted: {args.journal} holds every finished trial; run the same "
                  "command line again to resume", file=sys.stderr)
            return 130
        finally:
            if pool is not None:
                pool.shutdown(wait=True, cancel_futures=True)
    _print_outcome(result, template)
    return 0 if result.best is not None else 1


def _print_outcome(result: Result, template: CommandTemplate) -> None:
    print(f"{result.n_trials} trials, {result.n_evaluations} runs of the command, "
          f"{result.n_failed} failed")
    if result.best is None:
        print("no trial completed")
        return
    print(f"best: trial {result.best.number}, value {result.best.value!r}")
    for name, value in result.best.params.items():
        print(f"  {name} = {format_value(value)}")
    print("reproduce it with:")
    print(f"  {template.command_line(result.best.params)}")


def _summary(path: str) -> dict[str, Any]:
    from .journal import read_journal

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
                                   ("budget", "seed", "mode", "direction", "parallel", "schedule",
                                    "probe_ratio") if k in settings))
    if "command" in settings:
        print(f"command: {shlex.join(settings['command'])}")
    print(f"trials: {counts['trials']} ({counts['complete']} complete, {counts['failed']} failed, "
          f"{counts['reused']} reused)")
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

    draw = {"convergence": plot.convergence, "slices": plot.slices,
            "parallel": plot.parallel_coordinates}[args.kind]
    figure = draw(args.journal)
    figure.savefig(args.output, dpi=120, bbox_inches="tight")
    print(args.output)
    return 0


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
    run.add_argument("--mode", choices=("batch", "online"), default="batch")
    run.add_argument("--parallel", type=int, default=1, metavar="K",
                     help="commands at once (online: parallel rounds; batch: a batch's trials)")
    run.add_argument("--journal", default=DEFAULT_JOURNAL,
                     help=f"the run's journal; an existing one is resumed (default {DEFAULT_JOURNAL})")
    run.add_argument("--timeout", type=float, metavar="SEC", help="start no trial after SEC seconds")
    run.add_argument("--trial-timeout", type=float, metavar="SEC",
                     help="a command running longer fails its trial")
    run.add_argument("--maximize", action="store_true", help="maximise the value")
    run.add_argument("--shell", action="store_true",
                     help="run the command through /bin/sh, each value quoted")
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
    plot.add_argument("--kind", choices=("convergence", "slices", "parallel"),
                      default="convergence")
    plot.set_defaults(handler=_plot)
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
        return status
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
