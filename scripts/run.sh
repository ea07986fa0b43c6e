#!/usr/bin/env bash
# Installs what is missing, builds the module, and runs the examples.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
install_system_packages
pythons=$(find_pythons)
[ -n "$pythons" ] || { echo "no Python 3.12 or newer found; set PYTHON=/path/to/python" >&2; exit 1; }
python=$(venv_for "$(head -n1 <<<"$pythons")")
install_module "$python"
for example in "$ROOT"/examples/[!_]*.py; do
    log "$(basename "$example")"
    "$python" "$example"
done
