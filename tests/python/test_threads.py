"""The worker pool as a process sees it: when its threads start, how many there are, what the
environment and the affinity mask do, a forked child, and results independent of the thread
count. Each case runs in a fresh interpreter, since the pool lives once per process."""

import os
import subprocess
import sys
import textwrap

import pytest

import tarvik

MODULE_DIR = os.path.dirname(tarvik.__file__)

PRELUDE = """
import os, sys
def threads():
    return len(os.listdir("/proc/self/task"))
"""


def run(script, timeout=120, **env):
    """Runs `script` in a new interpreter with `env` added (None removes a variable); returns stdout."""
    environment = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    environment["PYTHONPATH"] = MODULE_DIR
    # The BLAS library behind matmul_blas keeps threads of its own (started when it is loaded and
    # stopped around fork); one BLAS thread keeps the count down to the module's own workers.
    environment["OPENBLAS_NUM_THREADS"] = "1"
    for key, value in env.items():
        if value is None:
            environment.pop(key, None)
        else:
            environment[key] = value
    done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(script)], env=environment,
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout


def default_count():
    # No control-group quota is assumed beyond what the affinity mask says, as on the test machines.
    return len(os.sched_getaffinity(0))


@pytest.mark.parametrize(
    "num_threads, num_cpus, expected",
    [("3", None, 3), ("+3", None, 3), ("0", "2", None), (None, "2", 2), (" 3", "2", 2), ("3 ", None, None),
     ("-1", "2", 2), ("three", None, None), ("", "1", 1), ("1", None, 1), ("8", None, 8)],
)
def test_workers_start_at_first_operation(num_threads, num_cpus, expected):
    out = run("""
        before = threads()
        import tarvik
        after_import = threads()
        a = tarvik.PyNDArray([1.0], [1])
        after_new = threads()
        a.add(a)
        after_add = threads()
        a.relu()
        print(before, after_import, after_new, after_add, threads())
    """, RAYON_NUM_THREADS=num_threads, RAYON_RS_NUM_CPUS=num_cpus)
    before, after_import, after_new, after_add, after_more = map(int, out.split())
    assert after_import == before == after_new
    assert after_add - before == (expected or default_count())
    assert after_more == after_add


@pytest.mark.parametrize("method", ["add", "mul", "scale", "relu"])
def test_empty_input_starts_the_pool_too(method):
    out = run(f"""
        import tarvik
        before = threads()
        a = tarvik.PyNDArray([], [0])
        args = {{"add": (a,), "mul": (a,), "scale": (2.0,), "relu": ()}}["{method}"]
        assert getattr(a, "{method}")(*args).shape() == [0]
        print(threads() - before)
    """, RAYON_NUM_THREADS="2")
    assert int(out) == 2


def test_affinity_narrowed_before_first_call_sizes_the_pool():
    if default_count() < 2:
        pytest.skip("needs at least two processors to narrow")
    out = run("""
        cpu = min(os.sched_getaffinity(0))
        os.sched_setaffinity(0, {cpu})
        import tarvik
        before = threads()
        a = tarvik.PyNDArray([1.0, 2.0], [2])
        a.scale(3.0)
        print(threads() - before)
    """)
    assert int(out) == 1


def test_changing_the_variable_after_start_has_no_effect():
    out = run("""
        import tarvik
        before = threads()
        a = tarvik.PyNDArray([float(i) for i in range(100000)], [100000])
        a.add(a)
        first = threads() - before
        os.environ["RAYON_NUM_THREADS"] = "5"
        os.environ["RAYON_RS_NUM_CPUS"] = "5"
        a.mul(a)
        a.relu()
        print(first, threads() - before)
    """, RAYON_NUM_THREADS="2")
    assert out.split() == ["2", "2"]


def test_child_forked_after_start_gets_its_own_pool():
    out = run("""
        import tarvik
        n = 300000
        a = tarvik.PyNDArray([float(i) for i in range(n)], [n])
        assert a.add(a).get([n - 1]) == 2.0 * (n - 1)
        parent_threads = threads()
        pid = os.fork()
        if pid == 0:
            # Only the forking thread exists here; the first call must build a new pool.
            ok = threads() == 1 and a.add(a).get([n - 1]) == 2.0 * (n - 1) and a.relu().get([7]) == 7.0
            os._exit(0 if ok and threads() == 1 + 3 else 1)
        _, status = os.waitpid(pid, 0)
        assert a.scale(0.5).get([n - 1]) == 0.5 * (n - 1)
        print(os.waitstatus_to_exitcode(status), threads() == parent_threads)
    """, timeout=60, RAYON_NUM_THREADS="3")
    assert out.split() == ["0", "True"]


@pytest.mark.skipif("libasan" in open("/proc/self/maps").read(),
                    reason="a lowered RLIMIT_AS leaves AddressSanitizer no room for its own mappings")
def test_failed_pool_creation_is_reported_and_not_retried():
    out = run("""
        import resource, tarvik
        with open("/proc/self/statm") as f:
            pages = int(f.read().split()[0])
        # Room for a few hundred worker stacks, not 65535.
        room = pages * os.sysconf("SC_PAGE_SIZE") + (256 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (room, resource.RLIM_INFINITY))
        a = tarvik.PyNDArray([1.0, 2.0], [2])
        for attempt in range(2):
            try:
                a.add(a)
            except BaseException as error:
                print(type(error).__name__ + "|" + str(error))
    """, RAYON_NUM_THREADS="65535")
    lines = out.splitlines()
    assert len(lines) == 2
    prefix = "PanicException|The global thread pool has not been initialized.: "
    for line in lines:
        assert line.startswith(prefix) and len(line) > len(prefix)


DIGEST = """
    import hashlib, random, struct
    import tarvik
    rng = random.Random(99)
    n = 300001
    xs = [rng.uniform(-1e3, 1e3) for _ in range(n)]
    ys = [rng.uniform(-1e3, 1e3) for _ in range(n)]
    a, b = tarvik.PyNDArray(xs, [n]), tarvik.PyNDArray(ys, [n])
    digest = hashlib.sha256()
    for result in (a.add(b), a.mul(b), a.scale(-1.25), a.relu()):
        digest.update(struct.pack(f"<{n}d", *(result.get([i]) for i in range(n))))
    print(digest.hexdigest())
"""


def test_results_identical_for_every_thread_count():
    digests = {count: run(DIGEST, RAYON_NUM_THREADS=count).strip() for count in ("1", "2", "3", "8")}
    assert len(set(digests.values())) == 1, digests
