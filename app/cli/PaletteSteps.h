// Steps of a chain that change colours by palette files instead of by a hue window: an exact map
// (entry i of FROM becomes entry i of TO) and a remap to the nearest entry of a palette. They go
// in a chain beside the hue windows, on the command line (--palette-map, --remap, --map
// palette:FROM:TO), in variants (palette:FROM:TO) and in recipe files.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/PictureFiles.h"
#include "recolour/ColourMap.h"

namespace tintabrel::cli {

struct TPaletteStep {
    enum class TKind { Map, Remap };
    TKind Kind = TKind::Map;
    std::string From; // the FROM palette file; a remap's palette
    std::string To;   // the TO palette file (none for a remap)
    // Read from the files once the recipe is complete (ResolvePaletteSteps).
    std::shared_ptr<const TColourMap> Map;
    std::shared_ptr<const TRemapPalette> Remap;

    // "palette map team.gpl -> red.gpl", "remap to pico8.hex": how reports and messages name it.
    std::string Text() const;
};

// The step form in variants and recipes: "palette:FROM:TO". The file names hold no ':'.
inline constexpr std::string_view PaletteStepTag = "palette:";
bool IsPaletteStepText(std::string_view text);
// std::invalid_argument saying what is wrong.
TPaletteStep ParsePaletteStep(std::string_view text);

// The steps of a variant's chain "STEP/STEP/...": split at each '/', except that a palette step's
// paths keep theirs: a '/' ends such a step only where the text after it, up to the next '/',
// holds a ':' (a hue window "P:T:H" or another "palette:" step), which no path of a palette step
// does.
std::vector<std::string> SplitChainSteps(std::string_view text);
// The same on the pieces of a chain already split at its '/' (outside masks' quotes).
std::vector<std::string> JoinPaletteSteps(const std::vector<std::string_view>& pieces);

// The text of a step or a variant's chain with each relative path of its palette steps taken from
// folder (a recipe file's). Other steps are left as they are. std::invalid_argument when a path so
// taken would hold a ':' (a folder's), which the step's text cannot carry.
std::string RebasePaletteSteps(const std::string& text, const std::string& folder);

// Reads palette files for steps, each file and each pair once per run. Refusals (a file that
// cannot be read, FROM and TO of different lengths, a colour twice in FROM, an empty remap
// palette) raise std::invalid_argument naming the files.
class TPaletteStepReader {
public:
    void Read(TPaletteStep& step);

private:
    const std::vector<TColor>& Colours(const std::string& path);

    std::map<std::string, std::vector<TColor>> files_;
    std::map<std::pair<std::string, std::string>, std::shared_ptr<const TColourMap>> maps_;
    std::map<std::string, std::shared_ptr<const TRemapPalette>> remaps_;
};

// The step on picture, where it lies: a map keeps a palette picture's indices, palette length and
// order, bit depth and per-index alpha; a remap makes a palette picture whose palette begins with
// the palette's entries when the result fits one (unless trueColour). visibleOnly: pixels of alpha 0
// are left alone and not counted. counts: what a dry run reports.
void ApplyPaletteStep(TPictureData& picture, const TPaletteStep& step, const TProtectedColors& protectedColors,
                      bool visibleOnly, bool trueColour, TColourMapCounts* counts = nullptr, unsigned threads = 1);

} // namespace tintabrel::cli
