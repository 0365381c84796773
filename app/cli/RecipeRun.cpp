#include "app/cli/RecipeRun.h"

#include "app/cli/CliTool.h"
#include "base/ScopeGuard.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace tintabrel::cli {

int PickSource(const TBitmap& picture, const TPixelPick& pick)
{
    const std::string where = "--pick " + std::to_string(pick.X) + "," + std::to_string(pick.Y) + ": ";
    if (pick.X >= picture.Width() || pick.Y >= picture.Height())
        throw std::runtime_error(where + "the pixel is outside the " + std::to_string(picture.Width()) + " x " +
                                 std::to_string(picture.Height()) + " picture");
    const TColor color = picture.Pixel(pick.X, pick.Y);
    const std::optional<int> source = PickedSourcePosition(color);
    if (!source)
        throw std::runtime_error(where + "the pixel (" + std::to_string(RedOf(color)) + ", " +
                                 std::to_string(GreenOf(color)) + ", " + std::to_string(BlueOf(color)) +
                                 ") is grey and has no hue to pick");
    return *source;
}

void ApplyChain(TPictureData& picture, const TChain& chain, const TProtectedColors& protectedColors, bool trueColour,
                std::vector<TChangeReport>* reports, unsigned threads)
{
    for (const TChange& change : chain) {
        TChangeReport report{change.Window, change.Pick, {}};
        if (change.Pick) report.Window.Source = PickSource(picture.Image, *change.Pick);
        ApplyChangeInPlace(picture, protectedColors, report.Window, trueColour, reports ? &report.Counts : nullptr,
                           threads);
        if (reports) reports->push_back(report);
    }
}

const TChain& ChainOf(const TRecipe& recipe, const std::string& variant)
{
    if (variant.empty()) return recipe.Chain;
    for (const TVariant& v : recipe.Variants)
        if (v.Name == variant) return v.Chain;
    throw std::logic_error("no variant " + variant);
}

std::string VariantOutput(const std::string& output, const std::string& variant)
{
    const std::string ext = ExtractExtension(output);
    return output.substr(0, output.size() - ext.size()) + "_" + variant + ext;
}

TStringList ProtectedList(const TRecolourOptions& options)
{
    TStringList list;
    if (!options.ListFile.empty()) {
        try {
            list.LoadFromFile(options.ListFile);
        } catch (const std::exception& e) {
            throw TUsageError("--list: " + std::string(e.what()));
        }
    } else if (options.Recipe.ListColours) {
        for (const std::string& line : *options.Recipe.ListColours) list.Add(line);
    }
    return list;
}

// ---------------------------------------------------------------- TDryRunReport

TDryRunReport::TDryRunReport(std::vector<TOutput> outputs, bool json)
    : outputs_(std::move(outputs)), results_(outputs_.size()), state_(outputs_.size(), 0), json_(json)
{
    for (size_t i = 0; i < outputs_.size(); ++i) {
        if (!outputs_[i].Runs) state_[i] = 2;
        index_.emplace(outputs_[i].Output, i);
    }
}

size_t TDryRunReport::IndexOf(const std::string& output) const
{
    const auto found = index_.find(output);
    if (found == index_.end()) throw std::logic_error("no planned output " + output);
    return found->second;
}

void TDryRunReport::Run(const std::string& output, const std::function<void(TResult&)>& work)
{
    const size_t index = IndexOf(output);
    // Marks the output failed unless work returns, so that the inputs after it still print.
    TResult result;
    TResult* finished = nullptr;
    const TScopeGuard finish([&] { Finish(index, finished); });
    work(result);
    finished = &result;
}

void TDryRunReport::Failed(const std::string& output) { Finish(IndexOf(output), nullptr); }

void TDryRunReport::Finish(size_t index, TResult* result)
{
    std::lock_guard lock(mutex_);
    state_[index] = result ? 1 : 2;
    if (result) results_[index] = std::move(*result);
    // Print every input whose outputs are all finished, up to the first that is not.
    while (printed_ < outputs_.size()) {
        size_t end = printed_;
        while (end < outputs_.size() && outputs_[end].Input == outputs_[printed_].Input) ++end;
        for (size_t i = printed_; i < end; ++i)
            if (state_[i] == 0) return;
        Print(printed_, end);
        printed_ = end;
    }
}

void TDryRunReport::Print(size_t first, size_t end)
{
    size_t done = first;
    while (done < end && state_[done] != 1) ++done;
    if (done == end) return; // every output failed: the errors say why
    const TResult& size = results_[done];

    if (json_) {
        nlohmann::ordered_json file;
        file["file"] = outputs_[first].Input;
        file["width"] = size.Width;
        file["height"] = size.Height;
        file["outputs"] = nlohmann::ordered_json::array();
        for (size_t i = first; i < end; ++i) {
            if (state_[i] != 1) continue;
            nlohmann::ordered_json out;
            out["output"] = outputs_[i].Output;
            out["variant"] = outputs_[i].Variant.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(outputs_[i].Variant);
            out["changes"] = nlohmann::ordered_json::array();
            for (const TChangeReport& c : results_[i].Changes) {
                nlohmann::ordered_json change;
                change["source"] = c.Window.Source;
                change["tolerance"] = c.Window.Tolerance;
                change["target"] = c.Window.Target;
                change["pick"] = c.Pick ? nlohmann::ordered_json::array({c.Pick->X, c.Pick->Y}) : nlohmann::ordered_json();
                change["altered"] = c.Counts.Altered;
                change["protected"] = c.Counts.Kept;
                out["changes"].push_back(change);
            }
            file["outputs"].push_back(out);
        }
        std::printf("%s\n", file.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
    } else {
        std::printf("%s: %d x %d\n", outputs_[first].Input.c_str(), size.Width, size.Height);
        for (size_t i = first; i < end; ++i) {
            if (state_[i] != 1) continue;
            const std::string variant = outputs_[i].Variant.empty() ? "" : " (variant " + outputs_[i].Variant + ")";
            std::printf("  %s%s\n", outputs_[i].Output.c_str(), variant.c_str());
            int step = 0;
            for (const TChangeReport& c : results_[i].Changes) {
                std::string source = "source " + std::to_string(c.Window.Source);
                if (c.Pick) source += " (picked at " + std::to_string(c.Pick->X) + "," + std::to_string(c.Pick->Y) + ")";
                std::printf("    change %d, %s tolerance %d target %d: %lld pixels altered, %lld protected pixels "
                            "left alone\n",
                            ++step, source.c_str(), c.Window.Tolerance, c.Window.Target,
                            static_cast<long long>(c.Counts.Altered), static_cast<long long>(c.Counts.Kept));
            }
        }
    }
    std::fflush(stdout);
}

} // namespace tintabrel::cli
