// The module count under concurrent host threads, read directly from the
// module linked in statically: 8 threads share one class object while another
// takes and drops server locks; afterwards the count is exactly what the test
// thread still holds, then zero.
#include "HandlerFixture.h"
#include "ProviderStress.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

constexpr int kWorkers = 8;
constexpr int kRoundsPerWorker = 2000;

}  // namespace

TEST_F(HandlerTest, EightThreadsShareTheClassObjectWhileServerLocksComeAndGo) {
    wintest::TempDir dir;
    const auto files = wintest::WriteStressFiles(dir);
    auto factory = Factory();
    ASSERT_TRUE(factory);

    const auto started = std::chrono::steady_clock::now();
    std::atomic<bool> go{false}, stop{false};
    wintest::LockCounts locks;
    std::thread locker([&] {
        while (!go.load()) std::this_thread::yield();
        locks = wintest::LockRounds(factory.get(), DllGetClassObject, DllCanUnloadNow, stop, 1000, &g_moduleRefCount);
    });
    std::vector<wintest::StressCounts> counts(kWorkers);
    std::vector<std::thread> workers;
    for (int t = 0; t < kWorkers; ++t) {
        workers.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            counts[t] = wintest::ProviderRounds(factory.get(), files, kRoundsPerWorker, unsigned(t));
        });
    }
    go = true;
    for (auto& w : workers) w.join();
    stop = true;
    locker.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    EXPECT_EQ(g_moduleRefCount.load(), 1) << "only the test thread's class object reference may remain";
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    EXPECT_EQ(factory.release()->Release(), 0u) << "the shared class object had stray references";
    EXPECT_EQ(g_moduleRefCount.load(), 0);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);

    const wintest::StressCounts total =
        wintest::SummarizeThreads("static module", counts, kRoundsPerWorker, locks, seconds);
    EXPECT_EQ(total.rounds, uint64_t(kWorkers) * kRoundsPerWorker);
    EXPECT_EQ(total.faults, 0u);
    EXPECT_EQ(locks.faults, 0u);
    // Four of every five rounds render; the fifth file is refused.
    EXPECT_EQ(total.thumbnails + total.refusals, total.rounds);
    EXPECT_EQ(total.refusals, total.rounds / 5);
}
