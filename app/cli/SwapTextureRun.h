// --emit-lut: the swap texture of each input's variants, written beside its outputs as two PNG
// files, a lookup picture and an index picture.
#pragma once

#include <exception>
#include <memory>
#include <optional>

#include "app/PicturePipeline.h"
#include "app/SwapTextureFiles.h"
#include "app/cli/Plan.h"
#include "app/cli/Recipe.h"
#include "recolour/SwapTexture.h"

namespace tintabrel::cli {

// What the two parts of one input's swap texture share: the texture, made once, or why not.
struct TSwapTextureWork {
    std::optional<TSwapTexture> Texture;
    std::optional<TSwapIndexFrames> Frames; // an animation's: its frames stand one under another
    std::exception_ptr Error;
};

// The pipeline output that writes part out.Texture ("lut" or "index") of the swap texture of the
// picture as read: row 0 its colours, row k what variant k (without variants, the plain chain)
// makes of each, each chain applied as for its output. The lut goes the way of every picture
// (saved as RGBA PNG, neither optimised nor interlaced); the index is written as grey PNG.
// An animation's texture covers every frame as a viewer shows it (the lut all their colours) and
// its index picture is an animated PNG of the frames' columns with the animation's timing.
// EColourMap, as the output's failure, where a change does not depend on the colour alone.
TPipelineOutput SwapTextureOutput(const TOutputPlan& out, const TRecipe& recipe, const TProtectedColors& protectedColors,
                                  bool trueColour, const TPNGSaveOptions& png, std::shared_ptr<TSwapTextureWork> work);

} // namespace tintabrel::cli
