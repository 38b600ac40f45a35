#!/usr/bin/env bash
# Makes 32-bit Windows programs run under Wine: Debian's 32-bit Wine loader
# (wine32, from the i386 architecture), and, where the Linux kernel cannot
# start 32-bit x86 programs itself (a kernel built without IA-32 emulation
# says "Exec format error"), QEMU's user-mode emulator registered for them
# with binfmt_misc. Registering needs root; it lasts until the next reboot.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "Adding the i386 architecture for 32-bit Wine"
    # wine32:i386 is then surely missing, so install-deps.sh fetches the
    # package lists anew.
    $sudo dpkg --add-architecture i386
fi
scripts/install-deps.sh wine32:i386 qemu-user

# The 32-bit dynamic loader (part of wine32's dependencies) runs when the
# kernel, or an emulator registered for it, can start i386 programs.
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then exit 0; fi

binfmt=/proc/sys/fs/binfmt_misc
echo "This kernel cannot start 32-bit x86 programs: registering qemu-i386 for them"
if [ ! -e "$binfmt/register" ]; then
    $sudo mount -t binfmt_misc binfmt_misc "$binfmt"
fi
# i386 ELF executables and shared objects; F opens the emulator now, so it
# works inside any mount namespace later.
if [ ! -e "$binfmt/qemu-i386" ]; then
    echo ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' |
        $sudo tee "$binfmt/register" >/dev/null
fi
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    echo "scripts/wine32.sh: 32-bit x86 programs still cannot start; 32-bit Wine will not run" >&2
    exit 1
fi
