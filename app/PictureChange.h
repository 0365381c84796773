// One change (a hue window and the protected colours) applied to a loaded picture: the step
// that recolour repeats for every file, and that chains of changes repeat on its result.
#pragma once

#include "app/PictureFiles.h"
#include "recolour/HueReplace.h"

namespace tintabrel {

// after becomes before with the change applied, in before's format: a picture from a palette
// file (PaletteBits set) keeps its palette order, indices and depth and gets its entries
// recoloured; any other picture, or any picture with trueColour, becomes the engine's 24-bit
// result. The pixels equal ReplaceHue's either way. The alpha is carried over unchanged, and
// the engine reads it for VisibleOnly (an alpha that is not 8-bit or not of the picture's size,
// which saving leaves out, counts as none).
// With counts (a dry run, which writes nothing) the pixels are counted on the 24-bit path.
// threads: as many as a large picture may be recoloured on.
void ApplyChange(const TPictureData& before, TPictureData& after, const TProtectedColors& protectedColors,
                 const THueWindow& window, bool trueColour = false, THueCounts* counts = nullptr,
                 unsigned threads = 1);

// An animation's frames are changed each as it stands in the file (as if decoded alone), and its
// still picture composed again from them; counts are all frames'.

// The same with the picture as both: a picture that ends 24-bit is recoloured where it lies, so
// a caller that does not keep the before picture pays for no copy.
void ApplyChangeInPlace(TPictureData& picture, const TProtectedColors& protectedColors, const THueWindow& window,
                        bool trueColour = false, THueCounts* counts = nullptr, unsigned threads = 1);

// An animation's still picture (Image, Alpha) made again from its frames: the first frame on the
// canvas, as a still format shows it. Nothing for a still picture.
void ShowFirstFrame(TPictureData& picture);

} // namespace tintabrel
