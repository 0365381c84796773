#include "recolour/PaletteRecolour.h"

#include "image/Graphics.h"
#include "image/PixelFormats.h"

#include <stdexcept>

namespace tintabrel {

bool IsPalettePicture(const TBitmap& picture)
{
    return FactsOf(picture.PixelFormat()).Indexed && !picture.Image()->ColorTable.empty();
}

std::vector<TColor> RecolourColours(const std::vector<TColor>& colours, const TProtectedColors& protectedColors,
                                    const THueWindow& window)
{
    // The colours become one row of a 24-bit picture for the engine, so there is one rule.
    TBitmap strip, after;
    strip.SetPixelFormat(TPixelFormat::pf24bit);
    strip.SetSize(static_cast<int32_t>(colours.size()), 1);
    std::vector<TColor> result(colours.size());
    if (colours.empty()) {
        ReplaceHue(strip, after, protectedColors, window); // still checks the settings
        return result;
    }
    uint8_t* row = strip.ScanLine(0);
    for (size_t i = 0; i < colours.size(); ++i) {
        row[3 * i] = BlueOf(colours[i]);
        row[3 * i + 1] = GreenOf(colours[i]);
        row[3 * i + 2] = RedOf(colours[i]);
    }
    ReplaceHue(strip, after, protectedColors, window);
    const uint8_t* out = after.ConstScanLine(0);
    for (size_t i = 0; i < colours.size(); ++i) result[i] = MakeColor(out[3 * i + 2], out[3 * i + 1], out[3 * i]);
    return result;
}

std::vector<bool> VisibleIndices(const TBitmap& picture, const TBitmap* alpha, size_t count)
{
    RequireFittingAlpha(picture, alpha);
    std::vector<bool> visible(count, false);
    const int bits = FactsOf(picture.PixelFormat()).Bits;
    if (!IsIndexedBits(bits)) return visible;
    const bool opaque = !alpha || alpha->Empty();
    for (int32_t y = 0; y < picture.Height(); ++y) {
        const uint8_t* row = picture.ConstScanLine(y);
        const uint8_t* transparency = opaque ? nullptr : alpha->ConstScanLine(y);
        for (int32_t x = 0; x < picture.Width(); ++x) {
            const uint8_t index = GetPackedIndex(row, bits, x);
            if (index < count && (opaque || transparency[x] != 255)) visible[index] = true;
        }
    }
    return visible;
}

void RecolourPicture(const TBitmap& before, TBitmap& after, const TProtectedColors& protectedColors,
                     const THueWindow& window, bool keepPalette, unsigned threads, const TBitmap* alpha)
{
    if (!keepPalette || !IsPalettePicture(before)) {
        ReplaceHue(before, after, protectedColors, window, nullptr, threads, alpha);
        return;
    }
    if (&before == &after) throw std::invalid_argument("the before and after pictures must differ");
    if (alpha == &after) throw std::invalid_argument("the alpha and after pictures must differ");
    RequireFittingAlpha(before, alpha);

    // The colour table decides what the pixels show; the logical palette, when the reader kept
    // one, is what PNG writes. Both get the same recolouring.
    const TBitmapImage& source = *before.Image();
    std::vector<TColor> colours;
    for (const TRGBQuad& q : source.ColorTable) colours.push_back(MakeColor(q.rgbRed, q.rgbGreen, q.rgbBlue));
    const size_t tableCount = colours.size();
    if (source.Palette)
        for (int i = 0; i < source.Palette->Count(); ++i) colours.push_back(source.Palette->ColorOf(i));
    std::vector<TColor> changed = RecolourColours(colours, protectedColors, window);
    if (window.VisibleOnly) {
        // An entry only transparent pixels use stays, as those pixels do in the 24-bit result.
        // The logical palette goes by the same indices.
        const std::vector<bool> visible = VisibleIndices(before, alpha, 256);
        for (size_t i = 0; i < changed.size(); ++i) {
            const size_t index = i < tableCount ? i : i - tableCount;
            if (index >= visible.size() || !visible[index]) changed[i] = colours[i];
        }
    }

    after.Assign(&before);
    after.Changing(); // own store; saved file bytes and colour counts go
    TBitmapImage& image = after.MutableImage();
    for (size_t i = 0; i < tableCount; ++i) {
        TRGBQuad& q = image.ColorTable[i];
        q.rgbRed = RedOf(changed[i]);
        q.rgbGreen = GreenOf(changed[i]);
        q.rgbBlue = BlueOf(changed[i]);
    }
    if (image.Palette)
        for (int i = 0; i < image.Palette->Count(); ++i) {
            TPaletteEntry& e = (*image.Palette)[i];
            const TColor c = changed[tableCount + static_cast<size_t>(i)];
            e.peRed = RedOf(c);
            e.peGreen = GreenOf(c);
            e.peBlue = BlueOf(c);
        }
    after.PaletteModified = true;
    after.Changed();
}

} // namespace tintabrel
