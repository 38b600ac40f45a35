#pragma once
// Shared pieces of the Windows-side tests: owning COM references (WRL's ComPtr), a scratch
// folder for real files, and a provider straight from the module's class object.
#include <windows.h>
#include <unknwn.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace wintest {

using Microsoft::WRL::ComPtr;

// Takes over the reference a call handed out through a void**. Not Attach:
// mingw-w64's Attach adds a reference of its own, unlike Microsoft's.
template <class T>
ComPtr<T> Adopt(void* p) {
    ComPtr<T> owner;
    *owner.GetAddressOf() = static_cast<T*>(p);
    return owner;
}

// A fresh folder under the temporary directory, removed with what it holds.
class TempDir {
public:
    TempDir() : TempDir(TempPath()) {}
    // Under `base` (ending in a backslash), named `prefix` and a unique number.
    explicit TempDir(const std::wstring& base, const std::wstring& prefix = L"timthumb-test-") {
        for (unsigned n = GetTickCount();; ++n) {
            path_ = base + prefix + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(n);
            if (CreateDirectoryW(path_.c_str(), nullptr)) break;
            if (GetLastError() != ERROR_ALREADY_EXISTS) {
                ADD_FAILURE() << "cannot create a folder under the given base";
                break;
            }
        }
    }
    ~TempDir() {
        for (const auto& f : files_) DeleteFileW(f.c_str());
        RemoveDirectoryW(path_.c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring PathOf(const wchar_t* name) const { return path_ + L"\\" + name; }

    std::wstring Write(const wchar_t* name, const std::vector<uint8_t>& bytes) {
        const std::wstring file = PathOf(name);
        HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        if (!bytes.empty()) {
            EXPECT_TRUE(WriteFile(h, bytes.data(), DWORD(bytes.size()), &written, nullptr));
        }
        CloseHandle(h);
        files_.push_back(file);
        return file;
    }

    // Remembers a file made some other way so that it is removed too.
    void Track(const std::wstring& file) { files_.push_back(file); }

private:
    static std::wstring TempPath() {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        return base;
    }
    std::wstring path_;
    std::vector<std::wstring> files_;
};

// The pixels of a 32-bit DIB section and its header, read back with GetObject.
struct DibContents {
    LONG width = 0;
    LONG height = 0;
    WORD bitCount = 0;
    const void* bits = nullptr;
    std::vector<uint32_t> pixels;
};

inline DibContents ReadDib(HBITMAP bitmap) {
    DibContents out;
    DIBSECTION dib = {};
    if (GetObjectW(bitmap, sizeof dib, &dib) != int(sizeof dib)) {
        ADD_FAILURE() << "GetObject did not return a DIBSECTION";
        return out;
    }
    out.width = dib.dsBmih.biWidth;
    out.height = dib.dsBmih.biHeight;
    out.bitCount = dib.dsBmih.biBitCount;
    out.bits = dib.dsBm.bmBits;
    const auto* p = static_cast<const uint32_t*>(dib.dsBm.bmBits);
    out.pixels.assign(p, p + size_t(out.width) * size_t(out.height < 0 ? -out.height : out.height));
    return out;
}

// This test program's own path.
inline std::wstring ProgramPath() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

// The folder holding this test program; the DLL is built beside it.
inline std::wstring ProgramFolder() {
    const std::wstring s = ProgramPath();
    return s.substr(0, s.find_last_of(L"\\/"));
}

// A whole file's bytes; empty when it cannot be read.
inline std::vector<uint8_t> ReadAll(const std::wstring& path) {
    std::vector<uint8_t> bytes;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return bytes;
    LARGE_INTEGER size{};
    GetFileSizeEx(h, &size);
    bytes.resize(size_t(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty()) ReadFile(h, bytes.data(), DWORD(bytes.size()), &read, nullptr);
    bytes.resize(read);
    CloseHandle(h);
    return bytes;
}

}  // namespace wintest
