#pragma once
// Module-wide lifetime counts: outstanding references on every object of the
// module, and server locks, counted apart so that an unmatched unlock cannot
// cancel a reference. The module may unload only when both are zero.
#include <windows.h>

#include <atomic>
#include <cstdint>

extern std::atomic<int32_t> g_moduleRefCount;
extern std::atomic<int32_t> g_serverLockCount;

inline void ModuleAddRef() {
    g_moduleRefCount.fetch_add(1);
}

inline void ModuleRelease() {
    g_moduleRefCount.fetch_sub(1);
}

// IClassFactory::LockServer for every class object of the module. An unlock
// with no lock outstanding is ignored: the count never goes below zero.
inline HRESULT LockModule(BOOL lock) {
    if (lock) {
        g_serverLockCount.fetch_add(1);
        return S_OK;
    }
    int32_t held = g_serverLockCount.load();
    while (held > 0 && !g_serverLockCount.compare_exchange_weak(held, held - 1)) {
    }
    return S_OK;
}
