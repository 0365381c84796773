#include "app/cli/Recipe.h"
#include "recolour/HueOptions.h"

#include "app/cli/CliTool.h"
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

TChain ParseChain(std::string_view text)
{
    TChain chain;
    for (const std::string_view part : Split(text, '/')) chain.push_back(ParseChange(std::string(part)));
    return chain;
}

} // namespace

TChange ParseChange(const std::string& full)
{
    // P:T:H, then "+option" suffixes for this change alone: +wrap, +shift, +visible, +softF.
    std::vector<std::string_view> pieces = Split(full, '+');
    if (pieces[0].empty()) pieces = {full};
    const std::string text(pieces[0]);
    THueWindow options;
    for (size_t k = 1; k < pieces.size(); ++k) {
        const std::string_view o = pieces[k];
        const auto def = std::find_if(HueOptions().begin(), HueOptions().end(), [&](const THueOptionDef& d) {
            const std::string_view suffix = d.Suffix;
            return d.Flag ? o == suffix : o.size() > suffix.size() && o.substr(0, suffix.size()) == suffix;
        });
        if (def == HueOptions().end())
            throw std::invalid_argument("'+" + std::string(o) + "' is not an option of a change (" + HueSuffixList() + ")");
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
    return change;
}

TVariant ParseVariant(const std::string& text)
{
    const size_t equals = text.find('=');
    if (equals == std::string::npos)
        throw std::invalid_argument("'" + text + "' is not NAME=P:T:H[/P:T:H...]");
    TVariant variant;
    variant.Name = text.substr(0, equals);
    const bool nameOk = !variant.Name.empty() && std::all_of(variant.Name.begin(), variant.Name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    });
    if (!nameOk)
        throw std::invalid_argument("variant name '" + variant.Name + "' must be letters, digits, - and _");
    try {
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
                for (const std::string& word : Words(option, item.value())) {
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

    // The words the command line would give for the field's value.
    std::vector<std::string> Words(const TOptionDef& option, const nlohmann::ordered_json& value) const
    {
        const std::string name = option.Long;
        if (name == "variant") {
            // {"NAME": "P:T:H/P:T:H", "NAME": ["P:T:H", "P:T:H"]}
            const char* expected = "expected an object of NAME: \"P:T:H[/P:T:H...]\" or NAME: [\"P:T:H\", ...]";
            if (!value.is_object()) throw Wrong(name, expected);
            std::vector<std::string> words;
            for (const auto& [key, chain] : value.items()) {
                std::string text = key + "=";
                if (chain.is_string()) {
                    text += chain.get<std::string>();
                } else if (chain.is_array() && !chain.empty()) {
                    for (size_t i = 0; i < chain.size(); ++i) {
                        if (!chain[i].is_string()) throw Wrong(name, expected);
                        text += (i ? "/" : "") + chain[i].get<std::string>();
                    }
                } else {
                    throw Wrong(name, expected);
                }
                words.push_back(text);
            }
            return words;
        }
        if (name == "pick") {
            if (value.is_string()) return {value.get<std::string>()};
            if (value.is_array() && value.size() == 2 && value[0].is_number_integer() && value[1].is_number_integer())
                return {value[0].dump() + "," + value[1].dump()};
            throw Wrong(name, "expected [X, Y] or \"X,Y\"");
        }
        if (option.Repeatable) {
            if (value.is_string()) return {value.get<std::string>()};
            std::vector<std::string> words;
            const std::string expected = std::string("expected a list of \"") + option.ValueText + "\" strings";
            if (!value.is_array()) throw Wrong(name, expected);
            for (const auto& item : value) {
                if (!item.is_string()) throw Wrong(name, expected);
                words.push_back(item.get<std::string>());
            }
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
    for (const std::string& map : args.Maps)
        recipe.Chain.push_back(withCommon(Checked(where("map"), [&] { return ParseChange(map); })));

    std::set<std::string> names;
    for (const std::string& text : args.Variants) {
        TVariant variant = Checked(where("variant"), [&] { return ParseVariant(text); });
        if (!names.insert(variant.Name).second)
            throw TUsageError(where("variant") + ": " + variant.Name + " is given twice");
        for (TChange& change : variant.Chain) change = withCommon(change);
        recipe.Variants.push_back(std::move(variant));
    }

    if (recipe.Chain.empty() && recipe.Variants.empty())
        throw TUsageError("nothing to do: give --source (or --from-hue, --pick) with --target, --map or --variant");
    if (!recipe.Variants.empty() && !options.Output.OutputFile.empty())
        throw TUsageError("--variant writes <stem>_<NAME> files into --out-dir DIR, not into -o OUTPUT");
    if (options.Output.InPlace && (!recipe.Variants.empty() || !options.Output.OutputFile.empty() ||
                                   !options.Output.OutputDir.empty()))
        throw TUsageError("--in-place writes each result over its input: no -o, --out-dir or --variant with it");
}

} // namespace tintabrel::cli
