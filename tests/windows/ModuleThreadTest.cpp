// The module count under concurrent host threads, read directly from the
// module linked in statically: 8 threads share one class object while another
// takes and drops server locks; afterwards the count is exactly what the test
// thread still holds, then zero.
#include "HandlerFixture.h"
#include "ProviderStress.h"

#include <atomic>

namespace {

constexpr int kWorkers = 8;
constexpr int kRoundsPerWorker = 2000;

}  // namespace

TEST_F(HandlerTest, EightThreadsShareTheClassObjectWhileServerLocksComeAndGo) {
    wintest::TempDir dir;
    const auto files = wintest::WriteStressFiles(dir);
    auto factory = Factory();
    ASSERT_TRUE(factory);

    const wintest::ThreadRun run = wintest::RunWorkersBesideLocker(
        factory.Get(), files, kWorkers, kRoundsPerWorker,
        [&](const std::atomic<bool>& stop) {
            return wintest::LockRounds(factory.Get(), DllGetClassObject, DllCanUnloadNow, stop, 1000,
                                       &g_moduleRefCount);
        });

    EXPECT_EQ(g_moduleRefCount.load(), 1) << "only the test thread's class object reference may remain";
    EXPECT_EQ(g_serverLockCount.load(), 0) << "every lock was undone";
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    EXPECT_EQ(factory.Detach()->Release(), 0u) << "the shared class object had stray references";
    EXPECT_EQ(g_moduleRefCount.load(), 0);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);

    const wintest::StressCounts total =
        wintest::SummarizeThreads("static module", run.workers, kRoundsPerWorker, run.locks, run.seconds);
    EXPECT_EQ(total.rounds, uint64_t(kWorkers) * kRoundsPerWorker);
    EXPECT_EQ(total.faults, 0u);
    EXPECT_EQ(run.locks.faults, 0u);
    // Four of every five rounds render; the fifth file is refused.
    EXPECT_EQ(total.thumbnails + total.refusals, total.rounds);
    EXPECT_EQ(total.refusals, total.rounds / 5);
}
