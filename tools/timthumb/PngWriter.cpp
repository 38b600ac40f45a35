#include "PngWriter.h"

#include <wincodec.h>
#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

namespace {

HRESULT Encode(const std::wstring& path, const uint32_t* pixels, UINT width, UINT height) {
    ComPtr<IWICImagingFactory> factory;
    ComPtr<IWICStream> stream;
    ComPtr<IWICBitmapEncoder> encoder;
    ComPtr<IWICBitmapFrameEncode> frame;
    ComPtr<IPropertyBag2> options;
    HRESULT hr =
        CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory, &factory);
    if (SUCCEEDED(hr)) hr = factory->CreateStream(&stream);
    if (SUCCEEDED(hr)) hr = stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE);
    if (SUCCEEDED(hr)) hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder);
    if (SUCCEEDED(hr)) hr = encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache);
    if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(&frame, &options);
    if (SUCCEEDED(hr)) hr = frame->Initialize(options.Get());
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
