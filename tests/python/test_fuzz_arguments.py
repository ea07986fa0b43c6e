"""Hostile arguments for every callable: wrong types, lying and raising sequences, numbers whose
conversion hooks raise, return the wrong type or call back into the array being converted, and keyword
mixtures.

Each call either succeeds with exactly the result of the same call made with plain Python values, or
ends in the exception the argument's kind predicts (the first failing argument decides; arguments after
it are never looked at). After every call the receiver holds what it held before (unless an in-place
method succeeded) and no borrow is left behind.
"""

import math
import struct
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from row_major import is_panic
from tarvik import PyBoolArray, PyNDArray

pytestmark = pytest.mark.filterwarnings("error::DeprecationWarning")


# ---------------------------------------------------------------------------------------------------
# The callables, their parameters and the kind of each.

METHODS = {
    "get": [("index", "useq")],
    "shape": [],
    "sum": [],
    "mean": [],
    "relu": [],
    "sigmoid": [],
    "softmax": [],
    "transpose": [],
    "argmax": [],
    "scale": [("scalar", "float")],
    "add": [("other", "ndarray")],
    "mul": [("other", "ndarray")],
    "matmul": [("other", "ndarray")],
    "matmul_blas": [("other", "ndarray")],
    "boolean_mask": [("mask", "boolarray")],
    "masked_fill": [("mask", "boolarray"), ("value", "float")],
    "where_": [("condition", "boolarray"), ("other", "ndarray")],
    "fancy_index": [("indices", "useq")],
    "slice_row": [("row", "uint")],
    "slice_col": [("col", "uint")],
    "slice_range": [("axis", "uint"), ("start", "uint"), ("end", "uint")],
    "reshape": [("new_shape", "useq")],
    "gather": [("axis", "uint"), ("indices", "useq")],
    "set_slice": [("axis", "uint"), ("start", "uint"), ("end", "uint"), ("value", "float")],
    "cumsum": [],
}
IN_PLACE = {"set_slice", "masked_fill"}
CONSTRUCTORS = {
    PyNDArray: [("data", "fseq"), ("shape", "useq")],
    PyBoolArray: [("data", "bseq"), ("shape", "useq")],
}


def test_the_table_names_every_method():
    public = {name for name in dir(PyNDArray) if not name.startswith("_")}
    assert public == set(METHODS)


# ---------------------------------------------------------------------------------------------------
# Outcomes, snapshots and the release check.


class Hostile(Exception):
    """Raised by the hooks of the hostile objects below; it must come out unchanged."""


class HostileTypeError(TypeError):
    """A TypeError from a hook: the binding re-words it as "argument '...': ..."."""


ALLOWED = (TypeError, OverflowError, RuntimeError, MemoryError, Hostile)


def outcome(call):
    """("ok", value) or ("raised", exception)."""
    try:
        return "ok", call()
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        if isinstance(error, (KeyboardInterrupt, SystemExit)):
            raise
        return "raised", error


def flat(array):
    n = math.prod(array.shape())
    line = array.reshape([n])
    return [line.get([i]) for i in range(n)]


def bits(x):
    return struct.pack("<d", x) if not math.isnan(x) else b"nan"


def snapshot(array):
    """Shape and exact element bits of a PyNDArray, or the shape of a PyBoolArray."""
    if isinstance(array, PyBoolArray):
        return ("bool", tuple(array.shape()))
    return (tuple(array.shape()), tuple(bits(x) for x in flat(array)))


def clone(array):
    shape = array.shape()
    return PyNDArray([struct.unpack("<d", b)[0] if b != b"nan" else math.nan for b in snapshot(array)[1]], shape)


def assert_released(array):
    """An exclusive borrow succeeds only when every earlier borrow has ended."""
    shape = array.shape()
    array.masked_fill(PyBoolArray([False] * math.prod(shape), shape), 0.0)


def same_result(got, want):
    if isinstance(want, PyNDArray):
        return isinstance(got, PyNDArray) and snapshot(got) == snapshot(want)
    if isinstance(want, PyBoolArray):
        return isinstance(got, PyBoolArray) and got.shape() == want.shape()
    if isinstance(want, float):
        return isinstance(got, float) and bits(got) == bits(want)
    return type(got) is type(want) and got == want


# ---------------------------------------------------------------------------------------------------
# Hostile objects. Each records that the binding touched it, so that "not looked at" can be checked.


class Probe:
    touched = False

    def touch(self):
        self.touched = True


class Answer(Probe):
    """A conversion hook that runs `hook` first, then returns `result` or raises it."""

    def __init__(self, result, hook=None):
        self.result, self.hook = result, hook

    def answer(self):
        self.touch()
        if self.hook:
            self.hook()
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class Index(Answer):
    __index__ = Answer.answer


class Real(Answer):
    __float__ = Answer.answer


class Truth(Probe):
    """An object with __bool__: never a valid item of a bool sequence (only exact bools are)."""

    def __bool__(self):
        self.touch()
        return True


class Items(Probe):
    """A sequence of `items` whose __len__ gives `length` (or raises it) and whose iterator raises
    `stop` (if given) after `stop_after` items, or runs `hook` on every step."""

    def __init__(self, items, length=None, stop=None, stop_after=0, hook=None):
        self.items, self.length, self.stop, self.stop_after, self.hook = list(items), length, stop, stop_after, hook

    def __len__(self):
        self.touch()
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        self.touch()
        for n, item in enumerate(self.items):
            if self.stop is not None and n == self.stop_after:
                raise self.stop
            if self.hook:
                self.hook()
            yield item


class Plain:
    """The argument must convert to `value`."""

    def __init__(self, value):
        self.value = value


class Raises:
    """The argument's conversion must raise `kind` (a type, or "panic")."""

    def __init__(self, kind, text=None):
        self.kind, self.text = kind, text

    def matches(self, error):
        if self.kind == "panic":
            ok = is_panic(error)
        else:
            ok = type(error) is self.kind
        return ok and (self.text is None or self.text in str(error))


SELF = object()  # stands for the receiver passed as its own argument


# Each factory takes the call's context and returns (value, expectation, probes).
class Context:
    def __init__(self, receiver, draw):
        self.receiver, self.draw = receiver, draw
        # Re-entrant hooks act on the receiver; constructors have none, so a bystander stands in.
        self.target = receiver if receiver is not None else PyNDArray([1.0, 2.0], [2])
        self.exclusive = False  # set by the caller for set_slice and masked_fill

    def reentry(self, action):
        """A hook calling back into the target, and what the conversion then raises (or None)."""
        target = self.target

        def shared():
            target.sum()

        def exclusive():
            target.set_slice(0, 0, 1, 5.0)

        shape = target.shape()
        nothing = PyBoolArray([False] * math.prod(shape), shape)

        def masked():
            target.masked_fill(nothing, 1.0)

        def swallowed():
            try:
                target.set_slice(0, 0, 1, 5.0)
            except RuntimeError:
                pass

        hook = {"shared": shared, "exclusive": exclusive, "masked": masked, "swallowed": swallowed}[action]
        if self.receiver is None or action == "swallowed":
            return hook, None
        if action == "shared":
            return hook, Raises(RuntimeError, "Already mutably borrowed") if self.exclusive else None
        return hook, Raises(RuntimeError, "Already borrowed")


REENTRY = ["shared", "exclusive", "masked", "swallowed"]


def unsigned_arg(ctx):
    d = ctx.draw
    choice = d(st.integers(0, 19))
    small = d(st.integers(0, 4))
    if choice <= 5:
        return small, Plain(small), []
    if choice == 6:
        return 2**64 - 1, Plain(2**64 - 1), []
    if choice == 7:
        return True, Plain(1), []
    if choice == 8:
        value = d(st.sampled_from([-1, -(2**63), 2**64, 2**100]))
        return value, Raises(OverflowError), []
    if choice == 9:
        value = d(st.sampled_from([None, 1.0, "1", b"1", [1], math.nan, 1j]))
        return value, Raises(TypeError), []
    if choice == 10:
        probe = Index(small)
        return probe, Plain(small), [probe]
    if choice == 11:
        probe = Index(d(st.sampled_from([-3, 2**64])))
        return probe, Raises(OverflowError), [probe]
    if choice == 12:
        probe = Index(d(st.sampled_from([1.5, "2", None])))
        return probe, Raises(TypeError), [probe]
    if choice == 13:
        probe = Index(Hostile("index hook"))
        return probe, Raises(Hostile), [probe]
    if choice == 14:
        probe = Index(HostileTypeError("index hook"))
        return probe, Raises(TypeError, "index hook"), [probe]
    if choice == 15:
        # An int subclass is read directly; its __index__ is never called.
        class Sub(int):
            def __index__(self):
                raise Hostile("not to be called")

        return Sub(small), Plain(small), []
    hook, raised = ctx.reentry(d(st.sampled_from(REENTRY)))
    probe = Index(small, hook)
    return probe, raised or Plain(small), [probe]


def float_arg(ctx):
    d = ctx.draw
    choice = d(st.integers(0, 14))
    if choice <= 4:
        x = d(st.sampled_from([0.0, -0.0, 1.5, -2.0, math.inf, -math.inf, math.nan, 1e308, 5e-324]))
        return x, Plain(x), []
    if choice == 5:
        n = d(st.integers(-(2**53), 2**53))
        return n, Plain(float(n)), []
    if choice == 6:
        return 2**1024, Raises(OverflowError), []
    if choice == 7:
        value = d(st.sampled_from([None, "1.0", b"1", [1.0], 1j, object()]))
        return value, Raises(TypeError), []
    if choice == 8:
        probe = Real(2.5)
        return probe, Plain(2.5), [probe]
    if choice == 9:
        probe = Real(d(st.sampled_from(["2.5", None, 2])))
        return probe, Raises(TypeError), [probe]
    if choice == 10:
        probe = Real(Hostile("float hook"))
        return probe, Raises(Hostile), [probe]
    if choice == 11:
        probe = Index(7)  # no __float__: the float conversion falls back to __index__
        return probe, Plain(7.0), [probe]
    hook, raised = ctx.reentry(d(st.sampled_from(REENTRY)))
    probe = Real(0.25, hook)
    return probe, raised or Plain(0.25), [probe]


def sequence_arg(ctx, item_factory, item_bytes):
    """A sequence argument from items made by `item_factory(ctx) -> (value, expectation, probes)`."""
    d = ctx.draw
    choice = d(st.integers(0, 14))
    if choice == 14:
        value = d(st.sampled_from(["abc", "", None, 3, 1.0, {1: 2}, {1}, iter([1]), (x for x in [1])]))
        return value, Raises(TypeError), []
    items = [item_factory(ctx) for _ in range(d(st.integers(0, 4)))]
    probes = [p for _, _, ps in items for p in ps]
    values = [v for v, _, _ in items]
    failing = next((e for _, e, _ in items if isinstance(e, Raises)), None)
    plain = failing or Plain([e.value for _, e, _ in items])
    if choice <= 6:
        container = d(st.sampled_from([list, tuple, range_or_list]))
        return container(values), plain, probes
    if choice == 7:
        # A length that lies small, or whose query fails: the error is dropped and iteration decides.
        length = d(st.sampled_from([0, 1, 100, -1, sys.maxsize + 1, Hostile("len"), TypeError("len")]))
        seq = Items(values, length=length)
        return seq, plain, probes + [seq]
    if choice == 8:
        # A length too large to reserve: refused by the allocator, or beyond the byte-size limit.
        length = d(st.sampled_from([2**44, 2**62]))
        if length * item_bytes > 2**63 - 1:
            expected = Raises("panic", "capacity overflow")
        else:
            expected = Raises(MemoryError, "memory allocation of")
        seq = Items(values, length=length)
        return seq, expected, probes + [seq]
    if choice == 9:
        stop_after = d(st.integers(0, len(values)))
        seq = Items(values, stop=Hostile("iterator"), stop_after=stop_after)
        # Items before the break are converted first and may fail first.
        earlier = next((e for _, e, _ in items[:stop_after] if isinstance(e, Raises)), None)
        if stop_after == len(values):
            return seq, plain, probes + [seq]
        return seq, earlier or Raises(Hostile), probes + [seq]
    if choice == 10:
        # Nested and ragged lists: a list is never an item.
        return [values, [1, 2], []] if values else [[1], [1, 2]], Raises(TypeError), probes
    if choice in (11, 12):
        hook, raised = ctx.reentry(d(st.sampled_from(REENTRY)))
        seq = Items(values, hook=hook)
        if raised and values:
            return seq, raised, probes + [seq]
        return seq, plain, probes + [seq]
    return list(values), plain, probes


def range_or_list(values):
    """A range where the values form one, else the list itself."""
    if len(values) >= 2 and all(type(v) is int for v in values):
        step = values[1] - values[0]
        if step != 0 and all(b - a == step for a, b in zip(values, values[1:])):
            return range(values[0], values[-1] + step, step)
    return list(values)


def uint_item(ctx):
    return unsigned_arg(ctx)


def float_item(ctx):
    return float_arg(ctx)


def bool_item(ctx):
    d = ctx.draw
    choice = d(st.integers(0, 6))
    if choice <= 3:
        b = d(st.booleans())
        return b, Plain(b), []
    if choice == 4:
        return d(st.sampled_from([0, 1, None, 1.0, "True"])), Raises(TypeError, "cannot be converted to 'PyBool'"), []
    probe = Truth()
    return probe, Raises(TypeError, "cannot be converted to 'PyBool'"), [probe]


def array_arg(ctx, cls):
    d = ctx.draw
    choice = d(st.integers(0, 7))
    receiver = ctx.receiver
    if choice <= 3 and receiver is not None:
        # Mostly an array of the receiver's shape, so the engine gets to run.
        shape = receiver.shape() if d(st.integers(0, 3)) else d(SHAPES)
        value = make(cls, shape, d)
        return value, Plain(value), []
    if choice == 4 and cls is PyNDArray and receiver is not None:
        return receiver, Plain(SELF), []
    if choice == 5:
        other = PyBoolArray([], [0]) if cls is PyNDArray else PyNDArray([], [0])
        return other, Raises(TypeError, "cannot be converted to"), []
    value = d(st.sampled_from([None, [1.0], 1.0, "a", PyNDArray]))
    return value, Raises(TypeError, "cannot be converted to"), []


def argument(ctx, kind):
    if kind == "uint":
        return unsigned_arg(ctx)
    if kind == "float":
        return float_arg(ctx)
    if kind == "useq":
        return sequence_arg(ctx, uint_item, 8)
    if kind == "fseq":
        return sequence_arg(ctx, float_item, 8)
    if kind == "bseq":
        return sequence_arg(ctx, bool_item, 1)
    if kind == "ndarray":
        return array_arg(ctx, PyNDArray)
    return array_arg(ctx, PyBoolArray)


SHAPES = st.sampled_from([[], [0], [1], [3], [2, 3], [3, 2], [2, 0], [2, 2, 2], [4]])
ELEMENTS = st.sampled_from([0.0, -0.0, 1.0, -2.5, 3.0, 7.0, math.nan, math.inf, -math.inf])


def make(cls, shape, draw):
    n = math.prod(shape)
    if cls is PyBoolArray:
        return PyBoolArray(draw(st.lists(st.booleans(), min_size=n, max_size=n)), shape)
    return PyNDArray(draw(st.lists(ELEMENTS, min_size=n, max_size=n)), shape)


# ---------------------------------------------------------------------------------------------------
# Calls: positional, keyword or mixed, sometimes malformed.


def arrange(draw, params, values):
    """(args, kwargs, malformed) for the given parameter values."""
    names = [name for name, _ in params]
    split = draw(st.integers(0, len(names)))
    args, kwargs = list(values[:split]), dict(zip(names[split:], values[split:]))
    fault = draw(st.integers(0, 9))
    if fault <= 5:
        return args, kwargs, False
    if fault == 6:
        args.append(0)  # one positional too many (or an unexpected one for a no-argument method)
    elif fault == 7:
        kwargs["bogus"] = 0
    elif fault == 8 and names:
        missing = draw(st.sampled_from(names))
        if missing in kwargs:
            del kwargs[missing]
        else:
            args, kwargs = args[: names.index(missing)], {}
    elif fault == 9 and split > 0:
        kwargs[names[0]] = 0  # also given by position
    else:
        return args, kwargs, False
    return args, kwargs, True


def expected_outcome(expectations):
    """The expectation of the first failing argument, or None when all convert."""
    return next((e for e in expectations if isinstance(e, Raises)), None)


def check_call(call, canonical, params, generated, malformed, receiver, in_place):
    before = snapshot(receiver) if receiver is not None else None
    kind, result = outcome(call)
    probes = [p for _, _, ps in generated for p in ps]

    if malformed:
        assert kind == "raised" and type(result) is TypeError, result
        assert not any(p.touched for p in probes), "a malformed call converted an argument"
    else:
        expectations = [e for _, e, _ in generated]
        failing = expected_outcome(expectations)
        if failing is not None:
            assert kind == "raised", f"expected {failing.kind}, got the result {result!r}"
            assert failing.matches(result), f"expected {failing.kind} ({failing.text}), got {result!r}"
            position = expectations.index(failing)
            later = [p for _, _, ps in generated[position + 1 :] for p in ps]
            assert not any(p.touched for p in later), "an argument after the failing one was converted"
        else:
            want_kind, want, twin_after = canonical([e.value for e in expectations])
            if want_kind == "raised":
                assert kind == "raised" and type(result) is type(want) and result.args == want.args, (result, want)
            else:
                assert kind == "ok" and same_result(result, want), (result, want)
                if in_place:
                    assert snapshot(receiver) == twin_after

    if kind == "raised":
        assert isinstance(result, ALLOWED) or is_panic(result), repr(result)
    if receiver is not None:
        if kind == "raised" or not in_place:
            assert snapshot(receiver) == before
        assert_released(receiver)


@st.composite
def method_calls(draw):
    name = draw(st.sampled_from(sorted(METHODS)))
    receiver = make(PyNDArray, draw(SHAPES), draw)
    return name, receiver


@settings(max_examples=700, derandomize=True, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data(), call=method_calls())
def test_hostile_method_calls(data, call):
    name, receiver = call
    params = METHODS[name]
    ctx = Context(receiver, data.draw)
    ctx.exclusive = name in IN_PLACE
    generated = [argument(ctx, kind) for _, kind in params]
    args, kwargs, malformed = arrange(data.draw, params, [v for v, _, _ in generated])
    twin = clone(receiver)

    def canonical(values):
        values = [twin if v is SELF else v for v in values]
        kind, result = outcome(lambda: getattr(twin, name)(*values))
        return kind, result, snapshot(twin)

    check_call(lambda: getattr(receiver, name)(*args, **kwargs), canonical, params, generated, malformed,
               receiver, name in IN_PLACE)


@settings(max_examples=250, derandomize=True, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data(), cls=st.sampled_from([PyNDArray, PyBoolArray]))
def test_hostile_constructor_calls(data, cls):
    params = CONSTRUCTORS[cls]
    ctx = Context(None, data.draw)
    generated = [argument(ctx, kind) for _, kind in params]
    args, kwargs, malformed = arrange(data.draw, params, [v for v, _, _ in generated])

    def canonical(values):
        return (*outcome(lambda: cls(*values)), None)

    check_call(lambda: cls(*args, **kwargs), canonical, params, generated, malformed, None, False)


# ---------------------------------------------------------------------------------------------------
# Exact cases: the protocols one at a time, with the exception and text each must give.


def two_by_two():
    return PyNDArray([1.0, 2.0, 3.0, 4.0], [2, 2])


def emptying(items):
    """A list whose first item, when converted, empties the list: iteration stops after it (and the
    item being converted loses its last reference from the list)."""
    data = []

    def hook():
        data.clear()

    data.extend([Real(9.0, hook)] + items)
    return data


def rewriting(first, rest, change):
    """A list whose first item, when converted, applies `change` to the list."""
    data = []
    data.extend([first(lambda: change(data))] + rest)
    return data


def replace_second(data):
    data[1] = 7.0


def drop_first(data):
    del data[0]


def append_once(data):
    if len(data) < 3:
        data.append(3.0)


class RaisingModule(type):
    """A metaclass whose classes fail to report their module."""

    @property
    def __module__(cls):
        raise Hostile("module")


class Unplaceable(metaclass=RaisingModule):
    pass


def impostor(bool_method):
    """An object whose type claims the qualified name numpy.bool_ (so its __bool__ is called)."""
    namespace = {"__module__": "numpy", "__qualname__": "bool_"}
    if bool_method is not None:
        namespace["__bool__"] = bool_method
    return type("bool_", (), namespace)()


def raise_hostile(self):
    raise Hostile("bool hook")


CASES = [
    # (description, call on a fresh 2 by 2 array `a`, expected: value, or (exception type, text))
    ("len raises, iteration decides", lambda a: a.get(Items([1, 0], length=Hostile("len"))), 3.0),
    ("len is negative", lambda a: a.get(Items([1, 0], length=-5)), 3.0),
    ("len raises ValueError", lambda a: a.get(Items([1, 0], length=ValueError("no"))), 3.0),
    ("len returns a str", lambda a: a.get(Items([1, 0], length="2")), 3.0),
    ("len lies small", lambda a: a.reshape(Items([4], length=0)).shape(), [4]),
    ("len lies large", lambda a: a.reshape(Items([4], length=2**20)).shape(), [4]),
    ("len beyond ssize_t", lambda a: a.reshape(Items([1, 4], length=2**70)).shape(), [1, 4]),
    ("len too large to reserve", lambda a: a.reshape(Items([4], length=2**44)),
     (MemoryError, "memory allocation of 140737488355328 bytes failed")),
    ("len beyond the byte limit", lambda a: a.reshape(Items([4], length=2**61)), ("panic", "capacity overflow")),
    ("iterator raises half-way", lambda a: a.get(Items([1, 0], stop=Hostile("half"), stop_after=1)),
     (Hostile, "half")),
    ("iterator raises a TypeError", lambda a: a.get(Items([1, 0], stop=HostileTypeError("half"), stop_after=1)),
     (TypeError, "argument 'index': half")),
    ("__iter__ itself raises", lambda a: a.get(Items([1, 0], stop=Hostile("start"), stop_after=0)),
     (Hostile, "start")),
    ("__index__ raises", lambda a: a.slice_row(Index(Hostile("idx"))), (Hostile, "idx")),
    ("__index__ raises TypeError", lambda a: a.slice_row(Index(HostileTypeError("idx"))),
     (TypeError, "argument 'row': idx")),
    ("__index__ returns a float", lambda a: a.slice_row(Index(1.0)), (TypeError, "argument 'row': ")),
    ("__index__ returns a negative", lambda a: a.slice_row(Index(-1)), (OverflowError, None)),
    ("__index__ returns 2**64", lambda a: a.gather(0, [Index(2**64)]), (OverflowError, None)),
    ("__float__ raises", lambda a: a.scale(Real(Hostile("flt"))), (Hostile, "flt")),
    ("__float__ returns a str", lambda a: a.scale(Real("1")), (TypeError, "argument 'scalar': ")),
    ("__float__ returns an int", lambda a: a.scale(Real(2)), (TypeError, "argument 'scalar': ")),
    ("int too large for a float", lambda a: a.scale(2**1024), (OverflowError, None)),
    ("__index__ as a float", lambda a: a.scale(Index(3)).sum(), 30.0),
    ("NaN scalar", lambda a: math.isnan(a.scale(math.nan).sum()), True),
    ("bool as unsigned", lambda a: a.slice_row(True).sum(), 7.0),
    ("bytes as an index sequence", lambda a: a.get(b"\x01\x00"), 3.0),
    ("range as an index sequence", lambda a: a.get(range(1, -1, -1)), 3.0),
    ("bytearray as a shape", lambda a: a.reshape(bytearray([4])).shape(), [4]),
    ("memoryview as a shape", lambda a: a.reshape(memoryview(b"\x04")).shape(), [4]),
    ("str as a sequence", lambda a: a.get("10"), (TypeError, "argument 'index': Can't extract `str` to `Vec`")),
    ("str subclass", lambda a: a.get(type("S", (str,), {})("10")),
     (TypeError, "argument 'index': Can't extract `str` to `Vec`")),
    ("dict as a sequence", lambda a: a.get({1: 0}),
     (TypeError, "argument 'index': 'dict' object cannot be converted to 'Sequence'")),
    ("generator as a sequence", lambda a: a.get(x for x in [1, 0]),
     (TypeError, "argument 'index': 'generator' object cannot be converted to 'Sequence'")),
    ("nested list", lambda a: a.get([[1], [0]]), (TypeError, "argument 'index': ")),
    ("list emptied while converted", lambda a: PyNDArray(emptying([Real(1.0), Real(2.0)]), [1]).sum(), 9.0),
    ("later item replaced while converted",
     lambda a: PyNDArray(rewriting(lambda h: Real(1.0, h), [Real(2.0)], replace_second), [2]).get([1]), 7.0),
    ("converted item removed from the list",
     lambda a: PyNDArray(rewriting(lambda h: Real(1.0, h), [2.0, 5.0], drop_first), [2]).sum(), 6.0),
    ("list grows while converted",
     lambda a: PyNDArray(rewriting(lambda h: Real(1.0, h), [2.0], append_once), [3]).sum(), 6.0),
    ("index list rewritten while converted",
     lambda a: a.get(rewriting(lambda h: Index(1, h), [Index(9)], replace_second)), (TypeError, "argument 'index': ")),
    ("index list shrinks while converted",
     lambda a: a.gather(0, rewriting(lambda h: Index(1, h), [Index(0), 0], drop_first)).sum(), 10.0),
    ("list emptied, shape too large", lambda a: PyNDArray(emptying([2.0]), [2]),
     ("panic", "data length 1 does not match shape [2] (expected 2)")),
    ("int 1 in a bool sequence", lambda a: PyBoolArray([True, 1], [2]),
     (TypeError, "argument 'data': 'int' object cannot be converted to 'PyBool'")),
    ("__bool__ object in a bool sequence", lambda a: PyBoolArray([Truth()], [1]),
     (TypeError, "argument 'data': 'Truth' object cannot be converted to 'PyBool'")),
    ("item whose type hides its module", lambda a: PyBoolArray([Unplaceable()], [1]),
     (TypeError, "argument 'data': 'Unplaceable' object cannot be converted to 'PyBool'")),
    ("numpy.bool_ impostor, false", lambda a: a.reshape([4]).boolean_mask(
        PyBoolArray([impostor(lambda self: False), True, impostor(lambda self: True), False], [4])).shape(), [2]),
    ("numpy.bool_ impostor, raising", lambda a: PyBoolArray([True, impostor(raise_hostile)], [2]),
     (Hostile, "bool hook")),
    ("numpy.bool_ impostor without __bool__", lambda a: PyBoolArray([impostor(None)], [1]),
     (TypeError, "argument 'data': object of type 'bool_' does not define a '__bool__' conversion")),
    ("bool array for a float array", lambda a: a.add(PyBoolArray([True] * 4, [2, 2])),
     (TypeError, "argument 'other': 'PyBoolArray' object cannot be converted to 'PyNDArray'")),
    ("float array for a mask", lambda a: a.boolean_mask(a),
     (TypeError, "argument 'mask': 'PyNDArray' object cannot be converted to 'PyBoolArray'")),
    ("descriptor on a foreign object", lambda a: PyNDArray.sum(PyBoolArray([True], [1])), (TypeError, None)),
    ("descriptor on None", lambda a: PyNDArray.add(None, a), (TypeError, None)),
    ("argument to a no-argument method", lambda a: a.sum(None), (TypeError, None)),
    ("keyword to a no-argument method", lambda a: a.cumsum(x=1), (TypeError, None)),
    ("keyword to PyBoolArray.shape", lambda a: PyBoolArray([True], [1]).shape(x=1), (TypeError, None)),
    ("huge unsigned reaches the engine", lambda a: a.slice_row(2**64 - 1),
     ("panic", "index out of bounds for dimension 0: index 18446744073709551615, shape 2")),
    ("element count overflow", lambda a: PyNDArray([1.0], [2**32, 2**32]), ("panic", "[4294967296, 4294967296]")),
    ("reshape count overflow", lambda a: a.reshape([2**32, 2**32]), ("panic", "[4294967296, 4294967296]")),
    ("constructor lying len", lambda a: PyNDArray(range(2**40), [2**40]),
     (MemoryError, "memory allocation of 8796093022208 bytes failed")),
]


@pytest.mark.parametrize("description, call, expected", CASES, ids=[c[0] for c in CASES])
def test_hostile_protocols(description, call, expected):
    a = two_by_two()
    before = snapshot(a)
    kind, result = outcome(lambda: call(a))
    if isinstance(expected, tuple):
        exception, text = expected
        assert kind == "raised", f"returned {result!r}"
        if exception == "panic":
            assert is_panic(result), repr(result)
        else:
            assert type(result) is exception, repr(result)
        if text is not None:
            assert text in str(result)
    else:
        assert kind == "ok", repr(result)
        assert result == expected
    assert snapshot(a) == before
    assert_released(a)


class Unprintable(TypeError):
    def __str__(self):
        raise Hostile("str")


def test_type_error_without_text_gives_way_to_the_error_of_its_str():
    a = two_by_two()
    with pytest.raises(Hostile, match="str"):
        a.slice_row(Index(Unprintable()))
    assert_released(a)


def test_cause_of_a_reworded_type_error_is_kept():
    cause = KeyError("root")
    error = HostileTypeError("hook")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        two_by_two().slice_row(Index(error))
    assert str(info.value) == "argument 'row': hook"
    assert info.value.__cause__ is cause


# ---------------------------------------------------------------------------------------------------
# Re-entry: hooks that call back into the array whose call is converting them.


def hook_calling(target, action):
    shape = target.shape()
    everything = PyBoolArray([True] * math.prod(shape), shape)

    def hook():
        if action == "shared":
            return target.sum()
        if action == "exclusive":
            return target.set_slice(0, 0, 1, 5.0)
        return target.masked_fill(everything, 5.0)

    return hook


# (method, arguments given the hostile object, whether the receiver is held exclusively)
REENTRANT_CALLS = [
    ("slice_row", lambda h: [Index(1, h)], False),
    ("gather", lambda h: [0, Items([1, 0], hook=h)], False),
    ("get", lambda h: [Items([0, 1], hook=h)], False),
    ("scale", lambda h: [Real(2.0, h)], False),
    ("reshape", lambda h: [[Index(4, h)]], False),
    ("set_slice", lambda h: [0, 0, Index(1, h), 0.0], True),
    ("set_slice", lambda h: [0, 0, 1, Real(0.0, h)], True),
    ("masked_fill", lambda h: [PyBoolArray([True, False, False, True], [2, 2]), Real(0.0, h)], True),
]


@pytest.mark.parametrize("action", ["shared", "exclusive", "masked"])
@pytest.mark.parametrize("method, arguments, exclusive", REENTRANT_CALLS,
                         ids=[f"{m}-{i}" for i, (m, _, _) in enumerate(REENTRANT_CALLS)])
def test_reentry_into_the_receiver(method, arguments, exclusive, action):
    a = two_by_two()
    before = snapshot(a)
    kind, result = outcome(lambda: getattr(a, method)(*arguments(hook_calling(a, action))))
    if action == "shared" and not exclusive:
        assert kind == "ok", repr(result)  # two shared borrows of one array are fine
    else:
        assert kind == "raised" and type(result) is RuntimeError, repr(result)
        assert str(result) == ("Already mutably borrowed" if action == "shared" else "Already borrowed")
        assert snapshot(a) == before
    assert_released(a)


@pytest.mark.parametrize("method, arguments, exclusive", REENTRANT_CALLS,
                         ids=[f"{m}-{i}" for i, (m, _, _) in enumerate(REENTRANT_CALLS)])
def test_reentry_refused_and_swallowed(method, arguments, exclusive):
    """A hook that catches the refused borrow and carries on: the outer call still completes, and the
    refused inner call changed nothing."""
    a, twin = two_by_two(), two_by_two()
    refusals = []

    def hook():
        try:
            a.set_slice(0, 0, 2, -1.0)
        except RuntimeError as error:
            refusals.append(str(error))

    got = getattr(a, method)(*arguments(hook))
    want = getattr(twin, method)(*arguments(lambda: None))
    assert refusals and set(refusals) == {"Already borrowed"}
    assert same_result(got, want) and snapshot(a) == snapshot(twin)
    assert_released(a)


def test_reentry_into_an_argument_array():
    """`a.masked_fill(c, v)` converts v while `c` is borrowed: reading `c` from the hook is fine, and
    `c` is free again afterwards (another array can use it as its mask)."""
    a = two_by_two()
    c = PyBoolArray([True, False, True, False], [2, 2])
    seen = []
    a.masked_fill(c, Real(0.0, lambda: seen.append(c.shape())))
    assert seen == [[2, 2]] and flat(a) == [0.0, 2.0, 0.0, 4.0]
    b = PyNDArray([9.0] * 4, [2, 2])
    b.masked_fill(c, 1.0)
    assert flat(b) == [1.0, 9.0, 1.0, 9.0]
