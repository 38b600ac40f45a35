// What -fstack-protector-strong and _FORTIFY_SOURCE call, defined here instead
// of taken from GCC's libssp: libssp seeds its guard through advapi32's
// CryptGenRandom, an import the DLL must not add, and reports a failure by
// writing to a terminal. This file is built without the protector itself.
#include "StackGuard.h"

#include <intrin.h>

#include <cstdint>
#include <cstring>

namespace {

// Ends the process at once, as the system's own checks do: no handler, no
// unwinding, no reporting through the corrupted stack (int 0x29, __fastfail).
[[noreturn]] void FailFast(unsigned code) {
#if defined(__aarch64__)
    // ARM64's form: the code in x0, then brk #0xF003.
    register uint64_t x0 asm("x0") = code;
    asm volatile("brk #0xF003" : : "r"(x0) : "memory");
#else
    asm volatile("int $0x29" : : "c"(code) : "memory");
#endif
    __builtin_unreachable();
}

// A fast-running counter: the time stamp counter, or ARM64's virtual count,
// which user code may read.
uint64_t CycleCount() {
#if defined(__aarch64__)
    uint64_t count;
    asm volatile("mrs %0, cntvct_el0" : "=r"(count));
    return count;
#else
    return __rdtsc();
#endif
}

}  // namespace

extern "C" {

// Not zero before seeding, in case a protected function runs first.
uintptr_t __stack_chk_guard = uintptr_t(0x2B992DDFA232D4E5ull);

[[noreturn]] void __stack_chk_fail() {
    FailFast(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE);
}

// _FORTIFY_SOURCE: a copy larger than its known destination.
[[noreturn]] void __chk_fail() {
    FailFast(FAST_FAIL_RANGE_CHECK_FAILURE);
}

// The checked copies _FORTIFY_SOURCE turns memcpy, memmove and memset into
// when a destination's size is known but the count is not.
void* __memcpy_chk(void* destination, const void* source, size_t count, size_t destinationSize) {
    if (count > destinationSize) __chk_fail();
    return memcpy(destination, source, count);
}

void* __memmove_chk(void* destination, const void* source, size_t count, size_t destinationSize) {
    if (count > destinationSize) __chk_fail();
    return memmove(destination, source, count);
}

void* __memset_chk(void* destination, int value, size_t count, size_t destinationSize) {
    if (count > destinationSize) __chk_fail();
    return memset(destination, value, count);
}

}  // extern "C"

void SeedStackGuard(HINSTANCE module) {
    // Hard to predict from outside the process without a cryptographic
    // source: time, counters, ids, and two addresses that ASLR moves.
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    uint64_t x = uint64_t(counter.QuadPart) ^ (uint64_t(now.dwHighDateTime) << 32 | now.dwLowDateTime) ^
                 (uint64_t(GetCurrentProcessId()) << 32 | GetCurrentThreadId()) ^ CycleCount() ^
                 uint64_t(uintptr_t(&counter)) ^ (uint64_t(uintptr_t(module)) << 16);
    // One round of a 64-bit mixer, so that every input bit reaches every bit.
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    __stack_chk_guard = uintptr_t(x ? x : 0x2B992DDFA232D4E5ull);
}
