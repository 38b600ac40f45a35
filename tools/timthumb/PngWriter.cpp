#include "PngWriter.h"

#include <wincodec.h>

namespace {

template <class T>
class Ref {
public:
    Ref() = default;
    ~Ref() {
        if (p_) p_->Release();
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    T* operator->() const { return p_; }
    T* get() const { return p_; }
    T** out() { return &p_; }

private:
    T* p_ = nullptr;
};

HRESULT Encode(const std::wstring& path, const uint32_t* pixels, UINT width, UINT height) {
    Ref<IWICImagingFactory> factory;
    Ref<IWICStream> stream;
    Ref<IWICBitmapEncoder> encoder;
    Ref<IWICBitmapFrameEncode> frame;
    Ref<IPropertyBag2> options;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                  reinterpret_cast<void**>(factory.out()));
    if (SUCCEEDED(hr)) hr = factory->CreateStream(stream.out());
    if (SUCCEEDED(hr)) hr = stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE);
    if (SUCCEEDED(hr)) hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.out());
    if (SUCCEEDED(hr)) hr = encoder->Initialize(stream.get(), WICBitmapEncoderNoCache);
    if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(frame.out(), options.out());
    if (SUCCEEDED(hr)) hr = frame->Initialize(options.get());
    if (SUCCEEDED(hr)) hr = frame->SetSize(width, height);
    WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
    if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
    // The encoder may offer a nearby format instead; anything else would
    // need a conversion this tool does not do.
    if (SUCCEEDED(hr) && !IsEqualGUID(format, GUID_WICPixelFormat32bppBGRA)) hr = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
    const UINT stride = width * 4;
    if (SUCCEEDED(hr))
        hr = frame->WritePixels(height, stride, stride * height,
                                reinterpret_cast<BYTE*>(const_cast<uint32_t*>(pixels)));
    if (SUCCEEDED(hr)) hr = frame->Commit();
    if (SUCCEEDED(hr)) hr = encoder->Commit();
    return hr;
}

}  // namespace

HRESULT WritePng(const std::wstring& path, const uint32_t* pixels, UINT width, UINT height) {
    if (uint64_t(width) * height * 4 > 0xFFFFFFFFu) return E_INVALIDARG;  // WritePixels takes a 32-bit size
    // A new, uniquely named file in the output's folder, so that the final
    // move stays on one volume and no other file is touched.
    const size_t slash = path.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash + 1);
    wchar_t partial[MAX_PATH + 16];
    if (folder.size() >= MAX_PATH - 14 || !GetTempFileNameW(folder.c_str(), L"tim", 0, partial))
        return HRESULT_FROM_WIN32(folder.size() >= MAX_PATH - 14 ? ERROR_FILENAME_EXCED_RANGE : GetLastError());
    HRESULT hr = Encode(partial, pixels, width, height);
    if (SUCCEEDED(hr) && !MoveFileExW(partial, path.c_str(), MOVEFILE_REPLACE_EXISTING))
        hr = HRESULT_FROM_WIN32(GetLastError());
    if (FAILED(hr)) DeleteFileW(partial);
    return hr;
}
