// Deflate on several cores: the bytes of one zlib stream are cut into segments that are
// compressed at the same time by libdeflate, each on its own (libdeflate takes no dictionary; a
// cut costs a few hundred bytes of a segment's megabytes) and left open as a sync flush leaves a
// stream (the last one finished), so that their concatenation is one ordinary stream.
#pragma once

#include "base/TaskPool.h"
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tintabrel {

// How a PNG writer may spread its deflate work over threads. A picture of at least MinPixels
// pixels is always cut into segments, on any number of threads, so that its bytes depend on
// its size alone.
struct TParallelDeflateSettings {
    int32_t Threads = 1;               // threads compressing at once (the caller's counts as one)
    int64_t MinPixels = int64_t{1} << 20; // smaller pictures keep the single stream
    int64_t SegmentBytes = 0;          // input bytes per segment; 0 chooses from the size alone
};

class TParallelDeflate {
public:
    // Receives the compressed stream in order, in blocks of blockSize bytes (the last may be
    // shorter, none is empty). Called only on the thread that calls Write and Finish.
    using TBlockSink = std::function<void(const uint8_t* data, size_t size)>;

    // level 0..9 (other values: the default, DeflateLevel); threads at least 1 (the caller's thread
    // counts as one); segmentBytes at least 1.
    TParallelDeflate(int level, int threads, size_t segmentBytes, size_t blockSize, TBlockSink sink);
    // Stops the helper threads; a stream not finished is abandoned.
    ~TParallelDeflate();
    TParallelDeflate(const TParallelDeflate&) = delete;
    TParallelDeflate& operator=(const TParallelDeflate&) = delete;

    // Adds input. Throws what compressing or the sink threw (std::bad_alloc, EVRQPNG).
    void Write(const uint8_t* data, size_t size);
    // Compresses what remains, writes the Adler-32 trailer and the last block.
    void Finish();

    // Segments made so far (after Finish: all of them).
    int Segments() const { return static_cast<int>(segments_.size()) + emitted_; }

    // The segment size chosen for totalBytes of input: enough segments that several threads
    // finish together, large enough that the cuts cost almost no size, and never dependent on
    // the threads at hand (the file must not be).
    static size_t SegmentSizeFor(uint64_t totalBytes);

private:
    struct TSegment;

    void CloseSegment(bool last);
    void Compress(TSegment& segment);
    void WorkerLoop();
    // Compresses a segment taken from the queue and marks it done, with what it threw.
    void Run(TSegment& segment);
    // Runs one queued segment on this thread; false when none was queued.
    bool CompressOneHere();
    // Hands the finished segments at the front to the sink, in order.
    void EmitReady(bool wait);
    void Put(const uint8_t* data, size_t size);
    void FlushBlock();
    // Buffers of finished segments are used again: fresh ones would cost a page fault per 4 KiB
    // and, freed on other threads, go back to the system and come again.
    std::vector<uint8_t> TakeBuffer();
    void GiveBack(std::vector<uint8_t>&& buffer);

    const int level_;
    int threads_; // lowered when the system refuses a helper
    const size_t segmentBytes_;
    const size_t blockSize_;
    TBlockSink sink_;

    std::vector<uint8_t> current_;  // input of the segment being filled
    std::vector<uint8_t> block_;    // output waiting for a full block
    uint32_t adler_ = 1;
    bool headerWritten_ = false;
    bool finished_ = false;
    int emitted_ = 0;

    // Shared with the helper threads.
    std::mutex mutex_;
    std::condition_variable wake_;  // a segment was queued, or stop
    std::condition_variable done_;  // a segment was finished
    std::deque<std::unique_ptr<TSegment>> segments_; // not yet emitted, in stream order
    std::deque<TSegment*> queue_;   // not yet started
    std::vector<std::vector<uint8_t>> spare_; // emptied buffers with their memory
    bool stop_ = false;
    TThreadGroup helpers_;
};

// The segmented compressor for a picture of at least MinPixels pixels (on however many threads
// the settings give); null otherwise. totalBytes: the filtered bytes to come.
std::unique_ptr<TParallelDeflate> MakeParallelDeflate(const TParallelDeflateSettings& settings, int64_t pixels,
                                                      uint64_t totalBytes, int level, size_t blockSize,
                                                      TParallelDeflate::TBlockSink sink);

} // namespace tintabrel
