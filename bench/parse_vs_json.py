"""Parse throughput of a results document: vordaopt's reader beside json.loads.

Builds one results document of 10,000 records with 10 parameters each, times
Python's json.loads on it, and runs the C++ benchmark on the same text.
"""

import json
import pathlib
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]


def make_document(records=10_000, params=10):
    rows = []
    for i in range(records):
        p = {f"param_{k}": ((i * 7919 + k * 104729) % 1000003) / 1000003.0 for k in range(params)}
        rows.append({"eval_id": i, "params": p, "value": i * 0.001 - 3.5, "cost": 1.0})
    return json.dumps(rows)


def best_of(fn, reps=15):
    best = float("inf")
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    text = make_document()
    mb = len(text.encode()) / 1e6
    t = best_of(lambda: json.loads(text))
    print(f"python json.loads:       {mb:.2f} MB, best {t * 1e3:.2f} ms, {mb / t:.1f} MB/s")
    exe = ROOT / "build" / "cxx" / "bench_parse"
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
        f.write(text)
    subprocess.run([str(exe), f.name], check=True)
    pathlib.Path(f.name).unlink()


if __name__ == "__main__":
    sys.exit(main())
