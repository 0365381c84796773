// Recolouring a palette picture through its palette: the engine decides every pixel by its
// colour alone, so recolouring the palette entries gives exactly the pixels of recolouring the
// pixels, while the indices, the entry order and the bit depth stay as they are.
#pragma once

#include <vector>

#include "recolour/HueReplace.h"

namespace tintabrel {

class TBitmap;

// A picture of 1, 4 or 8 bits per pixel whose pixels are indices into a colour table.
bool IsPalettePicture(const TBitmap& picture);

// The colours as the engine recolours pixels of those colours ($00BBGGRR each).
std::vector<TColor> RecolourColours(const std::vector<TColor>& colours, const TProtectedColors& protectedColors,
                                    const THueWindow& window);

// One change applied to a picture, the result in the picture's own format: a palette picture
// (keepPalette) keeps its indices, table length and order and gets its entries recoloured;
// anything else becomes the engine's 24-bit result (ReplaceHue). Either way every pixel's
// colour equals ReplaceHue's. Same argument checks as ReplaceHue; threads and alpha as for
// ReplaceHue. With VisibleOnly, an entry that no pixel of alpha above 0 uses keeps its colour;
// so a palette picture whose pixels of one index share one alpha (as a PNG's tRNS gives them)
// ends exactly as ReplaceHue's result, and in any other every visible pixel does.
void RecolourPicture(const TBitmap& before, TBitmap& after, const TProtectedColors& protectedColors,
                     const THueWindow& window, bool keepPalette = true, unsigned threads = 1,
                     const TBitmap* alpha = nullptr);

// For each of count palette indices, whether a pixel of the palette picture whose alpha is not 0
// uses it (alpha as ReplaceHue takes it; none or empty: every pixel is visible).
std::vector<bool> VisibleIndices(const TBitmap& picture, const TBitmap* alpha, size_t count);

} // namespace tintabrel
