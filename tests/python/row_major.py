"""Small pure-Python helpers shared by the tests: reading an array's elements, the row-major walk
over a shape, engine faults, and hypothesis strategies for arrays of 0 to 4 dimensions."""

import math

import pytest
from hypothesis import strategies as st

from tarvik import PyBoolArray, PyNDArray


class Fault(Exception):
    """What the reference raises where the engine raises PanicException."""


def values(array):
    """The elements of an array in row-major order."""
    count = math.prod(array.shape())
    flat = array.reshape([count])
    return [flat.get([i]) for i in range(count)]


def walk(shape):
    """Every multi-index of `shape` in row-major order: once for [], never with a zero extent."""
    if 0 in shape:
        return
    index = [0] * len(shape)
    while True:
        yield tuple(index)
        d = len(shape)
        while d > 0:
            index[d - 1] += 1
            if index[d - 1] < shape[d - 1]:
                break
            index[d - 1] = 0
            d -= 1
        if d == 0:
            return


def position(shape, index):
    """Where a multi-index lies in flat row-major data."""
    p = 0
    for extent, i in zip(shape, index):
        p = p * extent + i
    return p


def is_panic(error):
    """Whether `error` is the module's PanicException, which derives from BaseException only."""
    return type(error).__name__ == "PanicException" and not isinstance(error, Exception)


def panic(call):
    """Runs `call`, which must raise PanicException, and returns its message."""
    with pytest.raises(BaseException) as info:
        call()
    assert is_panic(info.value), repr(info.value)
    return str(info.value)


def outcome(call):
    """The result of `call`, or ("fault", message) for an engine fault or a reference Fault."""
    try:
        return call()
    except Fault as fault:
        return ("fault", str(fault))
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        return ("fault", str(error))


shapes = st.lists(st.integers(0, 3), min_size=0, max_size=4)
elements = st.floats(allow_nan=False, width=64)


@st.composite
def float_arrays(draw, shape=None):
    """(data, shape) of a float array; the shape is drawn unless given."""
    if shape is None:
        shape = draw(shapes)
    data = draw(st.lists(elements, min_size=math.prod(shape), max_size=math.prod(shape)))
    return data, shape


@st.composite
def bool_arrays(draw, shape):
    data = draw(st.lists(st.booleans(), min_size=math.prod(shape), max_size=math.prod(shape)))
    return data, shape


def nd(pair):
    return PyNDArray(*pair)


def mask(pair):
    return PyBoolArray(*pair)
