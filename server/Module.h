#pragma once
// Module-wide lifetime count: outstanding references on every object of the
// module plus server locks. The module may unload only when it is zero.
#include <atomic>
#include <cstdint>

extern std::atomic<int32_t> g_moduleRefCount;

inline void ModuleAddRef() {
    g_moduleRefCount.fetch_add(1);
}

inline void ModuleRelease() {
    g_moduleRefCount.fetch_sub(1);
}
