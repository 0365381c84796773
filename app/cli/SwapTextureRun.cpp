#include "app/cli/SwapTextureRun.h"

#include "app/SafeFile.h"
#include "app/SwapTextureFiles.h"
#include "app/cli/RecipeRun.h"
#include "image/Animation.h"
#include "image/Graphics.h"
#include "recolour/ColourMap.h"

#include <cstring>
#include <stdexcept>

namespace tintabrel::cli {

namespace {

// An animation's frames as a viewer shows them, each on the whole canvas, one under another in
// one picture with its alpha: what a swap texture of the animation covers.
TPictureData StackedFrames(const TAnimation& animation)
{
    const int64_t canvas = int64_t{animation.Width} * animation.Height;
    const int64_t count = static_cast<int64_t>(animation.Frames.size());
    if (count == 0 || canvas <= 0) throw EColourMap("--emit-lut: the animation has no frames");
    if (canvas > MaxPicturePixels() / count)
        throw EColourMap("--emit-lut: the animation's " + std::to_string(count) + " frames of " +
                         std::to_string(animation.Width) + " x " + std::to_string(animation.Height) +
                         " make more pixels than the limit of " + std::to_string(MaxPicturePixels()) + " pixels");
    TPictureData stack;
    stack.Image.SetPixelFormat(TPixelFormat::pf24bit);
    stack.Image.SetSize(animation.Width, static_cast<int32_t>(animation.Height * count));
    stack.Alpha.SetPixelFormat(TPixelFormat::pf8bit);
    stack.Alpha.SetSize(animation.Width, static_cast<int32_t>(animation.Height * count));
    ComposeFrames(animation, [&](size_t index, const TPictureData& shown) {
        // The canvas is the compositor's own (it draws the next frame on it): read, never changed.
        if (shown.Image.PixelFormat() != TPixelFormat::pf24bit) throw std::logic_error("StackedFrames: a canvas not of 24 bits");
        const bool alpha = AlphaPlaneFits(shown.Image, shown.Alpha);
        for (int32_t y = 0; y < animation.Height; ++y) {
            const int32_t to = static_cast<int32_t>(index) * animation.Height + y;
            std::memcpy(stack.Image.ScanLine(to), shown.Image.ConstScanLine(y), 3 * static_cast<size_t>(animation.Width));
            // Without a plane the frame is opaque (0: no transparency).
            if (alpha) std::memcpy(stack.Alpha.ScanLine(to), shown.Alpha.ConstScanLine(y), static_cast<size_t>(animation.Width));
            else std::memset(stack.Alpha.ScanLine(to), 0, static_cast<size_t>(animation.Width));
        }
    });
    return stack;
}

const TSwapTexture& MakeTexture(const TPictureData& picture, const TRecipe& recipe,
                                const TProtectedColors& protectedColors, bool trueColour, unsigned threads,
                                TSwapTextureWork& work)
{
    if (work.Texture) return *work.Texture;
    if (work.Error) std::rethrow_exception(work.Error);
    try {
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
            if (picture.Animated()) {
                // Each frame is changed as it stands in the file; the texture holds them as shown.
                if (!results[k].Animated() || results[k].Animation->Frames.size() != picture.Animation->Frames.size())
                    throw std::logic_error("--emit-lut: a change lost the animation's frames");
                TPictureData shown = StackedFrames(*results[k].Animation);
                results[k] = std::move(shown);
            }
            made.push_back(&results[k]);
        }
        if (!picture.Animated()) {
            work.Texture = BuildSwapTexture(picture, made, names);
        } else {
            work.Texture = BuildSwapTexture(StackedFrames(*picture.Animation), made, names);
            TSwapIndexFrames frames;
            frames.Plays = picture.Animation->Plays;
            for (const TFrame& frame : picture.Animation->Frames) frames.Delays.emplace_back(frame.DelayNum, frame.DelayDen);
            work.Frames = std::move(frames);
        }
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
    made.Take = [texture, work, path = out.Path, overwrite = out.Overwrite, png = made.Png](TPictureData& picture) {
        const TSwapTexture& made = texture(picture);
        TSafeFileWriter writer(path, overwrite);
        if (work->Frames) WriteSwapIndexPng(writer.Stream(), made, png, *work->Frames);
        else WriteSwapIndexPng(writer.Stream(), made, png);
        writer.Commit(overwrite);
    };
    return made;
}

} // namespace tintabrel::cli
