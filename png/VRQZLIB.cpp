#include "png/VRQZLIB.h"

#include <libdeflate.h>

#include <algorithm>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace tintabrel {

namespace {

voidpf AllocItems(voidpf, uInt items, uInt size)
{
    if (size != 0 && items > std::numeric_limits<size_t>::max() / size) return Z_NULL;
    return std::malloc(static_cast<size_t>(items) * size);
}

void FreeItems(voidpf, voidpf address) { std::free(address); }

// Offers the whole output buffer to deflate again.
void ResetOutput(TDeflateContext& c)
{
    c.Stream.next_out = c.OutBuffer.get();
    c.Stream.avail_out = static_cast<uInt>(c.OutSize);
}

int FlushFull(TDeflateContext& c)
{
    if (c.Flush) {
        const int r = c.Flush(c);
        if (r != 0) return r < 0 ? r : -r;
    }
    ResetOutput(c);
    return 0;
}

} // namespace

TDeflateContext::TDeflateContext() = default;

TDeflateContext::~TDeflateContext() { DeflateRelease(*this); }

int DeflateStart(TDeflateContext& c, int32_t level, int32_t size)
{
    if (size <= 0 || size >= 262144) size = 32768;
    if (c.StreamReady) {
        deflateEnd(&c.Stream);
        c.StreamReady = false;
    }
    c.OutBuffer.reset();
    c.OutSize = 0;
    c.OutBuffer.reset(new (std::nothrow) uint8_t[static_cast<size_t>(size)]);
    if (!c.OutBuffer) return -1;
    c.OutSize = size;
    c.Stream = z_stream{};
    ResetOutput(c);
    c.Level = level;
    c.Held.clear();
    c.HeldPending = c.WholeImage;
    if (c.WholeImage) return 0;
    c.Stream.zalloc = AllocItems;
    c.Stream.zfree = FreeItems;
    c.Stream.opaque = Z_NULL;
    if (level < -1 || level > 9) level = -1;
    if (deflateInit2(&c.Stream, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return -1;
    c.StreamReady = true;
    return 0;
}

int DeflateRow(TDeflateContext& c)
{
    if (c.WholeImage) {
        if (!c.HeldPending || !c.OutBuffer) return -1;
        SelectFilter(c);
        c.Held.insert(c.Held.end(), c.FilteredRow, c.FilteredRow + c.RowLength);
        return 0;
    }
    if (!c.StreamReady || !c.OutBuffer) return -1;
    SelectFilter(c);
    c.Stream.next_in = c.FilteredRow;
    c.Stream.avail_in = static_cast<uInt>(c.RowLength);
    for (;;) {
        const int r = deflate(&c.Stream, Z_NO_FLUSH);
        // Z_BUF_ERROR only says that no progress was possible, which ends the loop below.
        if (r < 0 && r != Z_BUF_ERROR) return r;
        if (c.Stream.avail_out == 0) {
            if (const int f = FlushFull(c); f < 0) return f;
            continue;
        }
        if (c.Stream.avail_in == 0) return 0;
        if (r == Z_BUF_ERROR) return r;
    }
}

namespace {

// The held rows as one zlib stream, written through the output buffer in IDAT-sized parts.
int FinishWholeImage(TDeflateContext& c)
{
    c.HeldPending = false;
    struct TFree {
        void operator()(libdeflate_compressor* p) const { libdeflate_free_compressor(p); }
    };
    const int level = c.Level >= 0 && c.Level <= 9 ? c.Level : 6;
    const std::unique_ptr<libdeflate_compressor, TFree> compressor(libdeflate_alloc_compressor(level));
    if (!compressor) return -1;
    std::vector<uint8_t> out(libdeflate_zlib_compress_bound(compressor.get(), c.Held.size()));
    const size_t size = libdeflate_zlib_compress(compressor.get(), c.Held.data(), c.Held.size(), out.data(), out.size());
    c.Held = {};
    if (size == 0) return -1;
    for (size_t at = 0; at < size;) {
        const size_t n = std::min(size - at, static_cast<size_t>(c.OutSize));
        std::memcpy(c.OutBuffer.get(), out.data() + at, n);
        c.Stream.avail_out = static_cast<uInt>(static_cast<size_t>(c.OutSize) - n);
        if (c.Flush && c.Flush(c) != 0) return -1;
        at += n;
    }
    ResetOutput(c);
    return 0;
}

} // namespace

int DeflateFinish(TDeflateContext& c)
{
    if (c.WholeImage) return c.HeldPending && c.OutBuffer ? FinishWholeImage(c) : -1;
    if (!c.StreamReady || !c.OutBuffer) return -1;
    c.Stream.next_in = nullptr;
    c.Stream.avail_in = 0;
    for (;;) {
        const int r = deflate(&c.Stream, Z_FINISH);
        if (r < 0 && r != Z_BUF_ERROR) return -1;
        if (r == Z_STREAM_END) break;
        if (c.Stream.avail_out == 0) {
            if (FlushFull(c) < 0) return -1;
            continue;
        }
        if (r == Z_BUF_ERROR) return -1;
    }
    if (c.Pending() > 0 && c.Flush && c.Flush(c) != 0) return -1;
    ResetOutput(c);
    deflateReset(&c.Stream);
    return 0;
}

void DeflateRelease(TDeflateContext& c)
{
    c.Held = {};
    c.HeldPending = false;
    c.OutBuffer.reset();
    c.OutSize = 0;
    if (c.StreamReady) {
        deflateEnd(&c.Stream);
        c.StreamReady = false;
    }
}

void FilterRow(const TDeflateContext& c, TPngFilter filter, uint8_t* out)
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
        FilterRow(c, static_cast<TPngFilter>(mode - 1), c.FilteredRow);
        return;
    }
    FilterRow(c, TPngFilter::None, c.FilteredRow);
    if (mode != 0) return;

    int64_t best = RowScore(c, c.FilteredRow);
    if (best == -1) return;
    if (c.OutputBits == 4) return; // 4-bit rows are never filtered
    if (c.OutputBits == 1 || c.OutputBits == 8) best *= 2;
    for (const TPngFilter filter : {TPngFilter::Sub, TPngFilter::Up, TPngFilter::Average, TPngFilter::Paeth}) {
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
