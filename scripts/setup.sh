# Sourced by the other scripts: installs what is missing (Debian's packages;
# per interpreter, a virtual environment with the pinned Python packages),
# finds the interpreters and configures the build in build/.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"
versions=(3.9 3.10 3.11 3.12 3.13) # the first is the specified one

need_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "setup: installing ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

need_packages cmake make g++ libgtest-dev pkg-config libxbyak-dev libmpfr-dev

# CPython of one version: from pyenv (also when pyenv itself is not on PATH),
# else from PATH, with its headers beside it.
interpreter() {
    local v=$1 pyenv_root python
    pyenv_root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
    python=$(ls -d "$pyenv_root"/versions/"$v".*/bin/python"$v" 2>/dev/null | sort -V | tail -n 1 || true)
    [ -n "$python" ] || python=$(command -v "python$v" || true)
    if [ -z "$python" ] || ! "$python" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$v'" 2>/dev/null; then
        echo "setup: CPython $v not found (looked in pyenv's versions and on PATH);" \
            "install it (for example 'pyenv install $v') and run again." >&2
        return 1
    fi
    if [ ! -f "$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/Python.h" ]; then
        echo "setup: $python has no development headers (Python.h)." >&2
        return 1
    fi
    echo "$python"
}

# The virtual environment of one version, made or brought up to date with
# requirements-dev.txt and the pybind11 that pyproject.toml builds with;
# prints its interpreter.
environment() {
    local v=$1 base venv want
    base=$(interpreter "$v") || return 1
    venv="$root/.venvs/$v"
    want="$(cat "$root/requirements-dev.txt") $(pybind11_pin) $base"
    if [ ! -x "$venv/bin/python" ] || [ "$(cat "$venv/.requirements" 2>/dev/null)" != "$want" ]; then
        echo "setup: preparing the environment of CPython $v in .venvs/$v" >&2
        rm -rf "$venv"
        "$base" -m venv "$venv"
        "$venv/bin/python" -m pip install -q --disable-pip-version-check \
            -r "$root/requirements-dev.txt" "$(pybind11_pin)" >&2
        printf '%s' "$want" >"$venv/.requirements"
    fi
    echo "$venv/bin/python"
}

pybind11_pin() {
    grep -o 'pybind11==[0-9.]*' "$root/pyproject.toml"
}

# Configures build/ for the given interpreters (the modules and their tests).
configure() {
    local IFS=';'
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMO_PYTHONS="$*" >/dev/null
}
