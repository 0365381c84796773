// The logical palette: up to 256 entries of red, green, blue and flags.
#pragma once

#include <array>
#include <cstdint>

#include "base/Colors.h"

namespace tintabrel {

struct TPaletteEntry {
    uint8_t peRed = 0;
    uint8_t peGreen = 0;
    uint8_t peBlue = 0;
    uint8_t peFlags = 0;
    friend bool operator==(const TPaletteEntry&, const TPaletteEntry&) = default;
};

// A colour-table entry as bitmaps and BMP files store it: blue, green, red, 0.
struct TRGBQuad {
    uint8_t rgbBlue = 0;
    uint8_t rgbGreen = 0;
    uint8_t rgbRed = 0;
    uint8_t rgbReserved = 0;
    friend bool operator==(const TRGBQuad&, const TRGBQuad&) = default;
};

class TPalette {
public:
    static constexpr int MaxEntries = 256;

    TPalette() = default;
    int Count() const { return count_; }
    // Entries beyond 256 are dropped.
    void SetCount(int count);
    const TPaletteEntry& operator[](int i) const { return entries_[static_cast<size_t>(i)]; }
    TPaletteEntry& operator[](int i) { return entries_[static_cast<size_t>(i)]; }
    TColor ColorOf(int i) const
    {
        const TPaletteEntry& e = entries_[static_cast<size_t>(i)];
        return MakeColor(e.peRed, e.peGreen, e.peBlue);
    }
    void Add(uint8_t r, uint8_t g, uint8_t b) { AddEntry({r, g, b, 0}); }
    void AddEntry(const TPaletteEntry& e);

    friend bool operator==(const TPalette& a, const TPalette& b);

private:
    std::array<TPaletteEntry, MaxEntries> entries_{};
    int count_ = 0;
};

// The display's standard 16-colour palette and a 256-colour halftone palette
// (a 6 x 6 x 6 colour cube followed by 40 greys).
const TPalette& StandardPalette16();
const TPalette& HalftonePalette();

// Index of the entry nearest to the colour: the smallest sum of the absolute differences of
// red, green and blue, the first entry on a tie; -1 when there are no entries.
int NearestEntry(const TRGBQuad* table, int count, TColor color);

} // namespace tintabrel
