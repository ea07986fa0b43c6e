"""The type stub must describe the module exactly: same classes, methods and parameters."""

import ast
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import tarvik

SOURCE_STUB = pathlib.Path(__file__).resolve().parents[2] / "src" / "python" / "tarvik-stubs" / "__init__.pyi"
# pip installs the stub-only package beside the module, in the same site-packages directory.
INSTALLED_STUB = pathlib.Path(tarvik.__file__).parent / "tarvik-stubs" / "__init__.pyi"


def stub_path():
    return INSTALLED_STUB if INSTALLED_STUB.exists() else SOURCE_STUB


def stub_classes():
    tree = ast.parse(stub_path().read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef) and not node.name.startswith("_")}


def stub_parameters(function):
    return [arg.arg for arg in function.args.args]


def text_signature_parameters(callable_):
    """"($self, axis, start)" -> ["self", "axis", "start"]"""
    inner = callable_.__text_signature__.strip("()")
    return [name.lstrip("$") for name in inner.split(", ")] if inner else []


def runtime_methods(cls):
    return {name for name, value in vars(cls).items() if callable(value) and not name.startswith("__")}


def test_stub_is_installed_beside_the_module():
    if "site-packages" not in pathlib.Path(tarvik.__file__).parts:
        pytest.skip("running against a build tree, not an installed module")
    assert INSTALLED_STUB.read_text() == SOURCE_STUB.read_text()
    assert not pathlib.Path(tarvik.__file__).with_name("tarvik.pyi").exists()


@pytest.mark.parametrize("cls", [tarvik.PyNDArray, tarvik.PyBoolArray], ids=lambda c: c.__name__)
def test_stub_methods_and_parameters_match_the_module(cls):
    node = stub_classes()[cls.__name__]
    functions = {f.name: f for f in node.body if isinstance(f, ast.FunctionDef)}
    assert set(functions) - {"__new__"} == runtime_methods(cls)
    for name in runtime_methods(cls):
        assert text_signature_parameters(getattr(cls, name)) == stub_parameters(functions[name]), name
    assert stub_parameters(functions["__new__"]) == ["cls"] + text_signature_parameters(cls)


def test_stub_lists_exactly_the_module_classes():
    assert set(stub_classes()) == set(tarvik.__all__)


@pytest.mark.skipif(shutil.which("stubtest") is None and not os.path.exists(os.path.join(os.path.dirname(sys.executable), "stubtest")),
                    reason="mypy is not installed")
def test_stubtest_accepts_the_stub(tmp_path):
    stub_dir = tmp_path / "stubs"
    stub_dir.mkdir()
    (stub_dir / "tarvik.pyi").write_text(stub_path().read_text())
    env = dict(os.environ, MYPYPATH=str(stub_dir))
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tarvik"], capture_output=True, text=True,
                            env=env, cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
