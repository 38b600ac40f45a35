#pragma once
// The one kind of exception each body of GuardedViewRead ends the read for.
#include <windows.h>

#include <cstdint>

// A read fault on an address in [viewStart, viewStart + viewSize), seen by a
// handler during dispatch (not while unwinding). Windows raises an in-page
// error when the file's pages cannot be read; Wine an access violation. Both
// carry the access kind (0 for a read) and the faulting data address.
inline bool IsReadFaultInView(const EXCEPTION_RECORD* record, uintptr_t viewStart, uintptr_t viewSize) {
    if (record->ExceptionFlags & EXCEPTION_UNWIND) return false;
    if (record->ExceptionCode != EXCEPTION_IN_PAGE_ERROR && record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION)
        return false;
    if (record->NumberParameters < 2 || record->ExceptionInformation[0] != 0) return false;
    return record->ExceptionInformation[1] - viewStart < viewSize;
}
