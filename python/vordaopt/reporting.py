"""The running trial an objective may take: it reports values and asks whether to stop.

In the process of the run (no executor, or a thread pool) a report goes
straight to the optimizer. A trial sent to another process (a process pool,
Dask, Ray) travels as a handle that reaches the optimizer through a socket
on 127.0.0.1, served by the run and closed with it, and guarded by a random
key: the same calls, one round trip each.
"""

from __future__ import annotations

import contextlib
import os
import pickle
import socket
import struct
import threading
from collections.abc import Callable
from multiprocessing import AuthenticationError
from multiprocessing.connection import (Client, Connection, answer_challenge,
                                        deliver_challenge)
from typing import TYPE_CHECKING, Any

from ._numbers import reported_value

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


def _drop_closed_connections() -> None:
    """Closes the connections of runs that have ended (their server closed them).

    A connection is used by one request at a time and answered before the
    next: an idle one that has something to read holds only the end of file.
    """
    for address, (connection, lock) in list(_connections.items()):
        if lock.acquire(blocking=False):
            try:
                if connection.closed or connection.poll(0):
                    connection.close()
                    del _connections[address]
            except OSError:
                del _connections[address]
            finally:
                lock.release()


class _SocketReporter:
    """Sends one trial's reports to the run over its socket, and reads back the advice.

    Each copy that arrives in a process is one attempt at the trial: when an
    engine runs a trial again (Dask does when a worker dies), the new
    attempt's first report starts the trial's curve afresh.
    """

    def __init__(self, address: Any, key: bytes, number: int) -> None:
        self._address, self._key, self._number = address, key, number
        self._attempt = os.urandom(8)

    def __reduce__(self) -> tuple[Any, ...]:
        return (_SocketReporter, (self._address, self._key, self._number))

    def _connection(self) -> tuple[Connection, threading.Lock]:
        with _connections_lock:
            link = _connections.get((self._address, self._key))
            if link is None:
                _drop_closed_connections()
                link = _connections[(self._address, self._key)] = (
                    Client(self._address, authkey=self._key), threading.Lock())
            return link

    def __call__(self, value: float, step: int) -> bool:
        # Read here, in the trial's own process: the run receives a float or
        # nothing, and a value that cannot be read fails the trial alone.
        sent = reported_value(self._number, value, step)
        connection, lock = self._connection()
        try:
            with lock:
                connection.send((self._number, self._attempt, sent, step))
                answer = connection.recv()
        except (OSError, EOFError) as exc:
            raise RuntimeError(f"trial {self._number} lost its connection to the run "
                               f"({type(exc).__name__}: {exc})") from None
        if answer[0] == "error":
            raise (TypeError if answer[1] == "TypeError" else ValueError)(answer[2])
        return bool(answer[1])


# Seconds a new connection has to prove it holds the run's key.
HANDSHAKE_TIMEOUT = 5


def _io_timeout(sock: socket.socket, seconds: int) -> None:
    """Makes reads and writes on `sock` fail after `seconds` (0: wait as long as it takes)."""
    limit = struct.pack("ll", seconds, 0)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, limit)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, limit)


class ReportServer:
    """Takes the reports of trials running in other processes, for one run.

    Each connection proves it holds the run's key in a thread of its own,
    within HANDSHAKE_TIMEOUT: a local process that connects and says nothing
    holds up nobody. Closing the server ends every connection and thread.
    """

    def __init__(self, optimizer: Optimizer) -> None:
        self._optimizer = optimizer
        self.key = os.urandom(32)
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.address = self._listener.getsockname()
        self._closing = False
        self._accepting = False
        self._lock = threading.Lock()
        self._open: set[socket.socket] = set()  # connections being served
        self._threads: list[threading.Thread] = []
        self._attempts: dict[int, bytes] = {}  # trial -> the attempt that reports now

    def accept_connections(self) -> None:
        """Starts the thread that takes connections, once, when the first trial is sent.

        Not earlier: a process pool forks its workers on its first submit, and
        a fork while this process has other threads may deadlock the child
        (connections wait in the socket's backlog until then).
        """
        with self._lock:
            if not self._accepting and not self._closing:
                self._accepting = True
                self._start(self._accept, "vordaopt-reports")

    def _start(self, target: Callable[..., None], name: str, *args: Any) -> None:
        thread = threading.Thread(target=target, name=name, args=args, daemon=True)
        self._threads = [t for t in self._threads if t.is_alive()] + [thread]
        thread.start()

    def _accept(self) -> None:
        while True:
            try:
                sock, _ = self._listener.accept()
            except OSError:
                if self._closing:
                    return
                continue
            with self._lock:
                if self._closing:
                    sock.close()
                    return
                self._open.add(sock)
                self._start(self._serve, "vordaopt-report", sock)

    def _serve(self, sock: socket.socket) -> None:
        try:
            # A time limit the kernel keeps (the connection reads its descriptor
            # directly, so the socket's own timeout would not reach it).
            _io_timeout(sock, HANDSHAKE_TIMEOUT)
            connection = Connection(os.dup(sock.fileno()))
            with connection:
                try:
                    deliver_challenge(connection, self.key)
                    answer_challenge(connection, self.key)
                except (OSError, EOFError, AuthenticationError):
                    return
                _io_timeout(sock, 0)
                self._answer_reports(connection)
        finally:
            with self._lock:
                self._open.discard(sock)
            sock.close()

    def _answer_reports(self, connection: Connection) -> None:
        while True:
            try:
                message = connection.recv_bytes()
            except (OSError, EOFError):
                return
            try:
                connection.send(self._answer(message))
            except OSError:
                return

    def _answer(self, message: bytes) -> tuple[Any, ...]:
        """The answer to one report: ("ok", whether to stop) or ("error", kind, text)."""
        try:
            number, attempt, value, step = pickle.loads(message)
        except Exception:  # noqa: BLE001 - whatever was sent, the connection goes on
            return ("error", "ValueError", "the run could not read a report")
        try:
            with self._lock:
                restarted = self._attempts.get(number, attempt) != attempt
                self._attempts[number] = attempt
            if restarted:
                self._optimizer.restart_reports(number)  # run again from its first step
            return ("ok", self._optimizer.report(number, value, step))
        except (ValueError, TypeError) as exc:
            return ("error", type(exc).__name__, str(exc))
        except Exception as exc:  # noqa: BLE001 - a fault here must not end the connection
            return ("error", "ValueError", f"the run could not take the report: "
                                           f"{type(exc).__name__}: {exc}")

    def close(self) -> None:
        """Stops taking connections and ends those open, with their threads."""
        with self._lock:
            self._closing = True
            accepting = self._accepting
            open_now = list(self._open)
        if accepting:
            try:
                socket.create_connection(self.address, timeout=1).close()  # wakes the acceptor
            except OSError:
                pass
        for sock in open_now:
            with contextlib.suppress(OSError):
                sock.shutdown(socket.SHUT_RDWR)
        self._listener.close()
        for thread in self._threads:
            if thread is not threading.current_thread():
                thread.join(timeout=HANDSHAKE_TIMEOUT)
