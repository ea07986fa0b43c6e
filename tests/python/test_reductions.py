"""sum, mean, argmax, cumsum, sigmoid and softmax over the flat elements."""

import itertools
import math
import random
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from row_major import float_arrays, nd, panic, values
from tarvik import PyNDArray

INF = math.inf
NAN = math.nan


def same(expected, actual):
    """Equal including the sign of zero; any NaN matches any NaN."""
    if math.isnan(expected):
        return math.isnan(actual)
    return expected == actual and math.copysign(1.0, expected) == math.copysign(1.0, actual)


def all_same(expected, actual):
    return len(expected) == len(actual) and all(same(e, a) for e, a in zip(expected, actual))


# ---- References, written from the element-by-element description ------------------------------

def left_to_right(data):
    total = -0.0
    for x in data:
        total = total + x
    return total


def running_totals(data):
    out, total = [], 0.0
    for x in data:
        total = total + x
        out.append(total)
    return out


def first_largest(data):
    best, answer = data[0], 0
    for i, x in enumerate(data):
        if x > best:
            best, answer = x, i
    return answer


def exp(x):
    """The C library's exp, which overflows to +inf where Python's raises."""
    try:
        return math.exp(x)
    except OverflowError:
        return INF


def normalised(finite_data):
    e = [exp(x) for x in finite_data]
    total = left_to_right(e)
    if finite_data and (total < sys.float_info.min or total == INF):
        top = max(finite_data)
        e = [exp(x - top) for x in finite_data]
        total = left_to_right(e)
    return [x / total for x in e]


# ---- Worked examples ------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "data, shape, expected_sum, expected_mean",
    [
        ([], [0], -0.0, 0.0),
        ([], [2, 0], -0.0, 0.0),
        ([-0.0], [1], -0.0, -0.0),
        ([0.0, -0.0], [2], 0.0, 0.0),
        ([1e16, 1.0, -1e16], [3], 0.0, 0.0),
        ([1.0, 2.0], [2], 3.0, 1.5),
        ([4.0], [], 4.0, 4.0),
        ([INF, -INF], [2], NAN, NAN),
    ],
)
def test_sum_and_mean(data, shape, expected_sum, expected_mean):
    a = PyNDArray(data, shape)
    assert same(expected_sum, a.sum())
    assert same(expected_mean, a.mean())
    assert type(a.sum()) is float and type(a.mean()) is float


@pytest.mark.parametrize(
    "data, shape, expected",
    [
        ([1.0, 3.0, 3.0], [3], 1),
        ([NAN, 5.0], [2], 0),
        ([1.0, NAN, 2.0], [3], 2),
        ([1.0, 9.0, 9.0, 0.0], [2, 2], 1),
        ([-0.0, 0.0], [2], 0),
        ([7.0], [], 0),
    ],
)
def test_argmax(data, shape, expected):
    answer = PyNDArray(data, shape).argmax()
    assert answer == expected and type(answer) is int


@pytest.mark.parametrize("shape", [[0], [2, 0], [0, 0, 3]])
def test_argmax_on_an_empty_array_panics(shape):
    assert panic(lambda: PyNDArray([], shape).argmax()) == "argmax on empty array"


@pytest.mark.parametrize(
    "data, shape, expected_shape, expected",
    [
        ([1.0, 2.0, 3.0, 4.0], [2, 2], [4], [1.0, 3.0, 6.0, 10.0]),
        ([5.0], [], [1], [5.0]),
        ([], [2, 0], [0], []),
        ([-0.0, 2.0], [2], [2], [0.0, 2.0]),
    ],
)
def test_cumsum(data, shape, expected_shape, expected):
    out = PyNDArray(data, shape).cumsum()
    assert out.shape() == expected_shape
    assert all_same(expected, values(out))


@pytest.mark.parametrize(
    "data, expected",
    [([0.0], [0.5]), ([-1000.0], [0.0]), ([1000.0], [1.0]), ([NAN], [NAN]), ([-INF, INF], [0.0, 1.0])],
)
def test_sigmoid(data, expected):
    assert all_same(expected, values(PyNDArray(data, [len(data)]).sigmoid()))


# The last three rows are the mended overflow: finite inputs whose plain sum overflows or vanishes
# are normalised with their largest element subtracted first.
@pytest.mark.parametrize(
    "data, expected",
    [
        ([0.0, 0.0], [0.5, 0.5]),
        ([INF, 0.0], [NAN, 0.0]),
        ([-INF, -INF], [NAN, NAN]),
        ([NAN, 0.0], [NAN, NAN]),
        ([1000.0, 1000.0], [0.5, 0.5]),
        ([1000.0, 0.0], [1.0, 0.0]),
        ([-1000.0, -1000.0], [0.5, 0.5]),
    ],
)
def test_softmax(data, expected):
    assert all_same(expected, values(PyNDArray(data, [len(data)]).softmax()))


@pytest.mark.parametrize("method", ["sigmoid", "softmax"])
@pytest.mark.parametrize("shape", [[], [0], [2, 0], [2, 3], [1, 2, 2]])
def test_activations_keep_the_shape(method, shape):
    a = PyNDArray([0.25 * i for i in range(math.prod(shape))], shape)
    assert getattr(a, method)().shape() == shape


def test_softmax_normalises_the_whole_matrix_not_each_row():
    out = values(PyNDArray([1.0, 2.0, 3.0, 4.0], [2, 2]).softmax())
    assert math.isclose(sum(out), 1.0, rel_tol=1e-15)
    assert out[0] + out[1] < 0.5


def test_the_receiver_is_unchanged():
    data = [3.0, -1.0, 2.0, 0.5]
    a = PyNDArray(data, [2, 2])
    for method in ["sum", "mean", "argmax", "cumsum", "sigmoid", "softmax"]:
        getattr(a, method)()
    assert values(a) == data and a.shape() == [2, 2]


# ---- Properties against the references, bit for bit --------------------------------------------

magnitudes = st.floats(min_value=-1e300, max_value=1e300, allow_nan=False)


@settings(max_examples=200, deadline=None)
@given(float_arrays())
def test_sums_follow_the_left_to_right_order(pair):
    data, _ = pair
    a = nd(pair)
    assert same(left_to_right(data), a.sum())
    assert same(left_to_right(data) / len(data) if data else 0.0, a.mean())
    assert all_same(running_totals(data), values(a.cumsum()))


def test_running_totals_of_an_output_mapped_in_by_another_worker():
    # 40 MB of output: another worker maps its pages in while the totals are written.
    rng = random.Random(5)
    data = [rng.uniform(-5.0, 5.0) for _ in range(5_000_000)]
    expected = PyNDArray(list(itertools.accumulate(data, initial=0.0))[1:], [len(data)])
    difference = PyNDArray(data, [len(data)]).cumsum().add(expected.scale(-1.0))
    assert difference.relu().sum() == 0.0 and difference.scale(-1.0).relu().sum() == 0.0


@settings(max_examples=200, deadline=None)
@given(st.lists(st.one_of(magnitudes, st.just(NAN), st.just(INF), st.just(-INF)), min_size=1, max_size=60))
def test_argmax_picks_the_first_largest_comparable_element(data):
    assert PyNDArray(data, [len(data)]).argmax() == first_largest(data)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.floats(min_value=-1e4, max_value=1e4), min_size=0, max_size=40))
def test_activations_match_the_library_exp(data):
    a = PyNDArray(data, [len(data)])
    assert all_same([1.0 / (exp(-x) + 1.0) for x in data], values(a.sigmoid()))
    assert all_same(normalised(data), values(a.softmax()))
