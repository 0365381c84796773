#include "png/ParallelDeflate.h"

#include "base/ScopeGuard.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <new>

#include "png/VRQPNGTypes.h"
#include "png/VRQZLIB.h"

namespace tintabrel {

namespace {

// zlib takes lengths as unsigned int; a segment stays well below.
constexpr size_t MaxSegment = size_t{1} << 30;

// The two header bytes libdeflate writes for a whole stream at this level, so that the file
// does not depend on how it was compressed.
void ZlibHeader(int level, uint8_t out[2])
{
    const int l = level;
    const unsigned flags = l < 2 ? 0 : l < 6 ? 1 : l == 6 ? 2 : 3;
    unsigned header = (0x78u << 8) | (flags << 6);
    header += 31 - header % 31;
    out[0] = static_cast<uint8_t>(header >> 8);
    out[1] = static_cast<uint8_t>(header);
}

} // namespace

struct TParallelDeflate::TSegment {
    std::vector<uint8_t> Input;
    bool Last = false;
    size_t InputSize = 0;
    uint32_t Adler = 1;              // of this segment's input alone
    std::vector<uint8_t> Output;     // raw deflate: ends on a byte boundary, final only if Last
    bool Done = false;
    std::exception_ptr Error;
};

TParallelDeflate::TParallelDeflate(int level, int threads, size_t segmentBytes, size_t blockSize, TBlockSink sink)
    : level_(DeflateLevel(level)), threads_(std::max(1, threads)),
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
    segment->Last = last;

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

namespace {

// Turns a raw deflate stream that libdeflate ended with a final block into one that another can
// follow, as zlib's sync flush leaves it: the final block's flag is cleared (found by walking the
// blocks with inflate, which stops at each block's end) and an empty stored block ends it on a
// byte boundary. inputSize: the bytes it decodes to, checked on the way.
void LeaveOpen(std::vector<uint8_t>& stream, size_t inputSize)
{
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) throw std::bad_alloc();
    const TScopeGuard end([&z] { inflateEnd(&z); });
    z.next_in = stream.data();
    z.avail_in = static_cast<uInt>(stream.size());
    uint8_t sink[65536];
    size_t decoded = 0;
    bool last = stream[0] & 1; // the first block's flag is the stream's first bit
    stream[0] &= ~1u;
    for (;;) {
        z.next_out = sink;
        z.avail_out = sizeof sink;
        const int r = inflate(&z, Z_BLOCK);
        decoded += sizeof sink - z.avail_out;
        if (r == Z_STREAM_END) break; // the final block, its flag read before it was cleared
        if (r != Z_OK) throw EVRQPNG(pngmsg::WriteError);
        if (!(z.data_type & 128)) continue; // within a block
        if (last) break;
        // The next block's header starts right after this block's end.
        const int unused = z.data_type & 7;
        uint8_t* flagByte = unused ? z.next_in - 1 : z.next_in;
        const uint8_t flag = unused ? static_cast<uint8_t>(0x100 >> unused) : 1;
        if (!unused && z.avail_in == 0) throw EVRQPNG(pngmsg::WriteError);
        last = *flagByte & flag;
        *flagByte &= static_cast<uint8_t>(~flag);
    }
    if (decoded != inputSize) throw EVRQPNG(pngmsg::WriteError);
    const int unused = z.data_type & 7;
    stream.resize(static_cast<size_t>(z.next_in - stream.data()));
    if (unused) stream.back() &= static_cast<uint8_t>((1u << (8 - unused)) - 1);
    // An empty stored block: three header bits of zero, then to the byte boundary, LEN 0, NLEN ~0.
    if (unused < 3) stream.push_back(0);
    for (const uint8_t b : {0x00, 0x00, 0xFF, 0xFF}) stream.push_back(b);
}

} // namespace

void TParallelDeflate::Compress(TSegment& s)
{
    libdeflate_compressor* compressor = DeflateCompressor(level_);
    if (!compressor) throw std::bad_alloc();
    s.Output = TakeBuffer();
    s.Output.resize(libdeflate_deflate_compress_bound(compressor, s.Input.size()) + 8);
    const size_t size = libdeflate_deflate_compress(compressor, s.Input.data(), s.Input.size(), s.Output.data(), s.Output.size());
    if (size == 0) throw EVRQPNG(pngmsg::WriteError);
    s.Output.resize(size);
    if (!s.Last) LeaveOpen(s.Output, s.Input.size());
    s.Adler = libdeflate_adler32(1, s.Input.data(), s.Input.size());
    GiveBack(std::move(s.Input));
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
