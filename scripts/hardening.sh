#!/usr/bin/env bash
# Checks beyond the ordinary test run: sanitizers, engine fuzzing, memcheck and coverage.
#
#   scripts/hardening.sh sanitize         C++ tests and the whole Python suite on an ASan+UBSan build
#   scripts/hardening.sh tsan             C++ tests (the pool's stresses among them) under ThreadSanitizer
#   scripts/hardening.sh fuzz [seconds]   libFuzzer runs of the engine and the pool harnesses (default 60 s each)
#   scripts/hardening.sh valgrind         memcheck of the C++ test binary
#   scripts/hardening.sh coverage         instrumented build, every test, line and branch coverage of src/
#   scripts/hardening.sh exp [inputs]     the vector exp against the C library's, default 1e9 inputs a form
#   scripts/hardening.sh sums [count]     the fast ordered sums against the plain loops on 1e9 elements
#   scripts/hardening.sh portability      the engine and its C++ tests cross-built for aarch64, run under qemu
#   scripts/hardening.sh ci               sanitize, tsan, a bounded fuzz run, portability (what CI runs)
#
# Build directories: build/asan, build/tsan, build/fuzz, build/hardening (memcheck), build/coverage,
# build/long (the long exp and sum runs), build/aarch64.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

# libFuzzer and std::source_location together need clang 15 or newer: Debian 12 has 16, Debian 13 19.
case "$(cut -d. -f1 /etc/debian_version 2>/dev/null)" in
    12) CLANG_VERSION=16 ;;
    *) CLANG_VERSION=19 ;;
esac
CLANG=clang++-$CLANG_VERSION
SYSTEM_PACKAGES+=("clang-$CLANG_VERSION" "libclang-rt-$CLANG_VERSION-dev" gcovr valgrind)

# The suite's interpreter: the oldest supported one found, in its project venv.
suite_python() {
    local pythons
    pythons=$(find_pythons)
    [ -n "$pythons" ] || { echo "no Python 3.12 or newer found; set PYTHON=/path/to/python" >&2; exit 1; }
    venv_for "$(head -n1 <<<"$pythons")"
}

# configure_and_build DIR [cmake options...]: a Ninja build with the venv's cmake.
configure_and_build() {
    local dir=$1
    shift
    "$BIN/cmake" -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$BIN/ninja" -DPython_EXECUTABLE="$PYTHON_BIN" "$@" >/dev/null
    "$BIN/cmake" --build "$dir"
}

# run_suite BUILD_DIR [env assignments...]: the whole pytest suite against the module in BUILD_DIR.
run_suite() {
    local dir=$1
    shift
    # The module under test must be the one just built, not an installed copy.
    local found
    found=$(env "$@" PYTHONPATH="$dir" "$PYTHON_BIN" -c 'import tarvik; print(tarvik.__file__)')
    case "$found" in "$dir"/*) ;; *) echo "imported $found instead of the module in $dir" >&2; exit 1 ;; esac
    (cd "$ROOT/tests/python" && env "$@" PYTHONPATH="$dir" "$PYTHON_BIN" -m pytest -q -p no:cacheprovider)
}

cmd_sanitize() {
    local dir="$ROOT/build/asan"
    log "sanitized build (ASan + UBSan) in $dir"
    configure_and_build "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVIK_SANITIZE=ON -DTARVIK_TESTS=ON
    # allocator_may_return_null: a refused huge request must reach the engine as a null pointer (a
    # MemoryError in Python), as with the ordinary allocator, not end the run with a report.
    local asan="halt_on_error=1:allocator_may_return_null=1:detect_stack_use_after_return=1"
    local ubsan="halt_on_error=1:print_stacktrace=1"
    log "C++ tests (sanitized)"
    ASAN_OPTIONS="$asan" UBSAN_OPTIONS="$ubsan" "$BIN/ctest" --test-dir "$dir" --output-on-failure -j2
    log "Python tests against the sanitized module"
    # The interpreter is not instrumented: the runtimes are preloaded, and the interpreter's own
    # allocations that live until exit are not reported as leaks. PYTHONMALLOC=malloc sends Python
    # objects through the sanitizer's allocator too, so a reference dropped too early is caught.
    run_suite "$dir" \
        LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
        ASAN_OPTIONS="$asan:detect_leaks=0" UBSAN_OPTIONS="$ubsan" PYTHONMALLOC=malloc
}

cmd_tsan() {
    local dir="$ROOT/build/tsan"
    log "ThreadSanitizer build in $dir"
    configure_and_build "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVIK_TSAN=ON -DTARVIK_MODULE=OFF -DTARVIK_TESTS=ON
    log "C++ tests under ThreadSanitizer"
    # Any report fails its test (halt_on_error). A refused huge request must come back as a null
    # pointer, as with the ordinary allocator; death tests fork. OpenBLAS is not instrumented, so
    # its own threads would be invisible to the tool: it stays on the calling thread.
    TSAN_OPTIONS="halt_on_error=1:allocator_may_return_null=1:die_after_fork=0" OPENBLAS_NUM_THREADS=1 \
        "$BIN/ctest" --test-dir "$dir" --output-on-failure -j2
}

cmd_fuzz() {
    local seconds=${1:-60} dir="$ROOT/build/fuzz" harness
    log "fuzzers ($CLANG) in $dir"
    configure_and_build "$dir" -DCMAKE_CXX_COMPILER="$CLANG" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTARVIK_MODULE=OFF -DTARVIK_FUZZ=ON
    # No stack trace kept per allocation and a small quarantine: the harnesses allocate a great deal,
    # and those defaults would cost most of the run.
    local asan="allocator_may_return_null=1:malloc_context_size=0:quarantine_size_mb=16:detect_stack_use_after_return=0"
    for harness in engine pool; do
        # New inputs go to a scratch corpus in the build directory; the committed seeds are only read.
        mkdir -p "$dir/corpus-$harness" "$dir/artifacts-$harness"
        log "fuzzing the $harness harness for ${seconds}s"
        (cd "$dir" && ASAN_OPTIONS="$asan" "./${harness}_fuzzer" -max_total_time="$seconds" -timeout=20 \
            -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 -artifact_prefix="$dir/artifacts-$harness/" \
            "corpus-$harness" "$ROOT/tests/fuzz/corpus/$harness" 2>"$dir/fuzz-$harness.log") || {
            tail -n 60 "$dir/fuzz-$harness.log" >&2
            echo "$harness fuzzer failed; the input is in $dir/artifacts-$harness" >&2
            exit 1
        }
        local units
        units=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/fuzz-$harness.log")
        echo "$harness fuzzer: $units executions in ${seconds}s ($((units / seconds))/s)," \
            "peak RSS $(sed -n 's/^stat::peak_rss_mb: *//p' "$dir/fuzz-$harness.log") MB" >&2
    done
}

cmd_valgrind() {
    local dir="$ROOT/build/hardening"
    log "memcheck build in $dir"
    configure_and_build "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVIK_MODULE=OFF -DTARVIK_TESTS=ON
    log "C++ tests under memcheck"
    # Not a fault: a forked child drops the pool it inherited (its threads did not survive the fork)
    # and builds its own, so the old one is unreachable there by design.
    cat >"$dir/memcheck.supp" <<'EOF'
{
   pool-inherited-by-a-forked-child
   Memcheck:Leak
   match-leak-kinds: definite,indirect
   ...
   fun:*create_global_pool*
}
EOF
    # memcheck does not model AVX-512: keep OpenBLAS on a kernel it can run.
    OPENBLAS_CORETYPE=Haswell valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
        --show-leak-kinds=definite,indirect --suppressions="$dir/memcheck.supp" --quiet \
        "$dir/tarvik_tests" --gtest_brief=1
}

cmd_coverage() {
    local dir="$ROOT/build/coverage"
    log "coverage build in $dir"
    configure_and_build "$dir" -DCMAKE_BUILD_TYPE=Debug -DTARVIK_COVERAGE=ON -DTARVIK_TESTS=ON
    find "$dir" -name '*.gcda' -delete
    log "C++ tests (instrumented)"
    "$BIN/ctest" --test-dir "$dir" --output-on-failure -j2
    log "Python tests against the instrumented module"
    run_suite "$dir"
    log "coverage of src/"
    local filters=(--root "$ROOT" --filter "$ROOT/src/" --exclude-unreachable-branches --exclude-throw-branches)
    gcovr "${filters[@]}" --txt - "$dir"
    gcovr "${filters[@]}" --branches --txt - "$dir" | tail -n 3
    gcovr "${filters[@]}" --json-summary "$dir/summary.json" "$dir"
    "$PYTHON_BIN" - "$dir/summary.json" <<'EOF'
import json, sys
from collections import defaultdict
totals = defaultdict(lambda: [0, 0, 0, 0])
for f in json.load(open(sys.argv[1]))["files"]:
    t = totals[f["filename"].rsplit("/", 1)[0]]
    t[0] += f["line_covered"]; t[1] += f["line_total"]; t[2] += f["branch_covered"]; t[3] += f["branch_total"]
for directory, (lc, lt, bc, bt) in sorted(totals.items()):
    print(f"{directory:12} lines {lc}/{lt} = {100 * lc / max(lt, 1):.1f}%   branches {bc}/{bt} = {100 * bc / max(bt, 1):.1f}%")
EOF
}

# run_selected BINARY FILTER: the tests FILTER selects, failing when it selects none (a filter
# that no longer matches a renamed test would otherwise pass without checking anything).
run_selected() {
    "$1" --gtest_filter="$2" --gtest_brief=1 | tee /dev/stderr | grep '^\[  PASSED  \] [1-9]' >/dev/null
}

# The identity of sigmoid and exp with the library's exp over many inputs, under the library's
# default build and its unfused one.
cmd_exp() {
    local inputs=${1:-1000000000} dir="$ROOT/build/long"
    configure_and_build "$dir" -DTARVIK_MODULE=OFF -DTARVIK_TESTS=ON
    for hwcaps in "" "-AVX2"; do
        log "exp identity, $inputs inputs, GLIBC_TUNABLES=${hwcaps:+glibc.cpu.hwcaps=$hwcaps}"
        GLIBC_TUNABLES=${hwcaps:+glibc.cpu.hwcaps=$hwcaps} TARVIK_EXP_IDENTITY_INPUTS=$inputs \
            run_selected "$dir/tarvik_tests" 'ExpKernel.*'
    done
}

# The differential property of the ordered sums, at a length the ordinary test run cannot afford.
cmd_sums() {
    local elements=${1:-1e9} dir="$ROOT/build/long"
    log "release build of the C++ tests in $dir"
    configure_and_build "$dir" -DTARVIK_MODULE=OFF -DTARVIK_TESTS=ON
    log "ordered sums against the plain loops over $elements elements"
    TARVIK_SUM_ELEMENTS="$elements" run_selected "$dir/tarvik_tests" '*/OrderedSum.*'
}

# The engine on a second architecture: Debian's cross compiler, OpenBLAS and GoogleTest for arm64
# from the multiarch archive, and the tests run through qemu's user-mode emulator.
cmd_portability() {
    local dir="$ROOT/build/aarch64" sysroot=/usr/aarch64-linux-gnu
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        log "adding the arm64 architecture to dpkg"
        dpkg --add-architecture arm64
        apt-get update -qq
    fi
    SYSTEM_PACKAGES=(g++-aarch64-linux-gnu qemu-user libopenblas-dev:arm64 libgtest-dev:arm64)
    install_system_packages
    log "aarch64 cross-build in $dir"
    # OpenBLAS starts its threads when it loads, and under the emulator they never settle: keep it on
    # the calling thread, for the test listing at build time and for the run.
    export OPENBLAS_NUM_THREADS=1
    PKG_CONFIG_LIBDIR=/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig configure_and_build "$dir" \
        -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ \
        "-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-aarch64;-L;$sysroot" \
        -DTARVIK_MODULE=OFF -DTARVIK_TESTS=ON -DTARVIK_WERROR=ON
    log "C++ tests on aarch64 (qemu)"
    # The user-mode emulator (Debian 12's 7.2, and 10.0 from its backports) never returns from a
    # dynamically linked guest's first thread creation on the x86-64 hosts tried, so the cases that
    # start threads (the pool, the deque under contention, everything the pool serves) and the death
    # tests that re-execute the binary (which needs the kernel to run aarch64 code itself) run
    # natively only; the kernels, reductions, sums, exp, slicing and selection run here. The
    # emulator is some twenty times slower, so the long differential runs are cut to lengths that
    # still reach every path of the portable builds.
    local natively_only='^(Elementwise|WorkerPool|WorkStealingDeque\.Concurrent|GlobalWorkerPool|ParallelMap|Threads/)|DeathTest'
    TARVIK_EXP_IDENTITY_INPUTS=1000000 TARVIK_SUM_ELEMENTS=1e7 "$BIN/ctest" --test-dir "$dir" \
        --output-on-failure -j2 --timeout 300 -E "$natively_only"
    # A filter that let nothing through would pass vacuously.
    "$BIN/ctest" --test-dir "$dir" -N -E "$natively_only" |
        grep -q 'Total Tests: [1-9][0-9][0-9]' || { echo "fewer than 100 C++ tests ran on aarch64" >&2; exit 1; }
}

command=${1:-}
shift || true
case "$command" in
sanitize | tsan | fuzz | valgrind | coverage | exp | sums | portability | ci) ;;
*) echo "usage: $0 sanitize | tsan | fuzz [seconds] | valgrind | coverage | exp [inputs] | sums [count] | portability | ci" >&2; exit 2 ;;
esac
install_system_packages
PYTHON_BIN=$(suite_python)
BIN=$(dirname "$PYTHON_BIN")
case "$command" in
ci)
    cmd_sanitize
    cmd_tsan
    cmd_fuzz 30
    checks=3
    # The second architecture wherever the package archive offers the emulator.
    if apt-cache show qemu-user >/dev/null 2>&1; then
        cmd_portability
        checks=4
    else
        log "no qemu-user in the package archive: the aarch64 run is left out"
    fi
    # Every check stops the script on failure, so reaching here means all passed.
    echo "hardening: $checks passed, 0 failed"
    ;;
*) "cmd_$command" "$@" ;;
esac
