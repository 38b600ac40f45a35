#!/usr/bin/env bash
# Runs a command inside a Debian root made by scripts/debian-root.sh (the
# Wine root of scripts/wine-env.sh, or the arm64 root of scripts/arm64-env.sh,
# which runs through qemu-aarch64). /proc, /sys, /dev and /tmp are mounted
# there and this checkout is bound at its own path, in a mount namespace of
# the command's own: the mounts end with it (and with a wineserver it leaves
# running). /tmp is the host's, so that temporary files and Wine's server
# sockets are the same on both sides.
# Usage: scripts/root-run.sh ROOT COMMAND [ARG...]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
[ $# -gt 1 ] || { echo "usage: scripts/root-run.sh ROOT COMMAND [ARG...]" >&2; exit 2; }
root="$(cd "$1" 2>/dev/null && pwd)" || root=$1
shift
[ -d "$root/usr" ] || { echo "scripts/root-run.sh: no Debian root in $root (run scripts/setup.sh)" >&2; exit 1; }

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
# The command's words go through the inner shell as its own arguments.
exec $sudo unshare --mount --propagation private /bin/sh -c '
    root=$1; here=$2; cwd=$3; shift 3
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"
    mount --bind /tmp "$root/tmp"
    mkdir -p "$root$here"
    mount --bind "$here" "$root$here"
    exec chroot "$root" /bin/sh -c "cd \"\$0\" 2>/dev/null || cd /; exec \"\$@\"" "$cwd" "$@"
' root-run "$root" "$here" "$PWD" "$@"
