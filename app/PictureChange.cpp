#include "app/PictureChange.h"

#include "recolour/PaletteRecolour.h"

namespace tintabrel {

void ApplyChange(const TPictureData& before, TPictureData& after, const TProtectedColors& protectedColors,
                 const THueWindow& window, bool trueColour)
{
    const bool keepPalette = !trueColour && before.PaletteBits != 0;
    TBitmap image;
    RecolourPicture(before.Image, image, protectedColors, window, keepPalette);
    after.Image.Assign(image);
    after.Alpha.Assign(before.Alpha);
    after.PaletteBits = keepPalette ? before.PaletteBits : 0;
    after.IndexAlpha = keepPalette ? before.IndexAlpha : std::vector<uint8_t>{};
}

} // namespace tintabrel
