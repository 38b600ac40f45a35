// GetThumbnail: the bitmap's size, layout and pixels against the decoder.
#include "HandlerFixture.h"
#include "Premultiply.h"
#include "TimBuilder.h"
#include "TimDecode.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <random>

using namespace timtest;
using wintest::ComPtr;
using wintest::TempDir;

namespace {

// What the bitmap must hold: the decoder's own output, premultiplied.
std::vector<uint32_t> Expected(const Bytes& file) {
    TimImageInfo info{};
    EXPECT_TRUE(ParseTimHeader(info, file.data(), file.data() + file.size()));
    std::vector<uint32_t> pixels(size_t(info.width) * info.height);
    DecodeTimPixels(info, pixels.data());
    PremultiplyPixels(pixels.data(), pixels.size());
    return pixels;
}

class ThumbnailTest : public HandlerTest {
protected:
    // Initializes a provider on `file` and returns its thumbnail face.
    ComPtr<IThumbnailProvider> Open(const Bytes& file) {
        auto init = NewProvider();
        EXPECT_EQ(init->Initialize(dir_.Write(L"image.tim", file).c_str(), 0), S_OK);
        return ThumbnailFace(init.Get());
    }
    TempDir dir_;
};

}  // namespace

TEST_F(ThumbnailTest, EveryFormatMatchesTheDecoder) {
    const struct {
        const char* name;
        Bytes file;
        LONG width, height;
    } cases[] = {
        {"4-bit with CLUT", MakeTim(0, Block{16, 1, Noise(32, 1)}, Block{3, 5, Noise(30, 2)}), 12, 5},
        {"4-bit grey", MakeTim(0, std::nullopt, Block{2, 3, Noise(12, 3)}), 8, 3},
        {"8-bit with CLUT", MakeTim(1, Block{256, 1, Noise(512, 4)}, Block{3, 4, Noise(24, 5)}), 6, 4},
        {"8-bit grey", MakeTim(1, std::nullopt, Block{2, 2, Noise(8, 6)}), 4, 2},
        {"16-bit", MakeTim(2, std::nullopt, Block{7, 3, Noise(42, 7)}), 7, 3},
        {"24-bit", MakeTim(3, std::nullopt, Block{5, 4, Noise(40, 8)}), 3, 4},
    };
    for (const auto& c : cases) {
        auto thumb = Open(c.file);
        HBITMAP bitmap = nullptr;
        WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
        ASSERT_EQ(thumb->GetThumbnail(64, &bitmap, &alpha), S_OK) << c.name;
        EXPECT_EQ(alpha, WTSAT_ARGB) << c.name;
        const auto dib = wintest::ReadDib(bitmap);
        EXPECT_EQ(dib.width, c.width) << c.name;
        EXPECT_EQ(dib.height, c.height) << c.name << ": positive, bottom-up";
        EXPECT_EQ(dib.bitCount, 32) << c.name;
        EXPECT_EQ(dib.pixels, Expected(c.file)) << c.name;
        DeleteObject(bitmap);
    }
}

TEST_F(ThumbnailTest, FirstMemoryRowIsTheImagesBottomRow) {
    // 4 x 2, 16-bit: top row red, bottom row blue with one transparent pixel.
    auto thumb = Open(MakeTim(2, std::nullopt,
                              Block{4, 2, Colours({0x001F, 0x001F, 0x001F, 0x001F, 0x7C00, 0, 0x7C00, 0x7C00})}));
    HBITMAP bitmap = nullptr;
    WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
    ASSERT_EQ(thumb->GetThumbnail(4, &bitmap, &alpha), S_OK);
    const std::vector<uint32_t> want = {0xFF0000FF, 0, 0xFF0000FF, 0xFF0000FF,
                                        0xFFFF0000, 0xFFFF0000, 0xFFFF0000, 0xFFFF0000};
    EXPECT_EQ(wintest::ReadDib(bitmap).pixels, want);
    DeleteObject(bitmap);
}

TEST_F(ThumbnailTest, RequestedSizeIsIgnored) {
    auto thumb = Open(MakeTim(2, std::nullopt, Block{16, 16, Noise(512, 9)}));
    for (UINT cx : {0u, 16u, 256u, 1024u}) {
        HBITMAP bitmap = nullptr;
        WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
        ASSERT_EQ(thumb->GetThumbnail(cx, &bitmap, &alpha), S_OK);
        const auto dib = wintest::ReadDib(bitmap);
        EXPECT_EQ(dib.width, 16) << cx;
        EXPECT_EQ(dib.height, 16) << cx;
        DeleteObject(bitmap);
    }
}

TEST_F(ThumbnailTest, TwoCallsGiveTwoIndependentBitmaps) {
    auto thumb = Open(MakeTim(1, Block{256, 1, Noise(512, 10)}, Block{4, 4, Noise(32, 11)}));
    HBITMAP first = nullptr, second = nullptr;
    WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
    ASSERT_EQ(thumb->GetThumbnail(32, &first, &alpha), S_OK);
    ASSERT_EQ(thumb->GetThumbnail(32, &second, &alpha), S_OK);
    ASSERT_NE(first, second);
    const auto a = wintest::ReadDib(first);
    const auto b = wintest::ReadDib(second);
    EXPECT_NE(a.bits, b.bits) << "each call owns its own pixel memory";
    EXPECT_EQ(a.pixels, b.pixels);
    // Scribbling on one leaves the other as it was.
    const_cast<uint32_t*>(static_cast<const uint32_t*>(a.bits))[0] ^= 0xFFFFFFFF;
    EXPECT_EQ(wintest::ReadDib(second).pixels, b.pixels);
    DeleteObject(first);
    DeleteObject(second);
}

TEST_F(ThumbnailTest, EmptyImagesAreRefusedWithoutABitmap) {
    for (const Bytes& file : {MakeTim(2, std::nullopt, Block{}), MakeTim(2, std::nullopt, Block{0, 9}),
                              MakeTim(2, std::nullopt, Block{9, 0}), MakeTim(3, std::nullopt, Block{1, 4})}) {
        auto thumb = Open(file);
        HBITMAP bitmap = reinterpret_cast<HBITMAP>(uintptr_t(0xBAD));
        WTS_ALPHATYPE alpha = WTSAT_ARGB;
        EXPECT_EQ(thumb->GetThumbnail(32, &bitmap, &alpha), E_OUTOFMEMORY);
        EXPECT_EQ(bitmap, nullptr);
        EXPECT_EQ(alpha, WTSAT_UNKNOWN);
    }
}

TEST_F(HandlerTest, GetThumbnailBeforeInitializeIsUnexpected) {
    TempDir dir;
    auto init = NewProvider();
    auto thumb = ThumbnailFace(init.Get());
    HBITMAP bitmap = reinterpret_cast<HBITMAP>(uintptr_t(0xBAD));
    WTS_ALPHATYPE alpha = WTSAT_ARGB;
    EXPECT_EQ(thumb->GetThumbnail(32, &bitmap, &alpha), E_UNEXPECTED);
    EXPECT_EQ(bitmap, nullptr);
    EXPECT_EQ(alpha, WTSAT_UNKNOWN);
    // A failed Initialize leaves it just as unusable.
    EXPECT_EQ(init->Initialize(dir.Write(L"bad.tim", Bytes(30, 1)).c_str(), 0), E_INVALIDARG);
    EXPECT_EQ(thumb->GetThumbnail(32, &bitmap, &alpha), E_UNEXPECTED);
    EXPECT_EQ(bitmap, nullptr);
}

TEST_F(ThumbnailTest, ImagesAboveTwoToTheTwentyFourPixelsAreRefusedBeforeAnyBitmap) {
    // Sparse files: a 20-byte header, then zeros up to the image's full size.
    auto sparse = [&](const wchar_t* name, uint32_t mode, uint16_t units, uint16_t rows) {
        const std::wstring path = dir_.PathOf(name);
        const Bytes header = MakeTim(mode, std::nullopt, Block{units, rows, Bytes(1, 0)});
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        dir_.Track(path);
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(h, header.data(), 20, &written, nullptr));
        LARGE_INTEGER end;
        end.QuadPart = LONGLONG(20 + uint64_t(units) * 2 * rows);
        EXPECT_TRUE(SetFilePointerEx(h, end, nullptr, FILE_BEGIN));
        EXPECT_TRUE(SetEndOfFile(h));
        CloseHandle(h);
        return path;
    };
    const struct {
        const char* name;
        uint32_t mode;
        uint16_t units, rows;  // the image block's width in 16-bit units, and its height
        HRESULT result;
    } cases[] = {
        {"4-bit 4096 x 4096, exactly 2^24", 0, 1024, 4096, S_OK},
        {"24-bit 4096 x 4096, exactly 2^24", 3, 6144, 4096, S_OK},
        {"4-bit 4096 x 4097, one row more", 0, 1024, 4097, E_OUTOFMEMORY},
        {"4-bit 65532 x 16386, above 2^30", 0, 16383, 16386, E_OUTOFMEMORY},
    };
    for (const auto& c : cases) {
        auto init = NewProvider();
        ASSERT_EQ(init->Initialize(sparse(L"huge.tim", c.mode, c.units, c.rows).c_str(), 0), S_OK) << c.name;
        auto thumb = ThumbnailFace(init.Get());
        HBITMAP bitmap = reinterpret_cast<HBITMAP>(uintptr_t(0xBAD));
        WTS_ALPHATYPE alpha = WTSAT_ARGB;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(thumb->GetThumbnail(256, &bitmap, &alpha), c.result) << c.name;
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
        if (c.result != S_OK) {
            EXPECT_EQ(bitmap, nullptr) << c.name;
            EXPECT_EQ(alpha, WTSAT_UNKNOWN) << c.name;
            continue;
        }
        std::printf("[pixel cap] %s: GetThumbnail %.0f ms\n", c.name, ms);
        const auto dib = wintest::ReadDib(bitmap);
        EXPECT_EQ(dib.width, 4096) << c.name;
        EXPECT_EQ(dib.height, 4096) << c.name;
        // Every pixel is what the decoder makes of zero bytes in that format.
        const uint32_t zero = Expected(MakeTim(c.mode, std::nullopt, Block{3, 1}))[0];
        EXPECT_EQ(std::count(dib.pixels.begin(), dib.pixels.end(), zero), ptrdiff_t(dib.pixels.size())) << c.name;
        DeleteObject(bitmap);
    }
}
