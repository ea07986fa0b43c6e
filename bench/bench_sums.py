"""sum, mean and cumsum against numpy, on same-sign and zero-mean data, in the same process and run.

The sums keep the exact left-to-right order (numpy's sum is pairwise, with other bits), so the
interesting figure is how close the order-keeping sums come. Medians per call over alternating rounds
and their ratios (below 1.0: tarvik is faster); bench/bench_reductions.cpp sets the same sums against
the plain loop.

    PYTHONPATH=build/<dir> python bench/bench_sums.py [--quick]
"""

import argparse

import numpy as np

from tarvik import PyNDArray
from timing import medians, processor

FAMILIES = {
    "uniform [0, 1)": lambda rng, n: rng.random(n),
    "rising i * 1e-7": lambda rng, n: np.arange(n) * 1e-7,
    "uniform [-5, 5]": lambda rng, n: rng.uniform(-5.0, 5.0, n),
    "normal": lambda rng, n: rng.standard_normal(n),
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter rounds")
    options = parser.parse_args()
    rounds, budget = (3, 0.1) if options.quick else (9, 0.3)
    rng = np.random.default_rng(1)
    print("processor:", processor())
    print(f"{'operation':<40}{'tarvik':>10}{'numpy':>12}{'ratio':>8}   (milliseconds per call, time ratio)")
    for n in (1_000_000, 20_000_000):
        for family, make in FAMILIES.items():
            values = make(rng, n)
            mine = PyNDArray(values.tolist(), [n])
            pairs = [
                ("sum", mine.sum, values.sum),
                ("mean", mine.mean, values.mean),
                ("cumsum", mine.cumsum, lambda: np.cumsum(values)),
            ]
            for name, ours, theirs in pairs:
                t_ours, t_theirs = medians([ours, theirs], rounds, budget)
                label = f"{name} {n:,} {family}"
                print(f"{label:<40}{t_ours * 1e3:>10.2f}{t_theirs * 1e3:>12.2f}{t_ours / t_theirs:>8.2f}")
            del mine


if __name__ == "__main__":
    main()
