"""Leaks and load: many calls, successful and failing, leave the heap, the resident set and every
argument's reference count where they were; several Python threads hammering shared and private
arrays get exact results, see only the documented borrow conflicts, and never deadlock.

Both tests are bounded (a few seconds each on the ordinary build).
"""

import ctypes
import gc
import math
import random
import sys
import threading
import time

import pytest

from row_major import is_panic
from tarvik import PyBoolArray, PyNDArray

SANITIZED = "libasan" in open("/proc/self/maps").read()


# ---------------------------------------------------------------------------------------------------
# Memory gauges.


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def heap_in_use():
    """Bytes handed out by the C allocator and not yet freed (all arenas, mmapped blocks included)."""
    libc = ctypes.CDLL(None)
    if SANITIZED:
        libc.__sanitizer_get_current_allocated_bytes.restype = ctypes.c_size_t
        return libc.__sanitizer_get_current_allocated_bytes()
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


# ---------------------------------------------------------------------------------------------------
# 100,000 mixed calls.


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Lying:
    """A sequence whose length asks for far more than it holds."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


def mixed_calls(a, b, m, row, args):
    """Calls covering every method, each way of failing, and both constructors."""
    shape, index, indices, big, value = args

    def reenter():
        a.set_slice(0, 0, 1, 0.0)  # `a` is borrowed by the call converting this: refused

    class Reentrant:
        def __index__(self):
            reenter()

    return [
        # successes
        lambda: PyNDArray(row, shape), lambda: PyBoolArray([True, False], [2]), lambda: a.get(index),
        lambda: a.shape(), lambda: a.sum(), lambda: a.mean(), lambda: a.relu(), lambda: a.sigmoid(),
        lambda: a.softmax(), lambda: a.transpose(), lambda: a.argmax(), lambda: a.scale(value), lambda: a.add(b),
        lambda: a.mul(a), lambda: a.matmul(b.transpose()), lambda: a.matmul_blas(b.transpose()),
        lambda: a.boolean_mask(m), lambda: a.where_(m, b), lambda: a.reshape([6]).fancy_index(indices + [5]),
        lambda: a.slice_row(1), lambda: a.slice_col(2), lambda: a.slice_range(1, 0, 2), lambda: a.reshape(shape),
        lambda: a.gather(1, indices), lambda: a.cumsum(), lambda: b.set_slice(1, 0, 1, value),
        lambda: b.masked_fill(m, value), lambda: a.get([Index(1), Index(2)]),
        # engine faults
        lambda: PyNDArray(row, [7]), lambda: a.get([9, 9]), lambda: a.add(a.transpose()), lambda: a.matmul(a),
        lambda: a.slice_range(0, 2, 1), lambda: a.gather(5, indices), lambda: a.fancy_index(indices),
        lambda: a.boolean_mask(PyBoolArray([True], [1])), lambda: a.reshape([big, big]),
        lambda: PyNDArray([], [0]).argmax(), lambda: b.set_slice(0, 0, 3, value),
        lambda: b.masked_fill(PyBoolArray([True], [1]), value),
        # argument faults
        lambda: a.get(3), lambda: a.get("12"), lambda: a.slice_row(-1), lambda: a.slice_row(2**64),
        lambda: a.scale("x"), lambda: a.add([1.0]), lambda: a.get([Index(ValueError("hook"))]),
        lambda: a.get(), lambda: a.get([0, 0], [0]), lambda: a.get(idx=[0]), lambda: a.sum(1),
        lambda: PyBoolArray([1, 0], [2]), lambda: PyNDArray([[1.0]], [1]), lambda: PyNDArray(row, [-1]),
        lambda: a.slice_row(Reentrant()),
        # allocation refused: the length asks for 8 TiB
        lambda: PyNDArray(Lying(row, 2**40), shape),
    ]


def run_all(calls, rounds):
    outcomes = {}
    for _ in range(rounds):
        for n, call in enumerate(calls):
            try:
                call()
                outcomes[n] = "ok"
            except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
                if not (isinstance(error, (TypeError, OverflowError, RuntimeError, MemoryError, ValueError))
                        or is_panic(error)):
                    raise
                outcomes[n] = type(error).__name__
    return outcomes


def test_many_calls_leave_memory_and_reference_counts_flat(capfd):
    a = PyNDArray([1.0, -2.0, 3.0, 4.0, -5.0, 6.0], [2, 3])
    b = PyNDArray([0.5] * 6, [2, 3])
    m = PyBoolArray([True, False, True, False, True, False], [2, 3])
    row = [float(i) for i in range(6)]
    args = ([2, 3], [1, 2], [2, 0, 1], 2**32, 1.25)
    watched = [a, b, m, row, *args, PyNDArray, PyBoolArray]
    calls = mixed_calls(a, b, m, row, args)
    rounds = (100_000 // len(calls)) // (5 if SANITIZED else 1)

    outcomes = run_all(calls, 3)  # warm caches, free lists and the pool before measuring
    gc.collect()  # arrays held in cycles left by earlier tests would be freed mid-measurement
    assert set(outcomes.values()) == {"ok", "PanicException", "TypeError", "OverflowError", "RuntimeError",
                                      "MemoryError", "ValueError"}
    references = [sys.getrefcount(x) for x in watched]
    heap, resident = heap_in_use(), resident_bytes()
    peak_growth = 0
    for _ in range(10):
        assert run_all(calls, rounds // 10) == outcomes
        capfd.readouterr()  # drop the fault notices as they come
        peak_growth = max(peak_growth, resident_bytes() - resident)
    heap_growth = heap_in_use() - heap

    assert [sys.getrefcount(x) for x in watched] == references
    # A leak of one small block per call would be several megabytes here.
    assert heap_growth < 256 * 1024, heap_growth
    if not SANITIZED:  # the sanitizer's quarantine keeps freed blocks resident on purpose
        assert peak_growth < 16 * 2**20, peak_growth
    with capfd.disabled():
        print(f"\n{rounds * len(calls)} calls: heap growth {heap_growth} B, peak resident growth "
              f"{peak_growth / 2**20:.2f} MiB", file=sys.stderr)


# ---------------------------------------------------------------------------------------------------
# Soak: threads on shared and private arrays.

SOAK_SECONDS = 3.0
THREADS = 6


CONFLICTS = ("Already borrowed", "Already mutably borrowed")


def retry(call, conflicts):
    """Runs `call` until no other thread holds a conflicting borrow; the refusals must carry the
    documented texts."""
    while True:
        try:
            return call()
        except RuntimeError as error:
            assert str(error) in CONFLICTS, error
            conflicts.append(str(error))
            time.sleep(0)


class Yielding:
    """An index whose conversion lets other threads run while the call holds its borrows."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


def test_threads_hammering_shared_and_private_arrays():
    rows, width = THREADS, 64
    # Shared array: thread t owns row t and writes it whole; everyone reads everything.
    shared = PyNDArray([0.0] * (rows * width), [rows, width])
    n = 300_000  # long enough for the pool to split the work
    x = PyNDArray([float(i % 1000) for i in range(n)], [n])
    x_sum = float(sum(i % 1000 for i in range(n)))
    failures, conflicts = [], []
    deadline = time.monotonic() + SOAK_SECONDS

    def worker(t):
        rng = random.Random(t)
        private = PyNDArray([float(t)] * 12, [3, 4])
        own_value = 0.0
        try:
            while time.monotonic() < deadline:
                step = rng.randrange(7)
                if step == 0:
                    own_value = float(rng.randrange(1000))
                    retry(lambda: shared.set_slice(0, t, t + 1, own_value), conflicts)
                    assert retry(lambda: shared.slice_row(t), conflicts).sum() == own_value * width
                elif step == 1:
                    # Every row is constant: a set_slice is never seen half-done.
                    for r in range(rows):
                        line = retry(lambda: shared.slice_row(r), conflicts)
                        assert line.sum() == line.get([0]) * width
                elif step == 2:
                    doubled = x.add(x)
                    assert doubled.sum() == 2 * x_sum and doubled.get([n - 1]) == 2 * ((n - 1) % 1000)
                elif step == 3:
                    scaled = private.scale(2.0).relu().cumsum()
                    assert scaled.get([11]) == 24.0 * t
                    private.masked_fill(PyBoolArray([True] * 12, [3, 4]), float(t))
                elif step == 4:
                    # Conversions that run Python code let other threads in while borrows are held:
                    # conflicting calls must be refused with the documented error, nothing else.
                    retry(lambda: shared.set_slice(Yielding(0), Yielding(t), Yielding(t + 1), own_value), conflicts)
                elif step == 5:
                    picked = retry(lambda: shared.gather(Yielding(0), [Yielding(t)]), conflicts)
                    assert picked.sum() == own_value * width
                else:
                    transposed = retry(lambda: shared.transpose(), conflicts)
                    product = retry(lambda: shared.matmul(transposed), conflicts)
                    assert product.shape() == [rows, rows]
                    assert private.sum() == 12.0 * t
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append((t, repr(error)))

    threads = [threading.Thread(target=worker, args=(t,), daemon=True) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=SOAK_SECONDS + 60)
    assert not any(thread.is_alive() for thread in threads), "a thread is stuck"
    assert failures == []
    print(f"\nsoak: {len(conflicts)} refused borrows under contention", file=sys.stderr)
    # Every borrow was released: an exclusive one succeeds now.
    shared.masked_fill(PyBoolArray([False] * (rows * width), [rows, width]), 0.0)
    x.masked_fill(PyBoolArray([False] * n, [n]), 0.0)
