#!/usr/bin/env bash
# Builds everything and runs every test: the fuzzer for VELMO_FUZZ_SECONDS
# (default 60) and the Arrow importer's for a quarter of it, the software
# extended type cross-built for aarch64 and run
# under qemu (against x87's records, and the engine's tests), the whole
# engine on the software type on x86-64, the engine tests under
# AddressSanitizer, UndefinedBehavior-
# Sanitizer and LeakSanitizer, then the plain build's engine tests, the Python
# tests under every supported CPython, their wheels, and the C++ package.
source "$(dirname "$0")/setup.sh"
need_packages clang libclang-rt-14-dev ccache
# The environments are made side by side (mostly downloads), then listed.
pids=()
for v in "${versions[@]}"; do
    environment "$v" >/dev/null &
    pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done
pythons=()
for v in "${versions[@]}"; do pythons+=("$(environment "$v")"); done

# A decimal-comma locale for the test that numbers ignore the host's locale;
# without it that test would prove nothing, so its absence stops the run.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    need_packages locales
    if ! localedef -i de_DE -f UTF-8 de_DE.UTF-8; then
        echo "setup: cannot create the de_DE.UTF-8 locale the tests need" >&2
        exit 1
    fi
fi
export VELMO_REQUIRE_LOCALE=1
jobs=$(nproc)
# Each stage's header with the time taken so far, to keep the whole within its budget.
stage() { echo "== [${SECONDS}s] $*"; }

stage "fuzzers of the engine and the Arrow importer (clang, libFuzzer with ASan and UBSan)"
cmake -S "$root" -B "$root/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DVELMO_FUZZ=ON -DVELMO_TESTS=OFF >/dev/null
cmake --build "$root/build-fuzz" -j"$jobs" >/dev/null
ctest --test-dir "$root/build-fuzz" --output-on-failure

stage "aarch64 (cross-built, under qemu): the software type against x87's records, the engine's tests, the module's Python tests"
need_packages g++-aarch64-linux-gnu qemu-user
cmake -S "$root/tests/platforms" -B "$root/build-x87vec" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build-x87vec" -j"$jobs" >/dev/null
"$root/build-x87vec/extended_vectors" write "$root/build-x87vec/x87.vec"
cmake -S "$root/tests/platforms" -B "$root/build-aarch64" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" \
    -DVELMO_X87_VECTORS="$root/build-x87vec/x87.vec" >/dev/null
cmake --build "$root/build-aarch64" -j"$jobs" >/dev/null
ctest --test-dir "$root/build-aarch64" --output-on-failure
# The module too, for an aarch64 CPython from Debian's arm64 packages, run under qemu.
"$root/scripts/aarch64_python.sh" "$root/build-aarch64-python" "${pythons[2]}"
export VELMO_AARCH64_ROOT="$root/build-aarch64-python/root"
export VELMO_PYBIND11_PATH="$root/build-aarch64-python/pybind11"
cmake -S "$root" -B "$root/build-aarch64-engine" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" \
    -DVELMO_PYTHONS="$root/scripts/python-aarch64.sh" >/dev/null 2>&1
cmake --build "$root/build-aarch64-engine" -j"$jobs" >/dev/null
# Its tests under qemu keep one core for minutes (the module's Python suite):
# the Windows stage builds and runs beside them, and their report follows it.
ctest --test-dir "$root/build-aarch64-engine" --output-on-failure -j"$jobs" --timeout 900 \
    >"$root/build-aarch64-engine/ctest.log" 2>&1 &
aarch64_tests=$!
trap 'kill "$aarch64_tests" 2>/dev/null || true' EXIT

stage "Windows x86-64 (mingw-w64, under wine): the engine's tests and the C++ package"
need_packages g++-mingw-w64-x86-64-posix wine wine64
# Outside the tree: a prefix links its drive Z: to /, which no walk of the tree may follow.
export WINEPREFIX="${XDG_CACHE_HOME:-$HOME/.cache}/velmoratrix-wine" WINEDEBUG=-all
cmake -S "$root" -B "$root/build-windows" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/x86_64-w64-mingw32.cmake" -DVELMO_PYTHONS= >/dev/null
cmake --build "$root/build-windows" -j"$jobs" --target velmo_engine engine_tests corpus_values >/dev/null
ctest --test-dir "$root/build-windows" --output-on-failure
bash "$root/scripts/cpp_package_test.sh" "$root/build-windows" "$root/build-windows/cpp_package" \
    "$root/cmake/x86_64-w64-mingw32.cmake" wine

stage "aarch64, continued: the engine's and the module's tests under qemu, a wheel, the corpus"
status=0
wait "$aarch64_tests" || status=$?
trap - EXIT
cat "$root/build-aarch64-engine/ctest.log"
[ "$status" -eq 0 ] || exit "$status"
# A wheel tagged for aarch64, installed by pip for that platform and imported under qemu.
wheel=$("${pythons[2]}" "$root/scripts/aarch64_wheel.py" \
    "$root/build-aarch64-engine/python3.11/Velmoratrix" "$root/build-aarch64-engine/wheel")
rm -rf "$root/build-aarch64-engine/installed"
"${pythons[2]}" -m pip install -q --disable-pip-version-check --no-deps --platform linux_aarch64 \
    --python-version 3.11 --only-binary=:all: --target "$root/build-aarch64-engine/installed" "$wheel"
(cd / && PYTHONPATH="$root/build-aarch64-engine/installed" "$root/scripts/python-aarch64.sh" -c \
    'import Velmoratrix as v; assert v.build_info()["arithmetic"] == "software"; assert v.evaluate("3+4*2/(1-5)^2^3") == 3.0001220703125')
echo "$(basename "$wheel") installs and imports under qemu"
# What it gives for the corpus and random texts, compared with x87's below.
(cd / && PYTHONPATH="$root/build-aarch64-engine/python3.11" "$root/scripts/python-aarch64.sh" \
    "$root/tests/platforms/differential.py" "$root/tests/fuzz/corpus" \
    "$root/build-aarch64-engine/corpus-results.txt")

stage "the whole engine on the software extended type on x86-64: the engine's and the Python tests"
cmake -S "$root" -B "$root/build-soft" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMO_SOFT_EXTENDED=ON \
    -DVELMO_PYTHONS="${pythons[0]}" >/dev/null
cmake --build "$root/build-soft" -j"$jobs" >/dev/null
ctest --test-dir "$root/build-soft" --output-on-failure -j"$jobs" -E "wheel|docs|cpp_package"

stage "engine tests under ASan, UBSan and LSan, and the binding's conversions under ASan and UBSan"
cmake -S "$root" -B "$root/build-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMO_SANITIZE=ON \
    -DVELMO_PYTHONS="${pythons[2]}" >/dev/null
cmake --build "$root/build-asan" -j"$jobs" >/dev/null
ctest --test-dir "$root/build-asan" --output-on-failure -j"$jobs"

stage "engine tests, Python tests under CPython ${versions[*]}, wheels and the C++ package"
configure "${pythons[@]}"
cmake --build "$root/build" -j"$jobs" >/dev/null
ctest --test-dir "$build" --output-on-failure -j"$jobs"

stage "the fuzzer's corpus and random texts on x87, on the software extended type and on aarch64: the same bits"
for arithmetic in build build-soft; do
    PYTHONPATH="$root/$arithmetic/python3.9" "${pythons[0]}" "$root/tests/platforms/differential.py" \
        "$root/tests/fuzz/corpus" "$root/$arithmetic/corpus-results.txt"
done
cmp "$root/build/corpus-results.txt" "$root/build-soft/corpus-results.txt"
cmp "$root/build/corpus-results.txt" "$root/build-aarch64-engine/corpus-results.txt"
# Windows, through the C++ API (no CPython there): the same bits as Linux's but
# where the C library's pow decides.
texts="$root/build-windows/random-texts.txt"
PYTHONPATH="$root/build/python3.9" "${pythons[0]}" "$root/tests/platforms/differential.py" --texts "$texts"
"$root/build/tests/corpus_values" "$root/tests/fuzz/corpus" "$texts" "$root/build/corpus-values.txt"
wine "$root/build-windows/tests/corpus_values.exe" "$root/tests/fuzz/corpus" "$texts" \
    "$root/build-windows/corpus-values.txt"
"${pythons[0]}" "$root/tests/platforms/compare.py" "$root/build/corpus-values.txt" \
    "$root/build-windows/corpus-values.txt" "$root/tests/fuzz/corpus" "$texts"
stage "every test passed"
