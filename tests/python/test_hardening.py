"""Memory safety, interrupts, locale independence and failure reporting of the extension."""

import gc
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import textwrap

import pytest

import vordaopt
from vordaopt import VordaProbe, VordaSolver

HERE = pathlib.Path(__file__).resolve().parent


def wide_config(n, budget=10, ratio=None):
    cfg = {"seed": 1, "budget": budget, "bounds": {f"p{i:05d}": [0, 1] for i in range(n)}}
    if ratio is not None:
        cfg["probe_ratio"] = ratio
    return json.dumps(cfg)


# --- many parameters, many maps ----------------------------------------------------

def test_two_map_batches_convert_every_entry():
    s = VordaSolver('{"seed": 1, "budget": 10, "bounds": {"x": [0, 1]}}')
    assert s.ask() == [{"x": 0.0}, {"x": 0.5}]


def test_ten_thousand_parameters_through_every_method():
    n = 10_000
    cfg = wide_config(n, budget=20, ratio=0.2)
    s = VordaSolver(cfg)
    batch = s.ask()
    assert len(batch) == 4 and all(len(m) == n for m in batch)
    assert all(v == 0.0 for v in batch[0].values()) and all(v == 0.5 for v in batch[1].values())
    s.tell(json.dumps([{"eval_id": i, "params": m, "value": float(i), "cost": 1.0}
                       for i, m in enumerate(batch)]))
    s.seed(json.dumps([{"params": batch[0], "value": 9.0, "cost": 1.0}]))
    assert s.get_history_len() == 5
    one = s.ask_one()
    assert len(one) == n and all(0.0 <= v <= 1.0 for v in one.values())
    more = s.ask()
    assert more and all(len(m) == n for m in more)
    points = VordaProbe(cfg).sample_range(0, 3)
    assert [len(p) for p in points] == [n, n, n]
    assert points[1] == VordaProbe(cfg).sample_at(1)


# --- interrupts ------------------------------------------------------------------------

@pytest.fixture
def alarm():
    """Raises KeyboardInterrupt from a real signal `delay` seconds from now.

    A signal, not a thread: the extension holds the interpreter lock throughout,
    so only a C-level handler can mark the interrupt while a call runs.
    """
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)

    def arm(delay):
        # Garbage of earlier tests (threads, sockets) freed while the alarm is
        # armed would run Python callbacks that the interrupt could land in.
        gc.collect()
        signal.setitimer(signal.ITIMER_REAL, delay)

    yield arm
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


def big_document(n, seed_form):
    if seed_form:
        one = '{"params": {"x": 0.25, "y": 0.5}, "value": 1.5, "cost": 1.0}'
    else:
        one = '{"eval_id": 7, "params": {"x": 0.25, "y": 0.5}, "value": 1.5, "cost": 1.0}'
    return "[" + ",".join([one] * n) + "]"


@pytest.mark.parametrize("method", ["tell", "seed"])
def test_interrupted_documents_add_nothing(alarm, method):
    s = VordaSolver('{"seed": 1, "budget": 10, "bounds": {"x": [0, 1], "y": [0, 1]}}')
    s.seed('[{"params": {"x": 0.1}, "value": 2.0, "cost": 1.0}]')
    text = big_document(3_000_000, method == "seed")
    alarm(0.02)
    with pytest.raises(KeyboardInterrupt):
        getattr(s, method)(text)
    assert s.get_history_len() == 1
    s.tell('[{"eval_id": 5, "params": {"x": 0.3}, "value": 1.0, "cost": 1.0}]')
    assert s.get_history_len() == 2  # and the solver is still usable


def test_interrupted_sample_range_returns_nothing(alarm):
    probe = VordaProbe('{"seed": 1, "budget": 10, "bounds": {"x": [0, 1]}}')
    alarm(0.02)
    with pytest.raises(KeyboardInterrupt):
        probe.sample_range(0, 50_000_000)  # about a minute of work
    assert probe.sample_range(5, 2) == [probe.sample_at(5), probe.sample_at(6)]


def test_interrupted_probe_batch_leaves_the_solver_as_it_was(alarm):
    cfg = '{"seed": 1, "budget": 3000000, "probe_ratio": 1.0, "bounds": {"x": [0, 1], "y": [0, 1]}}'
    s = VordaSolver(cfg)
    alarm(0.02)
    with pytest.raises(KeyboardInterrupt):
        s.ask()
    assert s.get_history_len() == 0


class _RaisingStdout:
    def __init__(self, error):
        self.error = error

    def write(self, text):
        return len(text)

    def flush(self):
        raise self.error


def test_flush_errors_are_not_lost(monkeypatch):
    s = VordaSolver('{"seed": 1, "budget": 0, "bounds": {}}')
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_value))
    monkeypatch.setattr(sys, "stdout", _RaisingStdout(OSError("disk full")))
    assert s.ask() is None  # the line is still written, the call completes
    monkeypatch.undo()
    assert len(seen) == 2 and all(isinstance(e, OSError) for e in seen)


def test_keyboard_interrupt_while_flushing_arrives_after_the_call(monkeypatch):
    # Python's own handler, even when the suite was started with SIGINT
    # ignored (nohup ... &): a re-armed interrupt reaches handled signals only.
    monkeypatch.setattr(signal, "_vordaopt_previous", signal.signal(signal.SIGINT,
                                                                     signal.default_int_handler),
                        raising=False)
    s = VordaSolver('{"seed": 1, "budget": 0, "bounds": {}}')
    monkeypatch.setattr(sys, "stdout", _RaisingStdout(KeyboardInterrupt()))
    returned = []
    with pytest.raises(KeyboardInterrupt):
        returned.append(s.ask())
        for _ in range(1000):  # the re-armed interrupt fires at the next check
            pass
    signal.signal(signal.SIGINT, signal._vordaopt_previous)
    monkeypatch.undo()
    assert s.ask() is None  # the call that saw the interrupt had completed: done


# --- locale ----------------------------------------------------------------------------

LOCALE_SCRIPT = textwrap.dedent("""
    import json, locale, sys
    sys.path.insert(0, {tests!r})
    from conftest import load_vectors
    locale.setlocale(locale.LC_ALL, "de_DE.UTF-8")
    assert locale.localeconv()["decimal_point"] == ","
    from vordaopt import VordaSolver
    checked = 0
    for kind, text, expected in load_vectors():
        if kind == "config":
            make = lambda: VordaSolver(text)
            prefix = "Invalid config: "
        else:
            s = VordaSolver('{{"seed": 1, "budget": 10, "bounds": {{}}}}')
            make = lambda: (s.tell if kind == "results" else s.seed)(text)
            prefix = "Invalid results: " if kind == "results" else "Invalid seed data: "
        try:
            make()
            got = "OK"
        except ValueError as e:
            got = "ERR " + str(e)[len(prefix):]
        want = "OK" if expected.startswith("OK ") else expected
        assert got == want, (text, got, want)
        checked += 1
    s = VordaSolver('{{"seed": 1, "budget": 20, "bounds": {{"x": [0, 1]}}}}')
    batch = s.ask()
    s.tell(json.dumps([{{"eval_id": i, "params": m, "value": 10.0 + i, "cost": 1}} for i, m in enumerate(batch)]))
    sys.stdout.flush()
    s.ask()
    print("rows", checked)
""")


@pytest.fixture(scope="session")
def decimal_comma_locale(tmp_path_factory):
    """An environment in which the de_DE.UTF-8 locale (decimal comma) exists."""
    if shutil.which("localedef") is None or not os.path.isdir("/usr/share/i18n/locales"):
        if os.environ.get("CI"):
            pytest.fail("localedef and Debian's locales package are needed in CI")
        pytest.skip("localedef or the locale sources are missing")
    folder = tmp_path_factory.mktemp("locales")
    subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", str(folder / "de_DE.UTF-8")],
                   check=True, capture_output=True)
    return {**os.environ, "LOCPATH": str(folder)}


def test_numbers_ignore_a_decimal_comma_locale(decimal_comma_locale):
    out = subprocess.run([sys.executable, "-c", LOCALE_SCRIPT.format(tests=str(HERE))],
                         env=decimal_comma_locale, capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == "[Machine] Classified as Structured (Score: 0.0972)"
    assert int(lines[-1].split()[1]) > 5000


# --- the internal-error exception -------------------------------------------------------

def test_panic_exception_is_exported():
    exc = vordaopt.PanicException
    assert exc.__name__ == "PanicException" and exc.__module__ == "pyo3_runtime"
    assert exc.__bases__ == (BaseException,)
    with pytest.raises(vordaopt.PanicException, match="min > max"):
        VordaProbe('{"seed": 0, "budget": 1, "bounds": {"x": [1, 0, "Log"]}}').sample_at(0)


def test_repeated_calls_do_not_leak_python_objects():
    if sys.getallocatedblocks() == 0:
        pytest.skip("PYTHONMALLOC=malloc does not count blocks")
    cfg = '{"seed": 1, "budget": 50, "bounds": {"x": [0, 1], "y": [1e-3, 1, "Log"]}}'

    def cycle():
        s = VordaSolver(cfg)
        while (batch := s.ask()) is not None:
            s.tell(json.dumps([{"eval_id": 0, "params": m, "value": m["x"], "cost": 1} for m in batch]))
        o = VordaSolver(cfg)
        for _ in range(5):
            o.seed(json.dumps([{"params": o.ask_one(), "value": 1.0, "cost": 1}]))
        VordaProbe(cfg).sample_range(0, 100)

    cycle()
    before = sys.getallocatedblocks()
    for _ in range(20):
        cycle()
    assert sys.getallocatedblocks() - before < 200
