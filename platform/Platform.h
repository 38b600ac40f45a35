#pragma once
// The few kernel operations the handler needs, with the exact arguments it
// relies on.
#include <windows.h>

// A block from `heap`, not zeroed, or null when memory is short.
void* HeapAllocChecked(HANDLE heap, SIZE_T byteCount);

// Read access, sharing read and delete, existing files only. Null on failure
// (never INVALID_HANDLE_VALUE), so callers test one value.
HANDLE OpenFileForRead(const wchar_t* path);

// A read-only view of the whole file, or null. The mapping handle is closed
// before returning; the view stays valid until UnmapViewOfFile.
const void* MapWholeFile(HANDLE file);
