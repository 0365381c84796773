// tintabrel-cli: reads the command line and hands the work to the command it names.
#include "app/cli/CliTool.h"
#include "app/PictureFormats.h"

#include "app/cli/Messages.h"
#include "app/cli/Options.h"
#include "app/cli/Signals.h"

#include <CLI/CLI.hpp>

#include <malloc.h>

#include <cstdio>
#include <exception>
#include <map>
#include <thread>

using namespace tintabrel;
using namespace tintabrel::cli;

namespace {

const char* const CommandNames[] = {"recolour", "convert", "info", "palette"};

// The reason in one line and where the usage is, as command-line tools do: the whole usage
// text would bury the line that says what was wrong.
int UsageFailure(const std::string& reason, int command = -1)
{
    const std::string help = command >= 0 ? std::string("tintabrel-cli ") + CommandNames[command] + " --help"
                                          : std::string("tintabrel-cli --help");
    std::fprintf(stderr, "tintabrel-cli: %s\nsee %s\n", Printable(reason).c_str(), help.c_str());
    return ExitUsage;
}

// The command nearest to a mistyped one (recolor, conver, inf), "" when none is near.
std::string NearestCommand(const std::string& typed)
{
    std::string best;
    size_t bestDistance = 3;
    for (const char* name : CommandNames) {
        // A prefix of a command (inf, rec) is as near as one letter off.
        const size_t d = std::string(name).rfind(typed, 0) == 0 && typed.size() >= 2 ? 1 : EditDistance(typed, name);
        if (d < bestDistance) {
            bestDistance = d;
            best = name;
        }
    }
    return best;
}
constexpr unsigned CommandBits[] = {CmdRecolour, CmdConvert, CmdInfo, CmdPalette};

// An option the command does not know, with the nearest one it does; "" when all are known.
std::string UnknownOption(int argc, char** argv, unsigned command)
{
    for (int k = 2; k < argc; ++k) {
        const std::string arg = argv[k];
        if (arg == "--") break;
        if (arg.size() < 3 || arg[0] != '-' || arg[1] != '-' || arg == "--help") continue;
        const std::string name = arg.substr(2, arg.find('=') - 2);
        const TOptionDef* option = FindOption(name);
        if (option && (option->Commands & command)) continue;
        const std::string nearest = NearestOption(name, command);
        return "unknown option " + arg.substr(0, arg.find('=')) +
               (nearest.empty() ? std::string() : " (did you mean " + nearest + "?)");
    }
    return {};
}

} // namespace

namespace {

// Every file of a batch allocates and frees the same buffers of a few hundred KiB (zlib's state,
// the reader's input): the allocator keeps them for the next file instead of handing them back
// to the system and faulting them in again (28,000 page faults for 200 sprites, a third of the
// run's time). Blocks of 1 MiB and more, such as pictures, still come from the system and go back.
void KeepWorkingMemory()
{
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    mallopt(M_TRIM_THRESHOLD, 32 << 20);
}

void StoreValue(TSettings& settings, const TOptionDef& option, const std::string& value)
{
    try {
        option.Store(settings, CheckValue(option, value));
    } catch (const std::invalid_argument& e) {
        throw TUsageError(std::string("--") + option.Long + ": " + e.what());
    }
}

// The options stored in the order given (the steps of a chain). CLI11 lists an option once per
// word it took.
void StoreInOrder(TSettings& settings, const std::vector<std::pair<const TOptionDef*, CLI::Option*>>& given,
                  const std::vector<CLI::Option*>& order)
{
    std::map<const CLI::Option*, size_t> taken;
    for (const CLI::Option* used : order)
        for (const auto& [o, option] : given) {
            if (option != used || !o->InOrder || o->Type == TValueType::Flag) continue;
            size_t& next = taken[option];
            if (next < option->results().size()) StoreValue(settings, *o, option->results()[next++]);
        }
}

} // namespace

int main(int argc, char** argv)
{
    // The manual page and the shell completions are made from the option table at build time.
    if (argc == 3 && std::string(argv[1]) == "--generate") {
        const std::string what = argv[2];
        const std::string text = what == "man" ? ManualPage() : Completion(what);
        if (text.empty()) return UsageFailure("--generate man|bash|zsh|fish");
        std::fputs(text.c_str(), stdout);
        return ExitDone;
    }

    const std::string formats = JoinedFormats(FormatName, false, ", ", " and ");
    CLI::App app{"Recolours " + formats + " sprites exactly as the Tintabrel window does.", "tintabrel-cli"};
    app.set_version_flag("--version", std::string("tintabrel-cli ") + TINTABREL_VERSION);
    app.require_subcommand(1);

    IgnoreFileSignals();
    KeepWorkingMemory();

    TSettings settings;
    settings.Recolour.Run.Jobs = std::max(1u, std::thread::hardware_concurrency());
    CLI::App* commands[4] = {
        app.add_subcommand("recolour", "give the pixels in a hue window a new hue"),
        app.add_subcommand("convert", "rewrite a picture as " + JoinedFormats(FormatName, true, ", ", " or ") +
                                          " without changing it"),
        app.add_subcommand("info", "describe pictures"),
        app.add_subcommand("palette", "write a picture's palette to a palette file"),
    };
    // CLI11 only splits the words: every value is checked and stored through the option table.
    std::vector<std::pair<const TOptionDef*, CLI::Option*>> given[4];
    for (size_t c = 0; c < 4; ++c) {
        for (const TOptionDef& o : OptionTable()) {
            if (!(o.Commands & CommandBits[c])) continue;
            const std::string names = (*o.Short ? std::string("-") + o.Short + "," : std::string()) + "--" + o.Long;
            CLI::Option* option = nullptr;
            if (o.Type == TValueType::Flag) {
                option = commands[c]->add_flag(names, o.HelpIn(CommandBits[c]));
            } else {
                option = commands[c]->add_option(names, o.HelpIn(CommandBits[c]))->option_text(o.ValueText)->allow_extra_args(false);
                if (o.Values > 1) option->expected(o.Values);
                option->multi_option_policy(o.Repeatable ? CLI::MultiOptionPolicy::TakeAll
                                                         : CLI::MultiOptionPolicy::TakeLast);
            }
            given[c].emplace_back(&o, option);
        }
    }
    std::vector<std::string> inputs;
    const std::string files = JoinedFormats(FormatName, false, ", ", " or ") + " files";
    commands[0]->add_option("INPUT", inputs, files + " or, with -r, folders (- for standard input)");
    commands[1]->add_option("INPUT", inputs,
                            "INPUT OUTPUT (" + JoinedFormats(FormatExtension, true, ", ", " or ") +
                                " decides the format; - for standard input and output), or " + files +
                                " and, with -r, folders for -o, --out-dir or --in-place");
    commands[2]->add_option("INPUT", inputs, files)->required();
    // One input, so the usage line says INPUT; further words are kept for the refusal below (unknown
    // options are refused before parsing).
    std::string paletteInput;
    commands[3]->add_option("INPUT", paletteInput, "a " + JoinedFormats(FormatName, false, ", ", " or ") +
                                                       " file (- for standard input)")
        ->required();
    commands[3]->allow_extras();

    // CLI11 would only say that a command is missing; name the word that was not one.
    const std::string first = argc > 1 ? argv[1] : "";
    int command = -1;
    for (int c = 0; c < 4; ++c)
        if (first == CommandNames[c]) command = c;
    if (!first.empty() && first[0] != '-' && command < 0) {
        const std::string nearest = NearestCommand(first);
        return UsageFailure(std::string("unknown command '") + argv[1] + "'" +
                            (nearest.empty() ? " (recolour, convert, info or palette)" : " (did you mean " + nearest + "?)"));
    }
    if (command >= 0) {
        const std::string unknown = UnknownOption(argc, argv, CommandBits[command]);
        if (!unknown.empty()) return UsageFailure(unknown, command);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return UsageFailure(e.what(), command);
    }

    try {
        std::map<std::string, std::string> groups; // group -> the option that took it
        for (const auto& [o, option] : given[command]) {
            if (option->count() == 0) continue;
            const std::string spelled = std::string("--") + o->Long;
            if (*o->Group) {
                const auto [it, added] = groups.emplace(o->Group, spelled);
                if (!added) throw TUsageError(spelled + " excludes " + it->second);
            }
            const std::vector<std::string> values =
                o->Type == TValueType::Flag ? std::vector<std::string>{"true"} : option->results();
            settings.Given[o->Long] = spelled;
            if (o->InOrder) continue; // below, in the order given
            for (const std::string& value : values) StoreValue(settings, *o, value);
        }
        StoreInOrder(settings, given[command], commands[command]->parse_order());
        if (command == 0) {
            if (inputs.empty()) throw TUsageError("INPUT is required");
            ResolveRecipe(settings);
        }
        TRecolourOptions& recolour = settings.Recolour;
        recolour.Run.MaxPixels = settings.MaxPixels;
        recolour.Inputs = inputs;
        if (command == 0) {
            const TOutputOptions& out = recolour.Output;
            if (out.OutputFile.empty() && out.OutputDir.empty() && !out.InPlace && !recolour.DryRun)
                throw TUsageError("recolour needs -o OUTPUT or --out-dir DIR (or --in-place)");
            return RunRecolour(recolour);
        }
        if (command == 1) {
            if (inputs.empty()) throw TUsageError("INPUT is required");
            TConvertOptions convert;
            convert.Inputs = inputs;
            convert.Recursive = recolour.Recursive;
            convert.Out = recolour.Output;
            convert.Run = recolour.Run;
            convert.Json = recolour.Json;
            // Without an output option the last of two words is the output, as it always was.
            if (convert.Out.OutputFile.empty() && convert.Out.OutputDir.empty() && !convert.Out.InPlace) {
                if (inputs.size() != 2)
                    throw TUsageError("convert takes INPUT OUTPUT, or its inputs with -o OUTPUT, --out-dir DIR or "
                                      "--in-place");
                if (convert.Recursive) throw TUsageError("-r needs --out-dir DIR or --in-place");
                convert.Out.OutputFile = inputs[1];
                convert.Inputs.pop_back();
            }
            return RunConvert(convert);
        }
        if (command == 3) {
            if (!commands[3]->remaining().empty()) throw TUsageError("palette takes one INPUT");
            TPaletteOptions palette;
            palette.Input = paletteInput;
            palette.Output = recolour.Output.OutputFile;
            palette.Overwrite = recolour.Output.Overwrite;
            palette.Json = recolour.Json;
            palette.MaxPixels = settings.MaxPixels;
            return RunPalette(palette);
        }
        TInfoOptions info;
        info.Json = recolour.Json;
        info.MaxPixels = settings.MaxPixels;
        info.Recursive = recolour.Recursive;
        info.Inputs = inputs;
        return RunInfo(info);
    } catch (const TUsageError& e) {
        return UsageFailure(e.what(), command);
    } catch (const std::exception& e) {
        // Only failures outside the per-file work reach here (the list file, no memory ...).
        std::fprintf(stderr, "tintabrel-cli: %s\n", Printable(e.what()).c_str());
        return ExitFailed;
    }
}
