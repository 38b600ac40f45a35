#!/bin/sh
# Zig's clang and tools for ARM64 Windows, taking the flags the tree gives
# mingw-w64's GCC (see cmake/zig-aarch64-windows.cmake, which makes one
# wrapper per tool around this script).
# Usage: zig-windows-arm64.sh ZIG cc|c++|ar|ranlib ARG...
zig=$1 tool=$2
shift 2
case $tool in
    ar | ranlib) exec "$zig" "$tool" "$@" ;;
esac
# GCC's runtime is linked in statically by default here, and lld places the
# DLL at its default base already. A DLL goes without zig's libc++: linked
# in, its unwinder's symbols land in the DLL's export table; the DLL code
# uses none of the C++ library anyway.
# -municode (wmain) is missing too: zig-wmain.c supplies the entry point.
shared=""
for arg; do
    shift
    case $arg in
        -static-libgcc | -static-libstdc++ | -Wl,--disable-auto-image-base) ;;
        -shared) shared=1; set -- "$@" "$arg" ;;
        -municode) set -- "$@" "$(dirname "$0")/zig-wmain.c" ;;
        *) set -- "$@" "$arg" ;;
    esac
done
[ -n "$shared" ] && set -- "$@" -nostdlib++
exec "$zig" "$tool" -target aarch64-windows-gnu "$@"
