// The whole WIC road as a program takes it (imaging factory, decoder from a
// file name, CopyPixels of the whole frame, everything released), for a
// 1024 x 512 TIM file of each pixel format through the codec, next to the
// same road for a 32-bit BMP of the same pixels through Wine's own BMP
// decoder, measured in the same run. Target: the TIM road is no slower.
// The codec is registered for all users for the run (WIC reads HKLM only)
// and removed again.
#include "BenchFiles.h"
#include "CodecGuids.h"
#include "CodecRegistration.h"
#include "TimBuilder.h"
#include "TimDecode.h"
#include "TimFormat.h"

#include <windows.h>
#include <wincodec.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

using timbench::Now;
using timbench::RealisticTim;
using timbench::WriteWholeFile;
using timtest::Block;
using timtest::Bytes;

namespace {

// A 32-bit bottom-up BMP of the TIM file's decoded pixels.
Bytes BmpOf(const Bytes& tim) {
    TimImageInfo info{};
    FindTimRefusal(info, tim.data(), tim.size());
    std::vector<uint32_t> pixels(size_t(info.width) * info.height);
    DecodeTimPixels(info, pixels.data());
    BITMAPFILEHEADER file = {};
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof header;
    header.biWidth = info.width;
    header.biHeight = info.height;
    header.biPlanes = 1;
    header.biBitCount = 32;
    header.biCompression = BI_RGB;
    header.biSizeImage = DWORD(pixels.size() * 4);
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = file.bfOffBits + header.biSizeImage;
    Bytes out(file.bfSize);
    std::memcpy(out.data(), &file, sizeof file);
    std::memcpy(out.data() + sizeof file, &header, sizeof header);
    std::memcpy(out.data() + file.bfOffBits, pixels.data(), header.biSizeImage);
    return out;
}


// One whole road; false if any step fails or the decoder is not the expected one.
bool Road(const std::wstring& path, const GUID& container, std::vector<uint32_t>& buffer) {
    IWICImagingFactory* factory = nullptr;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                reinterpret_cast<void**>(&factory))))
        return false;
    IWICBitmapDecoder* decoder = nullptr;
    IWICBitmapFrameDecode* frame = nullptr;
    GUID found = {};
    UINT w = 0, h = 0;
    bool ok = SUCCEEDED(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                           WICDecodeMetadataCacheOnDemand, &decoder)) &&
              SUCCEEDED(decoder->GetContainerFormat(&found)) && found == container &&
              SUCCEEDED(decoder->GetFrame(0, &frame)) && SUCCEEDED(frame->GetSize(&w, &h)) &&
              size_t(w) * h <= buffer.size() &&
              SUCCEEDED(frame->CopyPixels(nullptr, w * 4, UINT(buffer.size() * 4),
                                          reinterpret_cast<BYTE*>(buffer.data())));
    if (frame) frame->Release();
    if (decoder) decoder->Release();
    factory->Release();
    return ok;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::wstring Folder() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path, n);
    return s.substr(0, s.find_last_of(L"\\/"));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int rounds = 31;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::wstring(argv[i]) == L"--rounds") rounds = std::max(1, _wtoi(argv[i + 1]));
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
    const std::wstring folder = Folder();
    UninstallCodec();
    if (InstallCodec(folder + L"\\" TIM_CODEC_DLL_NAME_64, L"").status != ERROR_SUCCESS) {
        std::fprintf(stderr, "cannot register %ls for all users\n", TIM_CODEC_DLL_NAME_64);
        return 1;
    }
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring base = std::wstring(temp) + L"tim-wic-bench-" + std::to_wstring(GetCurrentProcessId());

    struct Format {
        const char* name;
        uint32_t mode;
    };
    const Format formats[] = {{"4-bit", 0}, {"8-bit", 1}, {"16-bit", 2}, {"24-bit", 3}};
    std::vector<uint32_t> buffer(1024 * 512);
    int failures = 0, missed = 0;
    std::printf("WIC road: factory, decoder from file, CopyPixels of the whole 1024 x 512 frame, releases\n");
    std::printf("(medians of %d interleaved rounds; ratio = TIM / BMP, target at most 1.00)\n", rounds);
    std::printf("| %-7s | %10s | %10s | %6s |\n", "format", "TIM ms", "BMP ms", "ratio");
    for (const Format& f : formats) {
        const Bytes tim = RealisticTim(f.mode, 1024, 512, 1234 + f.mode);
        const std::wstring timPath = base + L".tim", bmpPath = base + L".bmp";
        if (!WriteWholeFile(timPath, tim) || !WriteWholeFile(bmpPath, BmpOf(tim))) return 1;
        // Warm both roads: the file cache and the decoders' DLLs.
        failures += !Road(timPath, GUID_ContainerFormatTim, buffer) + !Road(bmpPath, GUID_ContainerFormatBmp, buffer);
        std::vector<double> ours, bmp;
        for (int r = 0; r < rounds; ++r) {
            for (int side = 0; side < 2; ++side) {
                const bool timFirst = (r % 2) == side;
                const double t0 = Now();
                failures += timFirst ? !Road(timPath, GUID_ContainerFormatTim, buffer)
                                     : !Road(bmpPath, GUID_ContainerFormatBmp, buffer);
                (timFirst ? ours : bmp).push_back((Now() - t0) * 1000);
            }
        }
        const double o = Median(ours), b = Median(bmp);
        missed += o > b;
        std::printf("| %-7s | %10.2f | %10.2f | %6.2f |%s\n", f.name, o, b, o / b, o > b ? " ! slower than BMP" : "");
        DeleteFileW(timPath.c_str());
        DeleteFileW(bmpPath.c_str());
    }
    UninstallCodec();
    CoUninitialize();
    if (failures) std::fprintf(stderr, "%d roads failed\n", failures);
    if (missed) std::printf("! target missed for %d format(s)\n", missed);
    return failures ? 1 : 0;
}
