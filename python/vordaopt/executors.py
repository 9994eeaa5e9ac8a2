"""Executors: any concurrent.futures.Executor, a Dask client, or Ray through a small adapter."""

from __future__ import annotations

import concurrent.futures as cf
import pickle
from collections.abc import Callable
from typing import Any

__all__ = ["RayExecutor", "as_executor", "check_picklable"]


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


def check_picklable(objective: object, executor: cf.Executor | None) -> None:
    """Refuses, before any trial runs, an objective that the executor cannot ship to a worker."""
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
