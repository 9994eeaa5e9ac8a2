"""Overhead of `vordaopt run` per trial, beside starting the same command with subprocess.run.

The command is trivial (`echo` of one value), so the figures are the cost of
starting a process and of the run around it: placeholders, the environment,
reading the value, the journal line.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import time

TRIALS = 200


# Timed in a fresh interpreter, as `vordaopt run` is: the cost of starting a
# process depends on the state of the one that starts it.
SPAWN_ECHO = f"""
import subprocess, time
t0 = time.perf_counter()
for i in range({TRIALS}):
    subprocess.run(["echo", str(i / {TRIALS})], capture_output=True, check=True)
print((time.perf_counter() - t0) / {TRIALS})
"""


def spawn_echo() -> float:
    out = subprocess.run([sys.executable, "-c", SPAWN_ECHO], capture_output=True, text=True,
                         check=True).stdout
    return float(out)


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        space = os.path.join(folder, "space.json")
        with open(space, "w") as f:
            # Five parameters: the value (x0) alone would soon repeat its best
            # point, which vordaopt answers without running the command.
            json.dump({f"x{i}": {"type": "real", "low": 0, "high": 1} for i in range(5)}, f)
        plain = min(spawn_echo() for _ in range(3))

        args = [sys.executable, "-m", "vordaopt", "run", space, "--budget", str(TRIALS),
                "--mode", "online", "--quiet", "--journal", os.path.join(folder, "run.jsonl"),
                "--", "echo", "{x0}"]
        t0 = time.perf_counter()
        done = subprocess.run(args, capture_output=True, text=True, check=True)
        whole = time.perf_counter() - t0
        summary = done.stdout.split(" trials, ")[1]
        runs = int(summary.split(" runs")[0])
        # The interpreter's start and the package's import, measured apart.
        t0 = time.perf_counter()
        subprocess.run([sys.executable, "-c", "import vordaopt.cli"], check=True)
        start = time.perf_counter() - t0
    per_trial = (whole - start) / runs
    print(f"subprocess.run(['echo', ...]) alone:        {plain * 1e3:7.3f} ms per command")
    print(f"vordaopt run, {runs} runs of echo:           {per_trial * 1e3:7.3f} ms per trial "
          f"(after {start * 1e3:.0f} ms of start-up)")
    print(f"overhead of vordaopt run per trial:         {(per_trial - plain) * 1e3:7.3f} ms")


if __name__ == "__main__":
    main()
