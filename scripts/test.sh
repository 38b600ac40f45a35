#!/usr/bin/env bash
# The project's one test command: installs what is missing, then configures,
# builds and runs every test suite: the decoder and tim2png natively (g++,
# sanitizers, clang), the DLLs cross-built for Windows (x64, x86, ARM64) with
# their tests under Wine, the Debian packages checked by lintian and installed,
# driven by the desktops' own clients, and the Windows release packages.
set -euo pipefail
cd "$(dirname "$0")/.."

# libbenchmark-dev: the benchmarks are built (not run) with the tests so
# that they keep compiling. libpng-dev: tim2png. The desktop step needs
# GNOME's thumbnail factory with Debian's Python bindings, the sandbox it runs
# thumbnailers in, and the MIME database; the packages' step lintian and
# man (the manual page's check), the gdk-pixbuf loader its headers, and Eye
# of GNOME's screenshot Xvfb and xwd; the Qt and KDE
# plug-ins' step Qt 5 and 6, KIO with its thumbnail worker (kio-extras),
# Dolphin, Gwenview and xwd for their screenshots; the 32-bit DLL the i686
# compiler.
scripts/install-deps.sh cmake ninja-build g++ clang libgtest-dev googletest libbenchmark-dev libpng-dev \
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 \
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686 \
    gir1.2-gnomedesktop-3.0 python3-gi bubblewrap shared-mime-info \
    python3 man-db lintian libgdk-pixbuf-2.0-dev eog xvfb xauth \
    qtbase5-dev qt6-base-dev libkf5kio-dev extra-cmake-modules kio-extras dolphin gwenview x11-apps
# The 32-bit DLL's tests need 32-bit Wine, and on some kernels an emulator.
scripts/wine32.sh
# The ARM64 DLL needs Zig, and its tests an arm64 root with Wine under
# qemu-aarch64; both are cached under build/arm64/.
scripts/arm64-env.sh

for preset in native sanitize clang windows; do
    echo "=== $preset ==="
    cmake --workflow --preset "$preset"
done

# Every Debian package built and checked by lintian; tim-thumbnailer
# installed for real, GNOME's thumbnail factory asked for thumbnails, the
# package removed again.
echo "=== desktop ==="
rm -rf build/deb/test-dist
debs=$(scripts/deb.sh build/deb/test-dist)
mapfile -t debs <<<"$debs"
deb_of() { printf '%s\n' "${debs[@]}" | grep "/$1_[^/]*\.deb$"; }
tests/desktop/lintian.sh "${debs[@]}"
/usr/bin/python3 tests/desktop/thumbnail_factory_test.py "$(deb_of tim-thumbnailer)"
# Eye of GNOME's road: the gdk-pixbuf loader's package installed, samples and
# fuzz seeds opened through GdkPixbuf whole and in chunks, the caches checked
# after install and removal.
/usr/bin/python3 tests/desktop/pixbuf_loader_test.py "$(deb_of tim-thumbnailer)" "$(deb_of gdk-pixbuf-loader-tim)"
# Eye of GNOME under xvfb-run opening a sample, without and with the
# packages; the screenshots stay in build/desktop/.
/usr/bin/python3 tests/desktop/eog_screenshot_test.py "$(deb_of tim-thumbnailer)" "$(deb_of gdk-pixbuf-loader-tim)"

# The Qt image plugins and the KIO thumbnailer: built here under the
# sanitizers and swept with hostile files through QImageReader; then their
# packages installed and their real clients driven headless (QImageReader for
# Qt 5 and 6, KIO::PreviewJob as Dolphin calls it, Dolphin and Gwenview
# screenshotted under xvfb-run, with the packages and without), and removed.
echo "=== plugins ==="
cmake --workflow --preset plugins
/usr/bin/python3 tests/plugins/plugin_clients_test.py build/plugins build/plugins/screenshots \
    "$(deb_of tim-thumbnailer)" "$(deb_of qt5-image-formats-plugin-tim)" \
    "$(deb_of qt6-image-formats-plugin-tim)" "$(deb_of kio-thumbnailer-tim)"

# The release (scripts/release.sh) built twice and compared, and its MSI
# installed, used and removed under Wine.
echo "=== release ==="
tests/release/release-test.sh

# A bounded fuzz run (about a minute) over the whole decoding road.
echo "=== fuzz ==="
scripts/fuzz.sh 60
