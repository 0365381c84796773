// The image data compressed at once by libdeflate (the tool's choice) decodes to exactly what
// zlib's stream writes, in IDAT chunks of the same size; the picture class keeps zlib's stream.
#include "png/VRQPNG.h"
#include "png/VRQPNGWriteStream.h"
#include "tests/png/PngWriteTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <zlib.h>

namespace tintabrel::test {
namespace {

// A sprite-like picture: flat areas, outlines, a gradient.
void Sprite(TBitmap& image, int w, int h)
{
    image.SetPixelFormat(TPixelFormat::pf24bit);
    image.SetSize(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.SetPixel(x, y, (x / 7 + y / 5) % 3 == 0 ? TColor(0x2040C0) : TColor(((x * 3) & 255) | (y & 255) << 8));
}

std::vector<uint8_t> Write(const TBitmap& image, bool whole, int level, int32_t idatSize, int32_t filterMode = 0)
{
    TVRQPNGWriteStream writer;
    writer.WholeImageDeflate = whole;
    writer.CompressionLevel = level;
    writer.FilterMode = filterMode;
    writer.SetIDATSize(idatSize);
    writer.UseCurrentTime = false;
    TMemoryStream out;
    writer.WriteToStream(image, out);
    return out.Bytes();
}

std::vector<uint8_t> ImageData(const std::vector<Chunk>& chunks)
{
    std::vector<uint8_t> data;
    for (const Chunk& c : chunks)
        if (c.Type == "IDAT") data.insert(data.end(), c.Data.begin(), c.Data.end());
    return data;
}

std::vector<uint8_t> Inflate(const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> out(size_t{1} << 22);
    uLongf size = static_cast<uLongf>(out.size());
    EXPECT_EQ(uncompress(out.data(), &size, data.data(), static_cast<uLong>(data.size())), Z_OK);
    out.resize(size);
    return out;
}

TEST(WholeImageDeflate, SameRowsOtherStreamSameChunking)
{
    TBitmap image;
    Sprite(image, 150, 90);
    for (const int level : {-1, 1, 9}) {
        SCOPED_TRACE(level);
        const std::vector<Chunk> zlib = ParseChunks(Write(image, false, level, 1000));
        const std::vector<Chunk> whole = ParseChunks(Write(image, true, level, 1000));
        // The path ran: another compressor's stream, of the same filtered rows.
        EXPECT_NE(ImageData(whole), ImageData(zlib));
        EXPECT_EQ(Inflate(ImageData(whole)), Inflate(ImageData(zlib)));
        // Cut at the IDAT size as the stream is.
        for (size_t i = 0; i + 1 < whole.size(); ++i) {
            if (whole[i].Type == "IDAT" && whole[i + 1].Type == "IDAT") {
                EXPECT_EQ(whole[i].Data.size(), 1000u);
            }
        }
        // Everything else of the file is the same.
        std::vector<std::string> a = ChunkTypes(zlib), b = ChunkTypes(whole);
        a.erase(std::remove(a.begin(), a.end(), "IDAT"), a.end());
        b.erase(std::remove(b.begin(), b.end(), "IDAT"), b.end());
        EXPECT_EQ(a, b);
    }
}

// The picture class, which the window saves with, writes zlib's stream unless told otherwise.
TEST(WholeImageDeflate, ThePictureKeepsZlibByDefault)
{
    TBitmap image;
    Sprite(image, 64, 48);
    TVRQPNG png;
    png.Assign(image);
    png.UseCurrentTime = false;
    TMemoryStream out;
    png.SaveToStream(out);
    EXPECT_EQ(ImageData(ParseChunks(out.Bytes())), ImageData(ParseChunks(Write(image, false, -1, 32768, 1))));
}

} // namespace
} // namespace tintabrel::test
