#include "RegistrationEngine.h"

#include <algorithm>

namespace regengine {

namespace {

const wchar_t kCreatedKeys[] = L"CreatedKeys";

using Place = std::pair<const View*, std::wstring>;

std::wstring Shown(const Table& t, const Entry& e) {
    return t.shown + L"\\" + e.path + (e.name ? std::wstring(L" ") + e.name : std::wstring()) + e.view->name;
}

bool Check(RegistrationResult& r, LSTATUS status, const Table& t, const std::wstring& path, const View& view) {
    if (status == ERROR_SUCCESS) return true;
    r.status = status;
    r.failedKey = t.shown + (path.empty() ? L"" : L"\\" + path) + view.name;
    return false;
}

LSTATUS OpenBase(const Table& t, const View& view, reg::Key& base) {
    return base.Create(t.root, t.base, KEY_READ | KEY_WRITE | view.flag);
}

std::wstring RecordName(const Table& t, const Place& p) {
    return t.tagged ? std::wstring(p.first->tag) + L":" + p.second : p.second;
}

// Opens `path`, creating it one level at a time; each key this call makes is
// added to `created` when the record can name it.
LSTATUS CreatePath(const Table& t, const View& view, const std::wstring& path, reg::Key& key,
                   std::vector<std::wstring>& created) {
    reg::Key base;
    LSTATUS status = OpenBase(t, view, base);
    if (status != ERROR_SUCCESS) return status;
    for (size_t end = 0; end != std::wstring::npos;) {
        end = path.find(L'\\', end + 1);
        const std::wstring level = path.substr(0, end);
        DWORD disposition = 0;
        status = key.Create(base.get(), level, KEY_READ | KEY_WRITE | view.flag, &disposition);
        if (status != ERROR_SUCCESS) return status;
        if (disposition == REG_CREATED_NEW_KEY && (t.tagged || &view == &kView64))
            created.push_back(RecordName(t, {&view, level}));
    }
    return ERROR_SUCCESS;
}

std::vector<std::wstring> ReadCreatedKeys(HKEY record) {
    reg::Value v;
    if (reg::Read(record, kCreatedKeys, v) != ERROR_SUCCESS || !v.present || v.type != REG_MULTI_SZ) return {};
    return reg::Strings(v);
}

bool Matches(const Entry& e, const reg::Value& current) {
    if (!e.ignoreCase) return current == e.value;
    return current.present && reg::SameTextIgnoringCase(reg::Text(current), reg::Text(e.value));
}

// Deletes the record's own values: CreatedKeys and every replaced value. Its
// names carry key paths and may be long: the buffer is sized from the
// longest name the key holds.
bool ClearRecord(RegistrationResult& r, const Table& t, HKEY record) {
    DWORD longest = 0;
    if (!Check(r, RegQueryInfoKeyW(record, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longest,
                                   nullptr, nullptr, nullptr),
               t, t.recordKey, kView64))
        return false;
    std::wstring name(size_t(longest) + 1, L'\0');
    for (DWORD i = 0;;) {
        DWORD length = DWORD(name.size());
        const LSTATUS status = RegEnumValueW(record, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) return true;
        if (!Check(r, status, t, t.recordKey, kView64)) return false;
        const std::wstring value(name.data(), length);
        if (value == kCreatedKeys || value.rfind(t.recordPrefix, 0) == 0) {
            if (!Check(r, RegDeleteValueW(record, value.c_str()), t, t.recordKey, kView64)) return false;
            continue;  // the next value moved down to index i
        }
        ++i;
    }
}

// Deletes each key when it holds nothing, deepest first so that a key's
// subkeys go before it.
bool Prune(RegistrationResult& r, const Table& t, std::vector<Place> keys) {
    const auto depth = [](const Place& p) { return std::count(p.second.begin(), p.second.end(), L'\\'); };
    std::stable_sort(keys.begin(), keys.end(), [&](const Place& a, const Place& b) { return depth(a) > depth(b); });
    for (const auto& [view, path] : keys) {
        reg::Key base;
        if (!Check(r, OpenBase(t, *view, base), t, L"", *view)) return false;
        {
            reg::Key key;
            const LSTATUS status = key.Open(base.get(), path, KEY_READ | view->flag);
            if (status == ERROR_FILE_NOT_FOUND) continue;
            if (!Check(r, status, t, path, *view)) return false;
            if (!reg::IsEmpty(key.get())) continue;
        }
        const LSTATUS status = RegDeleteKeyExW(base.get(), path.c_str(), view->flag, 0);
        if (status != ERROR_FILE_NOT_FOUND && !Check(r, status, t, path, *view)) return false;
    }
    return true;
}

}  // namespace

std::wstring Describe(const reg::Value& v) {
    if (v.type != REG_SZ && v.type != REG_EXPAND_SZ) return L"a value of type " + std::to_wstring(v.type);
    const std::wstring text = reg::Text(v);
    return text.empty() ? std::wstring(L"an empty value") : text;
}

RegistrationResult Install(const Table& t) {
    RegistrationResult r;
    std::vector<std::wstring> created;
    // The record's key first: it lies on the way of the table's own keys.
    reg::Key record;
    if (!Check(r, CreatePath(t, kView64, t.recordKey, record, created), t, t.recordKey, kView64)) return r;

    for (const Entry& e : t.entries) {
        reg::Key key;
        const size_t createdBefore = created.size();
        if (!Check(r, CreatePath(t, *e.view, e.path, key, created), t, e.path, *e.view)) return r;
        if (!e.value.present) {  // a key of its own, without values
            if (created.size() != createdBefore) r.changes.push_back(L"wrote " + Shown(t, e));
            continue;
        }
        reg::Value current;
        if (!Check(r, reg::Read(key.get(), e.name, current), t, e.path, *e.view)) return r;
        if (Matches(e, current)) continue;
        std::wstring note;
        if (current.present && !e.own) {
            reg::Value kept;
            if (t.keepFirst && !Check(r, reg::Read(record.get(), e.rememberAs.c_str(), kept), t, t.recordKey, kView64))
                return r;
            if (!kept.present &&
                !Check(r, reg::Write(record.get(), e.rememberAs.c_str(), current), t, t.recordKey, kView64))
                return r;
            note = L" (replacing " + Describe(current) + L"; uninstall puts it back)";
        }
        if (!Check(r, reg::Write(key.get(), e.name, e.value), t, e.path, *e.view)) return r;
        r.changes.push_back(L"wrote " + Shown(t, e) + (e.value.type == REG_SZ ? L" = " + reg::Text(e.value) : L"") +
                            note);
    }
    // Added to what an earlier install recorded: running install again must
    // not forget keys the first run made.
    std::vector<std::wstring> keys = ReadCreatedKeys(record.get());
    for (const auto& path : created) {
        if (std::find(keys.begin(), keys.end(), path) == keys.end()) keys.push_back(path);
    }
    reg::Value current;
    reg::Read(record.get(), kCreatedKeys, current);
    if (current != reg::MultiString(keys))
        Check(r, reg::Write(record.get(), kCreatedKeys, reg::MultiString(keys)), t, t.recordKey, kView64);
    return r;
}

RegistrationResult Uninstall(const Table& t) {
    RegistrationResult r;
    reg::Key base64;
    LSTATUS status = base64.Open(t.root, t.base, KEY_READ | KEY_WRITE | KEY_WOW64_64KEY);
    if (status == ERROR_FILE_NOT_FOUND) return r;
    if (!Check(r, status, t, L"", kView64)) return r;
    reg::Key record;
    status = record.Open(base64.get(), t.recordKey, KEY_READ | KEY_WRITE | KEY_WOW64_64KEY);
    if (status == ERROR_FILE_NOT_FOUND && t.needsRecord) return r;  // never installed, or already removed
    if (status != ERROR_FILE_NOT_FOUND && !Check(r, status, t, t.recordKey, kView64)) return r;

    // Without a record (a registration by an older TimThumbnailSetup) only the
    // table's own keys go: any other key may have been there before install.
    std::vector<Place> prune;
    if (record.get()) {
        for (const std::wstring& name : ReadCreatedKeys(record.get())) {
            if (!t.tagged)
                prune.push_back({&kView64, name});
            else if (name.rfind(L"32:", 0) == 0 || name.rfind(L"64:", 0) == 0)
                prune.push_back({name[0] == L'3' ? &kView32 : &kView64, name.substr(3)});
        }
    }

    bool removedOwn = false;
    for (const Entry& e : t.entries) {
        reg::Key base, key;
        if (!Check(r, OpenBase(t, *e.view, base), t, L"", *e.view)) return r;
        status = key.Open(base.get(), e.path, KEY_READ | KEY_WRITE | e.view->flag);
        if (status == ERROR_FILE_NOT_FOUND) continue;
        if (!Check(r, status, t, e.path, *e.view)) return r;
        if (!e.value.present) continue;
        reg::Value current, replaced;
        if (!Check(r, reg::Read(key.get(), e.name, current), t, e.path, *e.view)) return r;
        if (!current.present) continue;
        if (e.own) {
            if (!Check(r, RegDeleteValueW(key.get(), e.name), t, e.path, *e.view)) return r;
            removedOwn = true;
            continue;
        }
        if (!Matches(e, current)) {
            r.notes.push_back(L"kept " + Shown(t, e) + L": it now holds " + Describe(current));
            continue;
        }
        if (record.get() &&
            !Check(r, reg::Read(record.get(), e.rememberAs.c_str(), replaced), t, t.recordKey, kView64))
            return r;
        if (replaced.present) {
            if (!Check(r, reg::Write(key.get(), e.name, replaced), t, e.path, *e.view)) return r;
            r.changes.push_back(L"restored " + Shown(t, e) + L" = " + Describe(replaced));
        } else {
            if (!Check(r, RegDeleteValueW(key.get(), e.name), t, e.path, *e.view)) return r;
            r.changes.push_back(L"removed " + Shown(t, e));
        }
    }
    if (removedOwn) r.changes.push_back(t.removedLine);

    // The record goes last, then every key install made, when empty.
    if (record.get() && !ClearRecord(r, t, record.get())) return r;
    record = reg::Key();
    for (const Place& own : t.ownKeys) {
        if (std::find(prune.begin(), prune.end(), own) == prune.end()) prune.push_back(own);
    }
    Prune(r, t, prune);
    return r;
}

}  // namespace regengine
