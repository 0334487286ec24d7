#!/usr/bin/env bash
# Unpacks an aarch64 CPython 3.11 from Debian's arm64 packages into a folder
# (no second architecture is installed: apt-get download and dpkg -x), with
# the cross compiler's C library beside it, for qemu-user to run; and a
# folder holding only the pure-Python pybind11 package, for its headers.
# Usage: aarch64_python.sh FOLDER PYBIND11_PYTHON; prints nothing, leaves
# FOLDER/root and FOLDER/pybind11.
set -euo pipefail
folder=$1
python=$2
packages="python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libpython3.11-dev
    libpython3.11 libexpat1 zlib1g libffi8 libbz2-1.0 liblzma5 libssl3 libsqlite3-0 libncursesw6
    libtinfo6 libreadline8 libuuid1 libnsl2 libtirpc3 libdb5.3 libcrypt1"
if [ ! -x "$folder/root/usr/bin/python3.11" ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        $sudo dpkg --add-architecture arm64
    fi
    $sudo apt-get update -qq
    rm -rf "$folder"
    mkdir -p "$folder/debs" "$folder/root/lib"
    (cd "$folder/debs" && apt-get download -qq $(printf '%s:arm64 ' $packages) 2>/dev/null)
    for deb in "$folder"/debs/*.deb; do dpkg -x "$deb" "$folder/root"; done
    cp -a /usr/aarch64-linux-gnu/lib/. "$folder/root/lib/"
fi
mkdir -p "$folder/pybind11"
ln -sfn "$("$python" -c 'import os, pybind11; print(os.path.dirname(pybind11.__file__))')" \
    "$folder/pybind11/pybind11"
