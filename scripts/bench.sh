#!/usr/bin/env bash
# The benchmark command: installs what is missing, builds the benchmarks in
# release mode and runs them: the decoder, the thumbnail call under Wine,
# tim2png as a whole process, the gdk-pixbuf loader and QImageReader through
# the Qt plugins, and timscan against cat. Each step measures its yardstick in
# the same run as the code it judges and prints its own table of ratios.
#
# Usage: scripts/bench.sh [Google Benchmark option...]
#   TIM_BENCH_STEPS="timscan" scripts/bench.sh runs only the steps named.
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
    scripts/install-deps.sh cmake ninja-build g++ pkg-config libbenchmark-dev libmagickcore-6.q16-dev
}

run_native() {
    echo "=== build: preset bench (Release, g++ -O2, baseline x86-64) ==="
    cmake --workflow --preset bench
    echo
    echo "=== decoder benchmarks (native) ==="
    build/bench/benchmarks/tim_benchmarks "${native_options[@]}" "$@"
}

deps_windows() {
    scripts/install-deps.sh cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest \
        g++-mingw-w64-i686-posix binutils-mingw-w64-i686
    scripts/wine-env.sh
    scripts/arm64-env.sh
}

# The whole thumbnail call through each DLL under Wine, next to the platform
# floor (open, map, a DIB section of the same size filled with memset): the
# 64-bit build, then the 32-bit and ARM64 ones adding their rows to the same
# table. The ARM64 rows run under qemu-aarch64 (scripts/arm64-env.sh), and the
# 32-bit ones under qemu-i386 where the kernel cannot start them: those are
# marked as emulated and have no target. The Google Benchmark options are not
# for this step.
run_windows() {
    echo
    echo "=== build: preset windows (mingw-w64, Release; 64-bit and 32-bit; Zig for ARM64) ==="
    cmake --preset windows >/dev/null
    cmake --build --preset windows --target thumbnail_bench x86 arm64
    echo
    echo "=== thumbnail call through the DLL under Wine ==="
    export WINEPREFIX="$PWD/build/windows/bench-prefix" WINEDEBUG=-all
    export TIM_ARM64_WINEPREFIX="$PWD/build/windows/bench-prefix-arm64"
    trap 'scripts/wine-run.sh wineserver -k 2>/dev/null || true; scripts/wine-arm64.sh wineserver -k 2>/dev/null || true' EXIT
    scripts/wine-run.sh wineboot --init >/dev/null 2>&1 || true  # first start makes the prefix
    scripts/wine-run.sh build/windows/bin/thumbnail_bench.exe
    # Where the kernel cannot start 32-bit programs, qemu-i386 runs them
    # (scripts/wine-env.sh) and their rows are marked and have no target.
    local x86_flags=(--rows)
    grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386 && x86_flags+=(--emulated)
    scripts/wine-run.sh build/windows/bin/thumbnail_bench32.exe "${x86_flags[@]}"
    scripts/wine-arm64.sh wineboot --init >/dev/null 2>&1 || true
    scripts/wine-arm64.sh build/windows/bin/thumbnail_benchArm64.exe --rows --emulated
}

deps_wic() {
    deps_windows
}

# The whole WIC road (imaging factory, decoder from a file, CopyPixels of the
# whole frame) for a 1024 x 512 TIM file of each format through the codec,
# next to the same road for a 32-bit BMP of the same pixels through Wine's
# own decoder. The benchmark registers the codec for the run and removes it.
run_wic() {
    echo
    echo "=== build: wic_bench (preset windows) ==="
    cmake --preset windows >/dev/null
    cmake --build --preset windows --target wic_bench
    echo
    echo "=== WIC road under Wine: TIM codec against Wine's BMP decoder ==="
    export WINEPREFIX="$PWD/build/windows/bench-prefix" WINEDEBUG=-all
    trap 'scripts/wine-run.sh wineserver -k 2>/dev/null || true' EXIT
    scripts/wine-run.sh wineboot --init >/dev/null 2>&1 || true
    scripts/wine-run.sh build/windows/bin/wic_bench.exe
}

deps_tim2png() {
    scripts/install-deps.sh cmake ninja-build g++ libpng-dev libbenchmark-dev imagemagick
}

# tim2png --size 256 as a whole process, as a file manager starts it for each
# thumbnail, next to ImageMagick's convert making the same thumbnail of the
# same 1024 x 512 16-bit file (a format ImageMagick reads). Rounds alternate
# which one runs first; the table shows medians. /usr/bin/convert by its
# full path: another convert may come first on PATH.
run_tim2png() {
    echo
    echo "=== build: tim2png (preset bench) ==="
    cmake --preset bench >/dev/null
    cmake --build --preset bench --target tim2png tim_bench_file
    local work=build/bench/whole-process rounds=21
    rm -rf "$work" && mkdir -p "$work"
    local input="$work/16bit-1024x512.tim"
    build/bench/benchmarks/tim_bench_file 2 1024 512 "$input"
    local -a ours=(build/bench/tools/tim2png/tim2png --size 256 "$input" "$work/tim2png.png")
    local -a peer=(/usr/bin/convert "$input" -thumbnail 256x256 "$work/imagemagick.png")
    "${ours[@]}" >/dev/null && "${peer[@]}"  # warm the caches; stop here if either fails
    : >"$work/times"
    local r who t0
    for ((r = 0; r < rounds; r++)); do
        for who in $( ((r % 2)) && echo "peer ours" || echo "ours peer"); do
            t0=$EPOCHREALTIME
            if [ "$who" = ours ]; then "${ours[@]}" >/dev/null; else "${peer[@]}"; fi
            echo "$who $t0 $EPOCHREALTIME" >>"$work/times"
        done
    done
    median_ms() {
        awk -v who="$1" '$1 == who { print ($3 - $2) * 1000 }' "$work/times" | sort -n |
            awk '{ a[NR] = $1 } END { print NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
    }
    local o p
    o=$(median_ms ours)
    p=$(median_ms peer)
    echo
    echo "=== tim2png --size 256 against ImageMagick convert -thumbnail 256x256, whole process ==="
    echo "16-bit 1024 x 512 file, $rounds interleaved rounds, medians"
    awk -v o="$o" -v p="$p" 'BEGIN {
        printf "| %-10s | %-11s | %-18s |\n", "tim2png", "ImageMagick", "ImageMagick / ours"
        printf "| %7.2f ms | %8.2f ms | %18.1f |\n", o, p, p / o
        if (p <= o) print "! target missed: tim2png is not faster than ImageMagick"
    }'
}

deps_gdkpixbuf() {
    scripts/install-deps.sh cmake ninja-build g++ pkg-config libbenchmark-dev libgdk-pixbuf-2.0-dev shared-mime-info
}

# A 1024 x 512 file of each format through GdkPixbuf with the loader as
# built (release), next to the decoder's decode and premultiply in the same
# run; gdk-pixbuf sees only that loader, through a cache of its own.
run_gdkpixbuf() {
    echo
    echo "=== build: gdk-pixbuf loader and its benchmark (preset bench) ==="
    cmake --preset bench >/dev/null
    cmake --build --preset bench --target pixbuf_bench pixbufloader-tim
    local work=build/bench/gdk-pixbuf
    rm -rf "$work" && mkdir -p "$work"
    "$(pkg-config --variable=gdk_pixbuf_query_loaders gdk-pixbuf-2.0)" \
        "$PWD/build/bench/plugins/gdk-pixbuf/libpixbufloader-tim.so" >"$work/loaders.cache"
    # new_from_file picks the loader by MIME type: the project's own, in a
    # database of the step's own beside the system's.
    mkdir -p "$work/mime/packages"
    cp packaging/debian/tim-thumbnailer.xml "$work/mime/packages/"
    update-mime-database "$work/mime"
    echo
    echo "=== TIM files through GdkPixbuf against the decoder, 1024 x 512, fastest of 101 rounds ==="
    XDG_DATA_DIRS="$PWD/$work:/usr/local/share:/usr/share" \
        build/bench/benchmarks/gdk-pixbuf/pixbuf_bench "$work/loaders.cache" "$work"
}

deps_qt() {
    scripts/install-deps.sh cmake ninja-build g++ qtbase5-dev qt6-base-dev libkf5kio-dev extra-cmake-modules
}

# A 1024 x 512 file of each format read from memory through QImageReader
# with the Qt 5 plugin, then the Qt 6 one, each next to the decoder's own
# decode and premultiply in the same process; the plugins come from the
# bench tree. The Google Benchmark options are not for this step.
run_qt() {
    echo
    echo "=== build: the Qt plugins and their benchmark (preset bench) ==="
    cmake --preset bench >/dev/null
    cmake --build --preset bench --target qt5_reader_bench qt6_reader_bench
    echo
    echo "=== QImageReader through the Qt plugins against the decoder, 1024 x 512 ==="
    QT_PLUGIN_PATH="$PWD/build/bench/plugins/qt5" build/bench/benchmarks/qt/qt5/qt5_reader_bench
    QT_PLUGIN_PATH="$PWD/build/bench/plugins/qt6" build/bench/benchmarks/qt/qt6/qt6_reader_bench --rows
}

deps_timscan() {
    scripts/install-deps.sh cmake ninja-build g++ libpng-dev python3 time
}

# timscan listing a 512 MiB input, next to `cat FILE > /dev/null` on the same
# file in the same run, both from the page cache (each file read once before
# the rounds); rounds alternate which runs first, the table shows medians and
# timscan's peak resident memory. Inputs: random bytes with a TIM every MiB,
# and the same bytes as raw Mode 2 Form 1 sectors. Then the TIMs found in
# 1 GiB of random bytes: the false positives.
run_timscan() {
    echo
    echo "=== build: timscan (preset bench) ==="
    cmake --preset bench >/dev/null
    cmake --build --preset bench --target timscan
    local work=build/bench/timscan rounds=5 timscan=build/bench/tools/timscan/timscan
    rm -rf "$work" && mkdir -p "$work"
    scripts/timscan-bench-input.py any 512 "$work/any.bin"
    scripts/timscan-bench-input.py raw 512 "$work/raw.bin"
    echo
    echo "=== timscan listing a 512 MiB file against cat FILE > /dev/null, $rounds interleaved rounds, medians ==="
    printf '| %-28s | %9s | %9s | %11s | %13s | %5s |\n' input cat timscan "timscan/cat" "peak RSS" TIMs
    local input r who t0 tims
    for input in any raw; do
        local file="$work/$input.bin"
        cat "$file" >/dev/null
        tims=$("$timscan" "$file" | grep -c '@' || true)
        : >"$work/times"
        for ((r = 0; r < rounds; r++)); do
            for who in $( ((r % 2)) && echo "cat timscan" || echo "timscan cat"); do
                t0=$EPOCHREALTIME
                if [ "$who" = cat ]; then cat "$file" >/dev/null; else "$timscan" "$file" >/dev/null; fi
                echo "$who $t0 $EPOCHREALTIME" >>"$work/times"
            done
        done
        /usr/bin/time -f '%M' -o "$work/rss" "$timscan" "$file" >/dev/null
        local c t kib
        c=$(awk '$1 == "cat" { print ($3 - $2) * 1000 }' "$work/times" | sort -n | awk '{ a[NR] = $1 } END { print a[(NR + 1) / 2] }')
        t=$(awk '$1 == "timscan" { print ($3 - $2) * 1000 }' "$work/times" | sort -n | awk '{ a[NR] = $1 } END { print a[(NR + 1) / 2] }')
        kib=$(cat "$work/rss")
        local name="random + a TIM a MiB"
        [ "$input" = raw ] && name="raw Mode 2 Form 1 sectors"
        awk -v n="$name" -v c="$c" -v t="$t" -v k="$kib" -v m="$tims" 'BEGIN {
            printf "| %-28s | %6.0f ms | %6.0f ms | %11.2f | %9.1f MiB | %5d |\n", n, c, t, t / c, k / 1024, m
            if (t > 4 * c) print "! target missed: timscan is more than 4 times as slow as cat"
            if (k > 64 * 1024) print "! target missed: timscan took more than 64 MiB"
        }'
    done
    rm -f "$work/any.bin" "$work/raw.bin"
    scripts/timscan-bench-input.py random 1024 "$work/random.bin"
    echo "false positives in 1 GiB of random bytes: $("$timscan" "$work/random.bin" | grep -c '@' || true)"
    rm -f "$work/random.bin"
}

# Steps in order. Another platform's benchmark is added as one more
# deps_NAME/run_NAME pair and its name here.
steps=(native windows wic tim2png gdkpixbuf qt timscan)
if [ -n "${TIM_BENCH_STEPS:-}" ]; then read -ra steps <<<"$TIM_BENCH_STEPS"; fi

for step in "${steps[@]}"; do "deps_$step"; done
for step in "${steps[@]}"; do "run_$step" "$@"; done
