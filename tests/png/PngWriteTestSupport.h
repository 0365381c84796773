// Shared by the PNG writer and picture tests: chunk lists of written files, libpng as an
// independent decoder, pngcheck, and small bitmaps.
#pragma once

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/Graphics.h"
#include "base/Streams.h"
#include "tests/TestData.h"

namespace tintabrel::test {

struct Chunk {
    std::string Type;
    std::vector<uint8_t> Data;
    bool CrcOk = false;
};

inline uint32_t BE32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// The chunks after the signature (empty when the signature is wrong).
inline std::vector<Chunk> ParseChunks(const std::vector<uint8_t>& file)
{
    std::vector<Chunk> chunks;
    if (file.size() < 8 || std::memcmp(file.data(), PngSignature, 8) != 0) return chunks;
    size_t pos = 8;
    while (pos + 12 <= file.size()) {
        const uint32_t length = BE32(&file[pos]);
        if (pos + 12 + length > file.size()) break;
        Chunk c;
        c.Type.assign(reinterpret_cast<const char*>(&file[pos + 4]), 4);
        c.Data.assign(file.begin() + static_cast<long>(pos + 8), file.begin() + static_cast<long>(pos + 8 + length));
        uLong crc = crc32(0, &file[pos + 4], 4);
        if (length > 0) crc = crc32(crc, c.Data.data(), length); // crc32 of no buffer is 0
        c.CrcOk = static_cast<uint32_t>(crc) == BE32(&file[pos + 8 + length]);
        chunks.push_back(std::move(c));
        pos += 12 + length;
    }
    return chunks;
}

inline std::vector<std::string> ChunkTypes(const std::vector<Chunk>& chunks)
{
    std::vector<std::string> types;
    for (const Chunk& c : chunks) types.push_back(c.Type);
    return types;
}

// Not on a temporary list: the chunk found would dangle.
const Chunk* FindChunk(std::vector<Chunk>&&, const std::string&) = delete;
inline const Chunk* FindChunk(const std::vector<Chunk>& chunks, const std::string& type)
{
    for (const Chunk& c : chunks)
        if (c.Type == type) return &c;
    return nullptr;
}

// A file decoded by libpng: palette and grey expanded to RGB, 16-bit cut to 8, alpha added
// (255 where the file has none), no gamma handling.
struct Decoded {
    bool Ok = false;
    std::string Error;
    uint32_t Width = 0, Height = 0;
    int ColorType = -1, BitDepth = 0, Interlace = 0;
    std::vector<uint8_t> Rgba;
    const uint8_t* Pixel(uint32_t x, uint32_t y) const { return &Rgba[(static_cast<size_t>(y) * Width + x) * 4]; }
};

inline void ErrorCallback(png_structp png, png_const_charp message)
{
    auto* error = static_cast<std::string*>(png_get_error_ptr(png));
    *error = message;
    png_longjmp(png, 1);
}

inline void WarningCallback(png_structp, png_const_charp) {}

// ignoreTransparency: keep tRNS out of the alpha channel (alpha then comes only from the
// file's own channel).
inline Decoded DecodeWithLibpng(const std::vector<uint8_t>& file, bool ignoreTransparency = false)
{
    Decoded d;
    TPngMemorySource reader{file.data(), file.size()};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &d.Error, ErrorCallback, WarningCallback);
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        d.Ok = false;
        return d;
    }
    png_set_read_fn(png, &reader, TPngMemorySource::Read);
    png_read_info(png, info);
    d.Width = png_get_image_width(png, info);
    d.Height = png_get_image_height(png, info);
    d.ColorType = png_get_color_type(png, info);
    d.BitDepth = png_get_bit_depth(png, info);
    d.Interlace = png_get_interlace_type(png, info);
    if (ignoreTransparency && png_get_valid(png, info, PNG_INFO_tRNS)) png_free_data(png, info, PNG_FREE_TRNS, -1);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    d.Rgba.assign(static_cast<size_t>(d.Width) * d.Height * 4, 0);
    for (uint32_t y = 0; y < d.Height; ++y) rows.push_back(&d.Rgba[static_cast<size_t>(y) * d.Width * 4]);
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    d.Ok = true;
    return d;
}

inline bool HavePngcheck() { return std::system("pngcheck -h >/dev/null 2>&1") == 0 || std::system("command -v pngcheck >/dev/null 2>&1") == 0; }

// pngcheck's complaints about a file, empty when it passes.
inline std::string PngcheckErrors(const std::vector<uint8_t>& file, const std::string& path)
{
    WriteFileBytes(path, std::vector<unsigned char>(file.begin(), file.end()));
    const std::string command = "pngcheck -q '" + path + "' 2>&1";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return "cannot run pngcheck";
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    const int status = pclose(pipe);
    if (status == 0) return {};
    return output.empty() ? "pngcheck failed" : output;
}

// Deterministic bytes for test pictures.
struct Lcg {
    uint32_t State;
    uint8_t Next()
    {
        State = State * 1664525u + 1013904223u;
        return static_cast<uint8_t>(State >> 24);
    }
};

inline std::vector<uint8_t> Bytes(TMemoryStream& stream) { return stream.Bytes(); }

} // namespace tintabrel::test
