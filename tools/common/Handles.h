#pragma once
// Owning holders for the tools' kernel and GDI handles: each is closed by the
// holder's destructor, on every path out of the scope that opened it.
#include <windows.h>

#include <memory>
#include <type_traits>

namespace handles {

struct CloseFile { void operator()(HANDLE h) const { CloseHandle(h); } };
struct UnmapView { void operator()(const void* view) const { UnmapViewOfFile(view); } };
struct DeleteGdiObject { void operator()(HBITMAP b) const { DeleteObject(b); } };

// A file handle; OpenFileForRead gives null, never INVALID_HANDLE_VALUE, on failure.
using File = std::unique_ptr<std::remove_pointer_t<HANDLE>, CloseFile>;
// A mapped view of a file.
using View = std::unique_ptr<const void, UnmapView>;
using Bitmap = std::unique_ptr<std::remove_pointer_t<HBITMAP>, DeleteGdiObject>;

}  // namespace handles
