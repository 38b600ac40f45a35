#include "Module.h"

#include <windows.h>

constinit std::atomic<int32_t> g_moduleRefCount{0};

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        // No thread attach/detach calls: the module keeps no per-thread state.
        DisableThreadLibraryCalls(instance);
        return TRUE;
    }
    // The loader reads the result of process attach only.
    return FALSE;
}

STDAPI DllCanUnloadNow() {
    return g_moduleRefCount.load(std::memory_order_relaxed) != 0 ? S_FALSE : S_OK;
}
