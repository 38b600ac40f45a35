// Acceptance rules of the signature check and the header walk, each tried one
// step inside and one step outside its boundary.
#include "GuardedBuffer.h"
#include "TimBuilder.h"
#include "TimFormat.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <string>

using namespace timtest;

namespace {

// Runs both checks in the order the provider runs them, on a buffer that ends
// at a guard page.
bool Accepts(const Bytes& file, TimImageInfo* out = nullptr) {
    GuardedBuffer buf(file);
    TimImageInfo info{};
    const bool ok = CheckTimSignature(buf.begin(), buf.size()) &&
                    ParseTimHeader(info, buf.begin(), buf.end());
    if (ok && out) *out = info;
    return ok;
}

Bytes Header(uint32_t id, uint32_t flags, uint32_t firstLength) {
    Bytes v;
    PutU32(v, id);
    PutU32(v, flags);
    PutU32(v, firstLength);
    return v;
}

struct SignatureCase {
    const char* name;
    Bytes bytes;
    bool accepted;
};

}  // namespace

TEST(CheckTimSignature, BoundariesOfEachRule) {
    Bytes padded20 = Header(16, 2, 12);
    padded20.resize(20);
    Bytes padded100 = Header(16, 2, 92);
    padded100.resize(100);
    Bytes tooLong100 = Header(16, 2, 93);
    tooLong100.resize(100);
    Bytes flags15 = Header(16, 15, 12);
    flags15.resize(20);
    Bytes flags16 = Header(16, 16, 12);
    flags16.resize(20);
    Bytes id17 = Header(17, 2, 12);
    id17.resize(20);
    Bytes id15 = Header(15, 2, 12);
    id15.resize(20);
    Bytes length11 = Header(16, 2, 11);
    length11.resize(20);
    Bytes twelveBytes = Header(16, 2, 4);  // length 4 = size - 8 but below 12

    const SignatureCase cases[] = {
        {"empty", {}, false},
        {"eleven bytes", Bytes(padded20.begin(), padded20.begin() + 11), false},
        {"twelve bytes, length below 12", twelveBytes, false},
        {"20 bytes, length 12", padded20, true},
        {"length equals size - 8", padded100, true},
        {"length one past size - 8", tooLong100, false},
        {"flags 15", flags15, true},
        {"flags 16", flags16, false},
        {"identifier 17", id17, false},
        {"identifier 15", id15, false},
        {"length 11", length11, false},
    };
    for (const auto& c : cases) {
        GuardedBuffer buf(c.bytes);
        EXPECT_EQ(CheckTimSignature(buf.begin(), buf.size()), c.accepted) << c.name;
    }
}

TEST(CheckTimSignature, RejectsEveryFileShorterThan20Bytes) {
    // Even the best-looking prefix of a file cannot pass before 20 bytes.
    Bytes best = Header(16, 2, 12);
    best.resize(20);
    for (size_t size = 0; size < 20; ++size) {
        GuardedBuffer buf(Bytes(best.begin(), best.begin() + size));
        EXPECT_FALSE(CheckTimSignature(buf.begin(), buf.size())) << size;
    }
}

TEST(ParseTimHeader, SmallestFileIsAZeroSizedImage) {
    TimImageInfo info{};
    ASSERT_TRUE(Accepts(MakeTim(2, std::nullopt, Block{}), &info));
    EXPECT_EQ(info.format, TimPixelFormat::Direct16);
    EXPECT_EQ(+info.width, 0);
    EXPECT_EQ(+info.height, 0);
    EXPECT_EQ(+info.imageEnd, 20u);
}

TEST(ParseTimHeader, FillsEveryFieldOfTheRecord) {
    Block clut{16, 2, {}, std::nullopt, 320, 480};
    Block image{3, 5, {}, std::nullopt, 640, 7};
    Bytes file = MakeTim(0, clut, image);
    file.resize(file.size() + 9, 0xEE);  // trailing bytes are ignored
    GuardedBuffer buf(file);
    TimImageInfo info{};
    ASSERT_TRUE(CheckTimSignature(buf.begin(), buf.size()));
    ASSERT_TRUE(ParseTimHeader(info, buf.begin(), buf.end()));
    EXPECT_EQ(info.format, TimPixelFormat::Indexed4);
    EXPECT_EQ(+info.paletteSize, 16);
    EXPECT_EQ(+info.clutWidth, 16);
    EXPECT_EQ(+info.clutHeight, 2);
    EXPECT_EQ(+info.clutCount, 2);
    EXPECT_EQ(+info.clutX, 320);
    EXPECT_EQ(+info.clutY, 480);
    EXPECT_EQ(+info.clutData, buf.begin() + 8 + 12);
    const size_t clutLength = 12 + 16 * 2 * 2;
    EXPECT_EQ(+info.pixelData, buf.begin() + 8 + clutLength + 12);
    EXPECT_EQ(+info.rawWidth, 3);
    EXPECT_EQ(+info.width, 12);
    EXPECT_EQ(+info.height, 5);
    EXPECT_EQ(+info.imageX, 640);
    EXPECT_EQ(+info.imageY, 7);
    EXPECT_EQ(+info.imageEnd, 8 + clutLength + 12 + 3 * 5 * 2);
}

struct HeaderCase {
    std::string name;
    Bytes file;
    bool accepted;
};

// Keeps test listings readable: the case's name, not its bytes.
void PrintTo(const HeaderCase& c, std::ostream* os) {
    *os << c.name;
}

class ParseTimHeaderBoundary : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(ParseTimHeaderBoundary, AcceptsInsideRefusesOutside) {
    EXPECT_EQ(Accepts(GetParam().file), GetParam().accepted);
}

namespace {

Bytes WithFlags(Bytes file, uint32_t flags) {
    file[4] = uint8_t(flags);
    return file;
}

Bytes Truncated(Bytes file, size_t drop) {
    file.resize(file.size() - drop);
    return file;
}

std::vector<HeaderCase> HeaderCases() {
    const Block clut16{16, 1};
    std::vector<HeaderCase> c;
    // Modes and flags.
    for (uint32_t mode = 0; mode < 4; ++mode)
        c.push_back({"mode " + std::to_string(mode), MakeTim(mode, std::nullopt, Block{2, 2}), true});
    for (uint32_t flags : {4u, 5u, 6u, 7u, 12u, 13u, 14u, 15u})
        c.push_back({"flags " + std::to_string(flags),
                     WithFlags(MakeTim(0, clut16, Block{2, 2}), flags), false});
    // Block sides: 32768 is accepted, 32769 refused, in either block.
    c.push_back({"image w 32768", MakeTim(2, std::nullopt, Block{32768, 1}), true});
    c.push_back({"image w 32769", MakeTim(2, std::nullopt, Block{32769, 1}), false});
    c.push_back({"image h 32768", MakeTim(2, std::nullopt, Block{1, 32768}), true});
    c.push_back({"image h 32769", MakeTim(2, std::nullopt, Block{1, 32769}), false});
    c.push_back({"clut w 32768", MakeTim(2, Block{32768, 1}, Block{1, 1}), true});
    c.push_back({"clut w 32769", MakeTim(2, Block{32769, 1}, Block{1, 1}), false});
    c.push_back({"clut h 32768", MakeTim(2, Block{1, 32768}, Block{1, 1}), true});
    c.push_back({"clut h 32769", MakeTim(2, Block{1, 32769}, Block{1, 1}), false});
    // CLUT length: never below what its entries need, never past the file.
    c.push_back({"clut length exact", MakeTim(0, Block{16, 1, {}, 44}, Block{1, 1}), true});
    c.push_back({"clut length one short", MakeTim(0, Block{16, 1, {}, 43}, Block{1, 1}), false});
    c.push_back({"clut length larger, bytes present",
                 MakeTim(0, Block{16, 1, Bytes(40, 0), 52}, Block{1, 1}), true});
    c.push_back({"clut length past the file",
                 MakeTim(0, Block{16, 1, Bytes(32, 0), 57}, Block{}), false});
    {
        // A CLUT block that ends the file leaves no room for the image header.
        Bytes file;
        PutU32(file, 16);
        PutU32(file, 8);
        AppendBlock(file, Block{16, 1});
        c.push_back({"clut ends the file", file, false});
        Bytes withHeader = file;
        AppendBlock(withHeader, Block{});
        c.push_back({"clut then a bare image header", withHeader, true});
        c.push_back({"clut then 11 header bytes", Truncated(withHeader, 1), false});
    }
    // Image length: a short length field is taken at the size the rows need.
    c.push_back({"image length 0 after clut", MakeTim(1, clut16, Block{2, 3, {}, 0}), true});
    c.push_back({"image length 12", MakeTim(2, std::nullopt, Block{2, 3, {}, 12}), true});
    c.push_back({"image length 0, rows one byte short",
                 Truncated(MakeTim(1, clut16, Block{2, 3, {}, 0}), 1), false});
    c.push_back({"image length 12, rows one byte short",
                 Truncated(MakeTim(2, std::nullopt, Block{2, 3, {}, 12}), 1), false});
    c.push_back({"image length past the file",
                 MakeTim(2, std::nullopt, Block{2, 3, Bytes(12, 0), 25}), false});
    c.push_back({"image length to the last byte",
                 MakeTim(2, std::nullopt, Block{2, 3, Bytes(13, 0), 25}), true});
    // Pixel widths that do not fit 16 bits are refused, not wrapped.
    c.push_back({"4-bit w 16383", MakeTim(0, std::nullopt, Block{16383, 1}), true});
    c.push_back({"4-bit w 16384", MakeTim(0, std::nullopt, Block{16384, 1}), false});
    c.push_back({"8-bit w 32767", MakeTim(1, std::nullopt, Block{32767, 1}), true});
    c.push_back({"8-bit w 32768", MakeTim(1, std::nullopt, Block{32768, 1}), false});
    c.push_back({"24-bit w 32768", MakeTim(3, std::nullopt, Block{32768, 1}), true});
    return c;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Rules, ParseTimHeaderBoundary, ::testing::ValuesIn(HeaderCases()),
                         [](const auto& info) {
                             std::string n = info.param.name;
                             for (char& ch : n)
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return n;
                         });

TEST(ParseTimHeader, ClutNeeds13RemainingBytesNot12) {
    // With exactly 12 bytes after the flags the CLUT header is not even read;
    // with 13 it is (clutX gets written) and the missing image header refuses
    // the file afterwards. The sentinel in clutX shows which rule fired.
    for (size_t remaining : {12u, 13u}) {
        Bytes file;
        PutU32(file, 16);
        PutU32(file, 8);
        AppendBlock(file, Block{0, 0, {}, 12, 0x1234});
        file.resize(8 + remaining, 0);
        GuardedBuffer buf(file);
        TimImageInfo info{};
        info.clutX = 0xBEEF;
        EXPECT_FALSE(ParseTimHeader(info, buf.begin(), buf.end())) << remaining;
        EXPECT_EQ(+info.clutX, remaining == 12 ? 0xBEEF : 0x1234) << remaining;
    }
}

TEST(ParseTimHeader, WidthFollowsTheMode) {
    struct {
        uint32_t mode;
        uint16_t w;
        uint16_t width;
        TimPixelFormat format;
    } const cases[] = {
        {0, 3, 12, TimPixelFormat::Indexed4},  {1, 3, 6, TimPixelFormat::Indexed8},
        {2, 3, 3, TimPixelFormat::Direct16},   {3, 5, 3, TimPixelFormat::Direct24},
        {3, 480, 320, TimPixelFormat::Direct24}, {3, 1, 0, TimPixelFormat::Direct24},
    };
    for (const auto& c : cases) {
        TimImageInfo info{};
        ASSERT_TRUE(Accepts(MakeTim(c.mode, std::nullopt, Block{c.w, 1}), &info)) << c.w;
        EXPECT_EQ(+info.width, c.width) << c.mode << " " << c.w;
        EXPECT_EQ(info.format, c.format);
        EXPECT_EQ(uint8_t(info.format), c.mode == 3 ? 14 : c.mode == 2 ? 16 : c.mode == 1 ? 8 : 4);
    }
}

TEST(ParseTimHeader, PaletteSizeAndCountByMode) {
    struct {
        uint32_t mode;
        uint16_t cw, ch;
        uint16_t paletteSize, clutCount;
    } const cases[] = {
        {0, 16, 1, 16, 1},   {0, 16, 3, 16, 3},   {0, 4, 1, 16, 0},  {1, 256, 2, 256, 2},
        {1, 16, 1, 256, 0},  {2, 16, 1, 0, 0},    {3, 256, 1, 0, 0},
        // 65536 palettes wrap to 0 in the 16-bit count.
        {0, 32768, 32, 16, 0},
    };
    for (const auto& c : cases) {
        TimImageInfo info{};
        ASSERT_TRUE(Accepts(MakeTim(c.mode, Block{c.cw, c.ch}, Block{1, 1}), &info));
        EXPECT_EQ(+info.paletteSize, c.paletteSize) << c.mode << " " << c.cw << "x" << c.ch;
        EXPECT_EQ(+info.clutCount, c.clutCount) << c.mode << " " << c.cw << "x" << c.ch;
        EXPECT_EQ(+info.clutWidth, c.cw);
        EXPECT_EQ(+info.clutHeight, c.ch);
    }
    TimImageInfo info{};
    ASSERT_TRUE(Accepts(MakeTim(1, std::nullopt, Block{1, 1}), &info));
    EXPECT_EQ(+info.paletteSize, 0);
    EXPECT_EQ(+info.clutCount, 0);
    EXPECT_EQ(+info.clutWidth, 0);
    EXPECT_EQ(+info.clutX, 0);
}

TEST(ParseTimHeader, ImageEndUsesTheEffectiveLength) {
    TimImageInfo info{};
    ASSERT_TRUE(Accepts(MakeTim(2, std::nullopt, Block{4, 2, {}, 12}), &info));
    EXPECT_EQ(+info.imageEnd, 8u + 12 + 16);
    Bytes longer = MakeTim(2, std::nullopt, Block{4, 2, Bytes(30, 0), 42});
    ASSERT_TRUE(Accepts(longer, &info));
    EXPECT_EQ(+info.imageEnd, 8u + 42);
}

// The pattern and mask that clients register match exactly the files whose
// first eight bytes pass the signature rules on them (the identifier and the
// flags): every value of every one of those bytes, in an otherwise valid
// file. And the shared-mime-info magic that ships says the same.
TEST(CheckTimSignature, RegisteredPatternIsTheRuleOnTheFirstEightBytes) {
    const Bytes valid = MakeTim(2, std::nullopt, Block{1, 1});
    size_t matched = 0;
    for (size_t offset = 0; offset < 8; ++offset) {
        for (unsigned value = 0; value < 256; ++value) {
            Bytes file = valid;
            file[offset] = uint8_t(value);
            bool matches = true;
            for (size_t i = 0; i < 8; ++i) matches &= (file[i] & kTimSignatureMask[i]) == kTimSignature[i];
            TimImageInfo info{};
            const TimRefusalReason reason = FindTimRefusal(info, file.data(), file.size()).reason;
            const bool firstEightPass = reason != TimRefusalReason::NoIdentifier && reason != TimRefusalReason::UnknownFlags;
            EXPECT_EQ(matches, firstEightPass) << "byte " << offset << " = " << value;
            matched += matches;
        }
    }
    EXPECT_EQ(matched, 7u + 16u) << "one value of each fixed byte, 16 flags";

    // <match type="little32" offset="0" value="16"> and, inside it,
    // <match type="little32" offset="4" value="0" mask="0xfffffff0"/>.
    std::ifstream in(TIM_MIME_XML);
    const std::string xml((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::regex match(R"re(<match type="little32" offset="(\d+)" value="(\d+)"(?: mask="0x([0-9a-f]+)")?)re");
    uint8_t pattern[8] = {}, mask[8] = {};
    size_t matches = 0;
    for (auto m = std::sregex_iterator(xml.begin(), xml.end(), match); m != std::sregex_iterator(); ++m, ++matches) {
        const size_t offset = std::stoul((*m)[1]);
        const uint32_t value = uint32_t(std::stoul((*m)[2]));
        const uint32_t bits = (*m)[3].matched ? uint32_t(std::stoul((*m)[3], nullptr, 16)) : 0xFFFFFFFFu;
        ASSERT_LE(offset, 4u);
        for (size_t i = 0; i < 4; ++i) {
            pattern[offset + i] = uint8_t(value >> (8 * i));
            mask[offset + i] = uint8_t(bits >> (8 * i));
        }
    }
    EXPECT_EQ(matches, 2u);
    EXPECT_EQ(Bytes(pattern, pattern + 8), Bytes(kTimSignature, kTimSignature + 8));
    EXPECT_EQ(Bytes(mask, mask + 8), Bytes(kTimSignatureMask, kTimSignatureMask + 8));
}
