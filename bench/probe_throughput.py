"""VordaProbe.sample_range throughput for 10 parameters and 1,000,000 points.

Prints the points per second of sample_range beside the time this process
needs merely to build that many 10-entry dicts of floats in Python (the floor
for any method that returns dicts), and the raw core rate without Python
objects (from the C++ benchmark, when it has been built).
"""

import json
import pathlib
import subprocess
import time

from vordaopt import VordaProbe

ROOT = pathlib.Path(__file__).resolve().parents[1]
N = 1_000_000
NAMES = [f"p{i}" for i in range(10)]
CONFIG = json.dumps(
    {
        "seed": 0,
        "budget": 1,
        "bounds": {
            name: {"min": 1e-3, "max": 10.0, "scale": ["Linear", "Log", "Periodic"][i % 3]}
            for i, name in enumerate(NAMES)
        },
    }
)


def best_of(fn, reps=5):
    best = float("inf")
    for _ in range(reps):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
        del out
    return best


def floor():
    k0, k1, k2, k3, k4, k5, k6, k7, k8, k9 = NAMES
    v = 0.5
    return [
        {k0: v + 0.0, k1: v + 1.0, k2: v + 2.0, k3: v + 3.0, k4: v + 4.0,
         k5: v + 5.0, k6: v + 6.0, k7: v + 7.0, k8: v + 8.0, k9: v + 9.0}
        for _ in range(N)
    ]


def main():
    probe = VordaProbe(CONFIG, seed=7)
    t_probe = best_of(lambda: probe.sample_range(0, N))
    t_floor = best_of(floor)
    print(f"sample_range, 10 params, {N} points: {N / t_probe:,.0f} points/s ({t_probe:.3f} s)")
    print(f"floor: building {N} 10-entry float dicts in Python: {N / t_floor:,.0f} dicts/s ({t_floor:.3f} s)")
    print(f"ratio sample_range / floor: {t_probe / t_floor:.2f}x")
    exe = ROOT / "build" / "cxx" / "bench_probe"
    if exe.exists():
        subprocess.run([str(exe)], check=True)


if __name__ == "__main__":
    main()
