"""Memory and time of runs fed what a careless or hostile user would feed them.

Prints, for each case, the wall time and the peak resident memory of a fresh
child process (so that the cases do not share a heap):

- ``minimize`` with a huge budget and a one-second timeout, in batch mode;
- ``vordaopt run`` with a command that writes 200 MB to its standard error
  and fails, twice, and one that writes 200 MB to its standard output before
  its value: the journal's size and vordaopt's memory;
- an objective that raises an exception with a 10 MB message.

    python bench/hostile_inputs.py
"""

from __future__ import annotations

import json
import os
import pathlib
import resource
import subprocess
import sys
import tempfile
import textwrap
import time

BASELINE = "import vordaopt"

HUGE_BUDGET = """
import time, vordaopt
from vordaopt import Real
began = time.monotonic()
result = vordaopt.minimize(lambda p: p["x"] + p["y"], {{"x": Real(0, 1), "y": Real(0, 1)}},
                           {budget}, timeout=1)
print(f"{{time.monotonic() - began:.2f}} s, {{result.n_trials}} trials, "
      f"{{result.n_evaluations}} evaluations")
"""

LOUD = """
import sys
block = "{fill}" * 1_000_000 + "\\n"
for _ in range(200):
    sys.{stream}.write(block)
print(0.5)
sys.exit({status})
"""

LONG_MESSAGE = """
import vordaopt
from vordaopt import Real
def f(p):
    raise ValueError("x" * 10_000_000)
result = vordaopt.minimize(f, {"x": Real(0, 1)}, 3, catch=ValueError)
print(f"longest error text kept: {max(len(t.error) for t in result.trials)} characters")
"""


def python_case(code: str) -> tuple[float, float, str]:
    # A fresh parent per case, so that RUSAGE_CHILDREN reports this case alone.
    probe = textwrap.dedent(f"""
        import resource, subprocess, sys, time, json
        began = time.perf_counter()
        done = subprocess.run([sys.executable, "-c", {code!r}], capture_output=True, text=True)
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
        print(json.dumps([time.perf_counter() - began, peak, done.stdout.strip(),
                          done.stderr[-2000:], done.returncode]))
    """)
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True)
    wall, peak, stdout, stderr, status = json.loads(out.stdout)
    if status not in (0, 1):
        raise RuntimeError(stderr)
    return wall, peak, stdout


def cli_case(folder: pathlib.Path, stream: str, status: int) -> tuple[float, float, int]:
    (folder / "loud.py").write_text(LOUD.format(fill="e" if stream == "stderr" else "o",
                                                stream=stream, status=status))
    journal = folder / f"{stream}.jsonl"
    code = (f"import sys; from vordaopt.cli import main; sys.exit(main(["
            f"'run', 'space.json', '--budget', '2', '--mode', 'online', '--quiet', "
            f"'--journal', {str(journal)!r}, '--', {sys.executable!r}, 'loud.py']))")
    os.chdir(folder)
    wall, peak, _ = python_case(code)
    return wall, peak, journal.stat().st_size


def main() -> None:
    print(f"python {sys.version.split()[0]}, {os.cpu_count()} cores")
    wall, base, _ = python_case(BASELINE)
    print(f"baseline (import vordaopt): peak {base:.0f} MB")
    for budget in ("10**6", "10**8", "10**12"):
        wall, peak, text = python_case(HUGE_BUDGET.format(budget=budget))
        print(f"minimize batch, budget {budget}, timeout=1: wall {wall:.2f} s, peak {peak:.0f} MB"
              f" ({text})")
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        (folder / "space.json").write_text('{"x": {"type": "real", "low": 0, "high": 1}}')
        wall, peak, size = cli_case(folder, "stderr", 1)
        print(f"vordaopt run, 2 failing trials with 200 MB of stderr each: wall {wall:.2f} s, "
              f"peak {peak:.0f} MB, journal {size:,} bytes")
        wall, peak, size = cli_case(folder, "stdout", 0)
        print(f"vordaopt run, 2 trials with 200 MB of stdout before the value: wall {wall:.2f} s, "
              f"peak {peak:.0f} MB, journal {size:,} bytes")
    wall, peak, text = python_case(LONG_MESSAGE)
    print(f"objective raising a 10 MB message, 3 trials: peak {peak:.0f} MB, {text}")


if __name__ == "__main__":
    main()
