#pragma once
// Runs a program as a child process, as a user would from a prompt, and
// returns its exit code and everything it printed (stdout and stderr, UTF-8).
#include "WinTestSupport.h"

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace wintest {

struct RunResult {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;
};

inline std::string Utf8(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

inline RunResult RunProgram(const std::wstring& program, const std::vector<std::wstring>& args) {
    RunResult result;
    // Arguments here never hold quotes; each is quoted so that spaces survive.
    std::wstring commandLine = L"\"" + program + L"\"";
    for (const auto& arg : args) commandLine += L" \"" + arg + L"\"";

    wchar_t folder[MAX_PATH], name[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"out", 0, name);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE output = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (output == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot create the output file";
        return result;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION process = {};
    // Wine on a loaded machine now and then fails to start a process at all
    // (ERROR_INTERNAL_ERROR, nothing run): that start is tried once more.
    BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
    if (!started && GetLastError() == ERROR_INTERNAL_ERROR) {
        Sleep(500);
        started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &process);
    }
    if (!started) {
        ADD_FAILURE() << "cannot start " << Utf8(program) << ": error " << GetLastError();
        CloseHandle(output);
        return result;
    }
    if (WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << Utf8(commandLine) << " did not finish";
        TerminateProcess(process.hProcess, 0xFFFFFFFF);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    LARGE_INTEGER size = {};
    GetFileSizeEx(output, &size);
    result.output.resize(size_t(size.QuadPart));
    SetFilePointer(output, 0, nullptr, FILE_BEGIN);
    DWORD read = 0;
    if (!result.output.empty()) ReadFile(output, result.output.data(), DWORD(result.output.size()), &read, nullptr);
    result.output.resize(read);
    CloseHandle(output);
    return result;
}

// Copies `source` into `dir` under its own name, for removal with the folder.
inline std::wstring CopyInto(TempDir& dir, const std::wstring& source) {
    const std::wstring name = source.substr(source.find_last_of(L"\\/") + 1);
    const std::wstring target = dir.PathOf(name.c_str());
    EXPECT_TRUE(CopyFileW(source.c_str(), target.c_str(), FALSE)) << Utf8(source);
    dir.Track(target);
    return target;
}

// The 64-bit Program Files folder, with a closing backslash: the one place
// TimThumbnailSetup install --machine registers a DLL from.
inline std::wstring ProgramFilesFolder() {
    wchar_t* known = nullptr;
    EXPECT_EQ(SHGetKnownFolderPath(FOLDERID_ProgramFiles, 0, nullptr, &known), S_OK);
    const std::wstring folder = known ? std::wstring(known) + L"\\" : std::wstring();
    CoTaskMemFree(known);
    return folder;
}

}  // namespace wintest
