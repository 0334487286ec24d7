#!/usr/bin/env bash
# Installs the C++ package from a build tree into a fresh prefix and builds
# the program of docs/cpp.md against it, with find_package and with
# pkg-config; both must print what the guide says.
# Usage: cpp_package_test.sh BUILD_DIR WORKDIR [TOOLCHAIN_FILE RUNNER]
# With a toolchain (a cross build's package), the program is built with it
# through find_package alone and run through RUNNER (wine, say).
set -euo pipefail
build=$1
work=$2
toolchain=${3:-}
runner=${4:-}
root=$(cd "$(dirname "$0")/.." && pwd)
guide="$root/docs/cpp.md"

rm -rf "$work"
mkdir -p "$work/project"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
block() { # the first fenced block of the given language in the guide
    awk -v tag="$1" '$0 == "```" tag { on = 1; next } on && $0 == "```" { exit } on' "$guide"
}
block cpp >"$work/project/main.cpp"
block cmake >"$work/project/CMakeLists.txt"
block text >"$work/expected.txt"

cmake -S "$work/project" -B "$work/with-cmake" -DCMAKE_PREFIX_PATH="$work/prefix" \
    ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} >/dev/null
cmake --build "$work/with-cmake" >/dev/null
program="$work/with-cmake/calculator"
[ -f "$program.exe" ] && program="$program.exe"
$runner "$program" | tr -d '\r' >"$work/cmake.txt"
diff -u "$work/expected.txt" "$work/cmake.txt"
if [ -n "$toolchain" ]; then
    echo "the guide's program builds against the installed package with $(basename "$toolchain")"
    exit 0
fi

libdir=$(ls -d "$work"/prefix/lib*/pkgconfig)
# shellcheck disable=SC2046
g++ -std=c++17 "$work/project/main.cpp" \
    $(PKG_CONFIG_PATH="$libdir" pkg-config --cflags --libs velmoratrix) -o "$work/pkg-config"
"$work/pkg-config" >"$work/pkg-config.txt"
diff -u "$work/expected.txt" "$work/pkg-config.txt"
# A host's own types of the names the package adds beside the engine's.
cat >"$work/clash.cpp" <<'CPP'
struct Column {};
struct Diagnostic {};
struct Explanation {};
struct Program {};
struct Code {};
#include <velmoratrix/evaluator.h>
int main() { return MathEvaluator().eval("1+1") == 2 ? 0 : 1; }
CPP
# shellcheck disable=SC2046
g++ -std=c++17 "$work/clash.cpp" \
    $(PKG_CONFIG_PATH="$libdir" pkg-config --cflags --libs velmoratrix) -o "$work/clash"
"$work/clash"
echo "the guide's program builds against the installed package both ways"
