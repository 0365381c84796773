#include "png/ParallelDeflate.h"

#include "base/ScopeGuard.h"

#include <zlib.h>

#include <algorithm>
#include <new>

#include "png/VRQPNGTypes.h"

namespace tintabrel {

namespace {

constexpr size_t Window = 32768;
// zlib takes lengths as unsigned int; a segment stays well below.
constexpr size_t MaxSegment = size_t{1} << 30;

int ZlibLevel(int level) { return (level >= 0 && level <= 9) ? level : Z_DEFAULT_COMPRESSION; }

// The two header bytes zlib itself writes for a 32 KiB window at this level, so that the file
// does not depend on how it was compressed.
void ZlibHeader(int level, uint8_t out[2])
{
    const int l = level == Z_DEFAULT_COMPRESSION ? 6 : level;
    const unsigned flags = l < 2 ? 0 : l < 6 ? 1 : l == 6 ? 2 : 3;
    unsigned header = (0x78u << 8) | (flags << 6);
    header += 31 - header % 31;
    out[0] = static_cast<uint8_t>(header >> 8);
    out[1] = static_cast<uint8_t>(header);
}

} // namespace

struct TParallelDeflate::TSegment {
    std::vector<uint8_t> Input;
    std::vector<uint8_t> Dictionary; // up to 32 KiB of input just before this segment
    bool Last = false;
    size_t InputSize = 0;
    uint32_t Adler = 1;              // of this segment's input alone
    std::vector<uint8_t> Output;     // raw deflate: ends on a byte boundary, final only if Last
    bool Done = false;
    std::exception_ptr Error;
};

TParallelDeflate::TParallelDeflate(int level, int threads, size_t segmentBytes, size_t blockSize, TBlockSink sink)
    : level_(ZlibLevel(level)), threads_(std::max(1, threads)),
      segmentBytes_(std::clamp<size_t>(segmentBytes, 1, MaxSegment)), blockSize_(std::max<size_t>(1, blockSize)),
      sink_(std::move(sink))
{
    uint8_t header[2];
    ZlibHeader(level_, header);
    Put(header, 2);
}

TParallelDeflate::~TParallelDeflate()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    helpers_.Join();
}

size_t TParallelDeflate::SegmentSizeFor(uint64_t totalBytes)
{
    // 32 segments keep up to 8 threads busy to the end; a segment below 1 MiB would start
    // cold too often, one above 8 MiB holds too much input at once.
    constexpr uint64_t Least = uint64_t{1} << 20, Most = uint64_t{8} << 20;
    return static_cast<size_t>(std::clamp<uint64_t>(totalBytes / 32, Least, Most));
}

void TParallelDeflate::Write(const uint8_t* data, size_t size)
{
    while (size > 0) {
        if (current_.size() == segmentBytes_) CloseSegment(false);
        if (current_.capacity() < segmentBytes_) {
            current_ = TakeBuffer();
            current_.reserve(segmentBytes_);
        }
        const size_t take = std::min(size, segmentBytes_ - current_.size());
        current_.insert(current_.end(), data, data + take);
        data += take;
        size -= take;
    }
}

void TParallelDeflate::Finish()
{
    if (finished_) return;
    CloseSegment(true);
    while (CompressOneHere()) EmitReady(false);
    EmitReady(true);
    const uint8_t trailer[4] = {static_cast<uint8_t>(adler_ >> 24), static_cast<uint8_t>(adler_ >> 16),
                                static_cast<uint8_t>(adler_ >> 8), static_cast<uint8_t>(adler_)};
    Put(trailer, 4);
    FlushBlock();
    finished_ = true;
}

void TParallelDeflate::CloseSegment(bool last)
{
    auto segment = std::make_unique<TSegment>();
    segment->Input = std::move(current_);
    current_ = {};
    segment->InputSize = segment->Input.size();
    segment->Dictionary = history_;
    segment->Last = last;
    // The next segment's dictionary: the last 32 KiB of everything so far.
    const std::vector<uint8_t>& in = segment->Input;
    if (in.size() >= Window) {
        history_.assign(in.end() - static_cast<ptrdiff_t>(Window), in.end());
    } else {
        history_.insert(history_.end(), in.begin(), in.end());
        if (history_.size() > Window) history_.erase(history_.begin(), history_.end() - static_cast<ptrdiff_t>(Window));
    }

    bool spareThreads;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(segment.get());
        segments_.push_back(std::move(segment));
        spareThreads = static_cast<int>(helpers_.Size()) + 1 < threads_;
    }
    // Helpers start with the second segment: a stream of one segment needs none.
    if (spareThreads && !(last && Segments() == 1)) {
        // A helper the system refuses leaves its share to this thread (and to those started).
        if (!helpers_.Start([this] { WorkerLoop(); })) {
            std::lock_guard lock(mutex_);
            threads_ = static_cast<int>(helpers_.Size()) + 1;
        }
        wake_.notify_one();
    } else {
        wake_.notify_one();
    }
    // More segments waiting than threads to take them: this thread helps, which also bounds
    // the memory held by segments not yet compressed.
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (static_cast<int>(queue_.size()) < threads_ || last) break;
        }
        if (!CompressOneHere()) break;
    }
    EmitReady(false);
}

void TParallelDeflate::Compress(TSegment& s)
{
    z_stream z{};
    const auto fail = [](int r) {
        if (r == Z_MEM_ERROR) throw std::bad_alloc();
        throw EVRQPNG(pngmsg::WriteError);
    };
    if (const int r = deflateInit2(&z, level_, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY); r != Z_OK) fail(r);
    const TScopeGuard end([&z] { deflateEnd(&z); });
    if (!s.Dictionary.empty()) {
        const int r = deflateSetDictionary(&z, s.Dictionary.data(), static_cast<uInt>(s.Dictionary.size()));
        if (r != Z_OK) fail(r);
    }
    // Room for the whole result at once; the sync flush adds a few bytes beyond the bound.
    s.Output = TakeBuffer();
    s.Output.resize(deflateBound(&z, static_cast<uLong>(s.Input.size())) + 16);
    z.next_in = s.Input.data();
    z.avail_in = static_cast<uInt>(s.Input.size());
    size_t used = 0;
    const int flush = s.Last ? Z_FINISH : Z_SYNC_FLUSH;
    for (;;) {
        z.next_out = s.Output.data() + used;
        z.avail_out = static_cast<uInt>(s.Output.size() - used);
        const int r = deflate(&z, flush);
        used = s.Output.size() - z.avail_out;
        if (r == Z_STREAM_END) break;
        if (r != Z_OK && r != Z_BUF_ERROR) fail(r);
        if (!s.Last && z.avail_in == 0 && z.avail_out > 0) break;
        if (z.avail_out > 0) fail(r); // no progress although there was room
        s.Output.resize(s.Output.size() + 4096);
    }
    s.Output.resize(used);
    s.Adler = static_cast<uint32_t>(adler32(1, s.Input.data(), static_cast<uInt>(s.Input.size())));
    GiveBack(std::move(s.Input));
    s.Dictionary = {};
}

std::vector<uint8_t> TParallelDeflate::TakeBuffer()
{
    std::lock_guard lock(mutex_);
    if (spare_.empty()) return {};
    std::vector<uint8_t> buffer = std::move(spare_.back());
    spare_.pop_back();
    return buffer;
}

void TParallelDeflate::GiveBack(std::vector<uint8_t>&& buffer)
{
    buffer.clear();
    std::lock_guard lock(mutex_);
    spare_.push_back(std::move(buffer));
    buffer = {};
}

void TParallelDeflate::WorkerLoop()
{
    for (;;) {
        TSegment* s;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (stop_) return;
            s = queue_.front();
            queue_.pop_front();
        }
        Run(*s);
    }
}

void TParallelDeflate::Run(TSegment& s)
{
    std::exception_ptr error;
    try {
        Compress(s);
    } catch (...) {
        error = std::current_exception();
    }
    {
        std::lock_guard lock(mutex_);
        s.Error = error;
        s.Done = true;
    }
    done_.notify_all();
}

bool TParallelDeflate::CompressOneHere()
{
    TSegment* s;
    {
        std::lock_guard lock(mutex_);
        if (queue_.empty()) return false;
        s = queue_.front();
        queue_.pop_front();
    }
    Run(*s);
    return true;
}

void TParallelDeflate::EmitReady(bool wait)
{
    for (;;) {
        std::unique_ptr<TSegment> s;
        {
            std::unique_lock lock(mutex_);
            if (segments_.empty()) return;
            if (!segments_.front()->Done) {
                if (!wait) return;
                done_.wait(lock, [this] { return segments_.front()->Done; });
            }
            s = std::move(segments_.front());
            segments_.pop_front();
            ++emitted_;
        }
        if (s->Error) std::rethrow_exception(s->Error);
        Put(s->Output.data(), s->Output.size());
        adler_ = static_cast<uint32_t>(adler32_combine(adler_, s->Adler, static_cast<z_off_t>(s->InputSize)));
        GiveBack(std::move(s->Output));
    }
}

void TParallelDeflate::Put(const uint8_t* data, size_t size)
{
    while (size > 0) {
        if (block_.empty() && size >= blockSize_) {
            sink_(data, blockSize_);
            data += blockSize_;
            size -= blockSize_;
            continue;
        }
        const size_t take = std::min(size, blockSize_ - block_.size());
        block_.insert(block_.end(), data, data + take);
        data += take;
        size -= take;
        if (block_.size() == blockSize_) FlushBlock();
    }
}

void TParallelDeflate::FlushBlock()
{
    if (block_.empty()) return;
    sink_(block_.data(), block_.size());
    block_.clear();
}

std::unique_ptr<TParallelDeflate> MakeParallelDeflate(const TParallelDeflateSettings& settings, int64_t pixels,
                                                      uint64_t totalBytes, int level, size_t blockSize,
                                                      TParallelDeflate::TBlockSink sink)
{
    if (pixels < settings.MinPixels) return nullptr;
    const size_t segment = settings.SegmentBytes > 0 ? static_cast<size_t>(settings.SegmentBytes)
                                                     : TParallelDeflate::SegmentSizeFor(totalBytes);
    return std::make_unique<TParallelDeflate>(level, std::max(1, settings.Threads), segment, blockSize,
                                              std::move(sink));
}

} // namespace tintabrel
