#pragma once
// What a process holds, counted several ways (the documented call where it
// works, an equivalent measure where Wine leaves it unimplemented): the leak
// rounds of the handler and of the codec compare two snapshots.
#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace wintest {

// Kernel handles of this process as the system's handle table lists them;
// -1 when the query fails.
inline int64_t SystemListedHandles() {
    std::vector<uint8_t> buffer(1 << 20);
    for (;;) {
        ULONG needed = 0;
        const NTSTATUS status = NtQuerySystemInformation(SYSTEM_INFORMATION_CLASS(16),  // SystemHandleInformation
                                                         buffer.data(), ULONG(buffer.size()), &needed);
        if (status == NTSTATUS(0xC0000004L) && buffer.size() < (64u << 20)) {  // STATUS_INFO_LENGTH_MISMATCH
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (status < 0) return -1;
        break;
    }
    const auto* info = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
    int64_t mine = 0;
    for (ULONG i = 0; i < info->Count; ++i) mine += info->Handle[i].OwnerPid == GetCurrentProcessId();
    return mine;
}

// GDI handles still free to this process, found by taking them all (1 x 1
// monochrome bitmaps) and giving them back; a leaked GDI object leaves one
// fewer. -1 when no limit shows up.
inline int64_t FreeGdiHandles() {
    std::vector<HBITMAP> taken;
    taken.reserve(1 << 17);
    while (taken.size() < (1u << 17)) {
        HBITMAP b = CreateBitmap(1, 1, 1, 1, nullptr);
        if (!b) break;
        taken.push_back(b);
    }
    const bool limited = taken.size() < (1u << 17);
    for (HBITMAP b : taken) DeleteObject(b);
    return limited ? int64_t(taken.size()) : -1;
}

struct Snapshot {
    DWORD handleCount = 0;  // GetProcessHandleCount
    int64_t listedHandles = 0;
    DWORD gdiObjects = 0;   // GetGuiResources
    DWORD gdiError = 0;
    SIZE_T privateUsage = 0;
    SIZE_T pagefileUsage = 0;
    int64_t committedPrivate = 0;  // committed MEM_PRIVATE regions
    int64_t mappedViews = 0;
    int64_t heapBusy = 0;  // bytes in use in the process heap
};

inline Snapshot Take() {
    Snapshot s;
    GetProcessHandleCount(GetCurrentProcess(), &s.handleCount);
    s.listedHandles = SystemListedHandles();
    SetLastError(0);
    s.gdiObjects = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    s.gdiError = s.gdiObjects ? 0 : GetLastError();
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                             sizeof memory)) {
        s.privateUsage = memory.PrivateUsage;
        s.pagefileUsage = memory.PagefileUsage;
    }
    MEMORY_BASIC_INFORMATION region;
    for (const char* p = nullptr; VirtualQuery(p, &region, sizeof region) == sizeof region;
         p = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) s.committedPrivate += region.RegionSize;
        if (region.Type == MEM_MAPPED && region.BaseAddress == region.AllocationBase) ++s.mappedViews;
    }
    HANDLE heap = GetProcessHeap();
    PROCESS_HEAP_ENTRY entry = {};
    HeapLock(heap);
    while (HeapWalk(heap, &entry))
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) s.heapBusy += entry.cbData;
    HeapUnlock(heap);
    return s;
}

// The process's private memory now, cheaply enough to take at every call a
// codec makes of a stream, so that a test keeps the peak itself: committed
// private regions (VirtualQuery), which count memory never touched, and
// GetProcessMemoryInfo's PagefileUsage. Wine 8 fills PagefileUsage with the
// anonymous memory in use only, gives the same number as PeakPagefileUsage
// (no peak) and leaves PrivateUsage at 0.
struct PrivateMemory {
    int64_t committed = 0;
    int64_t pagefile = 0;
};

inline PrivateMemory TakePrivateMemory() {
    PrivateMemory m;
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                             sizeof memory))
        m.pagefile = int64_t(memory.PagefileUsage);
    MEMORY_BASIC_INFORMATION region;
    for (const char* p = nullptr; VirtualQuery(p, &region, sizeof region) == sizeof region;
         p = static_cast<const char*>(region.BaseAddress) + region.RegionSize)
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) m.committed += region.RegionSize;
    return m;
}

inline void Print(const char* name, int64_t before, int64_t after) {
    std::printf("[leaks]   %-40s %12lld -> %12lld (%+lld)\n", name, static_cast<long long>(before),
                static_cast<long long>(after), static_cast<long long>(after - before));
}

}  // namespace wintest
