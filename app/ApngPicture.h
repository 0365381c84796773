// Animated PNG files as pictures: each frame decoded by the PNG reader into a picture of its own
// (its rectangle, as the file holds it), and frames written by the PNG writer into one file.
#pragma once

#include "app/PictureFiles.h"
#include "base/Streams.h"
#include "image/Animation.h"
#include "image/PictureData.h"

namespace tintabrel {

// Loads a PNG file, animated or not. An animation's frames come with their rectangles, delays,
// dispose and blend ops and the play count; the picture itself (Image, Alpha, palette facts) is
// the default image, the one a plain PNG reader shows, which is either the first frame or a
// picture of its own kept as the animation's HiddenDefault. A file without acTL loads as a still
// picture without Animation. The file is checked and measured against limits before a frame is
// decoded (EVRQPNG with the cause); a frame's picture fails as the PNG reader fails. On failure
// the data is left as it was.
void LoadApng(TStream& stream, TPictureData& data, const TLoadOptions& options, const TAnimationLimits& limits);

// Writes the picture as an APNG when it has frames (a still picture as a plain PNG): the frames
// and the hidden default image are written, the picture's own Image and Alpha are not (they are
// what a still format shows of the animation). All frames
// share one pixel layout, as the format requires: the palette when every frame is a palette
// picture with the same palette and per-index alpha, otherwise RGB, or RGBA when any frame has
// transparency. With Optimize the layout is still one for all frames, chosen for the whole
// animation (their palette kept; else one palette for all their colours when they have at most
// 256; else RGB, or RGBA when a pixel is not opaque), and each frame gets the smallest data the
// optimizer's row-filter rules and compression find in it; the plain save competes, so the file
// is never larger. Without a hidden default image, a first frame that does not cover the canvas
// gets one: that frame as a plain reader should show it (in the frames' palette, when they share
// one with a fully transparent entry for the rest of the canvas).
// EInvalidGraphic when a frame's rectangle lies outside the canvas or a picture is empty.
void SaveApng(TStream& stream, const TPictureData& data, const TPNGSaveOptions& options);

} // namespace tintabrel
