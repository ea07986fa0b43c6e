"""Both type checkers find the installed stubs: they pass correct use, numpy input included, and
report every planted mistake on its own line."""

import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

import tarvik

pytestmark = pytest.mark.skipif("site-packages" not in pathlib.Path(tarvik.__file__).parts,
                                reason="the checkers read the installed package, not a build tree")

SAMPLE = """\
import numpy as np
from tarvik import PyBoolArray, PyNDArray

x = np.arange(6.0)
a = PyNDArray(x, [2, 3])
b = PyNDArray(x.ravel().tolist(), x.reshape(2, 3).shape)
c = PyNDArray(range(6), (2, 3))
m = PyBoolArray(x > 2.0, [2, 3])
total: float = a.add(b).mul(c).scale(np.float64(2.0)).sum()
row: PyNDArray = a.slice_row(np.int64(1)).where_(PyBoolArray([True, False, True], [3]), b.slice_row(0))
position: int = a.argmax()
extents: list[int] = a.gather(1, np.array([0, 2])).shape()
a.masked_fill(m, 0)

PyNDArray("abcdef", [6])  # planted: a str is refused
a.add([1.0, 2.0])  # planted: a list is not an array
a.boolean_mask(b)  # planted: the mask is a PyBoolArray
wrong: int = a.sum()  # planted: sums are floats
a.get(1)  # planted: an index is a sequence
PyBoolArray([1, 0], [2])  # planted: ints are not bools
a.slice_range(0, 1.5, 2)  # planted: positions are integers
a.sum(0)  # planted: no arguments
b.mean() + a  # planted: no operators
"""

PLANTED = {number for number, line in enumerate(SAMPLE.splitlines(), 1) if "# planted" in line}


def tool(name):
    path = pathlib.Path(sys.executable).with_name(name)
    if not path.exists():
        pytest.skip(f"{name} is not installed")
    return str(path)


@pytest.fixture
def sample(tmp_path):
    path = tmp_path / "sample.py"
    path.write_text(SAMPLE)
    return path


def test_mypy_reports_each_planted_mistake(sample):
    # No MYPYPATH and a fresh cache: the stubs can only come from the environment's site-packages.
    result = subprocess.run([tool("mypy"), "--no-incremental", "--strict", sample.name], cwd=sample.parent,
                            capture_output=True, text=True, timeout=600)
    lines = {int(m.group(1)) for m in re.finditer(r"^sample\.py:(\d+): error:", result.stdout, re.MULTILINE)}
    assert lines == PLANTED, result.stdout


def test_pyright_reports_each_planted_mistake(sample):
    environment = dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")
    result = subprocess.run([tool("pyright"), "--pythonpath", sys.executable, "--outputjson", sample.name],
                            cwd=sample.parent, capture_output=True, text=True, env=environment, timeout=600)
    report = json.loads(result.stdout)
    errors = [d for d in report["generalDiagnostics"] if d["severity"] == "error"]
    assert {d["range"]["start"]["line"] + 1 for d in errors} == PLANTED, json.dumps(errors, indent=1)
