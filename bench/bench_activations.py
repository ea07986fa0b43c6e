"""sigmoid, softmax and argmax against numpy, in the same process and run.

numpy's peers are 1.0 / (np.exp(-a) + 1.0), e = np.exp(a); e / e.sum(), and a.argmax(). argmax is
also put beside a plain read of the data (numpy's a.max()), since its cost should be that of one
pass whatever the data. Medians per call over alternating rounds; a ratio below 1.0: tarvik is faster.

    python bench/bench_activations.py [--quick]
"""

import argparse

import numpy as np

from tarvik import PyNDArray
from timing import medians

SIZES = (10_000, 1_000_000, 20_000_000)


def arrays(values):
    return PyNDArray(values, [len(values)]), values


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter rounds")
    options = parser.parse_args()
    rounds, budget = (3, 0.05) if options.quick else (7, 0.2)
    rng = np.random.default_rng(1)

    print(f"{'operation':<30}{'tarvik':>10}{'numpy':>10}{'ratio':>8}{'ns/elem':>9}   (ms per call)")
    for n in SIZES:
        t, a = arrays(rng.uniform(-10.0, 10.0, n))
        cases = [
            ("sigmoid", lambda: t.sigmoid(), lambda: 1.0 / (np.exp(-a) + 1.0)),
            ("softmax", lambda: t.softmax(), lambda: (lambda e: e / e.sum())(np.exp(a))),
        ]
        for name, ours, theirs in cases:
            mine, numpys = medians([ours, theirs], rounds, budget)
            print(f"{f'{name} {n:.0e}':<30}{mine * 1e3:>10.3f}{numpys * 1e3:>10.3f}{mine / numpys:>8.2f}{mine / n * 1e9:>9.2f}")
        del t, a

    for n in SIZES:
        families = {
            "random": rng.uniform(-1.0, 1.0, n),
            "rising": np.arange(n) * 1e-7,
            "falling": -np.arange(n, dtype=float),
            "constant": np.full(n, 2.5),
        }
        for family, values in families.items():
            t, a = arrays(values)
            mine, numpys, read = medians([lambda: t.argmax(), lambda: a.argmax(), lambda: a.max()], rounds, budget)
            print(f"{f'argmax {family} {n:.0e}':<30}{mine * 1e3:>10.3f}{numpys * 1e3:>10.3f}{mine / numpys:>8.2f}"
                  f"{mine / n * 1e9:>9.2f}   read {read * 1e3:.3f} ms, argmax / read {mine / read:.2f}")


if __name__ == "__main__":
    main()
