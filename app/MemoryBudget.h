// Parallel jobs multiply the memory one picture needs: files enter the running set only while
// what their declared pictures need fits a budget, so a folder of huge or hostile files cannot
// exhaust the machine while small files still run side by side.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace tintabrel {

class TMemoryBudget {
public:
    explicit TMemoryBudget(int64_t bytes) : budget_(bytes) {}
    // Three quarters of the memory this process may still use: the machine's available memory,
    // lowered by a control group's limit (v2 or v1, under cgroupRoot) or an address-space limit
    // where one is set.
    static int64_t FromAvailableMemory(const std::string& cgroupRoot = "/sys/fs/cgroup");
    // What the control group mounted at root still lets its processes use: its limit less its
    // use, from memory.max and memory.current (v2) or memory/memory.limit_in_bytes and
    // memory/memory.usage_in_bytes (v1; the files straight under root also count, for a root
    // that is the memory controller itself). -1 when no limit is set.
    static int64_t CgroupRoom(const std::string& root);

    // Memory admitted for one file, given back when it ends.
    class TTicket {
    public:
        TTicket(TMemoryBudget& budget, int64_t bytes) : budget_(&budget), bytes_(bytes) {}
        TTicket(TTicket&& other) noexcept : budget_(other.budget_), bytes_(other.bytes_) { other.budget_ = nullptr; }
        TTicket(const TTicket&) = delete;
        TTicket& operator=(const TTicket&) = delete;
        TTicket& operator=(TTicket&&) = delete;
        ~TTicket()
        {
            if (budget_) budget_->Release(bytes_);
        }

    private:
        TMemoryBudget* budget_;
        int64_t bytes_;
    };

    // Waits until bytes fit beside what is admitted, or until nothing else runs (a file larger
    // than the whole budget then runs alone).
    TTicket Admit(int64_t bytes);

private:
    void Release(int64_t bytes);

    const int64_t budget_;
    int64_t used_ = 0;
    int running_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
};

} // namespace tintabrel
