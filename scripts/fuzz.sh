#!/usr/bin/env bash
# Builds the libFuzzer target (the `fuzz` preset) and runs it, in one process,
# for a bounded time. Inputs it finds go to build/fuzz-work/corpus, which later
# runs start from; the committed seeds (fuzz/corpus) and past crashes
# (fuzz/regressions) are only read.
# Usage: scripts/fuzz.sh [SECONDS] [libFuzzer flags...]    (default: 60 seconds)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
case $seconds in
    '' | *[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS] [libFuzzer flags...]" >&2; exit 2 ;;
esac

# libclang-rt-14-dev holds the libFuzzer and sanitizer runtimes.
scripts/install-deps.sh cmake ninja-build clang libclang-rt-14-dev

cmake --preset fuzz
cmake --build --preset fuzz

work=build/fuzz-work
log="$work/fuzz.log"
mkdir -p "$work/corpus" "$work/crashes"
echo "=== fuzzing for $seconds s; new inputs go to $work/corpus, the full log to $log ==="
# The terminal skips the line libFuzzer prints for each new or shortened input
# and its suggested dictionary; the log keeps everything.
set +e
build/fuzz/fuzz/tim_road_fuzzer "$work/corpus" fuzz/corpus fuzz/regressions \
    -dict=fuzz/tim.dict -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
    -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/crashes/" \
    "$@" 2>&1 | tee "$log" | grep --line-buffered -vE '^#[0-9]+[[:space:]]+(NEW|REDUCE)[[:space:]]|^"|ecommended dictionary'
status=${PIPESTATUS[0]}
set -e
if [ "$status" -ne 0 ]; then
    echo "fuzz: FAILED (exit $status). The input is in $work/crashes/; keep it as" >&2
    echo "fuzz/regressions/<what-it-does>.tim so that the decoder tests replay it." >&2
    exit "$status"
fi
done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE[[:space:]]' "$log" | tail -n 1 || true)
runs=$(sed -nE 's/^#([0-9]+)[[:space:]].*/\1/p' <<<"$done_line")
coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' <<<"$done_line")
echo "fuzz: no fault in $runs runs ($seconds s), $coverage inputs;" \
    "$(find "$work/corpus" -type f | wc -l) kept in $work/corpus"
