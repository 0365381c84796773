// The one place threads are started. Every parallel part of the program (the batch's workers, the
// optimizer's trials, deflate segments, bands of recolouring, syncing outputs, inflating ahead)
// goes through it, so they share one rule: a thread the system refuses is not a failure, the work
// runs on the threads that did start, down to the calling thread alone; the first exception of a
// task stops the handing out of further tasks and is passed on to the caller.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace tintabrel {

// Threads started one at a time and joined when the group ends.
class TThreadGroup {
public:
    TThreadGroup() = default;
    ~TThreadGroup() { Join(); }
    TThreadGroup(const TThreadGroup&) = delete;
    TThreadGroup& operator=(const TThreadGroup&) = delete;

    // Starts body on a new thread; false (and body not run) when the system refuses one.
    bool Start(std::function<void()> body);
    size_t Size() const { return threads_.size(); }
    std::thread& operator[](size_t k) { return threads_[k]; }
    void Join();

private:
    std::vector<std::thread> threads_;
};

// Runs task(0) .. task(count - 1) on up to threads threads, the calling one included, and returns
// when all have ended. A task that throws stops the tasks not yet handed out; its exception is
// rethrown here (the first one, when several throw). stop, when given, is asked before each task:
// true hands out no more. Returns the number of threads that worked.
unsigned RunTasks(size_t count, unsigned threads, const std::function<void(size_t)>& task,
                  const std::function<bool()>& stop = {});

// Told once per process, the first time a thread could not be started (the system's reason); the
// command-line tool prints it with -v. Empty: nothing is told.
void SetThreadFallbackNotice(std::function<void(const std::string& reason)> notice);

// For tests: after this many more threads are started, the system "refuses" every further one
// (negative: no limit). TINTABREL_TEST_THREAD_STARTS in the environment sets it at start-up, so
// that the programs can be tried under exhausted threads without a process limit.
void SetThreadStartsLeftForTesting(long starts);

} // namespace tintabrel
