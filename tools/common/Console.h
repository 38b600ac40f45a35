#pragma once
// Output for the command-line tools: wide text straight to a console window,
// UTF-8 when redirected to a file or a pipe, so names with any characters
// survive either way.
#include <windows.h>

#include <cwchar>
#include <string>

namespace console {

inline void Write(DWORD stream, const std::wstring& text) {
    HANDLE out = GetStdHandle(stream);
    if (out == nullptr || out == INVALID_HANDLE_VALUE || text.empty()) return;
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text.data(), DWORD(text.size()), &written, nullptr);
        return;
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return;
    std::string utf8(size_t(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), utf8.data(), bytes, nullptr, nullptr);
    WriteFile(out, utf8.data(), DWORD(utf8.size()), &written, nullptr);
}

inline void Out(const std::wstring& line) { Write(STD_OUTPUT_HANDLE, line + L"\n"); }
inline void Err(const std::wstring& line) { Write(STD_ERROR_HANDLE, line + L"\n"); }

// The system's own text for an error code (Win32 or HRESULT), without the
// trailing line break, followed by the code itself.
inline std::wstring ErrorText(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = n ? std::wstring(buffer, n) : std::wstring();
    if (buffer) LocalFree(buffer);
    // Texts written for a file name insert ("%1 is not a valid ...").
    for (size_t at; (at = text.find(L"%1")) != std::wstring::npos;) text.replace(at, 2, L"the file");
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                             text.back() == L'.'))
        text.pop_back();
    wchar_t hex[16];
    std::swprintf(hex, 16, code > 0xFFFF ? L"0x%08X" : L"%u", unsigned(code));
    return text.empty() ? std::wstring(L"error ") + hex : text + L" (" + hex + L")";
}

// The full path of the running program.
inline std::wstring ProgramPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
        if (n == 0) return std::wstring();
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

inline std::wstring FolderOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

}  // namespace console
