#include "png/SFunc.h"

#include "image/PixelFormats.h"

#include <cstdlib>

namespace tintabrel {

int32_t BytesPerScanline(int32_t width, int32_t bits)
{
    const int64_t bytes = RowStride(width, bits);
    return (bytes < 0 || bytes > INT32_MAX) ? -1 : static_cast<int32_t>(bytes);
}

int32_t NearestPaletteIndex(const std::optional<TPalette>& palette, TColor color)
{
    if (!palette || palette->Count() == 0) return -1;
    const int r = RedOf(color), g = GreenOf(color), b = BlueOf(color);
    int32_t best = 0;
    int bestDistance = 1 << 30;
    for (int i = 0; i < palette->Count(); ++i) {
        const TPaletteEntry& e = (*palette)[i];
        const int d = std::abs(e.peRed - r) + std::abs(e.peGreen - g) + std::abs(e.peBlue - b);
        if (d == 0) return i;
        if (d < bestDistance) {
            bestDistance = d;
            best = i;
        }
    }
    return best;
}

TPalette CreatePaletteFromQuads(const TRGBQuad* table, int32_t count)
{
    TPalette p;
    for (int32_t i = 0; i < count && i < TPalette::MaxEntries; ++i) p.Add(table[i].rgbRed, table[i].rgbGreen, table[i].rgbBlue);
    return p;
}

TColor GetPaletteColor(const std::optional<TPalette>& palette, int32_t index)
{
    if (!palette || index < 0 || index >= palette->Count()) return -1;
    return palette->ColorOf(index);
}

int32_t GetPaletteQuads(const std::optional<TPalette>& palette, TRGBQuad* table)
{
    if (!palette) return 0;
    for (int i = 0; i < palette->Count(); ++i) {
        const TPaletteEntry& e = (*palette)[i];
        table[i] = {e.peBlue, e.peGreen, e.peRed, 0};
    }
    return palette->Count();
}

int32_t MakeGreyPalette(TRGBQuad* table, int32_t depth)
{
    int count, step;
    switch (depth) {
    case 1: count = 2; step = 255; break;
    case 2: count = 4; step = 85; break;
    case 4: count = 16; step = 17; break;
    default: count = 256; step = 1; break;
    }
    for (int i = 0; i < count; ++i) {
        const uint8_t v = static_cast<uint8_t>(i * step);
        table[i] = {v, v, v, 0};
    }
    return count;
}

} // namespace tintabrel
