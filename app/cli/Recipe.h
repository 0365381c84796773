// Recipes: several hue changes applied one after another, as check, L and check again in the
// window, and variants, each a chain of its own that gives one more output per input. They come
// from the command line and from a recipe file (JSON) whose fields are the options' names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "recolour/HueReplace.h"

namespace tintabrel::cli {

struct TRecolourOptions;

// A pixel of the picture a change starts from; a click on it at zoom 1 sets the source.
struct TPixelPick {
    int32_t X = 0;
    int32_t Y = 0;
};

// One check with these settings. With Pick, the source position is the picked one and
// Window.Source is ignored.
struct TChange {
    THueWindow Window;
    std::optional<TPixelPick> Pick;
};
using TChain = std::vector<TChange>;

// NAME is letters, digits, '-' and '_'; its output is <stem>_<NAME>.<ext>.
struct TVariant {
    std::string Name;
    TChain Chain;
};

struct TRecipe {
    TChain Chain; // the plain output's changes; empty when only variants are written
    std::vector<TVariant> Variants;
    // The protected colours written in the recipe file itself, when it gives them inline.
    std::optional<std::vector<std::string>> ListColours;
};

// The source position of an ordinary hue in degrees 0..360: (240 - hue) mod 360.
int SourceOfHue(int hue);

// "P:T:H" (source position, tolerance, target hue) or "hF:T:H" (source as a hue in degrees).
// std::invalid_argument says what is wrong.
TChange ParseChange(const std::string& text);
// "NAME=P:T:H[/P:T:H...]".
TVariant ParseVariant(const std::string& text);
// "X,Y".
TPixelPick ParsePick(const std::string& text);

// The recipe options as CLI11 stores them; which of them were given is asked of CLI11.
struct TRecipeArgs {
    int Source = 0;
    int FromHue = 0;
    std::string Pick;
    int Tolerance = 18;
    int Target = 0;
    std::vector<std::string> Maps;
    std::vector<std::string> Variants;
    std::string RecipeFile;
    // The hue-window options, for every change (recolour/HueOptions.h).
    THueWindow Common;
};

struct TSettings;

// Completes the recolour options from the command line and, for what the command line leaves out,
// from the recipe file: its fields go through the same option checks, relative paths in it are
// taken from the file's folder. TUsageError names the option, or the file and the field, that is
// wrong.
void ResolveRecipe(TSettings& settings);

} // namespace tintabrel::cli
