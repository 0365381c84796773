#include "app/MemoryBudget.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace tintabrel {

namespace {

// A number from a file of the kernel; -1 when absent or "max".
int64_t ReadNumber(const std::string& path)
{
    std::ifstream in(path);
    std::string word;
    if (!(in >> word) || word.empty() || word.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::strtoll(word.c_str(), nullptr, 10); // beyond 64 bits: the largest, no limit
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

// cgroup v1 writes "no limit" as the largest page-aligned 64-bit number; anything from 2^62 up
// is taken as none.
constexpr int64_t NoLimitV1 = int64_t{1} << 62;

} // namespace

int64_t TMemoryBudget::CgroupRoom(const std::string& root)
{
    const int64_t limit = ReadNumber(root + "/memory.max");
    if (limit > 0) {
        const int64_t current = ReadNumber(root + "/memory.current");
        return std::max<int64_t>(limit - std::max<int64_t>(current, 0), 0);
    }
    for (const std::string& folder : {root + "/memory", root}) {
        const int64_t v1 = ReadNumber(folder + "/memory.limit_in_bytes");
        if (v1 <= 0) continue;
        if (v1 >= NoLimitV1) return -1;
        const int64_t used = ReadNumber(folder + "/memory.usage_in_bytes");
        return std::max<int64_t>(v1 - std::max<int64_t>(used, 0), 0);
    }
    return -1;
}

int64_t TMemoryBudget::FromAvailableMemory(const std::string& cgroupRoot)
{
    int64_t available = MemAvailable();
    const int64_t room = CgroupRoom(cgroupRoot);
    if (room >= 0) available = std::min(available, room);
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

} // namespace tintabrel
