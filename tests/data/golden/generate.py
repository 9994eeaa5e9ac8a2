"""Writes the golden runs: the bytes of a journal and what each method was told.

Each case drives an `Optimizer` by ask and tell alone, with no clock, so
every byte is a function of the code. A case is one method under one set of
settings (`parallel`, `schedule`, `reevaluate`, a pruner), with failures and
prunes injected by trial number, results told in a shuffled order, the run
interrupted with trials pending and resumed from its journal, then resumed
again with a raised budget. Further cases exhaust a six-point space.

The journal keeps finished trials only; the values a method is told for a
failed, pruned or pending trial (its stand-ins and liars) never reach it. So
each file also lists, in order, every result the search engines underneath
were told: the core solver's records (its scratch solvers' included) and
the observations of the GP, CMA-ES and the trust region.

    python tests/data/golden/generate.py            # rewrites the files here
    python tests/data/golden/generate.py --check     # compares, writes nothing

A change that moves a method's trials on purpose regenerates its files in
the same commit and says why.
"""

from __future__ import annotations

import argparse
import contextlib
import hashlib
import pathlib
import random
import sys
import tempfile
import zlib
from collections.abc import Callable, Iterator
from typing import Any

HERE = pathlib.Path(__file__).resolve().parent

BUDGET = 24
RAISED_BUDGET = 32
INTERRUPT_AFTER = 9  # results told before the first interruption
LONG_DOCUMENT = 700  # characters: a few records


def mixed_space() -> dict[str, Any]:
    from vordaopt import Categorical, Int, Real

    return {"c": Categorical(["a", "b", "c"]), "n": Int(0, 5), "x": Real(-3.0, 3.0)}


def continuous_space(d: int) -> dict[str, Any]:
    from vordaopt import Real

    return {f"x{i}": Real(-2.0, 2.0) for i in range(d)}


def finite_space() -> dict[str, Any]:
    from vordaopt import Categorical, Int

    return {"c": Categorical(["a", "b"]), "n": Int(0, 2)}


def value_of(params: dict[str, Any]) -> float:
    total = 0.0
    for name, v in sorted(params.items()):
        if isinstance(v, str):
            total += 0.5 * "abc".index(v)
        elif name == "n":
            total += 0.3 * (v - 2) ** 2
        else:
            total += (v - 0.7) ** 2 + 0.1 * abs(v)
    return total


def tell_one(opt: Any, trial: Any, pruning: bool) -> None:
    """Tells `trial`: a failure, a prune or its value, by its number and the pruner's advice."""
    value = value_of(trial.params)
    if trial.number % 7 == 3:
        opt.tell(trial, RuntimeError("injected failure"))
        return
    for step in (1, 2, 3):
        if opt.report(trial, value + 1.0 / step, step):
            opt.tell(trial, pruned=True)
            return
    if not pruning and trial.number % 11 == 5:
        opt.tell(trial, pruned=True)
        return
    opt.tell(trial, value, cost=0.25)


def drive(opt: Any, rng: random.Random, pruning: bool, stop_after: int | None = None) -> None:
    """Asks and tells until the run is over, or until `stop_after` results are told."""
    pending: list[Any] = []
    told = 0
    while stop_after is None or told < stop_after:
        handed = opt.ask()
        if handed is None:
            assert not pending, "the run ended with trials pending"
            return
        pending += handed
        if not pending:
            raise AssertionError("ask handed out nothing with nothing pending")
        if opt.schedule == "async":
            picks = [pending.pop(rng.randrange(len(pending)))]
        else:
            rng.shuffle(pending)
            picks, pending = pending, []
        for trial in picks:
            tell_one(opt, trial, pruning)
            told += 1
            if stop_after is not None and told >= stop_after:
                return


# --- what the engines are told ---------------------------------------------------------


class _Log:
    def __init__(self) -> None:
        self.lines: list[str] = []

    def add(self, text: str) -> None:
        self.lines.append(text)


def _document(document: str) -> str:
    # A scratch solver is seeded with the whole history again, each round:
    # long documents are pinned by a digest, so the files grow linearly.
    if len(document) <= LONG_DOCUMENT:
        return document
    return f"[{document.count('{\"params\"')} records, sha256 {hashlib.sha256(document.encode()).hexdigest()[:16]}]"


def _observation(tag: str, unit: Any, value: float) -> str:
    return f"{tag} observe {' '.join(map(repr, unit))} -> {value!r}"


@contextlib.contextmanager
def recording(log: _Log) -> Iterator[None]:
    """Routes the engines' entry points through recorders while the block runs."""
    import vordaopt.methods.batch as batch_module
    import vordaopt.methods.cma as cma_module
    import vordaopt.methods.gp as gp_module
    import vordaopt.methods.local as local_module
    import vordaopt.methods.online as online_module

    real_solver, real_cma, real_tr = online_module.Solver, cma_module.Cma, local_module.TrustRegion
    real_gp_observe = gp_module.GpMethod.observe_point

    class Solver:
        # A solver is recorded when it is first used: one built and never
        # asked or told plays no part in a run.
        def __init__(self, config: str) -> None:
            self._inner = real_solver(config)
            self._config: str | None = config

        def _used(self) -> None:
            if self._config is not None:
                log.add(f"solver new {self._config}")
                self._config = None

        def seed(self, document: str) -> None:
            self._used()
            log.add(f"solver seed {_document(document)}")
            self._inner.seed(document)

        def tell(self, document: str) -> None:
            self._used()
            log.add(f"solver tell {_document(document)}")
            self._inner.tell(document)

        def __getattr__(self, name: str) -> Any:
            self._used()
            return getattr(self._inner, name)

    def engine(real: Callable[..., Any], tag: str) -> Callable[..., Any]:
        class Recorded:
            def __init__(self, *args: Any, **kwargs: Any) -> None:
                self._inner = real(*args, **kwargs)
                log.add(f"{tag} new")

            def observe(self, unit: Any, value: float) -> None:
                log.add(_observation(tag, unit, value))
                self._inner.observe(unit, value)

            def warm_start(self, points: list[float], values: list[float]) -> None:
                log.add(f"{tag} warm_start {len(values)} results")
                self._inner.warm_start(points, values)

            def __getattr__(self, name: str) -> Any:
                return getattr(self._inner, name)

        return Recorded

    def gp_observe(self: Any, unit: Any, value: float) -> None:
        log.add(_observation("gp", unit, value))
        real_gp_observe(self, unit, value)

    batch_module.Solver = online_module.Solver = Solver
    cma_module.Cma = engine(real_cma, "cma")
    local_module.TrustRegion = engine(real_tr, "trust_region")
    gp_module.GpMethod.observe_point = gp_observe
    try:
        yield
    finally:
        batch_module.Solver = online_module.Solver = real_solver
        cma_module.Cma = real_cma
        local_module.TrustRegion = real_tr
        gp_module.GpMethod.observe_point = real_gp_observe


# --- the cases -------------------------------------------------------------------------


def cases() -> dict[str, dict[str, Any]]:
    """Every case by file name: the optimizer's settings and the driving plan."""
    out: dict[str, dict[str, Any]] = {}
    for method in ("auto", "batch", "cma", "gp", "online"):
        for parallel in (1, 4):
            for schedule in ("rounds", "async"):
                if method == "batch" and (parallel != 1 or schedule != "rounds"):
                    continue
                for reevaluate in (False, True):
                    for pruner in ("none", "median"):
                        name = (f"{method}-p{parallel}-{schedule}-"
                                f"{'reevaluate' if reevaluate else 'reuse'}-{pruner}")
                        out[name] = dict(space="mixed", method=method, parallel=parallel,
                                         schedule=schedule, reevaluate=reevaluate, pruner=pruner,
                                         resume=True)
        for parallel in ((1,) if method == "batch" else (1, 4)):
            out[f"{method}-p{parallel}-finite"] = dict(
                space="finite", method=method, parallel=parallel, schedule="rounds",
                reevaluate=False, pruner="none", resume=False)
    # "auto" on continuous spaces: the trust region then CMA-ES, and CMA-ES from the start.
    out["auto-local-then-cma"] = dict(space="continuous3", method="auto", parallel=1,
                                      schedule="rounds", reevaluate=False, pruner="none",
                                      resume=True)
    out["auto-cma-long"] = dict(space="continuous2", method="auto", parallel=4, schedule="rounds",
                                reevaluate=False, pruner="none", resume=False, budget=240)
    return out


def _space(kind: str) -> dict[str, Any]:
    if kind == "mixed":
        return mixed_space()
    if kind == "finite":
        return finite_space()
    return continuous_space(int(kind.removeprefix("continuous")))


def run_case(name: str, case: dict[str, Any], directory: pathlib.Path) -> bytes:
    """The golden bytes of one case: its journal, then what the engines were told."""
    from vordaopt import MedianPruner, Optimizer

    path = directory / f"{name}.jsonl"
    rng = random.Random(zlib.crc32(name.encode()))
    pruning = case["pruner"] == "median"
    log = _Log()

    def open_run(budget: int) -> Any:
        return Optimizer(_space(case["space"]), budget, seed=7, method=case["method"],
                         parallel=case["parallel"], schedule=case["schedule"],
                         reevaluate=case["reevaluate"],
                         pruner=MedianPruner(n_startup_trials=3) if pruning else None,
                         journal=path)

    budget = case.get("budget", BUDGET)
    with recording(log):
        if case["resume"]:
            log.add("# interrupted")
            with open_run(budget) as opt:
                drive(opt, rng, pruning, stop_after=INTERRUPT_AFTER)
            log.add("# resumed")
            with open_run(budget) as opt:
                drive(opt, rng, pruning)
            log.add("# resumed with a raised budget")
            with open_run(RAISED_BUDGET) as opt:
                drive(opt, rng, pruning)
        else:
            with open_run(budget) as opt:
                drive(opt, rng, pruning)
    return (b"# journal\n" + path.read_bytes() + b"# told\n"
            + "".join(line + "\n" for line in log.lines).encode())


def produce(names: list[str] | None = None) -> dict[str, bytes]:
    """The golden bytes of every case (or of `names`), by file name."""
    chosen = cases()
    out: dict[str, bytes] = {}
    with tempfile.TemporaryDirectory() as scratch:
        for name, case in chosen.items():
            if names is None or name in names:
                out[f"{name}.golden"] = run_case(name, case, pathlib.Path(scratch))
    return out


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare with the files here; write nothing")
    args = parser.parse_args()
    produced = produce()
    if args.check:
        differ = [n for n, data in produced.items()
                  if not (HERE / n).exists() or (HERE / n).read_bytes() != data]
        stale = sorted(p.name for p in HERE.glob("*.golden") if p.name not in produced)
        for n in differ + stale:
            print(f"differs: {n}")
        return 1 if differ or stale else 0
    for old in HERE.glob("*.golden"):
        if old.name not in produced:
            old.unlink()
    for n, data in produced.items():
        (HERE / n).write_bytes(data)
    print(f"wrote {len(produced)} files to {HERE}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
