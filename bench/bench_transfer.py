"""Getting a million float64 values into a PyNDArray and out again, each way the surface allows,
beside numpy's own conversions for scale. These are the costs the user guide quotes.

Each case is timed in alternating rounds (so a noisy neighbour hits them alike); the figures are
medians in milliseconds per million elements.

    PYTHONPATH=build/<dir> python bench/bench_transfer.py [--quick]
"""

import sys

import numpy as np

from tarvik import PyNDArray
from timing import medians


def main():
    quick = "--quick" in sys.argv
    n = 1_000_000
    x = np.random.default_rng(2026).standard_normal(n)
    values = x.tolist()
    flat, grid = PyNDArray(values, [n]), PyNDArray(values, [1000, 1000])
    indices = [[i] for i in range(n)]  # built once, reused for every array of this length
    cases = [
        ("in: PyNDArray(list, shape)", lambda: PyNDArray(values, [n])),
        ("in: PyNDArray(x.ravel().tolist(), shape)", lambda: PyNDArray(x.ravel().tolist(), [n])),
        ("in: PyNDArray(x, shape), numpy array", lambda: PyNDArray(x, [n])),
        ("in: PyNDArray(memoryview(x), shape)", lambda: PyNDArray(memoryview(x), [n])),
        ("out: [g.get((i, j)) for i ... for j ...]", lambda: [grid.get((i, j)) for i in range(1000) for j in range(1000)]),
        ("out: [a.get([i]) for i in range(n)]", lambda: [flat.get([i]) for i in range(n)]),
        ("out: list(map(a.get, indices))", lambda: list(map(flat.get, indices))),
        ("out: np.fromiter(map(a.get, indices))", lambda: np.fromiter(map(flat.get, indices), np.float64, n)),
        ("numpy: np.array(list)", lambda: np.array(values)),
        ("numpy: x.tolist()", lambda: x.tolist()),
    ]
    times = medians([call for _, call in cases], 3 if quick else 7, 0.2)
    print(f"{'way':<44}{'ms per million':>15}")
    for (name, _), seconds in zip(cases, times):
        print(f"{name:<44}{seconds * 1e3:>15.1f}")


if __name__ == "__main__":
    main()
