// timthumb: asks the TIM thumbnail handler for a file's thumbnail the way the
// shell does and writes it as a PNG with alpha.
#include "Console.h"
#include "ExitCodes.h"
#include "Guids.h"
#include "Handles.h"
#include "Platform.h"
#include "PngWriter.h"
#include "StraightAlpha.h"
#include "TimSummary.h"

#include <objbase.h>
#include <propsys.h>
#include <thumbcache.h>
#include <wrl/client.h>

#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

const wchar_t kUsage[] =
    L"Usage: timthumb [--size N] [--dll PATH] input.tim output.png\n"
    L"       timthumb --version\n"
    L"\n"
    L"Asks the TIM thumbnail handler for the thumbnail of input.tim, as Explorer does,\n"
    L"and writes it to output.png (32-bit with alpha). Prints the image's size and format.\n"
    L"\n"
    L"--size N    the thumbnail size asked for, 1 to 65535 (default 256); the handler\n"
    L"            answers with the whole image at its own size\n"
    L"--dll PATH  load this handler DLL directly instead of the one registered\n"
    L"            for its class (TimThumbnailSetup install)\n"
    L"\n"
    L"Exit codes: 0 thumbnail written, 1 the handler refused the file, 2 bad arguments,\n"
    L"3 input missing or unreadable, 4 handler not registered or not loadable,\n"
    L"5 output cannot be written, 6 any other failure.";

struct Options {
    UINT size = 256;
    std::wstring dll;
    std::wstring input;
    std::wstring output;
};

bool ParseSize(const std::wstring& text, UINT& size) {
    if (text.empty() || text.size() > 5) return false;
    UINT value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + UINT(c - L'0');
    }
    if (value < 1 || value > 65535) return false;
    size = value;
    return true;
}

// False with `error` set when the arguments make no sense.
bool ParseArguments(int argc, wchar_t** argv, Options& options, std::wstring& error) {
    std::vector<std::wstring> positional;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != L'-') {
            positional.push_back(arg);
        } else if (arg == L"--") {
            optionsEnded = true;
        } else if (arg == L"--size" || arg == L"--dll") {
            if (i + 1 >= argc) {
                error = arg + L" needs a value";
                return false;
            }
            const std::wstring value = argv[++i];
            if (arg == L"--dll") {
                options.dll = value;
            } else if (!ParseSize(value, options.size)) {
                error = L"--size wants a whole number from 1 to 65535, not \"" + value + L"\"";
                return false;
            }
        } else {
            error = L"unknown option " + arg;
            return false;
        }
    }
    if (positional.size() != 2) {
        error = positional.size() < 2 ? L"an input and an output file are needed" : L"too many file names";
        return false;
    }
    options.input = positional[0];
    options.output = positional[1];
    return true;
}

std::wstring FullPath(const std::wstring& path) {
    const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return path;
    std::wstring full(n, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
    full.resize(written < n ? written : 0);
    return full.empty() ? path : full;
}

std::wstring Widen(const std::string& s) {
    return std::wstring(s.begin(), s.end());  // the summary texts are ASCII
}

// The whole program once COM is up; separate so that every reference is
// released before COM shuts down.
int Run(const Options& options) {
    const std::wstring& input = options.input;

    // The input's size and format, and on refusal the reason, from the file's header.
    const std::wstring inputPath = FullPath(input);
    const DWORD attributes = GetFileAttributesW(inputPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            console::Err(input + L": file not found");
        else
            console::Err(input + L": cannot read it: " + console::ErrorText(error));
        return kExitInputUnreadable;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        console::Err(input + L": is a folder, not a file");
        return kExitInputUnreadable;
    }
    TimSummary summary;
    {
        const handles::File file(OpenFileForRead(inputPath.c_str()));
        LARGE_INTEGER size{};
        if (!file || !GetFileSizeEx(file.get(), &size)) {
            console::Err(input + L": cannot read it: " + console::ErrorText(GetLastError()));
            return kExitInputUnreadable;
        }
        // An empty file cannot be mapped; it is summarised as zero bytes.
        const handles::View view(size.QuadPart ? MapWholeFile(file.get()) : nullptr);
        if (size.QuadPart && !view) {
            console::Err(input + L": cannot read it: " + console::ErrorText(GetLastError()));
            return kExitInputUnreadable;
        }
        summary = SummarizeTim(static_cast<const uint8_t*>(view.get()), view ? uint64_t(size.QuadPart) : 0);
    }

    // The provider: by class through COM as the shell creates it, or straight
    // from the named DLL's class object.
    ComPtr<IInitializeWithFile> init;
    HRESULT hr = S_OK;
    if (options.dll.empty()) {
        hr = CoCreateInstance(CLSID_TimThumbnailProvider, nullptr, CLSCTX_INPROC_SERVER, kIidInitializeWithFile,
                              &init);
        if (hr == REGDB_E_CLASSNOTREG) {
            console::Err(L"timthumb: the TIM thumbnail handler is not registered: run TimThumbnailSetup install "
                         L"(for all users: --machine), or name the DLL with --dll");
            return kExitNoHandler;
        }
        if (FAILED(hr)) {
            console::Err(L"timthumb: cannot create the TIM thumbnail handler: " + console::ErrorText(DWORD(hr)));
            return kExitNoHandler;
        }
    } else {
        HMODULE module = LoadLibraryW(FullPath(options.dll).c_str());
        if (!module) {
            const DWORD error = GetLastError();
            console::Err(L"timthumb: cannot load " + options.dll + L": " +
                         (error == ERROR_BAD_EXE_FORMAT ? std::wstring(L"not a 64-bit Windows DLL")
                                                        : console::ErrorText(error)));
            return kExitNoHandler;
        }
        // The module stays loaded until the process ends, outliving every object it made.
        using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
        const auto getClassObject = reinterpret_cast<GetClassObjectFn>(
            reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
        if (!getClassObject) {
            console::Err(L"timthumb: " + options.dll + L" is not a COM server (no DllGetClassObject)");
            return kExitNoHandler;
        }
        ComPtr<IClassFactory> factory;
        hr = getClassObject(CLSID_TimThumbnailProvider, kIidClassFactory, &factory);
        if (FAILED(hr)) {
            console::Err(L"timthumb: " + options.dll + L" does not serve the TIM thumbnail class: " +
                         console::ErrorText(DWORD(hr)));
            return kExitNoHandler;
        }
        hr = factory->CreateInstance(nullptr, kIidInitializeWithFile, &init);
        if (FAILED(hr)) {
            console::Err(L"timthumb: " + options.dll + L" cannot create a provider: " + console::ErrorText(DWORD(hr)));
            return kExitNoHandler;
        }
    }

    hr = init->Initialize(inputPath.c_str(), STGM_READ);
    if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
        console::Err(input + L": the handler cannot open it");
        return kExitInputUnreadable;
    }
    if (FAILED(hr)) {
        console::Err(input + L": refused: " +
                     (summary.accepted ? L"the handler does not accept it (" + console::ErrorText(DWORD(hr)) + L")"
                                       : Widen(summary.reason)));
        return kExitRefused;
    }

    ComPtr<IThumbnailProvider> thumbnails;
    hr = init->QueryInterface(kIidThumbnailProvider, &thumbnails);
    if (FAILED(hr)) {
        console::Err(L"timthumb: the handler has no IThumbnailProvider: " + console::ErrorText(DWORD(hr)));
        return kExitOtherFailure;
    }
    HBITMAP raw = nullptr;
    WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
    hr = thumbnails->GetThumbnail(options.size, &raw, &alpha);
    const handles::Bitmap bitmap(raw);
    if (FAILED(hr) || !bitmap) {
        const bool empty = summary.accepted && (summary.width == 0 || summary.height == 0);
        console::Err(input + L": refused: " +
                     (empty ? L"the image has no pixels (" + std::to_wstring(summary.width) + L" x " +
                                  std::to_wstring(summary.height) + L")"
                            : L"the handler could not draw it (" + console::ErrorText(DWORD(hr)) + L")"));
        return kExitRefused;
    }

    DIBSECTION dib{};
    const bool readable = GetObjectW(bitmap.get(), sizeof dib, &dib) == int(sizeof dib) && dib.dsBm.bmBits &&
                          dib.dsBmih.biBitCount == 32 && dib.dsBm.bmWidth > 0 && dib.dsBm.bmHeight > 0;
    if (!readable) {
        console::Err(L"timthumb: the handler returned a bitmap that is not a 32-bit DIB section");
        return kExitOtherFailure;
    }
    const UINT width = UINT(dib.dsBm.bmWidth), height = UINT(dib.dsBm.bmHeight);
    std::vector<uint32_t> pixels(size_t(width) * height);
    ToStraightTopDown(static_cast<const uint8_t*>(dib.dsBm.bmBits), size_t(dib.dsBm.bmWidthBytes), width, height,
                      dib.dsBmih.biHeight > 0, alpha == WTSAT_ARGB, pixels.data());

    const std::wstring outputPath = FullPath(options.output);
    hr = WritePng(outputPath, pixels.data(), width, height);
    if (FAILED(hr)) {
        const DWORD folder = GetFileAttributesW(console::FolderOf(outputPath).c_str());
        const bool noFolder = folder == INVALID_FILE_ATTRIBUTES || !(folder & FILE_ATTRIBUTE_DIRECTORY);
        console::Err(L"timthumb: cannot write " + options.output + L": " +
                     (noFolder ? std::wstring(L"its folder does not exist") : console::ErrorText(DWORD(hr))));
        return kExitOutputUnwritable;
    }
    console::Out(input + L": " + std::to_wstring(width) + L" x " + std::to_wstring(height) + L", " +
                 (summary.accepted ? Widen(summary.format) : std::wstring(L"format unknown")) + L" -> " +
                 options.output);
    return kExitOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && (std::wstring(argv[1]) == L"--help" || std::wstring(argv[1]) == L"-h" ||
                      std::wstring(argv[1]) == L"/?")) {
        console::Out(kUsage);
        return kExitOk;
    }
    if (argc == 2 && std::wstring(argv[1]) == L"--version") {
        console::Out(L"timthumb " TIM_VERSION_TEXT);
        return kExitOk;
    }
    Options options;
    std::wstring error;
    if (!ParseArguments(argc, argv, options, error)) {
        console::Err(L"timthumb: " + error);
        console::Err(kUsage);
        return kExitBadArguments;
    }
    if (CompareStringOrdinal(FullPath(options.input).c_str(), -1, FullPath(options.output).c_str(), -1, TRUE) ==
        CSTR_EQUAL) {
        console::Err(L"timthumb: the output would overwrite the input file");
        console::Err(kUsage);
        return kExitBadArguments;
    }
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) {
        console::Err(L"timthumb: cannot start COM: " + console::ErrorText(DWORD(hr)));
        return kExitOtherFailure;
    }
    const int result = Run(options);
    CoUninitialize();
    return result;
}
