#!/usr/bin/env bash
# The benchmark command: installs what is missing, builds the benchmarks in
# release mode and runs them. Each step measures its yardstick in the same
# run as the code it judges and prints its own table of ratios.
#
# Usage: tools/bench.sh [Google Benchmark option...]
#   The options go to the native benchmark, e.g. --benchmark_filter=1024x512
#   or --benchmark_repetitions=25.
set -euo pipefail
cd "$(dirname "$0")/.."

# Many short repetitions interleaved at random with the memcpy baseline, so
# that load from other processes falls on both sides of every ratio alike;
# the ratios use each benchmark's fastest repetition.
native_options=(
    --benchmark_repetitions=15
    --benchmark_enable_random_interleaving=true
    --benchmark_min_time=0.05
    --benchmark_report_aggregates_only=true
)

deps_native() {
    # MagickCore's headers give the ImageMagick peer; the benchmark builds
    # without them, but then prints no ImageMagick ratio.
    tools/install-deps.sh cmake ninja-build g++ pkg-config libbenchmark-dev libmagickcore-6.q16-dev
}

run_native() {
    echo "=== build: preset bench (Release, g++ -O2, baseline x86-64) ==="
    cmake --workflow --preset bench
    echo
    echo "=== decoder benchmarks (native) ==="
    build/bench/benchmarks/tim_benchmarks "${native_options[@]}" "$@"
}

deps_windows() {
    tools/install-deps.sh cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 googletest \
        g++-mingw-w64-i686-posix binutils-mingw-w64-i686
    tools/wine32.sh
}

# The whole thumbnail call through each DLL under Wine, next to the platform
# floor (open, map, a DIB section of the same size filled with memset): the
# 64-bit build, then the 32-bit one adding its rows to the same table. The
# Google Benchmark options are not for this step.
run_windows() {
    echo
    echo "=== build: preset windows (mingw-w64, Release; 64-bit and 32-bit) ==="
    cmake --preset windows >/dev/null
    cmake --build --preset windows --target thumbnail_bench x86
    echo
    echo "=== thumbnail call through the DLL under Wine ==="
    export WINEPREFIX="$PWD/build/windows/bench-prefix" WINEDEBUG=-all
    trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
    tools/wine-run.sh wineboot --init >/dev/null 2>&1 || true  # first start makes the prefix
    tools/wine-run.sh build/windows/bin/thumbnail_bench.exe
    tools/wine-run.sh build/windows/bin/thumbnail_bench32.exe --rows
}

# Steps in order. Another platform's benchmark is added as one more
# deps_NAME/run_NAME pair and its name here.
steps=(native windows)

for step in "${steps[@]}"; do "deps_$step"; done
for step in "${steps[@]}"; do "run_$step" "$@"; done
