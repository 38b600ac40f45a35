#pragma once
// What TimThumbnailSetup writes, removes and reports, for one registry scope.
#include <windows.h>

#include <string>
#include <vector>

enum class Scope { User, Machine };

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

// Registers `dllPath` (a full path) as the class and as the .tim thumbnail
// handler. Writes only values that differ from what is there, so running it
// again changes nothing. A thumbnail handler entry naming another class is
// replaced and remembered under the class key, for uninstall to put back.
RegistrationResult Install(Scope scope, const std::wstring& dllPath);

// Removes what Install wrote: the class and every handler entry that still
// names it (putting back an entry it had replaced). Entries naming another
// class, and every other key or value, stay; keys left holding nothing are
// deleted. Nothing registered: succeeds with no changes.
RegistrationResult Uninstall(Scope scope);

// Lines describing what is registered in this scope, and whether the
// registered DLL exists.
std::vector<std::wstring> Status(Scope scope, LSTATUS& status);
