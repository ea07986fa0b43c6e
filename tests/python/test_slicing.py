"""slice_row, slice_col, slice_range and the in-place set_slice."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from row_major import Fault, float_arrays, nd, outcome, panic, position, values, walk

SIX = ([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], [2, 3])
FOUR = ([10.0, 20.0, 30.0, 40.0], [4])
CUBE = ([float(i) for i in range(8)], [2, 2, 2])


# ---- Reference, written from the element-by-element description ------------------------------

def check_range(shape, axis, start, end):
    if axis >= len(shape):
        raise Fault(f"axis {axis} is out of bounds for NDArray with {len(shape)} dimensions")
    if start >= end:
        raise Fault(f"invalid range: start {start} must be less than end {end}")
    if end > shape[axis]:
        raise Fault(f"range end {end} is out of bounds for axis {axis} with shape {shape[axis]}")


def slice_range_reference(data, shape, axis, start, end):
    check_range(shape, axis, start, end)
    out_shape = shape[:axis] + [end - start] + shape[axis + 1:]
    out = []
    for index in walk(out_shape):
        source = index[:axis] + (start + index[axis],) + index[axis + 1:]
        out.append(data[position(shape, source)])
    return out, out_shape


def set_slice_reference(data, shape, axis, start, end, value):
    check_range(shape, axis, start, end)
    data = list(data)
    for index in walk(shape):
        if start <= index[axis] < end:
            data[position(shape, index)] = value
    return data


def line_reference(data, shape, fixed_axis, at):
    name = "slice_row" if fixed_axis == 0 else "slice_col"
    if len(shape) != 2:
        raise Fault(f"{name} requires a 2D array, got {len(shape)}D")
    if at >= shape[fixed_axis]:
        raise Fault(f"index out of bounds for dimension {fixed_axis}: index {at}, shape {shape[fixed_axis]}")
    free = shape[1 - fixed_axis]
    out = [data[position(shape, (at, j) if fixed_axis == 0 else (j, at))] for j in range(free)]
    return out, [free]


# ---- Examples ----------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "array, method, args, shape, data",
    [
        (SIX, "slice_row", (1,), [3], [4, 5, 6]),
        (SIX, "slice_col", (2,), [2], [3, 6]),
        (SIX, "slice_range", (1, 1, 3), [2, 2], [2, 3, 5, 6]),
        (SIX, "slice_range", (0, 1, 2), [1, 3], [4, 5, 6]),
        (FOUR, "slice_range", (0, 1, 4), [3], [20, 30, 40]),
        (CUBE, "slice_range", (1, 1, 2), [2, 1, 2], [2, 3, 6, 7]),
        (([], [2, 0]), "slice_row", (0,), [0], []),
        (([], [0, 3]), "slice_col", (1,), [0], []),
    ],
)
def test_selects(array, method, args, shape, data):
    a = nd(array)
    out = getattr(a, method)(*args)
    assert out.shape() == shape
    assert values(out) == data
    assert values(a) == array[0]


RANGE_FAULTS = [
    (SIX, (0, 2, 2), "invalid range: start 2 must be less than end 2"),
    (SIX, (0, 3, 1), "invalid range: start 3 must be less than end 1"),
    (SIX, (5, 3, 1), "axis 5 is out of bounds for NDArray with 2 dimensions"),
    (SIX, (2, 0, 1), "axis 2 is out of bounds for NDArray with 2 dimensions"),
    (SIX, (1, 0, 4), "range end 4 is out of bounds for axis 1 with shape 3"),
    (FOUR, (0, 1, 5), "range end 5 is out of bounds for axis 0 with shape 4"),
    (([0.0] * 24, [2, 3, 4]), (2, 4, 9), "range end 9 is out of bounds for axis 2 with shape 4"),
    (([5.0], []), (0, 0, 1), "axis 0 is out of bounds for NDArray with 0 dimensions"),
]


@pytest.mark.parametrize(
    "array, method, args, message",
    [(array, "slice_range", args, message) for array, args, message in RANGE_FAULTS]
    + [(array, "set_slice", args + (-1.0,), message) for array, args, message in RANGE_FAULTS]
    + [
        (SIX, "slice_row", (2,), "index out of bounds for dimension 0: index 2, shape 2"),
        (SIX, "slice_col", (3,), "index out of bounds for dimension 1: index 3, shape 3"),
        (([], [2, 0]), "slice_col", (0,), "index out of bounds for dimension 1: index 0, shape 0"),
        (([5.0], []), "slice_row", (0,), "slice_row requires a 2D array, got 0D"),
        (FOUR, "slice_row", (0,), "slice_row requires a 2D array, got 1D"),
        (CUBE, "slice_col", (0,), "slice_col requires a 2D array, got 3D"),
    ],
)
def test_faults_leave_the_receiver_unchanged(array, method, args, message):
    a = nd(array)
    assert panic(lambda: getattr(a, method)(*args)) == message
    assert values(a) == array[0]
    assert a.shape() == array[1]


@pytest.mark.parametrize(
    "array, args, after",
    [
        (SIX, (1, 1, 2, 0.0), [1, 0, 3, 4, 0, 6]),
        (SIX, (0, 0, 2, 7.5), [7.5] * 6),
        (FOUR, (0, 1, 3, 9.0), [10, 9, 9, 40]),
        (CUBE, (2, 0, 1, -1.0), [-1, 1, -1, 3, -1, 5, -1, 7]),
        (([], [3, 0, 2]), (0, 1, 2, 1.0), []),
    ],
)
def test_set_slice_writes_the_slab_in_place(array, args, after):
    a = nd(array)
    alias = a
    assert a.set_slice(*args) is None
    assert values(alias) == after
    assert a.shape() == array[1]


def test_set_slice_writes_nan_and_infinities_unchanged():
    a = nd(FOUR)
    a.set_slice(0, 0, 1, math.nan)
    a.set_slice(0, 3, 4, -math.inf)
    got = values(a)
    assert math.isnan(got[0]) and got[1:] == [20, 30, -math.inf]


def test_slices_share_nothing_with_the_receiver():
    a = nd(SIX)
    row, col, block = a.slice_row(0), a.slice_col(0), a.slice_range(0, 0, 1)
    a.set_slice(0, 0, 2, 0.0)
    assert values(row) == [1, 2, 3] and values(col) == [1, 4] and values(block) == [1, 2, 3]
    row.set_slice(0, 0, 3, 9.0)
    assert values(a) == [0.0] * 6


def test_keywords_name_the_parameters():
    a = nd(SIX)
    assert values(a.slice_range(end=3, start=2, axis=1)) == [3, 6]
    a.set_slice(value=8.0, end=1, start=0, axis=0)
    assert values(a) == [8, 8, 8, 4, 5, 6]


# ---- Random shapes against the reference and numpy ---------------------------------------------

def as_numpy(data, shape):
    return np.array(data, dtype=np.float64).reshape(shape)


def numpy_slab(shape, axis, start, end):
    return (slice(None),) * axis + (slice(start, end),)


@settings(max_examples=300, derandomize=True, deadline=None)
@given(float_arrays(), st.integers(0, 4), st.integers(0, 4), st.integers(0, 5))
def test_slice_range_and_set_slice_match_the_reference(array, axis, start, end):
    data, shape = array
    a = nd(array)
    got = outcome(lambda: (values(r := a.slice_range(axis, start, end)), r.shape()))
    assert got == outcome(lambda: slice_range_reference(data, shape, axis, start, end))
    if got[0] != "fault":
        assert got[0] == as_numpy(data, shape)[numpy_slab(shape, axis, start, end)].ravel().tolist()

    expected = outcome(lambda: set_slice_reference(data, shape, axis, start, end, -7.25))
    fault = outcome(lambda: a.set_slice(axis, start, end, -7.25))
    if isinstance(expected, tuple):  # the reference faulted
        assert fault == expected and values(a) == data
    else:
        oracle = as_numpy(data, shape)
        oracle[numpy_slab(shape, axis, start, end)] = -7.25
        assert fault is None and values(a) == expected == oracle.ravel().tolist()


@settings(max_examples=200, derandomize=True, deadline=None)
@given(float_arrays(), st.integers(0, 4))
def test_slice_row_and_col_match_the_reference(array, at):
    data, shape = array
    a = nd(array)
    for fixed_axis, method in ((0, a.slice_row), (1, a.slice_col)):
        got = outcome(lambda: (values(r := method(at)), r.shape()))
        assert got == outcome(lambda: line_reference(data, shape, fixed_axis, at))
        if got[0] != "fault":
            line = as_numpy(data, shape)[at] if fixed_axis == 0 else as_numpy(data, shape)[:, at]
            assert got[0] == line.tolist()

