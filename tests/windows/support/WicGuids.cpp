// WIC's GUIDs, defined from its header as mingw-w64's libwindowscodecs
// defines them: Zig's mingw-w64 for ARM64 has no such library. Linked into
// the ARM64 programs only.
#define INITGUID
#include <windows.h>
#include <wincodec.h>
