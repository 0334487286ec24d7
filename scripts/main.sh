#!/usr/bin/env bash
# Builds the module for CPython 3.9 and runs it on a short example, then the
# calculator on a formula and on one of the language's surprises.
source "$(dirname "$0")/setup.sh"
python39=$(environment 3.9)
configure "$python39"
cmake --build "$build" -j"$(nproc)" --target velmoratrix_py3.9 >/dev/null
export PYTHONPATH="$build/python3.9"
"$python39" "$root/examples/example.py"
echo '$ python -m Velmoratrix "3+4*2/(1-5)^2^3" -v r=2 "pi*r^2"'
"$python39" -m Velmoratrix "3+4*2/(1-5)^2^3" -v r=2 "pi*r^2"
echo '$ python -m Velmoratrix --check "2*(-3)"'
"$python39" -m Velmoratrix --check "2*(-3)" || true
