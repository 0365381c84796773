// The deflate side of the PNG codec: one compression context per encoder, row filtering with
// the fixed filters or the adaptive choice, and compressed output cut into IDAT-sized blocks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <zlib.h>

#include "png/PngRows.h"

namespace tintabrel {

struct TDeflateContext;

// Writes the filled part of the output buffer; returns 0 to continue.
using TDeflateFlush = std::function<int(TDeflateContext& context)>;

struct TDeflateContext {
    TDeflateContext();
    ~TDeflateContext();
    TDeflateContext(const TDeflateContext&) = delete;
    TDeflateContext& operator=(const TDeflateContext&) = delete;

    void* Owner = nullptr;
    z_stream Stream{};
    bool StreamReady = false;              // deflateInit succeeded and deflateEnd is still due
    std::unique_ptr<uint8_t[]> OutBuffer;  // compressed bytes waiting to be written
    int32_t OutSize = 0;                   // capacity of OutBuffer (the IDAT data size)
    TDeflateFlush Flush;
    int32_t RowLength = 0;                 // filtered row bytes including the filter-type byte
    uint8_t* CurrentRow = nullptr;         // raw row being written (no filter-type byte)
    uint8_t* PreviousRow = nullptr;        // raw row above in the same pass (zeros for the first)
    int32_t PixelBits = 0;
    int32_t FilterMode = 1;                // only the low byte counts
    int32_t OutputBits = 0;
    uint8_t* FilteredRow = nullptr;        // chosen candidate: type byte + RowLength - 1 bytes
    uint8_t* TrialRow = nullptr;           // candidate being scored
    uint32_t* Histogram = nullptr;         // 256 counters
    // Set before DeflateStart: the filtered rows are held and compressed at DeflateFinish in one
    // call of libdeflate (at the same level; zlib's default -1 taking its 6), which compresses a
    // sprite's rows about as small in a fraction of zlib's time. Off: zlib's stream, row by row.
    bool WholeImage = false;
    int32_t Level = -1;
    bool HeldPending = false;              // rows are held and not yet compressed
    std::vector<uint8_t> Held;             // the filtered rows so far (WholeImage)

    // Bytes of compressed data in the buffer that are not yet written.
    int32_t Pending() const { return OutSize - static_cast<int32_t>(Stream.avail_out); }
};

// Starts a deflate stream with level 0..9 (-1: zlib's default) and an output buffer of size
// bytes (out-of-range sizes become 32768). 0 on success, -1 on failure.
int DeflateStart(TDeflateContext& context, int32_t level, int32_t size);
// Filters the current row and feeds it to deflate without flushing. 0 or a negative zlib result.
int DeflateRow(TDeflateContext& context);
// Ends the stream, writes what remains and resets deflate for another image. 0 or -1.
int DeflateFinish(TDeflateContext& context);
// Frees the output buffer and ends the deflate stream; harmless when already done.
void DeflateRelease(TDeflateContext& context);

// Puts the filter chosen by context.FilterMode for the current row into context.FilteredRow.
void SelectFilter(TDeflateContext& context);
// Score of a candidate (RowLength bytes, type byte first): -1 when the row counts as flat,
// otherwise higher means fewer distinct byte values.
int32_t RowScore(TDeflateContext& context, const uint8_t* candidate);
// Writes the current row filtered with filter into out: type byte + RowLength - 1 bytes.
void FilterRow(const TDeflateContext& context, TPngFilter filter, uint8_t* out);

} // namespace tintabrel
