#!/usr/bin/env bash
# Sets up the Wine that runs the x64 and x86 Windows programs: Debian's Wine
# 8.0 (wine64 and wine32:i386) inside an amd64 bookworm root of its own
# (scripts/debian-root.sh, cached under build/wine/), so that the host needs
# neither the i386 architecture nor a 32-bit library at the version of its
# amd64 twin. scripts/wine-run.sh runs programs there.
# Where the kernel cannot start 32-bit x86 programs itself (one built without
# IA-32 emulation says "Exec format error"), QEMU's static user-mode emulator
# is registered for them with binfmt_misc (root needed; it lasts until the
# next reboot), with the F flag so that it works inside the root.
# Usage: scripts/wine-env.sh
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
scripts/install-deps.sh debootstrap zstd qemu-user-static

root=build/wine/root
scripts/debian-root.sh amd64 build/wine "wine wine64 wine32" i386

if scripts/root-run.sh "$root" /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    echo "Wine root ready in $(pwd)/$root"
    exit 0
fi
echo "This kernel cannot start 32-bit x86 programs: registering qemu-i386-static for them"
binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/register" ] || $sudo mount -t binfmt_misc binfmt_misc "$binfmt"
# An earlier registration of the dynamic emulator cannot start in the root.
if [ -e "$binfmt/qemu-i386" ] && ! grep -q '^interpreter /usr/bin/qemu-i386-static$' "$binfmt/qemu-i386"; then
    echo -1 | $sudo tee "$binfmt/qemu-i386" >/dev/null
fi
# i386 ELF executables and shared objects.
if [ ! -e "$binfmt/qemu-i386" ]; then
    echo ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' |
        $sudo tee "$binfmt/register" >/dev/null
fi
if ! scripts/root-run.sh "$root" /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    echo "scripts/wine-env.sh: 32-bit x86 programs still cannot start; 32-bit Wine will not run" >&2
    exit 1
fi
echo "Wine root ready in $(pwd)/$root (32-bit programs through qemu-i386)"
