// The same host threads, briefly, against the shipped DLL: its own copy of the
// module count is visible only through DllCanUnloadNow.
#include "DllHost.h"
#include "ProviderStress.h"

#include <atomic>

TEST(DllThreads, EightThreadsShareTheClassObjectAndTheDllCanUnloadAfterwards) {
    constexpr int kWorkers = 8;
    constexpr int kRoundsPerWorker = 250;
    wintest::DllHost dll;
    ASSERT_TRUE(dll.ok());
    wintest::TempDir dir;
    const auto files = wintest::WriteStressFiles(dir);
    auto factory = dll.Factory();
    ASSERT_TRUE(factory);

    const wintest::ThreadRun run = wintest::RunWorkersBesideLocker(
        factory.Get(), files, kWorkers, kRoundsPerWorker,
        [&](const std::atomic<bool>& stop) {
            return wintest::LockRounds(factory.Get(), dll.GetClassObject(), dll.CanUnload(), stop, 500, nullptr);
        });

    EXPECT_EQ(dll.CanUnloadNow(), S_FALSE) << "the test thread still holds the class object";
    EXPECT_EQ(factory.Detach()->Release(), 0u) << "the shared class object had stray references";
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);

    const wintest::StressCounts total =
        wintest::SummarizeThreads("DLL", run.workers, kRoundsPerWorker, run.locks, run.seconds);
    EXPECT_EQ(total.faults, 0u);
    EXPECT_EQ(run.locks.faults, 0u);
    EXPECT_EQ(total.thumbnails + total.refusals, total.rounds);
    EXPECT_EQ(total.refusals, total.rounds / 5);
}
