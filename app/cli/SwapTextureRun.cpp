#include "app/cli/SwapTextureRun.h"

#include "app/SafeFile.h"
#include "app/SwapTextureFiles.h"
#include "app/cli/RecipeRun.h"
#include "recolour/ColourMap.h"

namespace tintabrel::cli {

namespace {

const TSwapTexture& MakeTexture(const TPictureData& picture, const TRecipe& recipe,
                                const TProtectedColors& protectedColors, bool trueColour, unsigned threads,
                                TSwapTextureWork& work)
{
    if (work.Texture) return *work.Texture;
    if (work.Error) std::rethrow_exception(work.Error);
    try {
        // Each frame of an animation would need a texture of its own.
        if (picture.Animated())
            throw EColourMap("--emit-lut: an animation has no one picture for a swap texture");
        std::vector<const TChain*> chains;
        std::vector<std::string> names;
        if (recipe.Variants.empty()) {
            chains.push_back(&recipe.Chain);
            names.push_back("the change");
        }
        for (const TVariant& variant : recipe.Variants) {
            chains.push_back(&variant.Chain);
            names.push_back("variant " + variant.Name);
        }
        std::vector<TPictureData> results(chains.size());
        std::vector<const TPictureData*> made;
        for (size_t k = 0; k < chains.size(); ++k) {
            results[k].Assign(picture);
            ApplyChain(results[k], *chains[k], protectedColors, trueColour, nullptr, threads);
            made.push_back(&results[k]);
        }
        work.Texture = BuildSwapTexture(picture, made, names);
    } catch (...) {
        work.Error = std::current_exception();
        throw;
    }
    return *work.Texture;
}

} // namespace

TPipelineOutput SwapTextureOutput(const TOutputPlan& out, const TRecipe& recipe, const TProtectedColors& protectedColors,
                                  bool trueColour, const TPNGSaveOptions& png, std::shared_ptr<TSwapTextureWork> work)
{
    TPipelineOutput made;
    made.Kind = out.Kind;
    made.Overwrite = out.Overwrite;
    made.Png = png;
    // A texture is read by a shader as it stands: RGBA as made, one pass of rows.
    made.Png.Optimize = false;
    made.Png.Interlace = false;
    made.Png.TrueColourOnly = true;
    made.Png.Strip = true; // data for a shader: no gamma, time or texts
    const auto texture = [&recipe, &protectedColors, trueColour, threads = png.Threads, work](const TPictureData& picture) -> const TSwapTexture& {
        return MakeTexture(picture, recipe, protectedColors, trueColour, threads, *work);
    };
    if (out.Texture == "lut") {
        made.Path = out.Path;
        made.Change = [texture](TPictureData& picture) {
            TPictureData lut;
            lut.Assign(texture(picture).Lut);
            picture.Assign(lut);
        };
        return made;
    }
    made.Take = [texture, path = out.Path, overwrite = out.Overwrite, png = made.Png](TPictureData& picture) {
        TSafeFileWriter writer(path, overwrite);
        WriteSwapIndexPng(writer.Stream(), texture(picture), png);
        writer.Commit(overwrite);
    };
    return made;
}

} // namespace tintabrel::cli
