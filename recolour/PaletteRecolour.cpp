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

void RecolourPicture(const TBitmap& before, TBitmap& after, const TProtectedColors& protectedColors,
                     const THueWindow& window, bool keepPalette, unsigned threads)
{
    if (!keepPalette || !IsPalettePicture(before)) {
        ReplaceHue(before, after, protectedColors, window, nullptr, threads);
        return;
    }
    if (&before == &after) throw std::invalid_argument("the before and after pictures must differ");

    // The colour table decides what the pixels show; the logical palette, when the reader kept
    // one, is what PNG writes. Both get the same recolouring.
    const TBitmapImage& source = *before.Image();
    std::vector<TColor> colours;
    for (const TRGBQuad& q : source.ColorTable) colours.push_back(MakeColor(q.rgbRed, q.rgbGreen, q.rgbBlue));
    const size_t tableCount = colours.size();
    if (source.Palette)
        for (int i = 0; i < source.Palette->Count(); ++i) colours.push_back(source.Palette->ColorOf(i));
    const std::vector<TColor> changed = RecolourColours(colours, protectedColors, window);

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
