// The same host threads, briefly, against the shipped DLL: its own copy of the
// module count is visible only through DllCanUnloadNow.
#include "DllHost.h"
#include "ProviderStress.h"

#include <chrono>
#include <cstdio>
#include <thread>

TEST(DllThreads, EightThreadsShareTheClassObjectAndTheDllCanUnloadAfterwards) {
    constexpr int kWorkers = 8;
    constexpr int kRoundsPerWorker = 250;
    wintest::DllHost dll;
    ASSERT_TRUE(dll.ok());
    wintest::TempDir dir;
    const auto files = wintest::WriteStressFiles(dir);
    auto factory = dll.Factory();
    ASSERT_TRUE(factory);

    const auto started = std::chrono::steady_clock::now();
    std::atomic<bool> go{false}, stop{false};
    wintest::LockCounts locks;
    std::thread locker([&] {
        while (!go.load()) std::this_thread::yield();
        locks = wintest::LockRounds(factory.get(), dll.GetClassObject(), dll.CanUnload(), stop, 500, nullptr);
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

    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE) << "the test thread still holds the class object";
    EXPECT_EQ(factory.release()->Release(), 0u) << "the shared class object had stray references";
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);

    const wintest::StressCounts total =
        wintest::SummarizeThreads("DLL", counts, kRoundsPerWorker, locks, seconds);
    EXPECT_EQ(total.faults, 0u);
    EXPECT_EQ(locks.faults, 0u);
    EXPECT_EQ(total.thumbnails + total.refusals, total.rounds);
    EXPECT_EQ(total.refusals, total.rounds / 5);
}
