// Clean-up that runs when a scope ends, on a normal exit and on an exception alike.
#pragma once

#include <utility>

namespace tintabrel {

// Calls the clean-up from its destructor unless dismissed. The clean-up must not throw: one
// that can catches inside, since an exception may already be under way.
template <class TCleanup>
class TScopeGuard {
public:
    explicit TScopeGuard(TCleanup cleanup) : cleanup_(std::move(cleanup)) {}
    ~TScopeGuard()
    {
        if (active_) cleanup_();
    }
    TScopeGuard(const TScopeGuard&) = delete;
    TScopeGuard& operator=(const TScopeGuard&) = delete;

    // The clean-up is not needed any more (the normal path did it itself).
    void Dismiss() { active_ = false; }

private:
    TCleanup cleanup_;
    bool active_ = true;
};

} // namespace tintabrel
