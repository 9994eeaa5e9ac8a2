"""How soon a signal stops a long call: a 4,000,000-record tell interrupted after 0.2 s.

The latency is the time from the timer's signal to the moment the caller sees
the KeyboardInterrupt; the interrupted call must leave the history empty.
"""

import signal
import time

from vordaopt import VordaSolver

RECORDS = 4_000_000
DELAY = 0.2


def main() -> None:
    one = '{"eval_id": 7, "params": {"x": 0.25, "y": 0.5}, "value": 1.5, "cost": 1.0}'
    text = "[" + ",".join([one] * RECORDS) + "]"
    solver = VordaSolver('{"seed": 1, "budget": 10, "bounds": {"x": [0, 1], "y": [0, 1]}}')

    start = time.perf_counter()
    solver.tell(text)
    full = time.perf_counter() - start
    print(f"tell of {RECORDS} records ({len(text) / 1e6:.0f} MB), uninterrupted: {full:.3f} s")

    def interrupt(signum: int, frame: object) -> None:
        raise KeyboardInterrupt

    signal.signal(signal.SIGALRM, interrupt)
    solver = VordaSolver('{"seed": 1, "budget": 10, "bounds": {"x": [0, 1], "y": [0, 1]}}')
    start = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, DELAY)
    try:
        solver.tell(text)
        print("the call finished before the signal")
        return
    except KeyboardInterrupt:
        stopped = time.perf_counter() - start
    print(f"interrupted after {DELAY:.1f} s: KeyboardInterrupt after {stopped:.4f} s, "
          f"latency {(stopped - DELAY) * 1000:.2f} ms, history {solver.get_history_len()} records")


if __name__ == "__main__":
    main()
