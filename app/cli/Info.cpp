// info: what the program sees in a picture file. The picture is loaded as recolour would load
// it (so a file that info accepts is one that recolour can read); the PNG's own settings are
// read from its chunks, taken where the program's reader takes them.
#include "app/cli/CliTool.h"

#include "base/Exceptions.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>

namespace tintabrel::cli {

namespace {

// The settings of a PNG file.
struct TPngFacts {
    uint32_t Width = 0;
    uint32_t Height = 0;
    int BitDepth = 0;
    int ColorType = -1; // the low three bits, as the reader takes them
    int Interlace = 0;
    bool Alpha = false;                    // an alpha channel or per-index alpha
    std::string Transparent;               // "#RRGGBB", "palette index N", or empty
    std::string Background;                // likewise
    std::optional<double> Gamma;
    std::optional<std::array<uint32_t, 3>> Resolution; // x, y, unit
    std::optional<std::string> Comment;    // the "Comment" texts, one per line
};

uint32_t BE32(const uint8_t* p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
int BE16(const uint8_t* p) { return p[0] << 8 | p[1]; }

std::string Hex(int r, int g, int b)
{
    char text[8];
    std::snprintf(text, sizeof text, "#%02X%02X%02X", r & 255, g & 255, b & 255);
    return text;
}

// A 16-bit sample of a tRNS or bKGD chunk as the 8-bit level the reader makes of it.
int Level(int sample, int depth, bool grey)
{
    if (depth == 16) return sample >> 8;
    if (!grey || depth == 8) return sample & 255;
    switch (depth) {
    case 1: return (sample * 255) & 255;
    case 2: return (sample * 85) & 255;
    case 4: return (sample * 17) & 255;
    default: return sample & 255;
    }
}

// The colour a grey or RGB tRNS / bKGD chunk names, or empty when it is too short.
std::string SampleColor(const std::vector<uint8_t>& data, const TPngFacts& f)
{
    if (f.ColorType == 0 && data.size() >= 2) {
        const int v = Level(BE16(data.data()), f.BitDepth, true);
        return Hex(v, v, v);
    }
    if (f.ColorType == 2 && data.size() >= 6)
        return Hex(Level(BE16(&data[0]), f.BitDepth, false), Level(BE16(&data[2]), f.BitDepth, false),
                   Level(BE16(&data[4]), f.BitDepth, false));
    return {};
}

TPngFacts ReadPngFacts(const std::string& path)
{
    TPngFacts f;
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> head(128);
    in.read(reinterpret_cast<char*>(head.data()), 128);
    in.clear();
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    // The reader passes over a 128-byte block put before the file by some transfer tools.
    std::streamoff start = (size > 128 && head[0] == 0 && head[74] == 0) ? 128 : 0;
    in.seekg(start + 8);

    bool headerSeen = false, imageDone = false, paletteSeen = false;
    int paletteCount = 0;
    std::string comment;
    bool hasComment = false;
    uint8_t header[8];
    while (in.read(reinterpret_cast<char*>(header), 8)) {
        const uint32_t length = BE32(header);
        const std::string type(reinterpret_cast<char*>(header + 4), 4);
        if (type == "IEND") break;
        const bool wanted = type == "IHDR" || type == "PLTE" || type == "tRNS" || type == "bKGD" ||
                            type == "gAMA" || type == "pHYs" || type == "tEXt";
        if (type == "IDAT") imageDone = headerSeen;
        if (!wanted || length > (1u << 24)) {
            in.seekg(static_cast<std::streamoff>(length) + 4, std::ios::cur);
            continue;
        }
        std::vector<uint8_t> data(length);
        in.read(reinterpret_cast<char*>(data.data()), length);
        if (!in) break;
        in.seekg(4, std::ios::cur); // the CRC

        if (type == "IHDR" && !headerSeen && data.size() >= 13) {
            headerSeen = true;
            f.Width = BE32(&data[0]);
            f.Height = BE32(&data[4]);
            f.BitDepth = data[8];
            f.ColorType = data[9] & 7;
            f.Interlace = data[12];
            f.Alpha = (f.ColorType & 4) != 0;
        } else if (!headerSeen) {
            continue;
        } else if (type == "PLTE" && !imageDone && !paletteSeen && (f.ColorType & 3) >= 2) {
            paletteSeen = true;
            paletteCount = static_cast<int>(std::min<size_t>(data.size() / 3, 256));
        } else if (type == "tRNS" && !imageDone && (f.ColorType & 4) == 0) {
            if (f.ColorType == 3) {
                // One fully transparent index among opaque ones is a transparent colour; any
                // other table needs an alpha picture.
                std::array<int, 256> alpha;
                alpha.fill(255);
                for (size_t k = 0; k < data.size() && k < static_cast<size_t>(paletteCount); ++k) alpha[k] = data[k];
                int zeros = 0, index = -1;
                bool partial = false;
                for (int k = 0; k < 256; ++k) {
                    if (alpha[k] == 0) ++zeros, index = index < 0 ? k : index;
                    else if (alpha[k] != 255) partial = true;
                }
                if (!partial && zeros == 1) f.Transparent = "palette index " + std::to_string(index);
                else f.Alpha = true; // the reader builds an alpha picture for any other table
            } else {
                f.Transparent = SampleColor(data, f);
            }
        } else if (type == "bKGD") {
            if (f.ColorType == 3) {
                if (!data.empty()) f.Background = "palette index " + std::to_string(data[0]);
            } else {
                f.Background = SampleColor(data, f);
            }
        } else if (type == "gAMA" && !imageDone && !paletteSeen && data.size() >= 4) {
            f.Gamma = BE32(data.data()) / 100000.0;
        } else if (type == "pHYs" && !imageDone && data.size() >= 9) {
            f.Resolution = std::array<uint32_t, 3>{BE32(&data[0]), BE32(&data[4]), data[8]};
        }
        if (type == "tEXt" && !data.empty()) {
            const auto zero = std::find(data.begin(), data.end(), uint8_t{0});
            if (std::string(data.begin(), zero) == "Comment" && zero != data.end() && zero + 1 != data.end()) {
                if (hasComment) comment += '\n';
                comment.append(zero + 1, data.end());
                hasComment = true;
            }
        }
    }
    if (hasComment) f.Comment = comment;
    return f;
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

const char* UnitName(uint32_t unit) { return unit == 1 ? "per metre" : "aspect ratio only"; }

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

nlohmann::json Describe(const std::string& path, TPictureKind kind, const TPictureData& data)
{
    nlohmann::json j;
    j["file"] = path;
    j["format"] = KindName(kind);
    j["width"] = data.Image.Width();
    j["height"] = data.Image.Height();
    j["pixel_format"] = PixelFormatName(data.Image.PixelFormat());
    if (kind != TPictureKind::Png) return j;
    const TPngFacts f = ReadPngFacts(path);
    j["color_type"] = f.ColorType;
    j["color_type_name"] = ColorTypeName(f.ColorType);
    j["bit_depth"] = f.BitDepth;
    j["interlace"] = f.Interlace == 1 ? "Adam7" : "none";
    j["alpha"] = f.Alpha;
    j["transparent_color"] = f.Transparent.empty() ? nlohmann::json() : nlohmann::json(f.Transparent);
    j["background"] = f.Background.empty() ? nlohmann::json() : nlohmann::json(f.Background);
    j["gamma"] = f.Gamma ? nlohmann::json(*f.Gamma) : nlohmann::json();
    if (f.Resolution)
        j["resolution"] = {{"x", (*f.Resolution)[0]}, {"y", (*f.Resolution)[1]}, {"unit", UnitName((*f.Resolution)[2])}};
    else
        j["resolution"] = nullptr;
    j["comment"] = f.Comment ? nlohmann::json(*f.Comment) : nlohmann::json();
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
            const TPictureKind kind = InputKind(path);
            if (kind == TPictureKind::Unknown) {
                std::ifstream probe(path, std::ios::binary);
                throw EFOpenError(probe ? std::string("not a PNG or BMP file (neither by its name nor by its first bytes)")
                                        : msg::FileOpen(path));
            }
            TPictureData data;
            LoadPicture(path, kind, data);
            const nlohmann::json j = Describe(path, kind, data);
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
            error = e.what();
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
