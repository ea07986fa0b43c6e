"""add, mul, scale and relu against numpy's a + b, a * b, a * s and np.maximum(a, 0.0), on the same
data in the same process and run.

Each case is timed as alternating rounds of tarvik and numpy (so a noisy neighbour hits both alike);
the figures are the medians per call and their ratio tarvik / numpy (lower is better). Both sides
allocate a fresh result on every call.

    PYTHONPATH=build/<dir> python bench/bench_elementwise.py [--quick]
"""

import os
import sys

import numpy as np

from tarvik import PyNDArray
from timing import medians


def main():
    quick = "--quick" in sys.argv
    sizes = [10, 10_000, 1_000_000] if quick else [10, 10_000, 1_000_000, 20_000_000]
    rounds = 3 if quick else 7
    rng = np.random.default_rng(2026)
    print(f"threads: RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '<unset>')}, "
          f"processors {len(os.sched_getaffinity(0))}")
    print(f"{'operation':<10}{'n':>12}{'tarvik':>14}{'numpy':>14}{'ratio':>8}")
    for n in sizes:
        x, y = rng.standard_normal(n), rng.standard_normal(n)
        a, b = PyNDArray(x.tolist(), [n]), PyNDArray(y.tolist(), [n])
        s = 1.0001
        budget = 0.05 if n < 10_000_000 else 0.4
        cases = [
            ("add", lambda: a.add(b), lambda: x + y),
            ("mul", lambda: a.mul(b), lambda: x * y),
            ("scale", lambda: a.scale(s), lambda: x * s),
            ("relu", lambda: a.relu(), lambda: np.maximum(x, 0.0)),
        ]
        for name, ours, theirs in cases:
            t, u = medians([ours, theirs], rounds, budget)
            print(f"{name:<10}{n:>12,}{t * 1e6:>12.2f}us{u * 1e6:>12.2f}us{t / u:>8.2f}", flush=True)
        del a, b


if __name__ == "__main__":
    main()
