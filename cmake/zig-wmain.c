/* The entry point of a -municode program, which Zig 0.11's mingw-w64 lacks:
   the C runtime's wide arguments handed to wmain. Linked in by
   zig-windows-arm64.sh. */
#include <wchar.h>

int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expandWildcards, int* startInfo);
int wmain(int argc, wchar_t** argv);

int main(void) {
    int argc = 0, startInfo = 0;
    wchar_t** argv = 0;
    wchar_t** env = 0;
    if (__wgetmainargs(&argc, &argv, &env, 0, &startInfo) < 0) return 255;
    return wmain(argc, argv);
}
