// Work the window runs off its interface thread (large loads, checks and saves; the mask and the
// preview of a large picture), started through the one place the program starts threads: a
// thread the system refuses leaves the work to the calling thread, as everywhere else.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "base/TaskPool.h"

namespace tintabrel {

class TBackgroundWork {
public:
    TBackgroundWork() = default;
    ~TBackgroundWork() { Join(); }
    TBackgroundWork(const TBackgroundWork&) = delete;
    TBackgroundWork& operator=(const TBackgroundWork&) = delete;

    // Starts work (which catches its own failures) on a thread of its own; without one, runs it
    // here before returning.
    void Start(std::function<void()> work)
    {
        Join();
        done_ = false;
        running_ = true;
        group_ = std::make_unique<TThreadGroup>();
        if (!group_->Start([this, work = std::move(work)] {
                work();
                done_ = true;
            })) {
            work();
            done_ = true;
        }
    }
    // Started and not yet joined.
    bool Running() const { return running_; }
    // The work has ended (it may still wait to be joined).
    bool Done() const { return done_.load(); }
    void Join()
    {
        if (group_) group_->Join();
        group_.reset();
        running_ = false;
    }

private:
    std::unique_ptr<TThreadGroup> group_;
    std::atomic<bool> done_{false};
    bool running_ = false;
};

} // namespace tintabrel
