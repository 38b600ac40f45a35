#!/usr/bin/env bash
# Runs an ARM64 Windows program under Debian's arm64 Wine, inside the arm64
# root of scripts/arm64-env.sh (emulated by qemu-aarch64), in a prefix of its
# own: $TIM_ARM64_WINEPREFIX when set, otherwise build/windows/wineprefix-arm64
# in this checkout. The x64 prefix ($WINEPREFIX) is never used: the two Wines
# cannot share one. `scripts/wine-arm64.sh wineserver -k` stops its server.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
prefix="${TIM_ARM64_WINEPREFIX:-$here/build/windows/wineprefix-arm64}"
mkdir -p "$prefix"
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"  # no Mono/Gecko prompts
if [ "${1:-}" = wineserver ]; then
    shift
    exec "$here/scripts/arm64-run.sh" /usr/lib/wine/wineserver "$@"
fi
exec "$here/scripts/arm64-run.sh" /usr/lib/wine/wine64 "$@"
