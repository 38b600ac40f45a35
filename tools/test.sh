#!/usr/bin/env bash
# The project's one test command: installs what is missing, then configures,
# builds and runs every test suite: the decoder natively (g++, sanitizers,
# clang) and the DLL cross-built for Windows with its tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

# libbenchmark-dev: the benchmarks are built (not run) with the tests so
# that they keep compiling.
tools/install-deps.sh cmake ninja-build g++ clang libgtest-dev googletest libbenchmark-dev \
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 \
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686
# The 32-bit DLL's tests need 32-bit Wine, and on some kernels an emulator.
tools/wine32.sh

for preset in native sanitize clang windows; do
    echo "=== $preset ==="
    cmake --workflow --preset "$preset"
done

# A bounded fuzz run (about a minute) over the whole decoding road.
echo "=== fuzz ==="
tools/fuzz.sh 60
