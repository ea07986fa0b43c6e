"""add, mul, scale and relu: results against numpy as an oracle, shape faults, IEEE corner cases."""

import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from row_major import panic, values
from tarvik import PyNDArray


def bits(xs):
    xs = list(xs)
    return struct.pack(f"<{len(xs)}d", *xs)


def array(xs, shape):
    return PyNDArray(list(xs), list(shape))


@pytest.mark.parametrize(
    "left, right, method, message",
    [
        ([6], [2, 3], "add", "shape mismatch for addition: [6] vs [2, 3]"),
        ([2, 3], [3, 2], "add", "shape mismatch for addition: [2, 3] vs [3, 2]"),
        ([2, 3], [3, 2], "mul", "shape mismatch for multiplication: [2, 3] vs [3, 2]"),
        ([], [1], "add", "shape mismatch for addition: [] vs [1]"),
        ([1, 3], [3], "mul", "shape mismatch for multiplication: [1, 3] vs [3]"),
        ([0], [0, 0], "add", "shape mismatch for addition: [0] vs [0, 0]"),
    ],
)
def test_shape_mismatch(left, right, method, message):
    a = array([1.0] * math.prod(left), left)
    b = array([2.0] * math.prod(right), right)
    assert panic(lambda: getattr(a, method)(b)) == message
    assert values(a) == [1.0] * math.prod(left)


INF = math.inf
NAN = math.nan


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: array([-1.5, -0.0, 0.0, 2.0, NAN, -INF, INF], [7]).relu(), [0.0, 0.0, 0.0, 2.0, 0.0, 0.0, INF]),
        (lambda: array([0.0], [1]).scale(-1.0), [-0.0]),
        (lambda: array([INF], [1]).scale(0.0), [NAN]),
        (lambda: array([-0.0, 1.0], [2]).scale(0.0), [-0.0, 0.0]),
        (lambda: array([INF, -INF], [2]).add(array([-INF, -INF], [2])), [NAN, -INF]),
        (lambda: array([0.0, -0.0], [2]).mul(array([-1.0, -1.0], [2])), [-0.0, 0.0]),
    ],
)
def test_ieee_cases(call, expected):
    # Compared by bit pattern, so that -0.0 and +0.0 differ (every NaN here is the default one).
    result = values(call())
    assert [math.isnan(x) for x in result] == [math.isnan(x) for x in expected]
    assert bits(x for x in result if not math.isnan(x)) == bits(x for x in expected if not math.isnan(x))


@pytest.mark.parametrize("shape", [[0], [2, 0], [], [3, 1, 2]])
def test_shapes_carry_over_and_operands_stay(shape):
    n = math.prod(shape)
    a = array([float(i) - 2.5 for i in range(n)], shape)
    b = array([1.5 * i for i in range(n)], shape)
    for result in (a.add(b), a.mul(b), a.scale(2.0), a.relu(), a.add(a)):
        assert result.shape() == shape
    assert values(a.add(a)) == [2 * (i - 2.5) for i in range(n)]
    assert values(a) == [float(i) - 2.5 for i in range(n)]
    assert values(b) == [1.5 * i for i in range(n)]


finite = st.floats(allow_nan=True, allow_infinity=True, width=64)


@settings(max_examples=60, deadline=None)
@given(st.integers(0, 200).flatmap(lambda n: st.tuples(st.lists(finite, min_size=n, max_size=n),
                                                       st.lists(finite, min_size=n, max_size=n))),
       finite)
def test_matches_numpy_bit_for_bit(pair, factor):
    xs, ys = pair
    a, b = array(xs, [len(xs)]), array(ys, [len(ys)])
    x, y = np.array(xs, dtype=np.float64), np.array(ys, dtype=np.float64)
    with np.errstate(all="ignore"):
        cases = [(a.add(b), x + y), (a.mul(b), x * y), (a.scale(factor), x * factor),
                 (a.relu(), np.where(x > 0.0, x, 0.0))]
    for ours, oracle in cases:
        got = np.array(values(ours), dtype=np.float64)
        # Which NaN payload survives may differ from numpy; everything else must match bit for bit.
        nan = np.isnan(oracle)
        assert np.array_equal(np.isnan(got), nan)
        assert got[~nan].tobytes() == oracle[~nan].tobytes()


def test_large_array_matches_numpy():
    rng = np.random.default_rng(7)
    x = rng.standard_normal(300_001)
    y = rng.standard_normal(300_001)
    a, b = PyNDArray(x.tolist(), [x.size]), PyNDArray(y.tolist(), [y.size])
    for ours, oracle in [(a.add(b), x + y), (a.mul(b), x * y), (a.scale(-0.75), x * -0.75),
                         (a.relu(), np.where(x > 0.0, x, 0.0))]:
        assert np.array(values(ours)).tobytes() == oracle.tobytes()
