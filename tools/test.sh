#!/usr/bin/env bash
# The project's one test command: installs what is missing, then configures,
# builds and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

# libbenchmark-dev: the benchmarks are built (not run) with the tests so
# that they keep compiling.
tools/install-deps.sh cmake ninja-build g++ clang libgtest-dev libbenchmark-dev

for preset in native sanitize clang; do
    echo "=== $preset ==="
    cmake --workflow --preset "$preset"
done
