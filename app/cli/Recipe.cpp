#include "app/cli/Recipe.h"
#include "recolour/HueOptions.h"

#include "app/cli/CliTool.h"
#include "app/cli/Messages.h"
#include "app/cli/Options.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace tintabrel::cli {

int SourceOfHue(int hue) { return ((240 - hue) % 360 + 360) % 360; }

namespace {

// A whole number written in digits only, within lo..hi; what names it in the message.
int ParseNumber(std::string_view text, int lo, int hi, const std::string& what)
{
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || text[0] == '-' || text[0] == '+' || ptr != end) {
        if (ec == std::errc::result_out_of_range && ptr == end)
            throw std::invalid_argument(what + " " + std::string(text) + " is outside " + std::to_string(lo) + "-" +
                                        std::to_string(hi));
        throw std::invalid_argument(what + " '" + std::string(text) + "' is not a whole number");
    }
    if (ec == std::errc::result_out_of_range || value < lo || value > hi)
        throw std::invalid_argument(what + " " + std::string(text) + " is outside " + std::to_string(lo) + "-" +
                                    std::to_string(hi));
    return value;
}

std::vector<std::string_view> Split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    for (;;) {
        const size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

// Where the quoted path of "@mask=" starts at text[at], the index just past its closing quote
// (the path into path); std::invalid_argument when the quote does not close.
size_t ReadQuoted(std::string_view text, size_t at, std::string* path)
{
    for (size_t k = at + 1; k < text.size(); ++k) {
        const char c = text[k];
        if (c == '\\' && k + 1 < text.size() && (text[k + 1] == '"' || text[k + 1] == '\\')) {
            if (path) *path += text[++k];
            else ++k;
        } else if (c == '"') {
            return k + 1;
        } else if (path) {
            *path += c;
        }
    }
    throw std::invalid_argument("the mask's path in '" + std::string(text) + "' has no closing quote");
}

constexpr std::string_view MaskTag = "@mask=";

// Where one of separators stands in text from from on, outside the quoted paths of masks; npos
// if nowhere.
size_t FindOutsideQuotes(std::string_view text, std::string_view separators, size_t from = 0)
{
    for (size_t k = from; k < text.size(); ++k) {
        if (separators.find(text[k]) != std::string_view::npos) return k;
        if (text.substr(k, MaskTag.size()) == MaskTag && k + MaskTag.size() < text.size() &&
            text[k + MaskTag.size()] == '"') {
            k = ReadQuoted(text, k + MaskTag.size(), nullptr) - 1;
        }
    }
    return std::string_view::npos;
}

std::vector<std::string_view> SplitOutsideQuotes(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    for (;;) {
        const size_t at = FindOutsideQuotes(text, std::string_view(&separator, 1));
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

// One step as written: the change, its "+option"s and its "@" places.
struct TStepText {
    std::string Change;
    std::vector<std::string> Options; // without the "+"
    std::vector<std::string> Rects;   // without the "@"
    std::vector<std::string> Masks;   // the paths, unquoted
};

TStepText SplitStep(std::string_view text)
{
    TStepText step;
    size_t at = FindOutsideQuotes(text, "+@");
    step.Change = std::string(text.substr(0, at));
    while (at < text.size()) {
        if (text.substr(at, MaskTag.size()) == MaskTag) {
            const size_t quote = at + MaskTag.size();
            if (quote >= text.size() || text[quote] != '"')
                throw std::invalid_argument("the mask's path goes in double quotes: @mask=\"FILE\"");
            std::string path;
            at = ReadQuoted(text, quote, &path);
            if (at < text.size() && text[at] != '+' && text[at] != '@')
                throw std::invalid_argument("'" + std::string(text.substr(at)) + "' follows the mask's closing quote");
            step.Masks.push_back(std::move(path));
            continue;
        }
        const size_t next = FindOutsideQuotes(text, "+@", at + 1);
        const std::string piece(text.substr(at + 1, next == std::string_view::npos ? std::string_view::npos : next - at - 1));
        (text[at] == '+' ? step.Options : step.Rects).push_back(piece);
        at = next;
    }
    return step;
}

std::string JoinStep(const TStepText& step)
{
    std::string text = step.Change;
    for (const std::string& o : step.Options) text += "+" + o;
    for (const std::string& r : step.Rects) text += "@" + r;
    for (const std::string& m : step.Masks) text += MaskSuffix(m);
    return text;
}

// The place a step or a variant's name gives (one rectangle and one mask at most).
TPlace PlaceOf(const TStepText& step)
{
    if (step.Rects.size() > 1) throw std::invalid_argument("give one @X,Y,W,H, not " + std::to_string(step.Rects.size()));
    if (step.Masks.size() > 1)
        throw std::invalid_argument("give one @mask=\"FILE\", not " + std::to_string(step.Masks.size()));
    TPlace place;
    if (!step.Rects.empty()) place.Rect = ParseRegion(step.Rects[0]);
    if (!step.Masks.empty()) {
        if (step.Masks[0].empty()) throw std::invalid_argument("the mask's path is empty");
        place.Mask = step.Masks[0];
    }
    return place;
}

// A step of a chain: a hue window, or a palette map "palette:FROM:TO" (its files read later).
TChange ParseStep(const std::string& text)
{
    if (!IsPaletteStepText(text)) return ParseChange(text);
    TChange change;
    change.Palette = std::make_shared<TPaletteStep>(ParsePaletteStep(text));
    return change;
}

TChain ParseChain(std::string_view text)
{
    TChain chain;
    // Split at '/' outside masks' quotes; a palette step's paths keep their own '/'.
    std::vector<std::string_view> pieces = SplitOutsideQuotes(text, '/');
    for (const std::string& part : JoinPaletteSteps(pieces)) chain.push_back(ParseStep(part));
    return chain;
}

std::string Rebased(const std::string& path, const std::string& folder)
{
    const fs::path p(path);
    return p.is_absolute() || p.empty() ? path : (fs::path(folder) / p).string();
}

} // namespace

TPlace TPlace::Within(const TPlace& wider) const
{
    TPlace place = *this;
    if (!place.Rect) place.Rect = wider.Rect;
    if (!place.Mask) place.Mask = wider.Mask;
    return place;
}

TRegionRect ParseRegion(const std::string& text)
{
    const std::vector<std::string_view> parts = Split(text, ',');
    if (parts.size() != 4) throw std::invalid_argument("'" + text + "' is not X,Y,W,H (left, top, width, height)");
    TRegionRect rect;
    rect.X = ParseNumber(parts[0], 0, INT32_MAX, "region X");
    rect.Y = ParseNumber(parts[1], 0, INT32_MAX, "region Y");
    rect.Width = ParseNumber(parts[2], 0, INT32_MAX, "region width");
    rect.Height = ParseNumber(parts[3], 0, INT32_MAX, "region height");
    if (rect.Empty()) throw std::invalid_argument("the region " + text + " is empty");
    return rect;
}

std::string MaskSuffix(const std::string& path)
{
    std::string text = std::string(MaskTag) + "\"";
    for (const char c : path) {
        if (c == '"' || c == '\\') text += '\\';
        text += c;
    }
    return text + "\"";
}

std::string RebaseMasks(const std::string& text, const std::string& folder, bool variant)
{
    if (text.find(MaskTag) == std::string::npos) return text;
    const auto rebase = [&](std::string_view stepText) {
        TStepText step = SplitStep(stepText);
        for (std::string& m : step.Masks) m = Rebased(m, folder);
        return JoinStep(step);
    };
    if (!variant) return rebase(text);
    const size_t equals = FindOutsideQuotes(text, "=");
    if (equals == std::string::npos) return text; // refused by ParseVariant with its reason
    std::string result = rebase(std::string_view(text).substr(0, equals)) + "=";
    const std::vector<std::string_view> steps = SplitOutsideQuotes(std::string_view(text).substr(equals + 1), '/');
    for (size_t k = 0; k < steps.size(); ++k) result += (k ? "/" : "") + rebase(steps[k]);
    return result;
}

TChange ParseChange(const std::string& full)
{
    // P:T:H, then "+option" suffixes for this change alone (+wrap, +shift, +visible, +softF ...)
    // and where it applies (@X,Y,W,H, @mask="FILE").
    // Text that starts with neither is refused as a change ("+1:2:3": source '+1').
    TStepText step = SplitStep(full);
    if (step.Change.empty()) step = TStepText{full, {}, {}, {}};
    const std::string& text = step.Change;
    THueWindow options;
    for (const std::string& piece : step.Options) {
        const std::string_view o = piece;
        const auto def = std::find_if(HueOptions().begin(), HueOptions().end(), [&](const THueOptionDef& d) {
            const std::string_view suffix = d.Suffix;
            return d.Flag ? o == suffix : o.size() > suffix.size() && o.substr(0, suffix.size()) == suffix;
        });
        if (def == HueOptions().end())
            throw std::invalid_argument("'+" + std::string(o) + "' is not an option of a change (" + HueSuffixList() +
                                        "; where it applies: @X,Y,W,H, @mask=\"FILE\")");
        def->Set(options, def->Flag ? 1 : ParseNumber(o.substr(std::string_view(def->Suffix).size()), def->Lo, def->Hi, def->Suffix));
    }
    const std::vector<std::string_view> parts = Split(text, ':');
    if (parts.size() != 3)
        throw std::invalid_argument("'" + text + "' is not P:T:H or hF:T:H (source, tolerance, target)");
    TChange change;
    if (!parts[0].empty() && parts[0][0] == 'h')
        change.Window.Source = SourceOfHue(ParseNumber(parts[0].substr(1), 0, 360, "source hue"));
    else
        change.Window.Source = ParseNumber(parts[0], 0, 360, "source");
    change.Window.Tolerance = ParseNumber(parts[1], 0, 36, "tolerance");
    change.Window.Target = ParseNumber(parts[2], 0, 360, "target");
    MergeHueOptions(change.Window, options);
    change.Place = PlaceOf(step);
    return change;
}

TVariant ParseVariant(const std::string& text)
{
    const size_t equals = FindOutsideQuotes(text, "=");
    if (equals == std::string::npos)
        throw std::invalid_argument("'" + text + "' is not NAME=P:T:H[/P:T:H...] (or palette:FROM:TO steps)");
    // NAME, then where all its changes apply: NAME@X,Y,W,H@mask="FILE".
    const TStepText head = SplitStep(std::string_view(text).substr(0, equals));
    TVariant variant;
    variant.Name = head.Change;
    const bool nameOk = !variant.Name.empty() && std::all_of(variant.Name.begin(), variant.Name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    });
    if (!nameOk)
        throw std::invalid_argument("variant name '" + variant.Name + "' must be letters, digits, - and _");
    try {
        if (!head.Options.empty())
            throw std::invalid_argument("'+" + head.Options[0] + "' goes on a change, not on the variant's name");
        variant.Place = PlaceOf(head);
        variant.Chain = ParseChain(std::string_view(text).substr(equals + 1));
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument("variant " + variant.Name + ": " + e.what());
    }
    return variant;
}

TPixelPick ParsePick(const std::string& text)
{
    const std::vector<std::string_view> parts = Split(text, ',');
    if (parts.size() != 2) throw std::invalid_argument("'" + text + "' is not X,Y");
    return TPixelPick{ParseNumber(parts[0], 0, INT32_MAX, "X"), ParseNumber(parts[1], 0, INT32_MAX, "Y")};
}

namespace {

// A recipe file: one JSON object whose fields are the options' long names. Each field's value is
// turned into the words the command line would give and goes through the option table's checks.
class TRecipeFile {
public:
    explicit TRecipeFile(const std::string& path) : path_(path)
    {
        std::error_code ec;
        if (fs::is_directory(path, ec)) throw TUsageError("--recipe " + path + " is a folder");
        std::ifstream file(path, std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        if (!file || file.bad())
            throw TUsageError("--recipe " + path + ": cannot read it (" + std::strerror(errno) + ")");
        // A key given twice would silently lose one of its values: refused, in any object.
        std::vector<std::set<std::string>> keys;
        std::string repeated;
        const auto watch = [&](int depth, nlohmann::ordered_json::parse_event_t event, nlohmann::ordered_json& parsed) {
            using E = nlohmann::ordered_json::parse_event_t;
            (void)depth;
            if (event == E::object_start) keys.emplace_back();
            else if (event == E::object_end && !keys.empty()) keys.pop_back();
            else if (event == E::key && !keys.empty() && !keys.back().insert(parsed.get<std::string>()).second &&
                     repeated.empty())
                repeated = parsed.get<std::string>();
            return true;
        };
        try {
            json_ = nlohmann::ordered_json::parse(text.str(), watch);
        } catch (const nlohmann::json::exception& e) {
            throw TUsageError(path + ": not valid JSON: " + e.what());
        }
        if (!repeated.empty()) throw TUsageError(path + ": the key \"" + repeated + "\" is given twice");
        if (!json_.is_object()) throw TUsageError(path + ": must hold one JSON object of options");
        for (const auto& item : json_.items()) {
            const TOptionDef* option = FindOption(item.key());
            if (!option || !(option->Commands & CmdRecolour) || !option->InRecipe) {
                const std::string nearest = NearestOption(item.key(), CmdRecolour);
                throw TUsageError(path + ": unknown field \"" + item.key() +
                                  "\" (the fields are the options' long names" +
                                  (nearest.empty() ? std::string() : "; did you mean \"" + nearest.substr(2) + "\"?") +
                                  ")");
            }
        }
        folder_ = fs::path(path).parent_path();
    }

    // Stores the file's fields that the command line leaves open: a field is left out when the
    // command line gave its option or another option of its group.
    void Apply(TSettings& settings) const
    {
        std::map<std::string, std::vector<std::string>> groups;
        for (const auto& item : json_.items()) {
            const TOptionDef& option = *FindOption(item.key());
            if (*option.Group) groups[option.Group].push_back(item.key());
        }
        std::set<std::string> groupsOnCommandLine;
        for (const TOptionDef& option : OptionTable())
            if (*option.Group && settings.Has(option.Long)) groupsOnCommandLine.insert(option.Group);
        for (const auto& [group, fields] : groups) {
            if (fields.size() < 2 || groupsOnCommandLine.count(group)) continue;
            std::vector<std::string> all;
            for (const TOptionDef& option : OptionTable())
                if (option.Group == std::string_view(group) && option.InRecipe) all.push_back(option.Long);
            std::string names;
            for (size_t k = 0; k < all.size(); ++k)
                names += (k == 0 ? "\"" : k + 1 == all.size() ? " and \"" : ", \"") + all[k] + "\"";
            throw TUsageError(path_ + ": give only one of the fields " + names);
        }
        for (const auto& item : json_.items()) {
            const TOptionDef& option = *FindOption(item.key());
            if (settings.Has(option.Long) || (*option.Group && groupsOnCommandLine.count(option.Group))) continue;
            const std::string where = path_ + ": field \"" + item.key() + "\"";
            if (option.Long == std::string_view("list") && item.value().is_array()) {
                std::vector<std::string> colours;
                for (const auto& line : item.value()) {
                    if (!line.is_string()) throw Wrong(item.key(), "expected a path or a list of colour strings");
                    colours.push_back(line.get<std::string>());
                }
                settings.Recolour.Recipe.ListColours = std::move(colours);
            } else {
                std::vector<std::string> words;
                try {
                    words = Words(option, item.value());
                } catch (const std::invalid_argument& e) { // a mask's quote that does not close
                    throw Wrong(item.key(), e.what());
                }
                for (const std::string& word : words) {
                    try {
                        option.Store(settings, CheckValue(option, word));
                    } catch (const std::invalid_argument& e) {
                        throw Wrong(item.key(), e.what());
                    }
                }
            }
            settings.Given[option.Long] = where;
        }
    }

private:
    TUsageError Wrong(const std::string& field, const std::string& what) const
    {
        return TUsageError(path_ + ": field \"" + field + "\": " + what);
    }

    // [X, Y, W, H] or "X,Y,W,H".
    std::string RegionWord(const std::string& field, const nlohmann::ordered_json& value) const
    {
        if (value.is_string()) return value.get<std::string>();
        if (value.is_array() && value.size() == 4 &&
            std::all_of(value.begin(), value.end(), [](const auto& n) { return n.is_number_integer(); }))
            return value[0].dump() + "," + value[1].dump() + "," + value[2].dump() + "," + value[3].dump();
        throw Wrong(field, "expected a region [X, Y, W, H] or \"X,Y,W,H\"");
    }

    // A mask's path, as written (counted from the file's folder once the step is whole).
    std::string MaskWord(const std::string& field, const nlohmann::ordered_json& value) const
    {
        if (!value.is_string() || value.get<std::string>().empty()) throw Wrong(field, "expected a mask's path");
        return value.get<std::string>();
    }

    // One step of "map" or of a variant: "P:T:H[+option...][@X,Y,W,H][@mask=\"FILE\"]" or
    // {"change": "P:T:H[+option...]", "region": [X, Y, W, H], "mask": "FILE"}; a mask's path
    // counts from the file's folder.
    // rebase: false for a step of a variant, whose whole text is rebased once.
    std::string StepWord(const std::string& field, const nlohmann::ordered_json& step, bool rebase = true) const
    {
        std::string text;
        if (step.is_string()) {
            text = step.get<std::string>();
        } else if (step.is_object()) {
            std::string places;
            bool change = false;
            for (const auto& [key, v] : step.items()) {
                if (key == "change" && v.is_string()) {
                    text = v.get<std::string>();
                    change = true;
                } else if (key == "region") {
                    places += "@" + RegionWord(field, v);
                } else if (key == "mask") {
                    places += MaskSuffix(MaskWord(field, v));
                } else {
                    throw Wrong(field, key == "change" ? "\"change\" must be a text \"P:T:H\""
                                                       : "unknown key \"" + key + "\" in a step (change, region, mask)");
                }
            }
            if (!change) throw Wrong(field, "a step needs \"change\": \"P:T:H\"");
            text += places;
        } else {
            throw Wrong(field, "expected a step \"P:T:H\" or {\"change\": \"P:T:H\", \"region\": ..., \"mask\": ...}");
        }
        return rebase ? RebaseMasks(text, folder_.string(), false) : text;
    }

    // The words the command line would give for the field's value.
    std::vector<std::string> Words(const TOptionDef& option, const nlohmann::ordered_json& value) const
    {
        const std::string name = option.Long;
        if (name == "variant") {
            // {"NAME": "P:T:H/P:T:H", "NAME": ["P:T:H", STEP], "NAME": {"changes": ..., "region": ..., "mask": ...}}
            const char* expected = "expected an object of NAME: \"P:T:H[/P:T:H...]\", NAME: [\"P:T:H\", ...] or "
                                   "NAME: {\"changes\": ..., \"region\": [X, Y, W, H], \"mask\": \"FILE\"}";
            if (!value.is_object()) throw Wrong(name, expected);
            std::vector<std::string> words;
            for (const auto& [key, given] : value.items()) {
                std::string head = key;
                const nlohmann::ordered_json* chain = &given;
                if (given.is_object()) {
                    chain = nullptr;
                    for (const auto& [part, v] : given.items()) {
                        if (part == "changes") chain = &v;
                        else if (part == "region") head += "@" + RegionWord(name, v);
                        else if (part == "mask") head += MaskSuffix(MaskWord(name, v));
                        else throw Wrong(name, "variant " + key + ": unknown key \"" + part + "\" (changes, region, mask)");
                    }
                    if (!chain) throw Wrong(name, "variant " + key + ": \"changes\" is missing");
                }
                std::string text = head + "=";
                if (chain->is_string()) {
                    text += chain->get<std::string>();
                } else if (chain->is_array() && !chain->empty()) {
                    for (size_t i = 0; i < chain->size(); ++i) text += (i ? "/" : "") + StepWord(name, (*chain)[i], false);
                } else {
                    throw Wrong(name, expected);
                }
                const std::string chainText = RebasePaletteSteps(text.substr(head.size() + 1), folder_.string());
                words.push_back(RebaseMasks(head + "=" + chainText, folder_.string(), true));
            }
            return words;
        }
        if (name == "map") {
            if (!value.is_array()) return {RebasePaletteSteps(StepWord(name, value), folder_.string())};
            std::vector<std::string> words;
            for (const auto& step : value) words.push_back(RebasePaletteSteps(StepWord(name, step), folder_.string()));
            return words;
        }
        if (name == "region") return {RegionWord(name, value)};
        if (option.Values == 2) return PathPairs(option, value);
        if (name == "pick") {
            if (value.is_string()) return {value.get<std::string>()};
            if (value.is_array() && value.size() == 2 && value[0].is_number_integer() && value[1].is_number_integer())
                return {value[0].dump() + "," + value[1].dump()};
            throw Wrong(name, "expected [X, Y] or \"X,Y\"");
        }
        if (option.Repeatable) {
            if (value.is_string())
                return {option.Type == TValueType::Path ? Rebased(value.get<std::string>())
                                                        : RebasePaletteSteps(value.get<std::string>(), folder_.string())};
            std::vector<std::string> words;
            const std::string expected = std::string("expected a list of \"") + option.ValueText + "\" strings";
            if (!value.is_array()) throw Wrong(name, expected);
            for (const auto& item : value) {
                if (!item.is_string()) throw Wrong(name, expected);
                words.push_back(item.get<std::string>());
            }
            // Palette files count from the file's folder, in a step of "map" too.
            for (std::string& word : words)
                word = option.Type == TValueType::Path ? Rebased(word) : RebasePaletteSteps(word, folder_.string());
            return words;
        }
        switch (option.Type) {
        case TValueType::Flag:
            if (!value.is_boolean()) throw Wrong(name, "expected true or false");
            return {value.get<bool>() ? "true" : "false"};
        case TValueType::Number:
            if (!value.is_number_integer()) throw Wrong(name, "expected a whole number");
            return {value.dump()};
        case TValueType::Name:
            if (!value.is_string()) throw Wrong(name, "expected a name");
            return {value.get<std::string>()};
        case TValueType::Text:
            if (!value.is_string()) throw Wrong(name, "expected a text");
            return {value.get<std::string>()};
        case TValueType::Path: {
            // A path in the file counts from the file's folder.
            if (!value.is_string()) throw Wrong(name, "expected a path");
            const fs::path p(value.get<std::string>());
            return {p.is_absolute() || p.empty() ? p.string() : (folder_ / p).string()};
        }
        }
        return {};
    }

    // A path of the file counted from the file's folder.
    std::string Rebased(const std::string& path) const
    {
        const fs::path p(path);
        return p.is_absolute() || p.empty() ? path : (folder_ / p).string();
    }

    // "palette-map": ["FROM", "TO"] or [["FROM", "TO"], ...], the paths from the file's folder.
    std::vector<std::string> PathPairs(const TOptionDef& option, const nlohmann::ordered_json& value) const
    {
        const char* expected = "expected [\"FROM\", \"TO\"] or a list of such pairs of palette files";
        const auto pair = [](const nlohmann::ordered_json& v) {
            return v.is_array() && v.size() == 2 && v[0].is_string() && v[1].is_string();
        };
        std::vector<const nlohmann::ordered_json*> pairs;
        if (pair(value)) {
            pairs.push_back(&value);
        } else if (value.is_array() && !value.empty()) {
            for (const auto& item : value) {
                if (!pair(item)) throw Wrong(option.Long, expected);
                pairs.push_back(&item);
            }
        } else {
            throw Wrong(option.Long, expected);
        }
        std::vector<std::string> words;
        for (const nlohmann::ordered_json* p : pairs)
            for (const auto& path : *p) words.push_back(Rebased(path.get<std::string>()));
        return words;
    }

    std::string path_;
    fs::path folder_;
    nlohmann::ordered_json json_;
};

// What parse returns, or TUsageError naming where the text came from.
template <typename F>
auto Checked(const std::string& option, const F& parse)
{
    try {
        return parse();
    } catch (const std::invalid_argument& e) {
        throw TUsageError(option + ": " + e.what());
    }
}

} // namespace

namespace {

// The steps given after the first change (--map, --palette-map, --remap) into the plain chain in
// the order given; the first change (already in the chain, when there is one) stands where its
// source was given, but before every --map, as it always has.
void ChainSteps(TSettings& settings)
{
    TRecipeArgs& args = settings.Recipe;
    TChain& chain = settings.Recolour.Recipe.Chain;
    if (args.PaletteFrom)
        throw TUsageError(settings.Where("palette-map") + ": FROM " + *args.PaletteFrom + " has no TO palette");
    std::optional<TChange> first;
    if (!chain.empty()) {
        first = chain.front();
        chain.clear();
    }
    size_t firstAt = args.FirstAt;
    for (size_t k = 0; k < args.Steps.size(); ++k)
        if (args.Steps[k].Option == std::string_view("map")) {
            firstAt = std::min(firstAt, k);
            break;
        }
    for (size_t k = 0; k <= args.Steps.size(); ++k) {
        if (first && k == std::min(firstAt, args.Steps.size())) chain.push_back(*first);
        if (k == args.Steps.size()) break;
        const TRecipeArgs::TStep& step = args.Steps[k];
        const std::string where = settings.Where(step.Option);
        TChange change;
        if (step.Option == std::string_view("map")) {
            change = Checked(where, [&] { return ParseStep(step.Text); });
        } else {
            TPaletteStep palette;
            palette.Kind = step.Option == std::string_view("remap") ? TPaletteStep::TKind::Remap : TPaletteStep::TKind::Map;
            palette.From = step.Text;
            palette.To = step.To;
            change.Palette = std::make_shared<TPaletteStep>(std::move(palette));
        }
        MergeHueOptions(change.Window, args.Common);
        chain.push_back(std::move(change));
    }
}

// Every palette step's files read (each once), refused with the option or field that named them;
// and what --emit-lut cannot write.
void ReadPaletteSteps(TSettings& settings)
{
    TRecipe& recipe = settings.Recolour.Recipe;
    TPaletteStepReader reader;
    const auto read = [&](TChain& chain, const std::string& where) {
        for (TChange& change : chain) {
            if (!change.Palette) continue;
            const std::string named =
                !where.empty() ? where
                : change.Palette->Kind == TPaletteStep::TKind::Remap ? settings.Where("remap")
                : settings.Has("palette-map")                         ? settings.Where("palette-map")
                                                                      : settings.Where("map");
            Checked(named, [&] {
                reader.Read(*change.Palette);
                return 0;
            });
            // Files the outputs are made from: an output older than one is not up to date.
            for (const std::string& path : {change.Palette->From, change.Palette->To})
                if (!path.empty() && std::find(settings.Recolour.MadeFrom.begin(), settings.Recolour.MadeFrom.end(),
                                               path) == settings.Recolour.MadeFrom.end())
                    settings.Recolour.MadeFrom.push_back(path);
        }
    };
    read(recipe.Chain, "");
    for (TVariant& variant : recipe.Variants) read(variant.Chain, settings.Where("variant") + " " + variant.Name);

    if (!recipe.EmitLut) return;
    const std::string lut = settings.Where("emit-lut");
    for (const TVariant& variant : recipe.Variants)
        if (variant.Name == "lut" || variant.Name == "index")
            throw TUsageError(lut + " writes <stem>_lut.png and <stem>_index.png: a variant cannot be named " +
                              variant.Name + " beside it");
    if (settings.Recolour.Output.OutputFile == "-")
        throw TUsageError(lut + " writes files beside the output: not with -o - (standard output)");
}

// A palette step changes the whole picture: a region given for it (its variant's, --region's,
// --mask's) is refused rather than left unused. So is a region with --emit-lut, whose texture
// gives each colour one answer.
void RefuseRegionsOfPaletteSteps(const TSettings& settings)
{
    const TRecipe& recipe = settings.Recolour.Recipe;
    std::vector<std::pair<const TChain*, std::string>> chains{{&recipe.Chain, ""}};
    for (const TVariant& variant : recipe.Variants) chains.emplace_back(&variant.Chain, variant.Name);
    for (const auto& [chain, variant] : chains)
        for (const TChange& change : *chain) {
            if (change.Region.Whole()) continue;
            const std::string which = variant.empty() ? std::string() : " (variant " + variant + ")";
            if (change.Palette)
                throw TUsageError(change.Palette->Text() + which +
                                  ": a palette step changes the whole picture; keep the hue windows to a region "
                                  "with @X,Y,W,H or @mask=\"FILE\" on their own steps instead of --region or --mask");
            if (recipe.EmitLut)
                throw TUsageError(settings.Where("emit-lut") + ": a change kept to a region" + which +
                                  " does not depend on the colour alone, which a swap texture needs");
        }
}

} // namespace

void ResolveRecipe(TSettings& settings)
{
    TRecipeArgs& args = settings.Recipe;
    TRecolourOptions& options = settings.Recolour;
    if (settings.Has("recipe")) TRecipeFile(args.RecipeFile).Apply(settings);
    const auto given = [&](const char* name) { return settings.Has(name); };
    const auto where = [&](const char* name) { return settings.Where(name); };
    if (given("list")) options.ListFrom = where("list");
    if (given("recipe")) options.MadeFrom.push_back(args.RecipeFile);
    if (!options.ListFile.empty()) options.MadeFrom.push_back(options.ListFile);

    // The options of every change, then a step's own "+option" suffixes on top.
    const auto withCommon = [&](TChange change) {
        MergeHueOptions(change.Window, args.Common);
        return change;
    };

    // The first change: --source, --from-hue or --pick with --tolerance and --target.
    TRecipe& recipe = options.Recipe;
    const bool hasSource = given("source") || given("from-hue") || given("pick");
    if (hasSource) {
        const char* sourceName = given("pick") ? "pick" : given("from-hue") ? "from-hue" : "source";
        if (!given("target"))
            throw TUsageError("--target is missing: the first change (" + where(sourceName) + ") needs a target hue");
        TChange first = withCommon({});
        if (given("pick")) first.Pick = Checked(where("pick"), [&] { return ParsePick(args.Pick); });
        else if (given("from-hue")) first.Window.Source = SourceOfHue(args.FromHue);
        else first.Window.Source = args.Source;
        first.Window.Tolerance = args.Tolerance;
        first.Window.Target = args.Target;
        recipe.Chain.push_back(first);
    } else if (given("target") || given("tolerance")) {
        throw TUsageError(where(given("target") ? "target" : "tolerance") +
                          " needs a source: --source, --from-hue or --pick");
    }
    ChainSteps(settings);

    std::set<std::string> names;
    for (const std::string& text : args.Variants) {
        TVariant variant = Checked(where("variant"), [&] { return ParseVariant(text); });
        if (!names.insert(variant.Name).second)
            throw TUsageError(where("variant") + ": " + variant.Name + " is given twice");
        for (TChange& change : variant.Chain) change = withCommon(change);
        recipe.Variants.push_back(std::move(variant));
    }

    if (recipe.Chain.empty() && recipe.Variants.empty())
        throw TUsageError("nothing to do: give --source (or --from-hue, --pick) with --target, --map, "
                          "--palette-map, --remap or --variant");
    ReadPaletteSteps(settings);

    // Where each change applies: its own rectangle and mask, else its variant's, else those of
    // --region and --mask. Each mask file is read once, here: one that cannot be read stops the run.
    TPlace common;
    if (given("region")) common.Rect = Checked(where("region"), [&] { return ParseRegion(args.Region); });
    if (given("mask")) common.Mask = args.Mask;
    std::map<std::string, std::shared_ptr<const TChangeMask>> masks;
    TSourceLimits limits;
    limits.MaxPixels = settings.MaxPixels;
    const auto resolve = [&](TChain& chain, const TPlace& variant, const std::string& named) {
        for (TChange& change : chain) {
            const TPlace place = change.Place.Within(variant).Within(common);
            change.Region.Rect = place.Rect;
            if (!place.Mask) continue;
            std::shared_ptr<const TChangeMask>& mask = masks[*place.Mask];
            if (!mask) {
                // An output older than a mask it is made with is not up to date (--update).
                options.MadeFrom.push_back(*place.Mask);
                const std::string from = change.Place.Mask ? named : variant.Mask ? where("variant") : where("mask");
                try {
                    mask = LoadChangeMask(*place.Mask, limits);
                } catch (const std::bad_alloc&) {
                    throw TUsageError(from + ": the mask " + *place.Mask + " cannot be read: " + OutOfMemoryText());
                } catch (const std::exception& e) {
                    throw TUsageError(from + ": the mask " + *place.Mask + " cannot be read: " + FailureText(e));
                }
            }
            change.Region.Mask = mask;
        }
    };
    resolve(recipe.Chain, {}, where("map"));
    for (TVariant& variant : recipe.Variants) resolve(variant.Chain, variant.Place, where("variant"));
    RefuseRegionsOfPaletteSteps(settings);
    if (!recipe.Variants.empty() && !options.Output.OutputFile.empty())
        throw TUsageError("--variant writes <stem>_<NAME> files into --out-dir DIR, not into -o OUTPUT");
    if (options.Output.InPlace && (!recipe.Variants.empty() || !options.Output.OutputFile.empty() ||
                                   !options.Output.OutputDir.empty()))
        throw TUsageError("--in-place writes each result over its input: no -o, --out-dir or --variant with it");
}

} // namespace tintabrel::cli
