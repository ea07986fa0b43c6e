"""Argument parsing and conversion, borrowing, result conversion and the fault barrier.

Most cases here fail before the engine runs, so they hold whatever the engine operations do.
"""

import itertools
import math
import re
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarvik import PyBoolArray, PyNDArray

# ---------------------------------------------------------------------------------------------
# Parameter lists: (class, function) -> [(parameter, kind)], as the classes document them.

PARAMETERS = {
    ("PyNDArray", "__new__"): [("data", "floats"), ("shape", "uints")],
    ("PyBoolArray", "__new__"): [("data", "flags"), ("shape", "uints")],
    ("PyNDArray", "get"): [("index", "uints")],
    ("PyNDArray", "scale"): [("scalar", "float")],
    ("PyNDArray", "add"): [("other", "ndarray")],
    ("PyNDArray", "mul"): [("other", "ndarray")],
    ("PyNDArray", "matmul"): [("other", "ndarray")],
    ("PyNDArray", "matmul_blas"): [("other", "ndarray")],
    ("PyNDArray", "boolean_mask"): [("mask", "boolarray")],
    ("PyNDArray", "masked_fill"): [("mask", "boolarray"), ("value", "float")],
    ("PyNDArray", "where_"): [("condition", "boolarray"), ("other", "ndarray")],
    ("PyNDArray", "fancy_index"): [("indices", "uints")],
    ("PyNDArray", "slice_row"): [("row", "uint")],
    ("PyNDArray", "slice_col"): [("col", "uint")],
    ("PyNDArray", "slice_range"): [("axis", "uint"), ("start", "uint"), ("end", "uint")],
    ("PyNDArray", "reshape"): [("new_shape", "uints")],
    ("PyNDArray", "gather"): [("axis", "uint"), ("indices", "uints")],
    ("PyNDArray", "set_slice"): [("axis", "uint"), ("start", "uint"), ("end", "uint"), ("value", "float")],
}


def receiver():
    return PyNDArray([0.0, 1.0, 2.0, 3.0, 4.0, 5.0], [2, 3])


def mask():
    return PyBoolArray([True, False, True, False, True, False], [2, 3])


def good(kind):
    """A value of `kind` that converts."""
    return {
        "floats": [1.0] * 6,
        "flags": [True] * 6,
        "uints": [0, 0],
        "float": 1.5,
        "uint": 0,
        "ndarray": receiver(),
        "boolarray": mask(),
    }[kind]


def bad(kind):
    """A value of `kind`'s wrong type, and the text of the TypeError its conversion raises."""
    return {
        "floats": ("abc", "Can't extract `str` to `Vec`"),
        "flags": ([True, 1], "'int' object cannot be converted to 'PyBool'"),
        "uints": (7, "'int' object cannot be converted to 'Sequence'"),
        "float": ("x", "must be real number, not str"),
        "uint": (1.5, "'float' object cannot be interpreted as an integer"),
        "ndarray": ([1.0], "'list' object cannot be converted to 'PyNDArray'"),
        "boolarray": (receiver(), "'PyNDArray' object cannot be converted to 'PyBoolArray'"),
    }[kind]


def bound(cls_name, function):
    """The callable for one description: the class itself for a constructor, else a bound method."""
    cls = {"PyNDArray": PyNDArray, "PyBoolArray": PyBoolArray}[cls_name]
    return cls if function == "__new__" else getattr(receiver(), function)


def full_name(cls_name, function):
    return f"{cls_name}.{function}()"


CALLABLES = sorted(PARAMETERS)
CALLABLE_IDS = [f"{c}.{f}" for c, f in CALLABLES]


def quoted(names):
    names = [f"'{n}'" for n in names]
    if len(names) == 1:
        return names[0]
    if len(names) == 2:
        return f"{names[0]} and {names[1]}"
    return ", ".join(names[:-1]) + ", and " + names[-1]


def raises_exactly(exception, text):
    return pytest.raises(exception, match="^" + __import__("re").escape(text) + "$")


# ---------------------------------------------------------------------------------------------
# Parsing


@pytest.mark.parametrize("key", CALLABLES, ids=CALLABLE_IDS)
def test_missing_every_argument(key):
    names = [p for p, _ in PARAMETERS[key]]
    count = len(names)
    word = "argument" if count == 1 else "arguments"
    with raises_exactly(TypeError, f"{full_name(*key)} missing {count} required positional {word}: {quoted(names)}"):
        bound(*key)()


@pytest.mark.parametrize("key", CALLABLES, ids=CALLABLE_IDS)
def test_too_many_positional_arguments(key):
    count = len(PARAMETERS[key])
    with raises_exactly(TypeError, f"{full_name(*key)} takes {count} positional arguments but {count + 1} were given"):
        bound(*key)(*range(count + 1))


@pytest.mark.parametrize("key", CALLABLES, ids=CALLABLE_IDS)
def test_unexpected_keyword(key):
    with raises_exactly(TypeError, f"{full_name(*key)} got an unexpected keyword argument 'bogus'"):
        bound(*key)(bogus=1)


@pytest.mark.parametrize("key", CALLABLES, ids=CALLABLE_IDS)
def test_multiple_values(key):
    first = PARAMETERS[key][0][0]
    with raises_exactly(TypeError, f"{full_name(*key)} got multiple values for argument '{first}'"):
        bound(*key)(0, **{first: 0})


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda a: a.get(), "PyNDArray.get() missing 1 required positional argument: 'index'"),
        (lambda a: a.slice_range(0), "PyNDArray.slice_range() missing 2 required positional arguments: 'start' and 'end'"),
        (lambda a: a.set_slice(0), "PyNDArray.set_slice() missing 3 required positional arguments: 'start', 'end', and 'value'"),
        (lambda a: a.set_slice(axis=0, end=1), "PyNDArray.set_slice() missing 2 required positional arguments: 'start' and 'value'"),
        (lambda a: a.get([0, 0], [1]), "PyNDArray.get() takes 1 positional arguments but 2 were given"),
        (lambda a: a.get(idx=[1, 0]), "PyNDArray.get() got an unexpected keyword argument 'idx'"),
        (lambda a: a.gather(0, [1], indices=[1]), "PyNDArray.gather() got multiple values for argument 'indices'"),
        (lambda a: PyNDArray([1.0], data=[1.0]), "PyNDArray.__new__() got multiple values for argument 'data'"),
        (lambda a: PyBoolArray(shape=[1]), "PyBoolArray.__new__() missing 1 required positional argument: 'data'"),
        # Parsing comes before any conversion: the wrong-typed argument is never looked at.
        (lambda a: a.slice_range("x", 0, 1, 2), "PyNDArray.slice_range() takes 3 positional arguments but 4 were given"),
        (lambda a: a.scale("x", other=1), "PyNDArray.scale() got an unexpected keyword argument 'other'"),
    ],
)
def test_parse_messages(call, text):
    with raises_exactly(TypeError, text):
        call(receiver())


# ---------------------------------------------------------------------------------------------
# Conversion order and keyword forms: the first failing argument in parameter order is reported,
# whatever the keyword order, and nothing after it is looked at.


def conversion_cases():
    for key in CALLABLES:
        parameters = PARAMETERS[key]
        for position, (name, kind) in enumerate(parameters):
            yield pytest.param(key, position, id=f"{key[0]}.{key[1]}-{name}")


@pytest.mark.parametrize("key, position", list(conversion_cases()))
@pytest.mark.parametrize("form", ["positional", "keyword"])
def test_first_failing_argument_is_named(key, position, form):
    parameters = PARAMETERS[key]
    values = {}
    for k, (name, kind) in enumerate(parameters):
        values[name] = good(kind) if k < position else bad(kind)[0]
    name, kind = parameters[position]
    call = bound(*key)
    with raises_exactly(TypeError, f"argument '{name}': {bad(kind)[1]}"):
        if form == "positional":
            call(*values.values())
        else:
            call(**dict(reversed(list(values.items()))))


# ---------------------------------------------------------------------------------------------
# Float conversion


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatSub(float):
    pass


@pytest.mark.parametrize(
    "item, expected",
    [(3, 3.0), (True, 1.0), (2.5, 2.5), (FloatSub(0.25), 0.25), (Floaty(-1.5), -1.5), (Indexy(7), 7.0), (-0.0, -0.0)],
)
def test_float_items_accepted(item, expected):
    value = PyNDArray([item], [1]).get([0])
    assert type(value) is float
    assert value == expected and math.copysign(1, value) == math.copysign(1, expected)


@pytest.mark.parametrize(
    "item, exception, text",
    [
        ("1.0", TypeError, "argument 'data': must be real number, not str"),
        (None, TypeError, "argument 'data': must be real number, not NoneType"),
        ([1.0], TypeError, "argument 'data': must be real number, not list"),
        (Floaty("1"), TypeError, "argument 'data': Floaty.__float__ returned non-float (type str)"),
        (10**400, OverflowError, "int too large to convert to float"),
    ],
)
def test_float_items_refused(item, exception, text):
    with raises_exactly(exception, text):
        PyNDArray([1.0, item], [2])


def test_scalar_conversion_failures():
    a = receiver()
    with raises_exactly(TypeError, "argument 'scalar': must be real number, not builtins.PyNDArray"):
        a.scale(a)
    with raises_exactly(OverflowError, "int too large to convert to float"):
        a.scale(10**400)


# ---------------------------------------------------------------------------------------------
# Unsigned conversion


class IntSub(int):
    def __index__(self):
        raise AssertionError("an int subclass is read directly")


@pytest.mark.parametrize(
    "entry, expected",
    [(1, 1), (True, 1), (IntSub(1), 1), (Indexy(1), 1)],
)
def test_unsigned_entries_accepted(entry, expected):
    a = PyNDArray([10.0, 11.0], [2])
    assert a.get([entry]) == 10.0 + expected
    assert a.slice_range(0, entry, 2).shape() == [2 - expected]


@pytest.mark.parametrize(
    "entry, exception, text",
    [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        (-(2**70), OverflowError, "can't convert negative int to unsigned"),
        (Indexy(-1), OverflowError, "can't convert negative int to unsigned"),
        (1.0, TypeError, "argument 'row': 'float' object cannot be interpreted as an integer"),
        ("1", TypeError, "argument 'row': 'str' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'row': 'NoneType' object cannot be interpreted as an integer"),
        (Indexy("1"), TypeError, "argument 'row': __index__ returned non-int (type str)"),
    ],
)
def test_unsigned_failures(entry, exception, text):
    with raises_exactly(exception, text):
        receiver().slice_row(entry)


def test_largest_unsigned_reaches_the_engine(panic_exception):
    with raises_exactly(panic_exception, "index out of bounds for dimension 0: index 18446744073709551615, shape 2"):
        receiver().get([2**64 - 1, 0])


def test_shape_entries_use_the_same_conversion():
    with raises_exactly(OverflowError, "can't convert negative int to unsigned"):
        PyNDArray([1.0], [-1])
    with raises_exactly(TypeError, "argument 'shape': 'float' object cannot be interpreted as an integer"):
        PyNDArray([1.0], [1.0])


# ---------------------------------------------------------------------------------------------
# Sequences


class Seq:
    """A sequence by the old protocol: `__getitem__` until IndexError, and `__len__`."""

    def __init__(self, items, length=None):
        self.items = list(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]


class ListSub(list):
    pass


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "data",
    [
        [1.0, 2.0, 3.0],
        (1.0, 2.0, 3.0),
        range(1, 4),
        b"\x01\x02\x03",
        ListSub([1.0, 2.0, 3.0]),
        Seq([1.0, 2.0, 3.0]),
        Seq([1.0, 2.0, 3.0], length=0),  # the length only sizes the reservation
        Seq([1.0, 2.0, 3.0], length=10**6),
        Seq([1.0, 2.0, 3.0], length=ValueError("no length")),  # a failed length query is ignored
    ],
    ids=["list", "tuple", "range", "bytes", "list-subclass", "sequence", "short-len", "long-len", "len-raises"],
)
def test_sequences_accepted(data):
    a = PyNDArray(data, [3])
    assert [a.get([i]) for i in range(3)] == [1.0, 2.0, 3.0]
    assert a.reshape(Seq([1, 3])).shape() == [1, 3]


@pytest.mark.parametrize(
    "data, text",
    [
        ("abc", "argument 'data': Can't extract `str` to `Vec`"),
        ("", "argument 'data': Can't extract `str` to `Vec`"),
        (StrSub("ab"), "argument 'data': Can't extract `str` to `Vec`"),
        ({1.0: 1}, "argument 'data': 'dict' object cannot be converted to 'Sequence'"),
        ({1.0}, "argument 'data': 'set' object cannot be converted to 'Sequence'"),
        (1.0, "argument 'data': 'float' object cannot be converted to 'Sequence'"),
        (None, "argument 'data': 'NoneType' object cannot be converted to 'Sequence'"),
        (iter([1.0]), "argument 'data': 'list_iterator' object cannot be converted to 'Sequence'"),
        ((x for x in [1.0]), "argument 'data': 'generator' object cannot be converted to 'Sequence'"),
    ],
)
def test_sequences_refused(data, text):
    with raises_exactly(TypeError, text):
        PyNDArray(data, [1])


def test_iteration_errors_propagate_unchanged():
    class Broken(Seq):
        def __getitem__(self, i):
            raise KeyError("inner")

    with pytest.raises(KeyError):
        PyNDArray(Broken([]), [0])


def reference_floats(sequence):
    """What plain iteration with float conversion reads."""
    return [float(x) for x in sequence]


class Growing:
    """On conversion appends to, removes from, or clears the list it sits in."""

    def __init__(self, target, action):
        self.target = target
        self.action = action

    def __float__(self):
        if self.action == "append":
            self.target.append(9.0)
        elif self.action == "remove-self":
            self.target.remove(self)
        elif self.action == "clear":
            self.target.clear()
        return 5.0


@pytest.mark.parametrize("action", ["append", "remove-self", "clear"])
def test_list_changed_during_conversion_reads_like_iteration(action):
    def build():
        items = [1.0, 2.0, 3.0]
        items.insert(1, Growing(items, action))
        return items

    expected = reference_floats(build())
    a = PyNDArray(build(), [len(expected)])
    assert [a.get([i]) for i in range(len(expected))] == expected


# ---------------------------------------------------------------------------------------------
# Bool sequences


class bool_:  # noqa: N801 - named to look like a foreign library's boolean scalar
    __module__ = "numpy"
    __qualname__ = "bool_"

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


class NoBool:
    __module__ = "numpy"
    __qualname__ = "bool_"


class OtherBool(bool_):
    __module__ = "elsewhere"


def test_real_numpy_booleans_accepted():
    np = pytest.importorskip("numpy")
    m = PyBoolArray([np.True_, np.False_, *np.array([True, False])], [4])
    a = PyNDArray([1.0, 2.0, 3.0, 4.0], [4])
    assert a.boolean_mask(m).shape() == [2]
    assert a.boolean_mask(m).sum() == 4.0


def test_bool_items_accepted():
    m = PyBoolArray([True, False, bool_(True), bool_(False)], [2, 2])
    assert m.shape() == [2, 2]
    a = PyNDArray([1.0, 2.0, 3.0, 4.0], [2, 2])
    a.masked_fill(m, 0.0)
    assert [a.get([i, j]) for i in range(2) for j in range(2)] == [0.0, 2.0, 0.0, 4.0]


@pytest.mark.parametrize(
    "item, text",
    [
        (1, "'int' object cannot be converted to 'PyBool'"),
        (0, "'int' object cannot be converted to 'PyBool'"),
        (1.0, "'float' object cannot be converted to 'PyBool'"),
        (None, "'NoneType' object cannot be converted to 'PyBool'"),
        (OtherBool(True), "'OtherBool' object cannot be converted to 'PyBool'"),
        (NoBool(), "object of type 'NoBool' does not define a '__bool__' conversion"),
        (bool_(1), "'int' object cannot be converted to 'PyBool'"),
    ],
)
def test_bool_items_refused(item, text):
    with raises_exactly(TypeError, f"argument 'data': {text}"):
        PyBoolArray([True, item], [2])


# ---------------------------------------------------------------------------------------------
# Re-wording keeps the cause; other exception types pass unchanged


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class FreshTypeError:
    def __index__(self):
        raise TypeError("t") from KeyError("k")


def test_type_error_is_reworded_with_its_cause():
    cause = KeyError("why")
    error = TypeError("inner text")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        receiver().slice_col(RaisingIndex(error))
    assert str(info.value) == "argument 'col': inner text"
    assert type(info.value) is TypeError and info.value is not error
    assert info.value.__cause__ is cause


def test_type_error_subclass_becomes_plain_type_error():
    class Special(TypeError):
        pass

    with pytest.raises(TypeError) as info:
        receiver().slice_col(RaisingIndex(Special("odd")))
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'col': odd"
    assert info.value.__cause__ is None


@pytest.mark.parametrize("error", [ValueError("v"), RuntimeError("r"), OverflowError("o"), KeyboardInterrupt()])
def test_other_errors_pass_unchanged(error):
    with pytest.raises(type(error)) as info:
        receiver().slice_col(RaisingIndex(error))
    assert info.value is error


# ---------------------------------------------------------------------------------------------
# Borrowing under re-entry


class Reentrant:
    """Runs `action` when converted, then converts to `value`."""

    def __init__(self, action, value=0):
        self.action = action
        self.value = value

    def __index__(self):
        self.action()
        return self.value

    def __float__(self):
        self.action()
        return float(self.value)


@pytest.mark.parametrize(
    "inner",
    [lambda a: a.get([0, 0]), lambda a: a.shape(), lambda a: a.sum(), lambda a: a.reshape([6])],
    ids=["get", "shape", "sum", "reshape"],
)
def test_reading_a_receiver_held_exclusively(inner):
    a = receiver()
    with raises_exactly(RuntimeError, "Already mutably borrowed"):
        a.set_slice(Reentrant(lambda: inner(a)), 0, 1, 7.0)
    # The failed call released its exclusive borrow.
    a.set_slice(0, 0, 1, 7.0)
    assert a.get([0, 2]) == 7.0 and a.get([1, 0]) == 3.0


@pytest.mark.parametrize(
    "inner",
    [lambda a: a.set_slice(0, 0, 1, 1.0), lambda a: a.masked_fill(mask(), 1.0)],
    ids=["set_slice", "masked_fill"],
)
def test_writing_a_receiver_held_shared(inner):
    a = receiver()
    with raises_exactly(RuntimeError, "Already borrowed"):
        a.get(Seq([Reentrant(lambda: inner(a)), 0]))
    with raises_exactly(RuntimeError, "Already borrowed"):
        a.set_slice(0, Reentrant(lambda: inner(a)), 1, 0.0)
    assert a.get([0, 1]) == 1.0


def test_shared_borrows_nest():
    a = receiver()
    seen = []
    assert a.get([Reentrant(lambda: seen.append(a.get([1, 2]))), 1]) == 1.0
    assert seen == [5.0]
    doubled = a.add(a)
    assert doubled.get([1, 2]) == 10.0


def test_array_argument_of_an_exclusively_held_array():
    a = receiver()
    b = receiver()
    with raises_exactly(RuntimeError, "Already mutably borrowed"):
        a.masked_fill(mask(), Reentrant(lambda: b.add(a)))
    with raises_exactly(RuntimeError, "Already mutably borrowed"):
        a.masked_fill(mask(), Reentrant(lambda: b.where_(mask(), a)))
    assert b.add(a).get([0, 1]) == 2.0


def test_inner_borrow_failure_is_not_reworded():
    a = receiver()
    inner_errors = []

    def inner():
        try:
            a.get([0, 0])
        except RuntimeError as error:
            inner_errors.append(error)
            raise

    with pytest.raises(RuntimeError) as info:
        a.set_slice(Reentrant(inner), 0, 1, 0.0)
    assert info.value is inner_errors[0]


# ---------------------------------------------------------------------------------------------
# Results


def test_result_types():
    a = PyNDArray([1, 2, 3, 4], [2, 2])
    assert type(a.get([1, 0])) is float and a.get([1, 0]) == 3.0
    assert a.get((1, 0)) == 3.0
    assert type(a.argmax()) is int and a.argmax() == 3
    assert type(a.sum()) is float
    shape = a.shape()
    assert type(shape) is list and shape == [2, 2] and all(type(x) is int for x in shape)
    assert a.shape() is not shape
    assert a.set_slice(0, 0, 1, 0.0) is None
    assert a.masked_fill(PyBoolArray([True] * 4, [2, 2]), 1.0) is None


@pytest.mark.parametrize("cls, data", [(PyNDArray, [5.0]), (PyBoolArray, [True])])
def test_zero_dimensional_shape_is_empty_list(cls, data):
    assert cls(data, []).shape() == []
    assert cls(data=data, shape=[]).shape() == []


def test_reshape_result_is_new_and_independent():
    a = receiver()
    b = a.reshape([3, 2])
    assert type(b) is PyNDArray and b is not a
    a.set_slice(0, 0, 2, -1.0)
    assert [b.get([i, j]) for i in range(3) for j in range(2)] == [0.0, 1.0, 2.0, 3.0, 4.0, 5.0]


@st.composite
def shaped_values(draw):
    shape = draw(st.lists(st.integers(0, 4), max_size=4))
    count = math.prod(shape)
    values = draw(st.lists(st.floats(allow_nan=False), min_size=count, max_size=count))
    return shape, values


@settings(max_examples=200, deadline=None)
@given(shaped_values())
def test_get_reads_row_major_position(case):
    shape, values = case
    a = PyNDArray(values, shape)
    assert a.shape() == shape
    indices = list(itertools.product(*(range(n) for n in shape)))
    assert [a.get(index) for index in indices] == values
    flat = a.reshape([len(values)])
    assert [flat.get([i]) for i in range(len(values))] == values


# ---------------------------------------------------------------------------------------------
# The fault barrier


def test_engine_fault_is_panic_exception(panic_exception, capsys):
    caught_by_exception = False
    try:
        try:
            PyNDArray([1.0] * 5, [2, 3])
        except Exception:  # noqa: BLE001 - must not catch it
            caught_by_exception = True
    except BaseException as error:  # noqa: BLE001
        assert type(error) is panic_exception
        assert error.args == ("data length 5 does not match shape [2, 3] (expected 6)",)
    assert not caught_by_exception
    # A failed check is the caller's mistake, not an internal fault; the position is relative to the
    # project, whichever directory the module was built in.
    notice = capsys.readouterr().err
    assert re.fullmatch(r"tarvik: data length 5 does not match shape \[2, 3\] \(expected 6\) "
                        r"\(at src/lib/base/ndarray\.cpp:\d+\)\n", notice), notice


def test_panic_exception_class(panic_exception):
    assert issubclass(panic_exception, BaseException)
    assert not issubclass(panic_exception, Exception)
    assert panic_exception.__mro__ == (panic_exception, BaseException, object)
    assert "BaseException" in panic_exception.__doc__ and "SystemExit" in panic_exception.__doc__
    with pytest.raises(panic_exception):
        receiver().reshape([4])  # the same class for every fault


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: PyNDArray([], [2**32, 2**32]), "element count of shape [4294967296, 4294967296] overflows 64 bits"),
        (lambda: PyBoolArray([], [2**32, 2**32]), "element count of shape [4294967296, 4294967296] overflows 64 bits"),
        (lambda: receiver().reshape([2**32, 2**32]), "element count of shape [4294967296, 4294967296] overflows 64 bits"),
        (lambda: PyNDArray([1.0], [2]), "data length 1 does not match shape [2] (expected 2)"),
        (lambda: PyBoolArray([True] * 5, [2, 3]), "data length 5 does not match shape [2, 3] (expected 6)"),
        (lambda: PyNDArray([], []), "data length 0 does not match shape [] (expected 1)"),
        (lambda: receiver().reshape([4]), "data length 6 does not match shape [4] (expected 4)"),
        (lambda: receiver().get([1]), "length of the given index and shape must match."),
        (lambda: receiver().get([2, 5]), "index out of bounds for dimension 0: index 2, shape 2"),
        (lambda: PyNDArray(Seq([], length=2**62), [0]), "capacity overflow"),
    ],
)
def test_panic_messages(panic_exception, call, text):
    with raises_exactly(panic_exception, text):
        call()


@pytest.mark.parametrize(
    "call, size",
    [
        (lambda: PyNDArray(range(2**40), [2**40]), 2**43),
        (lambda: PyBoolArray(range(2**43), [2**43]), 2**43),
        (lambda: receiver().reshape(range(2**40)), 2**43),
        (lambda: receiver().get(range(2**40)), 2**43),
    ],
)
def test_refused_allocation_is_memory_error(call, size):
    with raises_exactly(MemoryError, f"memory allocation of {size} bytes failed"):
        call()
    assert PyNDArray([1.0, 2.0], [2]).get([1]) == 2.0  # the process carries on


# ---------------------------------------------------------------------------------------------
# Nothing leaks and every borrow is released, on every path


def leak_cases():
    def make(call, *arguments):
        return call, arguments

    a = receiver()
    m = mask()
    return a, [
        make(lambda x, y: PyNDArray(x, y), [1.0, 2.0], [2]),
        make(lambda x, y: PyNDArray(data=x, shape=y), [1.0, 2.0], [3]),
        make(lambda x, y: PyBoolArray(x, y), [True, bool_(False)], [2]),
        make(lambda x, y: PyBoolArray(x, y), [True, 1], [2]),
        make(lambda x: PyNDArray(x, [2]), "ab"),
        make(lambda x, y: PyNDArray(x, y), Seq([1.0, Floaty(2.0)]), [Indexy(2)]),
        make(lambda x, y: PyNDArray(x, y), [1.0], [Indexy(-1)]),
        make(lambda x: a.get(x), [Indexy(1), 2]),
        make(lambda x: a.get(x), (0, 3)),
        make(lambda x: a.get(index=x), [1, 1, 1]),
        make(lambda x, y: a.get(x, y), [0, 0], [0]),
        make(lambda x: a.get(bogus=x), [0, 0]),
        make(lambda x: a.reshape(x), [3, Indexy(2)]),
        make(lambda x: a.reshape(x), [4]),
        make(lambda x: a.reshape(x), [2**32, 2**32]),
        make(lambda x: a.reshape(x), range(2**40)),
        make(lambda x: a.add(x), receiver()),
        make(lambda x: a.add(x), [1.0]),
        make(lambda x, y: a.where_(x, y), m, a),
        make(lambda x, y: a.where_(x, y), m, "no"),
        make(lambda x, y: a.masked_fill(x, y), m, Floaty(1.0)),
        make(lambda x, y: a.masked_fill(x, y), m, Reentrant(lambda: a.get([0, 0]))),
        make(lambda x, y: a.set_slice(x, 0, 1, y), Indexy(0), Floaty(2.0)),
        make(lambda x: a.set_slice(x, 0, 1, 0.0), Reentrant(lambda: a.shape())),
        make(lambda x: a.set_slice(0, 1, 0, x), Floaty(2.0)),
        make(lambda x: a.gather(x, [1, 0]), Indexy(1)),
        make(lambda x: a.slice_row(x), FreshTypeError()),
        make(lambda x: a.scale(x), Floaty(3.0)),
    ]


def test_no_reference_leaks_and_borrows_released():
    a, cases = leak_cases()
    for call, arguments in cases:
        def run():
            try:
                call(*arguments)
            except BaseException:  # noqa: BLE001 - failing paths are part of the loop
                pass

        run()  # warm caches (interned strings, method lookups) before counting
        before = [sys.getrefcount(x) for x in arguments] + [sys.getrefcount(a)]
        for _ in range(200):
            run()
        after = [sys.getrefcount(x) for x in arguments] + [sys.getrefcount(a)]
        assert after == before, (call, arguments)
        # The receiver is free again: an exclusive borrow gets past borrowing to argument conversion.
        with raises_exactly(TypeError, "argument 'axis': 'str' object cannot be interpreted as an integer"):
            a.set_slice("x", 0, 1, 0.0)
