// The codec under the hostile-file sweep's set, ten thousand rounds counted
// for handles and memory, and threads sharing one factory and one decoder.
#include "HostileFiles.h"
#include "ProcessCounters.h"
#include "WicSupport.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <thread>

using namespace timtest;
using namespace wintest;

namespace {

const auto* const kRegistration = ::testing::AddGlobalTestEnvironment(new CodecRegistrationEnvironment);

// The codec DLL's own answer, when WIC has loaded it.
HRESULT CodecCanUnloadNow() {
    HMODULE codec = GetModuleHandleW(TIM_CODEC_DLL_NAME);
    if (!codec) return S_OK;
    using CanUnload = HRESULT(STDAPICALLTYPE*)();
    auto canUnload = reinterpret_cast<CanUnload>(reinterpret_cast<void*>(GetProcAddress(codec, "DllCanUnloadNow")));
    return canUnload ? canUnload() : E_FAIL;
}

// One file through the factory from memory: the answer must agree with the
// portable reader on the same bytes, and the pixels be the reader's.
bool DecodeAgrees(IWICImagingFactory* factory, const Bytes& file, std::map<HRESULT, size_t>& answers,
                  std::string& why) {
    const Expected want = ExpectedPicture(file);
    MemoryWicStream stream(factory, file);
    if (!stream.get()) return why = "no stream", false;
    ComPtr<IWICBitmapDecoder> decoder;
    const HRESULT hr =
        factory->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnDemand, decoder.GetAddressOf());
    ++answers[hr];
    if (hr != S_OK) {
        if (want.accepted) why = "refused a file the reader accepts";
        return !want.accepted;
    }
    if (!want.accepted) return why = "decoded a file the codec must refuse", false;
    const Picture got = ReadFrame(decoder.Get());
    if (got.result != S_OK || got.width != want.width || got.height != want.height || got.pixels != want.pixels)
        return why = "pixels differ from the reader's", false;
    return true;
}

}  // namespace

TEST(WicHostileFiles, EveryFileAgreesWithTheReaderAndNothingIsLeftBehind) {
    ComScope com;
    auto factory = WicFactory();
    ASSERT_TRUE(factory);
    const auto started = std::chrono::steady_clock::now();
    size_t files = 0, faults = 0;
    std::map<HRESULT, size_t> answers;
    for (const auto& group : timtest::MakeHostileSet().groups) {
        for (size_t i = 0; i < group.files.size(); ++i) {
            std::string why;
            ++files;
            if (!DecodeAgrees(factory.Get(), group.files[i], answers, why) && ++faults <= 20)
                ADD_FAILURE() << group.name << ", file " << i << " (" << group.files[i].size() << " bytes): " << why;
        }
        EXPECT_EQ(CodecCanUnloadNow(), S_OK) << group.name << ": a reference was left behind";
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("[codec hostile sweep] %zu files in %.1f s; answers:", files, seconds);
    for (const auto& [hr, n] : answers) std::printf(" 0x%08lX %zu", static_cast<unsigned long>(hr), n);
    std::printf("\n");
    EXPECT_EQ(faults, 0u);
    EXPECT_GE(answers[S_OK], 500u) << "the sweep must reach the decoder";
}

TEST(WicLeaks, RoundsLeaveHandlesAndMemoryWhereTheyWere) {
    constexpr int kRounds = 2500, kWarmUp = 300;
    ComScope com;
    auto factory = WicFactory();
    ASSERT_TRUE(factory);
    TempDir dir;
    const std::wstring files[] = {
        dir.Write(L"l4.tim", MakeTim(0, Block{16, 1, Bytes(32, 0x11)}, Block{8, 32, Bytes(512, 0x97)})),
        dir.Write(L"l8.tim", MakeTim(1, Block{256, 1, Bytes(512, 0x22)}, Block{16, 32, Bytes(1024, 0x5C)})),
        dir.Write(L"l16.tim", MakeTim(2, std::nullopt, Block{32, 32, Bytes(2048, 0x3D)})),
        dir.Write(L"l24.tim", MakeTim(3, std::nullopt, Block{48, 32, Bytes(3072, 0xC4)})),
        dir.Write(L"short.tim", [] {
            Bytes v = MakeTim(2, std::nullopt, Block{32, 32});
            v.resize(v.size() - 1);
            return v;
        }()),
    };
    std::vector<uint32_t> pixels(32 * 32);
    int failed = 0;
    auto run = [&](int rounds) {
        for (int i = 0; i < rounds; ++i) {
            const bool refused = i % 5 == 4;
            ComPtr<IWICBitmapDecoder> decoder;
            const HRESULT hr = factory->CreateDecoderFromFilename(files[i % 5].c_str(), nullptr, GENERIC_READ,
                                                                  WICDecodeMetadataCacheOnDemand,
                                                                  decoder.GetAddressOf());
            if (refused) {
                failed += SUCCEEDED(hr);
                continue;
            }
            ComPtr<IWICBitmapFrameDecode> frame;
            failed += hr != S_OK || decoder->GetFrame(0, frame.GetAddressOf()) != S_OK ||
                      frame->CopyPixels(nullptr, 32 * 4, 32 * 32 * 4, reinterpret_cast<BYTE*>(pixels.data())) != S_OK;
        }
    };
    run(kWarmUp);
    const Snapshot before = Take();
    const auto started = std::chrono::steady_clock::now();
    run(kRounds);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const Snapshot after = Take();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(CodecCanUnloadNow(), S_OK);
    std::printf("[codec leaks] %d rounds (a fifth on a refused file) in %.1f s\n", kRounds, seconds);
    Print("GetProcessHandleCount", before.handleCount, after.handleCount);
    Print("handles listed by SystemHandleInformation", before.listedHandles, after.listedHandles);
    Print("committed private bytes (VirtualQuery)", before.committedPrivate, after.committedPrivate);
    Print("mapped views (VirtualQuery)", before.mappedViews, after.mappedViews);
    Print("process heap bytes in use (HeapWalk)", before.heapBusy, after.heapBusy);
    if (before.handleCount != 0)
        EXPECT_EQ(after.handleCount, before.handleCount);
    else
        EXPECT_EQ(after.listedHandles, before.listedHandles);
    EXPECT_EQ(after.mappedViews, before.mappedViews);
    // A leaked frame would hold at least its file, 1 KiB or more: 2 MiB over the run.
    EXPECT_LE(after.committedPrivate - before.committedPrivate, int64_t(1) << 20);
    EXPECT_LE(after.heapBusy - before.heapBusy, int64_t(64) << 10);
}

// Eight threads decode through one factory at once, and then all read the
// frame of one shared decoder.
TEST(WicThreads, EightThreadsDecodeThroughOneFactoryAndShareOneDecoder) {
    constexpr int kThreads = 8, kRounds = 150;
    ComScope com(COINIT_MULTITHREADED);
    auto factory = WicFactory();
    ASSERT_TRUE(factory);
    const Bytes files[] = {
        MakeTim(0, Block{16, 1, Noise(32, 1)}, Block{6, 9, Noise(108, 2)}),
        MakeTim(1, Block{256, 1, Noise(512, 3)}, Block{9, 7, Noise(126, 4)}),
        MakeTim(2, std::nullopt, Block{17, 5, Noise(170, 5)}),
        MakeTim(3, std::nullopt, Block{12, 6, Noise(144, 6)}),
    };
    MemoryWicStream sharedStream(factory.Get(), files[1]);
    ComPtr<IWICBitmapDecoder> shared;
    ASSERT_EQ(factory->CreateDecoderFromStream(sharedStream.get(), nullptr, WICDecodeMetadataCacheOnDemand,
                                               shared.GetAddressOf()),
              S_OK);
    const Expected sharedWant = ExpectedPicture(files[1]);

    std::atomic<int> faults{0}, decoded{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ComScope threadCom(COINIT_MULTITHREADED);
            for (int i = 0; i < kRounds; ++i) {
                const Bytes& file = files[(t + i) % 4];
                std::map<HRESULT, size_t> answers;
                std::string why;
                faults += !DecodeAgrees(factory.Get(), file, answers, why);
                // The shared decoder: its frame and a sub-rectangle of it.
                ComPtr<IWICBitmapFrameDecode> frame;
                std::vector<uint32_t> row(sharedWant.width);
                const WICRect r = {0, INT(i % sharedWant.height), INT(sharedWant.width), 1};
                if (shared->GetFrame(0, frame.GetAddressOf()) != S_OK ||
                    frame->CopyPixels(&r, UINT(row.size() * 4), UINT(row.size() * 4),
                                      reinterpret_cast<BYTE*>(row.data())) != S_OK ||
                    !std::equal(row.begin(), row.end(), sharedWant.pixels.begin() + size_t(r.Y) * sharedWant.width))
                    ++faults;
                ++decoded;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(faults.load(), 0);
    EXPECT_EQ(decoded.load(), kThreads * kRounds);
    shared.Reset();
    EXPECT_EQ(CodecCanUnloadNow(), S_OK);
}
