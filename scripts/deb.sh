#!/usr/bin/env bash
# Builds every Debian package the tree declares (tim_deb_package in the rooms'
# CMake lists): tim-tools_<version>_amd64.deb (tim2png and timscan with their
# manual pages), tim-thumbnailer_<version>_amd64.deb (the thumbnailer entry
# and the image/x-tim MIME type) and one package per desktop plug-in.
# Installs what is missing, builds in build/deb/, writes the packages into
# OUTDIR and prints their paths, one a line and alone on standard output (the
# rest goes to standard error), so that callers can take them with
# mapfile -t debs < <(scripts/deb.sh).
#
# Usage: scripts/deb.sh [OUTDIR]     (default: dist/ in the source tree)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$(realpath -m "${1:-$root/dist}")"
cd "$root"
exec 3>&1 1>&2

# dpkg-dev and file: CPack finds the shared libraries' packages with
# dpkg-shlibdeps, and the programs to scan with file. python3: tim2png's
# manual page is made from its usage text. libgdk-pixbuf-2.0-dev: the
# gdk-pixbuf loader. qtbase5-dev, qt6-base-dev: the Qt image plugins;
# libkf5kio-dev and extra-cmake-modules: the KIO thumbnailer.
scripts/install-deps.sh cmake ninja-build g++ libpng-dev dpkg-dev file python3 libgdk-pixbuf-2.0-dev \
    qtbase5-dev qt6-base-dev libkf5kio-dev extra-cmake-modules

# Runs CPack in one configured build tree; the packages land in its package/.
pack() {  # pack BUILD_DIR
    rm -rf "$1/package"
    (cd "$1" && cpack -G DEB -B package >/dev/null)
}

cmake --preset deb >/dev/null
cmake --build --preset deb
pack build/deb

packages=(build/deb/package/*.deb)
[ -e "${packages[0]}" ] || { echo "deb.sh: no package was written" >&2; exit 1; }
mkdir -p "$out"
for deb in "${packages[@]}"; do
    cp "$deb" "$out/"
    echo "$out/$(basename "$deb")" >&3
done
