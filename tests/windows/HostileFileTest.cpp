// Broken and crafted files through the shipped DLL, one after another as a
// folder of them reaches Explorer: every truncation of each seed file, every
// header byte set to boundary values, and random files. Each answer must be a
// sanctioned code, agree with the portable reader on the same bytes, and leave
// no provider or module reference behind.
#include "DllHost.h"
#include "HostileFiles.h"
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
    size_t truncations = 0, changes = 0, randomFiles = 0;
    for (const auto& group : hostile::Groups()) {
        TimImageInfo seedInfo{};
        if (!group.seed.empty()) {
            ASSERT_TRUE(ParseTimHeader(seedInfo, group.seed.data(), group.seed.data() + group.seed.size()))
                << group.name << " must itself be valid";
        }
        truncations += group.truncations;
        changes += group.changes;
        if (group.name == "random") randomFiles = group.files.size();
        sweep.Group(group.name, group.files);
    }
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
                total.files, truncations, changes, randomFiles, seconds);
    std::printf("[hostile sweep] Initialize: %s\n", Describe(total.initialize).c_str());
    std::printf("[hostile sweep] GetThumbnail: %s\n", Describe(total.thumbnail).c_str());
    RecordProperty("files", int(total.files));
    RecordProperty("initialize", Describe(total.initialize));
    RecordProperty("thumbnail", Describe(total.thumbnail));

    EXPECT_EQ(total.files, truncations + changes + randomFiles);
    EXPECT_EQ(sweep.faults(), 0u);
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
    // Every group must reach the decoder, not just the signature check.
    for (const auto& [name, t] : sweep.groups()) {
        const auto rendered = t.thumbnail.find(S_OK);
        EXPECT_TRUE(rendered != t.thumbnail.end() && rendered->second >= 10) << name;
    }
}
