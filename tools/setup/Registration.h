#pragma once
// What TimThumbnailSetup writes, removes and reports, for one registry scope.
#include "Guids.h"

#include <windows.h>

#include <string>
#include <vector>

enum class Scope { User, Machine };

// The two builds of the handler. A process reads the class from the registry
// view of its own bitness; the .tim entries are shared by both views.
struct HandlerBuild {
    const wchar_t* dllName;
    REGSAM view;
    const wchar_t* viewName;  // said after the keys of the 32-bit view only
};
inline constexpr HandlerBuild kBuild64 = {TIM_DLL_NAME_64, KEY_WOW64_64KEY, L""};
inline constexpr HandlerBuild kBuild32 = {TIM_DLL_NAME_32, KEY_WOW64_32KEY, L" (32-bit view)"};
inline constexpr const HandlerBuild* kBuilds[] = {&kBuild64, &kBuild32};

// Outcome of install or uninstall: what changed (for the user to read) or,
// on failure, the registry error and the key it happened on.
struct RegistrationResult {
    LSTATUS status = ERROR_SUCCESS;
    std::wstring failedKey;             // e.g. HKLM\Software\Classes\CLSID\{...}
    std::vector<std::wstring> changes;  // one line per key or value touched
    std::vector<std::wstring> notes;    // things deliberately left alone
};

// "HKCU\Software\Classes" or "HKLM\Software\Classes".
std::wstring ScopeRoot(Scope scope);

// Registers `dllPath` (a full path to the 64-bit DLL) as the class and as
// the .tim thumbnail handler, and `dll32Path`, unless empty, as the same class
// in the 32-bit view. Writes only values that differ from what is there, so
// running it again changes nothing. A thumbnail handler entry naming another
// class is replaced and remembered under the class key, for uninstall to put
// back.
RegistrationResult Install(Scope scope, const std::wstring& dllPath, const std::wstring& dll32Path);

// Removes what Install wrote: the class in both views and every handler
// entry that still names it (putting back an entry it had replaced). Entries
// naming another class, and every other key or value, stay; keys left holding
// nothing are deleted. Nothing registered: succeeds with no changes.
RegistrationResult Uninstall(Scope scope);

// Lines describing what is registered in this scope, in both views, and
// whether the registered DLLs exist.
std::vector<std::wstring> Status(Scope scope, LSTATUS& status);
