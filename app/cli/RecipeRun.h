// Running a recipe on one picture: its chain of changes, each starting from the result of the
// one before, and the dry run's report of what each change would do.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/PictureChange.h"
#include "app/PictureFiles.h"
#include "app/PicturePipeline.h"
#include "app/cli/Recipe.h"
#include "base/StringList.h"

#include <nlohmann/json.hpp>

namespace tintabrel::cli {

struct TRecolourOptions;

// The source position that pick sets on picture: a click on that pixel at zoom 1. A pixel outside
// the picture or a grey one (no hue) raises std::runtime_error.
int PickSource(const TBitmap& picture, const TPixelPick& pick);

struct TChangeReport {
    THueWindow Window; // with the picked source, when the change picks it
    std::optional<TPixelPick> Pick;
    TChangeRegion Region;
    THueCounts Counts; // inside the region only
    // A palette step: the step, and the entries of its FROM palette that no pixel has (a remap:
    // the entries of its palette that no pixel was given), in ascending order.
    std::shared_ptr<const TPaletteStep> Palette;
    std::vector<int32_t> Unmatched;
};

// picture becomes the result of every change of chain in turn, exactly as check, L, check ... in
// the window: each change starts from the previous result, and the protected colours are looked
// up in that step's before picture. Each step goes through ApplyChange, kept to its region, so
// palette pictures stay palette pictures unless trueColour (or a region leaves no room in the
// palette: the outcome says so). With reports, each change is counted and reported there.
// threads: as many as a large picture may be recoloured on.
TChangeOutcome ApplyChain(TPictureData& picture, const TChain& chain, const TProtectedColors& protectedColors,
                          bool trueColour, std::vector<TChangeReport>* reports = nullptr, unsigned threads = 1);

// The chain as hue windows applied row by row (each kept to its region), when it is only that
// (no change picks its source from the picture, none is a palette step); none otherwise.
std::optional<TRowChange> RowChangeOf(const TChain& chain, const TProtectedColors& protectedColors);

// The chain of the plain output ("") or of the variant of that name.
const TChain& ChainOf(const TRecipe& recipe, const std::string& variant);

// Where the variant's output goes: output with "_" NAME before its extension.
std::string VariantOutput(const std::string& output, const std::string& variant);

// The protected list of options: --list (or the recipe file's path), or the recipe file's
// colour strings; empty when neither. A list file that cannot be read is a TUsageError.
TStringList ProtectedList(const TRecolourOptions& options);

struct TInputPlan;

// What a dry run found, printed per input, in the order of the inputs whatever order the work
// finishes in: as text, or as one JSON object per line.
class TDryRunReport {
public:
    struct TResult {
        int32_t Width = 0;
        int32_t Height = 0;
        int64_t Frames = 0; // an animation's, all counted (0: a still picture)
        std::vector<TChangeReport> Changes;
    };

    // Every planned output; print takes each input's finished text.
    TDryRunReport(const std::vector<TInputPlan>& plans, bool json, std::function<void(const std::string&)> print);

    // Runs work for output k of the plan and prints what is complete. An output whose work throws
    // is left out of the report (the exception goes on to the caller, which reports it).
    void Run(const TInputPlan& plan, size_t k, const std::function<void(TResult&)>& work);
    // The output failed before its work could run (its input did not load, say); an input with no
    // outputs (a folder the walk could not read) fails as its output 0.
    void Failed(const TInputPlan& plan, size_t k, const std::string& error);

private:
    struct TOutput {
        std::string Input;
        std::string Output; // "" when the dry run names none
        std::string Variant;
        bool Runs = true; // false for an output refused before the run
        bool Placeholder = false; // stands for an input with no outputs
        std::string Error; // why it failed
    };
    size_t IndexOf(const TInputPlan& plan, size_t k) const;
    void Finish(size_t index, TResult* result);
    void Print(size_t first, size_t end);
    // The message of the first output of [first, end) that failed, or null.
    nlohmann::ordered_json FirstError(size_t first, size_t end) const;

    const TInputPlan* plans_;
    std::vector<size_t> firstOfPlan_;
    std::vector<TOutput> outputs_;
    std::vector<TResult> results_;
    std::vector<char> state_; // 0 waiting, 1 done, 2 failed
    size_t printed_ = 0;
    bool json_;
    std::function<void(const std::string&)> print_;
    std::mutex mutex_;
};

} // namespace tintabrel::cli
