// Animated PNG at the level of chunks. An APNG is a PNG whose acTL says how many frames it has
// and how often they play; each frame has a control chunk (fcTL: rectangle, delay, dispose and
// blend ops) and image data (IDAT for a frame that is the default image, fdAT otherwise), the
// control and data chunks numbered in one sequence. Reading walks the chunks, checks them all and
// gives each frame as a PNG file of its own, so that the codec's reader decodes it as any picture;
// writing joins PNG files of one pixel layout into one APNG. A plain PNG reader sees the default
// image only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/Streams.h"
#include "image/Animation.h"
#include "png/VRQPNGTypes.h"

namespace tintabrel {

// What fcTL says of a frame (the sequence number aside).
struct TApngFrameControl {
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint32_t X = 0;
    uint32_t Y = 0;
    uint16_t DelayNum = 0;
    uint16_t DelayDen = 0; // 0 means 100
    uint8_t DisposeOp = 0; // 0 none, 1 background, 2 previous
    uint8_t BlendOp = 0;   // 0 source, 1 over

    friend bool operator==(const TApngFrameControl&, const TApngFrameControl&) = default;
};

// Where bytes lie in the file read.
struct TByteRange {
    size_t Offset = 0;
    size_t Length = 0;
};

// An APNG file as read: where its parts lie in the file's bytes, everything checked.
struct TApngLayout {
    bool Animated = false;  // an acTL chunk came before the image data; otherwise a still PNG
    uint32_t Width = 0;     // the canvas, IHDR's size
    uint32_t Height = 0;
    uint32_t Plays = 0;     // 0: for ever
    // Whether the image of IDAT is the first frame; otherwise it is shown by plain readers only.
    bool DefaultIsFirstFrame = false;
    TByteRange Header;                    // the IHDR chunk's data
    std::vector<TByteRange> Ancillary;    // whole chunks before the image data that decoding takes
    // Every other chunk, whole, before and after the image data (texts, time, private chunks and
    // those above): the default image's own file has them all.
    std::vector<TByteRange> DefaultBefore;
    std::vector<TByteRange> DefaultAfter;
    std::vector<TByteRange> DefaultData;  // the IDAT chunks' data
    struct TFrame {
        TApngFrameControl Control;
        std::vector<TByteRange> Data;     // the frame's image data (IDAT's or fdAT's, without numbers)
    };
    std::vector<TFrame> Frames;
};

// Walks the chunks of a PNG file. A file without acTL gives Animated false and nothing else is
// checked (the picture reader judges it). Otherwise everything is checked before a frame is
// decoded: acTL before the image data and only once, sequence numbers 0, 1, 2 ... over fcTL and
// fdAT in file order, each rectangle non-empty and inside the canvas (the first frame covering it
// when it is the default image), ops in range, every frame with data, as many frames as acTL
// says, and the limits (frames, pixels per frame and of the canvas, all frames' pixels, and data
// too short to inflate to the rows declared). EVRQPNG with the cause otherwise.
TApngLayout ReadApngLayout(const uint8_t* bytes, size_t size, const TAnimationLimits& limits);

// A PNG file of one frame (or, for index DefaultImage, of the default image): the file's IHDR with
// the frame's size, the chunks of the layout's Ancillary, the frame's data as IDAT, IEND. The
// default image (and the first frame when it is the default image) has all the file's chunks but
// the animation's, each on its side of the image data.
inline constexpr size_t DefaultImage = static_cast<size_t>(-1);
std::vector<uint8_t> ApngFramePng(const uint8_t* bytes, const TApngLayout& layout, size_t frame);

struct TApngWriteFrame {
    TApngFrameControl Control;
    std::vector<uint8_t> Png; // a PNG file of the frame's size
};

// Writes an APNG: the file of the default image (the first frame's, or hidden when given) with
// acTL, fcTL and the other frames' image data as fdAT added. Every PNG file given must have the
// same bit depth, colour type, interlace, PLTE and tRNS; each rectangle must lie inside the
// canvas (the default image's size), the first frame's cover it when it is the default image.
// EInvalidGraphic with the cause otherwise, before anything is written.
void WriteApng(TStream& stream, const std::vector<TApngWriteFrame>& frames, uint32_t plays,
               const std::vector<uint8_t>* hiddenDefault = nullptr);

// Whether two PNG files share their pixel layout (IHDR but its size, PLTE, tRNS): what WriteApng
// requires of its files. False when either is no PNG file.
bool SamePngLayout(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

} // namespace tintabrel
