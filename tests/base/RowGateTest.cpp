// The gate between a thread storing rows and one reading them.
#include "base/RowGate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace tintabrel {
namespace {

TEST(RowGate, ReaderSeesEveryRowOnceOpenedAndTheEnd)
{
    TRowGate gate;
    std::vector<int> rows(500, 0);
    std::atomic<bool> allSeen{false};
    std::thread reader([&] {
        bool ok = true;
        for (int y = 0; y < 500 && ok; ++y) ok = gate.Await(y + 1) && rows[static_cast<size_t>(y)] == y + 1;
        allSeen = ok && gate.AwaitEnd();
    });
    for (int y = 0; y < 500; ++y) {
        rows[static_cast<size_t>(y)] = y + 1; // written before it is opened
        gate.Open(y + 1);
    }
    gate.Open(3); // never lowers
    gate.End(true);
    reader.join();
    EXPECT_TRUE(allSeen);
    EXPECT_TRUE(gate.Await(500));
}

TEST(RowGate, AnUnfinishedEndReleasesAndFailsTheReader)
{
    TRowGate gate;
    gate.Open(10);
    EXPECT_TRUE(gate.Await(10));
    std::atomic<int> result{-1};
    std::thread reader([&] { result = gate.Await(11) ? 1 : 0; });
    gate.End(false);
    reader.join();
    EXPECT_EQ(result, 0);
    // Rows already open are not worth reading on once the maker failed.
    EXPECT_FALSE(gate.Await(5));
    EXPECT_FALSE(gate.AwaitEnd());
    gate.End(true); // the first end stands
    EXPECT_FALSE(gate.AwaitEnd());
}

} // namespace
} // namespace tintabrel
