// GIF files (GIF87a and GIF89a) read into and written from the picture model, through giflib.
//
// Reading gives an animation of one frame or more: each frame is a palette picture of its own
// rectangle, holding the colour table in effect for it (its local one, else the global one) with
// every entry in order, PaletteBits that table's size (2^bits entries), and a transparency index
// as alpha 0 in IndexAlpha and an alpha plane (255 on the pixels of that index), as a palette
// PNG with one transparent index reads. The picture itself (Image, Alpha) is the first frame on
// the canvas. What else the file says (tables, disposal, loop count, comments ...) is kept in
// the GIF records of the model, so that writing gives the same animation back.
//
// Frame rectangles: a rectangle reaching beyond the logical screen is cut at the screen's edge
// (the part beyond is never shown); one wholly outside it is refused. A frame that uses an index
// beyond the table in effect, or has no table at all, is refused: no colour would be right.
// Comments are kept in their order but written together before the first frame; application
// blocks other than the loop count, and plain-text blocks, are left out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "base/Exceptions.h"
#include "image/Animation.h"
#include "image/PictureData.h"

namespace tintabrel {

class TStream;

// A GIF file refused by the reader; what() names the frame or block and the cause, in English.
class EGifError : public EInvalidGraphic {
public:
    using EInvalidGraphic::EInvalidGraphic;
};

// Whether the bytes start with "GIF87a" or "GIF89a".
bool HasGifSignature(const uint8_t* bytes, size_t count);
// The logical screen's width and height as the header gives them (0, 0 when the bytes are no GIF
// header), with no limit applied.
std::pair<int64_t, int64_t> GifDeclaredSize(const uint8_t* head, size_t count);

// What a GIF declares, read without decoding its pixels: the screen, the loop count (Plays as
// LoadGif gives it) and each frame's rectangle (as kept on the screen) and delay in hundredths.
// The checks LoadGif makes of the blocks and of the limits are made (EGifError), those of the
// pixels not. From a stream that can tell its size. Bytes that end before the trailer (a file cut
// short, or the start of a pipe) give what they hold: the frames whole in them, and Cut (more
// may follow); only bytes that end before the screen's description are refused for it.
struct TGifOutline {
    int32_t Width = 0;
    int32_t Height = 0;
    uint32_t Plays = 1;
    struct TFrameBox {
        int32_t X, Y, Width, Height;
        uint16_t Delay;
    };
    std::vector<TFrameBox> Frames;
    std::vector<std::string> Comments; // the comment extensions' texts, in order
    int32_t GlobalTableSize = 0;       // entries of the global colour table (0: none)
    bool Alpha = false;                // a frame has a transparency index within its table
    bool Cut = false;
};
TGifOutline ReadGifOutline(TStream& stream, const TAnimationLimits& limits = {});

// Reads a GIF from the stream's position into data (replacing what it held). The limits are
// applied to the screen and to each frame's declared size before its pixels are decoded or
// anything is sized for them, and a frame larger than the rest of the file could possibly hold
// (the most LZW gives from one byte) is refused before it is decoded. EGifError for any file
// refused; EReadError when the stream itself fails.
void LoadGif(TStream& stream, TPictureData& data, const TAnimationLimits& limits = {});

// Writes data as a GIF89a. An animation keeps, per frame, its indices, its table's size and
// entry order, its transparency index, interlacing, disposal, delay and rectangle, and the file's
// loop count, background index and comments. The global table is the table of the first frame
// that used it (all frames, for an animation that did not come from a GIF), so that a change made
// alike to every frame changes it once; a frame that used it and still has the same table is
// written with it, any other with a local table of its own size. A still picture is written as a
// one-frame GIF with a global table. Pixels of several fully transparent indices are written as
// the one transparency index (the frame's own when it is among them). EConvertError, before
// anything is written, for a frame or picture that is no palette picture (GIF holds at most 256
// colours; no colours are reduced here), or whose transparency GIF cannot hold (partial alpha,
// or pixels of one index that differ in it), or that a frame after the first replaces the canvas with transparent pixels
// (blend source: GIF only draws over); EWriteError when the stream fails.
void SaveGif(TStream& stream, const TPictureData& data);

} // namespace tintabrel
