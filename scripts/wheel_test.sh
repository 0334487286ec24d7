#!/usr/bin/env bash
# Builds a wheel with the given interpreter (pip's own route, build isolation
# included), repairs it to a manylinux tag, installs it into a fresh virtual
# environment and runs the Python tests against the installed package.
# With from-sdist, the wheel is built from the source distribution instead,
# with nothing of the system's headers in reach but what the sdist carries:
# one build for both routes.
# Usage: wheel_test.sh PYTHON WORKDIR [from-sdist], where PYTHON's environment
# holds requirements-dev.txt (auditwheel, mypy, build).
set -euo pipefail
python=$1
work=$2
root=$(cd "$(dirname "$0")/.." && pwd)
tools=$(dirname "$python")

rm -rf "$work"
mkdir -p "$work"
source="$root"
if [ "${3:-}" = from-sdist ]; then
    # The sdist carries the Xbyak headers it is made with, and their licence.
    rm -rf "$root/third_party/xbyak"
    mkdir -p "$root/third_party/xbyak"
    cp -r /usr/include/xbyak "$root/third_party/xbyak/"
    cp /usr/share/doc/libxbyak-dev/copyright "$root/third_party/xbyak/LICENSE"
    "$python" -m build --sdist -o "$work/sdist" "$root" >/dev/null
    tar -tzf "$work"/sdist/*.tar.gz >"$work/contents"
    grep -q "third_party/xbyak/xbyak/xbyak.h" "$work/contents"
    source=$(ls "$work"/sdist/*.tar.gz)
    export CMAKE_ARGS="${CMAKE_ARGS:+$CMAKE_ARGS }-DCMAKE_IGNORE_PATH=/usr/include/xbyak;/usr/include"
fi
# The engine's sources are the same for every interpreter's wheel: where ccache is at hand
# (the test command installs it), each wheel after the first compiles only its binding.
if command -v ccache >/dev/null; then
    export CCACHE_DIR="${CCACHE_DIR:-$root/build/ccache}" CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
    export CMAKE_ARGS="${CMAKE_ARGS:+$CMAKE_ARGS }-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
fi
"$python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$work/built" "$source"
built=$(ls "$work"/built/*.whl)
# The most compatible tag the wheel's symbols allow.
plat=$("$tools/auditwheel" show "$built" | tr -s ' \n' ' ' |
    grep -o 'constrains the platform tag to "[a-z0-9_]*"' | cut -d'"' -f2)
PATH="$tools:$PATH" "$tools/auditwheel" repair --plat "$plat" -w "$work/dist" "$built" >/dev/null
wheel=$(ls "$work"/dist/*.whl)
case "$wheel" in *manylinux*) ;; *) echo "not a manylinux wheel: $wheel" >&2; exit 1 ;; esac

"$python" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check --no-index "$wheel"
cd "$work" # away from the build tree: the tests must import the installed module
"$work/venv/bin/python" -c 'import Velmoratrix, sys; assert Velmoratrix.__file__.startswith(sys.prefix)
assert Velmoratrix.evaluate("3+4*2/(1-5)^2^3") == 3.0001220703125
assert Velmoratrix.build_info()["generated_code"], Velmoratrix.build_info()'
"$work/venv/bin/python" -m unittest discover -s "$root/tests/python" -t "$root/tests/python"

# A type checker finds the stubs of the installed package, and takes the
# documented uses: the one error below is the only one.
cat >check.py <<'PY'
import Velmoratrix
class Column:  # what numpy arrays and pandas Series offer
    def __array__(self) -> object: ...
ev = Velmoratrix.Evaluator(True)
rows = ev.eval_many("x*y+z", {"x": Column(), "y": [1.0, 2.0], "z": 2.0, "w": memoryview(b"")})
first: float = rows[0]
some: list[float] = rows[1:3].tolist()
one: float = ev.eval_with("x", {"x": 1.0})
problems = Velmoratrix.check("x", names=["x"])
numbers: dict[str, float] = {"x": 1.0}
arrays: dict[str, Column] = {"x": Column()}
raw: dict[bytes, float] = {b"x": 1.0}
values = [ev.eval_many("x", numbers), ev.eval_many("x", arrays), ev.eval_with("x", raw)]
ev.syntax = "standard"
x: int = ev.eval("1")
PY
if "$tools/mypy" --strict --python-executable "$work/venv/bin/python" check.py >mypy.txt; then
    echo "mypy accepted a float assigned to an int: the stubs were not found" >&2
    exit 1
fi
grep -q 'Found 1 error' mypy.txt && grep -q 'expression has type "float"' mypy.txt || {
    cat mypy.txt >&2
    exit 1
}
echo "installed $(basename "$wheel") passes${3:+ (built from $(basename "$source"))}"
