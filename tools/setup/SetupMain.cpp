// TimThumbnailSetup: registers the thumbnail handler DLL that sits beside this
// program with the shell, removes it again, or tells what is registered.
#include "CodecGuids.h"
#include "CodecRegistration.h"
#include "Console.h"
#include "FolderSafety.h"
#include "Registration.h"

#include <shlobj.h>

namespace {

enum ExitCode : int {
    kExitOk = 0,
    kExitBadArguments = 2,
    kExitDllMissing = 3,
    kExitAccessDenied = 4,
    kExitRegistryError = 5,
    kExitUnsafeFolder = 6,
    kExitUnsafePermissions = 7,
};


const wchar_t kUsage[] =
    L"Usage: TimThumbnailSetup install [--machine]\n"
    L"       TimThumbnailSetup uninstall [--machine]\n"
    L"       TimThumbnailSetup status\n"
    L"       TimThumbnailSetup --version\n"
    L"\n"
    L"install    registers TimThumbnailHandler.dll, which must sit beside this program,\n"
    L"           as the thumbnail handler for .tim files, and TimThumbnailHandler32.dll,\n"
    L"           when it sits there too, for the Open and Save dialogs of 32-bit programs\n"
    L"           With --machine it also registers TimImageCodec.dll (and TimImageCodec32.dll),\n"
    L"           when beside it, so that Photos, Paint and every program that reads\n"
    L"           images through WIC open .tim files, and Explorer shows their size\n"
    L"uninstall  removes that registration and nothing else\n"
    L"status     shows what is registered for the current user and for all users\n"
    L"--machine  for all users (HKLM, needs an administrator prompt) instead of the\n"
    L"           current user only (HKCU, no administrator rights needed); install\n"
    L"           --machine needs the folder under Program Files, changeable by\n"
    L"           administrators only\n"
    L"\n"
    L"Exit codes: 0 done (also when there was nothing to change), 2 bad arguments,\n"
    L"3 the DLL is not beside this program, 4 access denied, 5 other registry error,\n"
    L"6 install --machine from a folder outside Program Files, 7 install --machine\n"
    L"of a DLL that an account other than administrators may change.";

std::wstring Who(Scope scope) {
    return scope == Scope::Machine ? L"all users" : L"the current user";
}

int ReportFailure(const RegistrationResult& r, Scope scope, const wchar_t* doing) {
    for (const auto& line : r.changes) console::Out(L"  " + line);
    console::Err(std::wstring(L"TimThumbnailSetup: cannot ") + doing + L" " + r.failedKey + L": " +
                 console::ErrorText(DWORD(r.status)));
    if (!r.changes.empty())
        console::Err(L"The changes listed above were made; run the same command again once the cause is fixed.");
    if (r.status == ERROR_ACCESS_DENIED) {
        console::Err(scope == Scope::Machine
                         ? L"Changing the registration for all users needs administrator rights: run it from an "
                           L"elevated command prompt, or leave out --machine to work for the current user only."
                         : L"The current user may not change this key.");
        return kExitAccessDenied;
    }
    return kExitRegistryError;
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The full, long form of a path, for comparing folders; the path itself when
// it cannot be resolved.
std::wstring Normalised(const std::wstring& path) {
    wchar_t full[32768], longForm[32768];
    const DWORD n = GetFullPathNameW(path.c_str(), 32768, full, nullptr);
    if (n == 0 || n >= 32768) return path;
    const DWORD m = GetLongPathNameW(full, longForm, 32768);
    return m == 0 || m >= 32768 ? std::wstring(full) : std::wstring(longForm);
}

// The 64-bit Program Files folder, full and long, without a trailing
// backslash; empty when unknown.
std::wstring ProgramFilesFolder() {
    wchar_t* known = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_ProgramFiles, 0, nullptr, &known))) return std::wstring();
    std::wstring folder = Normalised(known);
    CoTaskMemFree(known);
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    return folder;
}

// True when `path` lies inside `programFiles`.
bool UnderProgramFiles(const std::wstring& path, std::wstring programFiles) {
    if (programFiles.empty()) return false;
    programFiles += L'\\';  // C:\Program Files Evil\ must not pass for C:\Program Files\.
    const std::wstring file = Normalised(path);
    return file.size() > programFiles.size() &&
           CompareStringOrdinal(file.c_str(), int(programFiles.size()), programFiles.c_str(),
                                int(programFiles.size()), TRUE) == CSTR_EQUAL;
}

std::wstring BesideThisProgram(const HandlerBuild& build) {
    return console::FolderOf(console::ProgramPath()) + L"\\" + build.dllName;
}

// The image codec, for all users only; its result joins the handler's lines.
// Run before the handler's install, so that the .tim keys it creates are
// recorded as its own and go once both are uninstalled.
bool InstallCodecBeside(Scope scope, RegistrationResult& codec, std::vector<std::wstring>& notes) {
    const std::wstring folder = console::FolderOf(console::ProgramPath()) + L"\\";
    const std::wstring dll = folder + Build64For(NativeMachine()).codecDllName;
    if (scope == Scope::User) {
        notes.push_back(L"  Not registered for the current user: the image codec (Photos, Paint and other programs "
                        L"opening .tim files) and the Details pane's image properties. Windows' imaging component "
                        L"and property system read only the registration for all users: run install --machine.");
        return true;
    }
    if (!FileExists(dll)) {
        notes.push_back(L"  " + dll + L" is not beside this program: programs other than Explorer cannot open "
                        L".tim files.");
        return true;
    }
    const std::wstring dll32 = folder + kBuild32.codecDllName;
    codec = InstallCodec(dll, FileExists(dll32) ? dll32 : std::wstring());
    return codec.status == ERROR_SUCCESS;
}

int RunInstall(Scope scope) {
    // The build this system's native processes load goes in the 64-bit view.
    const std::wstring dll = BesideThisProgram(Build64For(NativeMachine()));
    if (!FileExists(dll)) {
        console::Err(L"TimThumbnailSetup: " + dll + L" not found. The handler DLL must sit beside this program; "
                     L"nothing was registered.");
        return kExitDllMissing;
    }
    // Every user's Explorer, administrators' elevated dialogs included, would
    // load the DLL: it must lie where other users cannot replace it.
    const std::wstring programFiles = ProgramFilesFolder();
    if (scope == Scope::Machine && !UnderProgramFiles(dll, programFiles)) {
        console::Err(L"TimThumbnailSetup: refusing to register " + dll + L" for all users: every user's "
                     L"Explorer, administrators' elevated dialogs included, would load a DLL from a folder that "
                     L"users without administrator rights may be able to change. Put the folder under Program "
                     L"Files, e.g. C:\\Program Files\\TIM Thumbnail Handler\\, and run install --machine from "
                     L"there, or install the MSI package with ALLUSERS=1. Nothing was registered.");
        return kExitUnsafeFolder;
    }
    // A folder moved into Program Files keeps the rights it had: its path
    // alone proves nothing. Every DLL to be registered, and each folder up
    // to Program Files, must be changeable by administrators only.
    if (scope == Scope::Machine) {
        const std::wstring folder = console::FolderOf(console::ProgramPath()) + L"\\";
        std::vector<std::wstring> dlls;
        for (const std::wstring& name : {dll, BesideThisProgram(kBuild32),
                                         folder + Build64For(NativeMachine()).codecDllName,
                                         folder + kBuild32.codecDllName}) {
            if (FileExists(name)) dlls.push_back(Normalised(name));
        }
        const safety::Exposure exposure = safety::CheckInstallPaths(dlls, programFiles);
        if (!exposure.path.empty()) {
            console::Err(L"TimThumbnailSetup: refusing to register for all users: " + exposure.path +
                         L" may be changed by " + exposure.account +
                         L", not only by administrators. Nothing was registered.");
            return kExitUnsafePermissions;
        }
    }
    RegistrationResult codec;
    std::vector<std::wstring> codecNotes;
    if (!InstallCodecBeside(scope, codec, codecNotes)) return ReportFailure(codec, scope, L"write");
    const std::wstring dll32 = BesideThisProgram(kBuild32);
    const bool has32 = FileExists(dll32);
    RegistrationResult r = Install(scope, dll, has32 ? dll32 : std::wstring());
    r.changes.insert(r.changes.end(), codec.changes.begin(), codec.changes.end());
    r.notes.insert(r.notes.end(), codec.notes.begin(), codec.notes.end());
    if (r.status != ERROR_SUCCESS) return ReportFailure(r, scope, L"write");
    const std::wstring only64 =
        has32 ? L"" : L"  " + dll32 + L" is not beside this program: 32-bit programs' dialogs are left as they were.";
    if (r.changes.empty()) {
        console::Out(L"Already installed for " + Who(scope) + L" (" + ScopeRoot(scope) + L"), DLL " + dll +
                     (has32 ? L" and " + dll32 : L"") + L": nothing changed.");
    } else {
        console::Out(L"Installed the TIM thumbnail handler for " + Who(scope) + L" (" + ScopeRoot(scope) + L"):");
        for (const auto& line : r.changes) console::Out(L"  " + line);
        SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    }
    for (const auto& line : r.notes) console::Out(L"  " + line);
    if (!only64.empty()) console::Out(only64);
    for (const auto& line : codecNotes) console::Out(line);
    return kExitOk;
}

int RunUninstall(Scope scope) {
    // The handler's keys first: the codec's record then removes the .tim keys
    // it created once they are empty.
    RegistrationResult r = Uninstall(scope);
    if (r.status != ERROR_SUCCESS) return ReportFailure(r, scope, L"remove");
    if (scope == Scope::Machine) {
        const RegistrationResult codec = UninstallCodec();
        r.changes.insert(r.changes.end(), codec.changes.begin(), codec.changes.end());
        r.notes.insert(r.notes.end(), codec.notes.begin(), codec.notes.end());
        if (codec.status != ERROR_SUCCESS) {
            r.status = codec.status;
            r.failedKey = codec.failedKey;
            return ReportFailure(r, scope, L"remove");
        }
    }
    if (r.changes.empty()) {
        console::Out(L"Not installed for " + Who(scope) + L" (" + ScopeRoot(scope) + L"): nothing to remove.");
    } else {
        console::Out(L"Removed the TIM thumbnail handler for " + Who(scope) + L" (" + ScopeRoot(scope) + L"):");
        for (const auto& line : r.changes) console::Out(L"  " + line);
        SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    }
    for (const auto& line : r.notes) console::Out(L"  " + line);
    return kExitOk;
}

int RunStatus() {
    for (const HandlerBuild* build : {&Build64For(NativeMachine()), &kBuild32}) {
        const std::wstring dll = BesideThisProgram(*build);
        console::Out(L"DLL beside this program: " + dll + (FileExists(dll) ? L" (present)" : L" (MISSING)"));
    }
    for (Scope scope : {Scope::User, Scope::Machine}) {
        LSTATUS status = ERROR_SUCCESS;
        const auto lines = Status(scope, status);
        console::Out(L"For " + Who(scope) + L" (" + ScopeRoot(scope) + L"):");
        for (const auto& line : lines) console::Out(L"  " + line);
        if (scope == Scope::Machine) {
            for (const auto& line : CodecStatus()) console::Out(L"  " + line);
        }
        if (status != ERROR_SUCCESS) {
            console::Err(L"TimThumbnailSetup: cannot read " + ScopeRoot(scope) + L": " +
                         console::ErrorText(DWORD(status)));
            return status == ERROR_ACCESS_DENIED ? kExitAccessDenied : kExitRegistryError;
        }
    }
    return kExitOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (argc == 2 && (command == L"--help" || command == L"-h" || command == L"/?")) {
        console::Out(kUsage);
        return kExitOk;
    }
    if (argc == 2 && command == L"--version") {
        console::Out(L"TimThumbnailSetup " TIM_VERSION_TEXT);
        return kExitOk;
    }
    const bool machine = argc == 3 && std::wstring(argv[2]) == L"--machine";
    if (command == L"status" && argc == 2) return RunStatus();
    if ((command == L"install" || command == L"uninstall") && (argc == 2 || machine)) {
        const Scope scope = machine ? Scope::Machine : Scope::User;
        return command == L"install" ? RunInstall(scope) : RunUninstall(scope);
    }
    console::Err(argc < 2 ? std::wstring(L"TimThumbnailSetup: no command given.")
                          : L"TimThumbnailSetup: cannot understand the arguments.");
    console::Err(kUsage);
    return kExitBadArguments;
}
