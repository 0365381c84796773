// The command-line tool: the window's recolouring and file handling, run over many files.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "app/PictureFiles.h"
#include "app/cli/Animations.h"
#include "app/cli/Recipe.h"
#include "recolour/HueReplace.h"

namespace tintabrel::cli {

// A mistake in the command line found after the options were read (exit status 2).
class TUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr int ExitDone = 0;
inline constexpr int ExitFailed = 1;
inline constexpr int ExitUsage = 2;


struct TOutputOptions {
    std::string OutputFile;             // -o; "-" is standard output
    std::string OutputDir;              // --out-dir
    TPictureKind Format = nullptr; // --format, Unknown when not given
    bool Overwrite = false;
    bool Update = false;  // --update: an output newer than its input (and the recipe and list) is kept
    bool InPlace = false; // --in-place: each input is replaced by its result
    bool BreakHardLinks = false; // --break-hard-links: --in-place may replace a file of several names
    bool Preserve = false; // --preserve: each output takes its input's modification time
    bool NoTime = false;  // --no-time: no tIME chunk
    bool Strip = false;   // --strip: only the chunks the pixels need
    TPNGSaveOptions Png;
    TAnimationOptions Animation; // --first-frame, --sheet, --frames, --delay
};

struct TRunOptions {
    unsigned Jobs = 1;
    int64_t MaxPixels = 0; // --max-pixels (0: the program's limit)
    bool Quiet = false;
    bool Verbose = false;
};

// Inputs may be "-" (standard input, the one input of -o) and files that cannot seek (FIFOs,
// pipes), which are read whole first.
struct TRecolourOptions {
    TRecipe Recipe;      // the changes and variants (app/cli/Recipe.h)
    bool DryRun = false; // count what each change would do, write nothing
    bool Json = false;   // the dry run's report as JSON
    std::string ListFile; // empty: nothing protected
    std::string ListFrom; // where ListFile was named, for messages
    bool Recursive = false; // folders among the inputs are walked
    std::vector<std::string> MadeFrom; // the recipe and list files: an output older than them is not up to date
    bool TrueColour = false; // --truecolour: 24-bit output, palettes not kept
    TOutputOptions Output;
    TRunOptions Run;
    std::vector<std::string> Inputs;
};

// convert INPUT OUTPUT is Inputs {INPUT} with Out.OutputFile OUTPUT.
struct TConvertOptions {
    std::vector<std::string> Inputs; // "-": standard input
    bool Recursive = false;
    TOutputOptions Out; // where the outputs go, their format, overwrite, update and PNG settings
    TRunOptions Run;
    bool Json = false;
};

struct TInfoOptions {
    bool Json = false;
    int64_t MaxPixels = 0;
    bool Recursive = false;
    std::vector<std::string> Inputs;
};


// palette INPUT [-o FILE] [--json].
struct TPaletteOptions {
    std::string Input;  // "-": standard input
    std::string Output; // a palette file, its format by its extension; "": .hex lines on standard output
    bool Overwrite = false;
    bool Json = false; // each colour with its pixel count on standard output
    int64_t MaxPixels = 0;
};

// Each returns the exit status; TUsageError for command lines that make no sense as a whole.
int RunRecolour(const TRecolourOptions& options);
int RunConvert(const TConvertOptions& options);
int RunInfo(const TInfoOptions& options);
int RunPalette(const TPaletteOptions& options);

} // namespace tintabrel::cli
