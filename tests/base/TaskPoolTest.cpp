#include "base/TaskPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

using namespace tintabrel;

namespace {

// Restores the unlimited thread starts after a test that limited them.
struct TStartLimit {
    explicit TStartLimit(long starts) { SetThreadStartsLeftForTesting(starts); }
    ~TStartLimit() { SetThreadStartsLeftForTesting(-1); }
};

} // namespace

// Every task runs exactly once, whatever number of threads the system grants, down to none.
TEST(RunTasks, EveryTaskOnceWithAnyNumberOfThreadsGranted)
{
    for (const long granted : {-1L, 0L, 1L, 2L}) {
        const TStartLimit limit(granted);
        std::vector<std::atomic<int>> runs(100);
        const unsigned used = RunTasks(runs.size(), 4, [&](size_t k) { ++runs[k]; });
        for (const auto& r : runs) EXPECT_EQ(r, 1) << "granted " << granted;
        EXPECT_EQ(used, granted < 0 ? 4u : static_cast<unsigned>(granted) + 1) << "granted " << granted;
    }
}

TEST(RunTasks, FirstFailureStopsTheRestAndIsPassedOn)
{
    std::atomic<int> ran{0};
    EXPECT_THROW(RunTasks(1000, 1,
                          [&](size_t k) {
                              ++ran;
                              if (k == 3) throw std::runtime_error("task 3");
                          }),
                 std::runtime_error);
    EXPECT_EQ(ran, 4); // one thread: tasks 0..3, nothing after the failure
}

TEST(RunTasks, StopHandsOutNoMore)
{
    std::atomic<int> ran{0};
    RunTasks(100, 1, [&](size_t) { ++ran; }, [&] { return ran >= 10; });
    EXPECT_EQ(ran, 10);
}

TEST(ThreadGroup, RefusedStartIsToldOnceWithTheReason)
{
    std::vector<std::string> told;
    SetThreadFallbackNotice([&](const std::string& reason) { told.push_back(reason); });
    {
        const TStartLimit limit(0);
        TThreadGroup group;
        bool ran = false;
        EXPECT_FALSE(group.Start([&] { ran = true; }));
        EXPECT_FALSE(group.Start([&] { ran = true; }));
        group.Join();
        EXPECT_FALSE(ran);
    }
    SetThreadFallbackNotice({});
    ASSERT_EQ(told.size(), 1u);
    EXPECT_FALSE(told[0].empty());
}
