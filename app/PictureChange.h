// One change (a hue window and the protected colours) applied to a loaded picture: the step
// that recolour repeats for every file, and that chains of changes repeat on its result. A change
// may be kept to a region of the picture (a rectangle, a mask picture, or both).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/PictureFiles.h"
#include "app/PictureSource.h"
#include "base/Exceptions.h"
#include "recolour/HueReplace.h"

namespace tintabrel {

// A region that cannot be used on the picture (outside it, a mask of another size): the message
// in the window's words, the detail in English with the sizes.
class EChangeRegion : public Exception {
public:
    using Exception::Exception;
};

// Columns X to X + Width - 1 of rows Y to Y + Height - 1.
struct TRegionRect {
    int32_t X = 0;
    int32_t Y = 0;
    int32_t Width = 0;
    int32_t Height = 0;
    bool operator==(const TRegionRect&) const = default;
    bool Empty() const { return Width <= 0 || Height <= 0; }
    // "X,Y,W,H", as the command line writes it.
    std::string Text() const;
};

// Where a mask picture lets a change in: every pixel that is neither fully transparent nor black.
class TChangeMask {
public:
    // name: how messages call the mask (its path).
    TChangeMask(const TPictureData& picture, std::string name);

    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    const std::string& Name() const { return name_; }
    // One byte a pixel of row y: 1 inside, 0 outside.
    const uint8_t* Row(int32_t y) const { return inside_.data() + static_cast<size_t>(y) * static_cast<size_t>(width_); }
    // The mask under a part of width x height placed at (x, y) (an animation's frame); what lies
    // beyond the mask is outside.
    std::shared_ptr<const TChangeMask> Part(int32_t x, int32_t y, int32_t width, int32_t height) const;

private:
    TChangeMask() = default;
    int32_t width_ = 0;
    int32_t height_ = 0;
    std::vector<uint8_t> inside_;
    std::string name_;
};

// Reads a mask picture of any format the program reads, through the one way in (limits checked
// before anything is sized for it). Failures as for any input.
std::shared_ptr<const TChangeMask> LoadChangeMask(const std::string& path, const TSourceLimits& limits = {});

// Where a change applies: the whole picture, or where the rectangle and the mask (those given)
// both hold. Outside it every pixel keeps its bytes.
struct TChangeRegion {
    std::optional<TRegionRect> Rect;
    std::shared_ptr<const TChangeMask> Mask;

    bool Whole() const { return !Rect && !Mask; }
    // Whether it can be used on a picture of this size: a rectangle inside it, a mask of its size.
    bool Fits(int32_t width, int32_t height) const;
    // Fits, or EChangeRegion saying why not.
    void Check(int32_t width, int32_t height) const;
    // The smallest rectangle that holds every pixel inside the region on a picture of this size
    // (Check first); empty when none is inside.
    TRegionRect Bounds(int32_t width, int32_t height) const;
    // The region as a part of width x height placed at (x, y) sees it (an animation's frame on
    // its canvas), in the part's own pixels; none when the part lies wholly outside it.
    std::optional<TChangeRegion> PartAt(int32_t x, int32_t y, int32_t width, int32_t height) const;
};

// What a change did to a picture's kind beyond its pixels: a palette picture whose entries are
// used inside and outside a region gets new entries, or, without room for them, becomes 24-bit.
struct TChangeOutcome {
    enum class TPalette { Kept, Extended, TrueColour };
    TPalette Palette = TPalette::Kept;
    // Extended: entries and bit depth before and after (over a chain, the first and the last).
    int EntriesBefore = 0, BitsBefore = 0, Entries = 0, Bits = 0;
    // Entries the last palette could not take (TrueColour: the palette's and the new ones).
    int EntriesWanted = 0;

    // The outcome of this change followed by later's (a chain).
    void Then(const TChangeOutcome& later);
    // For -v: "" when the palette was kept as it was.
    std::string Text() const;
    // For --json: "kept", "extended" or "truecolour".
    const char* Key() const;
};

// after becomes before with the change applied, in before's format: a picture from a palette
// file (PaletteBits set) keeps its palette order, indices and depth and gets its entries
// recoloured; any other picture, or any picture with trueColour, becomes the engine's 24-bit
// result. The pixels equal ReplaceHue's either way. The alpha is carried over unchanged, and
// the engine reads it for VisibleOnly (an alpha that is not 8-bit or not of the picture's size,
// which saving leaves out, counts as none).
// With counts (a dry run, which writes nothing) the pixels are counted on the 24-bit path.
// threads: as many as a large picture may be recoloured on.
// region: outside it every pixel keeps its bytes (in the 24-bit result, its 24-bit colour), and
// counts count only inside; inside, each pixel is what the change on the whole picture makes
// of it. A palette picture keeps its palette: entries used inside only are recoloured, entries
// used inside and outside whose colour changes stay for the outside and get a new entry each
// for the inside (appended; the bit depth rises as needed, the per-index alpha follows); with
// more than 256 entries needed it becomes the 24-bit result. A region that does not fit the
// picture raises EChangeRegion.
TChangeOutcome ApplyChange(const TPictureData& before, TPictureData& after, const TProtectedColors& protectedColors,
                           const THueWindow& window, bool trueColour = false, THueCounts* counts = nullptr,
                           unsigned threads = 1, const TChangeRegion& region = {});

// An animation's frames are changed each as it stands in the file (as if decoded alone), and its
// still picture composed again from them; counts are all frames'. A region lies on the canvas:
// each frame takes the part of it that the frame's rectangle covers.

// The same with the picture as both: a picture that ends 24-bit is recoloured where it lies, so
// a caller that does not keep the before picture pays for no copy.
TChangeOutcome ApplyChangeInPlace(TPictureData& picture, const TProtectedColors& protectedColors,
                                  const THueWindow& window, bool trueColour = false, THueCounts* counts = nullptr,
                                  unsigned threads = 1, const TChangeRegion& region = {});

// For rows changed one at a time (the picture pipeline): calls run(from, count) for each run of
// consecutive pixels of row y inside the region (Check first), left to right.
template <class Run>
void ForRunsInRegion(const TChangeRegion& region, int32_t width, int32_t y, Run run)
{
    int32_t from = 0, to = width;
    if (region.Rect) {
        if (y < region.Rect->Y || y - region.Rect->Y >= region.Rect->Height) return;
        from = region.Rect->X;
        to = region.Rect->X + region.Rect->Width;
    }
    if (!region.Mask) {
        if (to > from) run(from, to - from);
        return;
    }
    const uint8_t* inside = region.Mask->Row(y);
    for (int32_t x = from; x < to;) {
        while (x < to && !inside[x]) ++x;
        const int32_t start = x;
        while (x < to && inside[x]) ++x;
        if (x > start) run(start, x - start);
    }
}

// An animation's still picture (Image, Alpha) made again from its frames: the first frame on the
// canvas, as a still format shows it. Nothing for a still picture.
void ShowFirstFrame(TPictureData& picture);

} // namespace tintabrel
