// One file through WIC, as Photos and Paint open it: the factory picks the
// registered codec by the file's first bytes. For tests/claims/claims_test.py
// (the release test runs it with the MSI installed), which judges the picture
// and measures the process's memory.
//
//     wic_read FILE OUT.rgba
//
// Prints "WIDTH HEIGHT" and writes the frame's rows, top first, as straight
// RGBA; or prints "refused: HRESULT" and exits 1.
#include <windows.h>
#include <wincodec.h>

#include <cstdio>
#include <vector>

namespace {

template <typename T>
struct Ref {
    T* p = nullptr;
    ~Ref() {
        if (p) p->Release();
    }
    T** operator&() { return &p; }
    T* operator->() const { return p; }
};

int Refused(HRESULT hr) {
    std::printf("refused: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: wic_read FILE OUT.rgba\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 3;
    Ref<IWICImagingFactory> factory;
    Ref<IWICBitmapDecoder> decoder;
    Ref<IWICBitmapFrameDecode> frame;
    Ref<IWICFormatConverter> converter;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                  reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return 3;
    hr = factory->CreateDecoderFromFilename(argv[1], nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand, &decoder);
    if (FAILED(hr)) return Refused(hr);
    if (FAILED(hr = decoder->GetFrame(0, &frame))) return Refused(hr);
    if (FAILED(hr = factory->CreateFormatConverter(&converter))) return Refused(hr);
    hr = converter->Initialize(frame.p, GUID_WICPixelFormat32bppRGBA, WICBitmapDitherTypeNone, nullptr, 0.0,
                               WICBitmapPaletteTypeCustom);
    if (FAILED(hr)) return Refused(hr);
    UINT width = 0, height = 0;
    if (FAILED(hr = converter->GetSize(&width, &height))) return Refused(hr);
    std::vector<BYTE> pixels(size_t(width) * height * 4);
    hr = converter->CopyPixels(nullptr, width * 4, UINT(pixels.size()), pixels.data());
    if (FAILED(hr)) return Refused(hr);
    FILE* out = _wfopen(argv[2], L"wb");
    if (!out || std::fwrite(pixels.data(), 1, pixels.size(), out) != pixels.size() || std::fclose(out) != 0) return 3;
    std::printf("%u %u\n", width, height);
    return 0;
}
