"""Executors: any concurrent.futures.Executor, a Dask client, or Ray through a small adapter."""

from __future__ import annotations

import concurrent.futures as cf
import pickle
from collections.abc import Callable, Mapping
from typing import Any

from .space import Categorical, Kind

__all__ = ["RayExecutor", "TrialPool", "as_executor", "check_picklable", "is_pickling_error"]


class RayExecutor(cf.Executor):
    """Runs each call as a Ray task and hands back Ray's own future for it.

    Ray must be initialised (``ray.init()``) before the first call. Pass it to
    :func:`~vordaopt.minimize` as ``executor=RayExecutor()``; ``num_cpus``
    sets the CPUs each task reserves.

    Examples
    --------
    >>> import ray  # doctest: +SKIP
    >>> ray.init(num_cpus=2)  # doctest: +SKIP
    >>> minimize(objective, space, 100, mode="online", parallel=2,
    ...          executor=RayExecutor())  # doctest: +SKIP
    """

    def __init__(self, *, num_cpus: float = 1) -> None:
        try:
            import ray  # type: ignore[import-not-found, import-untyped, unused-ignore]
        except ImportError:
            raise ImportError(
                "RayExecutor needs Ray: pip install \"vordaopt[ray]\"") from None
        self._ray = ray
        self._num_cpus = num_cpus
        self._remote: dict[Callable[..., Any], Any] = {}

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> cf.Future[Any]:
        remote = self._remote.get(fn)
        if remote is None:
            remote = self._remote[fn] = self._ray.remote(num_cpus=self._num_cpus)(fn)
        future: cf.Future[Any] = remote.remote(*args, **kwargs).future()
        return future


def _is_dask_client(executor: object) -> bool:
    return type(executor).__module__.startswith("distributed") and hasattr(executor, "get_executor")


def as_executor(executor: Any) -> cf.Executor | None:
    """The executor to submit to: a Dask client becomes its executor (never reusing results)."""
    if executor is None or isinstance(executor, cf.Executor):
        return executor
    if _is_dask_client(executor):
        # By default Dask would hand back the result of an identical earlier
        # call instead of running the objective again.
        dask_executor: cf.Executor = executor.get_executor(pure=False)
        return dask_executor
    raise TypeError(
        f"executor must be a concurrent.futures.Executor or a Dask Client, got "
        f"{type(executor).__name__}")


def check_picklable(objective: object, space: Mapping[str, Kind], executor: cf.Executor | None) -> None:
    """Refuses, before any trial runs, an objective or a categorical choice that the
    executor cannot ship to a worker."""
    if executor is None or isinstance(executor, cf.ThreadPoolExecutor):
        return
    module = type(executor).__module__
    if isinstance(executor, cf.ProcessPoolExecutor):
        dumps: Callable[[object], bytes] = pickle.dumps
        where = "a process pool"
    elif module.startswith(("distributed", "ray")) or isinstance(executor, RayExecutor):
        import cloudpickle  # type: ignore[import-not-found, import-untyped, unused-ignore]

        dumps = cloudpickle.dumps
        where = "a cluster"
    else:
        return
    try:
        dumps(objective)
    except Exception as exc:
        raise TypeError(
            f"the objective cannot be pickled for {where} ({type(exc).__name__}: {exc}); "
            "define it at module level, or use a thread pool") from None
    for name, kind in space.items():
        if not isinstance(kind, Categorical):
            continue
        for choice in kind.choices:
            try:
                dumps(choice)
            except Exception as exc:
                raise TypeError(
                    f"parameter {name!r}: choice {choice!r} cannot be pickled for {where} "
                    f"({type(exc).__name__}: {exc}); use picklable choices (their names, say), "
                    "or a thread pool") from None


def is_pickling_error(exc: BaseException) -> bool:
    """Whether an executor's failure is one of pickling a call or its result."""
    if isinstance(exc, pickle.PicklingError):
        return True
    return isinstance(exc, (TypeError, AttributeError)) and "pickle" in str(exc).lower()


def _process_pool_settings(pool: cf.ProcessPoolExecutor) -> dict[str, Any]:
    # ProcessPoolExecutor keeps its arguments only in private attributes; a
    # missing one falls back to the default.
    settings: dict[str, Any] = {
        "max_workers": getattr(pool, "_max_workers", None),
        "mp_context": getattr(pool, "_mp_context", None),
        "initializer": getattr(pool, "_initializer", None),
        "initargs": getattr(pool, "_initargs", ()),
    }
    tasks = getattr(pool, "_max_tasks_per_child", None)
    if tasks is not None:
        settings["max_tasks_per_child"] = tasks
    return settings


class TrialPool:
    """The executor a run submits its trials to.

    A process pool is broken for good once one of its workers dies. The run
    then replaces it with a fresh pool of the same settings, which it owns
    and shuts down at its end; the caller's pool is left as it is. Other
    executors are used as they are.
    """

    def __init__(self, executor: cf.Executor) -> None:
        self.executor = executor
        self._made: list[cf.ProcessPoolExecutor] = []

    @property
    def can_replace(self) -> bool:
        return isinstance(self.executor, cf.ProcessPoolExecutor)

    @property
    def is_broken(self) -> bool:
        return bool(getattr(self.executor, "_broken", False))

    def submit(self, fn: Callable[..., Any], /, *args: Any) -> cf.Future[Any]:
        try:
            return self.executor.submit(fn, *args)
        except cf.BrokenExecutor:
            if not self.can_replace:
                raise
            self.replace()
            return self.executor.submit(fn, *args)

    def replace(self) -> None:
        """Swaps a broken process pool for a fresh one (nothing happens to a healthy one)."""
        old = self.executor
        if not isinstance(old, cf.ProcessPoolExecutor) or not self.is_broken:
            return
        new = cf.ProcessPoolExecutor(**_process_pool_settings(old))
        self._made.append(new)
        self.executor = new
        if old in self._made:
            old.shutdown(wait=False, cancel_futures=True)

    def close(self) -> None:
        """Shuts down the pools this run made."""
        for pool in self._made:
            pool.shutdown(wait=True, cancel_futures=True)
        self._made.clear()
