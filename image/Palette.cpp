#include "image/Palette.h"

#include <cstdlib>

namespace tintabrel {

void TPalette::SetCount(int count)
{
    if (count < 0) count = 0;
    if (count > MaxEntries) count = MaxEntries;
    count_ = count;
}

void TPalette::AddEntry(const TPaletteEntry& e)
{
    if (count_ < MaxEntries) entries_[static_cast<size_t>(count_++)] = e;
}

bool operator==(const TPalette& a, const TPalette& b)
{
    if (a.count_ != b.count_) return false;
    for (int i = 0; i < a.count_; ++i)
        if (!(a[i] == b[i])) return false;
    return true;
}

const TPalette& StandardPalette16()
{
    static const TPalette palette = [] {
        TPalette p;
        const uint8_t rgb[16][3] = {
            {0, 0, 0}, {128, 0, 0}, {0, 128, 0}, {128, 128, 0},
            {0, 0, 128}, {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
            {128, 128, 128}, {255, 0, 0}, {0, 255, 0}, {255, 255, 0},
            {0, 0, 255}, {255, 0, 255}, {0, 255, 255}, {255, 255, 255},
        };
        for (const auto& c : rgb) p.Add(c[0], c[1], c[2]);
        return p;
    }();
    return palette;
}

const TPalette& HalftonePalette()
{
    static const TPalette palette = [] {
        TPalette p;
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b)
                    p.Add(static_cast<uint8_t>(r * 51), static_cast<uint8_t>(g * 51), static_cast<uint8_t>(b * 51));
        // Greys between the cube's levels, so that grey ramps keep their steps.
        for (int i = 0; i < 40; ++i) {
            int v = (i + 1) * 255 / 41;
            p.Add(static_cast<uint8_t>(v), static_cast<uint8_t>(v), static_cast<uint8_t>(v));
        }
        return p;
    }();
    return palette;
}

int NearestEntry(const TRGBQuad* table, int count, TColor color)
{
    const int r = RedOf(color), g = GreenOf(color), b = BlueOf(color);
    int best = -1;
    int bestDistance = 1 << 30;
    for (int i = 0; i < count; ++i) {
        const int d = std::abs(table[i].rgbRed - r) + std::abs(table[i].rgbGreen - g) + std::abs(table[i].rgbBlue - b);
        if (d < bestDistance) {
            best = i;
            bestDistance = d;
            if (d == 0) break;
        }
    }
    return best;
}

} // namespace tintabrel
