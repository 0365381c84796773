// The memory budget of a batch under a control group's limit, v2 or v1, read from a scratch
// folder laid out as the kernel lays out its files.
#include "app/MemoryBudget.h"
// The budget is part of the tool's program, not of a library: compiled in here.
#include "app/MemoryBudget.cpp"

#include "tests/TestData.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace tintabrel::test {
namespace {

namespace fs = std::filesystem;
using tintabrel::TMemoryBudget;

struct TCgroupCase {
    const char* Name;
    std::vector<std::pair<const char*, const char*>> Files; // path under the root, contents
    int64_t Room;                                           // -1: no limit
};

TEST(CliEdgesBudget, ReadsTheLimitOfCgroupV2AndV1)
{
    const TCgroupCase cases[] = {
        {"v2 limit", {{"memory.max", "1000000000\n"}, {"memory.current", "400000000\n"}}, 600000000},
        {"v2 no limit", {{"memory.max", "max\n"}, {"memory.current", "400000000\n"}}, -1},
        {"v2 over its limit", {{"memory.max", "1000\n"}, {"memory.current", "5000\n"}}, 0},
        {"v1 limit", {{"memory/memory.limit_in_bytes", "2000000000\n"}, {"memory/memory.usage_in_bytes", "500000000\n"}}, 1500000000},
        {"v1 no limit", {{"memory/memory.limit_in_bytes", "9223372036854771712\n"}, {"memory/memory.usage_in_bytes", "5\n"}}, -1},
        {"v1, root is the controller", {{"memory.limit_in_bytes", "300000000\n"}, {"memory.usage_in_bytes", "100000000\n"}}, 200000000},
        {"neither", {{"cpu.max", "max 100000\n"}}, -1},
    };
    for (const TCgroupCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TempDir root;
        for (const auto& [path, text] : c.Files) {
            fs::create_directories((root.Path() / path).parent_path());
            WriteFile(root.File(path), text);
        }
        EXPECT_EQ(TMemoryBudget::CgroupRoom(root.Path().string()), c.Room);
        const int64_t budget = TMemoryBudget::FromAvailableMemory(root.Path().string());
        EXPECT_GT(budget, -1);
        if (c.Room >= 0) {
            EXPECT_LE(budget, c.Room / 4 * 3);
        }
    }
}

} // namespace
} // namespace tintabrel::test
