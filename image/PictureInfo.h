// What a picture file says beside its pixels about how they are to be shown (gamma, primaries,
// colour profile, resolution, background) and what it tells of itself (texts): kept from the file
// a picture came from to the files made of it, so that converting or recolouring a picture does
// not change how it looks elsewhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/Colors.h"

namespace tintabrel {

// The cHRM values times 100000: white x, white y, red x, red y, green x, green y, blue x, blue y.
struct TVRQPNGChromaticity {
    uint32_t Values[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    friend bool operator==(const TVRQPNGChromaticity&, const TVRQPNGChromaticity&) = default;
};
static_assert(sizeof(TVRQPNGChromaticity) == 32);

// A chunk carried as it stands: the colour profile and rendering intent (iCCP, sRGB) and the texts
// (tEXt, zTXt, iTXt), which no part of the program interprets further.
struct TKeptChunk {
    uint32_t Type = 0;       // the four letters as one big-endian number
    std::string Data;
    bool AfterImage = false; // it followed the image data in its file
    friend bool operator==(const TKeptChunk&, const TKeptChunk&) = default;
};

struct TPictureInfo {
    // Set when a file filled these values: a write then takes them as they are (no gamma when the
    // file had none) instead of the writer's defaults.
    bool FromFile = false;
    double Gamma = 0;                  // 0: none
    TVRQPNGChromaticity Chromaticity;  // all 0: none
    uint32_t SignificantBits = 0;      // red, green, blue, alpha from the low byte up; 0: none
    TColor BackgroundColor = -1;       // -1 none, a colour, or $01000000 + palette index
    bool PhysSeen = false;             // the resolution below was given
    int32_t PhysUnit = 0;              // 0 aspect ratio only, 1 per metre
    int32_t PhysX = 0;
    int32_t PhysY = 0;
    std::string Comment;               // the joined "Comment" texts, as the PNG reader joins them
    std::vector<TKeptChunk> KeptChunks;
};

} // namespace tintabrel
