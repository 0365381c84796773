#include "app/PictureChange.h"

#include "app/MemoryBudget.h"
#include "image/Animation.h"
#include "image/PixelFormats.h"
#include "recolour/PaletteRecolour.h"

#include <algorithm>
#include <bitset>
#include <cstring>

namespace tintabrel {

namespace {

// The transparency the engine reads for VisibleOnly: the picture's alpha when it is one the
// save writes (8 bits, the picture's size); otherwise the picture counts as opaque, as saved.
const TBitmap* AlphaOf(const TPictureData& picture)
{
    return AlphaPlaneFits(picture.Image, picture.Alpha) ? &picture.Alpha : nullptr;
}

std::string SizeText(int64_t width, int64_t height) { return std::to_string(width) + " x " + std::to_string(height); }

// The change on the region of a 24-bit picture, where it lies. The pixels inside the region's
// bounds are changed on a copy of their own, in which pixels outside the mask are black: no
// change touches black or counts it, so counts count the inside alone; only inside pixels are
// copied back. The engine decides each pixel by its own colour and alpha, so a pixel inside
// ends exactly as the change on the whole picture leaves it.
void ChangeRegionOf24Bit(TBitmap& image, const TBitmap* alpha, const TProtectedColors& protectedColors,
                         const THueWindow& window, THueCounts* counts, unsigned threads, const TChangeRegion& region)
{
    const int32_t width = image.Width(), height = image.Height();
    const TRegionRect box = region.Bounds(width, height);
    if (box.Empty()) {
        RecolourColours({}, protectedColors, window); // still checks the settings
        return;
    }
    TBitmap part, partAlpha;
    part.SetPixelFormat(TPixelFormat::pf24bit);
    part.SetSize(box.Width, box.Height);
    const bool withAlpha = alpha && window.VisibleOnly;
    if (withAlpha) {
        partAlpha.SetPixelFormat(TPixelFormat::pf8bit);
        partAlpha.SetSize(box.Width, box.Height);
    }
    const size_t rowBytes = static_cast<size_t>(box.Width) * 3;
    for (int32_t y = 0; y < box.Height; ++y) {
        const uint8_t* from = image.ConstScanLine(box.Y + y) + static_cast<size_t>(box.X) * 3;
        uint8_t* to = part.ScanLine(y);
        std::memcpy(to, from, rowBytes);
        if (region.Mask) {
            const uint8_t* inside = region.Mask->Row(box.Y + y) + box.X;
            for (int32_t x = 0; x < box.Width; ++x)
                if (!inside[x]) std::memset(to + 3 * x, 0, 3);
        }
        if (withAlpha)
            std::memcpy(partAlpha.ScanLine(y), alpha->ConstScanLine(box.Y + y) + box.X, static_cast<size_t>(box.Width));
    }
    ReplaceHueInPlace(part, protectedColors, window, counts, threads, withAlpha ? &partAlpha : nullptr);
    for (int32_t y = 0; y < box.Height; ++y) {
        const uint8_t* from = part.ConstScanLine(y);
        uint8_t* to = image.ScanLine(box.Y + y) + static_cast<size_t>(box.X) * 3;
        if (!region.Mask) {
            std::memcpy(to, from, rowBytes);
            continue;
        }
        const uint8_t* inside = region.Mask->Row(box.Y + y) + box.X;
        for (int32_t x = 0; x < box.Width; ++x)
            if (inside[x]) std::memcpy(to + 3 * x, from + 3 * x, 3);
    }
}

// The smallest depth of 1, 2, 4 and 8 bits that numbers this many entries.
int32_t DepthFor(size_t entries) { return entries <= 2 ? 1 : entries <= 4 ? 2 : entries <= 16 ? 4 : 8; }

TColor ColorOfQuad(const TRGBQuad& q) { return MakeColor(q.rgbRed, q.rgbGreen, q.rgbBlue); }
TRGBQuad QuadOfColor(TColor c) { return TRGBQuad{BlueOf(c), GreenOf(c), RedOf(c), 0}; }

// The change on the region of a palette picture, keeping its palette where it can (see
// ApplyChange). False when the palette has no room for the entries it needs: nothing is changed.
bool ChangeRegionOfPalette(const TPictureData& before, TPictureData& after, const TProtectedColors& protectedColors,
                           const THueWindow& window, const TChangeRegion& region, TChangeOutcome& outcome)
{
    const TBitmap& image = before.Image;
    const int32_t width = image.Width(), height = image.Height();
    const int bits = FactsOf(image.PixelFormat()).Bits;
    const TBitmap* alpha = AlphaOf(before);

    // Which entries pixels inside and outside use (with VisibleOnly, inside: visible pixels only).
    std::bitset<256> usedInside, usedOutside, visibleInside;
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* row = image.ConstScanLine(y);
        const uint8_t* transparency = alpha ? alpha->ConstScanLine(y) : nullptr;
        int32_t x = 0;
        const auto outside = [&](int32_t to) {
            for (; x < to; ++x) usedOutside.set(GetPackedIndex(row, bits, x));
        };
        ForRunsInRegion(region, width, y, [&](int32_t from, int32_t count) {
            outside(from);
            for (; x < from + count; ++x) {
                const uint8_t index = GetPackedIndex(row, bits, x);
                usedInside.set(index);
                if (!transparency || transparency[x] != 255) visibleInside.set(index);
            }
        });
        outside(width);
    }

    // Every entry recoloured as ReplaceHue recolours a pixel of its colour: the colour table
    // (what the pixels show) and the logical palette (what a PNG writes), by the same indices.
    const TBitmapImage& source = *image.Image();
    std::vector<TColor> colours;
    for (const TRGBQuad& q : source.ColorTable) colours.push_back(ColorOfQuad(q));
    const size_t tableCount = colours.size();
    const size_t paletteCount = source.Palette ? static_cast<size_t>(source.Palette->Count()) : 0;
    for (size_t i = 0; i < paletteCount; ++i) colours.push_back(source.Palette->ColorOf(static_cast<int>(i)));
    std::vector<TColor> changed = RecolourColours(colours, protectedColors, window);
    const size_t count = std::min<size_t>(256, std::max(tableCount, paletteCount));
    const auto changes = [&](size_t index) {
        if (!usedInside[index] || (window.VisibleOnly && !visibleInside[index])) return false;
        return (index < tableCount && changed[index] != colours[index]) ||
               (index < paletteCount && changed[tableCount + index] != colours[tableCount + index]);
    };

    // Entries used inside alone are recoloured where they are; those used outside too get a
    // copy, appended, that the inside pixels take.
    std::vector<int> newIndex(256, -1);
    size_t entries = count;
    for (size_t i = 0; i < count; ++i)
        if (changes(i) && usedOutside[i]) newIndex[i] = static_cast<int>(entries++);
    outcome.EntriesWanted = static_cast<int>(entries);
    if (entries > 256) return false;

    std::vector<TRGBQuad> table = source.ColorTable;
    table.resize(entries, TRGBQuad{0, 0, 0, 0}); // indices beyond the table show black
    std::optional<TPalette> palette = source.Palette;
    if (palette)
        for (size_t i = paletteCount; i < entries; ++i) palette->Add(table[i].rgbRed, table[i].rgbGreen, table[i].rgbBlue);
    std::vector<uint8_t> indexAlpha = before.IndexAlpha;
    for (size_t i = 0; i < count; ++i) {
        if (!changes(i)) continue;
        const size_t at = newIndex[i] >= 0 ? static_cast<size_t>(newIndex[i]) : i;
        const TColor tableColour = i < tableCount ? changed[i] : clBlack;
        table[at] = QuadOfColor(tableColour);
        if (palette) {
            const TColor c = i < paletteCount ? changed[tableCount + i] : tableColour;
            TPaletteEntry& e = (*palette)[static_cast<int>(at)];
            e.peRed = RedOf(c);
            e.peGreen = GreenOf(c);
            e.peBlue = BlueOf(c);
        }
        // The copy is as transparent as its entry (trailing opaque entries stay left out).
        if (at != i && i < indexAlpha.size() && indexAlpha[i] != 255) {
            if (indexAlpha.size() <= at) indexAlpha.resize(at + 1, 255);
            indexAlpha[at] = indexAlpha[i];
        }
    }

    // Rows of as many bits as the entries need, never fewer than before.
    int rowBits = bits;
    while (entries > (size_t{1} << rowBits)) rowBits = rowBits == 1 ? 4 : 8;
    TBitmap result;
    if (rowBits == bits) {
        result.Assign(image);
        result.Changing(); // own store; saved file bytes and colour counts go
    } else {
        result.SetPixelFormat(rowBits == 4 ? TPixelFormat::pf4bit : TPixelFormat::pf8bit);
        result.SetSize(width, height);
        TBitmapImage& raised = result.MutableImage();
        raised.Header.biXPelsPerMeter = source.Header.biXPelsPerMeter;
        raised.Header.biYPelsPerMeter = source.Header.biYPelsPerMeter;
    }
    TBitmapImage& store = result.MutableImage();
    store.ColorTable = table;
    store.Palette = palette;
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* from = image.ConstScanLine(y);
        uint8_t* to = store.Row(y);
        if (rowBits != bits)
            for (int32_t x = 0; x < width; ++x) PutPackedIndex(to, rowBits, x, GetPackedIndex(from, bits, x));
        ForRunsInRegion(region, width, y, [&](int32_t start, int32_t run) {
            for (int32_t x = start; x < start + run; ++x) {
                const int moved = newIndex[GetPackedIndex(from, bits, x)];
                if (moved >= 0) PutPackedIndex(to, rowBits, x, static_cast<uint8_t>(moved));
            }
        });
    }
    result.PaletteModified = true;
    result.Changed();

    after.Image.Assign(result);
    after.Alpha.Assign(before.Alpha);
    after.PaletteBits = entries > count ? std::max(before.PaletteBits, DepthFor(entries)) : before.PaletteBits;
    after.IndexAlpha = std::move(indexAlpha);
    after.Info = before.Info;
    if (entries > count) {
        outcome.Palette = TChangeOutcome::TPalette::Extended;
        outcome.EntriesBefore = static_cast<int>(count);
        outcome.BitsBefore = before.PaletteBits;
        outcome.Entries = static_cast<int>(entries);
        outcome.Bits = after.PaletteBits;
    }
    return true;
}

// The 24-bit result of the change on the region of before, into picture (which may be before).
void ChangeRegionTo24Bit(const TPictureData& before, TPictureData& picture, const TProtectedColors& protectedColors,
                         const THueWindow& window, THueCounts* counts, unsigned threads, const TChangeRegion& region)
{
    if (&picture != &before) picture.Assign(before);
    picture.Image.SetPixelFormat(TPixelFormat::pf24bit);
    ChangeRegionOf24Bit(picture.Image, AlphaOf(picture), protectedColors, window, counts, threads, region);
    picture.PaletteBits = 0;
    picture.IndexAlpha.clear();
}

} // namespace

void ShowFirstFrame(TPictureData& picture)
{
    if (!picture.Animation || picture.Animation->Frames.empty()) return;
    TPictureData still = ComposeFrame(*picture.Animation, 0);
    picture.Image.Assign(still.Image);
    picture.Alpha.Assign(still.Alpha);
    picture.PaletteBits = 0;
    picture.IndexAlpha.clear();
}

std::string TRegionRect::Text() const
{
    return std::to_string(X) + "," + std::to_string(Y) + "," + std::to_string(Width) + "," + std::to_string(Height);
}

TChangeMask::TChangeMask(const TPictureData& picture, std::string name) : name_(std::move(name))
{
    TBitmap rgb;
    rgb.Assign(picture.Image);
    rgb.SetPixelFormat(TPixelFormat::pf24bit);
    width_ = std::max(0, rgb.Width());
    height_ = std::max(0, rgb.Height());
    const bool withAlpha = AlphaPlaneFits(picture.Image, picture.Alpha);
    inside_.assign(static_cast<size_t>(width_) * static_cast<size_t>(height_), 0);
    for (int32_t y = 0; y < height_; ++y) {
        const uint8_t* row = rgb.ConstScanLine(y);
        const uint8_t* transparency = withAlpha ? picture.Alpha.ConstScanLine(y) : nullptr;
        uint8_t* out = inside_.data() + static_cast<size_t>(y) * static_cast<size_t>(width_);
        for (int32_t x = 0; x < width_; ++x) {
            const bool black = row[3 * x] == 0 && row[3 * x + 1] == 0 && row[3 * x + 2] == 0;
            const bool clear = transparency && transparency[x] == 255;
            out[x] = !black && !clear;
        }
    }
}

std::shared_ptr<const TChangeMask> LoadChangeMask(const std::string& path, const TSourceLimits& limits)
{
    TPictureSource source(path);
    source.RequireKind(KindOfExtension(ExtractExtension(path), false));
    source.Check(limits);
    source.CheckMemory(TMemoryBudget::FromAvailableMemory(), TPNGSaveOptions{});
    source.ReadRest();
    TPictureData data;
    TLoadOptions options;
    options.Truncated = TTruncatedPixels::Refuse;
    options.Animation = limits.Animation;
    source.Load(data, options);
    return std::make_shared<const TChangeMask>(data, path);
}

std::shared_ptr<const TChangeMask> TChangeMask::Part(int32_t x, int32_t y, int32_t width, int32_t height) const
{
    auto part = std::shared_ptr<TChangeMask>(new TChangeMask());
    part->name_ = name_;
    part->width_ = std::max(0, width);
    part->height_ = std::max(0, height);
    part->inside_.assign(static_cast<size_t>(part->width_) * static_cast<size_t>(part->height_), 0);
    for (int32_t row = 0; row < part->height_; ++row) {
        const int64_t from = int64_t{y} + row;
        if (from < 0 || from >= height_) continue;
        for (int32_t column = 0; column < part->width_; ++column) {
            const int64_t at = int64_t{x} + column;
            if (at >= 0 && at < width_)
                part->inside_[static_cast<size_t>(row) * static_cast<size_t>(part->width_) + static_cast<size_t>(column)] =
                    Row(static_cast<int32_t>(from))[at];
        }
    }
    return part;
}

std::optional<TChangeRegion> TChangeRegion::PartAt(int32_t x, int32_t y, int32_t width, int32_t height) const
{
    if (Whole()) return TChangeRegion{};
    // The rectangle (or the mask's whole picture) where it overlaps the part, in the part's pixels.
    const int64_t left = Rect ? Rect->X : 0, top = Rect ? Rect->Y : 0;
    const int64_t right = Rect ? left + Rect->Width : Mask->Width(), bottom = Rect ? top + Rect->Height : Mask->Height();
    const int64_t fromX = std::max<int64_t>(left, x), toX = std::min<int64_t>(right, int64_t{x} + width);
    const int64_t fromY = std::max<int64_t>(top, y), toY = std::min<int64_t>(bottom, int64_t{y} + height);
    if (fromX >= toX || fromY >= toY) return std::nullopt;
    TChangeRegion part;
    part.Rect = TRegionRect{static_cast<int32_t>(fromX - x), static_cast<int32_t>(fromY - y),
                            static_cast<int32_t>(toX - fromX), static_cast<int32_t>(toY - fromY)};
    if (Mask) part.Mask = Mask->Part(x, y, width, height);
    return part;
}

bool TChangeRegion::Fits(int32_t width, int32_t height) const
{
    if (Rect && (Rect->Empty() || Rect->X < 0 || Rect->Y < 0 || int64_t{Rect->X} + Rect->Width > width ||
                 int64_t{Rect->Y} + Rect->Height > height))
        return false;
    return !Mask || (Mask->Width() == width && Mask->Height() == height);
}

void TChangeRegion::Check(int32_t width, int32_t height) const
{
    if (Fits(width, height)) return;
    if (Rect && (Rect->Empty() || !TChangeRegion{Rect, nullptr}.Fits(width, height)))
        throw EChangeRegion("変化させる範囲が絵の外にはみ出しています",
                            "the region " + Rect->Text() + (Rect->Empty() ? " is empty" : " is not inside the " + SizeText(width, height) + " picture"));
    throw EChangeRegion("マスクの大きさが絵の大きさと違います",
                        "the mask " + Mask->Name() + " is " + SizeText(Mask->Width(), Mask->Height()) +
                            ", the picture " + SizeText(width, height) + ": a mask must be of the picture's size");
}

TRegionRect TChangeRegion::Bounds(int32_t width, int32_t height) const
{
    TRegionRect box = Rect ? *Rect : TRegionRect{0, 0, width, height};
    if (!Mask || box.Empty()) return box;
    int32_t left = box.X + box.Width, right = box.X - 1, top = -1, bottom = -1;
    for (int32_t y = box.Y; y < box.Y + box.Height; ++y) {
        const uint8_t* inside = Mask->Row(y);
        bool any = false;
        for (int32_t x = box.X; x < box.X + box.Width; ++x)
            if (inside[x]) {
                any = true;
                left = std::min(left, x);
                right = std::max(right, x);
            }
        if (!any) continue;
        if (top < 0) top = y;
        bottom = y;
    }
    if (top < 0) return TRegionRect{};
    return TRegionRect{left, top, right - left + 1, bottom - top + 1};
}

void TChangeOutcome::Then(const TChangeOutcome& later)
{
    if (Palette == TPalette::TrueColour) return;
    if (later.Palette == TPalette::TrueColour) {
        *this = later;
        return;
    }
    if (later.Palette != TPalette::Extended) return;
    const bool first = Palette != TPalette::Extended;
    const int entriesBefore = first ? later.EntriesBefore : EntriesBefore;
    const int bitsBefore = first ? later.BitsBefore : BitsBefore;
    *this = later;
    EntriesBefore = entriesBefore;
    BitsBefore = bitsBefore;
}

std::string TChangeOutcome::Text() const
{
    switch (Palette) {
    case TPalette::Kept: return {};
    case TPalette::Extended:
        return "the palette grew from " + std::to_string(EntriesBefore) + " to " + std::to_string(Entries) +
               " entries for the region's colours" +
               (Bits != BitsBefore ? " (" + std::to_string(BitsBefore) + " to " + std::to_string(Bits) + " bits)" : std::string());
    case TPalette::TrueColour:
        return "written as truecolour: the region's colours need " + std::to_string(EntriesWanted) +
               " palette entries, more than 256";
    }
    return {};
}

const char* TChangeOutcome::Key() const
{
    return Palette == TPalette::Extended ? "extended" : Palette == TPalette::TrueColour ? "truecolour" : "kept";
}

TChangeOutcome ApplyChange(const TPictureData& before, TPictureData& after, const TProtectedColors& protectedColors,
                           const THueWindow& window, bool trueColour, THueCounts* counts, unsigned threads,
                           const TChangeRegion& region)
{
    if (before.Animation) {
        after.Assign(before);
        return ApplyChangeInPlace(after, protectedColors, window, trueColour, counts, threads, region);
    }
    TChangeOutcome outcome;
    const bool keepPalette = !trueColour && !counts && before.PaletteBits != 0;
    if (!region.Whole()) {
        if (&before == &after) throw std::invalid_argument("the before and after pictures must differ");
        region.Check(before.Image.Width(), before.Image.Height());
        if (keepPalette && IsPalettePicture(before.Image)) {
            if (ChangeRegionOfPalette(before, after, protectedColors, window, region, outcome)) return outcome;
            outcome.Palette = TChangeOutcome::TPalette::TrueColour;
        }
        ChangeRegionTo24Bit(before, after, protectedColors, window, counts, threads, region);
        return outcome;
    }
    TBitmap image;
    if (counts)
        ReplaceHue(before.Image, image, protectedColors, window, counts, threads, AlphaOf(before));
    else
        RecolourPicture(before.Image, image, protectedColors, window, keepPalette, threads, AlphaOf(before));
    after.Image.Assign(image);
    after.Alpha.Assign(before.Alpha);
    after.PaletteBits = keepPalette ? before.PaletteBits : 0;
    after.IndexAlpha = keepPalette ? before.IndexAlpha : std::vector<uint8_t>{};
    after.Info = before.Info; // a change of colours keeps what the file says beside them
    return outcome;
}

TChangeOutcome ApplyChangeInPlace(TPictureData& picture, const TProtectedColors& protectedColors,
                                  const THueWindow& window, bool trueColour, THueCounts* counts, unsigned threads,
                                  const TChangeRegion& region)
{
    if (picture.Animation) {
        // Each frame as it stands in the file, as if it were decoded alone: never the composited
        // canvas, which would change a pixel once per frame it shows through. Counts are all
        // frames'; an animation's default image that is not a frame changes too. A region is the
        // canvas's: each frame takes the part of it that its rectangle covers.
        TAnimation& animation = *picture.Animation;
        region.Check(animation.Width, animation.Height);
        TChangeOutcome outcome;
        const auto change = [&](TPictureData& part, int32_t x, int32_t y, THueCounts* partCounts) {
            const std::optional<TChangeRegion> own = region.PartAt(x, y, part.Image.Width(), part.Image.Height());
            if (!own) {
                RecolourColours({}, protectedColors, window); // nothing of it is inside; the settings still count
                return;
            }
            outcome.Then(ApplyChangeInPlace(part, protectedColors, window, trueColour, partCounts, threads, *own));
        };
        for (TFrame& frame : animation.Frames) {
            THueCounts frameCounts;
            change(frame.Picture, frame.X, frame.Y, counts ? &frameCounts : nullptr);
            if (counts) {
                counts->Altered += frameCounts.Altered;
                counts->Kept += frameCounts.Kept;
            }
        }
        if (animation.HiddenDefault) change(*animation.HiddenDefault, 0, 0, nullptr);
        ShowFirstFrame(picture);
        return outcome;
    }
    const bool keepPalette = !trueColour && !counts && picture.PaletteBits != 0;
    if (keepPalette) {
        TPictureData after;
        const TChangeOutcome outcome =
            ApplyChange(picture, after, protectedColors, window, trueColour, counts, threads, region);
        picture.Assign(after);
        return outcome;
    }
    if (!region.Whole()) {
        region.Check(picture.Image.Width(), picture.Image.Height());
        ChangeRegionTo24Bit(picture, picture, protectedColors, window, counts, threads, region);
        return {};
    }
    ReplaceHueInPlace(picture.Image, protectedColors, window, counts, threads, AlphaOf(picture));
    picture.PaletteBits = 0;
    picture.IndexAlpha.clear();
    return {};
}

} // namespace tintabrel
