#!/usr/bin/env bash
# Builds everything and runs every test.
source "$(dirname "$0")/setup.sh"

# A decimal-comma locale for the test that numbers ignore the host's locale.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    need_packages locales
    localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "setup: no de_DE locale; its test will be skipped"
fi

configure
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure
