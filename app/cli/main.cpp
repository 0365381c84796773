// tintabrel-cli: reads the command line and hands the work to the command it names.
#include "app/cli/CliTool.h"

#include "app/cli/Messages.h"
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

constexpr const char* Usage =
    "usage: tintabrel-cli recolour [--source P | --from-hue F | --pick X,Y] [--tolerance T] [--target H]\n"
    "                              [--map P:T:H]... [--variant NAME=P:T:H[/P:T:H...]]... [--recipe FILE.json]\n"
    "                              [--list FILE] [--dry-run] [--json]\n"
    "                              (-o OUTPUT | --out-dir DIR) [--format png|bmp] [--overwrite]\n"
    "                              [--png-filter none|sub|up|average|paeth|adaptive] [--png-level 0-9]\n"
    "                              [--interlace] [--optimize] [--truecolour] [--max-pixels N] [-j N] [-q] INPUT...\n"
    "       tintabrel-cli convert [--format png|bmp] [--overwrite] [png options] [--max-pixels N] INPUT OUTPUT\n"
    "       tintabrel-cli info [--json] [--max-pixels N] INPUT...\n"
    "       tintabrel-cli --help | --version\n"
    "An INPUT of - reads standard input; an OUTPUT of - writes standard output (--format needed).\n";

int UsageFailure(const std::string& reason)
{
    std::fprintf(stderr, "tintabrel-cli: %s\n%s", Printable(reason).c_str(), Usage);
    return ExitUsage;
}

// --format for recolour and convert; the value stays 0 (Unknown) when not given.
void AddFormatOption(CLI::App& command, int& format)
{
    command.add_option("--format", format, "output format (default: by the output's extension; needed for -)")
        ->transform(CLI::CheckedTransformer(
            std::map<std::string, int>{{"png", static_cast<int>(TPictureKind::Png)},
                                       {"bmp", static_cast<int>(TPictureKind::Bmp)}},
            CLI::ignore_case))
        ->option_text("png|bmp");
}

// --max-pixels lowers the picture limit for untrusted input; it never raises it.
void AddLimitOption(CLI::App& command, int64_t& maxPixels)
{
    command
        .add_option("--max-pixels", maxPixels,
                    "refuse pictures of more pixels (default and most: " + std::to_string(MaxPicturePixels()) + ")")
        ->check(CLI::Range(int64_t{1}, MaxPicturePixels()))
        ->option_text("N");
}

// The PNG options of recolour and convert; the defaults are those of the window's save.
void AddPngOptions(CLI::App& command, TPNGSaveOptions& png)
{
    static const std::map<std::string, int32_t> filters{{"adaptive", 0}, {"none", 1},    {"sub", 2},
                                                        {"up", 3},       {"average", 4}, {"paeth", 5}};
    command.add_option("--png-filter", png.FilterMode, "PNG row filter (default none)")
        ->transform(CLI::CheckedTransformer(filters, CLI::ignore_case))
        ->option_text("none|sub|up|average|paeth|adaptive");
    command.add_option("--png-level", png.CompressionLevel, "PNG compression level (default: zlib's)")
        ->check(CLI::Range(0, 9))
        ->option_text("0-9");
    command.add_flag("--interlace", png.Interlace, "write interlaced (Adam7) PNG");
    command.add_flag("--optimize", png.Optimize, "write the smallest PNG of the same pixels (slower)");
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

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Recolours BMP and PNG sprites exactly as the Tintabrel window does.", "tintabrel-cli"};
    app.set_version_flag("--version", std::string("tintabrel-cli ") + TINTABREL_VERSION);
    app.require_subcommand(1);

    IgnoreFileSignals();
    KeepWorkingMemory();

    TRecolourOptions recolour;
    recolour.Run.Jobs = std::max(1u, std::thread::hardware_concurrency());
    int format = 0;
    TRecipeArgs recipe;
    int64_t maxPixels = 0;
    CLI::App* cmdRecolour = app.add_subcommand("recolour", "give the pixels in a hue window a new hue");
    CLI::Option* source =
        cmdRecolour->add_option("--source", recipe.Source, "source slider position (mirrored hue scale)")
            ->check(CLI::Range(0, 360))
            ->option_text("0-360");
    CLI::Option* fromHue =
        cmdRecolour
            ->add_option("--from-hue", recipe.FromHue, "source as a hue in degrees: position (240 - F) mod 360")
            ->check(CLI::Range(0, 360))
            ->option_text("0-360");
    CLI::Option* pick =
        cmdRecolour->add_option("--pick", recipe.Pick, "source picked from pixel X,Y of each input, as a click does")
            ->option_text("X,Y");
    source->excludes(fromHue)->excludes(pick);
    fromHue->excludes(pick);
    cmdRecolour->add_option("--target", recipe.Target, "target hue in degrees")
        ->check(CLI::Range(0, 360))
        ->option_text("0-360");
    cmdRecolour->add_option("--tolerance", recipe.Tolerance, "half width of the hue window (default 18)")
        ->check(CLI::Range(0, 36))
        ->option_text("0-36");
    // One value each time, so that the inputs after them stay inputs.
    cmdRecolour->add_option("--map", recipe.Maps, "then this change on the result (P or hF : tolerance : target)")
        ->allow_extra_args(false)
        ->option_text("P:T:H ...");
    cmdRecolour
        ->add_option("--variant", recipe.Variants, "one more output per input, <stem>_<NAME>, with its own changes")
        ->allow_extra_args(false)
        ->option_text("NAME=P:T:H[/P:T:H...] ...");
    cmdRecolour->add_option("--recipe", recipe.RecipeFile, "JSON file of these options (the command line wins)")
        ->option_text("FILE.json");
    cmdRecolour->add_flag("--dry-run", recolour.DryRun, "write nothing; count what each change would alter");
    cmdRecolour->add_flag("--json", recolour.Json, "the dry run's report as one JSON object per file");
    cmdRecolour->add_flag("--truecolour", recolour.TrueColour, "24-bit output even for palette pictures");
    cmdRecolour->add_option("--list", recolour.ListFile, "protected-colour list (ColorList.dat format)")
        ->option_text("FILE");
    CLI::Option* outFile =
        cmdRecolour->add_option("-o,--output", recolour.Output.OutputFile, "output file (one input only; - for standard output)")
            ->option_text("OUTPUT");
    CLI::Option* outDir =
        cmdRecolour->add_option("--out-dir", recolour.Output.OutputDir, "folder for the outputs, named as the inputs")
            ->option_text("DIR");
    outFile->excludes(outDir);
    AddFormatOption(*cmdRecolour, format);
    cmdRecolour->add_flag("--overwrite", recolour.Output.Overwrite, "replace existing output files");
    AddPngOptions(*cmdRecolour, recolour.Output.Png);
    AddLimitOption(*cmdRecolour, maxPixels);
    cmdRecolour->add_option("-j,--jobs", recolour.Run.Jobs, "files processed at once (default: the cores)")
        ->check(CLI::Range(1, 1024))
        ->option_text("N");
    cmdRecolour->add_flag("-q,--quiet", recolour.Run.Quiet, "no progress bar");
    cmdRecolour->add_option("INPUT", recolour.Inputs, "BMP or PNG files (- for standard input)")->required();

    TConvertOptions convert;
    CLI::App* cmdConvert = app.add_subcommand("convert", "rewrite a picture as PNG or BMP without changing it");
    int convertFormat = 0;
    AddFormatOption(*cmdConvert, convertFormat);
    cmdConvert->add_flag("--overwrite", convert.Overwrite, "replace an existing output file");
    AddPngOptions(*cmdConvert, convert.Png);
    AddLimitOption(*cmdConvert, maxPixels);
    cmdConvert->add_option("INPUT", convert.Input, "BMP or PNG file (- for standard input)")->required();
    cmdConvert->add_option("OUTPUT", convert.Output, "output file; .png or .bmp decides the format (- for standard output)")
        ->required();

    TInfoOptions info;
    CLI::App* cmdInfo = app.add_subcommand("info", "describe pictures");
    cmdInfo->add_flag("--json", info.Json, "one JSON object per file, one per line");
    AddLimitOption(*cmdInfo, maxPixels);
    cmdInfo->add_option("INPUT", info.Inputs, "BMP or PNG files")->required();

    // CLI11 would only say that a command is missing; name the word that was not one.
    const std::string first = argc > 1 ? argv[1] : "";
    if (!first.empty() && first[0] != '-' && first != "recolour" && first != "convert" && first != "info")
        return UsageFailure(std::string("unknown command '") + argv[1] + "' (recolour, convert or info)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return UsageFailure(e.what());
    }

    if (maxPixels > 0) SetMaxPicturePixels(maxPixels);
    try {
        if (*cmdRecolour) {
            ResolveRecipe(*cmdRecolour, recipe, recolour);
            if (recolour.Output.OutputFile.empty() && recolour.Output.OutputDir.empty())
                throw TUsageError("recolour needs -o OUTPUT or --out-dir DIR");
            recolour.Output.Format = static_cast<TPictureKind>(format);
            return RunRecolour(recolour);
        }
        if (*cmdConvert) {
            convert.Format = static_cast<TPictureKind>(convertFormat);
            return RunConvert(convert);
        }
        return RunInfo(info);
    } catch (const TUsageError& e) {
        return UsageFailure(e.what());
    } catch (const std::exception& e) {
        // Only failures outside the per-file work reach here (the list file, no memory ...).
        std::fprintf(stderr, "tintabrel-cli: %s\n", Printable(e.what()).c_str());
        return ExitFailed;
    }
}
