#!/usr/bin/env bash
# Builds with -O3 and runs the engine and host benchmarks, then rewrites
# BENCHMARKS.md and bench/length.png. Never part of the tests.
source "$(dirname "$0")/../scripts/setup.sh"
need_packages libbenchmark-dev libmuparser-dev
python39=$(environment 3.9)
python_system=$(environment "${versions[-1]}") # the newest: the peers and the plots

tsv="$root/../shared/bench/expressions.tsv"
[ -f "$tsv" ] || tsv="$root/bench/expressions.tsv"
out="$root/build-bench/results"
mkdir -p "$out"

# exprtk, a peer: its header from the cexprtk source package, into a scratch
# folder of the build tree, never into the repository.
peers="$root/build-bench/peers"
exprtk_version=0.4.2
if [ ! -f "$peers/exprtk/exprtk.hpp" ]; then
    mkdir -p "$peers/exprtk"
    "$python_system" -m pip download -q --no-deps --no-binary :all: "cexprtk==$exprtk_version" \
        -d "$peers"
    tar -xzf "$peers/cexprtk-$exprtk_version.tar.gz" -C "$peers" \
        "cexprtk-$exprtk_version/3rdparty/exprtk/exprtk.hpp"
    mv "$peers/cexprtk-$exprtk_version/3rdparty/exprtk/exprtk.hpp" "$peers/exprtk/"
fi

# And from Python, where a wheel of it serves the interpreter (the newest).
"$python_system" -m pip install -q --only-binary :all: "cexprtk==$exprtk_version" ||
    echo "cexprtk has no wheel for $("$python_system" -V): not measured"

cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DVELMO_BENCH=ON \
    -DVELMO_TESTS=OFF -DVELMO_PYTHONS="$python39;$python_system" \
    -DVELMO_EXPRTK_DIR="$peers/exprtk" >/dev/null
cmake --build "$root/build-bench" -j"$(nproc)" >/dev/null

"$root/build-bench/engine_bench" "$tsv" --benchmark_min_time=0.3 --benchmark_repetitions=3 \
    --benchmark_out="$out/engine.json" --benchmark_out_format=json
for python in "$python39" "$python_system"; do
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    PYTHONPATH="$root/build-bench/python$version" "$python" "$root/bench/host_bench.py" "$tsv" \
        "$out/host-$version.json"
done
hosts=("$out"/host-3.9.json "$out"/host-3.1[0-9].json)
system_version=$("$python_system" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
PYTHONPATH="$root/build-bench/python$system_version" "$python_system" "$root/bench/data_bench.py" \
    "$tsv" "$out/data.json"
# polars and pyarrow are pinned for 3.9 (requirements-dev.txt).
PYTHONPATH="$root/build-bench/python3.9" "$python39" "$root/bench/frames_bench.py" "$out/frames.json"
PYTHONPATH="$root/build-bench/python3.9" "$python39" "$root/bench/pipeline_bench.py" \
    "$out/pipeline.json"
# The software extended type against x87, both interpreted.
cmake -S "$root" -B "$root/build-bench-soft" -DCMAKE_BUILD_TYPE=Release -DVELMO_SOFT_EXTENDED=ON \
    -DVELMO_TESTS=OFF -DVELMO_PYTHONS="$python39" >/dev/null
cmake --build "$root/build-bench-soft" -j"$(nproc)" >/dev/null
"$python39" "$root/bench/soft_bench.py" "$root/build-bench/python3.9" \
    "$root/build-bench-soft/python3.9" "$out/soft.json"

{
    lscpu | grep -E '^(Model name|CPU\(s\)|Thread|Core)'
    free -h | awk '/Mem:/ {print "Memory:               " $2}'
    g++ --version | head -n 1
    echo "CPython: $("$python39" -V 2>&1), $("$python_system" -V 2>&1)"
    echo "$(pybind11_pin), muparser: $(dpkg-query -W -f='${Version}' libmuparser-dev)," \
        "exprtk: from cexprtk $exprtk_version"
} >"$out/machine.txt"

"$python_system" "$root/bench/report.py" "$out/engine.json" "${hosts[0]}" "${hosts[1]}" \
    "$out/machine.txt" "$root/BENCHMARKS.md" "$root/bench/length.png" "$out/data.json" \
    "$root/bench/eval_many.png" "$out/frames.json" "$out/soft.json" "$out/pipeline.json"
echo "wrote BENCHMARKS.md, bench/length.png and bench/eval_many.png"
