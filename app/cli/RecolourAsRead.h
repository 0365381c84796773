// A large PNG recoloured and written while it is still being read: the encoder starts once the
// decoder has sized the picture and compresses rows as soon as they are stored and recoloured, so
// that compressing overlaps inflating instead of waiting for the whole picture.
#pragma once

#include <string>

#include "app/PictureFiles.h"
#include "app/cli/Inputs.h"
#include "app/cli/Recipe.h"
#include "recolour/HueReplace.h"

namespace tintabrel::cli {

// Whether a PNG going to a PNG file can go this way: at least two threads and a million pixels;
// colour type 2 or 6, not interlaced, no transparent colour (so each row is final once stored);
// changes without picks; neither optimising nor interlacing asked. Reads the input's chunks up to
// its image data; the input is rewound. A file it cannot read is left to the plain load.
bool CanRecolourAsRead(TInput& input, const TChain& chain, const TPNGSaveOptions& png, unsigned threads);

// Loads the input on threads threads, recolours it by chain and writes it to output (an existing
// output replaced only with overwrite), all at once. The file appears only when all of it was read
// and written; the messages are those of loading and saving one after the other.
void RecolourAsRead(TInput& input, const std::string& output, bool overwrite, const TChain& chain,
                    const TProtectedColors& protectedColors, const TPNGSaveOptions& png, unsigned threads);

} // namespace tintabrel::cli
