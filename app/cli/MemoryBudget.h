// Parallel jobs multiply the memory one picture needs: files enter the running set only while
// what their declared pictures need fits a budget, so a folder of huge or hostile files cannot
// exhaust the machine while small files still run side by side.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tintabrel::cli {

class TMemoryBudget {
public:
    explicit TMemoryBudget(int64_t bytes) : budget_(bytes) {}
    // Three quarters of the memory this process may still use: the machine's available memory,
    // lowered by a control group's limit or an address-space limit where one is set.
    static int64_t FromAvailableMemory();

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

} // namespace tintabrel::cli
