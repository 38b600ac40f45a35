#!/usr/bin/env bash
# Runs a Windows program under Wine in a prefix of its own. The prefix is
# $WINEPREFIX when set, otherwise build/windows/wineprefix in this checkout.
# The first start creates the prefix, which takes a few seconds.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$here/build/windows/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"  # no Mono/Gecko prompts
# Under qemu-i386, a 32-bit Wine whose C library loads a locale (LANG=C.UTF-8,
# say) maps the locale's files where Wine must reserve its own address space,
# and stops at once ("failed to map the shared user data"). The C locale maps
# nothing.
export LC_ALL=C
mkdir -p "$WINEPREFIX"
exec /usr/lib/wine/wine64 "$@"
