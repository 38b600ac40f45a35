#!/usr/bin/env bash
# The project's one test command: installs what is missing, then configures,
# builds and runs every test suite: the decoder and tim2png natively (g++,
# sanitizers, clang), the DLLs cross-built for Windows (x64, x86, ARM64) with
# their tests under Wine, the Debian package of tim2png installed and driven by GNOME's
# thumbnail factory, and the Windows release packages.
set -euo pipefail
cd "$(dirname "$0")/.."

# libbenchmark-dev: the benchmarks are built (not run) with the tests so
# that they keep compiling. libpng-dev: tim2png. The desktop step needs
# GNOME's thumbnail factory with Debian's Python bindings, the sandbox it runs
# thumbnailers in, and the MIME database; the 32-bit DLL the i686 compiler.
scripts/install-deps.sh cmake ninja-build g++ clang libgtest-dev googletest libbenchmark-dev libpng-dev \
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 \
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686 \
    gir1.2-gnomedesktop-3.0 python3-gi bubblewrap shared-mime-info
# The 32-bit DLL's tests need 32-bit Wine, and on some kernels an emulator.
scripts/wine32.sh
# The ARM64 DLL needs Zig, and its tests an arm64 root with Wine under
# qemu-aarch64; both are cached under build/arm64/.
scripts/arm64-env.sh

for preset in native sanitize clang windows; do
    echo "=== $preset ==="
    cmake --workflow --preset "$preset"
done

# The .deb installed for real, GNOME's thumbnail factory asked for thumbnails,
# the package removed again.
echo "=== desktop ==="
deb="$(scripts/deb.sh build/deb/test-dist)"
/usr/bin/python3 tests/desktop/thumbnail_factory_test.py "$deb"

# The release (scripts/release.sh) built twice and compared, and its MSI
# installed, used and removed under Wine.
echo "=== release ==="
tests/release/release-test.sh

# A bounded fuzz run (about a minute) over the whole decoding road.
echo "=== fuzz ==="
scripts/fuzz.sh 60
