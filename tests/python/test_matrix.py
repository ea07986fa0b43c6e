"""matmul, matmul_blas and transpose of 2-D arrays."""

import math
import random

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from row_major import panic, values
from tarvik import PyNDArray

LEFT = ([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], [2, 3])
RIGHT = ([7.0, 8.0, 9.0, 10.0, 11.0, 12.0], [3, 2])
BIG = 2**31


def random_matrix(rng, rows, cols):
    return PyNDArray([rng.uniform(-1.0, 1.0) for _ in range(rows * cols)], [rows, cols])


def as_numpy(a):
    return np.array(values(a), dtype=np.float64).reshape(a.shape())


def triple_loop(a, b):
    """The product element by element: products in ascending l, added to a total from +0.0."""
    (m, k), (_, n) = a.shape(), b.shape()
    x, y = values(a), values(b)
    out = []
    for i in range(m):
        for j in range(n):
            total = 0.0
            for l in range(k):
                total = total + x[i * k + l] * y[l * n + j]
            out.append(total)
    return out


@pytest.mark.parametrize("method", ["matmul", "matmul_blas"])
def test_worked_example(method):
    out = getattr(PyNDArray(*LEFT), method)(PyNDArray(*RIGHT))
    assert out.shape() == [2, 2]
    assert values(out) == [58.0, 64.0, 139.0, 154.0]


@pytest.mark.parametrize("method", ["matmul", "matmul_blas"])
@pytest.mark.parametrize("m, k, n", [(2, 0, 3), (0, 3, 2), (3, 2, 0), (0, 0, 0)])
def test_empty_sizes_give_m_by_n_positive_zeros(method, m, k, n):
    out = getattr(PyNDArray([1.0] * (m * k), [m, k]), method)(PyNDArray([1.0] * (k * n), [k, n]))
    assert out.shape() == [m, n]
    assert [(x, math.copysign(1.0, x)) for x in values(out)] == [(0.0, 1.0)] * (m * n)


def test_native_accumulator_starts_at_positive_zero():
    out = PyNDArray([-0.0], [1, 1]).matmul(PyNDArray([1.0], [1, 1]))
    assert math.copysign(1.0, values(out)[0]) == 1.0


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: PyNDArray([1.0, 2.0, 3.0], [3]).matmul(PyNDArray(*RIGHT)), "matmul requires 2D arrays, got 1D and 2D"),
        (lambda: PyNDArray(*LEFT).matmul(PyNDArray([1.0, 2.0, 3.0], [3])), "matmul requires 2D arrays, got 2D and 1D"),
        (lambda: PyNDArray(*LEFT).matmul(PyNDArray([0.0] * 4, [2, 2])),
         "shape mismatch for matmul: self.shape[1] (3) must equal other.shape[0] (2)"),
        (lambda: PyNDArray([1.0, 2.0, 3.0], [3]).matmul_blas(PyNDArray(*RIGHT)),
         "matmul_blas requires 2D arrays, got 1D and 2D"),
        (lambda: PyNDArray(*LEFT).matmul_blas(PyNDArray([1.0, 2.0, 3.0], [3])),
         "matmul_blas requires 2D arrays, got 2D and 1D"),
        (lambda: PyNDArray(*LEFT).matmul_blas(PyNDArray([0.0] * 4, [2, 2])),
         "shape mismatch for matmul_blas: self.shape[1] (3) must equal other.shape[0] (2)"),
        (lambda: PyNDArray([], [0, BIG]).matmul_blas(PyNDArray([], [BIG, 0])),
         "matmul_blas supports sizes below 2^31, got m = 0, k = 2147483648, n = 0"),
        (lambda: PyNDArray([], [0, 0]).matmul_blas(PyNDArray([], [0, BIG])),
         "matmul_blas supports sizes below 2^31, got m = 0, k = 0, n = 2147483648"),
        (lambda: PyNDArray([1.0, 2.0, 3.0], [3]).transpose(), "transpose requires a 2D array, got 1D"),
        (lambda: PyNDArray([1.0], []).transpose(), "transpose requires a 2D array, got 0D"),
    ],
)
def test_faults(call, message):
    assert panic(call) == message


def test_native_product_of_zero_sizes_beyond_32_bits():
    assert PyNDArray([], [0, BIG]).matmul(PyNDArray([], [BIG, 0])).shape() == [0, 0]


@pytest.mark.parametrize("m, k, n", [(1, 1, 1), (3, 5, 7), (9, 17, 13), (31, 70, 26)])
def test_native_product_equals_the_triple_loop_exactly(m, k, n):
    rng = random.Random(m * 1000 + k * 10 + n)
    a, b = random_matrix(rng, m, k), random_matrix(rng, k, n)
    assert values(a.matmul(b)) == triple_loop(a, b)


def test_a_matrix_times_itself():
    a = random_matrix(random.Random(5), 12, 12)
    assert values(a.matmul(a)) == triple_loop(a, a)
    assert np.allclose(as_numpy(a.matmul_blas(a)), as_numpy(a) @ as_numpy(a), rtol=0, atol=1e-14)


@pytest.mark.parametrize("m, k, n", [(1, 1, 1), (7, 3, 5), (64, 64, 64), (65, 130, 33), (200, 1, 9)])
def test_blas_product_agrees_with_the_native_one(m, k, n):
    rng = random.Random(m + k + n)
    a, b = random_matrix(rng, m, k), random_matrix(rng, k, n)
    native, blas = as_numpy(a.matmul(b)), as_numpy(a.matmul_blas(b))
    assert blas.shape == (m, n)
    assert np.allclose(native, blas, rtol=0, atol=k * 1e-15)


@pytest.mark.parametrize("call", [lambda a, b: a.matmul(b), lambda a, b: a.matmul_blas(b), lambda a, b: a.transpose()])
def test_inputs_are_unchanged(call):
    a, b = PyNDArray(*LEFT), PyNDArray(*RIGHT)
    call(a, b)
    assert values(a) == LEFT[0] and a.shape() == LEFT[1]
    assert values(b) == RIGHT[0] and b.shape() == RIGHT[1]


@pytest.mark.parametrize(
    "data, shape, expected_data, expected_shape",
    [
        ([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], [2, 3], [1.0, 4.0, 2.0, 5.0, 3.0, 6.0], [3, 2]),
        ([], [0, 5], [], [5, 0]),
        ([1.0, 2.0], [1, 2], [1.0, 2.0], [2, 1]),
    ],
)
def test_transpose(data, shape, expected_data, expected_shape):
    out = PyNDArray(data, shape).transpose()
    assert out.shape() == expected_shape
    assert values(out) == expected_data


@settings(max_examples=100, deadline=None)
@given(st.integers(0, 40), st.integers(0, 40), st.randoms(use_true_random=False))
def test_transpose_matches_numpy_and_round_trips(rows, cols, rng):
    a = random_matrix(rng, rows, cols)
    t = a.transpose()
    assert np.array_equal(as_numpy(t), as_numpy(a).T)
    back = t.transpose()
    assert back.shape() == [rows, cols] and values(back) == values(a)
