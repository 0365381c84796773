#include "png/VRQZLIB.h"

#include "base/ScopeGuard.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace tintabrel {

TDeflateContext::TDeflateContext() = default;

TDeflateContext::~TDeflateContext() { DeflateRelease(*this); }

namespace {

// Buffers of up to this size are kept by the thread for its next picture: made afresh, the rows
// and the stream of every sprite of a batch cost page faults and a copy per doubling.
constexpr size_t KeptBufferBytes = size_t{8} << 20;

std::vector<uint8_t>& SpareBuffer(int k)
{
    thread_local std::vector<uint8_t> spare[2];
    return spare[k];
}

std::vector<uint8_t> TakeSpare(int k)
{
    std::vector<uint8_t> buffer = std::move(SpareBuffer(k));
    SpareBuffer(k) = {};
    buffer.clear();
    return buffer;
}

void KeepSpare(int k, std::vector<uint8_t>&& buffer)
{
    if (buffer.capacity() <= KeptBufferBytes && buffer.capacity() > SpareBuffer(k).capacity()) SpareBuffer(k) = std::move(buffer);
    buffer = {};
}

} // namespace

int DeflateLevel(int level) { return level >= 0 && level <= 9 ? level : 5; }

libdeflate_compressor* DeflateCompressor(int level)
{
    level = DeflateLevel(level);
    struct TFree {
        void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
    };
    thread_local std::unique_ptr<libdeflate_compressor, TFree> compressors[10];
    std::unique_ptr<libdeflate_compressor, TFree>& compressor = compressors[level];
    if (!compressor) compressor.reset(libdeflate_alloc_compressor(level));
    return compressor.get();
}

int DeflateStart(TDeflateContext& c, int32_t level, int32_t size)
{
    if (size <= 0 || size >= 262144) size = 32768;
    c.StreamReady = false;
    if (c.Input.capacity() == 0) c.Input = TakeSpare(0);
    c.Input.clear();
    c.Filled = 0;
    c.OutBuffer.reset(new (std::nothrow) uint8_t[static_cast<size_t>(size)]);
    c.OutSize = c.OutBuffer ? size : 0;
    if (!c.OutBuffer) return -1;
    c.Level = DeflateLevel(level);
    c.StreamReady = true;
    return 0;
}

int DeflateRow(TDeflateContext& c)
{
    if (!c.StreamReady || !c.OutBuffer) return -1;
    SelectFilter(c);
    try {
        c.Input.insert(c.Input.end(), c.FilteredRow, c.FilteredRow + c.RowLength);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

int DeflateFinish(TDeflateContext& c)
{
    if (!c.StreamReady || !c.OutBuffer) return -1;
    libdeflate_compressor* compressor = DeflateCompressor(c.Level);
    if (!compressor) return -1;
    std::vector<uint8_t> stream = TakeSpare(1);
    const TScopeGuard keep([&stream] { KeepSpare(1, std::move(stream)); });
    try {
        stream.resize(libdeflate_zlib_compress_bound(compressor, c.Input.size()));
    } catch (const std::bad_alloc&) {
        return -1;
    }
    const size_t size = libdeflate_zlib_compress(compressor, c.Input.data(), c.Input.size(), stream.data(), stream.size());
    if (size == 0) return -1;
    // Handed on in blocks of the output buffer's size, as IDAT chunks.
    for (size_t at = 0; at < size;) {
        c.Filled = static_cast<int32_t>(std::min(size - at, static_cast<size_t>(c.OutSize)));
        std::memcpy(c.OutBuffer.get(), stream.data() + at, static_cast<size_t>(c.Filled));
        at += static_cast<size_t>(c.Filled);
        if (c.Flush && c.Flush(c) != 0) return -1;
        c.Filled = 0;
    }
    c.Input.clear();
    return 0;
}

void DeflateRelease(TDeflateContext& c)
{
    c.OutBuffer.reset();
    c.OutSize = 0;
    c.Filled = 0;
    KeepSpare(0, std::move(c.Input));
    c.StreamReady = false;
}

void FilterRow(const TDeflateContext& c, TRowFilter filter, uint8_t* out)
{
    out[0] = static_cast<uint8_t>(filter);
    FilterRow(filter, c.CurrentRow, c.PreviousRow, c.RowLength - 1, (c.PixelBits + 7) / 8, out + 1);
}

int32_t RowScore(TDeflateContext& c, const uint8_t* candidate)
{
    uint32_t local[256];
    uint32_t* h = c.Histogram ? c.Histogram : local;
    const int32_t n = c.RowLength;
    // Four partial counts, so runs of one value do not wait on the same counter.
    uint32_t part[4][256] = {};
    int32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        ++part[0][candidate[i]];
        ++part[1][candidate[i + 1]];
        ++part[2][candidate[i + 2]];
        ++part[3][candidate[i + 3]];
    }
    for (; i < n; ++i) ++part[0][candidate[i]];
    for (int v = 0; v < 256; ++v) h[v] = part[0][v] + part[1][v] + part[2][v] + part[3][v];
    int32_t distinct = 0;
    uint32_t top1 = 0, top2 = 0, top3 = 0;
    for (int v = 0; v < 256; ++v) {
        const uint32_t k = h[v];
        if (k == 0) continue;
        ++distinct;
        if (k > top1) {
            top3 = top2;
            top2 = top1;
            top1 = k;
        } else if (k > top2) {
            top3 = top2;
            top2 = k;
        } else if (k > top3) {
            top3 = k;
        }
    }
    if (distinct <= 8 || static_cast<int64_t>(top1) * 100 >= int64_t{90} * n) return -1;
    const long double size = n;
    long double score;
    if (c.PixelBits < 8)
        score = size / 1.5L / distinct * 1500 + static_cast<long double>(top1 + top2) / size * 1000;
    else
        score = size / 1.5L / distinct * 1000 + static_cast<long double>(top1 + top2 + top3) / size * 1000;
    return static_cast<int32_t>(score);
}

void SelectFilter(TDeflateContext& c)
{
    // Modes 2 to 5 are the fixed filters Sub to Paeth; 0 is the adaptive choice.
    const int mode = c.FilterMode & 0xFF;
    if (mode >= 2 && mode <= 5) {
        FilterRow(c, static_cast<TRowFilter>(mode - 1), c.FilteredRow);
        return;
    }
    FilterRow(c, TRowFilter::None, c.FilteredRow);
    if (mode != 0) return;

    int64_t best = RowScore(c, c.FilteredRow);
    if (best == -1) return;
    if (c.OutputBits == 4) return; // 4-bit rows are never filtered
    if (c.OutputBits == 1 || c.OutputBits == 8) best *= 2;
    for (const TRowFilter filter : {TRowFilter::Sub, TRowFilter::Up, TRowFilter::Average, TRowFilter::Paeth}) {
        FilterRow(c, filter, c.TrialRow);
        const int32_t score = RowScore(c, c.TrialRow);
        if (score == -1) {
            std::swap(c.FilteredRow, c.TrialRow);
            return;
        }
        if (score > best) {
            best = score;
            std::swap(c.FilteredRow, c.TrialRow);
        }
    }
}

} // namespace tintabrel
