#include "app/cli/PaletteSteps.h"

#include "app/PaletteFiles.h"
#include "app/cli/Messages.h"

#include <algorithm>
#include <filesystem>
#include <new>
#include <optional>
#include <stdexcept>

namespace fs = std::filesystem;

namespace tintabrel::cli {

std::string TPaletteStep::Text() const
{
    return Kind == TKind::Remap ? "remap to " + From : "palette map " + From + " -> " + To;
}

bool IsPaletteStepText(std::string_view text) { return text.substr(0, PaletteStepTag.size()) == PaletteStepTag; }

TPaletteStep ParsePaletteStep(std::string_view text)
{
    const std::string whole(text);
    text.remove_prefix(PaletteStepTag.size());
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos || text.find(':', colon + 1) != std::string_view::npos)
        throw std::invalid_argument("'" + whole + "' is not palette:FROM:TO (two palette files, their names without ':')");
    TPaletteStep step;
    step.From = std::string(text.substr(0, colon));
    step.To = std::string(text.substr(colon + 1));
    if (step.From.empty() || step.To.empty())
        throw std::invalid_argument("'" + whole + "' names no " + (step.From.empty() ? "FROM" : "TO") +
                                    " palette (palette:FROM:TO)");
    return step;
}

std::vector<std::string> JoinPaletteSteps(const std::vector<std::string_view>& pieces)
{
    std::vector<std::string> steps;
    // Whether the last step is a palette step, and how many of its two ':' it has so far.
    bool palette = false;
    size_t colons = 0;
    for (const std::string_view piece : pieces) {
        const size_t pieceColons = static_cast<size_t>(std::count(piece.begin(), piece.end(), ':'));
        if (palette && (colons < 2 || pieceColons == 0)) {
            steps.back().append(1, '/').append(piece);
            colons += pieceColons;
        } else {
            steps.emplace_back(piece);
            palette = IsPaletteStepText(piece);
            colons = pieceColons;
        }
    }
    return steps;
}

std::vector<std::string> SplitChainSteps(std::string_view text)
{
    std::vector<std::string_view> pieces;
    for (;;) {
        const size_t at = text.find('/');
        pieces.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return JoinPaletteSteps(pieces);
        text.remove_prefix(at + 1);
    }
}

std::string RebasePaletteSteps(const std::string& text, const std::string& folder)
{
    if (text.find(PaletteStepTag) == std::string::npos) return text;
    const auto rebased = [&](const std::string& path) {
        const fs::path p(path);
        if (p.is_absolute() || p.empty()) return path;
        const std::string whole = (fs::path(folder) / p).string();
        // The step is read again from this text, where a ':' would end the path.
        if (whole.find(':') != std::string::npos)
            throw std::invalid_argument("the palette " + path + " counts from the folder " + folder +
                                        ", whose name holds a ':', which a palette:FROM:TO step cannot carry "
                                        "(a \"palette-map\" field can)");
        return whole;
    };
    std::string result;
    const std::vector<std::string> steps = SplitChainSteps(text);
    for (size_t k = 0; k < steps.size(); ++k) {
        std::string step = steps[k];
        if (IsPaletteStepText(step)) {
            std::optional<TPaletteStep> parsed;
            try {
                parsed = ParsePaletteStep(step);
            } catch (const std::invalid_argument&) {
                // Left as written: the step's own parse refuses it with the reason.
            }
            if (parsed) {
                const std::string from = rebased(parsed->From); // FROM first: it is named first when refused
                step = std::string(PaletteStepTag) + from + ":" + rebased(parsed->To);
            }
        }
        result += (k ? "/" : "") + step;
    }
    return result;
}

const std::vector<TColor>& TPaletteStepReader::Colours(const std::string& path)
{
    const auto known = files_.find(path);
    if (known != files_.end()) return known->second;
    try {
        return files_[path] = ReadPaletteFile(path).Colours;
    } catch (const EPaletteFile& e) {
        throw std::invalid_argument(e.what()); // names the file (and the line) already
    } catch (const std::bad_alloc&) {
        throw std::invalid_argument("the palette " + path + " cannot be read: " + OutOfMemoryText());
    } catch (const std::exception& e) {
        throw std::invalid_argument("the palette " + path + " cannot be read: " + FailureText(e));
    }
}

void TPaletteStepReader::Read(TPaletteStep& step)
{
    if (step.Kind == TPaletteStep::TKind::Remap) {
        std::shared_ptr<const TRemapPalette>& remap = remaps_[step.From];
        if (!remap) {
            try {
                remap = std::make_shared<const TRemapPalette>(Colours(step.From));
            } catch (const EColourMap& e) {
                throw std::invalid_argument(step.From + ": " + e.what());
            }
        }
        step.Remap = remap;
        return;
    }
    std::shared_ptr<const TColourMap>& map = maps_[{step.From, step.To}];
    if (!map) {
        const std::vector<TColor>& from = Colours(step.From);
        const std::vector<TColor>& to = Colours(step.To);
        try {
            map = std::make_shared<const TColourMap>(from, to);
        } catch (const EColourMap& e) {
            // The engine's words FROM and TO, with the files they stand for.
            throw std::invalid_argument("FROM " + step.From + ", TO " + step.To + ": " + e.what());
        }
    }
    step.Map = map;
}

void ApplyPaletteStep(TPictureData& picture, const TPaletteStep& step, const TProtectedColors& protectedColors,
                      bool visibleOnly, bool trueColour, TColourMapCounts* counts, unsigned threads)
{
    TColourChangeOptions options;
    options.VisibleOnly = visibleOnly;
    options.TrueColour = trueColour;
    options.Threads = threads;
    if (step.Kind == TPaletteStep::TKind::Remap) {
        if (!step.Remap) throw std::logic_error("the remap's palette was not read");
        RemapColoursInPlace(picture, *step.Remap, protectedColors, options, counts);
    } else {
        if (!step.Map) throw std::logic_error("the palette map was not read");
        MapColoursInPlace(picture, *step.Map, protectedColors, options, counts);
    }
}

} // namespace tintabrel::cli
