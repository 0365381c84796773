#include "png/PngOptimize.h"

#include "image/Graphics.h"
#include "image/PixelCodec.h"
#include "base/ScopeGuard.h"
#include "base/TaskPool.h"
#include "png/PngRows.h"
#include "png/VRQPNG.h"
#include "png/VRQPNGWriteStream.h"
#include "png/VRQZLIB.h"

#include <libdeflate.h>
#include <zlib.h>
#include <cstdio>
#include <cstdlib>

#include <algorithm>
#include <atomic>
#include <bitset>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace tintabrel {

// ---------------------------------------------------------------- filtering

namespace {

// Sum of the filtered bytes read as signed values, without sign: small for rows that predict well.
uint64_t AbsoluteSum(const uint8_t* bytes, size_t n)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += bytes[i] < 128 ? bytes[i] : 256u - bytes[i];
    return sum;
}

// Bits the bytes would take coded by their own frequencies (order-0 entropy).
double EntropyBits(const uint8_t* bytes, size_t n)
{
    uint32_t counts[256] = {};
    for (size_t i = 0; i < n; ++i) ++counts[bytes[i]];
    double bits = 0;
    for (const uint32_t k : counts)
        if (k != 0) bits -= k * std::log2(static_cast<double>(k) / static_cast<double>(n));
    return bits;
}

} // namespace

std::vector<uint8_t> FilterRaster(const TPngRaster& raster, TPngFilter rule)
{
    const size_t rowBytes = raster.RowBytes();
    const size_t rowLength = rowBytes + 1;
    std::vector<uint8_t> out(rowLength * static_cast<size_t>(raster.Height));
    if (raster.Height <= 0 || rowBytes == 0) return out;

    // The codec's own filters and adaptive rule work on a deflate context's row pointers.
    TDeflateContext c;
    std::vector<uint8_t> zeros(rowLength, 0), chosen(rowLength), trial(rowLength);
    std::vector<uint32_t> histogram(256);
    c.RowLength = static_cast<int32_t>(rowLength);
    c.PixelBits = raster.PixelBits();
    // The adaptive rule treats 1-, 4- and 8-bit samples of one channel (and grey with alpha, as
    // the writer gives it) specially.
    c.OutputBits = raster.Channels() == 1 || raster.ColourType == 4 ? raster.BitDepth : raster.PixelBits();
    c.Histogram = histogram.data();
    c.FilterMode = rule == TPngFilter::Adaptive ? 0 : 1;

    for (int32_t y = 0; y < raster.Height; ++y) {
        const uint8_t* row = raster.Rows.data() + static_cast<size_t>(y) * rowBytes;
        c.CurrentRow = const_cast<uint8_t*>(row); // only read
        c.PreviousRow = y == 0 ? zeros.data() : const_cast<uint8_t*>(row - rowBytes);
        c.FilteredRow = chosen.data();
        c.TrialRow = trial.data();
        uint8_t* dest = out.data() + static_cast<size_t>(y) * rowLength;
        switch (rule) {
        case TPngFilter::Adaptive:
            SelectFilter(c); // may swap the two buffers
            std::memcpy(dest, c.FilteredRow, rowLength);
            break;
        case TPngFilter::MinimumSum:
        case TPngFilter::Entropy: {
            // Each filter type in turn; the row keeps the one of the lowest cost.
            double best = std::numeric_limits<double>::infinity();
            for (int type = 0; type <= 4; ++type) {
                FilterRow(c, static_cast<TPngFilter>(type), trial.data());
                const double cost = rule == TPngFilter::Entropy
                                        ? EntropyBits(trial.data() + 1, rowBytes)
                                        : static_cast<double>(AbsoluteSum(trial.data() + 1, rowBytes));
                if (cost < best) {
                    best = cost;
                    std::memcpy(dest, trial.data(), rowLength);
                }
            }
            break;
        }
        default: FilterRow(c, static_cast<TPngFilter>(rule), dest); break;
        }
    }
    return out;
}

// ---------------------------------------------------------------- compression

namespace {

// A zlib compressor with the writer's window and memory level (so that the rows of a plain
// save give its very stream), kept by each thread and reset for each stream with the level and
// strategy it asks for: setting one up allocates and first touches some 256 KiB, which cost more
// than compressing a small sprite's rows, a dozen times per sprite. A reset stream given its
// parameters before any input compresses exactly as a new one.
z_stream& ZlibCompressor(int level, int strategy)
{
    struct TKept {
        z_stream* Stream = nullptr;
        ~TKept()
        {
            if (Stream != nullptr) deflateEnd(Stream);
            delete Stream;
        }
    };
    thread_local TKept kept;
    if (kept.Stream == nullptr) {
        auto stream = std::make_unique<z_stream>();
        if (deflateInit2(stream.get(), level, Z_DEFLATED, 15, 8, strategy) != Z_OK)
            throw EOutOfResources(msg::OutOfResources);
        kept.Stream = stream.release();
    } else if (deflateReset(kept.Stream) != Z_OK || deflateParams(kept.Stream, level, strategy) != Z_OK) {
        throw EOutOfResources(msg::OutOfResources);
    }
    return *kept.Stream;
}

// cap: the compressed size past which the stream would lose anyway; the compression stops there
// and the result is empty. 0: no cap.
std::vector<uint8_t> ZlibWithStrategy(const std::vector<uint8_t>& data, int level, int strategy, size_t cap)
{
    if (level < 0 || level > 9) level = Z_DEFAULT_COMPRESSION;
    z_stream& z = ZlibCompressor(level, strategy);
    std::vector<uint8_t> out(deflateBound(&z, static_cast<uLong>(data.size())));
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    // In pieces, so that a stream already past the cap stops early.
    constexpr size_t Piece = size_t{64} << 10;
    // The output has room for the whole stream, so every piece is taken in one call.
    for (size_t done = 0;;) {
        const size_t piece = std::min(Piece, data.size() - done);
        z.next_in = const_cast<Bytef*>(data.data() + done);
        z.avail_in = static_cast<uInt>(piece);
        done += piece;
        const bool last = done == data.size();
        const int result = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
        if (cap != 0 && z.total_out > cap) return {};
        if (result != (last ? Z_STREAM_END : Z_OK)) throw EOutOfResources(msg::OutOfResources);
        if (last) break;
    }
    out.resize(z.total_out);
    return out;
}

} // namespace

std::vector<uint8_t> ZlibCompress(const std::vector<uint8_t>& data, int level, bool filtered)
{
    return ZlibWithStrategy(data, level, filtered ? Z_FILTERED : Z_DEFAULT_STRATEGY, 0);
}

std::vector<uint8_t> LibdeflateCompress(const std::vector<uint8_t>& data, int level)
{
    // A compressor of the high levels is costly to set up: each thread keeps one per level.
    struct Free {
        void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
    };
    thread_local std::unique_ptr<libdeflate_compressor, Free> compressors[13];
    level = std::clamp(level, 1, 12);
    auto& compressor = compressors[level];
    if (!compressor) compressor.reset(libdeflate_alloc_compressor(level));
    if (!compressor) throw EOutOfResources(msg::OutOfResources);
    std::vector<uint8_t> out(libdeflate_zlib_compress_bound(compressor.get(), data.size()));
    const size_t size = libdeflate_zlib_compress(compressor.get(), data.data(), data.size(), out.data(), out.size());
    if (size == 0) throw EOutOfResources(msg::OutOfResources);
    out.resize(size);
    return out;
}

// ---------------------------------------------------------------- reuse of image data

namespace {

// The bytes of a zlib stream that is whole (its checksum right, nothing after its end) and holds
// at most limit bytes; none otherwise. Inflated in pieces that zlib's counters hold.
std::optional<std::vector<uint8_t>> InflateAtMost(const std::vector<uint8_t>& zlibData, size_t limit)
{
    z_stream z{};
    if (inflateInit(&z) != Z_OK) throw EOutOfResources(msg::OutOfResources);
    const TScopeGuard end([&] { inflateEnd(&z); });
    constexpr size_t Piece = size_t{1} << 30;
    std::vector<uint8_t> out;
    size_t taken = 0;
    for (;;) {
        if (z.avail_in == 0 && taken < zlibData.size()) {
            const size_t n = std::min(Piece, zlibData.size() - taken);
            z.next_in = const_cast<Bytef*>(zlibData.data() + taken);
            z.avail_in = static_cast<uInt>(n);
            taken += n;
        }
        // Room for one byte past the limit, which tells a stream that holds more.
        const size_t made = out.size() - z.avail_out;
        if (z.avail_out == 0) {
            if (made > limit) return std::nullopt;
            const size_t room = std::min(Piece, limit + 1 - made);
            out.resize(made + room);
            z.next_out = out.data() + made;
            z.avail_out = static_cast<uInt>(room);
        }
        const int result = inflate(&z, Z_NO_FLUSH);
        if (result == Z_STREAM_END) break;
        if (result != Z_OK) return std::nullopt; // damaged, or cut short
    }
    out.resize(out.size() - z.avail_out);
    if (out.size() > limit || z.avail_in != 0 || taken != zlibData.size()) return std::nullopt;
    return out;
}

// Unfilters the inflated rows in place and compares them with the raster's.
bool SameRows(std::vector<uint8_t> inflated, const TPngRaster& raster)
{
    const size_t rowBytes = raster.RowBytes();
    if (inflated.size() != (rowBytes + 1) * static_cast<size_t>(std::max(raster.Height, 0))) return false;
    const int32_t bpp = std::max(1, raster.PixelBits() / 8);
    for (int32_t y = 0; y < raster.Height; ++y) {
        uint8_t* row = inflated.data() + static_cast<size_t>(y) * (rowBytes + 1);
        const uint8_t* up = y == 0 ? nullptr : row - rowBytes;
        if (!UnfilterRow(row[0], row + 1, up, static_cast<int32_t>(rowBytes), bpp)) return false;
        if (std::memcmp(row + 1, raster.Rows.data() + static_cast<size_t>(y) * rowBytes, rowBytes) != 0) return false;
    }
    return true;
}

} // namespace

bool DecodesToRaster(const std::vector<uint8_t>& zlibData, const TPngRaster& raster)
{
    const size_t rows = (raster.RowBytes() + 1) * static_cast<size_t>(std::max(raster.Height, 0));
    std::optional<std::vector<uint8_t>> inflated = InflateAtMost(zlibData, rows);
    return inflated && SameRows(std::move(*inflated), raster);
}

// ---------------------------------------------------------------- the file

void WritePngRaster(TStream& stream, const TPngRaster& raster, const std::vector<uint8_t>& zlibData,
                    const TPngChunkSettings& chunks)
{
    TVRQPNGWriteStream writer;
    TakePictureInfo(writer.Info, chunks.Info);
    writer.TakeChunkSettings(chunks);
    writer.WriteRasterFile(stream, raster, zlibData);
}

// ---------------------------------------------------------------- palette pictures

namespace {

int32_t BitsOfPalettePicture(const TBitmap& image)
{
    switch (image.PixelFormat()) {
    case TPixelFormat::pf1bit: return 1;
    case TPixelFormat::pf4bit: return 4;
    case TPixelFormat::pf8bit: return 8;
    default: return 0;
    }
}

int32_t DepthForEntries(int32_t entries)
{
    return entries <= 2 ? 1 : entries <= 4 ? 2 : entries <= 16 ? 4 : 8;
}

void PutSample(uint8_t* row, int32_t depth, int32_t x, uint32_t value)
{
    switch (depth) {
    case 8: row[x] = static_cast<uint8_t>(value); break;
    case 4: row[x >> 1] = static_cast<uint8_t>(row[x >> 1] | value << ((x & 1) ? 0 : 4)); break;
    case 2: row[x >> 2] = static_cast<uint8_t>(row[x >> 2] | value << (6 - 2 * (x & 3))); break;
    default: row[x >> 3] = static_cast<uint8_t>(row[x >> 3] | value << (7 - (x & 7))); break;
    }
}

} // namespace

std::optional<std::vector<uint8_t>> IndexAlphaOf(const TBitmap& image, const TBitmap& alpha,
                                                 const std::vector<uint8_t>& known, int32_t count)
{
    const int32_t bits = BitsOfPalettePicture(image);
    count = std::clamp(count, 0, 256);
    std::vector<uint8_t> table(static_cast<size_t>(count), 255);
    std::copy_n(known.begin(), std::min(known.size(), table.size()), table.begin());
    if (bits == 0 || !AlphaPlaneFits(image, alpha)) {
        // Every pixel is opaque: so is every index a pixel uses.
        if (bits == 0) return table;
        for (int32_t y = 0; y < image.Height(); ++y) {
            const uint8_t* row = image.ConstScanLine(y);
            for (int32_t x = 0; x < image.Width(); ++x) {
                const uint8_t index = GetPackedIndex(row, bits, x);
                if (index < count) table[index] = 255;
            }
        }
        return table;
    }
    std::bitset<256> seen;
    for (int32_t y = 0; y < image.Height(); ++y) {
        const uint8_t* row = image.ConstScanLine(y);
        const uint8_t* transparency = alpha.ConstScanLine(y);
        for (int32_t x = 0; x < image.Width(); ++x) {
            const uint8_t index = GetPackedIndex(row, bits, x);
            if (index >= count) continue;
            const uint8_t a = static_cast<uint8_t>(255 - transparency[x]);
            if (!seen[index]) {
                seen[index] = true;
                table[index] = a;
            } else if (table[index] != a) {
                return std::nullopt;
            }
        }
    }
    return table;
}

bool KeptPaletteRaster(const TBitmap& image, const TBitmap& alpha, const std::vector<uint8_t>& indexAlpha,
                       int32_t bitDepth, TPngRaster& raster, bool trimUnused)
{
    const int32_t bits = BitsOfPalettePicture(image);
    if (bits == 0) return false;
    const int32_t w = image.Width(), h = image.Height();

    // The palette the writer writes: the logical palette, no more entries than the depth reaches.
    const std::optional<TPalette> palette = image.Palette();
    int32_t entries = palette ? std::min(palette->Count(), int32_t{1} << bits) : 0;
    int32_t highest = -1;
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* row = image.ConstScanLine(y);
        for (int32_t x = 0; x < w; ++x) highest = std::max<int32_t>(highest, GetPackedIndex(row, bits, x));
    }
    // An index beyond the palette shows black, as in the picture; the entry makes it valid.
    entries = trimUnused ? std::max(highest + 1, 1) : std::max({entries, highest + 1, 1});

    const std::optional<std::vector<uint8_t>> table =
        IndexAlphaOf(image, alpha, trimUnused ? std::vector<uint8_t>{} : indexAlpha, entries);
    if (!table) return false;

    raster = TPngRaster{};
    raster.Width = w;
    raster.Height = h;
    raster.ColourType = 3;
    const int32_t smallest = DepthForEntries(entries);
    raster.BitDepth = static_cast<uint8_t>(bitDepth >= smallest && (bitDepth == 1 || bitDepth == 2 || bitDepth == 4 || bitDepth == 8)
                                               ? bitDepth : smallest);
    for (int32_t i = 0; i < entries; ++i) {
        const TColor c = palette && i < palette->Count() ? palette->ColorOf(i) : clBlack;
        raster.Palette.insert(raster.Palette.end(), {RedOf(c), GreenOf(c), BlueOf(c)});
    }
    const size_t used = TransparencyLength(table->data(), table->size());
    raster.Transparency.assign(table->begin(), table->begin() + static_cast<long>(used));

    const size_t rowBytes = raster.RowBytes();
    raster.Rows.assign(rowBytes * static_cast<size_t>(h), 0);
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* row = image.ConstScanLine(y);
        uint8_t* out = raster.Rows.data() + static_cast<size_t>(y) * rowBytes;
        if (raster.BitDepth == bits) {
            std::memcpy(out, row, rowBytes);
            // Decoders ignore the bits past the last pixel; zeros compress best.
            const int32_t tailBits = static_cast<int32_t>(rowBytes * 8) - w * bits;
            if (tailBits > 0) out[rowBytes - 1] = static_cast<uint8_t>(out[rowBytes - 1] & (0xFF << tailBits));
        } else {
            for (int32_t x = 0; x < w; ++x) PutSample(out, raster.BitDepth, x, GetPackedIndex(row, bits, x));
        }
    }
    return true;
}

// ---------------------------------------------------------------- optimizing

namespace {


// What the layouts depend on, from one pass over the pixels.
struct TPixelFacts {
    bool Grey = true;    // red = green = blue everywhere
    bool Opaque = true;
    bool Binary = true;  // every alpha 0 or 255
    bool OneClearColour = true; // every fully transparent pixel has the same RGB (ClearColour)
    uint32_t ClearColour = 0;   // red << 16 | green << 8 | blue
    bool ClearColourOpaqueToo = false;
    std::bitset<256> GreyLevels;
    // The colours with alpha (alpha << 24 | RGB) while at most 256: count and first position.
    bool ManyColours = false;
    struct TUse {
        uint64_t Count = 0;
        uint64_t First = 0;
    };
    std::unordered_map<uint32_t, TUse> Colours;

    // A single transparent colour that no opaque pixel has: tRNS can carry the alpha.
    bool KeyAlpha() const { return !Opaque && Binary && OneClearColour && !ClearColourOpaqueToo; }
};

// The picture as the candidates read it: RGB rows (blue, green, red as bitmaps hold them)
// and the alpha rows (byte = 255 - alpha) or none.
struct TSource {
    TBitmap Rgb;
    const TBitmap* Alpha = nullptr;
    int32_t Width = 0, Height = 0;
    const uint8_t* Row(int32_t y) const { return Rgb.ConstScanLine(y); }
    const uint8_t* AlphaRow(int32_t y) const { return Alpha ? Alpha->ConstScanLine(y) : nullptr; }
};

uint32_t RgbAt(const uint8_t* row, int32_t x)
{
    return uint32_t{row[3 * x + 2]} << 16 | uint32_t{row[3 * x + 1]} << 8 | row[3 * x];
}

TPixelFacts Examine(const TSource& s)
{
    TPixelFacts f;
    f.Colours.reserve(512);
    bool clearSeen = false;
    uint64_t position = 0;
    uint32_t lastKey = 0;
    TPixelFacts::TUse* last = nullptr; // runs of one colour are common: no lookup for them
    for (int32_t y = 0; y < s.Height; ++y) {
        const uint8_t* row = s.Row(y);
        const uint8_t* alpha = s.AlphaRow(y);
        for (int32_t x = 0; x < s.Width; ++x, ++position) {
            const uint32_t rgb = RgbAt(row, x);
            const uint32_t a = alpha ? 255u - alpha[x] : 255u;
            if (f.Grey) {
                if (row[3 * x] == row[3 * x + 1] && row[3 * x] == row[3 * x + 2]) f.GreyLevels[row[3 * x]] = true;
                else f.Grey = false;
            }
            if (a != 255) {
                f.Opaque = false;
                if (a != 0) {
                    f.Binary = false;
                } else if (!clearSeen) {
                    clearSeen = true;
                    f.ClearColour = rgb;
                } else if (rgb != f.ClearColour) {
                    f.OneClearColour = false;
                }
            }
            if (f.ManyColours) continue;
            const uint32_t key = a << 24 | rgb;
            if (last == nullptr || key != lastKey) {
                lastKey = key;
                auto [it, added] = f.Colours.try_emplace(key, TPixelFacts::TUse{0, position});
                if (added && f.Colours.size() > 256) {
                    f.ManyColours = true;
                    f.Colours.clear();
                    last = nullptr;
                    continue;
                }
                last = &it->second; // stays valid: map nodes do not move
            }
            ++last->Count;
        }
    }
    if (!f.Opaque && f.Binary && f.OneClearColour) {
        for (int32_t y = 0; y < s.Height && !f.ClearColourOpaqueToo; ++y) {
            const uint8_t* row = s.Row(y);
            const uint8_t* alpha = s.AlphaRow(y);
            for (int32_t x = 0; x < s.Width; ++x)
                if (alpha[x] == 0 && RgbAt(row, x) == f.ClearColour) { // an opaque pixel
                    f.ClearColourOpaqueToo = true;
                    break;
                }
        }
    }
    return f;
}

// Smallest grey depth whose levels hit every level used exactly (1: 0 and 255; 2: steps of
// 85; 4: steps of 17).
int32_t GreyDepth(const std::bitset<256>& levels)
{
    for (const int32_t depth : {1, 2, 4}) {
        const int32_t step = 255 / ((1 << depth) - 1);
        bool fits = true;
        for (int v = 0; v < 256 && fits; ++v) fits = !levels[static_cast<size_t>(v)] || v % step == 0;
        if (fits) return depth;
    }
    return 8;
}

TPngRaster EmptyRaster(const TSource& s, uint8_t colourType, uint8_t depth)
{
    TPngRaster r;
    r.Width = s.Width;
    r.Height = s.Height;
    r.ColourType = colourType;
    r.BitDepth = depth;
    r.Rows.assign(r.RowBytes() * static_cast<size_t>(s.Height), 0);
    return r;
}

TPngRaster PaletteRaster(const TSource& s, const std::vector<uint32_t>& order)
{
    TPngRaster r = EmptyRaster(s, 3, static_cast<uint8_t>(DepthForEntries(static_cast<int32_t>(order.size()))));
    std::unordered_map<uint32_t, uint8_t> indexOf;
    for (size_t i = 0; i < order.size(); ++i) {
        const uint32_t key = order[i];
        indexOf[key] = static_cast<uint8_t>(i);
        r.Palette.insert(r.Palette.end(), {static_cast<uint8_t>(key >> 16), static_cast<uint8_t>(key >> 8), static_cast<uint8_t>(key)});
        if (key >> 24 != 255) r.Transparency.resize(i + 1, 255);
    }
    for (size_t i = 0; i < r.Transparency.size(); ++i) r.Transparency[i] = static_cast<uint8_t>(order[i] >> 24);
    const size_t rowBytes = r.RowBytes();
    uint32_t lastKey = 0xFFFFFFFFu;
    uint8_t lastIndex = 0;
    for (int32_t y = 0; y < s.Height; ++y) {
        const uint8_t* row = s.Row(y);
        const uint8_t* alpha = s.AlphaRow(y);
        uint8_t* out = r.Rows.data() + static_cast<size_t>(y) * rowBytes;
        for (int32_t x = 0; x < s.Width; ++x) {
            const uint32_t key = (alpha ? 255u - alpha[x] : 255u) << 24 | RgbAt(row, x);
            if (key != lastKey) {
                lastKey = key;
                lastIndex = indexOf.at(key);
            }
            PutSample(out, r.BitDepth, x, lastIndex);
        }
    }
    return r;
}

// depth: 8, or 0 for the smallest that holds the levels.
TPngRaster GreyRaster(const TSource& s, const TPixelFacts& f, int32_t depth = 0)
{
    const bool withAlpha = !f.Opaque && !f.KeyAlpha();
    if (withAlpha || depth != 8) depth = withAlpha ? 8 : GreyDepth(f.GreyLevels);
    const uint32_t divisor = 255u / ((1u << depth) - 1);
    TPngRaster r = EmptyRaster(s, withAlpha ? 4 : 0, static_cast<uint8_t>(depth));
    if (f.KeyAlpha()) r.Transparency = {0, static_cast<uint8_t>((f.ClearColour & 0xFF) / divisor)};
    const size_t rowBytes = r.RowBytes();
    for (int32_t y = 0; y < s.Height; ++y) {
        const uint8_t* row = s.Row(y);
        const uint8_t* alpha = s.AlphaRow(y);
        uint8_t* out = r.Rows.data() + static_cast<size_t>(y) * rowBytes;
        for (int32_t x = 0; x < s.Width; ++x) {
            if (withAlpha) {
                out[2 * x] = row[3 * x];
                out[2 * x + 1] = static_cast<uint8_t>(255 - alpha[x]);
            } else {
                PutSample(out, depth, x, row[3 * x] / divisor);
            }
        }
    }
    return r;
}

// RGB, with the transparent colour in tRNS where one colour is transparent (keyed) or else an
// alpha channel where any pixel is not opaque.
TPngRaster ColourRaster(const TSource& s, const TPixelFacts& f, bool keyed)
{
    const bool withAlpha = !f.Opaque && !keyed;
    TPngRaster r = EmptyRaster(s, withAlpha ? 6 : 2, 8);
    if (keyed) {
        const uint32_t c = f.ClearColour;
        r.Transparency = {0, static_cast<uint8_t>(c >> 16), 0, static_cast<uint8_t>(c >> 8), 0, static_cast<uint8_t>(c)};
    }
    const size_t rowBytes = r.RowBytes();
    for (int32_t y = 0; y < s.Height; ++y) {
        const uint8_t* p = s.Row(y);
        const uint8_t* alpha = s.AlphaRow(y);
        uint8_t* out = r.Rows.data() + static_cast<size_t>(y) * rowBytes;
        for (int32_t x = 0; x < s.Width; ++x, p += 3) {
            *out++ = p[2];
            *out++ = p[1];
            *out++ = p[0];
            if (withAlpha) *out++ = static_cast<uint8_t>(255 - alpha[x]);
        }
    }
    return r;
}

// Palette orders worth trying: colours with transparency first (so tRNS stays short), then by
// first appearance or by how often they are used.
std::vector<std::vector<uint32_t>> PaletteOrders(const TPixelFacts& f)
{
    std::vector<std::pair<uint32_t, TPixelFacts::TUse>> colours(f.Colours.begin(), f.Colours.end());
    const auto clearFirst = [](uint32_t a, uint32_t b) { return (a >> 24 != 255) > (b >> 24 != 255); };
    std::vector<std::vector<uint32_t>> orders;
    std::sort(colours.begin(), colours.end(), [&](const auto& a, const auto& b) {
        if ((a.first >> 24 != 255) != (b.first >> 24 != 255)) return clearFirst(a.first, b.first);
        return a.second.First < b.second.First;
    });
    orders.emplace_back();
    for (const auto& c : colours) orders.back().push_back(c.first);
    std::stable_sort(colours.begin(), colours.end(), [&](const auto& a, const auto& b) {
        if ((a.first >> 24 != 255) != (b.first >> 24 != 255)) return clearFirst(a.first, b.first);
        return a.second.Count > b.second.Count;
    });
    std::vector<uint32_t> byCount;
    for (const auto& c : colours) byCount.push_back(c.first);
    if (byCount != orders.front()) orders.push_back(std::move(byCount));
    // By alpha, then colour: the levels of a soft shadow or glow of one colour become a ramp of
    // neighbouring indices, which the row filters predict.
    std::vector<uint32_t> byValue;
    for (const auto& c : colours) byValue.push_back(c.first);
    std::sort(byValue.begin(), byValue.end());
    if (std::find(orders.begin(), orders.end(), byValue) == orders.end()) orders.push_back(std::move(byValue));
    return orders;
}

// Bytes of the file that differ between encodings: image data, palette and transparency.
size_t EncodedBytes(const TPngRaster& r, size_t dataBytes)
{
    return dataBytes + (r.Palette.empty() ? 0 : 12 + r.Palette.size()) +
           (r.Transparency.empty() ? 0 : 12 + r.Transparency.size());
}

constexpr TPngFilter AllRules[] = {TPngFilter::None,    TPngFilter::Sub,      TPngFilter::Up,
                                       TPngFilter::Average, TPngFilter::Paeth,    TPngFilter::Adaptive,
                                       TPngFilter::MinimumSum, TPngFilter::Entropy};

// Trials only rank the candidates, at a level cheap enough for many of them: libdeflate's level 4
// ranks sprites as well as level 6 (over a folder of them 7 bytes in 92,400 apart) and sprite
// sheets of long repeats better than the levels below it. The best trial alone is then compressed
// at libdeflate's strongest level: a second finalist saved 14 bytes in 92,400 for a quarter more
// of the search's time.
constexpr int TrialLevel = 4;
constexpr int FinalLevel = 12;
// zlib's streams beat libdeflate's strongest only on small data (where libdeflate's block
// choices cost more than they save, or it stores the bytes as they are); on larger data they
// lose and take as long. Up to TinyRaster of filtered rows zlib's level 9 competes with its four
// strategies on the best trial's rows, and with its default on the CloseOnTiny best-ranked other
// fixed filters of any layout (over a folder of sprites those ranked lower won nowhere, for half
// of zlib's time there). Up to SmallRaster (a 128x128 RGBA sprite) its default competes on the
// best trial's rows and on the best-ranked other fixed filter whose trial came within
// 1/CloseTrial of the best one's size (bands of rows where zlib's lazy matches win; further
// close filters won nowhere, for a fifth of the folder's time). Up to SmallRaster the work runs
// on the calling thread, as a thread's start and its own compressors cost more than the trials
// it would share. Beyond, on sheets of flat sprites, zlib's level 9 is slow (long chains of
// repeats) and far behind: over a folder of sprites the streams left out won nowhere, for a
// seventh of the search's time.
constexpr size_t SmallRaster = size_t{64} << 10;
constexpr size_t TinyRaster = size_t{16} << 10;
constexpr size_t CloseTrial = 4;
constexpr size_t CloseOnTiny = 4;
constexpr size_t CloseOnSmall = 1;
// Filtered and compressed data of the trials running at once stay within this.
constexpr size_t TrialMemory = size_t{1} << 30;

// Filtered rows of the raster: what deflate takes.
size_t RowsSize(int32_t width, int32_t height, int32_t pixelBits)
{
    return ((static_cast<size_t>(width) * static_cast<size_t>(pixelBits) + 7) / 8 + 1) * static_cast<size_t>(height);
}

size_t RowsSize(const TPngRaster& r)
{
    return RowsSize(r.Width, r.Height, r.PixelBits());
}

// The filter type of every row: two trials that chose the same are the same encoding.
std::vector<uint8_t> RowTypes(const std::vector<uint8_t>& filtered, size_t rowLength)
{
    std::vector<uint8_t> types;
    types.reserve(filtered.size() / std::max<size_t>(rowLength, 1));
    for (size_t pos = 0; pos < filtered.size(); pos += rowLength) types.push_back(filtered[pos]);
    return types;
}

// The optimizer's progress through its rounds: each round a share of the whole, in which every
// task done counts alike.
class TProgress {
public:
    explicit TProgress(const std::function<void(double)>& report) : report_(report) {}
    void Round(double start, double end, size_t tasks)
    {
        std::lock_guard lock(mutex_);
        start_ = start, end_ = end, tasks_ = std::max<size_t>(tasks, 1), done_ = 0;
        TellLocked(start);
    }
    void TaskDone()
    {
        std::lock_guard lock(mutex_);
        ++done_;
        TellLocked(start_ + (end_ - start_) * static_cast<double>(done_) / static_cast<double>(tasks_));
    }

private:
    void TellLocked(double done)
    {
        if (!report_ || done <= told_) return;
        told_ = done;
        report_(done);
    }

    const std::function<void(double)>& report_;
    std::mutex mutex_;
    double start_ = 0, end_ = 0, told_ = -1;
    size_t tasks_ = 1, done_ = 0;
};

} // namespace

unsigned ThreadsPerFile(unsigned jobs, size_t files)
{
    jobs = std::max(1u, jobs);
    const size_t running = std::clamp<size_t>(files, 1, jobs);
    return static_cast<unsigned>(std::max<size_t>(1, jobs / running));
}

void WriteOptimizedPng(TStream& stream, const TBitmap& image, const TBitmap& alpha, const TPngOptimizeOptions& options)
{
    // On small data the layouts that cost more bytes per pixel may still compress smaller (whole
    // bytes per palette index; an alpha channel, whose clear pixels repeat as they are, in place
    // of a tRNS colour), and they are the layouts a plain save writes: they compete there too.
    std::vector<TPngRaster> rasters;
    TPngRaster kept;
    const int32_t paletteBits = BitsOfPalettePicture(image);
    const bool keptPalette = options.KeepPalette && !options.TrueColour && paletteBits != 0 &&
                             KeptPaletteRaster(image, alpha, options.IndexAlpha, 0, kept, true);
    TSource s;
    TPixelFacts facts;
    if (keptPalette) {
        const bool shrunk = kept.BitDepth < paletteBits;
        rasters.push_back(std::move(kept));
        if (shrunk && RowsSize(image.Width(), image.Height(), paletteBits) <= SmallRaster &&
            KeptPaletteRaster(image, alpha, options.IndexAlpha, paletteBits, kept, true))
            rasters.push_back(std::move(kept));
    } else {
        s.Rgb.Assign(image);
        s.Rgb.SetPixelFormat(TPixelFormat::pf24bit);
        s.Width = s.Rgb.Width();
        s.Height = s.Rgb.Height();
        if (AlphaPlaneFits(image, alpha)) s.Alpha = &alpha;
        facts = Examine(s);
        if (!options.TrueColour) {
            if (!facts.ManyColours)
                for (const std::vector<uint32_t>& order : PaletteOrders(facts)) rasters.push_back(PaletteRaster(s, order));
            if (facts.Grey) rasters.push_back(GreyRaster(s, facts));
        }
        // A palette of a few colours beats RGB but on small pictures, where the palette and
        // its transparency may cost more than they save.
        const bool smallPicture = static_cast<int64_t>(s.Width) * s.Height <= 64 * 64;
        if (options.TrueColour || facts.ManyColours || facts.Colours.size() > 16 || smallPicture)
            rasters.push_back(ColourRaster(s, facts, facts.KeyAlpha()));
        if (facts.KeyAlpha() && RowsSize(s.Width, s.Height, 32) <= SmallRaster)
            rasters.push_back(ColourRaster(s, facts, false));
    }
    // The layouts a file of the picture may have had that the search leaves out (a palette's
    // other depths, 8-bit grey, RGB and RGBA), built only when the file's own image data has
    // their size of rows: its data may then be kept.
    const auto sourceLayouts = [&](size_t rowsSize) {
        std::vector<TPngRaster> layouts;
        if (keptPalette) {
            for (const int32_t depth : {1, 2, 4, 8})
                if (RowsSize(image.Width(), image.Height(), depth) == rowsSize &&
                    KeptPaletteRaster(image, alpha, options.IndexAlpha, depth, kept, true) && kept.BitDepth == depth)
                    layouts.push_back(std::move(kept));
        } else {
            if (RowsSize(s.Width, s.Height, facts.Opaque || facts.KeyAlpha() ? 24 : 32) == rowsSize)
                layouts.push_back(ColourRaster(s, facts, facts.KeyAlpha()));
            if (facts.KeyAlpha() && RowsSize(s.Width, s.Height, 32) == rowsSize) layouts.push_back(ColourRaster(s, facts, false));
            if (!options.TrueColour && facts.Grey && RowsSize(s.Width, s.Height, !facts.Opaque && !facts.KeyAlpha() ? 16 : 8) == rowsSize)
                layouts.push_back(GreyRaster(s, facts, 8));
        }
        return layouts;
    };

    struct TTrial {
        size_t Raster;
        TPngFilter Rule;
        size_t Size = 0;
        bool Repeat = false; // the same rows as an earlier trial of the same raster
    };
    std::vector<TTrial> trials;
    for (size_t r = 0; r < rasters.size(); ++r)
        for (const TPngFilter rule : AllRules) trials.push_back({r, rule, 0, false});

    size_t largest = 0;
    for (const TPngRaster& r : rasters) largest = std::max(largest, RowsSize(r));
    const size_t fitting = TrialMemory / std::max<size_t>(1, 2 * largest);
    const unsigned threads =
        largest <= SmallRaster ? 1u : static_cast<unsigned>(std::clamp<size_t>(fitting, 1, std::max(1u, options.Threads)));

    // The row types of every trial, so that rules that chose the same rows are compressed once
    // (the earliest in the list is kept, whichever thread finished first).
    std::vector<std::vector<uint8_t>> rowTypes(trials.size());
    // The rounds' shares of the time, as measured on sprite sheets and photos.
    TProgress progress(options.Progress);
    progress.Round(0, 0.3, trials.size());
    RunTasks(trials.size(), threads, [&](size_t k) {
        const TScopeGuard counted([&] { progress.TaskDone(); });
        TTrial& t = trials[k];
        const TPngRaster& raster = rasters[t.Raster];
        const std::vector<uint8_t> filtered = FilterRaster(raster, t.Rule);
        rowTypes[k] = RowTypes(filtered, raster.RowBytes() + 1);
        t.Size = EncodedBytes(raster, LibdeflateCompress(filtered, TrialLevel).size());
    });
    for (size_t k = 0; k < trials.size(); ++k)
        for (size_t j = 0; j < k && !trials[k].Repeat; ++j)
            trials[k].Repeat = !trials[j].Repeat && trials[j].Raster == trials[k].Raster && rowTypes[j] == rowTypes[k];
    trials.erase(std::remove_if(trials.begin(), trials.end(), [](const TTrial& t) { return t.Repeat; }), trials.end());
    std::stable_sort(trials.begin(), trials.end(), [](const TTrial& a, const TTrial& b) { return a.Size < b.Size; });

    // The best trial at libdeflate's strongest level first: it sets the size to beat. Then, on
    // small data, the same rows at zlib's highest level with its strategies: the default, and on
    // tiny data the one for filtered data, run lengths and Huffman codes alone (where libdeflate
    // may store the bytes as they are); and other fixed filters at zlib's default (all of them on
    // tiny data, those close behind the best on small data), so that the file is not larger than a
    // plain save at level 9 with one of them (their filtered strategy won on no sprite of a
    // folder, for a quarter more time). At every size zlib's run lengths alone compete on the best
    // rows and on those of the minimum-sum and adaptive rules: on real sprites with soft shadows
    // and glows they beat libdeflate's strongest on one file in twenty (a 1031x1821 palette sheet
    // by 15 %), at little cost, as run lengths need no search. Each zlib stream stops as soon as it
    // is past the size to beat.
    struct TFinal {
        size_t Raster;
        TPngFilter Rule;
        int Strategy;    // zlib's; unused for libdeflate
        bool OnBestRows; // compresses the best trial's rows (filtered once), not its own
    };
    const auto small = [&](size_t raster) { return RowsSize(rasters[raster]) <= SmallRaster; };
    const TTrial& top = trials.front();
    std::vector<TFinal> finals{{top.Raster, top.Rule, 0, true}};
    if (RowsSize(rasters[top.Raster]) <= TinyRaster) {
        for (const int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_RLE, Z_HUFFMAN_ONLY})
            finals.push_back({top.Raster, top.Rule, strategy, true});
    } else {
        if (small(top.Raster)) finals.push_back({top.Raster, top.Rule, Z_DEFAULT_STRATEGY, true});
        finals.push_back({top.Raster, top.Rule, Z_RLE, true});
    }
    for (const TPngFilter rule : {TPngFilter::MinimumSum, TPngFilter::Adaptive})
        if (rule != top.Rule) finals.push_back({top.Raster, rule, Z_RLE, false});
    const size_t close = top.Size + top.Size / CloseTrial;
    size_t closeTaken = 0;
    for (size_t k = 1; k < trials.size(); ++k) {
        if (!small(trials[k].Raster) || trials[k].Rule > TPngFilter::Paeth) continue;
        const bool tiny = RowsSize(rasters[trials[k].Raster]) <= TinyRaster;
        if (closeTaken == (tiny ? CloseOnTiny : CloseOnSmall) || (!tiny && trials[k].Size > close)) continue;
        ++closeTaken;
        finals.push_back({trials[k].Raster, trials[k].Rule, Z_DEFAULT_STRATEGY, false});
    }

    // Each compression in its own slot, chosen in a fixed order afterwards, and the size to beat
    // taken from the first round alone: the file never depends on which thread finished first.
    std::vector<std::vector<uint8_t>> streams(finals.size());
    const auto encoded = [&](size_t k) { return EncodedBytes(rasters[finals[k].Raster], streams[k].size()); };
    progress.Round(0.3, 0.7, 1);
    const std::vector<uint8_t> bestRows = FilterRaster(rasters[finals[0].Raster], finals[0].Rule);
    streams[0] = LibdeflateCompress(bestRows, FinalLevel);
    progress.TaskDone();
    const size_t toBeat = encoded(0);
    progress.Round(0.7, 0.95, finals.size() - 1);
    RunTasks(finals.size() - 1, threads, [&](size_t j) {
        const TScopeGuard counted([&] { progress.TaskDone(); });
        const TFinal& f = finals[1 + j];
        const size_t overhead = EncodedBytes(rasters[f.Raster], 0);
        if (overhead >= toBeat) return;
        streams[1 + j] = f.OnBestRows ? ZlibWithStrategy(bestRows, 9, f.Strategy, toBeat - overhead)
                                     : ZlibWithStrategy(FilterRaster(rasters[f.Raster], f.Rule), 9, f.Strategy, toBeat - overhead);
    });
    size_t best = 0;
    for (size_t k = 1; k < streams.size(); ++k)
        if (!streams[k].empty() && encoded(k) < encoded(best)) best = k;
    const TPngRaster* chosen = &rasters[finals[best].Raster];
    const std::vector<uint8_t>* chosenData = &streams[best];

    // The file's own image data, for a layout whose rows it decodes to exactly: a file that kept
    // its layout and was compressed better than this search does keeps its data. Checked only
    // where it would be smaller; inflated once, no further than the largest layout's rows.
    std::vector<TPngRaster> extra;
    if (options.SourceImageData && !options.SourceImageData->empty() &&
        options.SourceImageData->size() < EncodedBytes(*chosen, chosenData->size())) {
        const std::vector<uint8_t>& source = *options.SourceImageData;
        const std::optional<std::vector<uint8_t>> inflated = InflateAtMost(source, RowsSize(image.Width(), image.Height(), 32));
        if (inflated) {
            extra = sourceLayouts(inflated->size());
            for (const std::vector<TPngRaster>* list : {&rasters, &extra})
                for (const TPngRaster& r : *list) {
                    if (RowsSize(r) != inflated->size() || EncodedBytes(r, source.size()) >= EncodedBytes(*chosen, chosenData->size()))
                        continue;
                    if (SameRows(*inflated, r)) {
                        chosen = &r;
                        chosenData = &source;
                    }
                }
        }
    }

    if (!options.PlainSave) {
        WritePngRaster(stream, *chosen, *chosenData, options.Chunks);
        return;
    }
    // The plain save is a candidate too: the smaller file is written (the optimized one on a tie).
    TMemoryStream optimized, plain;
    WritePngRaster(optimized, *chosen, *chosenData, options.Chunks);
    progress.Round(0.95, 1, 1);
    options.PlainSave(plain);
    progress.TaskDone();
    const TMemoryStream& smaller = plain.Bytes().size() < optimized.Bytes().size() ? plain : optimized;
    stream.WriteBuffer(smaller.Memory(), static_cast<int64_t>(smaller.Bytes().size()));
}

} // namespace tintabrel
