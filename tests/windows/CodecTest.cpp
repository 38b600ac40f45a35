// The WIC decoder and the property handler as programs reach them: through
// WIC's factory, which finds the decoder by its registration alone, and
// through COM for the property handler. A sample's pixels are its expected
// picture (the conformance driver); other files' the portable reader's, or
// known values.
#include "Conformance.h"
#include "ProcessCounters.h"
#include "SampleTims.h"
#include "TimBuilder.h"
#include "WicSupport.h"

#include <propsys.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <utility>

using namespace timtest;
using namespace wintest;

namespace {

const auto* const kRegistration = ::testing::AddGlobalTestEnvironment(new CodecRegistrationEnvironment);

// A decoded picture as the conformance driver takes it: rows top-down.
tim_conformance::ClientPicture AsClient(const Picture& picture, tim_conformance::PixelLayout layout) {
    return {picture.width, picture.height, reinterpret_cast<const uint8_t*>(picture.pixels.data()),
            picture.pixels.size() * 4, size_t(picture.width) * 4, tim_conformance::RowOrder::TopDown, layout};
}

ComPtr<IWICBitmapDecoder> FromStream(IWICImagingFactory* factory, IStream* stream, HRESULT* result = nullptr) {
    ComPtr<IWICBitmapDecoder> decoder;
    const HRESULT hr =
        factory->CreateDecoderFromStream(stream, nullptr, WICDecodeMetadataCacheOnDemand, decoder.GetAddressOf());
    if (result) *result = hr;
    return decoder;
}

// The sub-rectangle `r` of a top-down picture of width `w`.
std::vector<uint32_t> Crop(const std::vector<uint32_t>& pixels, UINT w, const WICRect& r) {
    std::vector<uint32_t> out;
    for (INT y = r.Y; y < r.Y + r.Height; ++y)
        out.insert(out.end(), &pixels[size_t(y) * w + r.X], &pixels[size_t(y) * w + r.X + r.Width]);
    return out;
}

// Sub-rectangles of a sample, written into a buffer whose rows are padded:
// the pixels of the rectangle land there and nothing else is touched.
void ExpectSubRectangles(IWICBitmapFrameDecode* frame, const std::vector<uint32_t>& whole, UINT w, UINT h,
                         const std::string& name) {
    const WICRect rects[] = {
        {0, 0, INT(w), INT(h)},  // whole, but into padded rows
        {0, 0, INT(w), 1},
        {INT(w) - 1, INT(h) - 1, 1, 1},
        {INT(w / 3), INT(h / 4), INT(w / 2), INT(h / 2)},
        {1, 1, INT(w) - 2, INT(h) - 2},
    };
    for (const WICRect& r : rects) {
        if (r.Width <= 0 || r.Height <= 0) continue;
        const UINT pad = 3;  // pixels of padding after each row
        const UINT stride = UINT(r.Width + pad) * 4;
        std::vector<uint32_t> buffer(size_t(r.Width + pad) * r.Height, 0xCDCDCDCDu);
        ASSERT_EQ(frame->CopyPixels(&r, stride, UINT(buffer.size() * 4), reinterpret_cast<BYTE*>(buffer.data())),
                  S_OK)
            << name;
        std::vector<uint32_t> got;
        for (INT y = 0; y < r.Height; ++y) {
            const uint32_t* row = &buffer[size_t(y) * (r.Width + pad)];
            got.insert(got.end(), row, row + r.Width);
            for (UINT i = 0; i < pad; ++i) EXPECT_EQ(row[r.Width + i], 0xCDCDCDCDu) << name << ": padding written";
        }
        EXPECT_EQ(got, Crop(whole, w, r)) << name << " rectangle " << r.X << "," << r.Y << " " << r.Width << "x"
                                          << r.Height;
    }
}

}  // namespace

// The codec DLL's two exports keep the handler's module count: any class
// object, object or server lock outstanding keeps it loaded.
TEST(CodecDll, ClassObjectsFollowTheHandlersModuleCountRules) {
    ComScope com;
    HMODULE module = LoadLibraryW((ProgramFolder() + L"\\" TIM_CODEC_DLL_NAME).c_str());
    ASSERT_NE(module, nullptr);
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();
    const auto getClassObject =
        reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    const auto canUnload =
        reinterpret_cast<CanUnloadFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    ASSERT_TRUE(getClassObject && canUnload);
    EXPECT_EQ(canUnload(), S_OK);
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject(CLSID_TimThumbnailProvider, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(p, nullptr);
    struct Class {
        const GUID& clsid;
        const IID& iid;  // one interface each object serves
    };
    for (const Class& c : {Class{CLSID_TimWicDecoder, IID_IWICBitmapDecoder},
                           Class{CLSID_TimPropertyHandler, IID_IPropertyStore}}) {
        EXPECT_EQ(getClassObject(c.clsid, IID_IClassFactory, nullptr), E_POINTER);
        EXPECT_EQ(getClassObject(c.clsid, IID_IStream, &p), E_NOINTERFACE);
        EXPECT_EQ(canUnload(), S_OK) << "a refused class object is freed";
        ASSERT_EQ(getClassObject(c.clsid, IID_IClassFactory, &p), S_OK);
        auto factory = Adopt<IClassFactory>(p);
        EXPECT_EQ(canUnload(), S_FALSE);
        int outer = 0;  // never called: aggregation is refused first
        EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(&outer), c.iid, &p), CLASS_E_NOAGGREGATION);
        EXPECT_EQ(factory->CreateInstance(nullptr, c.iid, nullptr), E_POINTER);
        EXPECT_EQ(factory->QueryInterface(IID_IClassFactory, nullptr), E_POINTER);
        // A stray unlock is ignored: it cannot cancel the factory's reference.
        EXPECT_EQ(factory->LockServer(FALSE), S_OK);
        EXPECT_EQ(canUnload(), S_FALSE);
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IStream, &p), E_NOINTERFACE);
        EXPECT_EQ(p, nullptr);
        ASSERT_EQ(factory->CreateInstance(nullptr, c.iid, &p), S_OK);
        auto object = Adopt<IUnknown>(p);
        EXPECT_EQ(factory->LockServer(TRUE), S_OK);
        factory.Reset();
        object.Reset();
        EXPECT_EQ(canUnload(), S_FALSE) << "the server lock keeps the DLL";
        getClassObject(c.clsid, IID_IClassFactory, &p);
        factory = Adopt<IClassFactory>(p);
        EXPECT_EQ(factory->LockServer(FALSE), S_OK);
        factory.Reset();
        EXPECT_EQ(canUnload(), S_OK);
    }
    FreeLibrary(module);
}

// Each sample by the three roads a program takes, none naming the decoder:
// from a file name, from a stream over memory and from a stream over a file.
TEST(WicCodec, SamplesDecodeToTheirExpectedPicturesByEveryRoad) {
    using tim_conformance::PixelLayout;
    ComScope com;
    auto factory = WicFactory();
    ASSERT_TRUE(factory);
    TempDir dir;
    size_t decoded = 0;
    for (const auto& sample : samples::AllSamples()) {
        SCOPED_TRACE(sample.name);
        const std::wstring path = dir.Write(std::wstring(sample.name.begin(), sample.name.end()).c_str(), sample.bytes);
        ComPtr<IWICBitmapDecoder> byName;
        const HRESULT hr = factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                              WICDecodeMetadataCacheOnDemand, byName.GetAddressOf());
        if (!sample.accepted) {
            EXPECT_TRUE(FAILED(hr));
            EXPECT_FALSE(byName);
            continue;
        }
        ASSERT_EQ(hr, S_OK);

        ComPtr<IWICStream> fileStream;
        ASSERT_EQ(factory->CreateStream(fileStream.GetAddressOf()), S_OK);
        ASSERT_EQ(fileStream->InitializeFromFilename(path.c_str(), GENERIC_READ), S_OK);
        MemoryWicStream memory(factory.Get(), sample.bytes);
        ASSERT_TRUE(memory.get());
        const ComPtr<IWICBitmapDecoder> roads[] = {byName, FromStream(factory.Get(), memory.get()),
                                                   FromStream(factory.Get(), fileStream.Get())};
        std::vector<uint32_t> whole;
        for (const auto& decoder : roads) {
            ASSERT_TRUE(decoder);
            GUID container = {};
            EXPECT_EQ(decoder->GetContainerFormat(&container), S_OK);
            EXPECT_TRUE(container == GUID_ContainerFormatTim);
            const Picture got = ReadFrame(decoder.Get());
            EXPECT_EQ(got.result, S_OK);
            EXPECT_TRUE(got.format == GUID_WICPixelFormat32bppBGRA);
            EXPECT_TRUE(tim_conformance::MatchesSample(sample.name, AsClient(got, PixelLayout::StraightBgra)));
            whole = got.pixels;
        }

        // Through a format converter to premultiplied alpha; and in
        // sub-rectangles, which must be the whole frame's.
        ComPtr<IWICBitmapFrameDecode> frame;
        ASSERT_EQ(byName->GetFrame(0, frame.GetAddressOf()), S_OK);
        UINT w = 0, h = 0;
        ASSERT_EQ(frame->GetSize(&w, &h), S_OK);
        ComPtr<IWICFormatConverter> converter;
        ASSERT_EQ(factory->CreateFormatConverter(converter.GetAddressOf()), S_OK);
        ASSERT_EQ(converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone, nullptr,
                                        0.0, WICBitmapPaletteTypeCustom),
                  S_OK);
        const Picture converted = ReadSource(converter.Get());
        EXPECT_EQ(converted.result, S_OK);
        EXPECT_TRUE(tim_conformance::MatchesSample(sample.name, AsClient(converted, PixelLayout::PremultipliedBgra)));
        ExpectSubRectangles(frame.Get(), whole, w, h, sample.name);
        ++decoded;
    }
    EXPECT_GE(decoded, 6u);
}

// The fuzzer's seed corpus, valid and invalid files alike, by file name.
TEST(WicCodec, FuzzSeedsDecodeToTheReadersPixelsOrAreRefused) {
    ComScope com;
    auto factory = WicFactory();
    ASSERT_TRUE(factory);
    // Wine's drive Z: is the Linux root.
    std::wstring corpus = L"Z:" TIM_FUZZ_CORPUS;
    std::replace(corpus.begin(), corpus.end(), L'/', L'\\');
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((corpus + L"\\*.tim").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    size_t accepted = 0, refused = 0;
    do {
        const std::wstring path = corpus + L"\\" + found.cFileName;
        SCOPED_TRACE(std::string(path.begin(), path.end()));
        std::vector<uint8_t> bytes;
        HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(f, INVALID_HANDLE_VALUE);
        bytes.resize(GetFileSize(f, nullptr));
        DWORD got = 0;
        if (!bytes.empty()) ReadFile(f, bytes.data(), DWORD(bytes.size()), &got, nullptr);
        CloseHandle(f);
        const Expected want = ExpectedPicture(bytes);
        ComPtr<IWICBitmapDecoder> decoder;
        const HRESULT hr = factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                              WICDecodeMetadataCacheOnDemand, decoder.GetAddressOf());
        if (!want.accepted) {
            ++refused;
            EXPECT_TRUE(FAILED(hr));
            continue;
        }
        ++accepted;
        ASSERT_EQ(hr, S_OK);
        const Picture picture = ReadFrame(decoder.Get());
        EXPECT_EQ(picture.width, want.width);
        EXPECT_EQ(picture.height, want.height);
        EXPECT_EQ(picture.pixels, want.pixels);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::printf("[codec] seed corpus: %zu decoded, %zu refused\n", accepted, refused);
    EXPECT_GE(accepted, 15u);
    EXPECT_GE(refused, 15u);
}

// One small file per pixel format with known pixels, and the same file one
// byte short, which the decoder refuses with its exact code.
TEST(WicCodec, KnownPixelsPerFormatAndTheExactRefusalOfATruncatedFile) {
    struct Case {
        const char* name;
        Bytes file;
        UINT width, height;
        std::vector<uint32_t> pixels;  // top-down
    };
    Bytes clut16 = Colours({0x0000, 0x001F, 0x03E0, 0x7C00, 0x8000});
    clut16.resize(32, 0);
    const Case cases[] = {
        {"4-bit, CLUT", MakeTim(0, Block{16, 1, clut16}, Block{1, 2, {0x10, 0x32, 0x44, 0x44}}), 4, 2,
         {0x00000000, 0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFF000000, 0xFF000000, 0xFF000000, 0xFF000000}},
        {"8-bit, grey ramp", MakeTim(1, std::nullopt, Block{1, 2, {0x00, 0xFF, 0x08, 0x10}}), 2, 2,
         {0xFF000000, 0xFFFFFFFF, 0xFF080808, 0xFF101010}},
        {"16-bit", MakeTim(2, std::nullopt, Block{2, 2, Colours({0x001F, 0x8000, 0x0000, 0x7FFF})}), 2, 2,
         {0xFFFF0000, 0xFF000000, 0x00000000, 0xFFFFFFFF}},
        {"24-bit", MakeTim(3, std::nullopt, Block{3, 1, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60}}), 2, 1,
         {0xFF102030, 0xFF405060}},
    };
    ComScope com;
    auto factory = WicFactory();
    ASSERT_TRUE(factory);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryWicStream stream(factory.Get(), c.file);
        auto decoder = FromStream(factory.Get(), stream.get());
        ASSERT_TRUE(decoder);
        const Picture got = ReadFrame(decoder.Get());
        EXPECT_EQ(got.width, c.width);
        EXPECT_EQ(got.height, c.height);
        EXPECT_EQ(got.pixels, c.pixels);

        Bytes cut = c.file;
        cut.pop_back();
        TestStream shortStream(cut);
        auto direct = CreateCodecObject<IWICBitmapDecoder>(CLSID_TimWicDecoder, IID_IWICBitmapDecoder);
        ASSERT_TRUE(direct);
        EXPECT_EQ(direct->Initialize(&shortStream, WICDecodeMetadataCacheOnDemand), WINCODEC_ERR_BADHEADER);
        MemoryWicStream cutStream(factory.Get(), cut);
        HRESULT hr = S_OK;
        EXPECT_FALSE(FromStream(factory.Get(), cutStream.get(), &hr));
        EXPECT_TRUE(FAILED(hr));
    }
}

TEST(WicCodec, CopyPixelsChecksTheRectangleTheStrideAndTheBufferSize) {
    ComScope com;
    auto factory = WicFactory();
    ASSERT_TRUE(factory);
    MemoryWicStream stream(factory.Get(), MakeTim(2, std::nullopt, Block{2, 2, Colours({1, 2, 3, 4})}));
    auto decoder = FromStream(factory.Get(), stream.get());
    ASSERT_TRUE(decoder);
    ComPtr<IWICBitmapFrameDecode> frame;
    ASSERT_EQ(decoder->GetFrame(0, frame.GetAddressOf()), S_OK);
    struct Case {
        std::optional<WICRect> rect;
        UINT stride, size;
        HRESULT want;
    };
    const Case cases[] = {
        {std::nullopt, 8, 16, S_OK},
        {WICRect{1, 1, 1, 1}, 4, 4, S_OK},
        {WICRect{0, 0, 0, 0}, 0, 0, S_OK},  // nothing to copy
        {WICRect{-1, 0, 1, 1}, 4, 4, E_INVALIDARG},
        {WICRect{0, -1, 1, 1}, 4, 4, E_INVALIDARG},
        {WICRect{1, 0, 2, 1}, 8, 8, E_INVALIDARG},
        {WICRect{0, 1, 1, 2}, 4, 8, E_INVALIDARG},
        {WICRect{0x7FFFFFFF, 0, 2, 1}, 8, 8, E_INVALIDARG},  // X + Width wraps in 32 bits
        {WICRect{0, 0, -1, 1}, 4, 4, E_INVALIDARG},
        {std::nullopt, 7, 64, E_INVALIDARG},                         // stride shorter than a row
        {std::nullopt, 8, 15, WINCODEC_ERR_INSUFFICIENTBUFFER},      // one byte short
        {std::nullopt, 12, 20, S_OK},                                 // the last row needs no padding
        {std::nullopt, 12, 19, WINCODEC_ERR_INSUFFICIENTBUFFER},
    };
    for (const Case& c : cases) {
        std::vector<BYTE> buffer(64, 0xCD);
        const WICRect* rect = c.rect ? &*c.rect : nullptr;
        EXPECT_EQ(frame->CopyPixels(rect, c.stride, c.size, buffer.data()), c.want)
            << (c.rect ? c.rect->X : -9) << "," << (c.rect ? c.rect->Y : -9) << " stride " << c.stride << " size "
            << c.size;
        if (FAILED(c.want)) {
            EXPECT_EQ(buffer, std::vector<BYTE>(64, 0xCD)) << "a refused copy wrote pixels";
        }
    }
    EXPECT_EQ(frame->CopyPixels(nullptr, 8, 16, nullptr), E_INVALIDARG);
}

// WIC hands the stream over wherever it stands (Wine's at offset 4); the
// decoder starts from the file's beginning, reads only what the blocks need,
// and a stream that fails at any byte gives a failure.
TEST(WicCodec, StreamsAtAnyPositionFailingPartWayOrLongerThanTheFile) {
    ComScope com;
    const Bytes file = MakeTim(1, Block{256, 1, Noise(512, 7)}, Block{4, 3, Noise(24, 8)});
    const Expected want = ExpectedPicture(file);
    ASSERT_TRUE(want.accepted);

    for (uint64_t start : {0u, 4u, 9u, 600u}) {
        TestStream stream(file);
        stream.position = start;
        auto decoder = CreateCodecObject<IWICBitmapDecoder>(CLSID_TimWicDecoder, IID_IWICBitmapDecoder);
        ASSERT_TRUE(decoder);
        DWORD capability = 0xFFFF;
        EXPECT_EQ(decoder->QueryCapability(&stream, &capability), S_OK);
        EXPECT_EQ(capability, DWORD(WICBitmapDecoderCapabilityCanDecodeAllImages));
        EXPECT_EQ(stream.position, start) << "QueryCapability restores the position";
        EXPECT_LE(stream.furthestRead, file.size() - 24) << "QueryCapability reads the headers, not the rows";
        ASSERT_EQ(decoder->Initialize(&stream, WICDecodeMetadataCacheOnDemand), S_OK) << "from " << start;
        EXPECT_EQ(ReadFrame(decoder.Get()).pixels, want.pixels);
    }

    // Trailing bytes are never read, nor anything past the end asked for.
    Bytes longer = file;
    longer.resize(file.size() + 100000, 0xEE);
    TestStream stream(longer);
    auto decoder = CreateCodecObject<IWICBitmapDecoder>(CLSID_TimWicDecoder, IID_IWICBitmapDecoder);
    ASSERT_EQ(decoder->Initialize(&stream, WICDecodeMetadataCacheOnDemand), S_OK);
    EXPECT_EQ(stream.furthestRead, file.size());
    EXPECT_FALSE(stream.askedPastEnd);

    // QueryCapability: a refused file is 0 and its position comes back too.
    Bytes refused = file;
    refused[4] = 0x10;
    TestStream refusedStream(refused);
    refusedStream.position = 3;
    DWORD capability = 0xFFFF;
    EXPECT_EQ(decoder->QueryCapability(&refusedStream, &capability), S_OK);
    EXPECT_EQ(capability, 0u);
    EXPECT_EQ(refusedStream.position, 3u);

    // Failing at every byte, by an error or by reads that come back empty.
    for (HRESULT failure : {HRESULT(E_FAIL), HRESULT(S_OK)}) {
        for (uint64_t at = 0; at < file.size(); ++at) {
            TestStream failing(file);
            failing.failAt = at;
            failing.failure = failure;
            auto d = CreateCodecObject<IWICBitmapDecoder>(CLSID_TimWicDecoder, IID_IWICBitmapDecoder);
            ASSERT_TRUE(d);
            EXPECT_EQ(d->Initialize(&failing, WICDecodeMetadataCacheOnDemand),
                      failure == S_OK ? WINCODEC_ERR_STREAMREAD : E_FAIL)
                << "failing at byte " << at;
            UINT count = 9;
            EXPECT_EQ(d->GetFrameCount(&count), WINCODEC_ERR_NOTINITIALIZED);
            d.Reset();
            EXPECT_EQ(failing.refs(), 1u) << "the stream was kept";
        }
    }
}

TEST(WicCodec, DecoderAndFrameAnswerEveryOtherMethodAsDocumented) {
    ComScope com;
    auto decoder = CreateCodecObject<IWICBitmapDecoder>(CLSID_TimWicDecoder, IID_IWICBitmapDecoder);
    ASSERT_TRUE(decoder);
    ComPtr<IWICBitmapFrameDecode> frame;
    EXPECT_EQ(decoder->GetFrame(0, frame.GetAddressOf()), WINCODEC_ERR_NOTINITIALIZED);
    TestStream stream(MakeTim(2, std::nullopt, Block{3, 2, Noise(12, 4)}));
    ASSERT_EQ(decoder->Initialize(&stream, WICDecodeMetadataCacheOnDemand), S_OK);
    EXPECT_EQ(decoder->Initialize(&stream, WICDecodeMetadataCacheOnDemand), WINCODEC_ERR_WRONGSTATE);

    UINT count = 0;
    EXPECT_EQ(decoder->GetFrameCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(decoder->GetFrame(1, frame.GetAddressOf()), WINCODEC_ERR_FRAMEMISSING);
    EXPECT_FALSE(frame);

    ComPtr<IWICBitmapDecoderInfo> info;
    ASSERT_EQ(decoder->GetDecoderInfo(info.GetAddressOf()), S_OK);
    wchar_t text[128] = {};
    UINT length = 0;
    EXPECT_EQ(info->GetFriendlyName(128, text, &length), S_OK);
    EXPECT_STREQ(text, L"PlayStation TIM Decoder");
    EXPECT_EQ(info->GetFileExtensions(128, text, &length), S_OK);
    EXPECT_STREQ(text, L".tim");
    EXPECT_EQ(info->GetMimeTypes(128, text, &length), S_OK);
    EXPECT_STREQ(text, L"image/x-tim");
    GUID container = {};
    EXPECT_EQ(info->GetContainerFormat(&container), S_OK);
    EXPECT_TRUE(container == GUID_ContainerFormatTim);

    ComPtr<IWICImagingFactory> factory = WicFactory();
    ComPtr<IWICPalette> palette;
    ASSERT_EQ(factory->CreatePalette(palette.GetAddressOf()), S_OK);
    ComPtr<IWICMetadataQueryReader> reader;
    ComPtr<IWICBitmapSource> source;
    EXPECT_EQ(decoder->CopyPalette(palette.Get()), WINCODEC_ERR_PALETTEUNAVAILABLE);
    EXPECT_EQ(decoder->GetMetadataQueryReader(reader.GetAddressOf()), WINCODEC_ERR_UNSUPPORTEDOPERATION);
    EXPECT_EQ(decoder->GetPreview(source.GetAddressOf()), WINCODEC_ERR_UNSUPPORTEDOPERATION);
    EXPECT_EQ(decoder->GetThumbnail(source.GetAddressOf()), WINCODEC_ERR_CODECNOTHUMBNAIL);
    EXPECT_EQ(decoder->GetColorContexts(0, nullptr, &count), WINCODEC_ERR_UNSUPPORTEDOPERATION);

    ASSERT_EQ(decoder->GetFrame(0, frame.GetAddressOf()), S_OK);
    UINT w = 0, h = 0;
    EXPECT_EQ(frame->GetSize(&w, &h), S_OK);
    EXPECT_EQ(w, 3u);
    EXPECT_EQ(h, 2u);
    double dpiX = 0, dpiY = 0;
    EXPECT_EQ(frame->GetResolution(&dpiX, &dpiY), S_OK);
    EXPECT_EQ(dpiX, 96.0);
    EXPECT_EQ(dpiY, 96.0);
    EXPECT_EQ(frame->CopyPalette(palette.Get()), WINCODEC_ERR_PALETTEUNAVAILABLE);
    EXPECT_EQ(frame->GetMetadataQueryReader(reader.GetAddressOf()), WINCODEC_ERR_UNSUPPORTEDOPERATION);
    EXPECT_EQ(frame->GetThumbnail(source.GetAddressOf()), WINCODEC_ERR_CODECNOTHUMBNAIL);
    EXPECT_EQ(frame->GetColorContexts(0, nullptr, &count), WINCODEC_ERR_UNSUPPORTEDOPERATION);
    void* p = nullptr;
    EXPECT_EQ(frame->QueryInterface(IID_IWICBitmapSource, &p), S_OK);
    static_cast<IUnknown*>(p)->Release();
    EXPECT_EQ(decoder->QueryInterface(IID_IWICBitmapFrameDecode, &p), E_NOINTERFACE);

    // A null place for a result is refused before anything is written or made.
    auto store = CreateCodecObject<IPropertyStore>(CLSID_TimPropertyHandler, IID_IPropertyStore);
    ASSERT_TRUE(store);
    GUID format = {};
    const struct {
        const char* name;
        HRESULT result;
    } nulls[] = {
        {"decoder QueryInterface", decoder->QueryInterface(IID_IUnknown, nullptr)},
        {"frame QueryInterface", frame->QueryInterface(IID_IWICBitmapSource, nullptr)},
        {"property store QueryInterface", store->QueryInterface(IID_IPropertyStore, nullptr)},
        {"QueryCapability", decoder->QueryCapability(&stream, nullptr)},
        {"GetContainerFormat", decoder->GetContainerFormat(nullptr)},
        {"GetDecoderInfo", decoder->GetDecoderInfo(nullptr)},
        {"GetFrameCount", decoder->GetFrameCount(nullptr)},
        {"GetFrame", decoder->GetFrame(0, nullptr)},
        {"decoder GetMetadataQueryReader", decoder->GetMetadataQueryReader(nullptr)},
        {"GetPreview", decoder->GetPreview(nullptr)},
        {"decoder GetThumbnail", decoder->GetThumbnail(nullptr)},
        {"decoder GetColorContexts", decoder->GetColorContexts(0, nullptr, nullptr)},
        {"GetSize without a width", frame->GetSize(nullptr, &h)},
        {"GetSize without a height", frame->GetSize(&w, nullptr)},
        {"GetPixelFormat", frame->GetPixelFormat(nullptr)},
        {"GetResolution without y", frame->GetResolution(&dpiX, nullptr)},
        {"frame GetMetadataQueryReader", frame->GetMetadataQueryReader(nullptr)},
        {"frame GetThumbnail", frame->GetThumbnail(nullptr)},
        {"frame GetColorContexts", frame->GetColorContexts(0, nullptr, nullptr)},
        {"GetCount", store->GetCount(nullptr)},
        {"GetAt", store->GetAt(0, nullptr)},
        {"GetValue", store->GetValue(PROPERTYKEY{}, nullptr)},
    };
    for (const auto& c : nulls) EXPECT_EQ(c.result, E_POINTER) << c.name;
    EXPECT_EQ(frame->GetPixelFormat(&format), S_OK) << "the frame still answers";
}

namespace {

std::wstring StringProperty(IPropertyStore* store, const PROPERTYKEY& key) {
    PROPVARIANT v;
    PropVariantInit(&v);
    std::wstring text = store->GetValue(key, &v) == S_OK && v.vt == VT_LPWSTR ? v.pwszVal : L"(not a string)";
    PropVariantClear(&v);
    return text;
}

ULONG NumberProperty(IPropertyStore* store, const PROPERTYKEY& key) {
    PROPVARIANT v;
    PropVariantInit(&v);
    const ULONG n = store->GetValue(key, &v) == S_OK && v.vt == VT_UI4 ? v.ulVal : 0xFFFFFFFF;
    PropVariantClear(&v);
    return n;
}

const GUID kImageSummary = {0x6444048f, 0x4c8b, 0x11d1, {0x8b, 0x70, 0x08, 0x00, 0x36, 0xb1, 0x1a, 0x03}};
const PROPERTYKEY kDimensions = {kImageSummary, 13};
const PROPERTYKEY kHorizontalSize = {kImageSummary, 3};
const PROPERTYKEY kVerticalSize = {kImageSummary, 4};
const PROPERTYKEY kBitDepth = {kImageSummary, 7};
const PROPERTYKEY kComment = {{0xf29f85e0, 0x4ff9, 0x1068, {0xab, 0x91, 0x08, 0x00, 0x2b, 0x27, 0xb3, 0xd9}}, 6};

}  // namespace

// Each sample's properties, its size and bit depth told by its name
// ("sprite-4bit-clut"), as Explorer reads them through COM and a stream.
TEST(PropertyHandler, SamplesShowTheirSizeAndDepthAndTheRefusedFileFails) {
    ComScope com;
    size_t shown = 0;
    for (const auto& sample : samples::AllSamples()) {
        SCOPED_TRACE(sample.name);
        auto init = CreateCodecObject<IInitializeWithStream>(CLSID_TimPropertyHandler, IID_IInitializeWithStream);
        ASSERT_TRUE(init);
        TestStream stream(sample.bytes);
        const HRESULT hr = init->Initialize(&stream, STGM_READ);
        EXPECT_FALSE(stream.askedPastEnd);
        EXPECT_LE(stream.bytesRead, 32u) << "the file header and the two block headers, no more";
        if (!sample.accepted) {
            EXPECT_EQ(hr, WINCODEC_ERR_BADHEADER);
            continue;
        }
        ASSERT_EQ(hr, S_OK);
        ComPtr<IPropertyStore> store;
        ASSERT_EQ(init.As(&store), S_OK);
        const Expected picture = ExpectedPicture(sample.bytes);
        const std::wstring size = std::to_wstring(picture.width) + L" x " + std::to_wstring(picture.height);
        EXPECT_EQ(StringProperty(store.Get(), kDimensions), size);
        EXPECT_EQ(NumberProperty(store.Get(), kHorizontalSize), picture.width);
        EXPECT_EQ(NumberProperty(store.Get(), kVerticalSize), picture.height);
        const size_t bit = sample.name.find("bit");
        ASSERT_NE(bit, std::string::npos);
        const size_t digits = sample.name.find_last_of('-', bit) + 1;
        const ULONG depth = ULONG(std::stoul(sample.name.substr(digits, bit - digits)));
        EXPECT_EQ(NumberProperty(store.Get(), kBitDepth), depth);
        DWORD count = 0;
        EXPECT_EQ(store->GetCount(&count), S_OK);
        EXPECT_EQ(count, depth <= 8 ? 5u : 4u) << "the palette line is for indexed files only";
        if (sample.name == "sprite-4bit-two-palettes.tim") {
            EXPECT_EQ(StringProperty(store.Get(), kComment), L"2 palettes of 16 colours");
        }
        if (sample.name == "bands-4bit-grey.tim") {
            EXPECT_EQ(StringProperty(store.Get(), kComment), L"No palette: drawn in greys");
        }
        if (depth > 8) {
            PROPVARIANT comment;
            PropVariantInit(&comment);
            EXPECT_EQ(store->GetValue(kComment, &comment), S_OK);
            EXPECT_EQ(comment.vt, VT_EMPTY) << "no palette line for a direct-colour file";
            PropVariantClear(&comment);
        }

        // Read-only.
        PROPVARIANT v;
        PropVariantInit(&v);
        EXPECT_EQ(store->SetValue(kDimensions, v), STG_E_ACCESSDENIED);
        EXPECT_EQ(store->Commit(), STG_E_ACCESSDENIED);
        ComPtr<IPropertyStoreCapabilities> capabilities;
        ASSERT_EQ(init.As(&capabilities), S_OK);
        EXPECT_EQ(capabilities->IsPropertyWritable(kDimensions), S_FALSE);
        EXPECT_EQ(init->Initialize(&stream, STGM_READ), HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED));
        ++shown;
    }
    EXPECT_GE(shown, 6u);

    auto init = CreateCodecObject<IInitializeWithStream>(CLSID_TimPropertyHandler, IID_IInitializeWithStream);
    ComPtr<IPropertyStore> store;
    ASSERT_EQ(init.As(&store), S_OK);
    DWORD count = 9;
    EXPECT_EQ(store->GetCount(&count), S_OK);
    EXPECT_EQ(count, 0u) << "nothing before Initialize";
    PROPVARIANT v;
    PropVariantInit(&v);
    EXPECT_EQ(store->GetValue(kDimensions, &v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
    TestStream stream(samples::AllSamples()[0].bytes);
    EXPECT_EQ(init->Initialize(&stream, STGM_READWRITE), STG_E_ACCESSDENIED);
}

namespace {

// The most private memory the process held at any Read a codec object made
// of a stream, and once it returned, above what it held before.
struct MemoryPeak {
    PrivateMemory before = TakePrivateMemory(), most = before;
    static void Sample(void* self) {
        auto* peak = static_cast<MemoryPeak*>(self);
        const PrivateMemory now = TakePrivateMemory();
        peak->most.committed = std::max(peak->most.committed, now.committed);
        peak->most.pagefile = std::max(peak->most.pagefile, now.pagefile);
    }
    void Watch(TestStream& stream) {
        stream.onRead = Sample;
        stream.onReadContext = this;
    }
    int64_t CommittedMiB() const { return (most.committed - before.committed) >> 20; }
    int64_t PagefileMiB() const { return (most.pagefile - before.pagefile) >> 20; }
};

Bytes Join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The file header and the first block's header, `w` x `h` units claiming
// `length` bytes, without its data.
Bytes FirstHead(uint32_t mode, uint16_t w, uint16_t h, uint32_t length) {
    Bytes head;
    PutU32(head, 16);
    PutU32(head, mode);
    PutU32(head, length);
    for (uint16_t v : {uint16_t(0), uint16_t(0), w, h}) PutU16(head, v);
    return head;
}

}  // namespace

// Lengths in the file, and sizes Stat tells, that claim far more than the
// stream holds: the decoder reads the headers, its palette and the rows and
// seeks over the rest; the property handler reads the headers alone. Memory
// follows the image, whatever the claims, and a stream that ends before
// what Stat told fails as it ends. Each stream holds only its real bytes.
TEST(WicCodec, ClaimedLengthsAreSoughtOverAndMemoryFollowsTheImage) {
    constexpr uint64_t kMiB = uint64_t(1) << 20;
    const Bytes red16 = MakeTim(2, std::nullopt, Block{1, 1, Colours({0x001F})});
    Bytes clutHead;  // the file header and a CLUT block of 512 MiB, up to its 256 colours
    PutU32(clutHead, 16);
    PutU32(clutHead, 1 | 8);
    AppendBlock(clutHead, Block{256, 1, Noise(512, 5), uint32_t(512 * kMiB)});
    Bytes imageBlock8;
    AppendBlock(imageBlock8, Block{1, 1, {3, 200}});
    const Bytes compact8 = MakeTim(1, Block{256, 1, Noise(512, 5)}, Block{1, 1, {3, 200}});
    const Bytes small16 = MakeTim(2, std::nullopt, Block{2, 2, Colours({0x001F, 0x8000, 0x0000, 0x7FFF})});
    struct Case {
        const char* what;
        std::vector<std::pair<uint64_t, Bytes>> parts;  // the real bytes at their offsets
        uint64_t length;  // the stream's, zeros where no part is
        uint64_t stat;    // what Stat tells, when not the length
        HRESULT statFailure;
        HRESULT decoder, properties;  // Initialize's answers
        Bytes picture;    // a file of the same pixels, when drawn (empty: all but the last are 0)
        uint64_t decoderReads, propertyReads;  // at most these bytes read
        bool seeksFromStartOnly = false;  // slack is then read and dropped, Stat taken at its word
    };
    const uint64_t big16 = 8 + 256 * kMiB, big8 = 8 + 512 * kMiB + imageBlock8.size();
    const uint64_t rows4096 = uint64_t(4096) * 4096 * 2;
    const Case cases[] = {
        {"a small file", {{0, small16}}, small16.size(), 0, S_OK, S_OK, S_OK, small16, small16.size(), 20},
        {"the same, Stat failing", {{0, small16}}, small16.size(), 0, E_NOTIMPL, S_OK, S_OK, small16, 28, 20},
        {"the same, Stat telling 1 GiB", {{0, small16}}, small16.size(), 1024 * kMiB, S_OK, S_OK, S_OK, small16, 28, 20},
        {"1 x 1, 16-bit, image block of 256 MiB", {{0, Join(FirstHead(2, 1, 1, uint32_t(256 * kMiB)), Colours({0x001F}))}},
         big16, 0, S_OK, S_OK, S_OK, red16, 22, 20},
        {"the same, a byte short", {{0, Join(FirstHead(2, 1, 1, uint32_t(256 * kMiB)), Colours({0x001F}))}}, big16 - 1, 0,
         S_OK, WINCODEC_ERR_BADHEADER, WINCODEC_ERR_BADHEADER, {}, 20, 20},
        {"8-bit, after a CLUT block of 512 MiB", {{0, clutHead}, {8 + 512 * kMiB, imageBlock8}}, big8, 0, S_OK, S_OK,
         S_OK, compact8, 20 + 512 + 12 + 2, 32},
        {"Stat telling 1 GiB of a 20-byte stream, its block as much",
         {{0, FirstHead(2, 1, 1, uint32_t(1024 * kMiB - 8))}}, 20, 1024 * kMiB, S_OK, WINCODEC_ERR_STREAMREAD,
         WINCODEC_ERR_STREAMREAD, {}, 20, 20},
        {"8-bit, after a CLUT block of 1 MiB, seeking from the start only",
         {{0, Join(FirstHead(1 | 8, 256, 1, uint32_t(kMiB)), Noise(512, 5))}, {8 + kMiB, imageBlock8}},
         8 + kMiB + imageBlock8.size(), 0, S_OK, S_OK, S_OK, compact8, 8 + kMiB + imageBlock8.size(),
         8 + kMiB + 12, true},
        {"the small file, Stat telling 1 GiB, seeking from the start only", {{0, small16}}, small16.size(),
         1024 * kMiB, S_OK, S_OK, S_OK, small16, 28, 20, true},
        {"4096 x 4096, 16-bit", {{0, FirstHead(2, 4096, 4096, uint32_t(12 + rows4096))}, {20 + rows4096 - 2, Colours({0x001F})}},
         20 + rows4096, 0, S_OK, S_OK, S_OK, {}, 20 + rows4096, 20},
        {"4096 x 4097, 16-bit", {{0, FirstHead(2, 4096, 4097, uint32_t(12 + rows4096 + 8192))}},
         20 + rows4096 + 8192, 0, S_OK, WINCODEC_ERR_IMAGESIZEOUTOFRANGE, WINCODEC_ERR_IMAGESIZEOUTOFRANGE, {}, 20, 20},
    };
    ComScope com;
    int64_t smallMiB = -1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto makeStream = [&c] {
            auto stream = std::make_unique<TestStream>(c.parts[0].second, c.length);
            for (size_t i = 1; i < c.parts.size(); ++i) stream->Place(c.parts[i].first, c.parts[i].second);
            if (c.stat) stream->statSize = c.stat;
            stream->statFailure = c.statFailure;
            stream->seeksFromStartOnly = c.seeksFromStartOnly;
            return stream;
        };

        auto decoder = CreateCodecObject<IWICBitmapDecoder>(CLSID_TimWicDecoder, IID_IWICBitmapDecoder);
        ASSERT_TRUE(decoder);
        auto stream = makeStream();
        MemoryPeak peak;
        peak.Watch(*stream);
        EXPECT_EQ(decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand), c.decoder);
        MemoryPeak::Sample(&peak);  // the frame holds the rows
        EXPECT_LE(stream->bytesRead, c.decoderReads);
        std::printf("[codec memory] %-66s committed %+5lld MiB, PagefileUsage %+5lld MiB, %llu bytes read\n", c.what,
                    static_cast<long long>(peak.CommittedMiB()), static_cast<long long>(peak.PagefileMiB()),
                    static_cast<unsigned long long>(stream->bytesRead));
        if (smallMiB < 0) smallMiB = std::max(peak.CommittedMiB(), peak.PagefileMiB());
        EXPECT_LE(peak.CommittedMiB(), smallMiB + 64);
        EXPECT_LE(peak.PagefileMiB(), smallMiB + 64);
        if (c.decoder == S_OK) {
            const Picture got = ReadFrame(decoder.Get());
            if (!c.picture.empty()) {
                const Expected want = ExpectedPicture(c.picture);
                EXPECT_EQ(got.width, want.width);
                EXPECT_EQ(got.height, want.height);
                EXPECT_EQ(got.pixels, want.pixels);
            } else {
                ASSERT_EQ(got.pixels.size(), size_t(4096) * 4096);
                EXPECT_EQ(got.pixels.back(), 0xFFFF0000u) << "the last row is read to its end";
                EXPECT_EQ(std::count(got.pixels.begin(), got.pixels.end() - 1, 0u), ptrdiff_t(got.pixels.size() - 1));
            }
        }
        decoder.Reset();
        stream.reset();

        auto init = CreateCodecObject<IInitializeWithStream>(CLSID_TimPropertyHandler, IID_IInitializeWithStream);
        ASSERT_TRUE(init);
        stream = makeStream();
        EXPECT_EQ(init->Initialize(stream.get(), STGM_READ), c.properties);
        EXPECT_LE(stream->bytesRead, c.propertyReads) << "the headers only";
        if (c.properties == S_OK) {
            ComPtr<IPropertyStore> store;
            ASSERT_EQ(init.As(&store), S_OK);
            UINT w = 0, h = 0;
            if (!c.picture.empty()) {
                const Expected want = ExpectedPicture(c.picture);
                w = want.width;
                h = want.height;
            } else {
                w = h = 4096;
            }
            EXPECT_EQ(NumberProperty(store.Get(), kHorizontalSize), w);
            EXPECT_EQ(NumberProperty(store.Get(), kVerticalSize), h);
        }
    }
}
