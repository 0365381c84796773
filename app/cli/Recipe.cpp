#include "app/cli/Recipe.h"

#include "app/cli/CliTool.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
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

TChange ParseChange(const std::string& text)
{
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

// The recipe file's fields are the long options' names. Those here are fed to the option
// itself, so that they pass the same checks and conversions as on the command line.
const char* const FedFields[] = {"source", "from-hue", "pick",   "tolerance",  "target",    "map",
                                 "variant", "list",    "output", "out-dir",    "format",    "overwrite",
                                 "png-filter", "png-level", "interlace"};

class TRecipeFile {
public:
    TRecipeFile(CLI::App& command, const std::string& path) : command_(command), path_(path)
    {
        std::error_code ec;
        if (fs::is_directory(path, ec)) throw TUsageError("--recipe " + path + " is a folder");
        std::ifstream file(path, std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        if (!file || file.bad())
            throw TUsageError("--recipe " + path + ": cannot read it (" + std::strerror(errno) + ")");
        try {
            json_ = nlohmann::ordered_json::parse(text.str());
        } catch (const nlohmann::json::exception& e) {
            throw TUsageError(path + ": not valid JSON: " + e.what());
        }
        if (!json_.is_object()) throw TUsageError(path + ": must hold one JSON object of options");
        for (const auto& item : json_.items()) {
            const std::string& key = item.key();
            if (std::find_if(std::begin(FedFields), std::end(FedFields),
                             [&](const char* f) { return key == f; }) == std::end(FedFields))
                throw TUsageError(path + ": unknown field \"" + key + "\" (the fields are the options' long names)");
        }
        folder_ = fs::path(path).parent_path();
    }

    // Whether the file gives this field.
    bool Has(const char* field) const { return json_.contains(field); }

    // Feeds a field to its option, unless the command line gave one of the options in group.
    void Feed(const char* field, std::initializer_list<const char*> group = {})
    {
        if (!Has(field) || Given(field)) return;
        for (const char* other : group)
            if (Given(other)) return;
        const nlohmann::ordered_json& value = json_.at(field);
        CLI::Option* option = command_.get_option(std::string("--") + field);
        try {
            for (const std::string& result : Results(field, value)) option->add_result(result);
            option->run_callback();
        } catch (const CLI::Error& e) {
            throw Wrong(field, e.what());
        }
    }

    // A path in the file counts from the file's folder.
    std::string PathField(const char* field) const
    {
        const nlohmann::ordered_json& value = json_.at(field);
        if (!value.is_string()) throw Wrong(field, "expected a path");
        const fs::path p(value.get<std::string>());
        return p.is_absolute() || p.empty() ? p.string() : (folder_ / p).string();
    }

    const nlohmann::ordered_json& At(const char* field) const { return json_.at(field); }

    TUsageError Wrong(const std::string& field, const std::string& what) const
    {
        return TUsageError(path_ + ": field \"" + field + "\": " + what);
    }

    bool Given(const char* field) const { return command_.count(std::string("--") + field) > 0; }

private:
    std::vector<std::string> Results(const char* field, const nlohmann::ordered_json& value) const
    {
        const std::string name = field;
        if (name == "map") {
            std::vector<std::string> results;
            if (value.is_string()) return {value.get<std::string>()};
            if (!value.is_array()) throw Wrong(field, "expected a list of \"P:T:H\" strings");
            for (const auto& item : value) {
                if (!item.is_string()) throw Wrong(field, "expected a list of \"P:T:H\" strings");
                results.push_back(item.get<std::string>());
            }
            return results;
        }
        if (name == "variant") {
            // {"NAME": "P:T:H/P:T:H", "NAME": ["P:T:H", "P:T:H"]}
            const char* expected = "expected an object of NAME: \"P:T:H[/P:T:H...]\" or NAME: [\"P:T:H\", ...]";
            if (!value.is_object()) throw Wrong(field, expected);
            std::vector<std::string> results;
            for (const auto& [key, chain] : value.items()) {
                std::string text = key + "=";
                if (chain.is_string()) {
                    text += chain.get<std::string>();
                } else if (chain.is_array() && !chain.empty()) {
                    for (size_t i = 0; i < chain.size(); ++i) {
                        if (!chain[i].is_string()) throw Wrong(field, expected);
                        text += (i ? "/" : "") + chain[i].get<std::string>();
                    }
                } else {
                    throw Wrong(field, expected);
                }
                results.push_back(text);
            }
            return results;
        }
        if (name == "pick") {
            if (value.is_string()) return {value.get<std::string>()};
            if (value.is_array() && value.size() == 2 && value[0].is_number_integer() && value[1].is_number_integer())
                return {value[0].dump() + "," + value[1].dump()};
            throw Wrong(field, "expected [X, Y] or \"X,Y\"");
        }
        if (name == "overwrite" || name == "interlace") {
            if (!value.is_boolean()) throw Wrong(field, "expected true or false");
            return {value.get<bool>() ? "true" : "false"};
        }
        if (name == "list" || name == "output" || name == "out-dir") return {PathField(field)};
        if (name == "format" || name == "png-filter") {
            if (!value.is_string()) throw Wrong(field, "expected a name");
            return {value.get<std::string>()};
        }
        if (!value.is_number_integer()) throw Wrong(field, "expected a whole number");
        return {value.dump()};
    }

    CLI::App& command_;
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

void ResolveRecipe(CLI::App& command, TRecipeArgs& args, TRecolourOptions& options)
{
    // Given on the command line or by the file, and, for messages, where.
    auto given = [&](const char* option) { return command.count(option) > 0; };
    std::set<std::string> onCommandLine;
    for (const char* option : {"--source", "--from-hue", "--pick", "--tolerance", "--target", "--map", "--variant"})
        if (given(option)) onCommandLine.insert(option);
    auto where = [&](const std::string& option) {
        if (args.RecipeFile.empty() || onCommandLine.count(option)) return option;
        return args.RecipeFile + ": field \"" + option.substr(2) + "\"";
    };
    const bool sourceOnCommandLine = given("--source") || given("--from-hue") || given("--pick");
    const bool outputOnCommandLine = given("--output") || given("--out-dir");

    std::optional<TRecipeFile> file;
    if (given("--recipe")) file.emplace(command, args.RecipeFile);
    if (file) {
        int sources = 0;
        for (const char* f : {"source", "from-hue", "pick"}) sources += file->Has(f);
        if (sources > 1 && !sourceOnCommandLine)
            throw TUsageError(args.RecipeFile + ": give only one of the fields \"source\", \"from-hue\" and \"pick\"");
        if (file->Has("output") && file->Has("out-dir") && !outputOnCommandLine)
            throw TUsageError(args.RecipeFile + ": give only one of the fields \"output\" and \"out-dir\"");
        if (!sourceOnCommandLine)
            for (const char* f : {"source", "from-hue", "pick"}) file->Feed(f);
        for (const char* f : {"tolerance", "target", "map", "variant", "format", "overwrite", "png-filter",
                              "png-level", "interlace"})
            file->Feed(f);
        if (!outputOnCommandLine)
            for (const char* f : {"output", "out-dir"}) file->Feed(f);
        // The protected list: a path like --list, or the colour strings themselves.
        if (file->Has("list") && !given("--list")) {
            const nlohmann::ordered_json& list = file->At("list");
            if (list.is_array()) {
                std::vector<std::string> colours;
                for (const auto& line : list) {
                    if (!line.is_string()) throw file->Wrong("list", "expected a path or a list of colour strings");
                    colours.push_back(line.get<std::string>());
                }
                options.Recipe.ListColours = std::move(colours);
            } else {
                file->Feed("list");
            }
        }
    }

    // The first change: --source, --from-hue or --pick with --tolerance and --target.
    TRecipe& recipe = options.Recipe;
    const bool hasSource = given("--source") || given("--from-hue") || given("--pick");
    if (hasSource) {
        if (!given("--target"))
            throw TUsageError("--target is missing: the first change (" + where(given("--pick")       ? "--pick"
                                                                                 : given("--from-hue") ? "--from-hue"
                                                                                                       : "--source") +
                              ") needs a target hue");
        TChange first;
        if (given("--pick")) first.Pick = Checked(where("--pick"), [&] { return ParsePick(args.Pick); });
        else if (given("--from-hue")) first.Window.Source = SourceOfHue(args.FromHue);
        else first.Window.Source = args.Source;
        first.Window.Tolerance = args.Tolerance;
        first.Window.Target = args.Target;
        recipe.Chain.push_back(first);
    } else if (given("--target") || given("--tolerance")) {
        throw TUsageError(where(given("--target") ? "--target" : "--tolerance") +
                          " needs a source: --source, --from-hue or --pick");
    }
    for (const std::string& map : args.Maps)
        recipe.Chain.push_back(Checked(where("--map"), [&] { return ParseChange(map); }));

    std::set<std::string> names;
    for (const std::string& text : args.Variants) {
        TVariant variant = Checked(where("--variant"), [&] { return ParseVariant(text); });
        if (!names.insert(variant.Name).second)
            throw TUsageError(where("--variant") + ": " + variant.Name + " is given twice");
        recipe.Variants.push_back(std::move(variant));
    }

    if (recipe.Chain.empty() && recipe.Variants.empty())
        throw TUsageError("nothing to do: give --source (or --from-hue, --pick) with --target, --map or --variant");
    if (!recipe.Variants.empty() && !options.Output.OutputFile.empty())
        throw TUsageError("--variant writes <stem>_<NAME> files into --out-dir DIR, not into -o OUTPUT");
    if (options.Json && !options.DryRun) throw TUsageError("--json reports a --dry-run; give both");
}

} // namespace tintabrel::cli
