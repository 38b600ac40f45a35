#!/usr/bin/env bash
# Runs a command inside the arm64 Debian root that scripts/arm64-env.sh made,
# through qemu-aarch64. /proc, /sys and /dev are mounted there and this
# checkout is bound at its own path, in a mount namespace of the command's
# own: the mounts end with it (and with a wineserver it leaves running).
# Usage: scripts/arm64-run.sh [--root DIR] COMMAND [ARG...]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
root="$here/build/arm64/root"
if [ "${1:-}" = "--root" ]; then root="$(cd "$2" && pwd)"; shift 2; fi
[ $# -gt 0 ] || { echo "usage: scripts/arm64-run.sh [--root DIR] COMMAND [ARG...]" >&2; exit 2; }
[ -d "$root/usr" ] || { echo "scripts/arm64-run.sh: no arm64 root in $root (run scripts/arm64-env.sh)" >&2; exit 1; }

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
# The command's words go through the inner shell as its own arguments.
exec $sudo unshare --mount --propagation private /bin/sh -c '
    root=$1; here=$2; cwd=$3; shift 3
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"
    mkdir -p "$root$here"
    mount --bind "$here" "$root$here"
    exec chroot "$root" /bin/sh -c "cd \"\$0\" 2>/dev/null || cd /; exec \"\$@\"" "$cwd" "$@"
' arm64-run "$root" "$here" "$PWD" "$@"
