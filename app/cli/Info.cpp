// info: what the program sees in a picture file. A PNG's header and chunks are read as the
// reader reads them, its image data skipped: the facts shown are the values it would decode with,
// and a small file declaring a huge picture costs no more than its chunks. A file that does not
// end at IEND, or is too short for its rows, is loaded as recolour and convert load it, so that
// it fails as there; the image data of a complete file is not inflated (a damaged deflate stream
// inside complete chunks goes unnoticed by info). A run-length BMP is described from its headers;
// other BMPs are loaded as recolour and convert load them.
#include "app/cli/CliTool.h"
#include "app/cli/Animations.h"
#include "app/PictureSource.h"
#include "image/Animation.h"
#include "app/cli/Messages.h"
#include "app/cli/Plan.h"
#include "app/cli/Report.h"
#include "image/PixelFormats.h"

#include "base/Exceptions.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <new>
#include <optional>

namespace tintabrel::cli {

namespace {

std::string Hex(TColor color)
{
    char text[8];
    std::snprintf(text, sizeof text, "#%02X%02X%02X", color & 255, (color >> 8) & 255, (color >> 16) & 255);
    return text;
}

// A transparent or background colour as the reader gives it: none, a palette index or a colour.
nlohmann::ordered_json ColourSetting(TColor color)
{
    if (color == -1) return nullptr;
    if ((static_cast<uint32_t>(color) & 0xFF000000u) == 0x01000000u) return "palette index " + std::to_string(color & 0xFF);
    return Hex(color);
}

// The reader keeps each "Comment" text followed by CR LF, with a further CR LF between two;
// shown as one line per text.
nlohmann::ordered_json CommentLines(const std::string& joined)
{
    if (joined.empty()) return nullptr;
    std::string text = joined;
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) text.resize(text.size() - 2);
    std::string lines;
    for (size_t at = 0;;) {
        const size_t next = text.find("\r\n\r\n", at);
        lines.append(text, at, next == std::string::npos ? std::string::npos : next - at);
        if (next == std::string::npos) break;
        lines += '\n';
        at = next + 4;
    }
    return lines;
}

const char* PixelFormatName(TPixelFormat format)
{
    switch (format) {
    case TPixelFormat::pfDevice: return "device";
    case TPixelFormat::pf1bit: return "1-bit";
    case TPixelFormat::pf4bit: return "4-bit";
    case TPixelFormat::pf8bit: return "8-bit";
    case TPixelFormat::pf15bit: return "15-bit";
    case TPixelFormat::pf16bit: return "16-bit";
    case TPixelFormat::pf24bit: return "24-bit";
    case TPixelFormat::pf32bit: return "32-bit";
    default: return "custom";
    }
}

const char* ColorTypeName(int type)
{
    switch (type) {
    case 0: return "grey";
    case 2: return "RGB";
    case 3: return "indexed";
    case 4: return "grey with alpha";
    case 6: return "RGB with alpha";
    default: return "invalid";
    }
}

const char* UnitName(int32_t unit) { return unit == 1 ? "per metre" : "aspect ratio only"; }

// One line per key: control characters in a comment are written as escapes.
std::string Escaped(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\\') out += "\\\\";
        else if (c < 32 || c == 127) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else out += static_cast<char>(c);
    }
    return out;
}

// An animation's frames, after the keys every picture has: how many, how often they play (0 for
// ever) and each frame's rectangle and delay.
void DescribeFrames(nlohmann::ordered_json& j, const std::vector<TFrameListing>& frames, uint32_t plays)
{
    j["frames"] = frames.size();
    j["plays"] = plays;
    j["frame_list"] = nlohmann::ordered_json::array();
    for (const TFrameListing& f : frames) {
        const double ms = f.DelayMs();
        const nlohmann::ordered_json delayMs =
            ms == std::floor(ms) ? nlohmann::ordered_json(static_cast<int64_t>(ms)) : nlohmann::ordered_json(ms);
        j["frame_list"].push_back({{"x", f.X}, {"y", f.Y}, {"width", f.Width}, {"height", f.Height},
                                   {"delay_num", f.DelayNum}, {"delay_den", f.DelayDen}, {"delay_ms", delayMs}});
    }
}

// The same keys for every format, "file" first; null where a key does not apply to the format.
nlohmann::ordered_json Describe(const std::string& path, TPictureKind kind, const TPictureHeader& facts, int64_t fileSize)
{
    const TPngInfo f = facts.Png.value_or(TPngInfo{});
    const bool png = facts.Png.has_value();
    const nlohmann::ordered_json none;
    nlohmann::ordered_json j;
    j["file"] = path;
    j["version"] = 1;
    j["format"] = KindName(kind);
    j["file_size"] = fileSize;
    j["width"] = facts.Width;
    j["height"] = facts.Height;
    j["pixel_format"] = PixelFormatName(facts.Format);
    j["palette_size"] = facts.PaletteSize;
    // Any transparency: an alpha channel, alpha per palette index, or a transparent colour.
    j["alpha"] = facts.Alpha;
    j["color_type"] = png ? nlohmann::ordered_json(f.ColorType) : none;
    j["color_type_name"] = png ? nlohmann::ordered_json(ColorTypeName(f.ColorType)) : none;
    j["bit_depth"] = png ? nlohmann::ordered_json(f.BitDepth) : none;
    j["interlace"] = png ? nlohmann::ordered_json(f.Interlace == 1 ? "Adam7" : "none") : none;
    if (!png) {
        for (const char* key : {"transparent_color", "background", "gamma", "resolution"}) j[key] = none;
        j["comment"] = CommentLines(facts.Info.Comment); // a GIF's comment extensions
        return j;
    }
    j["transparent_color"] = ColourSetting(f.TransparentColor);
    j["background"] = ColourSetting(f.BackgroundColor);
    j["gamma"] = f.Gamma != 0 ? nlohmann::json(f.Gamma) : nlohmann::json();
    if (f.PhysSeen)
        j["resolution"] = {{"x", static_cast<uint32_t>(f.PhysX)}, {"y", static_cast<uint32_t>(f.PhysY)}, {"unit", UnitName(f.PhysUnit)}};
    else
        j["resolution"] = nullptr;
    j["comment"] = CommentLines(f.Comment);
    return j;
}

std::string Text(const nlohmann::ordered_json& j, const char* key)
{
    const nlohmann::ordered_json& v = j.at(key);
    if (v.is_null()) return "none";
    if (v.is_string()) return Escaped(v.get<std::string>());
    if (v.is_boolean()) return v.get<bool>() ? "yes" : "no";
    return v.dump();
}

void PrintPngText(const nlohmann::ordered_json& j);

void PrintText(const nlohmann::ordered_json& j)
{
    std::printf("file: %s\n", j.at("file").get<std::string>().c_str());
    std::printf("format: %s\n", Text(j, "format").c_str());
    std::printf("file size: %s\n", Text(j, "file_size").c_str());
    std::printf("width: %s\n", Text(j, "width").c_str());
    std::printf("height: %s\n", Text(j, "height").c_str());
    std::printf("pixel format: %s\n", Text(j, "pixel_format").c_str());
    std::printf("palette size: %s\n", Text(j, "palette_size").c_str());
    std::printf("alpha: %s\n", Text(j, "alpha").c_str());
    if (!j.at("color_type").is_null()) PrintPngText(j);
    else if (!j.at("comment").is_null()) std::printf("comment: %s\n", Text(j, "comment").c_str()); // a GIF's
    if (!j.contains("frames")) return;
    std::printf("frames: %s\n", j.at("frames").dump().c_str());
    const uint32_t plays = j.at("plays").get<uint32_t>();
    std::printf("plays: %s\n", plays == 0 ? "for ever" : std::to_string(plays).c_str());
    int n = 0;
    for (const nlohmann::ordered_json& f : j.at("frame_list"))
        std::printf("frame %d: %s x %s at %s,%s, delay %s/%s s (%s ms)\n", ++n, f.at("width").dump().c_str(),
                    f.at("height").dump().c_str(), f.at("x").dump().c_str(), f.at("y").dump().c_str(),
                    f.at("delay_num").dump().c_str(), f.at("delay_den").dump().c_str(), f.at("delay_ms").dump().c_str());
}

void PrintPngText(const nlohmann::ordered_json& j)
{
    std::printf("colour type: %s (%s)\n", Text(j, "color_type").c_str(), Text(j, "color_type_name").c_str());
    std::printf("bit depth: %s\n", Text(j, "bit_depth").c_str());
    std::printf("interlace: %s\n", Text(j, "interlace").c_str());
    std::printf("transparent colour: %s\n", Text(j, "transparent_color").c_str());
    std::printf("background: %s\n", Text(j, "background").c_str());
    std::printf("gamma: %s\n", Text(j, "gamma").c_str());
    const nlohmann::ordered_json& r = j.at("resolution");
    if (r.is_null()) std::printf("resolution: none\n");
    else
        std::printf("resolution: %s x %s %s\n", r.at("x").dump().c_str(), r.at("y").dump().c_str(),
                    r.at("unit").get<std::string>().c_str());
    std::printf("comment: %s\n", Text(j, "comment").c_str());
}

} // namespace

int RunInfo(const TInfoOptions& options)
{
    int status = ExitDone;
    bool first = true;
    for (const TFound& found : FindInputs(options.Inputs, options.Recursive)) {
        const std::string& path = found.Path;
        std::string error;
        try {
            // A folder is refused here (or walked with -r), as convert and recolour refuse it.
            if (!found.Refusal.empty()) throw EFOpenError(found.Refusal);
            // Opened and loaded as convert and recolour do (pipes and standard input read whole):
            // the same files fail with the same message.
            TPictureSource input(path);
            const TPictureKind kind = input.RequireKind(KindOfExtension(ExtractExtension(path), false));
            TSourceLimits limits;
            limits.MaxPixels = options.MaxPixels;
            input.Check(limits);
            input.ReadRest();
            TPictureHeader facts = input.Header();
            TPictureData data;
            const bool loaded = !facts.Complete;
            if (loaded) {
                // What the header alone cannot tell for sure is described as the load makes it,
                // so that a file fails here as it fails in convert and recolour.
                TLoadOptions load;
                load.Truncated = TTruncatedPixels::Refuse;
                load.Animation = limits.ForFrames();
                input.Load(data, load);
                facts.Width = data.Image.Width();
                facts.Height = data.Image.Height();
                facts.Format = data.Image.PixelFormat();
                if (!facts.Png && FactsOf(facts.Format).Indexed)
                    if (const std::optional<TPalette> palette = data.Image.Palette()) facts.PaletteSize = palette->Count();
                if (const TAnimation* animation = data.Animation.get()) {
                    // Any frame's transparency counts, and a GIF's palette is its global table.
                    facts.Alpha = facts.Alpha || std::any_of(animation->Frames.begin(), animation->Frames.end(),
                                                             [](const TFrame& f) { return f.Picture.HasAlpha(); });
                    if (animation->Gif) facts.PaletteSize = static_cast<int32_t>(animation->Gif->GlobalColours.size());
                }
            }
            struct stat st{};
            const int64_t fileSize = !IsStandardStream(path) && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)
                                         ? static_cast<int64_t>(st.st_size)
                                         : input.MemoryBytes();
            nlohmann::ordered_json j = Describe(path, kind, facts, fileSize);
            // Keys of its own for an animation; a still picture's are as they always were.
            if (loaded ? data.Animated() : !facts.FrameList.empty())
                DescribeFrames(j, FrameListing(facts, loaded ? &data : nullptr), loaded ? data.Animation->Plays : facts.Plays);
            if (options.Json) {
                // File bytes (a name, a comment) need not be UTF-8; they are escaped as names are.
                std::printf("%s\n", JsonText(j).c_str());
            } else {
                if (!first) std::printf("\n");
                PrintText(j);
            }
            first = false;
            std::fflush(stdout);
        } catch (const std::bad_alloc&) {
            error = OutOfMemoryText();
        } catch (const std::exception& e) {
            error = FailureText(e);
        }
        if (!error.empty()) {
            // A script reading the JSON learns of the failure too, in the order of the inputs.
            if (options.Json)
                std::printf("%s\n", JsonText({{"file", path}, {"version", 1}, {"error", error}}).c_str());
            std::fflush(stdout);
            std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
            status = ExitFailed;
        }
    }
    return status;
}

} // namespace tintabrel::cli
