#!/usr/bin/env bash
# Builds the guides and the API reference as HTML into build/docs/html, with
# Sphinx from the pinned environment and the module of the build tree;
# warnings are errors.
source "$(dirname "$0")/setup.sh"
python=$(environment 3.13)
configure "$python"
cmake --build "$build" -j"$(nproc)" --target "velmoratrix_py3.13" >/dev/null
PYTHONPATH="$build/python3.13" "$python" -m sphinx -W --keep-going -q -b html \
    "$root/docs" "$build/docs/html"
echo "docs: $build/docs/html/index.html"
