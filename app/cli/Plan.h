// Planning a run before anything is written: which inputs there are (folders walked with -r),
// where each of their outputs goes, which outputs must not be written (an input, a folder, an
// existing file without --overwrite) and which are up to date (--update).
#pragma once

#include <string>
#include <vector>

#include "app/cli/CliTool.h"

namespace tintabrel::cli {

struct TOutputPlan {
    std::string Path;     // "" in a dry run without an output; "-" is standard output
    TPictureKind Kind = nullptr; // Unknown: the input's, once it is known
    std::string Variant;  // the recipe variant this output is of, "" for the plain chain
    std::string Refusal;  // why it must not be written
    bool Overwrite = false; // an existing output may be replaced
    bool UpToDate = false;  // --update: newer than everything it is made from
};

// One input and every output made from it: the input is read once, whatever number it feeds.
struct TInputPlan {
    std::string Input;    // "-" is standard input
    TPictureKind Kind = nullptr;
    std::string Refusal;  // why the input cannot be processed at all
    std::vector<TOutputPlan> Outputs;
};

// An input as given, or the picture files of a folder with -r (sorted by path), each with the path
// its outputs take below --out-dir (the file's name, or its path below the folder walked); a
// folder without -r is refused.
struct TFound {
    std::string Path;
    std::string Below;
    std::string Refusal;
};
std::vector<TFound> FindInputs(const std::vector<std::string>& inputs, bool recursive);

// The plan of recolour: inputs in the order given (a folder's files sorted by path), each with
// the plain output when the recipe has a chain and one per variant. TUsageError for command lines
// that make no sense as a whole (two inputs to one output ...).
std::vector<TInputPlan> PlanRecolour(const TRecolourOptions& options);
// The plan of convert: as recolour's, one output per input.
std::vector<TInputPlan> PlanConvert(const TConvertOptions& options);

// The kind of an input file: by its extension in any letter case; for other extensions by the
// first bytes of a regular file. Unknown when neither tells (or the file cannot be read).
TPictureKind InputKind(const std::string& path);
const char* KindName(TPictureKind kind);

// mkdir -p: the folder and every missing folder above it.
void MakeFolders(const std::string& dir);

} // namespace tintabrel::cli
