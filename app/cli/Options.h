// The one table of the tool's options. It drives the command-line parser, the fields of a recipe
// file, the usage text, the manual page and the shell completions, so that none of them can know
// an option the others do not, and every value passes the same checks wherever it was written.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/cli/CliTool.h"

namespace tintabrel::cli {

// The commands an option belongs to.
enum TCommand : unsigned { CmdRecolour = 1, CmdConvert = 2, CmdInfo = 4, CmdPalette = 8 };

enum class TValueType {
    Flag,   // given or not; true/false in a recipe
    Number, // a whole number written in digits, within Lo..Hi
    Name,   // one of Names, letter case ignored; numbers are not names
    Text,   // any text (its own parser checks it later)
    Path,   // a file or folder; in a recipe counted from the recipe's folder
};

// Everything the options of the three commands set, and where each came from.
struct TSettings {
    TRecipeArgs Recipe;
    TRecolourOptions Recolour; // Output, Run and Json serve convert and info too
    int64_t MaxPixels = 0;
    // "--name" when the command line gave it, "FILE: field \"name\"" when a recipe did.
    std::map<std::string, std::string> Given;
    bool Has(const std::string& name) const { return Given.count(name) > 0; }
    std::string Where(const std::string& name) const
    {
        const auto it = Given.find(name);
        return it == Given.end() ? "--" + name : it->second;
    }
};

struct TOptionDef {
    const char* Long;  // without the dashes
    const char* Short; // one letter, or ""
    unsigned Commands;
    TValueType Type;
    std::string ValueText; // for the usage text: "0-360", "FILE" ...
    std::string Help;
    int64_t Lo = 0, Hi = 0;         // Number
    std::vector<std::string> Names; // Name
    bool Repeatable = false;        // each value is one more (e.g. --map)
    bool InRecipe = true;           // may be a recipe field
    const char* Group = "";         // at most one option of a group is given
    // Stores one checked value (for a Flag "true" or "false"; for a Name the name in lower case).
    std::function<void(TSettings&, const std::string&)> Store;
    int Values = 1;       // the words each use takes (--palette-map FROM TO: 2)
    bool InOrder = false; // stored in the order given among the others so marked (the steps of a chain)
    // What the option means for a command where Help does not hold (the palette command's -o).
    std::vector<std::pair<unsigned, std::string>> HelpFor = {};

    const std::string& HelpIn(unsigned command) const
    {
        for (const auto& [commands, text] : HelpFor)
            if (commands & command) return text;
        return Help;
    }
};

const std::vector<TOptionDef>& OptionTable();
const TOptionDef* FindOption(const std::string& longName);

// The value as the option takes it, or std::invalid_argument saying why not (without the option).
std::string CheckValue(const TOptionDef& option, const std::string& text);

// Letters to insert, delete or change to turn a into b.
size_t EditDistance(const std::string& a, const std::string& b);

// The long option nearest to a mistyped one for the command ("" when none is near).
std::string NearestOption(const std::string& typed, unsigned command);

// Texts made from the table.
std::string UsageText();
std::string ManualPage();                      // roff
std::string Completion(const std::string& shell); // bash, zsh or fish; "" for another

} // namespace tintabrel::cli
