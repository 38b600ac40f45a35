#!/usr/bin/env bash
# Builds the libFuzzer target (the `fuzz` preset) and runs it, in one process,
# for a bounded time. Inputs it finds go to build/fuzz-work/corpus, which later
# runs start from; the committed seeds (fuzz/corpus) and past crashes
# (fuzz/regressions) are only read.
# Usage: tools/fuzz.sh [SECONDS] [libFuzzer flags...]    (default: 60 seconds)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
case $seconds in
    '' | *[!0-9]*) echo "usage: tools/fuzz.sh [SECONDS] [libFuzzer flags...]" >&2; exit 2 ;;
esac

# libclang-rt-14-dev holds the libFuzzer and sanitizer runtimes.
tools/install-deps.sh cmake ninja-build clang libclang-rt-14-dev

cmake --preset fuzz
cmake --build --preset fuzz

work=build/fuzz-work
mkdir -p "$work/corpus" "$work/crashes"
echo "=== fuzzing for $seconds s; new inputs go to $work/corpus ==="
status=0
build/fuzz/fuzz/tim_road_fuzzer "$work/corpus" fuzz/corpus fuzz/regressions \
    -dict=fuzz/tim.dict -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
    -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/crashes/" \
    "$@" || status=$?
if [ "$status" -ne 0 ]; then
    echo "fuzz: FAILED (exit $status). The input is in $work/crashes/; keep it as" >&2
    echo "fuzz/regressions/<what-it-does>.tim so that the decoder tests replay it." >&2
    exit "$status"
fi
echo "fuzz: no fault in $seconds s; $(find "$work/corpus" -type f | wc -l) inputs in $work/corpus"
