#!/usr/bin/env bash
# Builds libpng for 64-bit Windows: a static library, cross-compiled with
# mingw-w64 on Debian's static zlib for mingw (libz-mingw-w64-dev), from
# Debian's source package libpng1.6 with Debian's patches. Debian packages no
# libpng for mingw, so the Windows tools get theirs here.
#
# The source comes from the mirror the machine's apt uses, through apt with
# a private list of deb-src lines (build/mingw-libpng/apt; the machine's own
# apt setup is left alone): apt checks each file's hash against the Sources
# index, whose Release file is signed by Debian's archive key, and
# dpkg-source checks them again against the .dsc. The result is installed
# into build/mingw-libpng/VERSION (include/, lib/libpng16.a, the licence),
# with build/mingw-libpng/current pointing at it, where
# cmake/mingw-w64.cmake looks. A second run finds it and takes seconds; the
# source index is fetched again once a day. The newest version listed is
# built; when the mirror lacks its files (a security index can list a version
# before, or without, its files reaching the mirror), the next older one.
# Usage: scripts/mingw-libpng.sh [--refresh]   (--refresh: fetch the index now)
set -euo pipefail
cd "$(dirname "$0")/.."
here=$PWD
top=$here/build/mingw-libpng
aptdir=$top/apt
package=libpng1.6
host=x86_64-w64-mingw32
sysroot=/usr/$host
start=$(date +%s)

fail() {
    echo "mingw-libpng.sh: $*" >&2
    exit 1
}

refresh=0
[ "${1:-}" = --refresh ] && refresh=1

for tool in $host-gcc-posix cmake ninja dpkg-source apt-get; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh installs it)"
done
[ -f $sysroot/lib/libz.a ] || fail "$sysroot/lib/libz.a is missing: install libz-mingw-w64-dev"

mkdir -p "$aptdir/lists/partial" "$aptdir/cache/archives/partial" "$aptdir/parts"
apt_options=(-o "Dir::Etc::SourceList=$aptdir/sources.list" -o "Dir::Etc::SourceParts=$aptdir/parts"
    -o "Dir::State::Lists=$aptdir/lists" -o "Dir::Cache=$aptdir/cache"
    -o "APT::Sandbox::User=root" -o "Acquire::Retries=3")

# deb-src lines for the Debian indexes the machine's apt reads, one per
# mirror and suite, with the same components.
apt-cache policy | awk '
    $1 ~ /^[0-9]+$/ && $2 ~ /^[a-z]+:\/\// && $NF == "Packages" { uri = $2; split($3, sc, "/"); next }
    uri != "" && $1 == "release" && $2 ~ /(^|,)o=Debian(,|$)/ { print uri, sc[1], sc[2] }
    { uri = "" }' | sort -u | awk '
    { key = $1 " " $2; if (!(key in seen)) order[++n] = key; seen[key] = seen[key] " " $3 }
    END { for (i = 1; i <= n; i++) print "deb-src " order[i] seen[order[i]] }' >"$aptdir/sources.list.new"
[ -s "$aptdir/sources.list.new" ] || fail "apt on this machine reads no Debian mirror (apt-cache policy lists none)"
if ! cmp -s "$aptdir/sources.list.new" "$aptdir/sources.list"; then
    mv "$aptdir/sources.list.new" "$aptdir/sources.list"
    refresh=1
else
    rm "$aptdir/sources.list.new"
fi

# The source index: fetched when missing, older than a day or asked for. A
# mirror in mid-sync can serve an index that does not match its Release file
# for hours; then the lists already here serve, and without any it stops,
# naming what failed.
refreshed=0
have_lists() { compgen -G "$aptdir/lists/*_Sources*" >/dev/null; }
if [ $refresh -eq 1 ] || ! have_lists || [ -n "$(find "$aptdir/lists" -maxdepth 1 -name '*_Sources*' -mmin +1440)" ]; then
    refreshed=1
    echo "mingw-libpng.sh: fetching the source index from $(awk '{print $2}' "$aptdir/sources.list" | sort -u | paste -sd ' ')"
    log=$aptdir/update.log
    # apt-get update exits 0 when an index cannot be fetched at all (it
    # warns and keeps the old one); only its messages tell.
    for try in 1 2 3; do
        if apt-get "${apt_options[@]}" update >"$log" 2>&1 && ! grep -qE '^(E:|W: (Failed|Some index))' "$log"; then
            break
        fi
        if [ $try -eq 3 ]; then
            reason=$(grep -E '^(E|W):' "$log" | paste -sd ' ' || true)
            have_lists || fail "cannot fetch the source index: ${reason:-apt-get update failed, see $log}"
            echo "mingw-libpng.sh: the source index failed three times; going on with the lists fetched before: $reason" >&2
            refreshed=0
        else
            sleep $((try * 5))
        fi
    done
fi

# The versions the indexes list, newest first (dpkg's order).
mapfile -t listed < <(apt-cache "${apt_options[@]}" showsrc --only-source "$package" 2>/dev/null |
    awk '/^Version: / { print $2 }' | sort -u)
[ ${#listed[@]} -gt 0 ] || fail "the source index lists no $package (see $aptdir/sources.list)"
versions=()
for v in "${listed[@]}"; do
    i=${#versions[@]}
    versions+=("$v")
    while [ "$i" -gt 0 ] && dpkg --compare-versions "${versions[$((i - 1))]}" lt "$v"; do
        versions[i]=${versions[i - 1]}
        versions[i - 1]=$v
        i=$((i - 1))
    done
done

# What a finished install records: a folder per version, and the recipe's
# hash, toolchain and zlib, so that a changed recipe builds again.
recipe=$(cat "$0" "$here/cmake/mingw-w64.cmake" | sha256sum | cut -c1-16)
toolchain="$($host-gcc-posix -dumpfullversion) zlib $(dpkg-query -W -f='${Version}' libz-mingw-w64-dev)"
stamp_of() { echo "$package $1 $recipe $toolchain"; }
built() { [ -f "$top/${1#*:}/.built" ] && [ "$(cat "$top/${1#*:}/.built")" = "$(stamp_of "$1")" ]; }
ready() {
    ln -sfn "${1#*:}" "$top/current"
    echo "mingw-libpng.sh: libpng $1 for $host ready in $top/${1#*:} ($2$(($(date +%s) - start)) s)"
    exit 0
}

# Between index fetches, the version built last serves while it is listed.
if [ $refreshed -eq 0 ] && [ -L "$top/current" ]; then
    for v in "${versions[@]}"; do
        [ "${v#*:}" = "$(readlink "$top/current")" ] && built "$v" && ready "$v" "cached, "
    done
fi

# Fetches, unpacks, builds and installs version $1; false, with the reason
# printed, when the mirror does not give its files.
build_version() {
    local version=$1 prefix=$top/${1#*:} work=$top/work-${1#*:}
    rm -rf "$work"
    mkdir -p "$work"
    echo "mingw-libpng.sh: fetching $package $version"
    # apt checks each file's size and hash against the signed index.
    if ! (cd "$work" && apt-get "${apt_options[@]}" source --download-only --only-source "$package=$version") \
        >"$work/fetch.log" 2>&1; then
        echo "mingw-libpng.sh: cannot fetch $package $version from the mirror: $(grep -E '^E:' "$work/fetch.log" | paste -sd ' ')" >&2
        rm -rf "$work"
        return 1
    fi
    local dsc
    dsc=$(cd "$work" && ls -- *.dsc)
    # dpkg-source checks every file against the .dsc, then applies Debian's
    # patches. The maintainer's signature on the .dsc goes unchecked (no
    # debian-keyring here); apt checked the .dsc against the signed index.
    dpkg-source -x "$work/$dsc" "$work/src" >"$work/unpack.log" 2>&1 ||
        fail "cannot unpack $dsc: $(grep -E 'error|mismatch' "$work/unpack.log" | paste -sd ' ')"

    echo "mingw-libpng.sh: building libpng $version for $host"
    rm -rf "$prefix"
    # Only the static library: no DLL, no tools, no tests. The source folder's
    # path is kept out of the objects, so that every checkout builds the same bytes.
    cmake -S "$work/src" -B "$work/build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" -DTIM_MINGW_LIBPNG=OFF \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DCMAKE_C_FLAGS="-ffile-prefix-map=$work/src=libpng" \
        -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF -DPNG_FRAMEWORK=OFF \
        -DZLIB_INCLUDE_DIR=$sysroot/include -DZLIB_LIBRARY=$sysroot/lib/libz.a \
        -DSKIP_INSTALL_PROGRAMS=ON -DSKIP_INSTALL_EXECUTABLES=ON -DSKIP_INSTALL_FILES=ON \
        >"$work/configure.log" 2>&1 ||
        fail "libpng's configure failed (see $work/configure.log): $(tail -n 3 "$work/configure.log" | paste -sd ' ')"
    cmake --build "$work/build" -j 2 >"$work/build.log" 2>&1 ||
        fail "libpng's build failed (see $work/build.log): $(grep -m3 -E 'error' "$work/build.log" | paste -sd ' ')"
    cmake --install "$work/build" >"$work/install.log" 2>&1 ||
        fail "libpng's install failed: $(tail -n 3 "$work/install.log" | paste -sd ' ')"
    [ -f "$prefix/lib/libpng16.a" ] || fail "libpng's install holds no lib/libpng16.a"
    # Only the headers and the static library stay.
    rm -rf "${prefix:?}/bin" "$prefix/share" "$prefix/lib/pkgconfig" "$prefix/lib/libpng" "$prefix/lib"/*.dll.a
    # The licence travels with the binaries that link it (packaging/windows).
    install -m 644 "$work/src/LICENSE" "$prefix/LICENSE"
    stamp_of "$version" >"$prefix/.built"
    rm -rf "$work"
}

# The newest version whose files the mirror gives.
for v in "${versions[@]}"; do
    built "$v" && ready "$v" "cached, "
    build_version "$v" && ready "$v" ""
done
fail "the mirror gives the files of no version of $package listed (${versions[*]})"
