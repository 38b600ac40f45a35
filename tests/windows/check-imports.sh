#!/bin/sh
# Fails unless every DLL that the program imports is part of Windows: a
# statically linked program carries its C++ runtime, zlib and libpng inside.
# Usage: check-imports.sh OBJDUMP PROGRAM
set -eu
objdump=$1 program=$2
imports=$("$objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$imports" ] || { echo "$program: no imports found" >&2; exit 1; }
echo "$program imports: $(echo "$imports" | paste -sd ' ')"
status=0
for dll in $imports; do
    case $(echo "$dll" | tr '[:upper:]' '[:lower:]') in
    kernel32.dll | msvcrt.dll | user32.dll | gdi32.dll | advapi32.dll | shell32.dll | ole32.dll | oleaut32.dll | \
        ws2_32.dll | bcrypt.dll | ntdll.dll | api-ms-win-*.dll) ;;
    *) echo "$program: imports $dll, which Windows does not have" >&2; status=1 ;;
    esac
done
exit $status
