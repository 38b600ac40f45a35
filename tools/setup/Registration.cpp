#include "Registration.h"

#include "Guids.h"
#include "Registry.h"

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
// Under the class key: every key install created (CreatedKeys, paths below
// Software\Classes in the 64-bit view) and the entries it replaced.
const wchar_t kReplacedPrefix[] = L"ReplacedThumbnailHandler ";

// Both places, so that the handler still applies when another program owns
// the .tim association. The class key keeps an entry install replaced as
// kReplacedPrefix + the association's key, for uninstall to put back.
struct Association {
    const wchar_t* key;
};
const Association kAssociations[] = {{L".tim"}, {L"SystemFileAssociations\\.tim"}};

HKEY RootKey(Scope scope) {
    return scope == Scope::Machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

std::wstring SlotPath(const Association& a) {
    return std::wstring(a.key) + L"\\" + kThumbnailSlot;
}

bool NamesThisHandler(const reg::Value& v) {
    return v.present && reg::SameTextIgnoringCase(reg::Text(v), TIM_CLSID_STRING);
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
    const std::wstring path = std::wstring(kClasses) + L"\\" + probe;
    HKEY made = nullptr;
    LSTATUS status = RegCreateKeyExW(RootKey(scope), path.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                                     KEY_READ | KEY_WOW64_64KEY, nullptr, &made, nullptr);
    if (status == ERROR_SUCCESS) {
        RegCloseKey(made);
        reg::Key seen;
        own = seen.Open(RootKey(scope), path, KEY_READ | KEY_WOW64_32KEY) == ERROR_FILE_NOT_FOUND;
        seen = reg::Key();
        status = RegDeleteKeyExW(RootKey(scope), path.c_str(), KEY_WOW64_64KEY, 0);
    }
    if (status == ERROR_SUCCESS) return true;
    r.status = status;
    r.failedKey = ScopeRoot(scope) + L"\\" + probe;
    return false;
}

// The class key and its server key of one build, in its view.
void AddClassEntries(std::vector<regengine::Entry>& e, const regengine::View* v, const std::wstring& dll) {
    e.push_back({v, kClassKey, nullptr, reg::String(kClassName), true});
    e.push_back({v, kClassKey, kDisableIsolation, reg::Dword(1), true});
    e.push_back({v, kServerKey, nullptr, reg::String(dll), true});
    e.push_back({v, kServerKey, kThreadingModel, reg::String(L"Apartment"), true});
}

// The handler's keys in one scope: its class in the 64-bit view and the .tim
// entries that name it (`with64`), and its class in the 32-bit view
// (`with32`). The record lives in the 64-bit class key and names the 64-bit
// keys install created; the 32-bit class's keys name this handler alone and
// go whenever empty.
regengine::Table HandlerTable(Scope scope, const std::wstring& dll, const std::wstring& dll32, bool with64,
                              bool with32) {
    using regengine::kView32;
    using regengine::kView64;
    regengine::Table t{RootKey(scope), kClasses, ScopeRoot(scope), kClassKey, false, false, false, kReplacedPrefix,
                       L"removed the thumbnail handler's class " TIM_CLSID_STRING, {}, {}};
    for (const regengine::View* v : {&kView64, &kView32}) {
        t.ownKeys.push_back({v, kServerKey});
        t.ownKeys.push_back({v, kClassKey});
    }
    if (with64) {
        AddClassEntries(t.entries, &kView64, dll);
        for (const Association& a : kAssociations) {
            t.entries.push_back({&kView64, SlotPath(a), nullptr, reg::String(TIM_CLSID_STRING), false,
                                 kReplacedPrefix + std::wstring(a.key), true});
        }
    }
    if (with32) AddClassEntries(t.entries, &kView32, dll32);
    return t;
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
                    (model.present ? regengine::Describe(model) : std::wstring(L"not set")));
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
    RegistrationResult r = regengine::Install(HandlerTable(scope, dllPath, dll32Path, true, false));
    if (r.status != ERROR_SUCCESS || dll32Path.empty()) return r;
    // Probed once the 64-bit class key exists: the probe's volatile key would
    // make every missing key on its path volatile too.
    bool own = false;
    if (!HasOwn32BitView(r, scope, own)) return r;
    if (!own) {
        r.notes.push_back(L"the 32-bit DLL is not registered: " + ScopeRoot(scope) +
                          L" has no 32-bit view of its own on this system");
        return r;
    }
    const RegistrationResult r32 = regengine::Install(HandlerTable(scope, dllPath, dll32Path, false, true));
    r.changes.insert(r.changes.end(), r32.changes.begin(), r32.changes.end());
    r.status = r32.status;
    r.failedKey = r32.failedKey;
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
    return regengine::Uninstall(HandlerTable(scope, std::wstring(), std::wstring(), true, true));
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
            lines.push_back(path + L" = " + regengine::Describe(current) + L" (this handler)");
        else
            lines.push_back(path + L" = " + regengine::Describe(current) + L" (another handler)");
    }
    return lines;
}
