#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the C++ tests through ctest, then the Python
# suite under each interpreter found (3.12 and 3.13 here) against the module installed with pip.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
install_system_packages
pythons=$(find_pythons)
[ -n "$pythons" ] || { echo "no Python 3.12 or newer found; set PYTHON=/path/to/python" >&2; exit 1; }

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
bash "$ROOT/scripts/package.sh"
bash "$ROOT/scripts/hardening.sh" ci
