"""The module object and the two classes: names, tables, flags, identity across imports."""

import importlib
import os
import subprocess
import sys
import textwrap
import weakref

import pytest

import tarvik
from tarvik import PyBoolArray, PyNDArray

# (name, text signature) in table order.
NDARRAY_METHODS = [
    ("get", "($self, index)"),
    ("shape", "($self)"),
    ("sum", "($self)"),
    ("mean", "($self)"),
    ("relu", "($self)"),
    ("sigmoid", "($self)"),
    ("softmax", "($self)"),
    ("transpose", "($self)"),
    ("argmax", "($self)"),
    ("scale", "($self, scalar)"),
    ("add", "($self, other)"),
    ("mul", "($self, other)"),
    ("matmul", "($self, other)"),
    ("matmul_blas", "($self, other)"),
    ("boolean_mask", "($self, mask)"),
    ("masked_fill", "($self, mask, value)"),
    ("where_", "($self, condition, other)"),
    ("fancy_index", "($self, indices)"),
    ("slice_row", "($self, row)"),
    ("slice_col", "($self, col)"),
    ("slice_range", "($self, axis, start, end)"),
    ("reshape", "($self, new_shape)"),
    ("gather", "($self, axis, indices)"),
    ("set_slice", "($self, axis, start, end, value)"),
    ("cumsum", "($self)"),
]
NO_ARGUMENT_METHODS = [name for name, signature in NDARRAY_METHODS if signature == "($self)"]

Py_TPFLAGS_HEAPTYPE = 1 << 9
Py_TPFLAGS_BASETYPE = 1 << 10
Py_TPFLAGS_HAVE_GC = 1 << 14
BOTH = [PyNDArray, PyBoolArray]


def test_all_lists_the_classes_in_order():
    assert tarvik.__all__ == ["PyNDArray", "PyBoolArray"]
    assert [name for name in dir(tarvik) if not name.startswith("_")] == sorted(tarvik.__all__)
    assert tarvik.PyNDArray is PyNDArray and tarvik.PyBoolArray is PyBoolArray
    assert tarvik.__doc__ == ""


def test_panic_exception_is_not_a_module_attribute(panic_exception):
    assert not hasattr(tarvik, "PanicException")
    assert panic_exception.__module__ == "tarvik"
    assert panic_exception.__qualname__ == "PanicException"


@pytest.mark.parametrize("cls", BOTH, ids=lambda c: c.__name__)
def test_class_names_and_signature(cls):
    name = cls.__name__
    assert name in ("PyNDArray", "PyBoolArray")
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__text_signature__ == "(data, shape)"
    assert cls.__doc__ == ""
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("cls", BOTH, ids=lambda c: c.__name__)
def test_class_flags(cls):
    flags = cls.__flags__
    assert flags & Py_TPFLAGS_HEAPTYPE
    assert not flags & Py_TPFLAGS_BASETYPE
    assert not flags & Py_TPFLAGS_HAVE_GC
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0


def test_method_table_in_order():
    methods = [name for name in vars(PyNDArray) if not name.startswith("__")]
    assert methods == [name for name, _ in NDARRAY_METHODS]


@pytest.mark.parametrize("name, signature", NDARRAY_METHODS)
def test_method_text_signature(name, signature):
    method = getattr(PyNDArray, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None  # the docstring holds nothing after the signature


@pytest.mark.parametrize("name", NO_ARGUMENT_METHODS)
def test_no_argument_methods_refuse_arguments(name):
    a = PyNDArray([1.0, 2.0, 3.0, 4.0], [2, 2])
    with pytest.raises(TypeError, match=rf"^PyNDArray\.{name}\(\) takes no arguments \(1 given\)$"):
        getattr(a, name)(1)
    with pytest.raises(TypeError, match=rf"^PyNDArray\.{name}\(\) takes no keyword arguments$"):
        getattr(a, name)(x=1)


def test_bool_array_has_only_shape():
    assert [name for name in vars(PyBoolArray) if not name.startswith("__")] == ["shape"]
    assert PyBoolArray.shape.__text_signature__ == "($self)"
    mask = PyBoolArray([True, False], [2])
    with pytest.raises(AttributeError):
        mask.get([0])


@pytest.mark.parametrize("cls", BOTH, ids=lambda c: c.__name__)
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize(
    "make",
    [lambda: PyNDArray([1.0], [1]), lambda: PyBoolArray([True], [1])],
    ids=["PyNDArray", "PyBoolArray"],
)
def test_instances_are_plain(make):
    obj = make()
    name = type(obj).__name__
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert repr(obj).startswith(f"<builtins.{name} object at 0x")
    other = make()
    assert obj == obj and obj != other
    assert hash(obj) == object.__hash__(obj)
    for operation in (len, iter, lambda o: o[0], lambda o: o + o, memoryview):
        with pytest.raises(TypeError):
            operation(obj)


def test_constructor_checks_the_type_it_builds():
    # The interpreter refuses to build one class through the other's constructor.
    with pytest.raises(TypeError):
        PyNDArray.__new__(PyBoolArray, [True], [1])
    assert type(PyNDArray.__new__(PyNDArray, [1.0], [1])) is PyNDArray


@pytest.mark.parametrize("cls, data", [(PyNDArray, [1.0, 2.0]), (PyBoolArray, [True, False])])
def test_instances_release_their_type(cls, data):
    """Each instance holds a reference to its heap type and gives it back when it dies."""
    before = sys.getrefcount(cls)
    for _ in range(1000):
        obj = cls(data, [2])
        del obj
    results = [PyNDArray([1.0, 2.0], [2]).reshape([1, 2]) for _ in range(100)]
    del results
    assert sys.getrefcount(cls) == before


def test_reimport_returns_the_same_module_and_classes():
    module = sys.modules.pop("tarvik")
    try:
        again = importlib.import_module("tarvik")
        assert again is module
        assert again.PyNDArray is PyNDArray
        assert again.PyBoolArray is PyBoolArray
        assert again.__all__ == ["PyNDArray", "PyBoolArray"]
    finally:
        sys.modules["tarvik"] = module


def run_python(source):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source)],
        capture_output=True,
        text=True,
        timeout=120,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)),
    )


def test_second_interpreter_gets_import_error():
    # A legacy sub-interpreter (shared GIL) is allowed to load single-phase modules, so the refusal
    # seen there is the module's own.
    result = run_python(
        """
        import sys
        import _testcapi
        import tarvik

        code = '''
        try:
            import tarvik
        except ImportError as error:
            print("ImportError:", error, flush=True)
        else:
            print("imported", flush=True)
        '''
        status = _testcapi.run_in_subinterp(code)
        a = tarvik.PyNDArray([1.0, 2.0], [2])
        print("main still works:", a.get([1]), status, flush=True)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 2, result.stdout
    assert lines[0].startswith("ImportError:") and "sub-interpreter" in lines[0]
    assert lines[1] == "main still works: 2.0 0"


def test_fresh_process_imports_cleanly():
    result = run_python(
        """
        import tarvik
        print(tarvik.__all__, tarvik.PyNDArray([1, 2, 3, 4], [2, 2]).get((1, 0)))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "['PyNDArray', 'PyBoolArray'] 3.0"
