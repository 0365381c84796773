// An animation (GIF, APNG) as the program holds it: a canvas, and frames that each hold their
// own rectangle of it as a picture of their own, with how long they show and what happens to
// the canvas before and after. A change is made to each frame's picture as it stands in the file
// (never to a composited canvas), so that a frame is changed exactly as it would be alone.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "image/PictureData.h"

namespace tintabrel {

// What becomes of the frame's rectangle once it has been shown, before the next frame is drawn.
enum class TFrameDispose : uint8_t {
    None,       // left as it is
    Background, // cleared to fully transparent
    Previous,   // put back as it was before the frame was drawn
};

// How the frame's pixels go onto the canvas.
enum class TFrameBlend : uint8_t {
    Source, // replace the rectangle, alpha included
    Over,   // drawn over what is there (alpha compositing)
};

// What a GIF says of a frame beyond the neutral fields, kept for writing it back as it was.
struct TGifFrameFacts {
    uint8_t Disposal = 0;         // the file's disposal method 0..7 (0, 1 and the undefined 4..7 leave the frame)
    bool UserInput = false;
    bool Interlaced = false;
    bool LocalTable = false;      // the frame had a local colour table
    int32_t LocalTableBits = 0;   // its size as 2^bits entries (1..8)
    int32_t TransparentIndex = -1;
};

// What an APNG says of a frame beyond the neutral fields.
struct TApngFrameFacts {
    uint8_t DisposeOp = 0; // 0 none, 1 background, 2 previous, as in fcTL
    uint8_t BlendOp = 0;   // 0 source, 1 over
};

struct TFrame {
    TPictureData Picture; // the frame's rectangle: Picture.Image is Width x Height of it
    int32_t X = 0;        // the rectangle's place on the canvas
    int32_t Y = 0;
    // Delay as a fraction of a second (GIF: hundredths; APNG: as fcTL gives it, 0 den = 100).
    uint16_t DelayNum = 0;
    uint16_t DelayDen = 100;
    TFrameDispose Dispose = TFrameDispose::None;
    TFrameBlend Blend = TFrameBlend::Over;
    std::optional<TGifFrameFacts> Gif;
    std::optional<TApngFrameFacts> Apng;
};

// What a GIF says of the whole file beyond the neutral fields.
struct TGifFacts {
    bool GlobalTable = false;
    int32_t GlobalTableBits = 0;  // 2^bits entries
    std::vector<TRGBQuad> GlobalColours; // the global colour table as read (entries in order)
    int32_t BackgroundIndex = 0;
    int32_t AspectByte = 0;
    int32_t ColourResolution = 8;
    bool Loops = false;           // a NETSCAPE2.0 block was present
    std::vector<std::string> Comments;
};

struct TAnimation {
    int32_t Width = 0;  // the canvas
    int32_t Height = 0;
    uint32_t Plays = 0; // 0: for ever (GIF loop count, APNG num_plays)
    std::vector<TFrame> Frames;
    // An APNG whose default image is not one of the frames keeps it here (it is changed too).
    std::optional<TPictureData> HiddenDefault;
    std::optional<TGifFacts> Gif;

    // The pixels of all frames (their rectangles), for budgets and limits.
    int64_t FramePixels() const;
};

// What a reader of animations accepts: beyond these a file is refused (with the sizes named)
// before its frames are decoded, so that a tiny file declaring huge or countless frames cannot
// exhaust the machine. 0 takes the default.
struct TAnimationLimits {
    int64_t MaxFramePixels = 0; // per frame and for the canvas (default: MaxPicturePixels())
    int64_t MaxTotalPixels = 0; // all frames' rectangles together (default: 2^30)
    int64_t MaxFrames = 0;      // default: 65536

    int64_t FramePixels() const;
    int64_t TotalPixels() const { return MaxTotalPixels > 0 ? MaxTotalPixels : int64_t{1} << 30; }
    int64_t Frames() const { return MaxFrames > 0 ? MaxFrames : 65536; }
};

// The canvas after frames 0..index have been drawn in turn, as a viewer shows frame index:
// 24-bit colour with its alpha beside it (fully transparent where nothing was drawn).
TPictureData ComposeFrame(const TAnimation& animation, size_t index);
// The same canvas for every frame in turn, each frame drawn once (ComposeFrame for each index
// would draw the first frames again for every later one): show(index, canvas).
void ComposeFrames(const TAnimation& animation, const std::function<void(size_t, TPictureData&)>& show);

} // namespace tintabrel
