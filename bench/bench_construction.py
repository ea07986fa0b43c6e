"""Per-call cost of construction from a list, `get` and `reshape`, against numpy on the same data.

Run with the built module on the path:
    PYTHONPATH=build/<dir> python bench/bench_construction.py
Prints the median time of each operation and the tarvik/numpy ratio (below 1.0: tarvik is faster).
"""

import argparse
import random
import statistics
import timeit

import numpy as np

import tarvik


def median_seconds(statement, namespace, number, repeat):
    times = timeit.repeat(statement, globals=namespace, number=number, repeat=repeat)
    return statistics.median(times) / number


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--size", type=int, default=1_000_000)
    options = parser.parse_args()

    random.seed(1)
    values = [random.uniform(-1.0, 1.0) for _ in range(options.size)]
    side = 1000
    grid = values[: side * side] if options.size >= side * side else [0.5] * (side * side)
    small = [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]
    namespace = {
        "np": np,
        "PyNDArray": tarvik.PyNDArray,
        "values": values,
        "shape": [len(values)],
        "a": tarvik.PyNDArray(grid, [side, side]),
        "na": np.array(grid).reshape(side, side),
        "s": tarvik.PyNDArray(small, [2, 3]),
        "ns": np.array(small).reshape(2, 3),
        "i": 417,
        "j": 731,
    }

    cases = [
        (f"construct from a list of {options.size} floats", "PyNDArray(values, shape)", "np.array(values)", 1),
        ("get one element", "a.get((i, j))", "na[i, j]", 20_000),
        ("reshape [2, 3] to [3, 2]", "s.reshape([3, 2])", "ns.reshape(3, 2)", 20_000),
    ]
    print(f"{'operation':40} {'tarvik':>12} {'numpy':>12} {'ratio':>7}")
    for label, ours, theirs, number in cases:
        # Interleave the two sides so that drifting load on a shared machine hits both alike.
        ours_times, theirs_times = [], []
        for _ in range(options.repeat):
            ours_times.append(median_seconds(ours, namespace, number, 1))
            theirs_times.append(median_seconds(theirs, namespace, number, 1))
        t, n = statistics.median(ours_times), statistics.median(theirs_times)
        print(f"{label:40} {format_time(t):>12} {format_time(n):>12} {t / n:7.2f}")


def format_time(seconds):
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.2f} us"
    return f"{seconds * 1e9:.1f} ns"


if __name__ == "__main__":
    main()
