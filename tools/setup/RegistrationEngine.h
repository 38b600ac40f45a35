#pragma once
// The one registration engine: writes a table of registry values, records
// which keys it created and which values it replaced, and undoes exactly that.
// The handler and the image codec each describe their keys as a Table.
#include "Registry.h"

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

// Outcome of install or uninstall: what changed (for the user to read) or,
// on failure, the registry error and the key it happened on.
struct RegistrationResult {
    LSTATUS status = ERROR_SUCCESS;
    std::wstring failedKey;             // e.g. HKLM\Software\Classes\CLSID\{...}
    std::vector<std::wstring> changes;  // one line per key or value touched
    std::vector<std::wstring> notes;    // things deliberately left alone
};

namespace regengine {

// A registry view, as a process of either bitness sees it.
struct View {
    REGSAM flag;
    const wchar_t* tag;   // in a record of created keys that names views
    const wchar_t* name;  // said after the keys of the 32-bit view only
};
inline constexpr View kView64 = {KEY_WOW64_64KEY, L"64", L""};
inline constexpr View kView32 = {KEY_WOW64_32KEY, L"32", L" (32-bit view)"};

// One value install writes. `own`: it lies in a key of the table's own and
// goes on uninstall whatever it holds. Otherwise it is shared: install keeps
// what it replaces under `rememberAs` in the record key, and uninstall puts
// that back (or removes the value) only while the value still holds what
// install wrote.
struct Entry {
    const View* view;
    std::wstring path;    // below the table's base key
    const wchar_t* name;  // null: the key's default value
    reg::Value value;     // not present: a key of its own without values
    bool own;
    std::wstring rememberAs = {};  // shared values only
    bool ignoreCase = false;  // a shared string that still matches in any case
};

struct Table {
    HKEY root;
    std::wstring base;   // e.g. Software\Classes; created when missing
    std::wstring shown;  // the base as printed, e.g. HKCU\Software\Classes
    // Below base, in the 64-bit view: holds CreatedKeys and the replaced
    // values. Without it uninstall does nothing when `needsRecord`, and
    // otherwise still removes the table's values.
    std::wstring recordKey;
    bool needsRecord;
    // CreatedKeys names its keys as "64:path" / "32:path"; untagged, it
    // records the 64-bit view's keys only.
    bool tagged;
    // A second replacement keeps the first replaced value (true) or the
    // latest one (false).
    bool keepFirst;
    std::wstring recordPrefix;  // the names of the replaced values start so
    std::wstring removedLine;   // said once the table's own values went
    std::vector<std::pair<const View*, std::wstring>> ownKeys;  // go whenever empty
    std::vector<Entry> entries;
};

// Writes only values that differ, so that a second run changes nothing.
RegistrationResult Install(const Table& table);

// Removes what Install wrote and every key it created that is empty now,
// puts back what it replaced; values changed by someone else since stay.
RegistrationResult Uninstall(const Table& table);

// The text of a value for messages.
std::wstring Describe(const reg::Value& v);

}  // namespace regengine
