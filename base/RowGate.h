// Rows of a picture that one thread is still making while another already reads them: the
// maker opens rows in order and finally says whether it finished; a reader waits for the rows it
// needs, and for the end before it makes anything of the whole lasting.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tintabrel {

class TRowGate {
public:
    // Rows [0, rows) are ready; a lower count changes nothing.
    void Open(int32_t rows);
    // No more rows will come: finished (every row the reader may want is open) or not.
    void End(bool finished);

    // Waits until rows [0, rows) are open; false when the maker ended before opening them, or
    // ended without finishing (the rows are then not worth reading on).
    bool Await(int32_t rows) const;
    // Waits for the maker's end; whether it finished.
    bool AwaitEnd() const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    int32_t open_ = 0;
    bool ended_ = false;
    bool finished_ = false;
};

} // namespace tintabrel
