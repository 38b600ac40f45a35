#!/usr/bin/env bash
# Installs and makes everything the tests need, and nothing else calls apt:
# the host's Debian packages, the Wine root for x64 and x86 Windows programs
# (scripts/wine-env.sh), Zig and the arm64 root (scripts/arm64-env.sh), and
# the Wine prefixes the Windows tests run in. Safe to run twice: a second run
# checks and takes seconds. Needs root, or sudo.
# Usage: scripts/setup.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# The native builds: compilers, GoogleTest, Google Benchmark (the benchmarks
# are built with the tests so that they keep compiling), libpng (tim2png),
# libFuzzer's runtime (libclang-rt-14-dev), and genisoimage (timscan's tests
# make disc images with it).
native="cmake ninja-build g++ clang libgtest-dev googletest libbenchmark-dev libpng-dev libclang-rt-14-dev
    genisoimage"
# The Windows builds: mingw-w64 for x64 and x86, zlib for mingw (the x64
# tools' libpng is built on it, below); the release's MSI (wixl) and zip
# helpers (python3-olefile). Wine itself lives in a root of its own.
windows="g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 g++-mingw-w64-i686-posix binutils-mingw-w64-i686
    libz-mingw-w64-dev wixl python3-olefile"
# The Debian packages: CPack with dpkg-shlibdeps and file, lintian, man
# (the manual page's check), the gdk-pixbuf loader's headers, Qt 5 and 6,
# KIO for the thumbnailer.
packages="dpkg-dev file lintian man-db python3 libgdk-pixbuf-2.0-dev qtbase5-dev qt6-base-dev
    libkf5kio-dev extra-cmake-modules"
# The desktops' own clients: GNOME's thumbnail factory with Debian's Python
# bindings, the sandbox it runs thumbnailers in, the MIME database; Eye of
# GNOME, Dolphin and Gwenview under Xvfb, screenshotted with xwd; KIO's
# thumbnail worker (kio-extras).
desktop="gir1.2-gnomedesktop-3.0 python3-gi bubblewrap shared-mime-info eog xvfb xauth x11-apps time
    kio-extras dolphin gwenview"
# The roots: debootstrap, their tarballs (zstd), the emulators (arm64 always,
# i386 where the kernel cannot run it), llvm-rc for the ARM64 resources.
roots="debootstrap zstd qemu-user-static binfmt-support llvm"
# shellcheck disable=SC2086  # the lists are words
scripts/install-deps.sh $native $windows $packages $desktop $roots
# npm (Zig's package): Debian's, unless a Node.js that brings its own is
# installed (the two conflict).
command -v npm >/dev/null || scripts/install-deps.sh npm

# libpng for the x64 Windows tools, from Debian's source (seconds once built).
scripts/mingw-libpng.sh
scripts/wine-env.sh
scripts/arm64-env.sh

# The Windows tests' prefixes, made now so that no test waits minutes for
# one; wineboot on a made prefix only checks it.
echo "Wine prefixes"
WINEPREFIX=$PWD/build/windows/wineprefix scripts/wine-run.sh wineboot --init >/dev/null 2>&1
WINEPREFIX=$PWD/build/windows/wineprefix scripts/wine-run.sh wineserver -w
TIM_ARM64_WINEPREFIX=$PWD/build/windows/wineprefix-arm64 scripts/wine-arm64.sh wineboot --init >/dev/null 2>&1
TIM_ARM64_WINEPREFIX=$PWD/build/windows/wineprefix-arm64 scripts/wine-arm64.sh wineserver -w
echo "Setup done"
