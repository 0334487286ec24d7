# Sourced by the other scripts: installs what is missing, finds the
# interpreters and configures the build in build/.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"

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

need_packages cmake make g++ pybind11-dev libgtest-dev python3-dev python3-venv \
    python3-setuptools-whl python3-wheel-whl python3-mypy

# CPython 3.9: from pyenv (also when pyenv itself is not on PATH), else from
# PATH, with its headers beside it.
pyenv_root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
python39=$(ls -d "$pyenv_root"/versions/3.9.*/bin/python3.9 2>/dev/null | sort -V | tail -n 1 || true)
if [ -z "$python39" ]; then
    python39=$(command -v python3.9 || true)
fi
if [ -z "$python39" ] || ! "$python39" -c 'import sys; assert sys.version_info[:2] == (3, 9)' 2>/dev/null; then
    echo "setup: CPython 3.9 not found (looked in pyenv's versions and on PATH)." >&2
    echo "setup: install it (for example 'pyenv install 3.9') and run again." >&2
    exit 1
fi
if [ ! -f "$("$python39" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/Python.h" ]; then
    echo "setup: $python39 has no development headers (Python.h)." >&2
    exit 1
fi
python_system=/usr/bin/python3

configure() {
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVELMO_PYTHONS="$python39;$python_system" "$@" >/dev/null
}
