"""Slicing, gathering and masking against numpy's equivalents, in the same process and run.

Each case is timed as alternating rounds of tarvik and numpy (so a noisy neighbour hits both alike);
the figures are the medians per call and their ratio tarvik / numpy. Index lists reach tarvik as
Python lists, which it must convert; numpy gets an index array built beforehand, and for the cases
with long lists a second numpy figure takes the same Python list.

    PYTHONPATH=build/<dir> python bench/bench_selection.py [--quick]
"""

import random
import sys

import numpy as np

import timing
from tarvik import PyBoolArray, PyNDArray


def cases(rows, cols, rng):
    n = rows * cols
    data = [rng.uniform(-1.0, 1.0) for _ in range(n)]
    other_data = [rng.uniform(-1.0, 1.0) for _ in range(n)]
    bits = [rng.random() < 0.5 for _ in range(n)]
    t, t_other = PyNDArray(data, [rows, cols]), PyNDArray(other_data, [rows, cols])
    t_flat = PyNDArray(data, [n])
    t_mask = PyBoolArray(bits, [rows, cols])
    a, a_other = np.array(data).reshape(rows, cols), np.array(other_data).reshape(rows, cols)
    a_flat = np.array(data)
    a_mask = np.array(bits).reshape(rows, cols)

    lo, hi = rows // 10, rows - rows // 10
    clo, chi = cols // 10, cols - cols // 10
    row_picks = [rng.randrange(rows) for _ in range(rows // 2)]
    col_picks = [rng.randrange(cols) for _ in range(cols // 2)]
    flat_picks = [rng.randrange(n) for _ in range(n)]
    row_array, col_array = np.array(row_picks, dtype=np.intp), np.array(col_picks, dtype=np.intp)
    flat_array = np.array(flat_picks, dtype=np.intp)
    j = cols // 2

    return [
        (f"slice_range(0, {lo}, {hi})", lambda: t.slice_range(0, lo, hi), [lambda: a[lo:hi].copy()]),
        (f"slice_range(1, {clo}, {chi})", lambda: t.slice_range(1, clo, chi), [lambda: a[:, clo:chi].copy()]),
        (f"slice_row({rows // 2})", lambda: t.slice_row(rows // 2), [lambda: a[rows // 2].copy()]),
        (f"slice_col({j})", lambda: t.slice_col(j), [lambda: a[:, j].copy()]),
        (f"set_slice(0, {lo}, {hi}, v)", lambda: t.set_slice(0, lo, hi, 0.5), [lambda: a.__setitem__(slice(lo, hi), 0.5)]),
        (f"set_slice(1, {clo}, {chi}, v)", lambda: t.set_slice(1, clo, chi, 0.5),
         [lambda: a.__setitem__((slice(None), slice(clo, chi)), 0.5)]),
        (f"gather(0, {len(row_picks)} rows)", lambda: t.gather(0, row_picks),
         [lambda: np.take(a, row_array, 0), lambda: np.take(a, row_picks, 0)]),
        (f"gather(1, {len(col_picks)} cols)", lambda: t.gather(1, col_picks),
         [lambda: np.take(a, col_array, 1), lambda: np.take(a, col_picks, 1)]),
        (f"fancy_index({len(flat_picks)})", lambda: t_flat.fancy_index(flat_picks),
         [lambda: a_flat[flat_array], lambda: a_flat[flat_picks]]),
        ("boolean_mask", lambda: t.boolean_mask(t_mask), [lambda: a[a_mask]]),
        ("masked_fill", lambda: t.masked_fill(t_mask, 0.25), [lambda: a.__setitem__(a_mask, 0.25)]),
        ("where_", lambda: t.where_(t_mask, t_other), [lambda: np.where(a_mask, a, a_other)]),
    ]


def unit(seconds):
    for scale, name in ((1e-3, "ms"), (1e-6, "us")):
        if seconds >= scale:
            return f"{seconds / scale:8.2f} {name}"
    return f"{seconds / 1e-9:8.0f} ns"


def main():
    quick = "--quick" in sys.argv
    rng = random.Random(20261208)
    for rows, cols, rounds, budget in ((1000, 1000, 5 if quick else 11, 0.05), (2, 5, 5 if quick else 11, 0.02)):
        print(f"\n{rows}x{cols}  (median of {rounds} rounds; ratio = tarvik / numpy)")
        print(f"{'operation':<28} {'tarvik':>11} {'numpy':>11} {'ratio':>6}   {'numpy, list':>11} {'ratio':>6}")
        for name, tarvik_call, numpy_calls in cases(rows, cols, rng):
            medians = timing.medians([tarvik_call, *numpy_calls], rounds, budget)
            line = f"{name:<28} {unit(medians[0]):>11} {unit(medians[1]):>11} {medians[0] / medians[1]:6.2f}"
            if len(medians) > 2:
                line += f"   {unit(medians[2]):>11} {medians[0] / medians[2]:6.2f}"
            print(line, flush=True)


if __name__ == "__main__":
    main()
