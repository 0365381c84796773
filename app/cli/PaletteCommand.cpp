// palette: a picture's palette written out as a palette file, to start a map from.
#include "app/cli/CliTool.h"

#include "app/PaletteFiles.h"
#include "app/PictureFormats.h"
#include "app/PictureSource.h"
#include "app/cli/Messages.h"
#include "recolour/ColourMap.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <new>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace tintabrel::cli {

namespace {

std::string KnownExtensions()
{
    std::string text;
    const std::vector<TPaletteFormatInfo>& formats = PaletteFormats();
    for (size_t k = 0; k < formats.size(); ++k)
        text += std::string(k == 0 ? "" : k + 1 == formats.size() ? " or " : ", ") + formats[k].Extension;
    return text;
}

bool SameFile(const std::string& a, const std::string& b)
{
    struct stat sa{}, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void PrintBytes(TMemoryStream& bytes)
{
    std::fwrite(bytes.Memory(), 1, static_cast<size_t>(bytes.Size()), stdout);
    std::fflush(stdout);
}

} // namespace

int RunPalette(const TPaletteOptions& options)
{
    // What the command line asks for is checked before the input is read.
    if (!options.Output.empty()) {
        if (IsStandardStream(options.Output))
            throw TUsageError("-o names a palette file (" + KnownExtensions() +
                              "); without -o the colours go to standard output as .hex lines");
        if (!PaletteFormatOfPath(options.Output))
            throw TUsageError("-o " + options.Output + ": the extension says the palette format, one of " +
                              KnownExtensions());
    }
    try {
        TPictureSource input(options.Input);
        input.RequireKind(KindOfExtension(ExtractExtension(options.Input), false));
        TSourceLimits limits;
        limits.MaxPixels = options.MaxPixels;
        input.Check(limits);
        input.ReadRest();
        TPictureData picture;
        TLoadOptions load;
        load.Truncated = TTruncatedPixels::Refuse;
        load.Animation = limits.Animation;
        input.Load(picture, load);

        const std::vector<TPictureColour> colours = PictureColours(picture);
        TColourPalette palette;
        palette.Name = IsStandardStream(options.Input) ? "standard input" : fs::path(options.Input).filename().string();
        for (const TPictureColour& c : colours) palette.Colours.push_back(c.Colour);

        if (!options.Output.empty()) {
            std::error_code ec;
            if (!IsStandardStream(options.Input) && SameFile(options.Input, options.Output))
                throw std::runtime_error("the output " + options.Output + " is the input file; inputs are never overwritten");
            if (fs::exists(fs::symlink_status(options.Output, ec)) && !options.Overwrite)
                throw std::runtime_error("the output " + options.Output + " exists (--overwrite replaces it)");
            // A strip carries no time of writing: the same picture gives the same file.
            TPNGSaveOptions png;
            png.Time = TPngTimeSource::None;
            WritePaletteFile(options.Output, palette, png, options.Overwrite);
        } else if (!options.Json) {
            TMemoryStream text;
            WritePalette(text, TPaletteFormat::Hex, palette);
            PrintBytes(text);
        }
        if (options.Json) {
            nlohmann::ordered_json report;
            report["version"] = 1;
            report["file"] = options.Input;
            report["output"] = options.Output.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(options.Output);
            report["palette_picture"] = picture.PaletteBits != 0;
            report["colours"] = nlohmann::ordered_json::array();
            for (const TPictureColour& c : colours)
                report["colours"].push_back({{"colour", HexOfColour(c.Colour)}, {"pixels", c.Pixels}});
            std::printf("%s\n", report.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
        }
        return ExitDone;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: %s\n", Printable(options.Input).c_str(), OutOfMemoryText().c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", Printable(options.Input).c_str(), Printable(FailureText(e)).c_str());
    }
    return ExitFailed;
}

} // namespace tintabrel::cli
