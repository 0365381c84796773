// GIF files written by giflib for tests: a screen, tables of made-up entries, a loop block,
// comments, and frames with their control blocks, written as the shapes below say.
#pragma once

#include <gif_lib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace tintabrel::test {

struct TGifFrameShape {
    int Left = 0, Top = 0, Width = 1, Height = 1;
    int LocalBits = 0; // 0: the global table
    bool Interlace = false;
    bool Control = true; // a graphic control block precedes the frame
    int Disposal = 0;
    int Delay = 0;
    int Transparent = -1;
    bool UserInput = false;
    std::vector<uint8_t> Indices; // Width x Height, row by row
};

struct TGifShape {
    int Width = 1, Height = 1;
    int GlobalBits = 0; // 0: no global table
    int Background = 0;
    int Loop = -1; // -1: no loop block
    std::vector<std::string> Comments;
    std::vector<TGifFrameShape> Frames;
};

// Table entries that differ from each other and from table to table.
inline std::vector<GifColorType> Colours(int bits, int salt)
{
    std::vector<GifColorType> colours(size_t{1} << bits);
    for (size_t i = 0; i < colours.size(); ++i)
        colours[i] = GifColorType{static_cast<GifByteType>(i * 37 + salt * 11), static_cast<GifByteType>(i * 13 + salt * 3),
                                  static_cast<GifByteType>(255 - i * 7 - salt)};
    return colours;
}

inline int WriteGifBytes(GifFileType* gif, const GifByteType* data, int count)
{
    auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
    out->insert(out->end(), data, data + count);
    return count;
}

inline std::vector<int> Interlaced(int height)
{
    std::vector<int> rows;
    for (int start : {0, 4, 2, 1})
        for (int y = start; y < height; y += start == 0 ? 8 : start == 4 ? 8 : start == 2 ? 4 : 2) rows.push_back(y);
    return rows;
}

inline std::vector<uint8_t> BuildGif(const TGifShape& shape)
{
    std::vector<uint8_t> out;
    int error = 0;
    GifFileType* gif = EGifOpen(&out, WriteGifBytes, &error);
    EXPECT_NE(gif, nullptr);
    EGifSetGifVersion(gif, true);
    ColorMapObject* global = nullptr;
    if (shape.GlobalBits) {
        const auto colours = Colours(shape.GlobalBits, 0);
        global = GifMakeMapObject(1 << shape.GlobalBits, colours.data());
    }
    EXPECT_EQ(EGifPutScreenDesc(gif, shape.Width, shape.Height, 8, shape.Background, global), GIF_OK);
    GifFreeMapObject(global);
    if (shape.Loop >= 0) {
        const unsigned char loop[3] = {1, static_cast<unsigned char>(shape.Loop & 0xFF), static_cast<unsigned char>(shape.Loop >> 8)};
        EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE);
        EGifPutExtensionBlock(gif, 11, "NETSCAPE2.0");
        EGifPutExtensionBlock(gif, 3, loop);
        EGifPutExtensionTrailer(gif);
    }
    for (const std::string& comment : shape.Comments) {
        EGifPutExtensionLeader(gif, COMMENT_EXT_FUNC_CODE);
        for (size_t at = 0; at < comment.size(); at += 255)
            EGifPutExtensionBlock(gif, static_cast<int>(std::min<size_t>(255, comment.size() - at)), comment.data() + at);
        EGifPutExtensionTrailer(gif);
    }
    int salt = 1;
    for (const TGifFrameShape& f : shape.Frames) {
        if (f.Control) {
            GraphicsControlBlock gcb{f.Disposal, f.UserInput, f.Delay, f.Transparent < 0 ? NO_TRANSPARENT_COLOR : f.Transparent};
            GifByteType ext[4];
            EGifGCBToExtension(&gcb, ext);
            EXPECT_EQ(EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, ext), GIF_OK);
        }
        ColorMapObject* local = nullptr;
        if (f.LocalBits) {
            const auto colours = Colours(f.LocalBits, salt++);
            local = GifMakeMapObject(1 << f.LocalBits, colours.data());
        }
        // giflib drops (without freeing) its copy of the last local table when a frame has none.
        if (!local && gif->Image.ColorMap) {
            GifFreeMapObject(gif->Image.ColorMap);
            gif->Image.ColorMap = nullptr;
        }
        EXPECT_EQ(EGifPutImageDesc(gif, f.Left, f.Top, f.Width, f.Height, f.Interlace, local), GIF_OK);
        GifFreeMapObject(local);
        std::vector<int> rows;
        if (f.Interlace)
            rows = Interlaced(f.Height);
        else
            for (int y = 0; y < f.Height; ++y) rows.push_back(y);
        for (int y : rows) {
            std::vector<uint8_t> line(f.Indices.begin() + y * f.Width, f.Indices.begin() + (y + 1) * f.Width);
            EXPECT_EQ(EGifPutLine(gif, line.data(), f.Width), GIF_OK);
        }
    }
    EGifCloseFile(gif, &error);
    return out;
}

} // namespace tintabrel::test
