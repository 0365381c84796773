// Scanline sizes, nearest palette entries, logical palettes from colour tables, grey ramps.
#pragma once

#include <cstdint>
#include <optional>

#include "image/Palette.h"

namespace tintabrel {

// Byte length of one bitmap row: ((width * bits + 7) div 8 + 3) with the two low bits cleared;
// -1 when it does not fit 32-bit arithmetic.
int32_t BytesPerScanline(int32_t width, int32_t bits);
// Index of the nearest entry by the sum of absolute differences (first on a tie), -1 without entries.
int32_t NearestPaletteIndex(const std::optional<TPalette>& palette, TColor color);
// A palette of count entries (at most 256) from colour-table entries blue, green, red, 0.
TPalette CreatePaletteFromQuads(const TRGBQuad* table, int32_t count);
// red + green * 256 + blue * 65536 of an entry, or -1 when there is no such entry.
TColor GetPaletteColor(const std::optional<TPalette>& palette, int32_t index);
// Writes the entries (at most 256) as blue, green, red, 0; returns how many.
int32_t GetPaletteQuads(const std::optional<TPalette>& palette, TRGBQuad* table);
// Grey ramp for a bit depth: 2, 4, 16 or 256 entries; returns the count.
int32_t MakeGreyPalette(TRGBQuad* table, int32_t depth);

} // namespace tintabrel
