#include "CodecRegistration.h"

#include "CodecGuids.h"
#include "Registry.h"

#include <algorithm>

namespace {

// Every path below is relative to HKLM\Software.
const wchar_t kSoftware[] = L"Software";
const wchar_t kDecoderKey[] = L"Classes\\CLSID\\" TIM_DECODER_CLSID_STRING;
const wchar_t kPropertyKey[] = L"Classes\\CLSID\\" TIM_PROPERTY_CLSID_STRING;
// WIC's category of bitmap decoders: it finds decoders through their instance keys here.
const wchar_t kDecoderInstance[] =
    L"Classes\\CLSID\\{7ED96837-96F0-4812-B211-F13C24117ED3}\\Instance\\" TIM_DECODER_CLSID_STRING;
const wchar_t kPropertyHandlers[] = L"Microsoft\\Windows\\CurrentVersion\\PropertySystem\\PropertyHandlers\\.tim";
const wchar_t kKindMap[] = L"Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap";
const wchar_t kFileType[] = L"Classes\\.tim";
const wchar_t kAssociation[] = L"Classes\\SystemFileAssociations\\.tim";
const wchar_t kDecoderName[] = L"PlayStation TIM Decoder";
const wchar_t kPropertyName[] = L"PlayStation TIM Property Handler";
// Under the 64-bit decoder key: what install replaced and the keys it created.
const wchar_t kReplacedPrefix[] = L"Replaced ";
const wchar_t kCreatedKeys[] = L"CreatedKeys";

// The two registry views; the file type's values are shared and live in the 64-bit one.
struct View {
    REGSAM flag;
    const wchar_t* tag;   // in the record of created keys and replaced values
    const wchar_t* name;  // said after the keys of the 32-bit view only
};
const View kView64 = {KEY_WOW64_64KEY, L"64", L""};
const View kView32 = {KEY_WOW64_32KEY, L"32", L" (32-bit view)"};

// One value install writes. `own`: the value lies in a key of the codec's own
// and goes on uninstall whatever it holds; otherwise it is shared, and goes
// (or is put back) only while it still holds what install wrote.
struct Entry {
    const View* view;
    std::wstring path;
    const wchar_t* name;  // null: the key's default value
    reg::Value value;
    bool own;
};

reg::Value Binary(std::initializer_list<BYTE> bytes) {
    reg::Value v;
    v.present = true;
    v.type = REG_BINARY;
    v.data.assign(bytes.begin(), bytes.end());
    return v;
}

// The class keys of one build, in its view.
void AddClassEntries(std::vector<Entry>& e, const View* v, const std::wstring& dll) {
    const std::wstring decoder = kDecoderKey;
    e.push_back({v, decoder, nullptr, reg::String(kDecoderName), true});
    e.push_back({v, decoder, L"FriendlyName", reg::String(kDecoderName), true});
    e.push_back({v, decoder, L"Author", reg::String(L"TIM Thumbnailer Project"), true});
    e.push_back({v, decoder, L"Vendor", reg::String(TIM_VENDOR_STRING), true});
    e.push_back({v, decoder, L"ContainerFormat", reg::String(TIM_CONTAINER_STRING), true});
    e.push_back({v, decoder, L"Version", reg::String(TIM_VERSION_TEXT), true});
    e.push_back({v, decoder, L"FileExtensions", reg::String(L".tim"), true});
    e.push_back({v, decoder, L"MimeTypes", reg::String(L"image/x-tim"), true});
    e.push_back({v, decoder, L"SupportAnimation", reg::Dword(0), true});
    e.push_back({v, decoder, L"SupportChromakey", reg::Dword(0), true});
    e.push_back({v, decoder, L"SupportLossless", reg::Dword(1), true});
    e.push_back({v, decoder, L"SupportMultiframe", reg::Dword(0), true});
    // The one pixel format the frames deliver: 32bppBGRA. A key without values.
    e.push_back({v, decoder + L"\\Formats\\{6FDDC324-4E03-4BFE-B185-3D77768DC90F}", nullptr, {}, true});
    // Identifier 16, then flags of at most 15. WIC tests (bytes & Mask) ==
    // Pattern, so the pattern is stored masked: the flags' low nibble is free.
    const std::wstring pattern = decoder + L"\\Patterns\\0";
    e.push_back({v, pattern, L"Position", reg::Dword(0), true});
    e.push_back({v, pattern, L"Length", reg::Dword(8), true});
    e.push_back({v, pattern, L"Pattern", Binary({0x10, 0, 0, 0, 0, 0, 0, 0}), true});
    e.push_back({v, pattern, L"Mask", Binary({0xFF, 0xFF, 0xFF, 0xFF, 0xF0, 0xFF, 0xFF, 0xFF}), true});
    e.push_back({v, decoder + L"\\InprocServer32", nullptr, reg::String(dll), true});
    // WIC callers may share one decoder between threads.
    e.push_back({v, decoder + L"\\InprocServer32", L"ThreadingModel", reg::String(L"Both"), true});
    e.push_back({v, kDecoderInstance, L"CLSID", reg::String(TIM_DECODER_CLSID_STRING), true});
    e.push_back({v, kDecoderInstance, L"FriendlyName", reg::String(kDecoderName), true});

    const std::wstring property = kPropertyKey;
    e.push_back({v, property, nullptr, reg::String(kPropertyName), true});
    e.push_back({v, property + L"\\InprocServer32", nullptr, reg::String(dll), true});
    e.push_back({v, property + L"\\InprocServer32", L"ThreadingModel", reg::String(L"Both"), true});
    e.push_back({v, kPropertyHandlers, nullptr, reg::String(TIM_PROPERTY_CLSID_STRING), false});
}

// Everything install writes; with empty paths, the list uninstall walks.
std::vector<Entry> Entries(const std::wstring& dll, const std::wstring& dll32, bool with32) {
    std::vector<Entry> e;
    AddClassEntries(e, &kView64, dll);
    // The file type, for Explorer (64-bit): a picture, of this MIME type.
    e.push_back({&kView64, kFileType, L"Content Type", reg::String(L"image/x-tim"), false});
    e.push_back({&kView64, kFileType, L"PerceivedType", reg::String(L"image"), false});
    e.push_back({&kView64, kKindMap, L".tim", reg::String(L"Picture"), false});
    e.push_back({&kView64, kAssociation, L"FullDetails",
                 reg::String(L"prop:System.PropGroup.Image;System.Image.Dimensions;System.Image.HorizontalSize;"
                             L"System.Image.VerticalSize;System.Image.BitDepth;System.Comment;"
                             L"System.PropGroup.FileSystem;System.ItemNameDisplay;System.ItemType;"
                             L"System.ItemFolderPathDisplay;System.Size;System.DateCreated;System.DateModified"),
                 false});
    e.push_back({&kView64, kAssociation, L"PreviewDetails",
                 reg::String(L"prop:System.Image.Dimensions;System.Image.BitDepth;System.Comment;System.Size;"
                             L"System.DateModified"),
                 false});
    e.push_back({&kView64, kAssociation, L"InfoTip",
                 reg::String(L"prop:System.ItemType;System.Image.Dimensions;System.Image.BitDepth;System.Size"),
                 false});
    if (with32) AddClassEntries(e, &kView32, dll32);
    return e;
}

std::wstring Tagged(const Entry& e) {
    return std::wstring(e.view->tag) + L":" + e.path;
}

std::wstring ReplacedName(const Entry& e) {
    return kReplacedPrefix + Tagged(e) + L"|" + (e.name ? e.name : L"");
}

std::wstring Shown(const Entry& e) {
    return L"HKLM\\Software\\" + e.path + (e.name ? std::wstring(L" ") + e.name : std::wstring()) + e.view->name;
}

bool Check(RegistrationResult& r, LSTATUS status, const std::wstring& path, const View& view) {
    if (status == ERROR_SUCCESS) return true;
    r.status = status;
    r.failedKey = L"HKLM\\Software\\" + path + view.name;
    return false;
}

LSTATUS OpenSoftware(reg::Key& software, const View& view, REGSAM access) {
    return software.Open(HKEY_LOCAL_MACHINE, kSoftware, access | view.flag);
}

// Opens `path`, creating it one level at a time; each key this call makes is
// added to `created` (tagged with its view).
LSTATUS CreatePath(const View& view, const std::wstring& path, reg::Key& key, std::vector<std::wstring>& created) {
    reg::Key software;
    LSTATUS status = OpenSoftware(software, view, KEY_READ | KEY_WRITE);
    if (status != ERROR_SUCCESS) return status;
    for (size_t end = 0; end != std::wstring::npos;) {
        end = path.find(L'\\', end + 1);
        const std::wstring level = path.substr(0, end);
        DWORD disposition = 0;
        status = key.Create(software.get(), level, KEY_READ | KEY_WRITE | view.flag, &disposition);
        if (status != ERROR_SUCCESS) return status;
        if (disposition == REG_CREATED_NEW_KEY) created.push_back(std::wstring(view.tag) + L":" + level);
    }
    return ERROR_SUCCESS;
}

std::wstring Describe(const reg::Value& v) {
    if (v.type != REG_SZ && v.type != REG_EXPAND_SZ) return L"a value of type " + std::to_wstring(v.type);
    const std::wstring text = reg::Text(v);
    return text.empty() ? std::wstring(L"an empty value") : text;
}

std::vector<std::wstring> ReadCreatedKeys(HKEY record) {
    reg::Value v;
    if (reg::Read(record, kCreatedKeys, v) != ERROR_SUCCESS || !v.present || v.type != REG_MULTI_SZ) return {};
    return reg::Strings(v);
}

}  // namespace

RegistrationResult InstallCodec(const std::wstring& dllPath, const std::wstring& dll32Path) {
    RegistrationResult r;
    std::vector<std::wstring> created;
    // The record lives in the 64-bit decoder key, made first.
    reg::Key record;
    if (!Check(r, CreatePath(kView64, kDecoderKey, record, created), kDecoderKey, kView64)) return r;

    for (const Entry& e : Entries(dllPath, dll32Path, !dll32Path.empty())) {
        reg::Key key;
        const size_t createdBefore = created.size();
        if (!Check(r, CreatePath(*e.view, e.path, key, created), e.path, *e.view)) return r;
        if (!e.value.present) {  // a key of its own, without values
            if (created.size() != createdBefore) r.changes.push_back(L"wrote " + Shown(e));
            continue;
        }
        reg::Value current;
        if (!Check(r, reg::Read(key.get(), e.name, current), e.path, *e.view)) return r;
        if (current == e.value) continue;
        std::wstring note;
        if (current.present && !e.own) {
            // Kept from the first install that replaced it: a second install
            // finds its own value here, never the original.
            reg::Value kept;
            if (!Check(r, reg::Read(record.get(), ReplacedName(e).c_str(), kept), kDecoderKey, kView64)) return r;
            if (!kept.present &&
                !Check(r, reg::Write(record.get(), ReplacedName(e).c_str(), current), kDecoderKey, kView64))
                return r;
            note = L" (replacing " + Describe(current) + L"; uninstall puts it back)";
        }
        if (!Check(r, reg::Write(key.get(), e.name, e.value), e.path, *e.view)) return r;
        r.changes.push_back(L"wrote " + Shown(e) + (e.value.type == REG_SZ ? L" = " + reg::Text(e.value) : L"") +
                            note);
    }
    std::vector<std::wstring> keys = ReadCreatedKeys(record.get());
    for (const auto& path : created) {
        if (std::find(keys.begin(), keys.end(), path) == keys.end()) keys.push_back(path);
    }
    reg::Value current;
    reg::Read(record.get(), kCreatedKeys, current);
    if (current != reg::MultiString(keys) &&
        !Check(r, reg::Write(record.get(), kCreatedKeys, reg::MultiString(keys)), kDecoderKey, kView64))
        return r;
    return r;
}

RegistrationResult UninstallCodec() {
    RegistrationResult r;
    reg::Key software64;
    if (!Check(r, OpenSoftware(software64, kView64, KEY_READ | KEY_WRITE), L"", kView64)) return r;
    reg::Key record;
    LSTATUS status = record.Open(software64.get(), kDecoderKey, KEY_READ | KEY_WRITE | KEY_WOW64_64KEY);
    if (status == ERROR_FILE_NOT_FOUND) return r;  // never installed, or already removed
    if (!Check(r, status, kDecoderKey, kView64)) return r;
    std::vector<std::wstring> prune = ReadCreatedKeys(record.get());

    bool removedAny = false;
    for (const Entry& e : Entries(L"", L"", true)) {
        reg::Key key;
        reg::Key software;
        if (!Check(r, OpenSoftware(software, *e.view, KEY_READ | KEY_WRITE), L"", *e.view)) return r;
        status = key.Open(software.get(), e.path, KEY_READ | KEY_WRITE | e.view->flag);
        if (status == ERROR_FILE_NOT_FOUND) continue;
        if (!Check(r, status, e.path, *e.view)) return r;
        if (!e.value.present) continue;
        reg::Value current, replaced;
        if (!Check(r, reg::Read(key.get(), e.name, current), e.path, *e.view)) return r;
        if (!current.present) continue;
        if (e.own) {
            if (!Check(r, RegDeleteValueW(key.get(), e.name), e.path, *e.view)) return r;
            removedAny = true;
            continue;
        }
        if (current != e.value) {
            r.notes.push_back(L"kept " + Shown(e) + L": it now holds " + Describe(current));
            continue;
        }
        if (!Check(r, reg::Read(record.get(), ReplacedName(e).c_str(), replaced), kDecoderKey, kView64)) return r;
        if (replaced.present) {
            if (!Check(r, reg::Write(key.get(), e.name, replaced), e.path, *e.view)) return r;
            r.changes.push_back(L"restored " + Shown(e) + L" = " + Describe(replaced));
        } else {
            if (!Check(r, RegDeleteValueW(key.get(), e.name), e.path, *e.view)) return r;
            r.changes.push_back(L"removed " + Shown(e));
        }
    }
    if (removedAny) r.changes.push_back(L"removed the decoder and property handler classes " TIM_DECODER_CLSID_STRING
                                        L" and " TIM_PROPERTY_CLSID_STRING);

    // The record goes last, then every key install made, deepest first, when empty.
    // A replaced value's name carries a key path and may be long: the buffer
    // is sized from the longest name the key holds.
    DWORD longest = 0;
    if (!Check(r, RegQueryInfoKeyW(record.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   &longest, nullptr, nullptr, nullptr),
               kDecoderKey, kView64))
        return r;
    std::wstring name(size_t(longest) + 1, L'\0');
    for (DWORD i = 0;;) {
        DWORD length = DWORD(name.size());
        status = RegEnumValueW(record.get(), i, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (!Check(r, status, kDecoderKey, kView64)) return r;
        const std::wstring value(name.data(), length);
        if (value == kCreatedKeys || value.rfind(kReplacedPrefix, 0) == 0) {
            if (!Check(r, RegDeleteValueW(record.get(), value.c_str()), kDecoderKey, kView64)) return r;
            continue;  // the next value moved down to index i
        }
        ++i;
    }
    record = reg::Key();
    // The codec's own keys go whenever empty, recorded or not.
    for (const View* v : {&kView64, &kView32}) {
        for (const wchar_t* own : {kDecoderKey, kPropertyKey, kDecoderInstance}) {
            const std::wstring tagged = std::wstring(v->tag) + L":" + own;
            if (std::find(prune.begin(), prune.end(), tagged) == prune.end()) prune.push_back(tagged);
        }
    }
    const auto depth = [](const std::wstring& p) { return std::count(p.begin(), p.end(), L'\\'); };
    std::stable_sort(prune.begin(), prune.end(),
                     [&](const std::wstring& a, const std::wstring& b) { return depth(a) > depth(b); });
    for (const auto& tagged : prune) {
        const View& view = tagged.rfind(L"32:", 0) == 0 ? kView32 : kView64;
        const std::wstring path = tagged.substr(tagged.find(L':') + 1);
        reg::Key software;
        if (!Check(r, OpenSoftware(software, view, KEY_READ | KEY_WRITE), L"", view)) return r;
        {
            reg::Key key;
            status = key.Open(software.get(), path, KEY_READ | view.flag);
            if (status == ERROR_FILE_NOT_FOUND) continue;
            if (!Check(r, status, path, view)) return r;
            if (!reg::IsEmpty(key.get())) continue;
        }
        status = RegDeleteKeyExW(software.get(), path.c_str(), view.flag, 0);
        if (status != ERROR_FILE_NOT_FOUND && !Check(r, status, path, view)) return r;
    }
    return r;
}

std::vector<std::wstring> CodecStatus() {
    std::vector<std::wstring> lines;
    for (const View* v : {&kView64, &kView32}) {
        reg::Key software, server;
        reg::Value path;
        if (OpenSoftware(software, *v, KEY_READ) == ERROR_SUCCESS &&
            server.Open(software.get(), std::wstring(kDecoderKey) + L"\\InprocServer32", KEY_READ | v->flag) ==
                ERROR_SUCCESS)
            reg::Read(server.get(), nullptr, path);
        const std::wstring dll = reg::Text(path);
        const DWORD attributes = dll.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(dll.c_str());
        lines.push_back(std::wstring(L"image codec") + v->name + L": " +
                        (dll.empty() ? std::wstring(L"not registered")
                                     : dll + (attributes != INVALID_FILE_ATTRIBUTES ? L" (file exists)"
                                                                                     : L" (FILE MISSING)")));
    }
    reg::Key software, handlers;
    reg::Value handler;
    if (OpenSoftware(software, kView64, KEY_READ) == ERROR_SUCCESS &&
        handlers.Open(software.get(), kPropertyHandlers, KEY_READ | KEY_WOW64_64KEY) == ERROR_SUCCESS)
        reg::Read(handlers.get(), nullptr, handler);
    lines.push_back(std::wstring(L"property handler for .tim: ") +
                    (!handler.present ? L"not set"
                     : reg::SameTextIgnoringCase(reg::Text(handler), TIM_PROPERTY_CLSID_STRING)
                         ? L"this codec"
                         : L"another handler, " + Describe(handler)));
    return lines;
}
