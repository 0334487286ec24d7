#!/bin/sh
# An aarch64 CPython, unpacked from Debian's arm64 packages into
# $VELMO_AARCH64_ROOT (scripts/aarch64_python.sh), run under qemu-user. It
# finds pybind11's headers through $VELMO_PYBIND11_PATH, a folder that holds
# the pure-Python pybind11 package.
root=${VELMO_AARCH64_ROOT:?set VELMO_AARCH64_ROOT}
exec qemu-aarch64 -L "$root" -E PYTHONHOME="$root/usr" \
    -E PYTHONPATH="${PYTHONPATH:+$PYTHONPATH:}${VELMO_PYBIND11_PATH:-}" \
    "$root/usr/bin/python3.11" "$@"
