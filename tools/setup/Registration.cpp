#include "Registration.h"

#include "Guids.h"
#include "Registry.h"

#include <algorithm>

namespace {

const wchar_t kClasses[] = L"Software\\Classes";
const wchar_t kClassKey[] = L"CLSID\\" TIM_CLSID_STRING;
const wchar_t kServerKey[] = L"CLSID\\" TIM_CLSID_STRING L"\\InprocServer32";
const wchar_t kClassName[] = L"TIM Thumbnail Handler";
// The shell looks for a file type's thumbnail handler under this name: the
// interface identifier of IThumbnailProvider.
const wchar_t kThumbnailSlot[] = L"ShellEx\\{e357fccd-a995-4576-b01f-234630154e96}";
// Without it Explorer does not use a handler that initialises from a file path.
const wchar_t kDisableIsolation[] = L"DisableProcessIsolation";
const wchar_t kThreadingModel[] = L"ThreadingModel";
// Under the class key: every key install created (paths below Software\Classes),
// so that uninstall deletes those and no key that was there before.
const wchar_t kCreatedKeys[] = L"CreatedKeys";

// Both places, so that the handler still applies when another program owns
// the .tim association. `rememberAs` is the value under the class key that
// keeps an entry install replaced, for uninstall to put back.
struct Association {
    const wchar_t* key;
    const wchar_t* rememberAs;
};
const Association kAssociations[] = {
    {L".tim", L"ReplacedThumbnailHandler .tim"},
    {L"SystemFileAssociations\\.tim", L"ReplacedThumbnailHandler SystemFileAssociations\\.tim"},
};

HKEY RootKey(Scope scope) {
    return scope == Scope::Machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

std::wstring SlotPath(const Association& a) {
    return std::wstring(a.key) + L"\\" + kThumbnailSlot;
}

bool NamesThisHandler(const reg::Value& v) {
    return v.present && reg::SameTextIgnoringCase(reg::Text(v), TIM_CLSID_STRING);
}

std::wstring Describe(const reg::Value& v) {
    if (v.type != REG_SZ && v.type != REG_EXPAND_SZ) return L"a value of type " + std::to_wstring(v.type);
    const std::wstring text = reg::Text(v);
    return text.empty() ? std::wstring(L"an empty value") : text;
}

// Records a failure; true when `status` is success.
bool Check(RegistrationResult& r, LSTATUS status, Scope scope, const std::wstring& key,
           const HandlerBuild& build = kBuild64) {
    if (status == ERROR_SUCCESS) return true;
    r.status = status;
    r.failedKey = ScopeRoot(scope) + (key.empty() ? L"" : L"\\" + key) + build.viewName;
    return false;
}

// Writes `want` unless the value already holds exactly that.
LSTATUS Ensure(HKEY key, const wchar_t* name, const reg::Value& want, bool& changed) {
    reg::Value current;
    LSTATUS status = reg::Read(key, name, current);
    if (status != ERROR_SUCCESS) return status;
    if (current == want) return ERROR_SUCCESS;
    changed = true;
    return reg::Write(key, name, want);
}

LSTATUS DeleteValue(HKEY key, const wchar_t* name) {
    const LSTATUS status = RegDeleteValueW(key, name);
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

// Opens `path` below `classes`, creating it one level at a time so that each
// key this call creates (and only those) is added to `created`.
LSTATUS CreatePath(HKEY classes, const std::wstring& path, reg::Key& key, std::vector<std::wstring>& created) {
    for (size_t end = 0; end != std::wstring::npos;) {
        end = path.find(L'\\', end + 1);
        const std::wstring level = path.substr(0, end);
        DWORD disposition = 0;
        const LSTATUS status = key.Create(classes, level, KEY_READ | KEY_WRITE, &disposition);
        if (status != ERROR_SUCCESS) return status;
        if (disposition == REG_CREATED_NEW_KEY) created.push_back(level);
    }
    return ERROR_SUCCESS;
}

// The record of created keys; empty when absent (a registration made before
// install kept a record) or not a list.
std::vector<std::wstring> ReadCreatedKeys(HKEY cls) {
    reg::Value v;
    if (reg::Read(cls, kCreatedKeys, v) != ERROR_SUCCESS || !v.present || v.type != REG_MULTI_SZ) return {};
    return reg::Strings(v);
}

// Deepest first, so that a key's subkeys go before it.
void SortDeepestFirst(std::vector<std::wstring>& paths) {
    const auto depth = [](const std::wstring& p) { return std::count(p.begin(), p.end(), L'\\'); };
    std::stable_sort(paths.begin(), paths.end(),
                     [&](const std::wstring& a, const std::wstring& b) { return depth(a) > depth(b); });
}

// Deletes the key at `path` when it holds neither values nor subkeys.
LSTATUS DeleteIfEmpty(HKEY classes, const std::wstring& path) {
    {
        reg::Key key;
        const LSTATUS status = key.Open(classes, path, KEY_READ);
        if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
        if (status != ERROR_SUCCESS) return status;
        if (!reg::IsEmpty(key.get())) return ERROR_SUCCESS;
    }
    const LSTATUS status = RegDeleteKeyW(classes, path.c_str());
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Whether this scope's classes have a 32-bit view of their own, told by a
// volatile key made under the 64-bit class key and looked for in the 32-bit
// view. Windows keeps one in both scopes; Wine only for all users, and there
// the per-user 32-bit view is the 64-bit key itself, which must keep naming
// the 64-bit DLL.
bool HasOwn32BitView(RegistrationResult& r, Scope scope, bool& own) {
    const std::wstring probe = std::wstring(kClassKey) + L"\\ViewProbe";
    HKEY made = nullptr;
    const std::wstring path = std::wstring(kClasses) + L"\\" + probe;
    if (!Check(r, RegCreateKeyExW(RootKey(scope), path.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                                  KEY_READ | KEY_WOW64_64KEY, nullptr, &made, nullptr),
               scope, probe))
        return false;
    RegCloseKey(made);
    reg::Key seen;
    own = seen.Open(RootKey(scope), path, KEY_READ | KEY_WOW64_32KEY) == ERROR_FILE_NOT_FOUND;
    seen = reg::Key();
    return Check(r, RegDeleteKeyExW(RootKey(scope), path.c_str(), KEY_WOW64_64KEY, 0), scope, probe);
}

// The class key and its server key for the 32-bit build, in its view. The
// 64-bit build's keys, the shared entries and the record of created keys are
// written by Install itself.
bool InstallClass(RegistrationResult& r, Scope scope, const HandlerBuild& build, const std::wstring& dllPath) {
    const REGSAM access = KEY_READ | KEY_WRITE | build.view;
    reg::Key classes, cls, server;
    bool changed = false;
    if (!Check(r, classes.Create(RootKey(scope), kClasses, access), scope, L"", build) ||
        !Check(r, cls.Create(classes.get(), kClassKey, access), scope, kClassKey, build) ||
        !Check(r, Ensure(cls.get(), nullptr, reg::String(kClassName), changed), scope, kClassKey, build) ||
        !Check(r, Ensure(cls.get(), kDisableIsolation, reg::Dword(1), changed), scope, kClassKey, build))
        return false;
    if (changed) r.changes.push_back(L"wrote " + std::wstring(kClassKey) + build.viewName + L" (" + kClassName +
                                     L", " + kDisableIsolation + L" 1)");
    changed = false;
    if (!Check(r, server.Create(classes.get(), kServerKey, access), scope, kServerKey, build) ||
        !Check(r, Ensure(server.get(), nullptr, reg::String(dllPath), changed), scope, kServerKey, build) ||
        !Check(r, Ensure(server.get(), kThreadingModel, reg::String(L"Apartment"), changed), scope, kServerKey,
               build))
        return false;
    if (changed) r.changes.push_back(L"wrote " + std::wstring(kServerKey) + build.viewName + L" = " + dllPath +
                                     L" (" + kThreadingModel + L" Apartment)");
    return true;
}

// The 32-bit build's class key and server key, in its view: the values
// install wrote, then the two keys, which name this handler alone, when empty.
bool UninstallClass32(RegistrationResult& r, Scope scope) {
    const HandlerBuild& build = kBuild32;
    const REGSAM access = KEY_READ | KEY_WRITE | build.view;
    reg::Key classes;
    LSTATUS status = classes.Open(RootKey(scope), kClasses, access);
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (!Check(r, status, scope, L"", build)) return false;
    {
        reg::Key cls;
        status = cls.Open(classes.get(), kClassKey, access);
        if (status == ERROR_FILE_NOT_FOUND) return true;
        if (!Check(r, status, scope, kClassKey, build)) return false;
        reg::Key server;
        status = server.Open(classes.get(), kServerKey, access);
        if (status != ERROR_FILE_NOT_FOUND) {
            if (!Check(r, status, scope, kServerKey, build) ||
                !Check(r, DeleteValue(server.get(), nullptr), scope, kServerKey, build) ||
                !Check(r, DeleteValue(server.get(), kThreadingModel), scope, kServerKey, build))
                return false;
        }
        for (const wchar_t* name : {static_cast<const wchar_t*>(nullptr), kDisableIsolation}) {
            if (!Check(r, DeleteValue(cls.get(), name), scope, kClassKey, build)) return false;
        }
    }
    for (const wchar_t* own : {kServerKey, kClassKey}) {
        reg::Key key;
        status = key.Open(classes.get(), own, KEY_READ | build.view);
        if (status == ERROR_FILE_NOT_FOUND) continue;
        if (!Check(r, status, scope, own, build)) return false;
        if (!reg::IsEmpty(key.get())) continue;
        key = reg::Key();
        status = RegDeleteKeyExW(classes.get(), own, build.view, 0);
        if (status != ERROR_FILE_NOT_FOUND && !Check(r, status, scope, own, build)) return false;
    }
    r.changes.push_back(L"removed " + std::wstring(kClassKey) + build.viewName);
    return true;
}

// Whether the 64-bit view's server key holds the very value `path` that the
// 32-bit view showed: then the two views are one key here.
bool SameAs64BitView(Scope scope, const reg::Value& path) {
    reg::Key server;
    reg::Value path64;
    return server.Open(RootKey(scope), std::wstring(kClasses) + L"\\" + kServerKey, KEY_READ | KEY_WOW64_64KEY) ==
               ERROR_SUCCESS &&
           reg::Read(server.get(), nullptr, path64) == ERROR_SUCCESS && path64.present && path64 == path;
}

// The lines for one build's class key, from that build's view.
LSTATUS ClassStatus(Scope scope, const HandlerBuild& build, std::vector<std::wstring>& lines) {
    const std::wstring serverKey = std::wstring(kServerKey) + build.viewName;
    reg::Key classes, server;
    LSTATUS status = classes.Open(RootKey(scope), kClasses, KEY_READ | build.view);
    if (status == ERROR_SUCCESS) status = server.Open(classes.get(), kServerKey, KEY_READ | build.view);
    if (status == ERROR_FILE_NOT_FOUND) {
        lines.push_back(serverKey + L": not registered");
        return ERROR_SUCCESS;
    }
    if (status != ERROR_SUCCESS) return status;
    reg::Value path, model, isolation;
    reg::Read(server.get(), nullptr, path);
    reg::Read(server.get(), kThreadingModel, model);
    reg::Key cls;
    if (cls.Open(classes.get(), kClassKey, KEY_READ | build.view) == ERROR_SUCCESS)
        reg::Read(cls.get(), kDisableIsolation, isolation);
    std::wstring dll = reg::Text(path);
    if (path.type == REG_EXPAND_SZ) {
        wchar_t expanded[32768];
        if (ExpandEnvironmentStringsW(dll.c_str(), expanded, 32768)) dll = expanded;
    }
    if (build.view == KEY_WOW64_32KEY && SameAs64BitView(scope, path)) {
        lines.push_back(serverKey + L": the same key as the 64-bit view on this system");
        return ERROR_SUCCESS;
    }
    if (dll.empty())
        lines.push_back(serverKey + L": no DLL path");
    else
        lines.push_back(serverKey + L" = " + dll + (FileExists(dll) ? L" (file exists)" : L" (FILE MISSING)"));
    lines.push_back(std::wstring(L"  ") + kThreadingModel + L": " +
                    (model.present ? Describe(model) : std::wstring(L"not set")));
    const bool isolationOff = isolation.present && isolation.type == REG_DWORD && isolation.data.size() == 4 &&
                              *reinterpret_cast<const DWORD*>(isolation.data.data()) == 1;
    lines.push_back(std::wstring(L"  ") + kDisableIsolation + L": " + (isolationOff ? L"1" : L"not set"));
    return ERROR_SUCCESS;
}

}  // namespace

std::wstring ScopeRoot(Scope scope) {
    return std::wstring(scope == Scope::Machine ? L"HKLM\\" : L"HKCU\\") + kClasses;
}

RegistrationResult Install(Scope scope, const std::wstring& dllPath, const std::wstring& dll32Path) {
    RegistrationResult r;
    reg::Key classes;
    if (!Check(r, classes.Create(RootKey(scope), kClasses, KEY_READ | KEY_WRITE), scope, L"")) return r;

    std::vector<std::wstring> created;
    reg::Key cls, server;
    bool changed = false;
    if (!Check(r, CreatePath(classes.get(), kClassKey, cls, created), scope, kClassKey) ||
        !Check(r, Ensure(cls.get(), nullptr, reg::String(kClassName), changed), scope, kClassKey) ||
        !Check(r, Ensure(cls.get(), kDisableIsolation, reg::Dword(1), changed), scope, kClassKey))
        return r;
    if (changed) r.changes.push_back(L"wrote " + std::wstring(kClassKey) + L" (" + kClassName + L", " +
                                     kDisableIsolation + L" 1)");
    changed = false;
    if (!Check(r, CreatePath(classes.get(), kServerKey, server, created), scope, kServerKey) ||
        !Check(r, Ensure(server.get(), nullptr, reg::String(dllPath), changed), scope, kServerKey) ||
        !Check(r, Ensure(server.get(), kThreadingModel, reg::String(L"Apartment"), changed), scope, kServerKey))
        return r;
    if (changed) r.changes.push_back(L"wrote " + std::wstring(kServerKey) + L" = " + dllPath + L" (" +
                                     kThreadingModel + L" Apartment)");

    for (const Association& a : kAssociations) {
        const std::wstring path = SlotPath(a);
        reg::Key slot;
        reg::Value current;
        if (!Check(r, CreatePath(classes.get(), path, slot, created), scope, path) ||
            !Check(r, reg::Read(slot.get(), nullptr, current), scope, path))
            return r;
        if (NamesThisHandler(current)) continue;
        std::wstring note;
        if (current.present) {
            if (!Check(r, reg::Write(cls.get(), a.rememberAs, current), scope, kClassKey)) return r;
            note = L" (replacing " + Describe(current) + L"; uninstall puts it back)";
        }
        if (!Check(r, reg::Write(slot.get(), nullptr, reg::String(TIM_CLSID_STRING)), scope, path)) return r;
        r.changes.push_back(L"wrote " + path + L" = " TIM_CLSID_STRING + note);
    }

    // Added to what an earlier install recorded: running install again must
    // not forget keys the first run made.
    std::vector<std::wstring> record = ReadCreatedKeys(cls.get());
    for (const auto& path : created) {
        if (std::find(record.begin(), record.end(), path) == record.end()) record.push_back(path);
    }
    bool recordChanged = false;
    if (!Check(r, Ensure(cls.get(), kCreatedKeys, reg::MultiString(record), recordChanged), scope, kClassKey))
        return r;

    if (dll32Path.empty()) return r;
    bool own = false;
    if (!HasOwn32BitView(r, scope, own)) return r;
    if (!own) {
        r.notes.push_back(L"the 32-bit DLL is not registered: " + ScopeRoot(scope) +
                          L" has no 32-bit view of its own on this system");
        return r;
    }
    InstallClass(r, scope, kBuild32, dll32Path);
    return r;
}

USHORT NativeMachine() {
    // Looked up, not imported, so that the tool still starts on older
    // Windows.
    using IsWow64Process2Fn = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
    const auto isWow64Process2 = reinterpret_cast<IsWow64Process2Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2")));
    USHORT process = 0, native = 0;
    if (!isWow64Process2 || !isWow64Process2(GetCurrentProcess(), &process, &native)) return IMAGE_FILE_MACHINE_AMD64;
    return native;
}

RegistrationResult Uninstall(Scope scope) {
    RegistrationResult r;
    reg::Key classes;
    LSTATUS status = classes.Open(RootKey(scope), kClasses, KEY_READ | KEY_WRITE);
    if (status == ERROR_FILE_NOT_FOUND) return r;
    if (!Check(r, status, scope, L"")) return r;

    // The class key, if present, holds the entries install replaced and the
    // keys it created.
    reg::Key cls;
    status = cls.Open(classes.get(), kClassKey, KEY_READ | KEY_WRITE);
    if (status != ERROR_FILE_NOT_FOUND && !Check(r, status, scope, kClassKey)) return r;
    // Without a record (a registration by an older TimThumbnailSetup) only the
    // class's own keys go: any other key may have been there before install.
    std::vector<std::wstring> prune = cls.get() ? ReadCreatedKeys(cls.get()) : std::vector<std::wstring>();

    for (const Association& a : kAssociations) {
        const std::wstring path = SlotPath(a);
        reg::Key slot;
        status = slot.Open(classes.get(), path, KEY_READ | KEY_WRITE);
        if (status == ERROR_FILE_NOT_FOUND) continue;
        reg::Value current, replaced;
        if (!Check(r, status, scope, path) || !Check(r, reg::Read(slot.get(), nullptr, current), scope, path))
            return r;
        if (!NamesThisHandler(current)) {
            if (current.present) r.notes.push_back(L"kept " + path + L": it names another handler, " +
                                                   Describe(current));
            continue;
        }
        if (cls.get() && !Check(r, reg::Read(cls.get(), a.rememberAs, replaced), scope, kClassKey)) return r;
        if (replaced.present) {
            if (!Check(r, reg::Write(slot.get(), nullptr, replaced), scope, path)) return r;
            r.changes.push_back(L"restored " + path + L" = " + Describe(replaced));
            continue;
        }
        if (!Check(r, DeleteValue(slot.get(), nullptr), scope, path)) return r;
        r.changes.push_back(L"removed " + path);
    }

    if (cls.get()) {
        reg::Key server;
        status = server.Open(classes.get(), kServerKey, KEY_READ | KEY_WRITE);
        if (status != ERROR_FILE_NOT_FOUND) {
            if (!Check(r, status, scope, kServerKey) ||
                !Check(r, DeleteValue(server.get(), nullptr), scope, kServerKey) ||
                !Check(r, DeleteValue(server.get(), kThreadingModel), scope, kServerKey))
                return r;
        }
        server = reg::Key();
        for (const wchar_t* name : {static_cast<const wchar_t*>(nullptr), kDisableIsolation,
                                    kAssociations[0].rememberAs, kAssociations[1].rememberAs, kCreatedKeys}) {
            if (!Check(r, DeleteValue(cls.get(), name), scope, kClassKey)) return r;
        }
        cls = reg::Key();
        r.changes.push_back(L"removed " + std::wstring(kClassKey));
        // The class's own keys name this handler alone; they go whenever empty.
        for (const wchar_t* own : {kServerKey, kClassKey}) {
            if (std::find(prune.begin(), prune.end(), own) == prune.end()) prune.push_back(own);
        }
    }
    SortDeepestFirst(prune);
    for (const auto& path : prune) {
        if (!Check(r, DeleteIfEmpty(classes.get(), path), scope, path)) return r;
    }
    UninstallClass32(r, scope);
    return r;
}

std::vector<std::wstring> Status(Scope scope, LSTATUS& status) {
    std::vector<std::wstring> lines;
    reg::Key classes;
    status = classes.Open(RootKey(scope), kClasses, KEY_READ);
    if (status == ERROR_FILE_NOT_FOUND) {
        status = ERROR_SUCCESS;
        lines.push_back(L"nothing registered");
        return lines;
    }
    if (status != ERROR_SUCCESS) return lines;

    for (const HandlerBuild* build : kBuilds) {
        status = ClassStatus(scope, *build, lines);
        if (status != ERROR_SUCCESS) return lines;
    }
    status = ERROR_SUCCESS;

    for (const Association& a : kAssociations) {
        const std::wstring path = SlotPath(a);
        reg::Key slot;
        reg::Value current;
        if (slot.Open(classes.get(), path, KEY_READ) == ERROR_SUCCESS) reg::Read(slot.get(), nullptr, current);
        if (!current.present)
            lines.push_back(path + L": not set");
        else if (NamesThisHandler(current))
            lines.push_back(path + L" = " + Describe(current) + L" (this handler)");
        else
            lines.push_back(path + L" = " + Describe(current) + L" (another handler)");
    }
    return lines;
}
