#pragma once
// Everything the registration tool could touch under one hive's
// Software\Classes: the names of its direct subkeys, and the full contents of
// the .tim, SystemFileAssociations and class subtrees (the class in both
// registry views), for before/after checks.
#include "CodecGuids.h"
#include "Guids.h"

#include <windows.h>

#include <map>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace wintest {

const wchar_t kClassesKey[] = L"Software\\Classes";
const wchar_t kThumbnailSlot[] = L"ShellEx\\{e357fccd-a995-4576-b01f-234630154e96}";
// Marks the paths of the 32-bit view in a snapshot.
const wchar_t kView32[] = L"(32-bit view) ";

// A value as stored: type and raw bytes.
using RegValue = std::pair<DWORD, std::vector<BYTE>>;

struct RegistrySnapshot {
    std::set<std::wstring> classesSubkeys;
    std::map<std::wstring, std::map<std::wstring, RegValue>> trees;  // key path -> values (name "" = default)

    bool operator==(const RegistrySnapshot&) const = default;
};

// Readable output for failed comparisons: keys and values, ASCII only.
inline void PrintTo(const RegistrySnapshot& s, std::ostream* os) {
    const auto narrow = [](const std::wstring& w) {
        std::string out;
        for (wchar_t c : w) out += c < 128 ? char(c) : '?';
        return out;
    };
    *os << "\n  " << s.classesSubkeys.size() << " subkeys of Software\\Classes";
    for (const auto& [path, values] : s.trees) {
        *os << "\n  [" << narrow(path) << "]";
        for (const auto& [name, value] : values) {
            *os << "\n    " << (name.empty() ? "@" : narrow(name)) << " type " << value.first << ":";
            if (value.first == REG_SZ || value.first == REG_EXPAND_SZ)
                *os << " \"" << narrow(std::wstring(reinterpret_cast<const wchar_t*>(value.second.data()),
                                                    value.second.size() / 2)) << "\"";
            *os << " (" << value.second.size() << " bytes)";
        }
    }
}

inline std::set<std::wstring> SubkeyNames(HKEY key) {
    std::set<std::wstring> names;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.insert(name);
    }
    return names;
}

inline void AddTree(HKEY root, const std::wstring& path, RegistrySnapshot& snapshot,
                    REGSAM view = KEY_WOW64_64KEY) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return;
    auto& values = snapshot.trees[(view == KEY_WOW64_32KEY ? kView32 : L"") + path];
    wchar_t name[16384];
    std::vector<BYTE> data(65536);
    for (DWORD i = 0;;) {
        DWORD nameLength = 16384, type = 0, size = DWORD(data.size());
        const LSTATUS status = RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data.data(), &size);
        if (status == ERROR_MORE_DATA) {
            data.resize(size_t(size) * 2);
            continue;
        }
        if (status != ERROR_SUCCESS) break;
        values[name] = RegValue(type, std::vector<BYTE>(data.begin(), data.begin() + size));
        ++i;
    }
    for (const auto& sub : SubkeyNames(key)) AddTree(root, path + L"\\" + sub, snapshot, view);
    RegCloseKey(key);
}

inline RegistrySnapshot TakeSnapshot(HKEY root) {
    RegistrySnapshot snapshot;
    HKEY classes = nullptr;
    if (RegOpenKeyExW(root, kClassesKey, 0, KEY_READ, &classes) == ERROR_SUCCESS) {
        snapshot.classesSubkeys = SubkeyNames(classes);
        RegCloseKey(classes);
    }
    const std::wstring base = std::wstring(kClassesKey) + L"\\";
    AddTree(root, base + L".tim", snapshot);
    AddTree(root, base + L"SystemFileAssociations", snapshot);
    AddTree(root, base + L"CLSID\\" TIM_CLSID_STRING, snapshot);
    AddTree(root, base + L"CLSID\\" TIM_CLSID_STRING, snapshot, KEY_WOW64_32KEY);
    // The image codec's classes, WIC's decoder category, and the property
    // system's and Explorer's file type lists, in both views.
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        AddTree(root, base + L"CLSID\\" TIM_DECODER_CLSID_STRING, snapshot, view);
        AddTree(root, base + L"CLSID\\" TIM_PROPERTY_CLSID_STRING, snapshot, view);
        AddTree(root, base + L"CLSID\\{7ED96837-96F0-4812-B211-F13C24117ED3}", snapshot, view);
        AddTree(root, L"Software\\Microsoft\\Windows\\CurrentVersion\\PropertySystem\\PropertyHandlers", snapshot, view);
        AddTree(root, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap", snapshot, view);
    }
    return snapshot;
}

// Reads one value; type REG_NONE with no bytes when it is absent.
inline RegValue ReadValue(HKEY root, const std::wstring& path, const wchar_t* name, REGSAM view = KEY_WOW64_64KEY) {
    RegValue v(REG_NONE, {});
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return v;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &v.first, nullptr, &size) == ERROR_SUCCESS) {
        v.second.resize(size);
        RegQueryValueExW(key, name, nullptr, &v.first, v.second.data(), &size);
        v.second.resize(size);
    }
    RegCloseKey(key);
    return v;
}

inline bool KeyExists(HKEY root, const std::wstring& path, REGSAM view = KEY_WOW64_64KEY) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

inline LSTATUS SetStringValue(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& text) {
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                            DWORD((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status;
}

// Whether `root`'s classes keep a 32-bit view of their own (Wine keeps one
// for HKLM only): a volatile key made in the 64-bit view, looked for in the
// 32-bit one. A CLSID key made for it goes again.
inline bool HasOwn32BitView(HKEY root) {
    const std::wstring clsid = std::wstring(kClassesKey) + L"\\CLSID";
    const std::wstring path = clsid + L"\\TimTestViewProbe";
    const bool hadClsid = KeyExists(root, clsid);
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, clsid.c_str(), 0, nullptr, 0, KEY_READ | KEY_WOW64_64KEY, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_READ | KEY_WOW64_64KEY, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    const bool own = !KeyExists(root, path, KEY_WOW64_32KEY);
    RegDeleteKeyExW(root, path.c_str(), KEY_WOW64_64KEY, 0);
    if (!hadClsid) RegDeleteKeyExW(root, clsid.c_str(), KEY_WOW64_64KEY, 0);
    return own;
}

// A REG_SZ value's bytes for `text`, terminating NUL included.
inline RegValue StringValue(const std::wstring& text) {
    const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return RegValue(REG_SZ, std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t)));
}

}  // namespace wintest
