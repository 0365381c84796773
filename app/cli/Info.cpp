// info: what the program sees in a picture file. The picture is loaded as recolour and convert
// load it, so info accepts exactly the files they accept; a PNG's settings are the values its
// reader found and decoded with.
#include "app/cli/CliTool.h"
#include "app/cli/Inputs.h"
#include "app/cli/Messages.h"

#include "base/Exceptions.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <new>

namespace tintabrel::cli {

namespace {

std::string Hex(TColor color)
{
    char text[8];
    std::snprintf(text, sizeof text, "#%02X%02X%02X", color & 255, (color >> 8) & 255, (color >> 16) & 255);
    return text;
}

// A transparent or background colour as the reader gives it: none, a palette index or a colour.
nlohmann::json ColourSetting(TColor color)
{
    if (color == -1) return nullptr;
    if ((static_cast<uint32_t>(color) & 0xFF000000u) == 0x01000000u) return "palette index " + std::to_string(color & 0xFF);
    return Hex(color);
}

// The reader keeps each "Comment" text followed by CR LF, with a further CR LF between two;
// shown as one line per text.
nlohmann::json CommentLines(const std::string& joined)
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

nlohmann::json Describe(const std::string& path, TPictureKind kind, const TPictureData& data, const TVRQPNGFileFacts& f)
{
    nlohmann::json j;
    j["file"] = path;
    j["format"] = KindName(kind);
    j["width"] = data.Image.Width();
    j["height"] = data.Image.Height();
    j["pixel_format"] = PixelFormatName(data.Image.PixelFormat());
    if (kind != TPictureKind::Png) return j;
    j["color_type"] = f.ColorType;
    j["color_type_name"] = ColorTypeName(f.ColorType);
    j["bit_depth"] = f.BitDepth;
    j["interlace"] = f.Interlace == 1 ? "Adam7" : "none";
    j["alpha"] = f.Alpha;
    j["transparent_color"] = ColourSetting(f.Transparent);
    j["background"] = ColourSetting(f.Background);
    j["gamma"] = f.Gamma != 0 ? nlohmann::json(f.Gamma) : nlohmann::json();
    if (f.Resolution)
        j["resolution"] = {{"x", static_cast<uint32_t>(f.PhysX)}, {"y", static_cast<uint32_t>(f.PhysY)}, {"unit", UnitName(f.PhysUnit)}};
    else
        j["resolution"] = nullptr;
    j["comment"] = CommentLines(f.Comment);
    return j;
}

std::string Text(const nlohmann::json& j, const char* key)
{
    const nlohmann::json& v = j.at(key);
    if (v.is_null()) return "none";
    if (v.is_string()) return Escaped(v.get<std::string>());
    if (v.is_boolean()) return v.get<bool>() ? "yes" : "no";
    return v.dump();
}

void PrintText(const nlohmann::json& j)
{
    std::printf("file: %s\n", j.at("file").get<std::string>().c_str());
    std::printf("format: %s\n", Text(j, "format").c_str());
    std::printf("width: %s\n", Text(j, "width").c_str());
    std::printf("height: %s\n", Text(j, "height").c_str());
    std::printf("pixel format: %s\n", Text(j, "pixel_format").c_str());
    if (!j.contains("color_type")) return;
    std::printf("colour type: %s (%s)\n", Text(j, "color_type").c_str(), Text(j, "color_type_name").c_str());
    std::printf("bit depth: %s\n", Text(j, "bit_depth").c_str());
    std::printf("interlace: %s\n", Text(j, "interlace").c_str());
    std::printf("alpha: %s\n", Text(j, "alpha").c_str());
    std::printf("transparent colour: %s\n", Text(j, "transparent_color").c_str());
    std::printf("background: %s\n", Text(j, "background").c_str());
    std::printf("gamma: %s\n", Text(j, "gamma").c_str());
    const nlohmann::json& r = j.at("resolution");
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
    for (const std::string& path : options.Inputs) {
        std::string error;
        try {
            std::error_code ec;
            if (std::filesystem::is_directory(path, ec)) throw EFOpenError("a folder, not a picture file");
            // Opened and loaded as convert and recolour do (pipes and standard input read whole):
            // the same files fail with the same message.
            TInput input(path);
            const TPictureKind kind = input.Kind(KindOfExtension(ExtractExtension(path), false));
            if (kind == TPictureKind::Unknown)
                throw EInvalidGraphic(NotAPictureFile);
            TPictureData data;
            TVRQPNGFileFacts facts;
            input.Load(kind, data, &facts);
            const nlohmann::json j = Describe(path, kind, data, facts);
            if (options.Json) {
                // File bytes (a comment) need not be UTF-8; they must not stop the report.
                std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
            } else {
                if (!first) std::printf("\n");
                PrintText(j);
            }
            first = false;
            std::fflush(stdout);
        } catch (const std::bad_alloc&) {
            error = msg::OutOfResources;
        } catch (const std::exception& e) {
            error = FailureText(e);
        }
        if (!error.empty()) {
            std::fflush(stdout);
            std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
            status = ExitFailed;
        }
    }
    return status;
}

} // namespace tintabrel::cli
