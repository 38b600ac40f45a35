#!/usr/bin/env bash
# The demo, end to end on a Debian 12 machine: installs what is missing,
# cross-builds both handler DLLs and the tools for Windows, installs the handler
# machine-wide in a Wine prefix of its own (build/demo/wineprefix), from its
# Program Files folder, and asks it,
# through COM as Explorer does, for a thumbnail of every file in samples/.
# The PNGs land in build/demo/thumbnails/.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686
scripts/wine-env.sh

demo=$PWD/build/demo
echo "=== Building the handler and codec DLLs (x64 and x86), TimThumbnailSetup.exe and timthumb.exe ==="
# Both DLLs, as the release installs them (the 32-bit one serves 32-bit
# programs' dialogs); the demo itself runs 64-bit programs only.
cmake --preset windows -B "$demo/build" -DTIM_BUILD_TESTS=OFF -DTIM_BUILD_X86=ON -DTIM_BUILD_ARM64=OFF >/dev/null
cmake --build "$demo/build" --parallel 2 --target TimThumbnailHandler TimImageCodec TimThumbnailSetup timthumb x86
bin=$demo/build/bin

export WINEPREFIX=$demo/wineprefix
wine=$PWD/scripts/wine-run.sh
# Nothing of Wine outlives the demo.
trap '"$wine" wineserver -k 2>/dev/null || true' EXIT
echo "=== Wine prefix $WINEPREFIX ==="
mkdir -p "$WINEPREFIX"
"$wine" wineboot --init >"$demo/wineboot.log" 2>&1 || { cat "$demo/wineboot.log" >&2; exit 1; }

# For all users the handler must lie under Program Files, as an
# administrator would put it there.
installed="$WINEPREFIX/drive_c/Program Files/TIM Thumbnail Handler"
mkdir -p "$installed"
cp "$bin/TimThumbnailHandler.dll" "$bin/TimThumbnailHandler32.dll" "$bin/TimImageCodec.dll" "$bin/TimImageCodec32.dll" \
    "$bin/TimThumbnailSetup.exe" "$bin/timthumb.exe" "$installed/"
echo "=== TimThumbnailSetup install --machine (from C:\Program Files\TIM Thumbnail Handler) ==="
"$wine" "$installed/TimThumbnailSetup.exe" install --machine
status=$("$wine" "$installed/TimThumbnailSetup.exe" status | tr -d '\r')
echo "$status"
# Both DLLs were copied, so neither may be reported missing.
if grep -q MISSING <<<"$status"; then echo "demo: a registered DLL is missing" >&2; exit 1; fi

echo "=== timthumb on every sample ==="
out=build/demo/thumbnails
rm -rf "$out"
mkdir -p "$out"
written=0 refused=0
for tim in samples/*.tim; do
    name=$(basename "$tim" .tim)
    status=0
    "$wine" "$installed/timthumb.exe" "$tim" "$out/$name.png" || status=$?
    # Samples named refused-* are meant to be refused (exit code 1); every
    # other one must give a thumbnail.
    case "$name:$status" in
        refused-*:1) refused=$((refused + 1)) ;;
        refused-*:*) echo "demo: $tim should have been refused (exit code $status)" >&2; exit 1 ;;
        *:0) written=$((written + 1)) ;;
        *) echo "demo: timthumb failed on $tim (exit code $status)" >&2; exit 1 ;;
    esac
done
echo "=== $written thumbnails in $out/, $refused sample refused as it should be ==="
