#!/usr/bin/env bash
# Builds the Debian package of the Linux side, tim-thumbnailer_<version>_amd64.deb:
# tim2png (stripped, in /usr/bin), its thumbnailer entry and the image/x-tim
# MIME type. Installs what is missing, builds in build/deb/ and prints the
# path of the package it wrote, alone on standard output (the rest goes to
# standard error), so that callers can take it with $(scripts/deb.sh).
#
# Usage: scripts/deb.sh [OUTDIR]     (default: dist/ in the source tree)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$(realpath -m "${1:-$root/dist}")"
cd "$root"
exec 3>&1 1>&2

# dpkg-dev and file: CPack finds the shared libraries' packages with
# dpkg-shlibdeps, and the programs to scan with file.
scripts/install-deps.sh cmake ninja-build g++ libpng-dev dpkg-dev file

cmake --preset deb >/dev/null
cmake --build --preset deb
rm -rf build/deb/package
(cd build/deb && cpack -G DEB -B package >/dev/null)
packages=(build/deb/package/*.deb)
[ ${#packages[@]} -eq 1 ] || { echo "deb.sh: expected one package in build/deb/package" >&2; exit 1; }
mkdir -p "$out"
cp "${packages[0]}" "$out/"
echo "$out/$(basename "${packages[0]}")" >&3
