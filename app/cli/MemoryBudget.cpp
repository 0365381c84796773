#include "app/cli/MemoryBudget.h"

#include <algorithm>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace tintabrel::cli {

namespace {

// A number from a file of the kernel; -1 when absent or "max".
int64_t ReadNumber(const char* path)
{
    std::ifstream in(path);
    std::string word;
    if (!(in >> word) || word.empty() || word.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stoll(word);
}

int64_t MemAvailable()
{
    std::ifstream in("/proc/meminfo");
    std::string key;
    int64_t kib = 0;
    std::string unit;
    while (in >> key >> kib >> unit)
        if (key == "MemAvailable:") return kib * 1024;
    const long pages = ::sysconf(_SC_AVPHYS_PAGES);
    const long size = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && size > 0 ? int64_t{pages} * size : int64_t{1} << 30;
}

} // namespace

int64_t TMemoryBudget::FromAvailableMemory()
{
    int64_t available = MemAvailable();
    const int64_t limit = ReadNumber("/sys/fs/cgroup/memory.max");
    const int64_t current = ReadNumber("/sys/fs/cgroup/memory.current");
    if (limit > 0 && current >= 0) available = std::min(available, std::max<int64_t>(limit - current, 0));
    for (int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        rlimit r{};
        if (::getrlimit(resource, &r) == 0 && r.rlim_cur != RLIM_INFINITY)
            available = std::min(available, static_cast<int64_t>(r.rlim_cur));
    }
    return available / 4 * 3;
}

TMemoryBudget::TTicket TMemoryBudget::Admit(int64_t bytes)
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return running_ == 0 || used_ + bytes <= budget_; });
    used_ += bytes;
    ++running_;
    return TTicket(*this, bytes);
}

void TMemoryBudget::Release(int64_t bytes)
{
    {
        std::lock_guard lock(mutex_);
        used_ -= bytes;
        --running_;
    }
    changed_.notify_all();
}

} // namespace tintabrel::cli
