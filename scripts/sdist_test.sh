#!/usr/bin/env bash
# Makes the source distribution and builds it in a fresh virtual environment
# with nothing but a compiler and CMake (pip fetches the build requirements).
# Usage: sdist_test.sh PYTHON WORKDIR, where PYTHON's environment holds build.
set -euo pipefail
python=$1
work=$2
root=$(cd "$(dirname "$0")/.." && pwd)

rm -rf "$work"
mkdir -p "$work"
"$python" -m build --sdist -o "$work/dist" "$root" >/dev/null
sdist=$(ls "$work"/dist/*.tar.gz)
"$python" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check "$sdist"
cd "$work"
"$work/venv/bin/python" -c 'import Velmoratrix; assert Velmoratrix.evaluate("3+4*2/(1-5)^2^3") == 3.0001220703125'
echo "$(basename "$sdist") builds and installs"
