#include "base/RowGate.h"

namespace tintabrel {

void TRowGate::Open(int32_t rows)
{
    {
        std::lock_guard lock(mutex_);
        if (rows <= open_) return;
        open_ = rows;
    }
    changed_.notify_all();
}

void TRowGate::End(bool finished)
{
    {
        std::lock_guard lock(mutex_);
        if (ended_) return;
        ended_ = true;
        finished_ = finished;
    }
    changed_.notify_all();
}

bool TRowGate::Await(int32_t rows) const
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return open_ >= rows || ended_; });
    return open_ >= rows && (!ended_ || finished_);
}

bool TRowGate::AwaitEnd() const
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return ended_; });
    return finished_;
}

} // namespace tintabrel
