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
# The sdist carries the Xbyak headers it is made with, and their licence.
rm -rf "$root/third_party/xbyak"
mkdir -p "$root/third_party/xbyak"
cp -r /usr/include/xbyak "$root/third_party/xbyak/"
cp /usr/share/doc/libxbyak-dev/copyright "$root/third_party/xbyak/LICENSE"
"$python" -m build --sdist -o "$work/dist" "$root" >/dev/null
tar -tzf "$work"/dist/*.tar.gz >"$work/contents"
grep -q "third_party/xbyak/xbyak/xbyak.h" "$work/contents"
sdist=$(ls "$work"/dist/*.tar.gz)
"$python" -m venv "$work/venv"
# Built with the system's headers out of reach: only the copy in the sdist can serve.
CMAKE_ARGS="-DCMAKE_IGNORE_PATH=/usr/include/xbyak;/usr/include" \
    "$work/venv/bin/python" -m pip install -q --disable-pip-version-check "$sdist"
cd "$work"
"$work/venv/bin/python" -c 'import Velmoratrix; assert Velmoratrix.evaluate("3+4*2/(1-5)^2^3") == 3.0001220703125
assert Velmoratrix.build_info()["generated_code"], Velmoratrix.build_info()'
echo "$(basename "$sdist") builds and installs"
