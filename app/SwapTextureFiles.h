// A swap texture written as two PNG files for a shader: the lut as RGBA, the index picture as
// grey of 8 or 16 bits (PNG stores 16-bit samples high byte first).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "app/PictureFiles.h"
#include "recolour/SwapTexture.h"

namespace tintabrel {

// The index picture as a grey PNG of texture.IndexBits() bits, not interlaced, filtered and
// compressed as options say (FilterMode, CompressionLevel; Optimize and Interlace do not apply),
// with the chunks options asks for.
void WriteSwapIndexPng(TStream& stream, const TSwapTexture& texture, const TPNGSaveOptions& options = {});

// An animation's index picture: the texture's index holds its frames one under another, each of
// Height / Delays.size() rows, and is written as an animated PNG of those frames, each on the
// whole canvas, replacing the last, with these delays (numerator, denominator) and plays.
struct TSwapIndexFrames {
    std::vector<std::pair<uint16_t, uint16_t>> Delays;
    uint32_t Plays = 0;
};
void WriteSwapIndexPng(TStream& stream, const TSwapTexture& texture, const TPNGSaveOptions& options,
                       const TSwapIndexFrames& frames);

// Both pictures to their files, each through a temporary file that replaces the target only
// when complete (as SavePicture): the lut as saving writes a picture with alpha, the index as
// WriteSwapIndexPng. Returns the bytes written to both.
int64_t SaveSwapTexture(const std::string& lutPath, const std::string& indexPath, const TSwapTexture& texture,
                        const TPNGSaveOptions& options = {}, bool replaceExisting = true);

} // namespace tintabrel
