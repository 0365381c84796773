// Recipes: several hue changes applied one after another, as check, L and check again in the
// window, and variants, each a chain of its own that gives one more output per input. They come
// from the command line and from a recipe file (JSON) whose fields are the options' names.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/PictureChange.h"
#include "app/cli/PaletteSteps.h"
#include "recolour/HueReplace.h"

namespace tintabrel::cli {

struct TRecolourOptions;

// A pixel of the picture a change starts from; a click on it at zoom 1 sets the source.
struct TPixelPick {
    int32_t X = 0;
    int32_t Y = 0;
};

// Where a change, a variant or every change is kept to, as written: a rectangle and a mask file.
// A change's own rectangle wins over its variant's and that over the one for every change; so
// does its mask. Both set: where both hold.
struct TPlace {
    std::optional<TRegionRect> Rect;
    std::optional<std::string> Mask; // the path
    bool Empty() const { return !Rect && !Mask; }
    // This place's rectangle and mask, each where it is not set taken from wider.
    TPlace Within(const TPlace& wider) const;
};

// One check with these settings. With Pick, the source position is the picked one and
// Window.Source is ignored.
struct TChange {
    THueWindow Window;
    std::optional<TPixelPick> Pick;
    TPlace Place;         // as written on the step
    TChangeRegion Region; // as resolved: the rectangle and the mask read (ResolveRecipe)
    // Set: this step maps colours by palettes instead (app/cli/PaletteSteps.h); of Window only
    // VisibleOnly applies to it, and it takes no region.
    std::shared_ptr<TPaletteStep> Palette;
};
using TChain = std::vector<TChange>;

// NAME is letters, digits, '-' and '_'; its output is <stem>_<NAME>.<ext>.
struct TVariant {
    std::string Name;
    TChain Chain;
    TPlace Place; // for each of its changes
};

struct TRecipe {
    TChain Chain; // the plain output's changes; empty when only variants are written
    std::vector<TVariant> Variants;
    // --emit-lut: each input also gets a swap texture of its variants (NAME_lut.png, NAME_index.png).
    bool EmitLut = false;
    // The protected colours written in the recipe file itself, when it gives them inline.
    std::optional<std::vector<std::string>> ListColours;
};

// The source position of an ordinary hue in degrees 0..360: (240 - hue) mod 360.
int SourceOfHue(int hue);

// "P:T:H" (source position, tolerance, target hue) or "hF:T:H" (source as a hue in degrees),
// then "+option" suffixes (recolour/HueOptions.h) and where it applies: "@X,Y,W,H" (a
// rectangle) and "@mask=\"FILE\"" (a mask picture; within the quotes \" and \\ stand for " and \,
// nothing else is special, so any path survives). std::invalid_argument says what is wrong.
TChange ParseChange(const std::string& text);
// "NAME[@X,Y,W,H][@mask=\"FILE\"]=STEP[/STEP...]", each STEP as ParseChange takes it or
// "palette:FROM:TO".
TVariant ParseVariant(const std::string& text);
// "X,Y".
TPixelPick ParsePick(const std::string& text);
// "X,Y,W,H": X and Y from 0, W and H from 1.
TRegionRect ParseRegion(const std::string& text);
// "@mask=\"FILE\"" for a path.
std::string MaskSuffix(const std::string& path);
// The text of a step or a variant (as ParseChange and ParseVariant take it) with each relative
// mask path taken from folder (a recipe file's).
std::string RebaseMasks(const std::string& text, const std::string& folder, bool variant);

// The recipe options as CLI11 stores them; which of them were given is asked of CLI11.
struct TRecipeArgs {
    int Source = 0;
    int FromHue = 0;
    std::string Pick;
    int Tolerance = 18;
    int Target = 0;
    std::vector<std::string> Maps;
    std::vector<std::string> Variants;
    // The steps after the first change, in the order given: --map, --palette-map and --remap.
    struct TStep {
        const char* Option; // "map", "palette-map" or "remap"
        std::string Text;   // --map's P:T:H; --palette-map's FROM; --remap's palette
        std::string To;     // --palette-map's TO
    };
    std::vector<TStep> Steps;
    // How many of Steps were given before the first change's source option (--source, --from-hue,
    // --pick): the first change goes there, but never after a --map.
    size_t FirstAt = 0;
    // --palette-map's FROM until its TO comes.
    std::optional<std::string> PaletteFrom;
    std::string RecipeFile;
    // The hue-window options, for every change (recolour/HueOptions.h).
    THueWindow Common;
    // --region and --mask: where every change applies.
    std::string Region;
    std::string Mask;
};

struct TSettings;

// Completes the recolour options from the command line and, for what the command line leaves out,
// from the recipe file: its fields go through the same option checks, relative paths in it are
// taken from the file's folder. TUsageError names the option, or the file and the field, that is
// wrong.
void ResolveRecipe(TSettings& settings);

} // namespace tintabrel::cli
