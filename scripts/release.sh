#!/usr/bin/env bash
# The release: installs what is missing, builds the Windows programs in release
# form into build/release/ (no test or benchmark programs) and writes dist/:
#   TimThumbnailHandler-<version>-win64.msi   Windows Installer package (wixl)
#   TimThumbnailHandler-<version>-win64.zip   the programs and the DLLs (each in x64, x86, ARM64), README.txt, LICENSE.txt,
#                                              THIRD-PARTY-NOTICES.txt
#   tim-tools_<version>_amd64.deb             tim2png, png2tim and timscan with their manual pages
#   tim-thumbnailer_<version>_amd64.deb       the thumbnailer entry and the MIME type
#   gdk-pixbuf-loader-tim_<version>_amd64.deb and the other plug-in packages (scripts/deb.sh)
#   SHA256SUMS                                 covering every file above
# Reproducible: two runs from the same commit, in any folders, give the same
# bytes. Times come from SOURCE_DATE_EPOCH, by default the commit's time.
#
# A list of steps, each a deps_NAME and a run_NAME function; a run_ step
# adds its files to dist/, and the checksums are taken over dist/ at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dist=$root/dist

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) ||
        { echo "release: not a git checkout; set SOURCE_DATE_EPOCH" >&2; exit 1; }
fi
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C
if [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then
    echo "release: note: the work tree has uncommitted changes; they are part of this build"
fi

deps_windows() {
    scripts/install-deps.sh cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
        g++-mingw-w64-i686-posix binutils-mingw-w64-i686 libz-mingw-w64-dev dpkg-dev \
        wixl python3 python3-olefile
    # The x64 tools' libpng, whose licence ships in THIRD-PARTY-NOTICES.txt.
    scripts/mingw-libpng.sh
    # The ARM64 DLL's compiler (Zig), fetched and cached under build/arm64/.
    scripts/arm64-env.sh
}

run_windows() {
    local build=$root/build/release
    # The x64 command-line programs beside the setup tool, each a target of
    # its name; a new one is added here, to the MSI and to README.txt.
    local tools=(timthumb tim2png png2tim timscan)
    echo "=== build: TimThumbnailHandler.dll, TimImageCodec.dll, their x86 and ARM64 builds, TimThumbnailSetup.exe, ${tools[*]/%/.exe} (release) ==="
    # The build maps the source folder's path away (-ffile-prefix-map); the
    # linker takes the PE time stamps from SOURCE_DATE_EPOCH.
    cmake --preset windows -B "$build" -DTIM_BUILD_TESTS=OFF -DTIM_BUILD_X86=ON -DTIM_BUILD_ARM64=ON >/dev/null
    # Linked anew every time: the time stamp is no input the build tracks, so
    # an earlier build's programs would keep an earlier commit's time.
    local programs=(TimThumbnailHandler.dll TimThumbnailHandler32.dll TimThumbnailHandlerArm64.dll
        TimImageCodec.dll TimImageCodec32.dll TimImageCodecArm64.dll TimThumbnailSetup.exe "${tools[@]/%/.exe}")
    rm -f "${programs[@]/#/$build/bin/}"
    # x86: the 32-bit half, for the Open and Save dialogs of 32-bit programs.
    # arm64: the ARM64 half, for Explorer on ARM64 Windows.
    cmake --build "$build" --parallel 2 --target TimThumbnailHandler TimImageCodec TimThumbnailSetup "${tools[@]}" x86 arm64
    local version
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
    local name=TimThumbnailHandler-$version-win64

    local stage=$build/stage
    rm -rf "$stage"
    mkdir -p "$stage" "$dist"
    cp "${programs[@]/#/$build/bin/}" "$stage/"
    packaging/windows/pack.py pe-timestamp "$stage"/*Arm64.dll
    # Windows line ends for Notepad.
    sed 's/$/\r/' packaging/windows/README.txt >"$stage/README.txt"
    sed 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
    packaging/windows/third-party-notices.sh "$stage/THIRD-PARTY-NOTICES.txt"
    touch -d "@$SOURCE_DATE_EPOCH" "$stage"/*

    echo "=== $name.zip ==="
    packaging/windows/pack.py zip "$dist/$name.zip" "$stage"/*

    echo "=== $name.msi ==="
    packaging/windows/msi.sh "$version" "$stage" "$dist/$name.msi"
}

run_checksums() {
    echo "=== SHA256SUMS ==="
    local sums
    sums=$(cd "$dist" && find . -maxdepth 1 -type f ! -name SHA256SUMS -printf '%P\n' | sort | xargs -d '\n' sha256sum)
    printf '%s\n' "$sums" >"$dist/SHA256SUMS"
    cat "$dist/SHA256SUMS"
}
deps_checksums() { :; }

# The Linux packages; scripts/deb.sh installs what it needs itself, and CPack
# takes its file times from SOURCE_DATE_EPOCH too.
deps_linux() { :; }
run_linux() {
    echo "=== Debian packages ==="
    scripts/deb.sh "$dist" >/dev/null
}

steps=(windows linux)

rm -rf "$dist"
for step in "${steps[@]}" checksums; do "deps_$step"; done
for step in "${steps[@]}" checksums; do "run_$step"; done
echo "=== dist/ ==="
ls -l "$dist"
