#include "app/cli/Options.h"
#include "app/PictureFormats.h"

#include "app/PictureFiles.h"
#include "recolour/HueOptions.h"

#include <algorithm>
#include <charconv>
#include <sstream>
#include <stdexcept>

namespace tintabrel::cli {

namespace {

constexpr unsigned R = CmdRecolour, C = CmdConvert, I = CmdInfo, P = CmdPalette;

bool IsTrue(const std::string& value) { return value == "true"; }
int ToInt(const std::string& value) { return std::stoi(value); }

std::vector<std::string> SavingKeys()
{
    std::vector<std::string> keys;
    for (const TPictureFormat* format : PictureFormats())
        if (format->Has(fmtSaves)) keys.push_back(format->Key);
    return keys;
}

// The filters a plain save can write, by the names the option takes.
TPngFilter FilterOfName(const std::string& name)
{
    static const std::pair<const char*, TPngFilter> names[] = {
        {"none", TPngFilter::None},   {"sub", TPngFilter::Sub},     {"up", TPngFilter::Up},
        {"average", TPngFilter::Average}, {"paeth", TPngFilter::Paeth}, {"adaptive", TPngFilter::Adaptive}};
    for (const auto& [text, filter] : names)
        if (name == text) return filter;
    return TPngFilter::None;
}

TOptionDef* Row(std::vector<TOptionDef>& t, std::string_view name)
{
    for (TOptionDef& o : t)
        if (o.Long == name) return &o;
    throw std::logic_error("no option " + std::string(name));
}

// Palette swaps: steps that map colours by palette files, taking their places in a chain in the
// order given beside --map and the first change; the swap texture; and the palette command,
// which shares the options of reading one input and writing one file.
void AddPaletteSwaps(std::vector<TOptionDef>& t)
{
    using T = TValueType;
    TOptionDef& map = *Row(t, "map");
    map.InOrder = true;
    map.Store = [store = map.Store](TSettings& s, const std::string& v) {
        store(s, v);
        s.Recipe.Steps.push_back({"map", v, {}});
    };
    // The first change stands where its source is given.
    for (const char* name : {"source", "from-hue", "pick"}) {
        TOptionDef& source = *Row(t, name);
        source.InOrder = true;
        source.Store = [store = source.Store](TSettings& s, const std::string& v) {
            store(s, v);
            s.Recipe.FirstAt = s.Recipe.Steps.size();
        };
    }
    const auto at = std::find_if(t.begin(), t.end(), [](const TOptionDef& o) { return o.Long == std::string_view("map"); });
    std::vector<TOptionDef> steps;
    steps.push_back({"palette-map", "", R, T::Path, "FROM TO",
                     "then map the colours of palette file FROM to those of TO, entry by entry (.gpl .pal .hex .act "
                     ".png)",
                     0, 0, {}, true, true, "",
                     [](TSettings& s, const std::string& v) {
                         if (!s.Recipe.PaletteFrom) {
                             s.Recipe.PaletteFrom = v;
                             return;
                         }
                         s.Recipe.Steps.push_back({"palette-map", *s.Recipe.PaletteFrom, v});
                         s.Recipe.PaletteFrom.reset();
                     },
                     2, true});
    steps.push_back({"remap", "", R, T::Path, "PALETTE",
                     "then give every colour the nearest entry of the palette file (OKLab); the output's palette "
                     "begins with its entries",
                     0, 0, {}, true, true, "",
                     [](TSettings& s, const std::string& v) { s.Recipe.Steps.push_back({"remap", v, {}}); }, 1, true});
    steps.push_back({"emit-lut", "", R, T::Flag, "",
                     "also write NAME_lut.png and NAME_index.png, a swap texture of the variants for shaders", 0, 0,
                     {}, false, true, "",
                     [](TSettings& s, const std::string& v) { s.Recolour.Recipe.EmitLut = IsTrue(v); }});
    t.insert(at + 1, steps.begin(), steps.end());
    for (const char* name : {"output", "json", "overwrite", "max-pixels"}) Row(t, name)->Commands |= P;
    Row(t, "output")->HelpFor.emplace_back(
        P, "palette file to write, in the format its extension says (.gpl .pal .hex .act .png); without -o the "
           "colours go to standard output as .hex lines");
}

// What becomes of an animation: its first frame alone, its frames as a sprite sheet, or a sheet
// read back into frames. Placed after the options of where the outputs go.
void AddAnimationOptions(std::vector<TOptionDef>& t)
{
    using T = TValueType;
    std::vector<TOptionDef> rows;
    rows.push_back({"first-frame", "", R | C, T::Flag, "",
                    "write only an animation's first frame, as a still picture (a format that holds no animation "
                    "gets it anyway)",
                    0, 0, {}, false, true, "frames",
                    [](TSettings& s, const std::string& v) { s.Recolour.Output.Animation.FirstFrame = IsTrue(v); }});
    rows.push_back({"sheet", "", C, T::Number, "COLUMNS",
                    "write an animation's frames side by side as one picture (a sprite sheet), COLUMNS to a row, "
                    "each on its full canvas",
                    1, 65535, {}, false, true, "frames",
                    [](TSettings& s, const std::string& v) { s.Recolour.Output.Animation.SheetColumns = ToInt(v); }});
    rows.push_back({"frames", "", C, T::Text, "W,H[,COUNT]",
                    "read the picture as a sprite sheet of W x H frames, row by row, into an animation (GIF or PNG "
                    "by the output's name); COUNT: the first COUNT frames (default: up to the last frame not wholly "
                    "transparent)",
                    0, 0, {}, false, true, "frames",
                    [](TSettings& s, const std::string& v) { s.Recolour.Output.Animation.Frames = ParseSheetCells(v); }});
    rows.push_back({"delay", "", C, T::Number, "MS", "with --frames: how long each frame shows, in milliseconds (default 100)",
                    0, 65535, {}, false, true, "",
                    [](TSettings& s, const std::string& v) {
                        s.Recolour.Output.Animation.DelayMs = ToInt(v);
                        s.Recolour.Output.Animation.DelayGiven = true;
                    }});
    const auto at = std::find_if(t.begin(), t.end(), [](const TOptionDef& o) { return std::string(o.Long) == "truecolour"; });
    t.insert(at == t.end() ? at : at + 1, rows.begin(), rows.end());
}

std::vector<TOptionDef> MakeTable()
{
    using T = TValueType;
    std::vector<TOptionDef> t;
    auto add = [&](TOptionDef def) { t.push_back(std::move(def)); };

    // The changes.
    add({"source", "", R, T::Number, "0-360", "source slider position (mirrored hue scale)", 0, 360, {}, false, true,
         "source", [](TSettings& s, const std::string& v) { s.Recipe.Source = ToInt(v); }});
    add({"from-hue", "", R, T::Number, "0-360", "source as a hue in degrees: position (240 - F) mod 360", 0, 360, {},
         false, true, "source", [](TSettings& s, const std::string& v) { s.Recipe.FromHue = ToInt(v); }});
    add({"pick", "", R, T::Text, "X,Y", "source picked from pixel X,Y of each input, as a click does", 0, 0, {}, false,
         true, "source", [](TSettings& s, const std::string& v) { s.Recipe.Pick = v; }});
    add({"tolerance", "", R, T::Number, "0-36", "half width of the hue window (default 18)", 0, 36, {}, false, true, "",
         [](TSettings& s, const std::string& v) { s.Recipe.Tolerance = ToInt(v); }});
    add({"target", "", R, T::Number, "0-360", "target hue in degrees", 0, 360, {}, false, true, "",
         [](TSettings& s, const std::string& v) { s.Recipe.Target = ToInt(v); }});
    // The hue window's options, each for every change (a change's own "+suffix" adds to it).
    for (const THueOptionDef& o : HueOptions())
        add({o.Name, "", R, o.Flag ? T::Flag : T::Number, o.ValueText, o.Help, o.Lo, o.Hi, {}, false, true, "",
             [&o](TSettings& s, const std::string& v) { o.Set(s.Recipe.Common, o.Flag ? IsTrue(v) : ToInt(v)); }});
    // Where the changes apply: not colour rules, so not hue-window options, but for every change
    // as those are (a step's or variant's own "@" place wins).
    add({"region", "", R, T::Text, "X,Y,W,H",
         "change only the rectangle W x H from column X, row Y (a change's @X,Y,W,H wins)", 0, 0, {}, false, true, "",
         [](TSettings& s, const std::string& v) { s.Recipe.Region = v; }});
    add({"mask", "", R, T::Path, "FILE",
         "change only where this picture (the input's size) is neither black nor fully transparent "
         "(a change's @mask=\"FILE\" wins)",
         0, 0, {}, false, true, "", [](TSettings& s, const std::string& v) { s.Recipe.Mask = v; }});
    add({"map", "", R, T::Text, "P:T:H",
         "then this change on the result (P or hF : tolerance : target[+options][@X,Y,W,H][@mask=\"FILE\"])", 0, 0,
         {}, true, true, "", [](TSettings& s, const std::string& v) { s.Recipe.Maps.push_back(v); }});
    add({"variant", "", R, T::Text, "NAME[@X,Y,W,H]=P:T:H[/P:T:H...]",
         "one more output per input, <stem>_<NAME>, with its own changes", 0, 0, {}, true, true, "",
         [](TSettings& s, const std::string& v) { s.Recipe.Variants.push_back(v); }});
    add({"recipe", "", R, T::Path, "FILE.json", "JSON file of these options (the command line wins)", 0, 0, {}, false,
         false, "", [](TSettings& s, const std::string& v) { s.Recipe.RecipeFile = v; }});
    add({"list", "", R, T::Path, "FILE", "protected-colour list (ColorList.dat format)", 0, 0, {}, false, true, "",
         [](TSettings& s, const std::string& v) { s.Recolour.ListFile = v; }});

    // What is reported and how.
    add({"dry-run", "", R, T::Flag, "", "write nothing; count what each change would alter", 0, 0, {}, false, true, "",
         [](TSettings& s, const std::string& v) { s.Recolour.DryRun = IsTrue(v); }});
    add({"json", "", R | C | I, T::Flag, "", "report one JSON object per input, one per line", 0, 0, {}, false, true,
         "", [](TSettings& s, const std::string& v) { s.Recolour.Json = IsTrue(v); }});

    // Where the outputs go.
    add({"output", "o", R | C, T::Path, "OUTPUT", "output file (one input only; - for standard output)", 0, 0, {}, false,
         true, "output", [](TSettings& s, const std::string& v) { s.Recolour.Output.OutputFile = v; }});
    add({"out-dir", "", R | C, T::Path, "DIR", "folder for the outputs, named as the inputs", 0, 0, {}, false, true,
         "output", [](TSettings& s, const std::string& v) { s.Recolour.Output.OutputDir = v; }});
    add({"in-place", "", R | C, T::Flag, "", "replace each input by its result (atomically)", 0, 0, {}, false, true,
         "", [](TSettings& s, const std::string& v) { s.Recolour.Output.InPlace = IsTrue(v); }});
    add({"break-hard-links", "", R | C, T::Flag, "",
         "--in-place also replaces a file of several hard links, under the name given alone (the other names keep "
         "the old file)",
         0, 0, {}, false, true, "", [](TSettings& s, const std::string& v) { s.Recolour.Output.BreakHardLinks = IsTrue(v); }});
    add({"preserve", "", R | C, T::Flag, "", "each output keeps its input's modification time (--in-place: the file's own)",
         0, 0, {}, false, true, "", [](TSettings& s, const std::string& v) { s.Recolour.Output.Preserve = IsTrue(v); }});
    add({"recursive", "r", R | C | I, T::Flag, "", "walk folders among the inputs for " + JoinedFormats(FormatExtension, false, ", ", " and ") + " files", 0, 0, {}, false,
         true, "", [](TSettings& s, const std::string& v) { s.Recolour.Recursive = IsTrue(v); }});
    add({"format", "", R | C, T::Name, JoinedFormats(FormatKey, true, "|", "|"),
         "output format (default: by the output's name, else the input's)", 0, 0, SavingKeys(), false, true, "",
         [](TSettings& s, const std::string& v) { s.Recolour.Output.Format = FormatOfKey(v); }});
    add({"overwrite", "", R | C, T::Flag, "", "replace existing output files", 0, 0, {}, false, true, "",
         [](TSettings& s, const std::string& v) { s.Recolour.Output.Overwrite = IsTrue(v); }});
    add({"update", "", R | C, T::Flag, "", "skip an output not older than its input (and the recipe and list)", 0, 0, {},
         false, true, "", [](TSettings& s, const std::string& v) { s.Recolour.Output.Update = IsTrue(v); }});
    add({"truecolour", "", R, T::Flag, "", "24-bit output even for palette pictures", 0, 0, {}, false, true, "",
         [](TSettings& s, const std::string& v) { s.Recolour.TrueColour = IsTrue(v); }});

    // How PNG files are written.
    add({"png-filter", "", R | C, T::Name, "none|sub|up|average|paeth|adaptive", "PNG row filter (default none)", 0, 0,
         {"none", "sub", "up", "average", "paeth", "adaptive"}, false, true, "",
         [](TSettings& s, const std::string& v) { s.Recolour.Output.Png.Filter = FilterOfName(v); }});
    add({"png-level", "", R | C, T::Number, "0-9", "PNG compression level (default 6)", 0, 9, {}, false, true, "",
         [](TSettings& s, const std::string& v) { s.Recolour.Output.Png.CompressionLevel = ToInt(v); }});
    add({"interlace", "", R | C, T::Flag, "", "write interlaced (Adam7) PNG", 0, 0, {}, false, true, "",
         [](TSettings& s, const std::string& v) { s.Recolour.Output.Png.Interlace = IsTrue(v); }});
    add({"optimize", "", R | C, T::Flag, "", "write the smallest PNG of the same pixels (slower)", 0, 0, {}, false,
         true, "", [](TSettings& s, const std::string& v) { s.Recolour.Output.Png.Optimize = IsTrue(v); }});
    add({"strip", "", R | C, T::Flag, "", "write only the chunks the pixels need (no time, text or gamma)", 0, 0, {},
         false, true, "", [](TSettings& s, const std::string& v) { s.Recolour.Output.Strip = IsTrue(v); }});
    add({"no-time", "", R | C, T::Flag, "", "no tIME chunk (SOURCE_DATE_EPOCH fixes it instead)", 0, 0, {}, false,
         true, "", [](TSettings& s, const std::string& v) { s.Recolour.Output.NoTime = IsTrue(v); }});

    // Limits and the run.
    add({"max-pixels", "", R | C | I, T::Number, "N", "refuse pictures of more pixels (default and most: " + std::to_string(MaxPicturePixels()) + ")",
         1, MaxPicturePixels(), {}, false, true, "",
         [](TSettings& s, const std::string& v) { s.MaxPixels = std::stoll(v); }});
    add({"jobs", "j", R | C, T::Number, "N", "files processed at once (default: the cores)", 1, 1024, {}, false, true, "",
         [](TSettings& s, const std::string& v) { s.Recolour.Run.Jobs = static_cast<unsigned>(ToInt(v)); }});
    add({"quiet", "q", R | C, T::Flag, "", "no progress bar, no hints", 0, 0, {}, false, true, "",
         [](TSettings& s, const std::string& v) { s.Recolour.Run.Quiet = IsTrue(v); }});
    add({"verbose", "v", R | C, T::Flag, "", "say how each file went and sum up the run", 0, 0, {}, false, true, "",
         [](TSettings& s, const std::string& v) { s.Recolour.Run.Verbose = IsTrue(v); }});
    AddPaletteSwaps(t);
    AddAnimationOptions(t);
    return t;
}

} // namespace

size_t EditDistance(const std::string& a, const std::string& b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = up;
        }
    }
    return row[b.size()];
}

namespace {

const char* CommandName(unsigned command)
{
    return command == CmdRecolour ? "recolour" : command == CmdConvert ? "convert" : command == CmdPalette ? "palette" : "info";
}

std::string Lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string Joined(const std::vector<std::string>& names, const char* separator)
{
    std::string text;
    for (size_t k = 0; k < names.size(); ++k) text += (k ? separator : "") + names[k];
    return text;
}

// "--name VALUE" or "-n, --name VALUE".
std::string Spelling(const TOptionDef& o)
{
    std::string text = *o.Short ? std::string("-") + o.Short + ", --" + o.Long : std::string("--") + o.Long;
    if (o.Type != TValueType::Flag) text += std::string(" ") + o.ValueText;
    return text;
}

// Roff needs its backslashes and leading dots and dashes escaped.
std::string Roff(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\e";
        else if (c == '-') out += "\\-";
        else out += c;
    }
    return out;
}

} // namespace

const std::vector<TOptionDef>& OptionTable()
{
    static const std::vector<TOptionDef> table = MakeTable();
    return table;
}

const TOptionDef* FindOption(const std::string& longName)
{
    for (const TOptionDef& o : OptionTable())
        if (longName == o.Long) return &o;
    return nullptr;
}

std::string CheckValue(const TOptionDef& option, const std::string& text)
{
    switch (option.Type) {
    case TValueType::Flag:
        if (text != "true" && text != "false") throw std::invalid_argument("expected true or false");
        return text;
    case TValueType::Number: {
        int64_t value = 0;
        const char* end = text.data() + text.size();
        const auto [ptr, ec] = std::from_chars(text.data(), end, value);
        const bool digits = !text.empty() && text[0] != '-' && text[0] != '+' && ptr == end;
        if (!digits && !(ec == std::errc::result_out_of_range && ptr == end))
            throw std::invalid_argument("'" + text + "' is not a whole number");
        if (ec == std::errc::result_out_of_range || value < option.Lo || value > option.Hi)
            throw std::invalid_argument(text + " is outside " + std::to_string(option.Lo) + "-" +
                                        std::to_string(option.Hi));
        return std::to_string(value);
    }
    case TValueType::Name: {
        const std::string name = Lower(text);
        if (std::find(option.Names.begin(), option.Names.end(), name) == option.Names.end())
            throw std::invalid_argument("'" + text + "' is not one of " + Joined(option.Names, ", "));
        return name;
    }
    case TValueType::Text:
    case TValueType::Path:
        if (option.Type == TValueType::Path && text.empty()) throw std::invalid_argument("the path is empty");
        return text;
    }
    return text;
}

std::string NearestOption(const std::string& typed, unsigned command)
{
    std::string word = typed;
    while (!word.empty() && word[0] == '-') word.erase(0, 1);
    word = word.substr(0, word.find('='));
    std::string best;
    size_t bestDistance = std::max<size_t>(2, word.size() / 3) + 1;
    for (const TOptionDef& o : OptionTable()) {
        if (!(o.Commands & command)) continue;
        const size_t d = EditDistance(word, o.Long);
        if (d < bestDistance) {
            bestDistance = d;
            best = std::string("--") + o.Long;
        }
    }
    return best;
}

std::string UsageText()
{
    std::string text;
    for (const unsigned command : {CmdRecolour, CmdConvert, CmdInfo, CmdPalette}) {
        const std::string head = std::string(text.empty() ? "usage: " : "       ") + "tintabrel-cli " +
                                 CommandName(command);
        std::string line = head;
        const std::string indent(head.size(), ' ');
        auto put = [&](const std::string& word) {
            if (line.size() + 1 + word.size() > 110) {
                text += line + "\n";
                line = indent;
            }
            line += " " + word;
        };
        for (const TOptionDef& o : OptionTable()) {
            if (!(o.Commands & command)) continue;
            std::string word = *o.Short ? std::string("-") + o.Short : std::string("--") + o.Long;
            if (o.Type != TValueType::Flag) word += std::string(" ") + o.ValueText;
            put("[" + word + "]" + (o.Repeatable ? "..." : ""));
        }
        put(command == CmdConvert ? "(INPUT OUTPUT | INPUT...)" : command == CmdPalette ? "INPUT" : "INPUT...");
        text += line + "\n";
    }
    text += "       tintabrel-cli --help | --version\n"
            "An INPUT of - reads standard input; an OUTPUT of - writes standard output.\n";
    return text;
}

std::string ManualPage()
{
    std::ostringstream m;
    m << ".TH TINTABREL-CLI 1 \"\" \"tintabrel-cli " << TINTABREL_VERSION << "\" \"User Commands\"\n"
      << ".SH NAME\ntintabrel-cli \\- recolour " << JoinedFormats(FormatName, false, ", ", " and ")
      << " sprites as the Tintabrel window does\n"
      << ".SH SYNOPSIS\n";
    for (const unsigned command : {CmdRecolour, CmdConvert, CmdInfo, CmdPalette})
        m << ".B tintabrel-cli " << CommandName(command) << "\n[\\fIOPTION\\fR]... "
          << (command == CmdConvert   ? "\\fIINPUT OUTPUT\\fR | \\fIINPUT\\fR..."
              : command == CmdPalette ? "\\fIINPUT\\fR"
                                      : "\\fIINPUT\\fR...")
          << "\n.br\n";
    m << ".SH DESCRIPTION\n"
         "\\fBrecolour\\fR gives every pixel whose hue lies in a window a new hue, keeping its saturation and "
         "value, except pixels whose colour is on the protected list; it gives exactly the result of the "
         "window's check for the same slider positions. \\fBconvert\\fR rewrites a picture as "
      << JoinedFormats(FormatName, true, ", ", " or ") << " without "
         "changing it: \\fIINPUT OUTPUT\\fR, or any number of inputs with \\fB\\-o\\fR, \\fB\\-\\-out\\-dir\\fR or "
         "\\fB\\-\\-in\\-place\\fR (as \\fBrecolour\\fR). \\fBinfo\\fR describes pictures. \\fBpalette\\fR "
         "writes a picture's palette (a palette picture's entries in order, else its colours in the order first "
         "met) to the palette file \\fB\\-o\\fR names (.gpl, .pal, .hex, .act or .png by its extension), or "
         "as .hex lines to standard output.\n"
         "An INPUT of \\- reads standard input; an OUTPUT of \\- writes standard output.\n";
    for (const unsigned command : {CmdRecolour, CmdConvert, CmdInfo, CmdPalette}) {
        m << ".SH " << Lower(CommandName(command)) << " OPTIONS\n";
        for (const TOptionDef& o : OptionTable()) {
            if (!(o.Commands & command)) continue;
            m << ".TP\n.B " << Roff(Spelling(o)) << "\n" << Roff(o.HelpIn(command));
            if (o.Repeatable) m << " (repeatable)";
            m << "\n";
        }
    }
    m << ".SH RECIPES\nA recipe file (\\fB\\-\\-recipe\\fR) is one JSON object whose fields are the long options "
         "above without their dashes; options given on the command line win over it. A step of \\fBmap\\fR or of a "
         "variant may also be an object {\"change\": \"P:T:H\", \"region\": [X, Y, W, H], \"mask\": \"FILE\"}, "
         "and a variant {\"changes\": [...], \"region\": ..., \"mask\": ...}; masks count from the recipe's folder.\n"
         ".SH ENVIRONMENT\n.TP\n.B SOURCE_DATE_EPOCH\nthe time written into PNG files (seconds since 1970), so "
         "that builds are reproducible.\n"
         ".SH EXIT STATUS\n0 all done, 1 some files failed, 2 bad command line.\n";
    return m.str();
}

std::string Completion(const std::string& shell)
{
    std::ostringstream c;
    auto options = [](unsigned command) {
        std::vector<std::string> words;
        for (const TOptionDef& o : OptionTable()) {
            if (!(o.Commands & command)) continue;
            words.push_back(std::string("--") + o.Long);
            if (*o.Short) words.push_back(std::string("-") + o.Short);
        }
        return words;
    };
    if (shell == "bash") {
        c << "# bash completion for tintabrel-cli\n_tintabrel_cli()\n{\n"
             "    local cur prev cmd\n    cur=\"${COMP_WORDS[COMP_CWORD]}\"\n    prev=\"${COMP_WORDS[COMP_CWORD-1]}\"\n"
             "    cmd=\"${COMP_WORDS[1]}\"\n"
             "    if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
             "        COMPREPLY=($(compgen -W \"recolour convert info palette --help --version\" -- \"$cur\"))\n"
             "        return\n    fi\n    case \"$prev\" in\n";
        for (const TOptionDef& o : OptionTable()) {
            if (o.Type == TValueType::Name)
                c << "        --" << o.Long << ") COMPREPLY=($(compgen -W \"" << Joined(o.Names, " ")
                  << "\" -- \"$cur\")); return;;\n";
            else if (o.Type == TValueType::Path)
                c << "        --" << o.Long << (*o.Short ? std::string("|-") + o.Short : "")
                  << ") COMPREPLY=($(compgen -f -- \"$cur\")); return;;\n";
        }
        c << "    esac\n    case \"$cmd\" in\n";
        for (const unsigned command : {CmdRecolour, CmdConvert, CmdInfo, CmdPalette})
            c << "        " << CommandName(command) << ") local opts=\"" << Joined(options(command), " ") << "\";;\n";
        c << "    esac\n"
             "    if [[ \"$cur\" == -* ]]; then COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"));\n"
             "    else COMPREPLY=($(compgen -f -- \"$cur\")); fi\n}\n"
             "complete -o filenames -F _tintabrel_cli tintabrel-cli\n";
    } else if (shell == "zsh") {
        c << "#compdef tintabrel-cli\n_tintabrel_cli() {\n  local -a commands\n"
             "  commands=(recolour convert info palette)\n"
             "  if (( CURRENT == 2 )); then _describe command commands; return; fi\n  case $words[2] in\n";
        for (const unsigned command : {CmdRecolour, CmdConvert, CmdInfo, CmdPalette}) {
            c << "    " << CommandName(command) << ") _arguments";
            for (const TOptionDef& o : OptionTable()) {
                if (!(o.Commands & command)) continue;
                std::string help = o.HelpIn(command);
                std::replace(help.begin(), help.end(), '\'', ' ');
                std::replace(help.begin(), help.end(), ']', ')');
                std::replace(help.begin(), help.end(), '[', '(');
                std::replace(help.begin(), help.end(), ':', ' ');
                c << " \\\n        '" << (o.Repeatable ? "*" : "") << "--" << o.Long << "[" << help << "]";
                if (o.Type == TValueType::Name) c << ":value:(" << Joined(o.Names, " ") << ")";
                else if (o.Type == TValueType::Path) c << ":file:_files";
                else if (o.Type != TValueType::Flag) c << ":value: ";
                c << "'";
            }
            c << " \\\n        '*:file:_files';;\n";
        }
        c << "  esac\n}\n_tintabrel_cli \"$@\"\n";
    } else if (shell == "fish") {
        c << "# fish completion for tintabrel-cli\n"
             "complete -c tintabrel-cli -f -n '__fish_use_subcommand' -a 'recolour convert info palette'\n";
        for (const unsigned command : {CmdRecolour, CmdConvert, CmdInfo, CmdPalette})
            for (const TOptionDef& o : OptionTable()) {
                if (!(o.Commands & command)) continue;
                std::string help = o.HelpIn(command);
                std::replace(help.begin(), help.end(), '\'', ' ');
                c << "complete -c tintabrel-cli -n '__fish_seen_subcommand_from " << CommandName(command) << "' -l "
                  << o.Long;
                if (*o.Short) c << " -s " << o.Short;
                if (o.Type == TValueType::Name) c << " -x -a '" << Joined(o.Names, " ") << "'";
                else if (o.Type == TValueType::Path) c << " -r -F";
                else if (o.Type != TValueType::Flag) c << " -x";
                c << " -d '" << help << "'\n";
            }
    }
    return c.str();
}

} // namespace tintabrel::cli
