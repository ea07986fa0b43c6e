"""sigmoid and softmax give the C library's exp bit for bit, under each build of it the library may
pick, and with the vector exponential switched off. Each variant runs in a child process, since the
library chooses its build when the process starts."""

import os
import subprocess
import sys

import pytest

CHILD = r"""
import ctypes, ctypes.util, math, random, struct
from tarvik import PyNDArray

libm = ctypes.CDLL(ctypes.util.find_library("m"))
libm.exp.restype = ctypes.c_double
libm.exp.argtypes = [ctypes.c_double]
exp = libm.exp
rng = random.Random(5)

def bits(x):
    return struct.pack("<d", x)

def same(a, b):
    return bits(a) == bits(b) or (math.isnan(a) and math.isnan(b))

def family(k):
    if k == 0: return rng.uniform(-746.0, 710.0)
    if k == 1: return rng.uniform(-1.0, 1.0)
    if k == 2: return struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
    if k == 3: return rng.choice((1, -1)) * 2.0 ** rng.uniform(-60, 10)
    if k == 4:
        x = (math.floor(rng.uniform(-95000, 90000)) + 0.5) * (math.log(2) / 128)
        return struct.unpack("<d", struct.pack("<q", struct.unpack("<q", bits(x))[0] + rng.randint(-64, 64)))[0]
    if k == 5:
        edge = rng.choice((709.78, -708.40, -744.44, -745.13, 512.0, -512.0, 2.0 ** -54, -2.0 ** -54))
        return struct.unpack("<d", struct.pack("<q", struct.unpack("<q", bits(edge))[0] + rng.randint(-3000, 3000)))[0]
    return rng.choice((0.0, -0.0, math.inf, -math.inf, math.nan, 1.7976931348623157e308, 5e-324))

mismatches, checked = 0, 0
for chunk in range(COUNT // 1000):
    data = [family(chunk % 7) for _ in range(1000)]
    array = PyNDArray(data, [1000])
    sig = array.sigmoid()
    for i, x in enumerate(data):
        mismatches += not same(1.0 / (exp(-x) + 1.0), sig.get([i]))
    e = [exp(x) for x in data]
    total = -0.0
    for v in e:
        total += v
    if 2.2250738585072014e-308 <= total < math.inf:  # outside, the overflow guard takes over
        soft = array.softmax()
        for i, v in enumerate(e):
            mismatches += not same(v / total, soft.get([i]))
    checked += 1000
print(checked, mismatches)
"""

VARIANTS = {
    "library default": {},
    "library unfused (no AVX2)": {"GLIBC_TUNABLES": "glibc.cpu.hwcaps=-AVX2"},
    "library unfused (no AVX2, FMA, AVX)": {"GLIBC_TUNABLES": "glibc.cpu.hwcaps=-AVX2,-FMA,-AVX"},
    "scalar exp forced": {"TARVIK_SCALAR_EXP": "1"},
}


@pytest.mark.parametrize("variant", VARIANTS)
def test_activations_match_the_library_exp(variant):
    count = 300_000
    environment = dict(os.environ, **VARIANTS[variant])
    result = subprocess.run([sys.executable, "-c", CHILD.replace("COUNT", str(count))], env=environment,
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    checked, mismatches = map(int, result.stdout.split())
    assert (checked, mismatches) == (count, 0)
