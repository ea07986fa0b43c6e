"""Ratio of tarvik's time to numpy's for the same work, per operation and size, drawn for the
documentation's performance page from a fresh run.

Each case is timed in alternating rounds of tarvik and numpy, on the same data in the same process
(so a noisy neighbour hits both alike); the figures are medians per call. The processor is named in
the plot's title. After `bash scripts/run.sh`:

    .venv-3.12/bin/python bench/plot_performance.py [--quick] [--output docs/_static/performance.png]
"""

import argparse
import pathlib
import random

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402 - the backend is chosen first
import numpy as np  # noqa: E402

from tarvik import PyBoolArray, PyNDArray  # noqa: E402
from timing import medians, processor  # noqa: E402

SIZES = [10, 100, 1_000, 10_000, 100_000, 1_000_000]
DEFAULT_OUTPUT = pathlib.Path(__file__).resolve().parent.parent / "docs" / "_static" / "performance.png"


def softmax(x):
    e = np.exp(x)
    return e / e.sum()


def cases(n, rng):
    """(panel, operation, tarvik call, numpy call) on n elements."""
    values = [rng.uniform(-4.0, 4.0) for _ in range(n)]
    other = [rng.uniform(-4.0, 4.0) for _ in range(n)]
    bits = [rng.random() < 0.5 for _ in range(n)]
    a, b, m = PyNDArray(values, [n]), PyNDArray(other, [n]), PyBoolArray(bits, [n])
    x, y, mask = np.array(values), np.array(other), np.array(bits)
    return [
        ("element-wise", "add (a + b)", lambda: a.add(b), lambda: x + y),
        ("element-wise", "scale (a * s)", lambda: a.scale(1.5), lambda: x * 1.5),
        ("element-wise", "relu (np.maximum)", lambda: a.relu(), lambda: np.maximum(x, 0.0)),
        ("element-wise", "sigmoid", lambda: a.sigmoid(), lambda: 1.0 / (np.exp(-x) + 1.0)),
        ("element-wise", "softmax", lambda: a.softmax(), lambda: softmax(x)),
        ("whole-array and selection", "sum", lambda: a.sum(), lambda: x.sum()),
        ("whole-array and selection", "cumsum", lambda: a.cumsum(), lambda: np.cumsum(x)),
        ("whole-array and selection", "argmax", lambda: a.argmax(), lambda: x.argmax()),
        ("whole-array and selection", "boolean_mask (a[m])", lambda: a.boolean_mask(m), lambda: x[mask]),
        ("whole-array and selection", "where_ (np.where)", lambda: a.where_(m, b), lambda: np.where(mask, x, y)),
        ("whole-array and selection", "from a list (np.array)", lambda: PyNDArray(values, [n]), lambda: np.array(values)),
    ]


def measure(rounds, budget):
    """{panel: {operation: [ratio per size]}}, printing each figure as it comes."""
    rng = random.Random(2026)
    ratios = {}
    print(f"{'operation':<28}{'n':>10}{'tarvik':>12}{'numpy':>12}{'ratio':>8}")
    for n in SIZES:
        for panel, name, ours, theirs in cases(n, rng):
            t, u = medians([ours, theirs], rounds, budget)
            ratios.setdefault(panel, {}).setdefault(name, []).append(t / u)
            print(f"{name:<28}{n:>10,}{t * 1e6:>10.2f}us{u * 1e6:>10.2f}us{t / u:>8.2f}", flush=True)
    return ratios


def draw(ratios, title, output):
    figure, axes = plt.subplots(1, len(ratios), figsize=(12, 4.8), sharey=True)
    for axis, (panel, series) in zip(axes, ratios.items()):
        for name, values in series.items():
            axis.plot(SIZES, values, marker="o", label=name)
        axis.axhline(1.0, color="black", linewidth=0.8)
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_xlabel("elements")
        axis.set_title(panel)
        axis.grid(True, which="both", linewidth=0.3)
        axis.legend(fontsize="small")
    axes[0].set_ylabel("tarvik time / numpy time (below 1: tarvik faster)")
    figure.suptitle(title)
    figure.tight_layout()
    figure.savefig(output, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter rounds")
    parser.add_argument("--output", type=pathlib.Path, default=DEFAULT_OUTPUT)
    options = parser.parse_args()
    ratios = measure(3 if options.quick else 7, 0.01 if options.quick else 0.03)
    draw(ratios, f"tarvik / numpy, median of alternating rounds — {processor()}", options.output)
    print(f"wrote {options.output}")


if __name__ == "__main__":
    main()
