#pragma once
// Small owning wrappers over the registry API for the registration tool.
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace reg {

class Key {
public:
    Key() = default;
    ~Key() { Close(); }
    Key(Key&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
    Key& operator=(Key&& other) noexcept {
        if (this != &other) {
            Close();
            key_ = std::exchange(other.key_, nullptr);
        }
        return *this;
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    LSTATUS Open(HKEY parent, const std::wstring& path, REGSAM access) {
        Close();
        return RegOpenKeyExW(parent, path.c_str(), 0, access, &key_);
    }
    // `disposition`, when given, tells whether the key was new (REG_CREATED_NEW_KEY).
    LSTATUS Create(HKEY parent, const std::wstring& path, REGSAM access, DWORD* disposition = nullptr) {
        Close();
        return RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, access, nullptr, &key_, disposition);
    }
    HKEY get() const { return key_; }

private:
    void Close() {
        if (key_) RegCloseKey(key_);
        key_ = nullptr;
    }
    HKEY key_ = nullptr;
};

// A value exactly as stored: its type and raw bytes.
struct Value {
    bool present = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;

    bool operator==(const Value&) const = default;
};

// ERROR_SUCCESS also when the value does not exist (present stays false).
inline LSTATUS Read(HKEY key, const wchar_t* name, Value& out) {
    out = Value{};
    for (;;) {
        DWORD type = REG_NONE, size = DWORD(out.data.size());
        const LSTATUS status =
            RegQueryValueExW(key, name, nullptr, &type, out.data.empty() ? nullptr : out.data.data(), &size);
        if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
        if (status == ERROR_MORE_DATA || (status == ERROR_SUCCESS && out.data.empty() && size > 0)) {
            out.data.resize(size);
            continue;
        }
        if (status != ERROR_SUCCESS) return status;
        out.present = true;
        out.type = type;
        out.data.resize(size);
        return ERROR_SUCCESS;
    }
}

inline LSTATUS Write(HKEY key, const wchar_t* name, const Value& value) {
    return RegSetValueExW(key, name, 0, value.type, value.data.empty() ? nullptr : value.data.data(),
                          DWORD(value.data.size()));
}

// A REG_SZ value with its terminating NUL counted in the size.
inline Value String(const std::wstring& text) {
    Value v;
    v.present = true;
    v.type = REG_SZ;
    const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    v.data.assign(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
    return v;
}

inline Value Dword(DWORD number) {
    Value v;
    v.present = true;
    v.type = REG_DWORD;
    const auto* bytes = reinterpret_cast<const BYTE*>(&number);
    v.data.assign(bytes, bytes + sizeof number);
    return v;
}

// A REG_MULTI_SZ value: each string with its NUL, then the closing NUL.
inline Value MultiString(const std::vector<std::wstring>& texts) {
    std::wstring joined;
    for (const auto& t : texts) joined += t + L'\0';
    joined += L'\0';
    Value v;
    v.present = true;
    v.type = REG_MULTI_SZ;
    const auto* bytes = reinterpret_cast<const BYTE*>(joined.data());
    v.data.assign(bytes, bytes + joined.size() * sizeof(wchar_t));
    return v;
}

// The non-empty strings of a REG_MULTI_SZ value (a missing final NUL tolerated).
inline std::vector<std::wstring> Strings(const Value& v) {
    std::vector<std::wstring> out;
    std::wstring current;
    for (size_t i = 0; i + 1 < v.data.size(); i += 2) {
        const wchar_t c = wchar_t(v.data[i] | (v.data[i + 1] << 8));
        if (c != L'\0') {
            current += c;
        } else if (!current.empty()) {
            out.push_back(current);
            current.clear();
        }
    }
    if (!current.empty()) out.push_back(current);
    return out;
}

// The text of a string value up to its first NUL; empty for other types.
inline std::wstring Text(const Value& v) {
    if (!v.present || (v.type != REG_SZ && v.type != REG_EXPAND_SZ)) return std::wstring();
    std::wstring s(v.data.size() / sizeof(wchar_t), L'\0');
    if (!s.empty()) memcpy(s.data(), v.data.data(), s.size() * sizeof(wchar_t));
    const size_t nul = s.find(L'\0');
    if (nul != std::wstring::npos) s.resize(nul);
    return s;
}

// A key with neither values nor subkeys (an unset default value does not count).
inline bool IsEmpty(HKEY key) {
    DWORD subkeys = 0, values = 0;
    return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                            nullptr, nullptr) == ERROR_SUCCESS &&
           subkeys == 0 && values == 0;
}

inline bool SameTextIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace reg
