#!/usr/bin/env bash
# The project's one test command: installs what is missing, then configures,
# builds and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh cmake ninja-build g++ clang libgtest-dev

for preset in native sanitize clang; do
    echo "=== $preset ==="
    cmake --workflow --preset "$preset"
done

# A bounded fuzz run (about a minute) over the whole decoding road.
echo "=== fuzz ==="
tools/fuzz.sh 60
