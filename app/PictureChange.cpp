#include "app/PictureChange.h"

#include "recolour/PaletteRecolour.h"

namespace tintabrel {

namespace {

// The transparency the engine reads for VisibleOnly: the picture's alpha when it is one the
// save writes (8 bits, the picture's size); otherwise the picture counts as opaque, as saved.
const TBitmap* AlphaOf(const TPictureData& picture)
{
    return AlphaPlaneFits(picture.Image, picture.Alpha) ? &picture.Alpha : nullptr;
}

} // namespace

void ApplyChange(const TPictureData& before, TPictureData& after, const TProtectedColors& protectedColors,
                 const THueWindow& window, bool trueColour, THueCounts* counts, unsigned threads)
{
    const bool keepPalette = !trueColour && !counts && before.PaletteBits != 0;
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
}

void ApplyChangeInPlace(TPictureData& picture, const TProtectedColors& protectedColors, const THueWindow& window,
                        bool trueColour, THueCounts* counts, unsigned threads)
{
    const bool keepPalette = !trueColour && !counts && picture.PaletteBits != 0;
    if (keepPalette) {
        TPictureData after;
        ApplyChange(picture, after, protectedColors, window, trueColour, counts, threads);
        picture.Assign(after);
        return;
    }
    ReplaceHueInPlace(picture.Image, protectedColors, window, counts, threads, AlphaOf(picture));
    picture.PaletteBits = 0;
    picture.IndexAlpha.clear();
}

} // namespace tintabrel
