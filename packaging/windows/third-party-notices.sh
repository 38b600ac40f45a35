#!/usr/bin/env bash
# Usage: packaging/windows/third-party-notices.sh OUT.txt
# Writes the notices of the third-party code linked into the Windows
# programs, with Windows line ends: libpng's licence, from the very build the
# tools link (scripts/mingw-libpng.sh), and zlib's, from the header of the
# zlib under it (libz-mingw-w64-dev).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
out=$1
libpng=$here/build/mingw-libpng/current
zlib_header=/usr/x86_64-w64-mingw32/include/zlib.h
[ -f "$libpng/LICENSE" ] || { echo "third-party-notices.sh: no $libpng/LICENSE (run scripts/mingw-libpng.sh)" >&2; exit 1; }
[ -f "$zlib_header" ] || { echo "third-party-notices.sh: no $zlib_header (install libz-mingw-w64-dev)" >&2; exit 1; }
version=$(sed -n 's/^#define PNG_LIBPNG_VER_STRING "\(.*\)"/\1/p' "$libpng/include/png.h")
zlib_version=$(sed -n 's/^#define ZLIB_VERSION "\(.*\)"/\1/p' "$zlib_header")
{
    echo "Third-party software in the TIM Thumbnail Handler's Windows programs"
    echo "===================================================================="
    echo
    echo "The command-line tools contain libpng $version and zlib $zlib_version, linked"
    echo "statically. Their licences follow."
    echo
    echo
    echo "libpng $version"
    echo "------------"
    echo
    cat "$libpng/LICENSE"
    echo
    echo
    echo "zlib $zlib_version"
    echo "----------"
    echo
    # The licence is the header's opening comment, up to the authors' addresses.
    sed -n '4,/madler@/p' "$zlib_header" | sed 's/^  //'
} | sed 's/$/\r/' >"$out"
