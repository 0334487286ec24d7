#!/usr/bin/env bash
# Builds everything and runs the module on a short example under CPython 3.9.
source "$(dirname "$0")/setup.sh"
configure
cmake --build "$build" -j"$(nproc)" >/dev/null
PYTHONPATH="$build/python3.9" "$python39" "$root/examples/example.py"
