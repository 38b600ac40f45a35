#include "CodecRegistration.h"

#include "CodecGuids.h"
#include "TimFormat.h"
#include "Registry.h"

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

using regengine::Entry;
using regengine::kView32;
using regengine::kView64;
using regengine::View;

// How WIC recognises a TIM file: the decoder's signature and mask, so that
// WIC picks exactly the files every other client picks. WIC tests
// (bytes & Mask) == Pattern, and the decoder's signature is already masked.
constexpr const BYTE (&kWicPattern)[8] = kTimSignature;
constexpr const BYTE (&kWicMask)[8] = kTimSignatureMask;

reg::Value Binary(const BYTE (&bytes)[8]) {
    reg::Value v;
    v.present = true;
    v.type = REG_BINARY;
    v.data.assign(bytes, bytes + 8);
    return v;
}

// A value shared with other programs, remembered as the record names it.
Entry Shared(const View* v, const wchar_t* path, const wchar_t* name, reg::Value value) {
    return {v, path, name, static_cast<reg::Value&&>(value), false,
            std::wstring(kReplacedPrefix) + v->tag + L":" + path + L"|" + (name ? name : L"")};
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
    const std::wstring pattern = decoder + L"\\Patterns\\0";
    e.push_back({v, pattern, L"Position", reg::Dword(0), true});
    e.push_back({v, pattern, L"Length", reg::Dword(sizeof kWicPattern), true});
    e.push_back({v, pattern, L"Pattern", Binary(kWicPattern), true});
    e.push_back({v, pattern, L"Mask", Binary(kWicMask), true});
    e.push_back({v, decoder + L"\\InprocServer32", nullptr, reg::String(dll), true});
    // WIC callers may share one decoder between threads.
    e.push_back({v, decoder + L"\\InprocServer32", L"ThreadingModel", reg::String(L"Both"), true});
    e.push_back({v, kDecoderInstance, L"CLSID", reg::String(TIM_DECODER_CLSID_STRING), true});
    e.push_back({v, kDecoderInstance, L"FriendlyName", reg::String(kDecoderName), true});

    const std::wstring property = kPropertyKey;
    e.push_back({v, property, nullptr, reg::String(kPropertyName), true});
    e.push_back({v, property + L"\\InprocServer32", nullptr, reg::String(dll), true});
    e.push_back({v, property + L"\\InprocServer32", L"ThreadingModel", reg::String(L"Both"), true});
    e.push_back(Shared(v, kPropertyHandlers, nullptr, reg::String(TIM_PROPERTY_CLSID_STRING)));
}

// Everything install writes; with empty paths, the list uninstall walks. The
// record lives in the 64-bit decoder key, names its keys with their view
// ("64:Classes\\.tim") and keeps what install replaced as
// "Replaced 64:path|name".
regengine::Table CodecTable(const std::wstring& dll, const std::wstring& dll32, bool with32) {
    regengine::Table t{HKEY_LOCAL_MACHINE, kSoftware, L"HKLM\\Software", kDecoderKey, true, true, true,
                       kReplacedPrefix,
                       L"removed the decoder and property handler classes " TIM_DECODER_CLSID_STRING
                       L" and " TIM_PROPERTY_CLSID_STRING,
                       {}, {}};
    for (const View* v : {&kView64, &kView32}) {
        for (const wchar_t* own : {kDecoderKey, kPropertyKey, kDecoderInstance}) t.ownKeys.push_back({v, own});
    }
    std::vector<Entry>& e = t.entries;
    AddClassEntries(e, &kView64, dll);
    // The file type, for Explorer (64-bit): a picture, of this MIME type.
    e.push_back(Shared(&kView64, kFileType, L"Content Type", reg::String(L"image/x-tim")));
    e.push_back(Shared(&kView64, kFileType, L"PerceivedType", reg::String(L"image")));
    e.push_back(Shared(&kView64, kKindMap, L".tim", reg::String(L"Picture")));
    e.push_back(Shared(&kView64, kAssociation, L"FullDetails",
                 reg::String(L"prop:System.PropGroup.Image;System.Image.Dimensions;System.Image.HorizontalSize;"
                             L"System.Image.VerticalSize;System.Image.BitDepth;System.Comment;"
                             L"System.PropGroup.FileSystem;System.ItemNameDisplay;System.ItemType;"
                             L"System.ItemFolderPathDisplay;System.Size;System.DateCreated;System.DateModified")));
    e.push_back(Shared(&kView64, kAssociation, L"PreviewDetails",
                       reg::String(L"prop:System.Image.Dimensions;System.Image.BitDepth;System.Comment;System.Size;"
                                   L"System.DateModified")));
    e.push_back(Shared(&kView64, kAssociation, L"InfoTip",
                       reg::String(L"prop:System.ItemType;System.Image.Dimensions;System.Image.BitDepth;System.Size")));
    if (with32) AddClassEntries(e, &kView32, dll32);
    return t;
}

}  // namespace

RegistrationResult InstallCodec(const std::wstring& dllPath, const std::wstring& dll32Path) {
    return regengine::Install(CodecTable(dllPath, dll32Path, !dll32Path.empty()));
}

RegistrationResult UninstallCodec() {
    return regengine::Uninstall(CodecTable(L"", L"", true));
}

std::vector<std::wstring> CodecStatus() {
    std::vector<std::wstring> lines;
    for (const View* v : {&kView64, &kView32}) {
        reg::Key software, server;
        reg::Value path;
        if (software.Open(HKEY_LOCAL_MACHINE, kSoftware, KEY_READ | v->flag) == ERROR_SUCCESS &&
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
    if (software.Open(HKEY_LOCAL_MACHINE, kSoftware, KEY_READ | KEY_WOW64_64KEY) == ERROR_SUCCESS &&
        handlers.Open(software.get(), kPropertyHandlers, KEY_READ | KEY_WOW64_64KEY) == ERROR_SUCCESS)
        reg::Read(handlers.get(), nullptr, handler);
    lines.push_back(std::wstring(L"property handler for .tim: ") +
                    (!handler.present ? L"not set"
                     : reg::SameTextIgnoringCase(reg::Text(handler), TIM_PROPERTY_CLSID_STRING)
                         ? L"this codec"
                         : L"another handler, " + regengine::Describe(handler)));
    return lines;
}
