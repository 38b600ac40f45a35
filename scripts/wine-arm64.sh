#!/usr/bin/env bash
# Runs an ARM64 Windows program under Debian's arm64 Wine, inside the arm64
# root of scripts/arm64-env.sh (emulated by qemu-aarch64), in a prefix of its
# own: $TIM_ARM64_WINEPREFIX when set, otherwise build/windows/wineprefix-arm64
# in this checkout. The x64 prefix ($WINEPREFIX) is never used: the two Wines
# cannot share one. `scripts/wine-arm64.sh wineserver -k` stops its server.
here="$(cd "$(dirname "$0")/.." && pwd)"
WINEPREFIX="${TIM_ARM64_WINEPREFIX:-$here/build/windows/wineprefix-arm64}" \
    TIM_WINE_ROOT="$here/build/arm64/root" exec "$here/scripts/wine-run.sh" "$@"
