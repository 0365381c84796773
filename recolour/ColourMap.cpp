#include "recolour/ColourMap.h"

#include "base/OkLab.h"
#include "base/TaskPool.h"
#include "image/Animation.h"
#include "image/Graphics.h"
#include "image/PixelFormats.h"
#include "recolour/ColourSet.h"
#include "recolour/PaletteRecolour.h"

#include <algorithm>
#include <type_traits>
#include <unordered_map>
#include <array>
#include <cstdio>
#include <limits>

namespace tintabrel {

namespace {

using namespace colourset;

// "1st", "2nd", "3rd", "4th" ... "11th", "12th", "13th", "21st" ...
std::string Ordinal(size_t n)
{
    const size_t tens = n % 100, units = n % 10;
    const char* suffix = (tens >= 11 && tens <= 13) ? "th" : units == 1 ? "st" : units == 2 ? "nd" : units == 3 ? "rd" : "th";
    return std::to_string(n) + suffix;
}

// Rows of at least this many pixels in all are worth a second thread (as the hue window's).
constexpr int64_t BandMinimumPixels = int64_t{1} << 18;

size_t BandCount(int32_t width, int32_t height, unsigned threads)
{
    const int64_t pixels = static_cast<int64_t>(width) * height;
    return std::clamp<size_t>(static_cast<size_t>(std::min<int64_t>(threads, pixels / BandMinimumPixels)), 1,
                              static_cast<size_t>(height));
}

// Runs row(pixels, alpha row or none, band) over the picture's rows in bands on the threads given,
// band k's rows with state[k]; the state has one entry per band (made here, each from fresh).
template <class TBand, class TRowFn>
std::vector<TBand> InBands(TBitmap& image, const TBitmap* alpha, unsigned threads, const TBand& fresh, TRowFn&& row)
{
    const int32_t width = image.Width(), height = image.Height();
    // Rows are taken here, on this thread: the first gives the picture its own pixels.
    const TBitmap::TRows rows = image.Rows();
    std::vector<TBand> state(BandCount(width, height, threads), fresh);
    RunTasks(state.size(), threads, [&](size_t k) {
        const int32_t from = static_cast<int32_t>(static_cast<size_t>(height) * k / state.size());
        const int32_t to = static_cast<int32_t>(static_cast<size_t>(height) * (k + 1) / state.size());
        for (int32_t y = from; y < to; ++y) row(rows.At(y), alpha ? alpha->ConstScanLine(y) : nullptr, state[k]);
    });
    return state;
}

// What the bands saw, summed: altered and kept pixels, and the entries no pixel met.
// Calls row(counting, visible) with both as compile-time constants, so that a row function is
// instantiated for each case and tests neither per pixel.
template <class TRowFn>
void WithRowFlags(bool counting, bool visible, TRowFn&& row)
{
    if (counting) {
        if (visible) row(std::true_type{}, std::true_type{});
        else row(std::true_type{}, std::false_type{});
    } else {
        if (visible) row(std::false_type{}, std::true_type{});
        else row(std::false_type{}, std::false_type{});
    }
}

template <class TBand>
void SumBands(const std::vector<TBand>& bands, std::vector<uint8_t> TBand::*met, size_t entries, TColourMapCounts& counts)
{
    std::vector<uint8_t> any(entries, 0);
    for (const TBand& b : bands) {
        counts.Altered += b.Altered;
        counts.Kept += b.Kept;
        for (size_t i = 0; i < entries; ++i) any[i] |= (b.*met)[i];
    }
    for (size_t i = 0; i < entries; ++i)
        if (!any[i]) counts.Unmatched.push_back(static_cast<int32_t>(i));
}

// The transparency the change reads: the picture's alpha when saving would write it (8 bits, the
// picture's size); otherwise the picture counts as opaque, as saved.
const TBitmap* AlphaOf(const TPictureData& picture)
{
    return AlphaPlaneFits(picture.Image, picture.Alpha) ? &picture.Alpha : nullptr;
}

// How many pixels of each palette index there are, all and those of alpha above 0.
void CountIndices(const TPictureData& picture, std::vector<int64_t>& all, std::vector<int64_t>& visible)
{
    const TBitmap& image = picture.Image;
    const int bits = FactsOf(image.PixelFormat()).Bits;
    const TBitmap* alpha = AlphaOf(picture);
    all.assign(256, 0);
    visible.assign(256, 0);
    const int32_t width = image.Width(), height = image.Height();
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* row = image.ConstScanLine(y);
        const uint8_t* transparency = alpha ? alpha->ConstScanLine(y) : nullptr;
        for (int32_t x = 0; x < width; ++x) {
            const uint8_t index = GetPackedIndex(row, bits, x);
            ++all[index];
            if (!transparency || transparency[x] != 255) ++visible[index];
        }
    }
}

// Whether every pixel of a palette picture shows a colour-table entry: one beyond the table shows
// black, which no entry can be changed to.
bool IndicesInTable(const TBitmap& image)
{
    const int bits = FactsOf(image.PixelFormat()).Bits;
    const size_t tableCount = image.Image()->ColorTable.size();
    if (tableCount >= (size_t{1} << bits)) return true;
    const int32_t width = image.Width(), height = image.Height();
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* row = image.ConstScanLine(y);
        uint8_t largest = 0;
        if (bits == 8)
            for (int32_t x = 0; x < width; ++x) largest = std::max(largest, row[x]);
        else
            for (int32_t x = 0; x < width; ++x) largest = std::max(largest, GetPackedIndex(row, bits, x));
        if (largest >= tableCount) return false;
    }
    return true;
}

// Whether a picture keeps its palette through a change: one from a palette file whose every
// pixel shows a colour-table entry.
bool KeepsPalette(const TPictureData& picture, const TColourChangeOptions& options)
{
    return !options.TrueColour && picture.PaletteBits != 0 && IsPalettePicture(picture.Image) &&
           IndicesInTable(picture.Image);
}

// Each frame of an animation (and its hidden default picture) changed as the still picture is.
template <class Change>
void ForEachFrame(TPictureData& picture, Change change)
{
    if (!picture.Animation) return;
    for (TFrame& frame : picture.Animation->Frames) change(frame.Picture);
    if (picture.Animation->HiddenDefault) change(*picture.Animation->HiddenDefault);
}

// ---------------------------------------------------------------- the exact map

// What a From entry does to the pixels of its colour.
enum class TMapKind : uint8_t { Same, Change, Kept };
struct TMapTarget {
    uint8_t Blue, Green, Red;
    TMapKind Kind;
};

std::vector<TMapTarget> TargetsOf(const TColourMap& map, const TProtectedColors& protectedColors)
{
    std::vector<TMapTarget> targets(map.From().size());
    for (size_t i = 0; i < targets.size(); ++i) {
        const TColor from = map.From()[i], to = map.To()[i];
        // A protected pixel keeps its before colour; only a colour that would change counts as kept.
        const TMapKind kind = from == to ? TMapKind::Same
                              : protectedColors.Contains(from) ? TMapKind::Kept
                                                               : TMapKind::Change;
        targets[i] = {BlueOf(to), GreenOf(to), RedOf(to), kind};
    }
    return targets;
}

struct TBandCounts {
    int64_t Altered = 0;
    int64_t Kept = 0;
    std::vector<uint8_t> Seen; // by entry: a pixel was found with it
};

// What a From entry does to a pixel, as one word: the new colour's bytes (blue, green, red from
// the low byte up) and flags above them.
constexpr uint32_t kWrite = 1u << 24;   // the pixel takes the new colour
constexpr uint32_t kAltered = 1u << 25; // counted as altered
constexpr uint32_t kKept = 1u << 26;    // counted as kept by the list

std::vector<uint32_t> DecisionsOf(const std::vector<TMapTarget>& targets)
{
    std::vector<uint32_t> decisions(targets.size(), 0);
    for (size_t i = 0; i < targets.size(); ++i) {
        const TMapTarget& t = targets[i];
        if (t.Kind == TMapKind::Change)
            decisions[i] = kWrite | kAltered | t.Blue | static_cast<uint32_t>(t.Green) << 8 | static_cast<uint32_t>(t.Red) << 16;
        else if (t.Kind == TMapKind::Kept)
            decisions[i] = kKept;
    }
    return decisions;
}

template <bool Counting, bool Visible>
void MapRow(uint8_t* row, const uint8_t* alpha, int32_t width, const TColourMap& map,
            const std::vector<uint32_t>& decisions, TBandCounts& counts)
{
    // Sprites run in flat spans: a pixel of the colour before it takes the same decision. Most
    // colours are not in the map, and the map's filter tells so without a look-up.
    uint32_t lastKey = kEmpty, result = 0;
    int32_t entry = -1;
    const size_t end = static_cast<size_t>(width) * 3;
    for (size_t i = 0, x = 0; i < end; i += 3, ++x) {
        if constexpr (Visible)
            if (alpha[x] == 255) continue;
        const uint32_t key = uint32_t{row[i + 2]} | uint32_t{row[i + 1]} << 8 | uint32_t{row[i]} << 16;
        if (key != lastKey) {
            lastKey = key;
            entry = map.MayContain(static_cast<TColor>(key)) ? map.IndexOf(static_cast<TColor>(key)) : -1;
            result = entry >= 0 ? decisions[static_cast<size_t>(entry)] : 0;
        }
        if constexpr (Counting) {
            counts.Altered += result >> 25 & 1;
            counts.Kept += result >> 26 & 1;
            if (entry >= 0) counts.Seen[static_cast<size_t>(entry)] = 1;
        }
        if (!(result & kWrite)) continue;
        row[i] = static_cast<uint8_t>(result);
        row[i + 1] = static_cast<uint8_t>(result >> 8);
        row[i + 2] = static_cast<uint8_t>(result >> 16);
    }
}

void MapTrueColour(TPictureData& picture, const TColourMap& map, const std::vector<TMapTarget>& targets,
                   const TColourChangeOptions& options, TColourMapCounts* counts)
{
    const std::vector<uint32_t> decisions = DecisionsOf(targets);
    TBitmap& image = picture.Image;
    image.SetPixelFormat(TPixelFormat::pf24bit);
    picture.PaletteBits = 0;
    picture.IndexAlpha.clear();
    const int32_t width = image.Width(), height = image.Height();
    if (width <= 0 || height <= 0) return;
    const TBitmap* alpha = options.VisibleOnly ? AlphaOf(picture) : nullptr;
    TBandCounts fresh;
    if (counts) fresh.Seen.assign(map.From().size(), 0);
    const std::vector<TBandCounts> bands =
        InBands(image, alpha, options.Threads, fresh, [&](uint8_t* row, const uint8_t* alphaRow, TBandCounts& c) {
            WithRowFlags(counts != nullptr, alphaRow != nullptr, [&](auto counting, auto visible) {
                MapRow<counting, visible>(row, alphaRow, width, map, decisions, c);
            });
        });
    if (counts) SumBands(bands, &TBandCounts::Seen, map.From().size(), *counts);
}

void MapPaletteEntries(TPictureData& picture, const TColourMap& map, const std::vector<TMapTarget>& targets,
                       const TColourChangeOptions& options, const std::vector<int64_t>& all,
                       const std::vector<int64_t>& visible, TColourMapCounts* counts)
{
    TBitmap& image = picture.Image;
    image.Changing(); // own store; saved file bytes and colour counts go
    TBitmapImage& store = image.MutableImage();
    std::vector<uint8_t> seen(map.From().size(), 0);
    // What entry i becomes; the logical palette, when the reader kept one, goes by the same index.
    const auto changeOf = [&](size_t index, TColor colour, bool count) -> const TMapTarget* {
        const int32_t entry = map.IndexOf(colour);
        if (entry < 0) return nullptr;
        const TMapTarget& t = targets[static_cast<size_t>(entry)];
        const int64_t pixels = !count || index >= all.size() ? 0 : options.VisibleOnly ? visible[index] : all[index];
        if (pixels > 0) {
            seen[static_cast<size_t>(entry)] = 1;
            if (t.Kind == TMapKind::Change) counts->Altered += pixels;
            else if (t.Kind == TMapKind::Kept) counts->Kept += pixels;
        }
        // An entry only transparent pixels use (or none) stays, as those pixels do in the 24-bit result.
        if (t.Kind != TMapKind::Change || (options.VisibleOnly && (index >= visible.size() || visible[index] == 0)))
            return nullptr;
        return &t;
    };
    for (size_t i = 0; i < store.ColorTable.size(); ++i) {
        TRGBQuad& q = store.ColorTable[i];
        if (const TMapTarget* t = changeOf(i, MakeColor(q.rgbRed, q.rgbGreen, q.rgbBlue), counts != nullptr)) {
            q.rgbRed = t->Red;
            q.rgbGreen = t->Green;
            q.rgbBlue = t->Blue;
        }
    }
    if (store.Palette)
        for (int i = 0; i < store.Palette->Count(); ++i) {
            TPaletteEntry& e = (*store.Palette)[i];
            if (const TMapTarget* t = changeOf(static_cast<size_t>(i), MakeColor(e.peRed, e.peGreen, e.peBlue), false)) {
                e.peRed = t->Red;
                e.peGreen = t->Green;
                e.peBlue = t->Blue;
            }
        }
    image.PaletteModified = true;
    image.Changed();
    if (counts)
        for (size_t i = 0; i < seen.size(); ++i)
            if (!seen[i]) counts->Unmatched.push_back(static_cast<int32_t>(i));
}

void MapStill(TPictureData& picture, const TColourMap& map, const std::vector<TMapTarget>& targets,
              const TColourChangeOptions& options, TColourMapCounts* counts)
{
    if (counts) *counts = {};
    if (KeepsPalette(picture, options)) {
        // Pixels per index only where they matter: for the counts, and for which entries only
        // transparent pixels use.
        std::vector<int64_t> all, visible;
        if (counts || options.VisibleOnly) CountIndices(picture, all, visible);
        MapPaletteEntries(picture, map, targets, options, all, visible, counts);
    } else
        MapTrueColour(picture, map, targets, options, counts);
}

// ---------------------------------------------------------------- the remap

// What the remap gives a colour: the entry, and what becomes of the pixel.
enum class TRemapKind : uint8_t { Same, Change, Kept };

// Colour -> nearest entry and kind, filled as colours turn up; grows to stay at most half full.
class TNearestCache {
public:
    TNearestCache() { Resize(10); }

    // The entry in the low 24 bits, the kind above.
    uint32_t Find(uint32_t key, const TRemapPalette& palette, const TProtectedColors& protectedColors)
    {
        uint32_t slot = Slot(key, shift_);
        const uint32_t mask = static_cast<uint32_t>(keys_.size() - 1);
        while (keys_[slot] != kEmpty) {
            if (keys_[slot] == key) return values_[slot];
            slot = (slot + 1) & mask;
        }
        const int32_t entry = palette.NearestIndex(static_cast<TColor>(key));
        const TColor given = palette.Entries()[static_cast<size_t>(entry)];
        const TRemapKind kind = static_cast<TColor>(key) == given ? TRemapKind::Same
                                : protectedColors.Contains(static_cast<TColor>(key)) ? TRemapKind::Kept
                                                                                     : TRemapKind::Change;
        const uint32_t value = static_cast<uint32_t>(entry) | static_cast<uint32_t>(kind) << 24;
        keys_[slot] = key;
        values_[slot] = value;
        if (++count_ * 2 > keys_.size()) Resize(TableBits(count_ * 2));
        return value;
    }

private:
    void Resize(int bits)
    {
        std::vector<uint32_t> oldKeys = std::move(keys_), oldValues = std::move(values_);
        keys_.assign(size_t{1} << bits, kEmpty);
        values_.assign(size_t{1} << bits, 0);
        shift_ = 32 - bits;
        const uint32_t mask = static_cast<uint32_t>(keys_.size() - 1);
        for (size_t i = 0; i < oldKeys.size(); ++i) {
            if (oldKeys[i] == kEmpty) continue;
            uint32_t slot = Slot(oldKeys[i], shift_);
            while (keys_[slot] != kEmpty) slot = (slot + 1) & mask;
            keys_[slot] = oldKeys[i];
            values_[slot] = oldValues[i];
        }
    }

    std::vector<uint32_t> keys_, values_;
    size_t count_ = 0;
    int shift_ = 32;
};

struct TRemapBand {
    TNearestCache Cache;
    int64_t Altered = 0;
    int64_t Kept = 0;
    std::vector<uint8_t> Given; // by entry: a pixel has its colour after the remap
};

template <bool Counting, bool Visible>
void RemapRow(uint8_t* row, const uint8_t* alpha, int32_t width, const TRemapPalette& palette,
              const TProtectedColors& protectedColors, TRemapBand& band)
{
    uint32_t lastKey = kEmpty, value = 0;
    for (int32_t x = 0; x < width; ++x) {
        if constexpr (Visible)
            if (alpha[x] == 255) continue;
        uint8_t* p = row + 3 * static_cast<size_t>(x);
        const uint32_t key = KeyOfBytes(p);
        if (key != lastKey) {
            lastKey = key;
            value = band.Cache.Find(key, palette, protectedColors);
        }
        const uint32_t entry = value & 0xFFFFFFu;
        const auto kind = static_cast<TRemapKind>(value >> 24);
        if (kind == TRemapKind::Change) {
            const TColor c = palette.Entries()[entry];
            p[0] = BlueOf(c);
            p[1] = GreenOf(c);
            p[2] = RedOf(c);
            if constexpr (Counting) {
                ++band.Altered;
                band.Given[entry] = 1;
            }
        } else if constexpr (Counting) {
            if (kind == TRemapKind::Kept) ++band.Kept;
            else band.Given[entry] = 1;
        }
    }
}

TPixelFormat FormatOfPaletteBits(int32_t bits)
{
    return bits == 1 ? TPixelFormat::pf1bit : bits == 8 ? TPixelFormat::pf8bit : TPixelFormat::pf4bit;
}

int32_t PaletteBitsFor(size_t entries) { return entries <= 2 ? 1 : entries <= 4 ? 2 : entries <= 16 ? 4 : 8; }

// The remapped 24-bit picture as a palette picture, when one holds it: see RemapColoursInPlace.
void MakeRemapPalettePicture(TPictureData& picture, const TRemapPalette& palette)
{
    const std::vector<TColor>& entries = palette.Entries();
    const size_t n = entries.size();
    if (n > 256) return;
    const TBitmap& image = picture.Image;
    const int32_t width = image.Width(), height = image.Height();
    const TBitmap* alpha = AlphaOf(picture);
    const auto forEachPixel = [&](auto&& take) {
        for (int32_t y = 0; y < height; ++y) {
            const uint8_t* row = image.ConstScanLine(y);
            const uint8_t* transparency = alpha ? alpha->ConstScanLine(y) : nullptr;
            for (int32_t x = 0; x < width; ++x)
                if (!take(x, y, PairKey(KeyOfBytes(row + 3 * static_cast<size_t>(x)), transparency ? transparency[x] : 0u)))
                    return false;
        }
        return true;
    };

    // Every colour with alpha of the result, first met first. More than 512 cannot fit: at most
    // 256 of them go into entries of the palette itself.
    TOrderedSet pairs(512);
    if (!forEachPixel([&](int32_t, int32_t, uint32_t key) { return pairs.Add(key) >= 0; })) return;
    const std::vector<uint32_t>& order = pairs.Order();

    // The entry of each pair's colour: the first of that colour (a later copy is never nearest),
    // -1 for a kept colour no entry has.
    std::vector<int32_t> entryOf(order.size(), -1);
    for (size_t k = 0; k < order.size(); ++k)
        for (size_t i = 0; i < n && entryOf[k] < 0; ++i)
            if (static_cast<uint32_t>(entries[i]) == (order[k] & 0xFFFFFFu)) entryOf[k] = static_cast<int32_t>(i);
    // Each entry's own alpha (as 255 - alpha): opaque when its colour is anywhere opaque, else the
    // first met.
    std::vector<int32_t> own(n, -1);
    for (size_t k = 0; k < order.size(); ++k) {
        if (entryOf[k] < 0) continue;
        const int32_t transparency = static_cast<int32_t>(order[k] >> 24);
        int32_t& o = own[static_cast<size_t>(entryOf[k])];
        if (transparency == 0 || o < 0) o = transparency;
    }
    std::vector<TColor> colours(entries);
    std::vector<uint8_t> alphas(n, 255);
    for (size_t i = 0; i < n; ++i)
        if (own[i] >= 0) alphas[i] = static_cast<uint8_t>(255 - own[i]);
    std::vector<uint8_t> indexOf(order.size());
    for (size_t k = 0; k < order.size(); ++k) {
        const int32_t transparency = static_cast<int32_t>(order[k] >> 24);
        if (entryOf[k] >= 0 && own[static_cast<size_t>(entryOf[k])] == transparency) {
            indexOf[k] = static_cast<uint8_t>(entryOf[k]);
            continue;
        }
        if (colours.size() == 256) return; // a further entry would not fit
        indexOf[k] = static_cast<uint8_t>(colours.size());
        colours.push_back(static_cast<TColor>(order[k] & 0xFFFFFFu));
        alphas.push_back(static_cast<uint8_t>(255 - transparency));
    }

    const int32_t bits = PaletteBitsFor(colours.size());
    TBitmap result;
    result.SetPixelFormat(FormatOfPaletteBits(bits));
    result.SetSize(width, height);
    TBitmapImage& store = result.MutableImage();
    TPalette logical;
    store.ColorTable.assign(colours.size(), TRGBQuad{});
    for (size_t i = 0; i < colours.size(); ++i) {
        store.ColorTable[i] = {BlueOf(colours[i]), GreenOf(colours[i]), RedOf(colours[i]), 0};
        logical.Add(RedOf(colours[i]), GreenOf(colours[i]), BlueOf(colours[i]));
    }
    store.Palette = logical;
    const int rowBits = FactsOf(result.PixelFormat()).Bits;
    const TBitmap::TRows rows = result.Rows();
    forEachPixel([&](int32_t x, int32_t y, uint32_t key) {
        PutPackedIndex(rows.At(y), rowBits, x, indexOf[static_cast<size_t>(pairs.Add(key))]);
        return true;
    });
    result.PaletteModified = true;
    picture.Image.Assign(result);
    picture.PaletteBits = bits;
    // Trailing opaque entries are left out, as a palette file's reader gives them.
    while (!alphas.empty() && alphas.back() == 255) alphas.pop_back();
    picture.IndexAlpha = std::move(alphas);
}

void RemapStill(TPictureData& picture, const TRemapPalette& palette, const TProtectedColors& protectedColors,
                const TColourChangeOptions& options, TColourMapCounts* counts)
{
    if (counts) *counts = {};
    TBitmap& image = picture.Image;
    image.SetPixelFormat(TPixelFormat::pf24bit);
    picture.PaletteBits = 0;
    picture.IndexAlpha.clear();
    const int32_t width = image.Width(), height = image.Height();
    if (width <= 0 || height <= 0) return;
    const TBitmap* alpha = options.VisibleOnly ? AlphaOf(picture) : nullptr;
    TRemapBand fresh;
    if (counts) fresh.Given.assign(palette.Entries().size(), 0);
    const std::vector<TRemapBand> bands =
        InBands(image, alpha, options.Threads, fresh, [&](uint8_t* row, const uint8_t* alphaRow, TRemapBand& b) {
            WithRowFlags(counts != nullptr, alphaRow != nullptr, [&](auto counting, auto visible) {
                RemapRow<counting, visible>(row, alphaRow, width, palette, protectedColors, b);
            });
        });
    if (counts) SumBands(bands, &TRemapBand::Given, palette.Entries().size(), *counts);
    if (!options.TrueColour) MakeRemapPalettePicture(picture, palette);
}

} // namespace

std::string HexOfColour(TColor colour)
{
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", RedOf(colour), GreenOf(colour), BlueOf(colour));
    return text;
}

// ---------------------------------------------------------------- TColourMap

TColourMap::TColourMap(std::vector<TColor> from, std::vector<TColor> to) : from_(std::move(from)), to_(std::move(to))
{
    if (from_.size() != to_.size())
        throw EColourMap("FROM has " + std::to_string(from_.size()) + " colours and TO has " +
                         std::to_string(to_.size()) +
                         ": entry i of FROM becomes entry i of TO, so both need the same number");
    const int bits = TableBits(from_.size());
    shift_ = 32 - bits;
    keys_.assign(size_t{1} << bits, kEmpty);
    entries_.assign(keys_.size(), -1);
    const uint32_t mask = static_cast<uint32_t>(keys_.size() - 1);
    for (size_t i = 0; i < from_.size(); ++i) {
        const uint32_t key = static_cast<uint32_t>(from_[i]) & 0xFFFFFFu;
        from_[i] = static_cast<TColor>(key);
        to_[i] = static_cast<TColor>(static_cast<uint32_t>(to_[i]) & 0xFFFFFFu);
        uint32_t slot = Slot(key, shift_);
        while (keys_[slot] != kEmpty) {
            if (keys_[slot] == key)
                throw EColourMap(HexOfColour(from_[i]) + " is both the " +
                                 Ordinal(static_cast<size_t>(entries_[slot]) + 1) + " and the " + Ordinal(i + 1) +
                                 " colour of FROM: a colour can become only one colour");
            slot = (slot + 1) & mask;
        }
        keys_[slot] = key;
        entries_[slot] = static_cast<int32_t>(i);
        const uint32_t h = FilterBit(key);
        filter_[h >> 6] |= uint64_t{1} << (h & 63);
    }
}

int32_t TColourMap::IndexOf(TColor colour) const
{
    const uint32_t key = static_cast<uint32_t>(colour);
    const uint32_t mask = static_cast<uint32_t>(keys_.size() - 1);
    for (uint32_t slot = Slot(key, shift_);; slot = (slot + 1) & mask) {
        if (keys_[slot] == key) return entries_[slot];
        if (keys_[slot] == kEmpty) return -1;
    }
}

void MapColoursInPlace(TPictureData& picture, const TColourMap& map, const TProtectedColors& protectedColors,
                       const TColourChangeOptions& options, TColourMapCounts* counts)
{
    const std::vector<TMapTarget> targets = TargetsOf(map, protectedColors);
    MapStill(picture, map, targets, options, counts);
    ForEachFrame(picture, [&](TPictureData& frame) { MapStill(frame, map, targets, options, nullptr); });
}

void MapColours(const TPictureData& before, TPictureData& after, const TColourMap& map,
                const TProtectedColors& protectedColors, const TColourChangeOptions& options, TColourMapCounts* counts)
{
    if (&before != &after) after.Assign(before);
    MapColoursInPlace(after, map, protectedColors, options, counts);
}

// ---------------------------------------------------------------- TRemapPalette

TRemapPalette::TRemapPalette(std::vector<TColor> entries) : entries_(std::move(entries))
{
    if (entries_.empty()) throw EColourMap("the palette has no colours: there is no nearest entry to remap to");
    lab_.reserve(3 * entries_.size());
    for (TColor& c : entries_) {
        c = static_cast<TColor>(static_cast<uint32_t>(c) & 0xFFFFFFu);
        const TOkLab lab = OkLabOfBytes(RedOf(c), GreenOf(c), BlueOf(c));
        lab_.insert(lab_.end(), {lab.L, lab.A, lab.B});
    }
}

int32_t TRemapPalette::NearestIndex(TColor colour) const
{
    const TOkLab lab = OkLabOfBytes(RedOf(colour), GreenOf(colour), BlueOf(colour));
    int32_t best = 0;
    double bestDistance = std::numeric_limits<double>::infinity();
    for (size_t i = 0; i < entries_.size(); ++i) {
        const double dl = lab.L - lab_[3 * i], da = lab.A - lab_[3 * i + 1], db = lab.B - lab_[3 * i + 2];
        const double distance = dl * dl + da * da + db * db;
        if (distance < bestDistance) { // strictly: a tie keeps the lower index
            bestDistance = distance;
            best = static_cast<int32_t>(i);
        }
    }
    return best;
}

void RemapColoursInPlace(TPictureData& picture, const TRemapPalette& palette, const TProtectedColors& protectedColors,
                         const TColourChangeOptions& options, TColourMapCounts* counts)
{
    RemapStill(picture, palette, protectedColors, options, counts);
    ForEachFrame(picture, [&](TPictureData& frame) { RemapStill(frame, palette, protectedColors, options, nullptr); });
}

void RemapColours(const TPictureData& before, TPictureData& after, const TRemapPalette& palette,
                  const TProtectedColors& protectedColors, const TColourChangeOptions& options, TColourMapCounts* counts)
{
    if (&before != &after) after.Assign(before);
    RemapColoursInPlace(after, palette, protectedColors, options, counts);
}

// ---------------------------------------------------------------- the palette of a picture

namespace {

std::vector<TPictureColour> StillColours(const TPictureData& picture)
{
    const TBitmap& image = picture.Image;
    std::vector<TPictureColour> result;
    if (picture.PaletteBits != 0 && IsPalettePicture(image)) {
        // The entries as a save writes them (the logical palette when the reader kept one).
        const std::optional<TPalette> palette = image.Palette();
        const int bits = FactsOf(image.PixelFormat()).Bits;
        std::array<int64_t, 256> counts{};
        const int32_t width = image.Width(), height = image.Height();
        for (int32_t y = 0; y < height; ++y) {
            const uint8_t* row = image.ConstScanLine(y);
            for (int32_t x = 0; x < width; ++x) ++counts[GetPackedIndex(row, bits, x)];
        }
        const int count = palette ? palette->Count() : 0;
        bool covered = true;
        for (size_t i = static_cast<size_t>(count); i < counts.size(); ++i) covered = covered && counts[i] == 0;
        // A pixel beyond the palette shows a colour no entry has: then the colours are counted as
        // any picture's are.
        if (covered) {
            for (int i = 0; i < count; ++i) result.push_back({palette->ColorOf(i), counts[static_cast<size_t>(i)]});
            return result;
        }
    }
    TBitmap full;
    full.Assign(image);
    full.SetPixelFormat(TPixelFormat::pf24bit);
    TOrderedSet colours(size_t{1} << 24);
    const int32_t width = full.Width(), height = full.Height();
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* row = full.ConstScanLine(y);
        uint32_t lastKey = kEmpty;
        int32_t position = -1;
        for (int32_t x = 0; x < width; ++x) {
            const uint32_t key = KeyOfBytes(row + 3 * static_cast<size_t>(x));
            if (key != lastKey) {
                lastKey = key;
                position = colours.Add(key);
                if (static_cast<size_t>(position) == result.size()) result.push_back({static_cast<TColor>(key), 0});
            }
            ++result[static_cast<size_t>(position)].Pixels;
        }
    }
    return result;
}

} // namespace

std::vector<TPictureColour> PictureColours(const TPictureData& picture)
{
    if (!picture.Animation || picture.Animation->Frames.empty()) return StillColours(picture);
    // An animation: the first frame's colours as a still picture's, then each colour of the later
    // frames (and of a default image of its own) not met before, pixels summed over all.
    std::vector<TPictureColour> result;
    std::unordered_map<TColor, size_t> seen;
    const auto add = [&](const TPictureData& frame, bool first) {
        for (const TPictureColour& c : StillColours(frame)) {
            const auto [at, fresh] = seen.try_emplace(c.Colour, result.size());
            if (fresh || first) {
                result.push_back(c); // the first frame's palette keeps every entry, as a still one's
            } else {
                result[at->second].Pixels += c.Pixels;
            }
        }
    };
    bool first = true;
    for (const TFrame& frame : picture.Animation->Frames) {
        add(frame.Picture, first);
        first = false;
    }
    if (picture.Animation->HiddenDefault) add(*picture.Animation->HiddenDefault, false);
    return result;
}

} // namespace tintabrel
