#include "base/TaskPool.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <system_error>

namespace tintabrel {

namespace {

long StartsFromEnvironment()
{
    const char* text = std::getenv("TINTABREL_TEST_THREAD_STARTS");
    if (!text || !*text) return -1;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return *end ? -1 : value;
}

std::atomic<long>& StartsLeft()
{
    static std::atomic<long> left{StartsFromEnvironment()};
    return left;
}

std::mutex noticeMutex;
std::function<void(const std::string&)> notice;
bool noticeGiven = false;

void TellFallback(const std::string& reason)
{
    std::lock_guard lock(noticeMutex);
    if (noticeGiven || !notice) return;
    noticeGiven = true;
    notice(reason);
}

// Takes one start from the test limit; false when it is used up.
bool TakeStart()
{
    std::atomic<long>& left = StartsLeft();
    long now = left.load();
    for (;;) {
        if (now < 0) return true;
        if (now == 0) return false;
        if (left.compare_exchange_weak(now, now - 1)) return true;
    }
}

} // namespace

bool TThreadGroup::Start(std::function<void()> body)
{
    if (!TakeStart()) {
        TellFallback(std::strerror(EAGAIN));
        return false;
    }
    try {
        threads_.emplace_back(std::move(body));
        return true;
    } catch (const std::system_error& e) {
        TellFallback(e.code().message());
        return false;
    }
}

void TThreadGroup::Join()
{
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
    threads_.clear();
}

unsigned RunTasks(size_t count, unsigned threads, const std::function<void(size_t)>& task,
                  const std::function<bool()>& stop)
{
    if (count == 0) return 0;
    std::atomic<size_t> next{0};
    std::exception_ptr failure;
    std::mutex mutex;
    const auto worker = [&] {
        for (size_t k = next++; k < count; k = next++) {
            if (stop && stop()) {
                next = count;
                return;
            }
            try {
                task(k);
            } catch (...) {
                std::lock_guard lock(mutex);
                if (!failure) failure = std::current_exception();
                next = count;
            }
        }
    };
    TThreadGroup group;
    const size_t extra = std::min<size_t>(threads > 0 ? threads - 1 : 0, count - 1);
    for (size_t k = 0; k < extra; ++k)
        if (!group.Start(worker)) break; // the threads that did start share the rest
    const unsigned used = static_cast<unsigned>(group.Size() + 1);
    worker();
    group.Join();
    if (failure) std::rethrow_exception(failure);
    return used;
}

void SetThreadFallbackNotice(std::function<void(const std::string& reason)> fn)
{
    std::lock_guard lock(noticeMutex);
    notice = std::move(fn);
    noticeGiven = false;
}

void SetThreadStartsLeftForTesting(long starts) { StartsLeft() = starts; }

} // namespace tintabrel
