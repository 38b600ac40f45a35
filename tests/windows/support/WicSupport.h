#pragma once
// The codec as programs reach it: registered for all users (WIC reads HKLM
// only), found by WIC's factory through its category key and patterns, and
// never named by the caller. Helpers to decode through the factory and to
// hand the codec streams that misbehave.
#include "CodecGuids.h"
#include "CodecRegistration.h"
#include "TimDecode.h"
#include "TimFormat.h"
#include "WinTestSupport.h"

#include <wincodec.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace wintest {

// The codec registered once for the whole test program, as install --machine
// registers it, and removed at the end.
class CodecRegistrationEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        // The builds the setup tool picks for this system's processor.
        const std::wstring folder = ProgramFolder() + L"\\";
        const std::wstring dll32 = folder + kBuild32.codecDllName;
        const bool has32 = GetFileAttributesW(dll32.c_str()) != INVALID_FILE_ATTRIBUTES;
        UninstallCodec();  // whatever a failed earlier run left
        const RegistrationResult r =
            InstallCodec(folder + Build64For(NativeMachine()).codecDllName, has32 ? dll32 : std::wstring());
        ASSERT_EQ(r.status, ERROR_SUCCESS) << "cannot register the codec";
    }
    void TearDown() override { EXPECT_EQ(UninstallCodec().status, ERROR_SUCCESS); }
};

// COM for the calling thread, for one scope.
class ComScope {
public:
    explicit ComScope(DWORD model = COINIT_APARTMENTTHREADED) : ok_(SUCCEEDED(CoInitializeEx(nullptr, model))) {}
    ~ComScope() {
        if (ok_) CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_;
};

inline ComPtr<IWICImagingFactory> WicFactory() {
    void* p = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory, &p),
              S_OK);
    return Adopt<IWICImagingFactory>(p);
}

// An IWICStream over a copy of `bytes`.
class MemoryWicStream {
public:
    MemoryWicStream(IWICImagingFactory* factory, const std::vector<uint8_t>& bytes) : bytes_(bytes) {
        if (bytes_.empty()) bytes_.reserve(1);
        if (factory->CreateStream(stream_.GetAddressOf()) != S_OK ||
            stream_->InitializeFromMemory(bytes_.data(), DWORD(bytes_.size())) != S_OK)
            stream_.Reset();
    }
    IWICStream* get() const { return stream_.Get(); }

private:
    std::vector<uint8_t> bytes_;
    ComPtr<IWICStream> stream_;
};

// A frame's pixels, rows top-down, read as a program reads them.
struct Picture {
    HRESULT result = E_FAIL;
    UINT width = 0, height = 0;
    GUID format = {};
    std::vector<uint32_t> pixels;
};

inline Picture ReadSource(IWICBitmapSource* source) {
    Picture p;
    p.result = source->GetSize(&p.width, &p.height);
    if (FAILED(p.result)) return p;
    source->GetPixelFormat(&p.format);
    p.pixels.assign(size_t(p.width) * p.height, 0xCDCDCDCDu);
    p.result = source->CopyPixels(nullptr, p.width * 4, UINT(p.pixels.size() * 4),
                                  reinterpret_cast<BYTE*>(p.pixels.data()));
    return p;
}

inline Picture ReadFrame(IWICBitmapDecoder* decoder) {
    ComPtr<IWICBitmapFrameDecode> frame;
    Picture p;
    UINT count = 0;
    p.result = decoder->GetFrameCount(&count);
    if (FAILED(p.result)) return p;
    if (count != 1) {
        p.result = E_UNEXPECTED;
        return p;
    }
    p.result = decoder->GetFrame(0, frame.GetAddressOf());
    if (FAILED(p.result)) return p;
    return ReadSource(frame.Get());
}

// What the portable reader makes of `bytes`, rows top-down as WIC delivers
// them; `accepted` false when the codec must refuse the file (refused by the
// reader, no pixels, or more than 2^24 of them).
struct Expected {
    bool accepted = false;
    uint32_t width = 0, height = 0;
    std::vector<uint32_t> pixels;
};

inline Expected ExpectedPicture(const std::vector<uint8_t>& bytes) {
    Expected e;
    TimImageInfo info{};
    if (FindTimRefusal(info, bytes.data(), bytes.size()).reason != TimRefusalReason::Accepted) return e;
    const uint64_t count = uint64_t(info.width) * info.height;
    if (count == 0 || count > (uint64_t(1) << 24)) return e;
    e.accepted = true;
    e.width = info.width;
    e.height = info.height;
    std::vector<uint32_t> bottomUp(static_cast<size_t>(count));
    DecodeTimPixels(info, bottomUp.data());
    e.pixels.resize(bottomUp.size());
    for (uint32_t y = 0; y < e.height; ++y)
        std::copy_n(&bottomUp[size_t(e.height - 1 - y) * e.width], e.width, &e.pixels[size_t(y) * e.width]);
    return e;
}

// A stream over memory that counts what is asked of it and can be made to
// fail: every Read from byte `failAt` on fails (with `failure`, or as a read
// of no bytes when `failure` is S_OK). It may be longer than its bytes, as a
// sparse file is: zeros up to `length`, with more bytes placed anywhere.
class TestStream final : public IStream {
public:
    explicit TestStream(std::vector<uint8_t> bytes, uint64_t length = 0)
        : length_(std::max<uint64_t>(length, bytes.size())) {
        parts_.emplace_back(0, std::move(bytes));
    }
    // `bytes` at `offset`, within the length.
    void Place(uint64_t offset, std::vector<uint8_t> bytes) { parts_.emplace_back(offset, std::move(bytes)); }

    uint64_t failAt = UINT64_MAX;
    HRESULT failure = E_FAIL;
    uint64_t furthestRead = 0;    // one past the last byte handed out
    bool askedPastEnd = false;    // a Read asked for bytes beyond the end
    uint64_t position = 0;
    uint64_t bytesRead = 0;       // all bytes handed out
    uint64_t statSize = UINT64_MAX;  // what Stat tells, when it lies (its length otherwise)
    HRESULT statFailure = S_OK;      // Stat's failure, when it fails
    bool seeksFromStartOnly = false;  // seeking from the position or the end fails
    void (*onRead)(void* context) = nullptr;  // called at every Read
    void* onReadContext = nullptr;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IStream && riid != IID_ISequentialStream) return E_NOINTERFACE;
        *ppv = static_cast<IStream*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override { return --refs_; }  // lives on the test's stack
    ULONG refs() const { return refs_; }

    STDMETHODIMP Read(void* to, ULONG count, ULONG* got) override {
        if (onRead) onRead(onReadContext);
        if (got) *got = 0;
        if (position + count > length_) askedPastEnd = true;
        if (position >= failAt) return failure;
        uint64_t n = std::min<uint64_t>(count, position < length_ ? length_ - position : 0);
        n = std::min<uint64_t>(n, failAt - position);  // a short read just before the failure
        auto* out = static_cast<uint8_t*>(to);
        std::memset(out, 0, size_t(n));
        for (const auto& [offset, bytes] : parts_) {
            const uint64_t from = std::max(position, offset), end = std::min(position + n, offset + bytes.size());
            if (from < end) std::memcpy(out + (from - position), bytes.data() + (from - offset), size_t(end - from));
        }
        position += n;
        bytesRead += n;
        furthestRead = std::max(furthestRead, position);
        if (got) *got = ULONG(n);
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* result) override {
        if (seeksFromStartOnly && origin != STREAM_SEEK_SET) return STG_E_INVALIDFUNCTION;
        const int64_t base = origin == STREAM_SEEK_SET ? 0
                             : origin == STREAM_SEEK_CUR ? int64_t(position)
                                                         : int64_t(length_);
        if (base + move.QuadPart < 0) return STG_E_INVALIDFUNCTION;
        position = uint64_t(base + move.QuadPart);
        if (result) result->QuadPart = position;
        return S_OK;
    }
    STDMETHODIMP Stat(STATSTG* stat, DWORD) override {
        *stat = STATSTG{};
        if (FAILED(statFailure)) return statFailure;
        stat->type = STGTY_STREAM;
        stat->cbSize.QuadPart = statSize != UINT64_MAX ? statSize : length_;
        return S_OK;
    }
    STDMETHODIMP Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }
    STDMETHODIMP SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHODIMP Commit(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Revert() override { return E_NOTIMPL; }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }

private:
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> parts_;  // offset, bytes
    uint64_t length_;
    std::atomic<ULONG> refs_{1};
};

// A new codec object of class `clsid`, created by COM through the registry.
template <class T>
ComPtr<T> CreateCodecObject(const GUID& clsid, const IID& iid) {
    void* p = nullptr;
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, &p), S_OK);
    return Adopt<T>(p);
}

}  // namespace wintest
