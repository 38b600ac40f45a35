#!/usr/bin/env bash
# Runs a Windows program (x64 or x86) under the Wine of scripts/wine-env.sh's
# root ($TIM_WINE_ROOT names another, as scripts/wine-arm64.sh does), in a
# prefix of its own: $WINEPREFIX when set, otherwise
# build/windows/wineprefix in this checkout. The first start creates the
# prefix, which takes a few seconds. `scripts/wine-run.sh wineserver -k`
# stops the prefix's server.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$here/build/windows/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"  # no Mono/Gecko prompts
# Under qemu-i386, a 32-bit Wine whose C library loads a locale (LANG=C.UTF-8,
# say) maps the locale's files where Wine must reserve its own address space,
# and stops at once ("failed to map the shared user data"). The C locale maps
# nothing. But in it Wine takes Unix names and arguments as 7-bit ASCII: a
# file name beyond ASCII cannot be made, and such an argument reaches the
# program mangled. An x64 run that needs them sets TIM_WINE_LC_ALL=C.UTF-8.
export LC_ALL="${TIM_WINE_LC_ALL:-C}"
mkdir -p "$WINEPREFIX"
program=/usr/lib/wine/wine64
if [ "${1:-}" = wineserver ]; then
    program=/usr/lib/wine/wineserver
    shift
fi
exec "$here/scripts/root-run.sh" "${TIM_WINE_ROOT:-$here/build/wine/root}" "$program" "$@"
