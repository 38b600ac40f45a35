#!/usr/bin/env bash
# Makes a Debian bookworm root with the named packages, from `main` alone, so
# that its versions agree with each other whatever the host has installed or
# whichever of the host's indexes fails. The root is kept as a tarball in
# CACHE keyed on its recipe: a second run unpacks it in seconds, or does
# nothing when CACHE/root already holds it.
# Usage: scripts/debian-root.sh ARCH CACHE "PACKAGES" [EXTRA_ARCH]
#   ARCH        the root's architecture (amd64, arm64 through qemu-aarch64)
#   EXTRA_ARCH  a second architecture added inside the root (i386 for wine32)
set -euo pipefail
cd "$(dirname "$0")/.."
arch=$1 cache=$2 packages=$3 extra=${4:-}

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
suite=bookworm
mirror=http://deb.debian.org/debian
mkdir -p "$cache"
key="$(printf '%s %s %s %s %s' "$suite" "$arch" "$packages" "$extra" v2 | sha256sum | cut -c1-12)"
tarball="$cache/root-$suite-$key.tar.zst"
root="$cache/root"

if [ ! -f "$tarball" ]; then
    echo "Making the $arch $suite root with $packages${extra:+ ($extra too)} (a few minutes, once)"
    work="$cache/root-build"
    $sudo rm -rf "$work"
    $sudo debootstrap --arch="$arch" --foreign --variant=minbase "$suite" "$work" "$mirror" >/dev/null
    # In a mount namespace of its own, so that the /proc it mounts goes with it.
    $sudo unshare --mount --propagation private chroot "$work" /debootstrap/debootstrap --second-stage >/dev/null
    # Inside, as on the host: an index that fails after three tries is left
    # out, and only a package that cannot be installed stops the run.
    scripts/root-run.sh "$work" /usr/bin/env DEBIAN_FRONTEND=noninteractive extra="$extra" packages="$packages" sh -c '
        set -e
        [ -z "$extra" ] || dpkg --add-architecture "$extra"
        for try in 1 2 3; do apt-get update -qq && break; sleep $((try * 5)); done
        apt-get install -y -qq --no-install-recommends $packages >/dev/null
        apt-get clean
        rm -rf /var/lib/apt/lists/*'
    $sudo tar --numeric-owner --one-file-system -C "$work" -cf - . | zstd -q -T2 -o "$tarball.tmp"
    mv "$tarball.tmp" "$tarball"
    for old in "$cache"/root-*.tar.zst; do
        [ "$old" = "$tarball" ] || rm -f "$old"
    done
    $sudo rm -rf "$root"
    $sudo mv "$work" "$root"
    echo "$key" | $sudo tee "$root/.tim-key" >/dev/null
fi

if [ "$(cat "$root/.tim-key" 2>/dev/null)" != "$key" ]; then
    echo "Unpacking the cached $arch root"
    $sudo rm -rf "$root"
    mkdir -p "$root"
    zstd -q -dc "$tarball" | $sudo tar --numeric-owner -C "$root" -xf -
    echo "$key" | $sudo tee "$root/.tim-key" >/dev/null
fi
