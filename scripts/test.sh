#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the C++ tests through ctest, the Python suite
# under each interpreter found (3.12 and 3.13 here) against the module installed with pip, the
# documentation build with warnings as errors, the packaging checks and the hardening run.
#
#   bash scripts/test.sh           everything (what CI runs)
#   bash scripts/test.sh --quick   the C++ tests and the Python suite under the oldest interpreter only
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
quick=false
case "${1:-}" in
    "") ;;
    --quick) quick=true ;;
    *) echo "usage: bash scripts/test.sh [--quick]" >&2; exit 2 ;;
esac
install_system_packages
pythons=$(find_pythons)
[ -n "$pythons" ] || { echo "no Python 3.12 or newer found; set PYTHON=/path/to/python" >&2; exit 1; }
if $quick; then pythons=$(head -n1 <<<"$pythons"); fi

first=$(venv_for "$(head -n1 <<<"$pythons")")
bin=$(dirname "$first")
# The module is built here too, so that the engine, the binding and the tests all build clean of
# warnings; the module the suites use is the one pip installs below.
log "C++ tests (warnings are errors)"
"$bin/cmake" -S "$ROOT" -B "$ROOT/build/cpp" -G Ninja -DCMAKE_MAKE_PROGRAM="$bin/ninja" \
    -DPython_EXECUTABLE="$first" -DTARVIK_MODULE=ON -DTARVIK_TESTS=ON -DTARVIK_WERROR=ON >/dev/null
"$bin/cmake" --build "$ROOT/build/cpp"
"$bin/ctest" --test-dir "$ROOT/build/cpp" --output-on-failure -j2

while read -r interpreter; do
    python=$(venv_for "$interpreter")
    install_module "$python"
    log "Python tests ($("$python" -c 'import sys; print(sys.version.split()[0])'))"
    (cd "$ROOT/tests/python" && "$python" -m pytest -q -p no:cacheprovider)
done <<<"$pythons"
if $quick; then
    log "quick run passed (documentation, packaging and hardening not run)"
    exit 0
fi
log "documentation (sphinx -W)"
"$first" -m sphinx -W --keep-going -q -b html "$ROOT/docs" "$ROOT/build/docs"
bash "$ROOT/scripts/package.sh"
bash "$ROOT/scripts/hardening.sh" ci
