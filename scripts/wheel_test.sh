#!/usr/bin/env bash
# Builds a wheel with the given interpreter, installs it into a fresh virtual
# environment offline and runs the Python tests against the installed package.
# Usage: wheel_test.sh PYTHON WORKDIR
set -euo pipefail
python=$1
work=$2
root=$(cd "$(dirname "$0")/.." && pwd)

rm -rf "$work"
mkdir -p "$work"
"$python" -m venv "$work/venv"
pip=("$work/venv/bin/python" -m pip --disable-pip-version-check -q)
# Debian's wheels of the build requirements; pybind11's headers come from pybind11-dev.
"${pip[@]}" install --no-index --find-links /usr/share/python-wheels 'setuptools>=61' wheel
"${pip[@]}" wheel --no-build-isolation --no-index --no-deps -w "$work/dist" "$root"
"${pip[@]}" install --no-index "$work"/dist/Velmoratrix-*.whl

cd "$work" # away from the build tree: the tests must import the installed module
"$work/venv/bin/python" -c 'import Velmoratrix, sys; assert Velmoratrix.__file__.startswith(sys.prefix)'
"$work/venv/bin/python" -m unittest discover -s "$root/tests/python" -t "$root/tests/python"

# A type checker finds the stubs of the installed package, and takes the
# documented uses: the one error below is the only one.
if /usr/bin/python3 -m mypy --version >/dev/null 2>&1; then
    cat >check.py <<'PY'
import Velmoratrix
class Column:  # what numpy arrays and pandas Series offer
    def __array__(self) -> object: ...
ev = Velmoratrix.Evaluator(True)
rows = ev.eval_many("x*y+z", {"x": Column(), "y": [1.0, 2.0], "z": 2.0, "w": memoryview(b"")})
first: float = rows[0]
one: float = ev.eval_with("x", {"x": 1.0})
problems = Velmoratrix.check("x", names=["x"])
x: int = ev.eval("1")
PY
    if /usr/bin/python3 -m mypy --python-executable "$work/venv/bin/python" check.py >mypy.txt; then
        echo "mypy accepted a float assigned to an int: the stubs were not found" >&2
        exit 1
    fi
    grep -q 'Found 1 error' mypy.txt && grep -q 'expression has type "float"' mypy.txt || {
        cat mypy.txt >&2
        exit 1
    }
fi
echo "installed wheel passes"
