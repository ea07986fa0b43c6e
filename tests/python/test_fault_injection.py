"""Faults from outside the module, each in a subprocess of its own with a timeout: allocations the
system refuses, a worker pool whose threads cannot be started, a second interpreter, and fork.

Every scenario ends by showing that the process still works: a fault must never leave the module
half-usable or the interpreter hung.
"""

import os
import re
import subprocess
import sys
import textwrap

import pytest

# Lowering the address-space limit starves the sanitizer's own shadow mappings, so those scenarios
# only run on the ordinary build.
SANITIZED = "libasan" in open("/proc/self/maps").read()
needs_plain_build = pytest.mark.skipif(SANITIZED, reason="RLIMIT_AS cannot be lowered under AddressSanitizer")

# OpenBLAS's own threads, started when the library loads, spin on a refused buffer allocation and are
# then joined at exit, so under a lowered limit the process would hang on leaving. The scenarios below
# are about the module's allocations and pool, so OpenBLAS is kept on the calling thread.
SINGLE_THREADED_BLAS = {"OPENBLAS_NUM_THREADS": "1"}

PRELUDE = '''
import os, resource, sys
import tarvik
from tarvik import PyBoolArray, PyNDArray

def is_panic(error):
    return type(error).__name__ == "PanicException" and not isinstance(error, Exception)

def fails(call):
    """The exception `call` raises, as "Type: text"; "returned" if it raised nothing."""
    try:
        call()
    except BaseException as error:
        return ("PanicException" if is_panic(error) else type(error).__name__) + ": " + str(error)
    return "returned"

def limit_address_space(headroom_mib):
    """Caps the address space at what is mapped now plus `headroom_mib`."""
    with open("/proc/self/status") as status:
        size_kib = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
    limit = size_kib * 1024 + headroom_mib * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))

def lift_address_space_limit():
    hard = resource.getrlimit(resource.RLIMIT_AS)[1]
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
'''


def run_scenario_process(body, timeout=120, **env):
    """Runs PRELUDE + body in a fresh interpreter that finds the same module as this one."""
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), **env)
    result = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=environment,
    )
    assert result.returncode == 0, f"exit {result.returncode}\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}"
    return result


def run_scenario(body, timeout=120, **env):
    """The lines the scenario printed."""
    return run_scenario_process(body, timeout, **env).stdout.splitlines()


@needs_plain_build
def test_refused_allocations_raise_memory_error_and_the_process_goes_on():
    lines = run_scenario(
        """
        n = 8192
        column = PyNDArray([1.0] * n, [n, 1])
        big = column.matmul(column.transpose())        # 8192 x 8192 ones: 512 MiB
        small = PyNDArray([1.0, 2.0, 3.0], [3])
        small.add(small)                               # the pool is running before the limit
        limit_address_space(256)
        # Results too large for what is left, on the pool and off it, and an argument whose length
        # asks for more than is left.
        for name, call in [
            ("add", lambda: big.add(big)),
            ("scale", lambda: big.scale(2.0)),
            ("relu", lambda: big.relu()),
            ("cumsum", lambda: big.cumsum()),
            ("transpose", lambda: big.transpose()),
            ("sigmoid", lambda: big.sigmoid()),
            ("matmul", lambda: column.matmul(column.transpose())),
            ("reshape", lambda: big.reshape([n * n])),
            ("new", lambda: PyNDArray(range(2**27), [2**27])),
        ]:
            print(name, fails(call))
        # The same process carries on, with the arrays it had.
        print("after", small.add(small).sum(), big.sum(), big.slice_row(3).sum(), big.get([5, 7]))
        lift_address_space_limit()
        print("lifted", big.add(big).get([8191, 8191]))
        """,
        **SINGLE_THREADED_BLAS,
    )
    results = dict(line.split(" ", 1) for line in lines)
    for name in ["add", "scale", "relu", "cumsum", "transpose", "sigmoid", "matmul", "reshape"]:
        assert results[name] == "MemoryError: memory allocation of 536870912 bytes failed", name
    assert results["new"] == "MemoryError: memory allocation of 1073741824 bytes failed"
    assert results["after"] == f"12.0 {8192.0 * 8192} 8192.0 1.0"
    assert results["lifted"] == "2.0"


@needs_plain_build
@pytest.mark.parametrize("n", [2, 200, 1000])
def test_first_blas_product_with_the_address_space_nearly_full(n):
    """OpenBLAS maps its working buffer at a process's first product and, refused, would retry for
    ever; the product must raise MemoryError instead, and work once there is room. The buffer is kept
    after that, so the same shortage no longer stops a product."""
    lines = run_scenario(
        f"""
        import mmap
        n = {n}
        a = PyNDArray([0.5] * (n * n), [n, n])
        resource.setrlimit(resource.RLIMIT_AS, (800 * 2**20, resource.getrlimit(resource.RLIMIT_AS)[1]))

        def exhaust():
            # Untouched mappings fill the address space without using memory; 32 MiB stay free.
            held = []
            try:
                while True:
                    held.append(mmap.mmap(-1, 32 * 2**20))
            except OSError:
                held.pop().close()
            return held

        def product():
            c = a.matmul_blas(a)
            return f"{{c.shape()}} {{c.get([n - 1, n - 1])}}"

        held = exhaust()
        print("exhausted", fails(product))
        for m in held:
            m.close()
        print("room", product())
        held = exhaust()
        print("exhausted again", product())
        """,
        timeout=60,
    )
    result = f"[{n}, {n}] {n * 0.25}"
    assert lines == ["exhausted MemoryError: memory allocation of 134217728 bytes failed",
                     f"room {result}", f"exhausted again {result}"]


POOL_METHODS = ["add", "mul", "scale", "relu"]


@needs_plain_build
def test_pool_that_cannot_start_fails_every_pool_call_and_nothing_else():
    lines = run_scenario(
        """
        a = PyNDArray([1.0, -2.0, 3.0, -4.0], [2, 2])
        mask = PyBoolArray([True, False, False, True], [2, 2])
        pool_calls = {
            "add": lambda: a.add(a), "mul": lambda: a.mul(a),
            "scale": lambda: a.scale(2.0), "relu": lambda: a.relu(),
        }
        # No room for the stacks of 65535 workers: creation fails part-way.
        limit_address_space(64)
        for name, call in pool_calls.items():
            print(name, fails(call))
        print("add-again", fails(pool_calls["add"]))
        # Methods that do not need the pool are unaffected.
        print("others", a.sum(), a.argmax(), a.cumsum().get([3]), a.matmul(a).get([0, 0]),
              a.transpose().get([0, 1]), a.slice_col(1).sum(), a.boolean_mask(mask).sum(),
              a.where_(mask, a.sigmoid()).get([1, 1]))
        a.set_slice(0, 0, 1, 9.0)
        a.masked_fill(mask, 0.5)
        print("in-place", a.sum())
        # Creation is not retried, even once the threads would fit.
        lift_address_space_limit()
        print("lifted", fails(pool_calls["relu"]))
        """,
        RAYON_NUM_THREADS="65535",
        **SINGLE_THREADED_BLAS,
    )
    results = dict(line.split(" ", 1) for line in lines)
    prefix = "PanicException: The global thread pool has not been initialized.: "
    for name in POOL_METHODS + ["add-again", "lifted"]:
        assert results[name].startswith(prefix) and len(results[name]) > len(prefix), (name, results[name])
    assert results["others"] == "-2.0 2 -2.0 -5.0 3.0 -6.0 -3.0 -4.0"
    assert results["in-place"] == "13.0"  # row 0 set to 9.0, then the diagonal to 0.5


def test_second_interpreter_is_refused_and_the_first_unaffected():
    pytest.importorskip("_testcapi")
    lines = run_scenario(
        """
        import _testcapi
        a = PyNDArray([1.0, 2.0, 3.0], [3])
        print("before", a.add(a).sum())
        code = '''if 1:
            try:
                import tarvik
            except ImportError as error:
                print("refused", type(error).__name__, flush=True)
            else:
                print("imported", flush=True)
        '''
        # Refused every time, with the main interpreter's arrays and pool in use between attempts.
        for attempt in range(2):
            print("status", _testcapi.run_in_subinterp(code))
            print("between", a.scale(2.0).sum())
        del sys.modules["tarvik"]
        import tarvik as again
        print("same", again.PyNDArray is PyNDArray, a.relu().sum())
        """
    )
    assert lines == [
        "before 12.0",
        "refused ImportError",
        "status 0",
        "between 12.0",
        "refused ImportError",
        "status 0",
        "between 12.0",
        "same True 6.0",
    ]


def test_first_import_in_a_sub_interpreter():
    """The module belongs to the interpreter that initialises it first, and the other is refused. On
    3.12 that is the sub-interpreter; from 3.13 on the interpreter itself runs a single-phase module's
    initialisation in the main interpreter first, so there the main interpreter owns it."""
    pytest.importorskip("_testcapi")
    source = PRELUDE.replace("import tarvik\nfrom tarvik import PyBoolArray, PyNDArray\n", "")
    result = subprocess.run(
        [sys.executable, "-c", source + textwrap.dedent(
            """
            import _testcapi
            print("status", _testcapi.run_in_subinterp("import tarvik; print('sub', tarvik.PyNDArray([2.0], [1]).sum())"))
            try:
                import tarvik
            except ImportError:
                print("main refused")
            else:
                print("main", tarvik.PyNDArray([3.0], [1]).sum())
            """)],
        capture_output=True, text=True, timeout=120,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)),
    )
    assert result.returncode == 0, result.stderr
    if sys.version_info < (3, 13):
        assert result.stdout.splitlines() == ["sub 2.0", "status 0", "main refused"]
    else:
        assert result.stdout.splitlines() == ["status -1", "main 3.0"]
        assert "ImportError" in result.stderr


FORK_BODY = """
import random
rng = random.Random(7)
n = 200_000
x = [rng.uniform(-1, 1) for _ in range(n)]
y = [rng.uniform(-1, 1) for _ in range(n)]
a, b = PyNDArray(x, [n]), PyNDArray(y, [n])

def check(tag):
    got = a.add(b)
    doubled = a.scale(2.0)
    kept = a.relu()
    product = a.mul(b)
    for i in range(0, n, 997):
        assert got.get([i]) == x[i] + y[i], (tag, i)
        assert doubled.get([i]) == x[i] * 2.0, (tag, i)
        assert kept.get([i]) == (x[i] if x[i] > 0 else 0.0), (tag, i)
        assert product.get([i]) == x[i] * y[i], (tag, i)
    return tag

def fork_and_check(tag, depth):
    pid = os.fork()
    if pid == 0:
        try:
            check(tag)
            if depth > 1:
                fork_and_check(tag + "+", depth - 1)
        except BaseException as error:
            print("child failed:", tag, repr(error), flush=True)
            os._exit(1)
        os._exit(0)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, tag
    print("child ok", tag, flush=True)
"""


@pytest.mark.parametrize("started", [True, False], ids=["pool-running", "pool-not-started"])
def test_forked_children_use_the_pool(started):
    lines = run_scenario(
        FORK_BODY
        + f"""
if {started}:
    check("parent")
fork_and_check("child", depth=2)
print(check("parent after"), "ok")
""",
        RAYON_NUM_THREADS="4",
        timeout=180,
    )
    assert lines == ["child ok child+", "child ok child", "parent after ok"]


def test_interpreter_allocations_refused_one_at_a_time():
    """The interpreter's own allocator refuses the k-th request of a call, for each k in turn: a result
    instance, a list, an int, a float or an exception object that cannot be made. Every call ends in
    its result, MemoryError or PanicException, and leaves its arrays intact and free."""
    pytest.importorskip("_testcapi")
    lines = run_scenario(
        """
        import _testcapi
        a = PyNDArray([1.0, 2.0, 3.0, 4.0], [2, 2])
        wide = PyNDArray([0.0] * 300 + [1.0], [301])  # its argmax and extent are ints not cached
        mask = PyBoolArray([True, False, False, True], [2, 2])
        data, shape, index, new_shape = [1.0, 2.0], [2], [1, 1], [4]
        calls = {
            "new": lambda: PyNDArray(data, shape), "bool new": lambda: PyBoolArray([True], [1]),
            "relu": lambda: a.relu(), "add": lambda: a.add(a), "transpose": lambda: a.transpose(),
            "reshape": lambda: a.reshape(new_shape), "shape": lambda: a.shape(), "get": lambda: a.get(index),
            "argmax": lambda: wide.argmax(), "wide shape": lambda: wide.shape(), "sum": lambda: a.sum(),
            "where_": lambda: a.where_(mask, a),
            "masked_fill": lambda: a.masked_fill(mask, 1.0), "fault": lambda: a.slice_row(7),
        }

        def describe(value):
            if isinstance(value, PyNDArray):
                return f"array {value.shape()} {value.sum()}"
            return repr(value)

        for name, call in calls.items():
            seen = set()
            for k in range(12):
                # Nothing between the two hook calls allocates but the call under test; the floats
                # kept here empty the interpreter's free list, so a float result needs memory too.
                keep = None
                keep = [i + 0.5 for i in range(300)]
                error = None
                _testcapi.set_nomemory(k, k + 1)
                try:
                    value = call()
                except BaseException as caught:
                    error = caught
                _testcapi.remove_mem_hooks()
                if error is None:
                    seen.add("ok " + describe(value))
                else:
                    seen.add(("PanicException" if is_panic(error) else type(error).__name__) + ": " + str(error))
            print(name, "|", " | ".join(sorted(seen)))
        mask.shape()
        a.set_slice(0, 0, 2, 1.0)  # exclusive: every borrow was released
        print("after", a.sum(), a.add(a).sum())
        """
    )
    outcomes = {name: set(rest.split(" | ")) for name, rest in (line.split(" | ", 1) for line in lines[:-1])}
    expected_results = {
        "new": "ok array [2] 3.0", "bool new": "ok <builtins.PyBoolArray object", "relu": "ok array [2, 2] 10.0",
        "add": "ok array [2, 2] 20.0", "transpose": "ok array [2, 2] 10.0", "reshape": "ok array [4] 10.0",
        "shape": "ok [2, 2]", "get": "ok 4.0", "argmax": "ok 300", "wide shape": "ok [301]", "sum": "ok 10.0",
        "where_": "ok array [2, 2] 10.0",
        "masked_fill": "ok None",
    }
    result_instance = "PanicException: could not allocate a PyNDArray for the result"
    for name, seen in outcomes.items():
        if name == "fault":
            # The fault's message survives, or making the exception itself ran out of memory.
            assert seen <= {"PanicException: index out of bounds for dimension 0: index 7, shape 2", "MemoryError: "}
            assert "PanicException: index out of bounds for dimension 0: index 7, shape 2" in seen
            continue
        successes = {s for s in seen if s.startswith("ok ")}
        assert successes and all(s.startswith(expected_results[name]) for s in successes), (name, seen)
        failures = seen - successes
        allowed = {"MemoryError: ", result_instance, "PanicException: Python API call failed"}
        assert failures <= allowed, (name, seen)
    # Each way a result can fail to reach Python shows up somewhere.
    assert result_instance in outcomes["relu"]
    for name in ["shape", "wide shape", "argmax", "sum"]:
        assert "PanicException: Python API call failed" in outcomes[name], name
    assert "MemoryError: " in outcomes["new"]
    assert lines[-1] == "after 4.0 8.0"


def test_panic_exception_is_made_again_after_a_refused_first_attempt():
    """The first fault of a process prints its notice and creates PanicException. With the k-th
    allocation of that fault refused, for each k in a child of its own, it may end in MemoryError
    (the class or its argument could not be made), but the next fault must raise PanicException,
    never return without an exception set."""
    pytest.importorskip("_testcapi")
    lines = run_scenario(
        """
        import _testcapi
        a = PyNDArray([1.0], [1])
        index = [5]

        def fault():
            try:
                a.get(index)
            except BaseException as caught:
                return caught

        for k in range(40):
            pid = os.fork()
            if pid == 0:
                _testcapi.set_nomemory(k, k + 1)
                first = fault()
                _testcapi.remove_mem_hooks()
                outcomes = [("PanicException: " + str(e)) if is_panic(e) else type(e).__name__ for e in (first, fault())]
                print(*outcomes, sep=" | ", flush=True)
                os._exit(0)
            os.waitpid(pid, 0)
        """
    )
    panic = "PanicException: index out of bounds for dimension 0: index 5, shape 1"
    assert len(lines) == 40
    assert {line.split(" | ")[1] for line in lines} == {panic}
    assert {line.split(" | ")[0] for line in lines} == {panic, "MemoryError"}


@needs_plain_build
def test_a_result_the_interpreter_cannot_make_is_noticed_as_an_internal_fault():
    pytest.importorskip("_testcapi")
    result = run_scenario_process(
        """
        import _testcapi
        wide = PyNDArray([0.0] * 300 + [1.0], [301])  # its argmax is an int not cached
        for k in range(12):
            _testcapi.set_nomemory(k, k + 1)
            try:
                wide.argmax()
            except BaseException:
                pass
            _testcapi.remove_mem_hooks()
        """
    )
    notices = [line for line in result.stderr.splitlines() if line.startswith("tarvik: ")]
    assert "tarvik: internal fault: Python API call failed" in "\n".join(notices), result.stderr
    for line in notices:
        assert re.fullmatch(r"tarvik: internal fault: Python API call failed \(at src/python/\w+\.[ch]pp:\d+\)", line)


def test_fork_right_after_each_pool_call():
    """Forks the moment a pool call returns, while workers may still be settling back to sleep: each
    child must get a working pool of its own."""
    lines = run_scenario(
        """
        import time
        n = 400_000
        a = PyNDArray([1.0] * n, [n])
        outcomes = []
        for i in range(100):
            a.add(a)
            pid = os.fork()
            if pid == 0:
                os._exit(0 if a.add(a).sum() == 2.0 * n else 3)
            deadline = time.monotonic() + 20
            while not (done := os.waitpid(pid, os.WNOHANG))[0] and time.monotonic() < deadline:
                time.sleep(0.001)
            if not done[0]:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                outcomes.append("hung")
            else:
                outcomes.append(os.waitstatus_to_exitcode(done[1]))
        print(sorted(set(outcomes), key=str), a.scale(0.5).sum())
        """,
        RAYON_NUM_THREADS="4",
        timeout=300,
    )
    assert lines == ["[0] 200000.0"]
