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
import math
import os
import re
import shlex
import shutil
import signal
import sys
import threading
from collections.abc import Sequence
from typing import Any, cast

from .command_runner import CommandObjective, CommandNotFound, TrialFailed, Children
from .command_template import CommandTemplate, UsageError, format_value
from .journal import Journal, JournalError, JournalMismatch, read_journal, recorded_method
from .methods import DEFAULT_METHOD, METHODS, Method, method_class
from .minimize import minimize
from .optimizer import Direction, Trial
from .pruners import PRUNER_NAMES, HyperbandPruner, MedianPruner, Pruner, SuccessiveHalvingPruner
from .results import Result, load, rank_trials
from .settings import RunSettings
from .space import Categorical, Space
from .space_json import space_from_json
from .table import to_csv

__all__ = ["main"]

DEFAULT_JOURNAL = "vordaopt-run.jsonl"


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
    objectives, constraints = _objectives(args)
    # A resumed run goes on with its journal's method unless told otherwise.
    method = cast(Method, args.method or recorded_method(args.journal) or DEFAULT_METHOD)
    try:
        pruner = _pruner(args)
        batched = method in METHODS and method_class(method).batched
        settings = RunSettings.checked(space, args.budget, seed=args.seed, method=method,
                                       direction=direction,
                                       parallel=1 if batched else args.parallel, pruner=pruner,
                                       objectives=objectives, constraints=constraints)
        if args.timeout is not None and not args.timeout >= 0:
            raise ValueError(f"--timeout must be a non-negative number of seconds, got {args.timeout}")
        if args.trial_timeout is not None and not args.trial_timeout > 0:
            raise ValueError(f"--trial-timeout must be a positive number of seconds, got "
                             f"{args.trial_timeout}")
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    children = Children()
    objective = CommandObjective(template, trial_timeout=args.trial_timeout,
                                 workdir=args.workdir, children=children,
                                 metrics=objectives is not None)
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
                              parallel=settings.parallel, pruner=pruner,
                              objectives=objectives, constraints=constraints)
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
    return 0 if result.pareto_front else 1


_LIMIT = re.compile(r"^\s*([^<>=\s]+)\s*(<=|>=)\s*(\S+)\s*$")


def _objectives(args: argparse.Namespace) -> tuple[dict[str, Direction] | None,
                                                   dict[str, tuple[float | None, float | None]] | None]:
    """The objectives and constraints of `--objective NAME:DIRECTION` and `--constraint 'NAME<=X'`."""
    if not args.objective and not args.constraint:
        return None, None
    if not args.objective:
        raise UsageError("--constraint needs --objective NAME:minimize (or :maximize)")
    if args.maximize:
        raise UsageError("--maximize does not combine with --objective: give NAME:maximize")
    objectives: dict[str, Direction] = {}
    for text in args.objective:
        name, _, direction = text.rpartition(":")
        if not name or direction not in ("minimize", "maximize") or name in objectives:
            raise UsageError(f"--objective {text!r}: give NAME:minimize or NAME:maximize, "
                             "each name once")
        objectives[name] = cast(Direction, direction)
    limits: dict[str, list[float | None]] = {}
    for text in args.constraint:
        match = _LIMIT.match(text)
        try:
            bound = float(match.group(3)) if match else math.nan
        except ValueError:
            bound = math.nan
        if match is None or not math.isfinite(bound):
            raise UsageError(f"--constraint {text!r}: give NAME<=NUMBER or NAME>=NUMBER")
        pair = limits.setdefault(match.group(1), [None, None])
        pair[1 if match.group(2) == "<=" else 0] = bound
    return objectives, {name: (low, high) for name, (low, high) in limits.items()} or None


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
    if result.several_objectives:
        front = result.pareto_front
        print(f"Pareto front: {len(front)} trials (vordaopt show lists them)" if front
              else "no feasible trial completed")
        return
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
        out = {"number": t.number, "value": t.value, "params": t.params}
        if t.metrics is not None:
            out["metrics"] = t.metrics
        return out

    several = result.several_objectives
    return {
        "journal": path,
        "settings": settings,
        "best": None if several or result.best is None else brief(result.best),
        "top": [] if several else [brief(t) for t in ranked if t.feasible][:10],
        **({"front": [brief(t) for t in result.pareto_front]} if several else {}),
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
    if args.csv:
        run = load(args.journal)
        space = run.space.names if run.space is not None else ()
        sys.stdout.write(to_csv(run.trials, space, run.objectives))
        return 0
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
    if "front" in summary:
        _show_front(summary["front"], list(settings["objectives"]))
        return 0
    if summary["best"] is None:
        print("no trial completed")
        return 0
    best = summary["best"]
    print(f"best: trial {best['number']}, value {best['value']!r}, "
          + ", ".join(f"{k}={format_value(v)}" for k, v in best["params"].items()))
    names = _param_names(summary["top"])
    rows = [[str(t["number"]), f"{t['value']:.6g}"] + [_cell(t["params"], n) for n in names]
            for t in summary["top"]]
    head = ["trial", "value"] + names
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(head)]
    print()
    print("  ".join(h.rjust(w) for h, w in zip(head, widths)))
    for r in rows:
        print("  ".join(c.rjust(w) for c, w in zip(r, widths)))
    return 0


def _param_names(trials: list[dict[str, Any]]) -> list[str]:
    """Every parameter some listed trial has (a conditional one is absent from others), sorted."""
    return sorted({name for t in trials for name in t["params"]})


def _cell(params: dict[str, Any], name: str) -> str:
    """A parameter's text in a table; "-" where the trial left it inactive."""
    return format_value(params[name]) if name in params else "-"


def _show_front(front: list[dict[str, Any]], objectives: list[str]) -> None:
    """The Pareto front as a table: trial, each objective, the parameters."""
    if not front:
        print("no feasible trial completed")
        return
    print(f"Pareto front: {len(front)} trials")
    names = _param_names(front)
    rows = [[str(t["number"])] + [f"{t['metrics'][o]:.6g}" for o in objectives]
            + [_cell(t["params"], n) for n in names] for t in front]
    head = ["trial", *objectives, *names]
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(head)]
    print()
    print("  ".join(h.rjust(w) for h, w in zip(head, widths)))
    for r in rows:
        print("  ".join(c.rjust(w) for c, w in zip(r, widths)))


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
            "parallel": plot.parallel_coordinates, "intermediate": plot.intermediate,
            "front": plot.front}[args.kind]
    try:
        figure = draw(args.journal)
    except ValueError as exc:  # a front of a run of one objective
        raise UsageError(str(exc)) from None
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
    run.add_argument("--objective", action="append", default=[], metavar="NAME:DIRECTION",
                     help="a metric of the JSON object the command prints last, to minimize "
                          "or maximize (repeat for several objectives)")
    run.add_argument("--constraint", action="append", default=[], metavar="'NAME<=X'",
                     help="a limit a metric must meet, NAME<=X or NAME>=X (repeatable)")
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
    shown = show.add_mutually_exclusive_group()
    shown.add_argument("--json", action="store_true", help="print JSON for scripts")
    shown.add_argument("--csv", action="store_true", help="print every trial as CSV")
    show.set_defaults(handler=_show)

    plot = sub.add_parser("plot", help="plot a run's journal (needs vordaopt[plot])")
    plot.add_argument("journal")
    plot.add_argument("-o", "--output", required=True, help="the image file to write")
    plot.add_argument("--kind", choices=("convergence", "slices", "parallel", "intermediate",
                                         "front"),
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
