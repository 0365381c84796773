#include "app/cli/RecipeRun.h"

#include "app/cli/CliTool.h"
#include "app/cli/Plan.h"
#include "app/cli/Report.h"
#include "base/ScopeGuard.h"
#include "image/Animation.h"

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

namespace {

// A palette step of a chain, with --visible-only as for the hue windows; counted into reports.
void ApplyPaletteChange(TPictureData& picture, const TChange& change, const TProtectedColors& protectedColors,
                        bool trueColour, std::vector<TChangeReport>* reports, unsigned threads)
{
    TColourMapCounts counts;
    ApplyPaletteStep(picture, *change.Palette, protectedColors, change.Window.VisibleOnly, trueColour,
                     reports ? &counts : nullptr, threads);
    if (!reports) return;
    TChangeReport report;
    report.Window = change.Window;
    report.Palette = change.Palette;
    report.Counts.Altered = counts.Altered;
    report.Counts.Kept = counts.Kept;
    report.Unmatched = std::move(counts.Unmatched);
    reports->push_back(std::move(report));
}

// The colours of the entries, "#rrggbb", of the step's FROM palette (a remap's palette).
std::vector<std::string> EntryColours(const TPaletteStep& step, const std::vector<int32_t>& entries)
{
    const std::vector<TColor>* colours = step.Map ? &step.Map->From() : step.Remap ? &step.Remap->Entries() : nullptr;
    std::vector<std::string> texts;
    for (const int32_t entry : entries)
        texts.push_back(colours && entry >= 0 && static_cast<size_t>(entry) < colours->size()
                            ? HexOfColour((*colours)[static_cast<size_t>(entry)])
                            : std::string("?"));
    return texts;
}

// "N pixels altered, K protected pixels left alone" and, for a palette step, its unmatched entries.
std::string CountsText(const TChangeReport& c)
{
    std::string text = std::to_string(c.Counts.Altered) + " pixels altered, " + std::to_string(c.Counts.Kept) +
                       " protected pixels left alone";
    if (!c.Palette) return text;
    const bool remap = c.Palette->Kind == TPaletteStep::TKind::Remap;
    // An empty FROM (a failed export, say) matches nothing at all: not "every entry matched".
    if (!remap && c.Palette->Map && c.Palette->Map->From().empty()) return text + ", FROM has no colours";
    if (c.Unmatched.empty())
        return text + (remap ? ", every entry of the palette given" : ", every entry of FROM matched");
    const std::vector<std::string> colours = EntryColours(*c.Palette, c.Unmatched);
    text += ", " + std::to_string(c.Unmatched.size()) + (remap ? " entries of the palette given to no pixel ("
                                                               : " entries of FROM matched nothing (");
    for (size_t k = 0; k < c.Unmatched.size(); ++k)
        text += (k ? ", " : "") + std::to_string(c.Unmatched[k] + 1) + " " + colours[k];
    return text + ")";
}

} // namespace

TChangeOutcome ApplyChain(TPictureData& picture, const TChain& chain, const TProtectedColors& protectedColors,
                          bool trueColour, std::vector<TChangeReport>* reports, unsigned threads)
{
    TChangeOutcome outcome;
    for (const TChange& change : chain) {
        if (change.Palette) {
            ApplyPaletteChange(picture, change, protectedColors, trueColour, reports, threads);
            continue;
        }
        TChangeReport report{change.Window, change.Pick, change.Region, {}, {}, {}};
        if (change.Pick) {
            // An animation's pixel is picked from its first frame as a viewer shows it (its still
            // picture may be an APNG's default image of its own).
            const TPictureData shown = picture.Animation ? ComposeFrame(*picture.Animation, 0) : TPictureData{};
            report.Window.Source = PickSource(picture.Animation ? shown.Image : picture.Image, *change.Pick);
        }
        outcome.Then(ApplyChangeInPlace(picture, protectedColors, report.Window, trueColour,
                                        reports ? &report.Counts : nullptr, threads, change.Region));
        if (reports) reports->push_back(report);
    }
    return outcome;
}

std::optional<TRowChange> RowChangeOf(const TChain& chain, const TProtectedColors& protectedColors)
{
    TRowChange rows{&protectedColors, {}};
    for (const TChange& change : chain) {
        if (change.Pick || change.Palette) return std::nullopt;
        rows.Windows.push_back(change.Window);
        rows.Regions.push_back(change.Region);
    }
    return rows;
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
            throw TUsageError((options.ListFrom.empty() ? "--list" : options.ListFrom) + ": " + e.what());
        }
    } else if (options.Recipe.ListColours) {
        for (const std::string& line : *options.Recipe.ListColours) list.Add(line);
    }
    return list;
}

// ---------------------------------------------------------------- TDryRunReport

TDryRunReport::TDryRunReport(const std::vector<TInputPlan>& plans, bool json,
                             std::function<void(const std::string&)> print)
    : plans_(plans.data()), json_(json), print_(std::move(print))
{
    for (const TInputPlan& plan : plans) {
        firstOfPlan_.push_back(outputs_.size());
        for (const TOutputPlan& out : plan.Outputs)
            outputs_.push_back({plan.Input, out.Path, out.Variant, plan.Refusal.empty() && out.Refusal.empty(), false,
                                plan.Refusal.empty() ? out.Refusal : plan.Refusal});
        if (plan.Outputs.empty() && plan.SameAs.empty())
            outputs_.push_back({plan.Input, "", "", false, true, plan.Refusal});
    }
    results_.resize(outputs_.size());
    state_.assign(outputs_.size(), 0);
    for (size_t i = 0; i < outputs_.size(); ++i)
        if (!outputs_[i].Runs) state_[i] = 2;
    std::lock_guard lock(mutex_);
    Finish(outputs_.size(), nullptr); // inputs refused at the start print nothing, but must not hold up the rest
}

size_t TDryRunReport::IndexOf(const TInputPlan& plan, size_t k) const
{
    return firstOfPlan_[static_cast<size_t>(&plan - plans_)] + k;
}

void TDryRunReport::Run(const TInputPlan& plan, size_t k, const std::function<void(TResult&)>& work)
{
    const size_t index = IndexOf(plan, k);
    // Marks the output failed unless work returns, so that the inputs after it still print.
    TResult result;
    TResult* finished = nullptr;
    const TScopeGuard finish([&] {
        std::lock_guard lock(mutex_);
        Finish(index, finished);
    });
    work(result);
    finished = &result;
}

void TDryRunReport::Failed(const TInputPlan& plan, size_t k, const std::string& error)
{
    std::lock_guard lock(mutex_);
    const size_t index = IndexOf(plan, k);
    if (index < outputs_.size() && outputs_[index].Error.empty()) outputs_[index].Error = error;
    Finish(index, nullptr);
}

void TDryRunReport::Finish(size_t index, TResult* result)
{
    if (index < outputs_.size()) {
        state_[index] = result ? 1 : 2;
        if (result) results_[index] = std::move(*result);
    }
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

namespace {

// The keys of a change object that tell a palette step: "step" ("hue", "palette-map" or "remap"),
// "from", "to" (its files) and "unmatched" (the FROM entries no pixel has, 0-based, with their
// colours); the hue window's keys are null for a palette step, these for a hue window.
void AddPaletteKeys(nlohmann::ordered_json& change, const TChangeReport& c)
{
    using J = nlohmann::ordered_json;
    if (c.Palette) {
        change["source"] = J();
        change["tolerance"] = J();
        change["target"] = J();
    }
    const bool remap = c.Palette && c.Palette->Kind == TPaletteStep::TKind::Remap;
    change["step"] = !c.Palette ? "hue" : remap ? "remap" : "palette-map";
    change["from"] = c.Palette ? J(c.Palette->From) : J();
    change["to"] = c.Palette && !remap ? J(c.Palette->To) : J();
    if (!c.Palette) {
        change["unmatched"] = J();
        return;
    }
    change["unmatched"] = J::array();
    const std::vector<std::string> colours = EntryColours(*c.Palette, c.Unmatched);
    for (size_t k = 0; k < c.Unmatched.size(); ++k)
        change["unmatched"].push_back({{"entry", c.Unmatched[k]}, {"colour", colours[k]}});
}

} // namespace

nlohmann::ordered_json TDryRunReport::FirstError(size_t first, size_t end) const
{
    for (size_t i = first; i < end; ++i)
        if (state_[i] == 2 && !outputs_[i].Error.empty()) return outputs_[i].Error;
    return nullptr;
}

void TDryRunReport::Print(size_t first, size_t end)
{
    size_t done = first;
    while (done < end && state_[done] != 1) ++done;
    if (done == end) {
        // Every output failed: standard error says why, and so does the JSON object.
        if (json_) {
            nlohmann::ordered_json file;
            file["version"] = 1;
            file["file"] = outputs_[first].Input;
            file["width"] = nullptr;
            file["height"] = nullptr;
            file["outputs"] = nlohmann::ordered_json::array();
            file["error"] = FirstError(first, end);
            print_(JsonText(file) + "\n");
        }
        return;
    }
    const TResult& size = results_[done];

    if (json_) {
        nlohmann::ordered_json file;
        file["version"] = 1;
        file["file"] = outputs_[first].Input;
        file["width"] = size.Width;
        file["height"] = size.Height;
        if (size.Frames > 0) file["frames"] = size.Frames; // an animation's counts are all its frames'
        file["outputs"] = nlohmann::ordered_json::array();
        for (size_t i = first; i < end; ++i) {
            if (state_[i] != 1) continue;
            if (outputs_[i].Placeholder) continue;
            nlohmann::ordered_json out;
            out["output"] = outputs_[i].Output.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(outputs_[i].Output);
            out["variant"] = outputs_[i].Variant.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(outputs_[i].Variant);
            out["changes"] = nlohmann::ordered_json::array();
            for (const TChangeReport& c : results_[i].Changes) {
                nlohmann::ordered_json change;
                change["source"] = c.Window.Source;
                change["tolerance"] = c.Window.Tolerance;
                change["target"] = c.Window.Target;
                change["pick"] = c.Pick ? nlohmann::ordered_json::array({c.Pick->X, c.Pick->Y}) : nlohmann::ordered_json();
                const std::optional<TRegionRect>& r = c.Region.Rect;
                change["region"] = r ? nlohmann::ordered_json::array({r->X, r->Y, r->Width, r->Height}) : nlohmann::ordered_json();
                change["mask"] = c.Region.Mask ? nlohmann::ordered_json(c.Region.Mask->Name()) : nlohmann::ordered_json();
                change["altered"] = c.Counts.Altered;
                change["protected"] = c.Counts.Kept;
                AddPaletteKeys(change, c);
                out["changes"].push_back(change);
            }
            file["outputs"].push_back(out);
        }
        file["error"] = FirstError(first, end);
        print_(JsonText(file) + "\n");
    } else {
        std::string text = outputs_[first].Input + ": " + std::to_string(size.Width) + " x " +
                           std::to_string(size.Height) +
                           (size.Frames > 0 ? ", " + std::to_string(size.Frames) + " frames" : std::string()) + "\n";
        for (size_t i = first; i < end; ++i) {
            if (state_[i] != 1) continue;
            const std::string variant = outputs_[i].Variant.empty() ? "" : " (variant " + outputs_[i].Variant + ")";
            text += "  " + (outputs_[i].Output.empty() ? std::string("result") : outputs_[i].Output) + variant + "\n";
            int step = 0;
            for (const TChangeReport& c : results_[i].Changes) {
                if (c.Palette) {
                    text += "    change " + std::to_string(++step) + ", " + c.Palette->Text() + ": " + CountsText(c) + "\n";
                    continue;
                }
                std::string source = "source " + std::to_string(c.Window.Source);
                if (c.Pick) source += " (picked at " + std::to_string(c.Pick->X) + "," + std::to_string(c.Pick->Y) + ")";
                std::string place;
                if (c.Region.Rect) place += " in region " + c.Region.Rect->Text();
                if (c.Region.Mask) place += (place.empty() ? " where the mask " : " and where the mask ") + c.Region.Mask->Name() + " is set";
                text += "    change " + std::to_string(++step) + ", " + source + " tolerance " +
                        std::to_string(c.Window.Tolerance) + " target " + std::to_string(c.Window.Target) + place + ": " +
                        std::to_string(c.Counts.Altered) + " pixels altered, " + std::to_string(c.Counts.Kept) +
                        " protected pixels left alone\n";
            }
        }
        print_(text);
    }
}

} // namespace tintabrel::cli
