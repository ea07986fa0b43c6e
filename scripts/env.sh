# Shared by the project's scripts: system packages, interpreter discovery and virtual environments.
# Source it; it defines functions and sets ROOT.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

SYSTEM_PACKAGES=(libopenblas-dev libgtest-dev libbenchmark-dev pkg-config g++ valgrind)
# The build tools; the test, documentation and benchmark tools are pyproject.toml's dependency groups.
PYTHON_PACKAGES=("cmake>=3.26" ninja "scikit-build-core>=0.11")
DEPENDENCY_GROUPS=(test docs bench)

log() { printf '== %s\n' "$*" >&2; }

install_system_packages() {
    local missing=()
    for package in "${SYSTEM_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Prints "major.minor" of an interpreter that works and is 3.12 or newer; fails otherwise.
python_minor() {
    "$1" -c 'import sys; assert sys.version_info >= (3, 12); print("%d.%d" % sys.version_info[:2])' 2>/dev/null
}

# Prints one interpreter per minor version (3.12 and newer), oldest first. PYTHON=/path/to/python
# overrides the search; PYTHONS="a b" names several.
find_pythons() {
    local candidates=()
    if [ -n "${PYTHONS:-}" ]; then
        read -r -a candidates <<<"$PYTHONS"
    elif [ -n "${PYTHON:-}" ]; then
        candidates=("$PYTHON")
    else
        local pyenv_root
        pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
        candidates=(python3.12 python3.13 python3.14 python3
                    "$pyenv_root"/versions/3.1[2-9]*/bin/python
                    /usr/bin/python3.1[2-9] /usr/local/bin/python3.1[2-9])
    fi
    local seen=" " candidate minor
    for candidate in "${candidates[@]}"; do
        minor=$(python_minor "$candidate") || continue
        case "$seen" in *" $minor "*) continue ;; esac
        seen="$seen$minor "
        printf '%s %s\n' "$minor" "$(command -v "$candidate" || echo "$candidate")"
    done | sort -t. -k2,2n | cut -d' ' -f2
}

# Creates (once) the virtual environment for an interpreter and prints its python.
venv_for() {
    local python=$1 minor venv
    minor=$(python_minor "$python")
    venv="$ROOT/.venv-$minor"
    if [ ! -x "$venv/bin/python" ]; then
        log "creating $venv"
        "$python" -m venv "$venv"
    fi
    # The stamp records what was installed, so a longer package list installs the rest.
    local wanted
    wanted="${PYTHON_PACKAGES[*]} $("$venv/bin/python" -c '
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    groups = tomllib.load(f)["dependency-groups"]
print([groups[name] for name in sys.argv[2:]])' "$ROOT/pyproject.toml" "${DEPENDENCY_GROUPS[@]}")"
    if [ "$(cat "$venv/.ready" 2>/dev/null)" != "$wanted" ]; then
        "$venv/bin/python" -m pip install -q --upgrade pip >&2
        local groups=()
        for group in "${DEPENDENCY_GROUPS[@]}"; do groups+=(--group "$ROOT/pyproject.toml:$group"); done
        "$venv/bin/python" -m pip install -q "${PYTHON_PACKAGES[@]}" "${groups[@]}" >&2
        printf '%s' "$wanted" >"$venv/.ready"
    fi
    printf '%s\n' "$venv/bin/python"
}

# Builds and installs the module into the venv of `python`, as a user would with `pip install .`.
install_module() {
    local python=$1
    log "pip install . ($("$python" -c 'import sys; print(sys.version.split()[0])'))"
    (cd "$ROOT" && "$python" -m pip install -q --no-build-isolation . >&2)
}
