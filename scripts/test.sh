#!/usr/bin/env bash
# The project's one test command. Setup (scripts/setup.sh: every install, the
# Wine and arm64 roots, the Wine prefixes), then every layer:
#   native, sanitize, clang  the decoder, tim2png and their tests (g++, the
#                            sanitizers, clang)
#   windows                  the DLLs cross-built for x64, x86 and ARM64, their
#                            tests under Wine
#   packages                 every Debian package built and checked by lintian
#   desktop                  GNOME's thumbnail factory, GdkPixbuf and Eye of
#                            GNOME with the packages installed
#   plugins                  the Qt and KIO plug-ins under the sanitizers, then
#                            their packages in Qt, KIO, Dolphin and Gwenview
#   release                  the release built twice and compared, its MSI
#                            installed and used under Wine
#   fuzz                     a one-minute fuzz run over the decoding road
# --quick, for the edit loop: setup, the native layers and the x64 Windows
# suites (windows-x64).
# Every step runs even after an earlier one failed; the command ends with a
# table of the steps, their times and results, and exits non-zero if any
# failed. Each step's output also goes to build/test-logs/STEP.log.
# Usage: scripts/test.sh [--quick]
set -uo pipefail
cd "$(dirname "$0")/.."

quick=0
case "${1:-}" in
--quick) quick=1 ;;
"") ;;
*) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac

logs=build/test-logs
mkdir -p "$logs"
names=() results=() seconds=()
step() {  # step NAME COMMAND...
    local name=$1 start status
    shift
    echo "=== $name ==="
    start=$(date +%s)
    "$@" 2>&1 | tee "$logs/$name.log"
    status=${PIPESTATUS[0]}
    names+=("$name")
    seconds+=($(($(date +%s) - start)))
    if [ "$status" -eq 0 ]; then results+=(passed); else results+=("failed ($status)"); fi
}

# The Debian packages of this tree, built once for every step that installs them.
dist=build/deb/test-dist
deb_of() { ls "$dist/$1"_*.deb; }
packages() {
    rm -rf "$dist"
    local debs
    debs=$(scripts/deb.sh "$dist") || return 1
    mapfile -t debs <<<"$debs"
    tests/desktop/lintian.sh "${debs[@]}"
}
# tim-thumbnailer installed for real, GNOME's thumbnail factory asked for
# thumbnails; the gdk-pixbuf loader's package: samples and fuzz seeds through
# GdkPixbuf whole and in chunks, the caches after install and removal; Eye of
# GNOME under xvfb-run, without and with the packages (screenshots stay in
# build/desktop/). Each test removes what it installed.
desktop() {
    deb_of tim-thumbnailer >/dev/null || { echo "no packages: the packages step failed"; return 1; }
    local status=0
    /usr/bin/python3 tests/desktop/thumbnail_factory_test.py "$(deb_of tim-thumbnailer)" || status=1
    /usr/bin/python3 tests/desktop/pixbuf_loader_test.py "$(deb_of tim-thumbnailer)" "$(deb_of gdk-pixbuf-loader-tim)" || status=1
    /usr/bin/python3 tests/desktop/eog_screenshot_test.py "$(deb_of tim-thumbnailer)" "$(deb_of gdk-pixbuf-loader-tim)" || status=1
    return $status
}
# Built under the sanitizers and swept with hostile files through
# QImageReader; then the packages installed and their real clients driven
# headless (QImageReader for Qt 5 and 6, KIO::PreviewJob as Dolphin calls it,
# Dolphin and Gwenview screenshotted under xvfb-run), and removed; then the
# hostile files of tests/claims/ through every Linux client's package.
plugins() {
    deb_of tim-thumbnailer >/dev/null || { echo "no packages: the packages step failed"; return 1; }
    cmake --workflow --preset plugins &&
        /usr/bin/python3 tests/plugins/plugin_clients_test.py build/plugins build/plugins/screenshots \
            "$(deb_of tim-thumbnailer)" "$(deb_of qt5-image-formats-plugin-tim)" \
            "$(deb_of qt6-image-formats-plugin-tim)" "$(deb_of kio-thumbnailer-tim)" &&
        /usr/bin/python3 tests/claims/claims_test.py build/plugins "$(deb_of tim-thumbnailer)" \
            "$(deb_of gdk-pixbuf-loader-tim)" "$(deb_of qt5-image-formats-plugin-tim)" \
            "$(deb_of qt6-image-formats-plugin-tim)" "$(deb_of kio-thumbnailer-tim)"
}

step setup scripts/setup.sh
for preset in native sanitize clang; do
    step "$preset" cmake --workflow --preset "$preset"
done
if [ $quick -eq 1 ]; then
    step windows-x64 cmake --workflow --preset windows-x64
else
    step windows cmake --workflow --preset windows
    step packages packages
    step desktop desktop
    step plugins plugins
    step release tests/release/release-test.sh
    step fuzz scripts/fuzz.sh 60
fi

passed=0 failed=0
echo
printf '%-12s %8s  %s\n' step seconds result
for i in "${!names[@]}"; do
    printf '%-12s %8s  %s\n' "${names[$i]}" "${seconds[$i]}" "${results[$i]}"
    if [ "${results[$i]}" = passed ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
