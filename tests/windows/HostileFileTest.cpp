// Broken and crafted files through the shipped DLL, one after another as a
// folder of them reaches Explorer: every truncation of each seed file, every
// header byte set to boundary values, and random files. Each answer must be a
// sanctioned code, agree with the portable reader on the same bytes, and leave
// no provider or module reference behind.
#include "DllHost.h"
#include "Premultiply.h"
#include "TimBuilder.h"
#include "TimDecode.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>

using namespace timtest;

namespace {

struct Seed {
    const char* name;
    Bytes bytes;
    bool truncate;  // also swept at every length
};

std::vector<Seed> Seeds() {
    return {
        {"4-bit, CLUT", MakeTim(0, Block{16, 1, Noise(32, 1)}, Block{3, 5, Noise(30, 2)}), true},
        {"4-bit, no CLUT", MakeTim(0, std::nullopt, Block{2, 3, Noise(12, 3)}), true},
        {"8-bit, CLUT", MakeTim(1, Block{256, 1, Noise(512, 4)}, Block{3, 4, Noise(24, 5)}), true},
        {"8-bit, no CLUT", MakeTim(1, std::nullopt, Block{2, 2, Noise(8, 6)}), true},
        {"16-bit, CLUT", MakeTim(2, Block{16, 1, Noise(32, 7)}, Block{4, 3, Noise(24, 8)}), true},
        {"16-bit, no CLUT", MakeTim(2, std::nullopt, Block{7, 3, Noise(42, 9)}), true},
        {"24-bit, CLUT", MakeTim(3, Block{16, 1, Noise(32, 10)}, Block{6, 2, Noise(24, 11)}), true},
        {"24-bit, tail byte per row", MakeTim(3, std::nullopt, Block{5, 4, Noise(40, 12)}), true},
        {"4-bit, short CLUT", MakeTim(0, Block{4, 1, Noise(8, 13)}, Block{2, 2, Noise(8, 14)}), true},
        {"8-bit, short CLUT", MakeTim(1, Block{16, 2, Noise(64, 15)}, Block{2, 3, Noise(12, 16)}), true},
        {"16-bit, image length 12", MakeTim(2, std::nullopt, Block{3, 2, Noise(12, 17), 12}), true},
        {"8-bit, CLUT, image length 0", MakeTim(1, Block{256, 1, Noise(512, 18)}, Block{4, 2, Noise(16, 19), 0}),
         true},
        // Exactly one page: the view ends where mapped memory ends, so a read
        // past the file faults instead of finding zeros. Only their header
        // changes keep that size; their truncations would repeat the small
        // seeds' at four thousand times the cost.
        {"16-bit, one page", MakeTim(2, std::nullopt, Block{1019, 2, Noise(4076, 20)}), false},
        {"8-bit, CLUT, one page", MakeTim(1, Block{256, 1, Noise(512, 21)}, Block{48, 37, Noise(3552, 22)}),
         false},
    };
}

// Offsets of the file header and of each block header present in the seed.
std::vector<size_t> HeaderOffsets(const Bytes& seed) {
    std::vector<size_t> offsets;
    for (size_t i = 0; i < 20; ++i) offsets.push_back(i);
    if (seed[4] & 0x8) {
        const size_t image = 8 + (seed[8] | seed[9] << 8 | seed[10] << 16 | size_t(seed[11]) << 24);
        for (size_t i = 0; i < 12; ++i) offsets.push_back(image + i);
    }
    return offsets;
}

constexpr uint8_t kBoundaryValues[] = {0x00, 0x01, 0x7F, 0x80, 0xFF};

// Random files of three kinds, from one fixed seed so that every run sweeps
// the same ones.
std::vector<Bytes> RandomFiles(const std::vector<Seed>& seeds) {
    std::mt19937 rng(0x71A5EED);
    auto below = [&](uint32_t n) { return uint32_t(rng() % n); };
    auto noise = [&](Bytes& v, size_t n) {
        for (size_t i = 0; i < n; ++i) v.push_back(uint8_t(rng()));
    };
    std::vector<Bytes> files;
    // Plain noise, half of it behind the right identifier.
    for (int i = 0; i < 500; ++i) {
        Bytes v;
        if (i % 2) PutU32(v, 16);
        noise(v, below(96));
        files.push_back(v);
    }
    // A valid-looking prefix of a seed, then noise.
    for (int i = 0; i < 1000; ++i) {
        const Bytes& seed = seeds[below(uint32_t(seeds.size()))].bytes;
        Bytes v(seed.begin(), seed.begin() + 8 + below(uint32_t(seed.size() - 7)));
        noise(v, below(257));
        files.push_back(v);
    }
    // Headers that mostly add up, with lying lengths, sizes off by a few bytes
    // and noise for pixels: the files that get as far as the decoder.
    for (int i = 0; i < 1500; ++i) {
        const uint32_t flags = below(16);
        Bytes v;
        PutU32(v, 16);
        PutU32(v, flags);
        auto block = [&](uint16_t w, uint16_t h) {
            const uint32_t exact = 12 + uint32_t(w) * h * 2;
            const uint32_t lengths[] = {exact, exact - 1, exact + 1 + below(8), 0, 12, uint32_t(rng())};
            PutU32(v, lengths[below(4) ? 0 : below(6)]);
            PutU32(v, uint32_t(rng()));  // x, y
            PutU16(v, w);
            PutU16(v, h);
            noise(v, size_t(w) * h * 2);
        };
        if (flags & 0x8) block(uint16_t(below(300)), uint16_t(below(3)));
        block(uint16_t(below(40)), uint16_t(below(40)));
        const uint32_t change = below(8);
        if (change < 3 && !v.empty()) v.resize(v.size() - std::min<size_t>(v.size(), 1 + below(3)));
        if (change == 3) noise(v, 1 + below(4));
        files.push_back(v);
    }
    return files;
}

struct GroupTally {
    size_t files = 0;
    std::map<HRESULT, size_t> initialize;
    std::map<HRESULT, size_t> thumbnail;
};

std::string Hex(HRESULT hr) {
    char s[16];
    std::snprintf(s, sizeof s, "0x%08lX", static_cast<unsigned long>(hr));
    return s;
}

std::string Name(HRESULT hr) {
    switch (hr) {
        case S_OK: return "S_OK";
        case E_INVALIDARG: return "E_INVALIDARG";
        case E_OUTOFMEMORY: return "E_OUTOFMEMORY";
        default: return Hex(hr);
    }
}

std::string Describe(const std::map<HRESULT, size_t>& answers) {
    std::string s;
    for (const auto& [hr, n] : answers) s += (s.empty() ? "" : ", ") + Name(hr) + " " + std::to_string(n);
    return s.empty() ? "none" : s;
}

class HostileSweep {
public:
    HostileSweep(const wintest::DllHost& dll, std::wstring path) : dll_(dll), path_(std::move(path)) {}

    // Runs every file of one group, then checks that the DLL could unload.
    void Group(const std::string& name, const std::vector<Bytes>& files) {
        GroupTally& tally = groups_.emplace_back(name, GroupTally{}).second;
        {
            auto factory = dll_.Factory();
            if (!factory) return;
            for (size_t i = 0; i < files.size(); ++i) Probe(factory.Get(), files[i], tally, name, i);
        }
        EXPECT_EQ(dll_.CanUnloadNow(), S_OK) << name << ": a reference was left behind";
    }

    size_t faults() const { return faults_; }
    const std::vector<std::pair<std::string, GroupTally>>& groups() const { return groups_; }

private:
    // One file as the host meets it. Every departure from the expected answers
    // is counted; the first few are described.
    void Probe(IClassFactory* factory, const Bytes& file, GroupTally& tally, const std::string& group,
               size_t index) {
        ++tally.files;
        auto fault = [&](const std::string& what) {
            if (++faults_ <= 20)
                ADD_FAILURE() << group << ", file " << index << " (" << file.size() << " bytes): " << what;
        };
        if (!wintest::WriteWholeFile(path_, file)) return fault("could not write the file");

        TimImageInfo info{};
        const uint8_t* start = file.data();
        const bool accepted =
            CheckTimSignature(start, file.size()) && ParseTimHeader(info, start, start + file.size());

        void* p = nullptr;
        if (factory->CreateInstance(nullptr, kIidInitializeWithFile, &p) != S_OK) return fault("CreateInstance");
        auto* init = static_cast<IInitializeWithFile*>(p);
        const HRESULT initResult = init->Initialize(path_.c_str(), 0);
        ++tally.initialize[initResult];
        if (initResult != S_OK && initResult != E_INVALIDARG) fault("Initialize answered " + Hex(initResult));
        if ((initResult == S_OK) != accepted)
            fault(std::string("Initialize ") + Name(initResult) + " but the reader " +
                  (accepted ? "accepts" : "refuses") + " the file");

        if (initResult == S_OK && init->QueryInterface(kIidThumbnailProvider, &p) == S_OK) {
            auto* thumb = static_cast<IThumbnailProvider*>(p);
            HBITMAP bitmap = nullptr;
            WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
            const HRESULT thumbResult = thumb->GetThumbnail(256, &bitmap, &alpha);
            ++tally.thumbnail[thumbResult];
            // No bitmap for an image without pixels or above 2^24 of them.
            const uint64_t pixels = uint64_t(info.width) * info.height;
            const bool refused = pixels == 0 || pixels > (uint64_t(1) << 24);
            if (thumbResult == S_OK && !refused) {
                CheckBitmap(bitmap, alpha, info, fault);
            } else if (thumbResult == E_OUTOFMEMORY && refused) {
                if (bitmap) fault("a failed GetThumbnail handed out a bitmap");
            } else {
                fault("GetThumbnail answered " + Name(thumbResult) + " for a " + std::to_string(info.width) +
                      " x " + std::to_string(info.height) + " image");
            }
            if (bitmap && !DeleteObject(bitmap)) fault("DeleteObject failed");
            if (thumb->Release() != 1) fault("thumbnail face: unexpected count");
        }
        if (init->Release() != 0) fault("the provider was not freed by its last Release");
    }

    template <class Fault>
    static void CheckBitmap(HBITMAP bitmap, WTS_ALPHATYPE alpha, const TimImageInfo& info, Fault& fault) {
        if (alpha != WTSAT_ARGB) fault("alpha type " + std::to_string(alpha));
        DIBSECTION dib = {};
        if (GetObjectW(bitmap, sizeof dib, &dib) != int(sizeof dib)) return fault("not a DIB section");
        if (dib.dsBmih.biWidth != info.width || dib.dsBmih.biHeight != info.height ||
            dib.dsBmih.biBitCount != 32)
            return fault("bitmap is " + std::to_string(dib.dsBmih.biWidth) + " x " +
                         std::to_string(dib.dsBmih.biHeight));
        std::vector<uint32_t> expected(size_t(info.width) * info.height);
        DecodeTimPixels(info, expected.data());
        PremultiplyPixels(expected.data(), expected.size());
        if (std::memcmp(dib.dsBm.bmBits, expected.data(), expected.size() * 4) != 0)
            fault("pixels differ from the reader's");
    }

    const wintest::DllHost& dll_;
    std::wstring path_;
    size_t faults_ = 0;
    std::vector<std::pair<std::string, GroupTally>> groups_;
};

}  // namespace

TEST(HostileFiles, EveryAnswerIsSanctionedAndNothingIsLeftBehind) {
    wintest::DllHost dll;
    ASSERT_TRUE(dll.ok());
    wintest::TempDir dir;
    const std::wstring path = dir.PathOf(L"hostile.tim");
    dir.Track(path);

    const auto started = std::chrono::steady_clock::now();
    HostileSweep sweep(dll, path);
    const auto seeds = Seeds();
    size_t truncations = 0, changes = 0;
    for (const auto& seed : seeds) {
        TimImageInfo seedInfo{};
        ASSERT_TRUE(ParseTimHeader(seedInfo, seed.bytes.data(), seed.bytes.data() + seed.bytes.size()))
            << seed.name << " must itself be valid";
        std::vector<Bytes> files;
        if (seed.truncate) {
            for (size_t n = 0; n <= seed.bytes.size(); ++n)
                files.emplace_back(seed.bytes.begin(), seed.bytes.begin() + n);
        } else {
            files.push_back(seed.bytes);
        }
        truncations += files.size();
        for (size_t offset : HeaderOffsets(seed.bytes)) {
            for (uint8_t value : kBoundaryValues) {
                if (seed.bytes[offset] == value) continue;  // the seed itself, already swept
                Bytes v = seed.bytes;
                v[offset] = value;
                files.push_back(std::move(v));
                ++changes;
            }
        }
        sweep.Group(seed.name, files);
    }
    const auto random = RandomFiles(seeds);
    sweep.Group("random", random);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    GroupTally total;
    std::printf("[hostile sweep] per group: files; Initialize answers; GetThumbnail answers\n");
    for (const auto& [name, t] : sweep.groups()) {
        std::printf("[hostile sweep]   %-28s %5zu; %s; %s\n", name.c_str(), t.files, Describe(t.initialize).c_str(),
                    Describe(t.thumbnail).c_str());
        total.files += t.files;
        for (const auto& [hr, n] : t.initialize) total.initialize[hr] += n;
        for (const auto& [hr, n] : t.thumbnail) total.thumbnail[hr] += n;
    }
    std::printf("[hostile sweep] %zu files (%zu seeds whole or truncated, %zu header byte changes, %zu random) in %.1f s\n",
                total.files, truncations, changes, random.size(), seconds);
    std::printf("[hostile sweep] Initialize: %s\n", Describe(total.initialize).c_str());
    std::printf("[hostile sweep] GetThumbnail: %s\n", Describe(total.thumbnail).c_str());
    RecordProperty("files", int(total.files));
    RecordProperty("initialize", Describe(total.initialize));
    RecordProperty("thumbnail", Describe(total.thumbnail));

    EXPECT_EQ(total.files, truncations + changes + random.size());
    EXPECT_EQ(sweep.faults(), 0u);
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
    // Every group must reach the decoder, not just the signature check.
    for (const auto& [name, t] : sweep.groups()) {
        const auto rendered = t.thumbnail.find(S_OK);
        EXPECT_TRUE(rendered != t.thumbnail.end() && rendered->second >= 10) << name;
    }
}
