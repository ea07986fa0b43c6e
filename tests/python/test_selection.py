"""gather, fancy_index, boolean_mask, the in-place masked_fill, and where_."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from row_major import Fault, bool_arrays, float_arrays, mask, nd, outcome, panic, position, shapes, values, walk
from tarvik import PyBoolArray, PyNDArray

SIX = ([0.0, 1.0, 2.0, 3.0, 4.0, 5.0], [2, 3])
FOUR = ([10.0, 20.0, 30.0, 40.0], [4])


def bools(shape, value):
    return PyBoolArray([value] * math.prod(shape), shape)


# ---- Reference, written from the element-by-element description ------------------------------

def bracketed(shape):
    return "[" + ", ".join(str(extent) for extent in shape) + "]"


def gather_reference(data, shape, axis, indices):
    if axis >= len(shape):
        raise Fault(f"axis {axis} is out of bounds for NDArray with {len(shape)} dimensions")
    for i in indices:
        if i >= shape[axis]:
            raise Fault(f"index {i} out of bounds for axis {axis} with shape {shape[axis]}")
    out_shape = shape[:axis] + [len(indices)] + shape[axis + 1:]
    out = []
    for index in walk(out_shape):
        source = index[:axis] + (indices[index[axis]],) + index[axis + 1:]
        out.append(data[position(shape, source)])
    return out, out_shape


def fancy_index_reference(data, shape, indices):
    if len(shape) != 1:
        raise Fault(f"fancy_index is only valid for 1D arrays, got {len(shape)}D")
    out = []
    for i in indices:
        if i >= shape[0]:
            raise Fault(f"index out of bounds for dimension 0: index {i}, shape {shape[0]}")
        out.append(data[i])
    return out, [len(indices)]


def check_mask(shape, mask_shape):
    if mask_shape != shape:
        raise Fault(f"mask shape {bracketed(mask_shape)} must equal self shape {bracketed(shape)}")


def boolean_mask_reference(data, shape, mask_data, mask_shape):
    check_mask(shape, mask_shape)
    out = [data[position(shape, i)] for i in walk(shape) if mask_data[position(shape, i)]]
    return out, [len(out)]


def masked_fill_reference(data, shape, mask_data, mask_shape, value):
    check_mask(shape, mask_shape)
    data = list(data)
    for index in walk(shape):
        if mask_data[position(shape, index)]:
            data[position(shape, index)] = value
    return data


def where_reference(data, shape, condition, condition_shape, other, other_shape):
    if not shape == condition_shape == other_shape:
        raise Fault(
            f"shape mismatch: self.shape {bracketed(shape)}, condition.shape {bracketed(condition_shape)}, "
            f"other.shape {bracketed(other_shape)}"
        )
    out = []
    for index in walk(shape):
        p = position(shape, index)
        out.append(data[p] if condition[p] else other[p])
    return out, list(shape)


# ---- Examples ----------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "array, call, shape, data",
    [
        (SIX, lambda a: a.gather(1, [2, 0]), [2, 2], [2, 0, 5, 3]),
        (SIX, lambda a: a.gather(0, [1, 1, 0]), [3, 3], [3, 4, 5, 3, 4, 5, 0, 1, 2]),
        (SIX, lambda a: a.gather(1, []), [2, 0], []),
        (([], [0, 3]), lambda a: a.gather(0, []), [0, 3], []),
        (FOUR, lambda a: a.gather(0, (3, 0, 3)), [3], [40, 10, 40]),
        (FOUR, lambda a: a.fancy_index(range(3, -1, -1)), [4], [40, 30, 20, 10]),
        (FOUR, lambda a: a.fancy_index([]), [0], []),
        (SIX, lambda a: a.boolean_mask(PyBoolArray([True, False, False, True, True, False], [2, 3])), [3], [0, 3, 4]),
        (SIX, lambda a: a.boolean_mask(bools([2, 3], False)), [0], []),
        (SIX, lambda a: a.boolean_mask(bools([2, 3], True)), [6], [0, 1, 2, 3, 4, 5]),
        (([7.0], []), lambda a: a.boolean_mask(bools([], True)), [1], [7]),
        (([7.0], []), lambda a: a.boolean_mask(bools([], False)), [0], []),
        (SIX, lambda a: a.where_(bools([2, 3], True), PyNDArray([-1.0] * 6, [2, 3])), [2, 3], [0, 1, 2, 3, 4, 5]),
        (SIX, lambda a: a.where_(bools([2, 3], False), PyNDArray([-1.0] * 6, [2, 3])), [2, 3], [-1.0] * 6),
        (([1.0], []), lambda a: a.where_(bools([], False), PyNDArray([2.0], [])), [], [2]),
    ],
)
def test_selects(array, call, shape, data):
    a = nd(array)
    out = call(a)
    assert out.shape() == shape
    assert values(out) == data
    assert values(a) == array[0]


@pytest.mark.parametrize(
    "array, call, message",
    [
        (SIX, lambda a: a.gather(2, [0]), "axis 2 is out of bounds for NDArray with 2 dimensions"),
        (SIX, lambda a: a.gather(9, [99]), "axis 9 is out of bounds for NDArray with 2 dimensions"),
        (([1.0], []), lambda a: a.gather(0, []), "axis 0 is out of bounds for NDArray with 0 dimensions"),
        (SIX, lambda a: a.gather(1, [0, 3]), "index 3 out of bounds for axis 1 with shape 3"),
        (SIX, lambda a: a.gather(0, [1, 4, 100]), "index 4 out of bounds for axis 0 with shape 2"),
        (([], [3, 0]), lambda a: a.gather(1, [0]), "index 0 out of bounds for axis 1 with shape 0"),
        (FOUR, lambda a: a.gather(0, [0, 9, 3, 100]), "index 9 out of bounds for axis 0 with shape 4"),
        (FOUR, lambda a: a.fancy_index([0, 9, 3, 100]), "index out of bounds for dimension 0: index 9, shape 4"),
        (SIX, lambda a: a.fancy_index([0]), "fancy_index is only valid for 1D arrays, got 2D"),
        (([1.0], []), lambda a: a.fancy_index([]), "fancy_index is only valid for 1D arrays, got 0D"),
        ((list(range(6)), [6]), lambda a: a.boolean_mask(bools([1, 6], True)), "mask shape [1, 6] must equal self shape [6]"),
        (SIX, lambda a: a.boolean_mask(bools([3, 2], True)), "mask shape [3, 2] must equal self shape [2, 3]"),
        (([1.0], []), lambda a: a.boolean_mask(bools([1], True)), "mask shape [1] must equal self shape []"),
        (SIX, lambda a: a.masked_fill(bools([3, 2], True), 9.0), "mask shape [3, 2] must equal self shape [2, 3]"),
        ((list(range(6)), [6]), lambda a: a.masked_fill(bools([6, 1], True), 9.0), "mask shape [6, 1] must equal self shape [6]"),
        (SIX, lambda a: a.where_(bools([3, 2], True), PyNDArray([0.0] * 6, [2, 3])),
         "shape mismatch: self.shape [2, 3], condition.shape [3, 2], other.shape [2, 3]"),
        (SIX, lambda a: a.where_(bools([2, 3], True), PyNDArray([0.0] * 6, [6])),
         "shape mismatch: self.shape [2, 3], condition.shape [2, 3], other.shape [6]"),
        (([1.0], []), lambda a: a.where_(bools([1], True), PyNDArray([0.0], [1])),
         "shape mismatch: self.shape [], condition.shape [1], other.shape [1]"),
    ],
)
def test_faults_leave_the_receiver_unchanged(array, call, message):
    a = nd(array)
    assert panic(lambda: call(a)) == message
    assert values(a) == array[0]


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda a: a.gather(-1, "not converted"), OverflowError),
        (lambda a: a.gather(0, [0, -1]), OverflowError),
        (lambda a: a.fancy_index(3), TypeError),
        (lambda a: a.boolean_mask([True] * 4), TypeError),
        (lambda a: a.where_(PyBoolArray([True] * 4, [4]), [1.0] * 4), TypeError),
    ],
)
def test_argument_errors_are_not_engine_faults(call, error):
    with pytest.raises(error):
        call(nd(FOUR))


def test_masked_fill_is_visible_through_every_reference():
    a = nd(SIX)
    alias, holder = a, {"kept": a}
    assert a.masked_fill(PyBoolArray([False, True, False, False, False, True], [2, 3]), -math.inf) is None
    for ref in (a, alias, holder["kept"]):
        assert values(ref) == [0, -math.inf, 2, 3, 4, -math.inf]
    assert a.get([1, 2]) == -math.inf and a.sum() == -math.inf


@pytest.mark.parametrize("array, fill", [(SIX, False), (([], [0, 4]), True)])
def test_masked_fill_with_nothing_to_fill_changes_nothing(array, fill):
    a = nd(array)
    a.masked_fill(bools(array[1], fill), 99.0)
    assert values(a) == array[0] and a.shape() == array[1]


def test_where_accepts_the_receiver_as_other():
    a = nd(SIX)
    out = a.where_(PyBoolArray([True, False] * 3, [2, 3]), a)
    assert values(out) == SIX[0]
    assert values(a.where_(bools([2, 3], False), a)) == SIX[0]


def test_results_share_nothing_with_the_receiver():
    a = nd(SIX)
    picked = a.gather(0, [0])
    kept = a.boolean_mask(bools([2, 3], True))
    chosen = a.where_(bools([2, 3], True), a)
    a.masked_fill(bools([2, 3], True), 0.0)
    assert values(picked) == [0, 1, 2] and values(kept) == SIX[0] and values(chosen) == SIX[0]


# ---- Random shapes against the reference and numpy ---------------------------------------------

@st.composite
def gather_cases(draw):
    data, shape = draw(float_arrays())
    axis = draw(st.integers(0, 4))
    bound = shape[axis] + 1 if axis < len(shape) else 3
    indices = draw(st.lists(st.integers(0, bound), max_size=5))
    return data, shape, axis, indices


@settings(max_examples=300, derandomize=True, deadline=None)
@given(gather_cases())
def test_gather_and_fancy_index_match_the_reference(case):
    data, shape, axis, indices = case
    a = nd((data, shape))
    got = outcome(lambda: (values(r := a.gather(axis, indices)), r.shape()))
    assert got == outcome(lambda: gather_reference(data, shape, axis, indices))
    if got[0] != "fault":
        oracle = np.take(np.array(data).reshape(shape), np.array(indices, dtype=np.intp), axis)
        assert got[0] == oracle.ravel().tolist()

    got = outcome(lambda: (values(r := a.fancy_index(indices)), r.shape()))
    assert got == outcome(lambda: fancy_index_reference(data, shape, indices))
    if got[0] != "fault":
        assert got[0] == np.array(data)[np.array(indices, dtype=np.intp)].tolist()


@st.composite
def masked_cases(draw):
    data, shape = draw(float_arrays())
    # Mostly a matching shape, sometimes any other, so both paths are exercised.
    condition_shape = draw(st.one_of(st.just(shape), st.just(shape), st.just(shape), shapes))
    condition = draw(bool_arrays(condition_shape))
    other = draw(float_arrays(draw(st.one_of(st.just(shape), st.just(shape), st.just(shape), shapes))))
    return (data, shape), condition, other


@settings(max_examples=300, derandomize=True, deadline=None)
@given(masked_cases(), st.floats(allow_nan=False))
def test_masks_and_where_match_the_reference(case, value):
    (data, shape), (mask_data, mask_shape), (other, other_shape) = case
    a = nd((data, shape))
    m = mask((mask_data, mask_shape))
    same = mask_shape == shape

    got = outcome(lambda: (values(r := a.boolean_mask(m)), r.shape()))
    assert got == outcome(lambda: boolean_mask_reference(data, shape, mask_data, mask_shape))
    if same:
        assert got[0] == np.array(data).reshape(shape)[np.array(mask_data, dtype=bool).reshape(shape)].tolist()

    got = outcome(lambda: (values(r := a.where_(m, nd((other, other_shape)))), r.shape()))
    assert got == outcome(lambda: where_reference(data, shape, mask_data, mask_shape, other, other_shape))
    if got[0] != "fault":
        oracle = np.where(np.array(mask_data, dtype=bool).reshape(shape), np.array(data).reshape(shape),
                          np.array(other).reshape(shape))
        assert got[0] == oracle.ravel().tolist()

    expected = outcome(lambda: masked_fill_reference(data, shape, mask_data, mask_shape, value))
    result = outcome(lambda: a.masked_fill(m, value))
    if isinstance(expected, tuple):  # the reference faulted
        assert result == expected and values(a) == data
    else:
        oracle = np.array(data).reshape(shape)
        oracle[np.array(mask_data, dtype=bool).reshape(shape)] = value
        assert result is None and values(a) == expected == oracle.ravel().tolist()
