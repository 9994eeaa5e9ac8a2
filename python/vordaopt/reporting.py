"""The running trial an objective may take: it reports values and asks whether to stop.

In the process of the run (no executor, or a thread pool) a report goes
straight to the optimizer. A trial sent to another process (a process pool,
Dask, Ray) travels as a handle that reaches the optimizer through a socket
on 127.0.0.1, served by the run and closed with it, and guarded by a random
key: the same calls, one round trip each.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Callable
from multiprocessing.connection import Client, Connection, Listener
from typing import TYPE_CHECKING, Any

from ._numbers import is_real

if TYPE_CHECKING:
    from .optimizer import Optimizer

__all__ = ["RunningTrial", "ReportServer"]


class RunningTrial:
    """The trial being evaluated, as its objective sees it.

    An objective that takes a second argument gets one: it calls
    :meth:`report` as it trains and stops (raising
    :class:`~vordaopt.TrialPruned`) when :meth:`should_prune` says so.

    Attributes
    ----------
    number : int
        The trial's number in the run.
    params : dict
        Its parameters (the objective's own copy is its first argument).
    """

    def __init__(self, number: int, params: dict[str, Any],
                 reporter: Callable[[float, int], bool], server: ReportServer | None = None) -> None:
        self.number = number
        self.params = dict(params)
        self._reporter = reporter  # (value, step) -> whether to stop
        self._server = server
        self._stop = False

    def report(self, value: float, step: int) -> None:
        """Records the trial's value at `step` (an increasing integer: an epoch, a round).

        Raises
        ------
        ValueError
            The step is not an integer larger than the trial's previous one.
        TypeError
            The value is not a real number.
        """
        self._stop = self._reporter(value, step)

    def should_prune(self) -> bool:
        """Whether the run's pruner advises stopping the trial, after its last report."""
        return self._stop

    def __reduce__(self) -> tuple[Any, ...]:
        # In another process the trial reports through the run's socket.
        reporter = self._reporter
        if not isinstance(reporter, _SocketReporter):
            if self._server is None:
                raise TypeError("a running trial can be sent to another process only by the run "
                                "that handed it out")
            self._server.accept_connections()
            reporter = _SocketReporter(self._server.address, self._server.key, self.number)
        return (RunningTrial, (self.number, self.params, reporter))

    def __repr__(self) -> str:
        return f"RunningTrial(number={self.number}, params={self.params!r})"


# One connection per run and worker process, shared by the trials it runs
# (Dask runs several in threads of one process).
_connections: dict[tuple[Any, bytes], tuple[Connection, threading.Lock]] = {}
_connections_lock = threading.Lock()


class _SocketReporter:
    """Sends one trial's reports to the run over its socket, and reads back the advice."""

    def __init__(self, address: Any, key: bytes, number: int) -> None:
        self._address, self._key, self._number = address, key, number

    def __reduce__(self) -> tuple[Any, ...]:
        return (_SocketReporter, (self._address, self._key, self._number))

    def _connection(self) -> tuple[Connection, threading.Lock]:
        with _connections_lock:
            link = _connections.get((self._address, self._key))
            if link is None:
                link = _connections[(self._address, self._key)] = (
                    Client(self._address, authkey=self._key), threading.Lock())
            return link

    def __call__(self, value: float, step: int) -> bool:
        connection, lock = self._connection()
        sent = float(value) if is_real(value) else value
        try:
            with lock:
                connection.send((self._number, sent, step))
                answer = connection.recv()
        except (OSError, EOFError) as exc:
            raise RuntimeError(f"trial {self._number} lost its connection to the run "
                               f"({type(exc).__name__}: {exc})") from None
        if answer[0] == "error":
            raise (TypeError if answer[1] == "TypeError" else ValueError)(answer[2])
        return bool(answer[1])


class ReportServer:
    """Takes the reports of trials running in other processes, for one run."""

    def __init__(self, optimizer: Optimizer) -> None:
        self._optimizer = optimizer
        self.key = os.urandom(32)
        self._listener = Listener(("127.0.0.1", 0), authkey=self.key)
        self.address = self._listener.address
        self._closing = False
        self._accepting = False
        self._start_lock = threading.Lock()

    def accept_connections(self) -> None:
        """Starts the thread that takes connections, once, when the first trial is sent.

        Not earlier: a process pool forks its workers on its first submit, and
        a fork while this process has other threads may deadlock the child
        (connections wait in the socket's backlog until then).
        """
        with self._start_lock:
            if not self._accepting and not self._closing:
                self._accepting = True
                threading.Thread(target=self._accept, name="vordaopt-reports", daemon=True).start()

    def _accept(self) -> None:
        while True:
            try:
                connection = self._listener.accept()
            except Exception:  # noqa: BLE001 - a peer without the key, or the listener closed
                if self._closing:
                    return
                continue
            if self._closing:
                connection.close()
                return
            threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    def _serve(self, connection: Connection) -> None:
        with connection:
            while True:
                try:
                    number, value, step = connection.recv()
                except (OSError, EOFError, ValueError, TypeError):
                    return
                try:
                    answer: tuple[Any, ...] = ("ok", self._optimizer.report(number, value, step))
                except (ValueError, TypeError) as exc:
                    answer = ("error", type(exc).__name__, str(exc))
                try:
                    connection.send(answer)
                except OSError:
                    return

    def close(self) -> None:
        """Stops taking new connections; a served one ends when its worker process closes it."""
        with self._start_lock:
            self._closing = True
            accepting = self._accepting
        if accepting:
            try:
                Client(self.address, authkey=self.key).close()  # wakes the accepting thread
            except OSError:
                pass
        self._listener.close()
