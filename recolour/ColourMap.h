// Palette swaps: an exact colour map (entry i of one palette becomes entry i of another), a remap
// of every colour to the nearest entry of a palette, and the palette of a picture. Each decides
// a pixel by its colour alone, never touches alpha, and leaves the colours of the protected list
// as they are.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "base/Colors.h"
#include "base/Exceptions.h"
#include "image/PictureData.h"
#include "recolour/HueReplace.h"

namespace tintabrel {

// A map or palette that cannot be used as given; the message says why, in English.
class EColourMap : public Exception {
public:
    using Exception::Exception;
};

// A colour as palette files and messages write it: "#rrggbb".
std::string HexOfColour(TColor colour);

// Entry i of From becomes entry i of To (plain colours $00BBGGRR).
class TColourMap {
public:
    // EColourMap when the two differ in length or a colour stands twice in From: either would
    // leave some colour without one answer.
    TColourMap(std::vector<TColor> from, std::vector<TColor> to);

    const std::vector<TColor>& From() const { return from_; }
    const std::vector<TColor>& To() const { return to_; }
    // The entry of From that is the colour, or -1.
    int32_t IndexOf(TColor colour) const;
    // False when the colour is surely not in From: one bit of a small filter, for the many
    // pixels a map leaves alone.
    bool MayContain(TColor colour) const
    {
        const uint32_t h = FilterBit(static_cast<uint32_t>(colour));
        return filter_[h >> 6] >> (h & 63) & 1u;
    }

private:
    static uint32_t FilterBit(uint32_t key) { return (key * 0x2545F491u) >> 20; }

    std::vector<TColor> from_;
    std::vector<TColor> to_;
    std::vector<uint32_t> keys_;   // open addressing: colour, or kEmpty
    std::vector<int32_t> entries_; // the From entry of each key
    int shift_ = 32;
    std::array<uint64_t, 64> filter_{};
};

// What one map or remap does, counted as a dry run shows it.
struct TColourMapCounts {
    int64_t Altered = 0; // pixels given a colour other than their own
    int64_t Kept = 0;    // pixels the change would give another colour but the list protects
    // A map: the entries of From that no pixel has (with VisibleOnly, no pixel of alpha above 0).
    // A remap: the entries of the palette that no pixel was given. In ascending order.
    std::vector<int32_t> Unmatched;
};

struct TColourChangeOptions {
    // Pixels of alpha 0 keep their colour and are not counted. A palette picture's entry is
    // changed unless every pixel that uses it is fully transparent (as for the hue window).
    bool VisibleOnly = false;
    // A palette picture becomes a 24-bit one too (a map keeps palettes; a remap makes them).
    bool TrueColour = false;
    // A large picture is worked on in bands of rows on up to this many threads; the result does
    // not depend on it.
    unsigned Threads = 1;
};

// The picture with the map applied, where it lies. A picture from a palette file (PaletteBits
// set) keeps its indices, palette length and order, bit depth and IndexAlpha, and only its
// entries change (its index rows stay byte for byte); any other picture, or any with TrueColour,
// becomes 24-bit with the colours mapped. The alpha is kept as it is. An animation's frames are
// changed the same way, each as it stands; counts are of the still picture (Image) only.
void MapColoursInPlace(TPictureData& picture, const TColourMap& map, const TProtectedColors& protectedColors,
                       const TColourChangeOptions& options = {}, TColourMapCounts* counts = nullptr);
// The same, after becoming before with the map applied; before is not changed.
void MapColours(const TPictureData& before, TPictureData& after, const TColourMap& map,
                const TProtectedColors& protectedColors, const TColourChangeOptions& options = {},
                TColourMapCounts* counts = nullptr);

// The palette a remap takes every colour to, each entry's OKLab worked out once.
class TRemapPalette {
public:
    // EColourMap for an empty palette (no colour would be nearest).
    explicit TRemapPalette(std::vector<TColor> entries);

    const std::vector<TColor>& Entries() const { return entries_; }
    // The entry nearest to the colour: the smallest squared Euclidean distance in OKLab (8-bit
    // sRGB through the sRGB transfer function, Ottosson's matrices, all in double precision),
    // the lowest index on a tie.
    int32_t NearestIndex(TColor colour) const;

private:
    std::vector<TColor> entries_;
    std::vector<double> lab_; // L, a, b of each entry
};

// Every pixel's colour becomes the nearest entry of the palette; alpha is kept, protected colours
// (and, with VisibleOnly, pixels of alpha 0) keep theirs. When the result fits a palette PNG and
// not TrueColour, the picture becomes a palette picture whose palette begins with the palette's
// entries in its order (index i is entry i, used or not); further entries follow only for a colour
// that appears with more than one alpha (entry i takes the opaque pixels when there are any,
// otherwise the alpha met first, row by row; each other alpha gets an entry in the order met) and
// for kept colours that are no entry's. Its bit depth is the smallest of 1, 2, 4 and 8 that holds
// them, IndexAlpha the alpha of each entry. Otherwise (more than 256 entries) it becomes 24-bit.
// Animations and counts as MapColoursInPlace.
void RemapColoursInPlace(TPictureData& picture, const TRemapPalette& palette, const TProtectedColors& protectedColors,
                         const TColourChangeOptions& options = {}, TColourMapCounts* counts = nullptr);
void RemapColours(const TPictureData& before, TPictureData& after, const TRemapPalette& palette,
                  const TProtectedColors& protectedColors, const TColourChangeOptions& options = {},
                  TColourMapCounts* counts = nullptr);

// One colour of a picture's palette and how many pixels show it.
struct TPictureColour {
    TColor Colour = 0;
    int64_t Pixels = 0;
};

// The palette of a picture: a palette picture's entries (from a palette file, PaletteBits set)
// in order, unused ones included; otherwise its distinct colours in the order first met, row by
// row, alpha left aside. An animation: its first frame's so, then the colours of its later frames
// not met before, in the order met, each colour's pixels counted over every frame.
std::vector<TPictureColour> PictureColours(const TPictureData& picture);

} // namespace tintabrel
