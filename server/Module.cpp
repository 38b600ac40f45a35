#include "Module.h"
#include "StackGuard.h"

#include <windows.h>

constinit std::atomic<int32_t> g_moduleRefCount{0};
constinit std::atomic<int32_t> g_serverLockCount{0};

// Unprotected: it changes the guard that its own check would compare against.
extern "C" __attribute__((no_stack_protector)) BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        SeedStackGuard(instance);
        // No thread attach/detach calls: the module keeps no per-thread state.
        DisableThreadLibraryCalls(instance);
        return TRUE;
    }
    // The loader reads the result of process attach only.
    return FALSE;
}

STDAPI DllCanUnloadNow() {
    return g_moduleRefCount.load(std::memory_order_relaxed) != 0 || g_serverLockCount.load(std::memory_order_relaxed) != 0
               ? S_FALSE
               : S_OK;
}
