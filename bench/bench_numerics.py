"""Matrix products, transpose, cumsum and argmax against numpy, in the same process and run.

Each comparison is timed in alternating rounds (so a noisy neighbour hits both sides alike); the
figures are medians per call and their ratios (below 1.0: tarvik is faster). The native product
is compared with the single-thread speed of OpenBLAS, measured in a child process started with
OPENBLAS_NUM_THREADS=1, since the native kernel runs on the calling thread only.

    PYTHONPATH=build/<dir> python bench/bench_numerics.py [--quick] [--library-default-kernel]

--library-default-kernel unsets OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE in the child process only,
so both OpenBLAS copies pick their kernel for this processor; the kernel each one runs is printed.
"""

import argparse
import ctypes
import glob
import json
import os
import random
import subprocess
import sys

import numpy as np

from tarvik import PyNDArray
from timing import medians


def square_pair(rng, side):
    left = [rng.uniform(-1.0, 1.0) for _ in range(side * side)]
    right = [rng.uniform(-1.0, 1.0) for _ in range(side * side)]
    return (PyNDArray(left, [side, side]), PyNDArray(right, [side, side]),
            np.array(left).reshape(side, side), np.array(right).reshape(side, side))


def gflops(side, seconds):
    return 2.0 * side**3 / seconds / 1e9


def corenames():
    """The kernel each OpenBLAS copy in this process runs: the one tarvik links and numpy's own."""
    names = {}
    try:
        system = ctypes.CDLL("libopenblas.so.0")
        system.openblas_get_corename.restype = ctypes.c_char_p
        names["tarvik's OpenBLAS"] = system.openblas_get_corename().decode()
    except (OSError, AttributeError):
        pass
    for path in glob.glob(os.path.join(os.path.dirname(np.__file__), os.pardir, "numpy.libs", "*openblas*.so")):
        library = ctypes.CDLL(path)
        for symbol in ("scipy_openblas_get_corename64_", "openblas_get_corename64_", "openblas_get_corename"):
            if hasattr(library, symbol):
                getattr(library, symbol).restype = ctypes.c_char_p
                names["numpy's OpenBLAS"] = getattr(library, symbol)().decode()
                break
    return names


def blas_figures(sides, rounds, budget):
    """GFLOP/s of matmul_blas and numpy's A @ B, and their ratio, at each side."""
    rng = random.Random(2)
    figures = {}
    for side in sides:
        t_a, t_b, a, b = square_pair(rng, side)
        ours, theirs = medians([lambda: t_a.matmul_blas(t_b), lambda: a @ b], rounds, budget)
        figures[side] = {"matmul_blas": gflops(side, ours), "numpy": gflops(side, theirs), "ratio": ours / theirs}
    return figures


def child(options):
    """Runs in the single-thread child: prints its BLAS figures as JSON."""
    figures = blas_figures([256, 512, 1000], options.rounds, options.budget)
    print(json.dumps({"figures": figures, "kernels": corenames()}))


def single_thread_blas(options):
    environment = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    if options.library_default_kernel:
        environment.pop("OPENBLAS_CORETYPE", None)
        environment.pop("OPENBLAS_L2_SIZE", None)
    command = [sys.executable, __file__, "--child", "--rounds", str(options.rounds), "--budget", str(options.budget)]
    result = subprocess.run(command, env=environment, capture_output=True, text=True, check=True)
    report = json.loads(result.stdout)
    return {int(side): values for side, values in report["figures"].items()}, report["kernels"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter rounds")
    parser.add_argument("--library-default-kernel", action="store_true")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--rounds", type=int, default=None, help=argparse.SUPPRESS)
    parser.add_argument("--budget", type=float, default=None, help=argparse.SUPPRESS)
    options = parser.parse_args()
    options.rounds = options.rounds or (3 if options.quick else 9)
    options.budget = options.budget or (0.05 if options.quick else 0.2)
    if options.child:
        child(options)
        return

    single, kernels = single_thread_blas(options)
    print("OpenBLAS kernels (single-thread child):", ", ".join(f"{k}: {v}" for k, v in kernels.items()) or "unknown")
    print("OPENBLAS_CORETYPE in the child:",
          "unset" if options.library_default_kernel else os.environ.get("OPENBLAS_CORETYPE", "unset"))
    print()

    rng = random.Random(1)
    print(f"{'native matmul':<34}{'GFLOP/s':>10}{'1-thread BLAS':>15}{'share':>8}   (GFLOP/s, native / BLAS)")
    for side in (512, 1000):
        t_a, t_b, _, _ = square_pair(rng, side)
        (native,) = medians([lambda: t_a.matmul(t_b)], options.rounds, options.budget)
        blas = single[side]["matmul_blas"]
        print(f"{f'{side}x{side}':<34}{gflops(side, native):>10.1f}{blas:>15.1f}{gflops(side, native) / blas:>8.2f}")
    print()

    print(f"{'matmul_blas vs numpy A @ B':<34}{'tarvik':>10}{'numpy':>15}{'ratio':>8}   (GFLOP/s, time ratio)")
    threads = blas_figures([256, 512, 1000], options.rounds, options.budget)
    for label, figures in (("default threads", threads), ("one thread", single)):
        for side, values in figures.items():
            name = f"{side}x{side}, {label}"
            print(f"{name:<34}{values['matmul_blas']:>10.1f}{values['numpy']:>15.1f}{values['ratio']:>8.2f}")
    print()

    side, n = 1000, 1_000_000
    data = [rng.uniform(-1.0, 1.0) for _ in range(n)]
    t_grid, grid = PyNDArray(data, [side, side]), np.array(data).reshape(side, side)
    t_flat, flat = PyNDArray(data, [n]), np.array(data)
    small = data[:1000]
    t_small, a_small = PyNDArray(small, [1000]), np.array(small)
    cases = [
        ("transpose 1000x1000", lambda: t_grid.transpose(), lambda: grid.T.copy()),
        (f"cumsum {n}", lambda: t_flat.cumsum(), lambda: np.cumsum(flat)),
        (f"argmax {n}", lambda: t_flat.argmax(), lambda: flat.argmax()),
        ("cumsum 1000", lambda: t_small.cumsum(), lambda: np.cumsum(a_small)),
        ("argmax 1000", lambda: t_small.argmax(), lambda: a_small.argmax()),
    ]
    print(f"{'operation':<34}{'tarvik':>10}{'numpy':>15}{'ratio':>8}   (microseconds per call, time ratio)")
    for name, ours, theirs in cases:
        mine, numpys = medians([ours, theirs], options.rounds, options.budget)
        print(f"{name:<34}{mine * 1e6:>10.1f}{numpys * 1e6:>15.1f}{mine / numpys:>8.2f}")


if __name__ == "__main__":
    main()
