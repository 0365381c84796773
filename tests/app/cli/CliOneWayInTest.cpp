// One way in for every picture: what a PNG says beside its pixels is kept by convert and recolour
// (dropped by --strip); limits and refusals name what the file declares; a file is read as what
// its bytes are; the same bytes give the same outcome from a file and from a pipe; a further
// format is one entry of the table.
#include "tests/TestData.h"
#include "tests/app/cli/CliHarness.h"

#include "app/PictureFormats.h"
#include "app/PictureSource.h"
#include "app/cli/CliTool.h"
#include "app/cli/Messages.h"
#include "base/Exceptions.h"
#include "png/VRQPNGReadStream.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <map>

namespace tintabrel::test {
namespace {

using TBytes = std::vector<unsigned char>;

void Put32(TBytes& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(v >> shift));
}

void Put32At(unsigned char* at, uint32_t v)
{
    for (int k = 0; k < 4; ++k) at[k] = static_cast<unsigned char>(v >> (24 - 8 * k));
}

TBytes Chunk(const char* type, const TBytes& data)
{
    TBytes out(12 + data.size());
    Put32At(out.data(), static_cast<uint32_t>(data.size()));
    std::memcpy(out.data() + 4, type, 4);
    if (!data.empty()) std::memcpy(out.data() + 8, data.data(), data.size());
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
    crc = crc32(crc, data.data(), static_cast<uInt>(data.size()));
    Put32At(out.data() + 8 + data.size(), static_cast<uint32_t>(crc));
    return out;
}

TBytes Text(const std::string& s) { return TBytes(s.begin(), s.end()); }

TBytes Ihdr(uint32_t w, uint32_t h, unsigned char depth, unsigned char type)
{
    TBytes d;
    Put32(d, w);
    Put32(d, h);
    d.insert(d.end(), {depth, type, 0, 0, 0});
    return d;
}

TBytes Zlib(const TBytes& raw)
{
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    TBytes out(size);
    compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 9);
    out.resize(size);
    return out;
}

// The chunks of a PNG file: type and data, in order.
std::vector<std::pair<std::string, TBytes>> Chunks(const TBytes& file)
{
    std::vector<std::pair<std::string, TBytes>> chunks;
    for (size_t at = 8; at + 12 <= file.size();) {
        const uint32_t length = uint32_t{file[at]} << 24 | uint32_t{file[at + 1]} << 16 | uint32_t{file[at + 2]} << 8 | file[at + 3];
        chunks.emplace_back(std::string(file.begin() + static_cast<long>(at) + 4, file.begin() + static_cast<long>(at) + 8),
                            TBytes(file.begin() + static_cast<long>(at) + 8, file.begin() + static_cast<long>(at + 8 + length)));
        at += 12 + length;
    }
    return chunks;
}

const TBytes* Find(const std::vector<std::pair<std::string, TBytes>>& chunks, const std::string& type)
{
    for (const auto& [t, data] : chunks)
        if (t == type) return &data;
    return nullptr;
}

// What a sprite's file says beside its pixels, as a paint program or engine exporter writes it.
struct TSideChunks {
    TBytes Gamma{0, 0, 0xD6, 0xD8};                  // 0.55
    TBytes Srgb{1};                                  // relative colourimetric
    TBytes Phys{0, 0, 0x0B, 0x13, 0, 0, 0x0B, 0x13, 1};
    TBytes Iccp = [] {
        TBytes d = Text("profile");
        d.push_back(0);
        d.push_back(0);
        const TBytes z = Zlib(Text("a made-up profile body"));
        d.insert(d.end(), z.begin(), z.end());
        return d;
    }();
    TBytes Title = [] {
        TBytes d = Text("Title");
        d.push_back(0);
        const TBytes t = Text("Hero, walk cycle");
        d.insert(d.end(), t.begin(), t.end());
        return d;
    }();
};

// A 4 x 2 palette picture (4 entries, index 3 clear, background index 1) or an RGBA one
// (background a colour), with gAMA, sRGB, iCCP, pHYs and a text.
TBytes SpriteWithSideChunks(bool palette)
{
    const TSideChunks side;
    TBytes file = PngBytes();
    const auto add = [&file](const char* type, const TBytes& data) {
        const TBytes c = Chunk(type, data);
        file.insert(file.end(), c.begin(), c.end());
    };
    add("IHDR", palette ? Ihdr(4, 2, 8, 3) : Ihdr(4, 2, 8, 6));
    add("gAMA", side.Gamma);
    add("iCCP", side.Iccp);
    add("sRGB", side.Srgb);
    TBytes raw;
    if (palette) {
        add("PLTE", {200, 40, 40, 40, 200, 40, 40, 40, 200, 250, 250, 250});
        add("tRNS", {255, 255, 255, 0});
        add("bKGD", {1});
        for (int y = 0; y < 2; ++y) raw.insert(raw.end(), {0, 0, 1, 2, 3});
    } else {
        add("bKGD", {0, 10, 0, 20, 0, 30});
        for (int y = 0; y < 2; ++y) {
            raw.push_back(0);
            for (int x = 0; x < 4; ++x) raw.insert(raw.end(), {200, 40, 40, static_cast<unsigned char>(x * 80)});
        }
    }
    add("pHYs", side.Phys);
    add("tEXt", side.Title);
    add("IDAT", Zlib(raw));
    add("IEND", {});
    return file;
}

// The chunks a PNG input says beside its pixels, and whether each must be in the output.
TEST(CliOneWayIn, ConvertAndRecolourKeepWhatThePictureSaysAndStripDropsIt)
{
    const TSideChunks side;
    struct TRun {
        const char* Name;
        std::vector<std::string> Args;
        bool Kept;
    };
    const std::vector<TRun> runs = {
        {"convert", {"convert"}, true},
        {"recolour", {"recolour", "--from-hue", "0", "--tolerance", "20", "--target", "120", "-o"}, true},
        {"convert --strip", {"convert", "--strip"}, false},
        {"recolour --strip", {"recolour", "--strip", "--from-hue", "0", "--target", "120", "-o"}, false},
        {"convert --optimize", {"convert", "--optimize"}, true},
    };
    for (const bool palette : {true, false}) {
        for (const TRun& run : runs) {
            SCOPED_TRACE(std::string(palette ? "palette, " : "RGBA, ") + run.Name);
            TempDir dir;
            WriteFileBytes(dir.File("in.png"), SpriteWithSideChunks(palette));
            std::vector<std::string> args = run.Args;
            if (args.back() == "-o") {
                args.push_back(dir.File("out.png"));
                args.push_back(dir.File("in.png"));
            } else {
                args.push_back(dir.File("in.png"));
                args.push_back(dir.File("out.png"));
            }
            const TCliRun result = RunCli(args);
            ASSERT_EQ(result.Status, 0) << result.Err;
            const auto chunks = Chunks(ReadFileBytes(dir.File("out.png")));
            const std::map<std::string, TBytes> expected = {
                {"gAMA", side.Gamma}, {"sRGB", side.Srgb}, {"iCCP", side.Iccp}, {"pHYs", side.Phys}, {"tEXt", side.Title}};
            for (const auto& [type, data] : expected) {
                SCOPED_TRACE(type);
                const TBytes* found = nullptr;
                for (const auto& [t, d] : chunks)
                    if (t == type && (type != "tEXt" || d == data)) found = &d;
                if (!run.Kept) {
                    EXPECT_EQ(found, nullptr);
                    continue;
                }
                ASSERT_NE(found, nullptr);
                EXPECT_EQ(*found, data);
            }
            const TBytes* background = Find(chunks, "bKGD");
            if (!run.Kept) {
                EXPECT_EQ(background, nullptr);
            } else {
                ASSERT_NE(background, nullptr);
                // The palette's entry 1 (its colour recoloured with it), or the colour as it was.
                const TBytes want = palette ? TBytes{1} : TBytes{0, 10, 0, 20, 0, 30};
                EXPECT_EQ(*background, want);
            }
            // The colour space stands before the palette and the image data, as PNG requires.
            size_t plte = chunks.size(), srgb = chunks.size();
            for (size_t i = 0; i < chunks.size(); ++i) {
                if (chunks[i].first == "PLTE" || (chunks[i].first == "IDAT" && plte == chunks.size())) plte = i;
                if (chunks[i].first == "sRGB") srgb = i;
            }
            if (run.Kept) {
                EXPECT_LT(srgb, plte);
            }
        }
    }
}

// A significant-bits claim is kept while it is true of the pixels (a conversion), dropped when a
// change made it false.
TEST(CliOneWayIn, SignificantBitsKeptOnlyWhileTrue)
{
    TempDir dir;
    TBytes file = PngBytes();
    const auto add = [&file](const char* type, const TBytes& data) {
        const TBytes c = Chunk(type, data);
        file.insert(file.end(), c.begin(), c.end());
    };
    add("IHDR", Ihdr(4, 1, 8, 2));
    add("sBIT", {5, 5, 5});
    // 5-bit samples scaled by repeating their top bits: 31 -> 255, 16 -> 132, 8 -> 66, 0 -> 0.
    add("IDAT", Zlib({0, 255, 0, 0, 132, 132, 0, 66, 0, 132, 0, 0, 255}));
    add("IEND", {});
    WriteFileBytes(dir.File("in.png"), file);
    ASSERT_EQ(RunCli({"convert", dir.File("in.png"), dir.File("same.png")}).Status, 0);
    const auto same = Chunks(ReadFileBytes(dir.File("same.png")));
    const TBytes* kept = Find(same, "sBIT");
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(*kept, (TBytes{5, 5, 5}));
    ASSERT_EQ(RunCli({"recolour", "--from-hue", "0", "--tolerance", "36", "--target", "200", "-o", dir.File("new.png"),
                      dir.File("in.png")})
                  .Status,
              0);
    const auto changed = Chunks(ReadFileBytes(dir.File("new.png")));
    EXPECT_EQ(Find(changed, "sBIT"), nullptr);
}

// A BMP's resolution becomes pHYs in a PNG, and a PNG's resolution per metre the BMP's.
TEST(CliOneWayIn, ResolutionCrossesFormats)
{
    TempDir dir;
    WriteFileBytes(dir.File("in.png"), SpriteWithSideChunks(false));
    ASSERT_EQ(RunCli({"convert", dir.File("in.png"), dir.File("out.bmp")}).Status, 0);
    const TBytes bmp = ReadFileBytes(dir.File("out.bmp"));
    ASSERT_GE(bmp.size(), 46u);
    EXPECT_EQ(bmp[38] | bmp[39] << 8, 0x0B13);
    EXPECT_EQ(bmp[42] | bmp[43] << 8, 0x0B13);
    ASSERT_EQ(RunCli({"convert", dir.File("out.bmp"), dir.File("back.png")}).Status, 0);
    const auto back = Chunks(ReadFileBytes(dir.File("back.png")));
    const TBytes* phys = Find(back, "pHYs");
    ASSERT_NE(phys, nullptr);
    EXPECT_EQ(*phys, TSideChunks().Phys);
}

// --max-pixels is a limit on the picture's pixels, said with the size the file declares, in info
// as in recolour; a picture within it loads whatever its palette holds.
TEST(CliOneWayIn, PixelLimitNamesTheDeclaredSizeAndCountsOnlyPixels)
{
    TempDir dir;
    TBytes sheet = PngBytes();
    for (const auto& c : {Chunk("IHDR", Ihdr(2048, 2048, 8, 0)), Chunk("IDAT", Zlib(TBytes(2048 * 2049, 0))),
                          Chunk("IEND", {})})
        sheet.insert(sheet.end(), c.begin(), c.end());
    WriteFileBytes(dir.File("sheet.png"), sheet);
    const std::string said = "the picture declares 2048 x 2048 = 4194304 pixels, more than the limit of 1000 pixels";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"info", "--max-pixels", "1000", dir.File("sheet.png")},
          std::vector<std::string>{"recolour", "--max-pixels", "1000", "--from-hue", "0", "--target", "120", "-o",
                                   dir.File("out.png"), dir.File("sheet.png")}}) {
        const TCliRun run = RunCli(args);
        EXPECT_EQ(run.Status, 1);
        EXPECT_TRUE(Contains(run.Err, said)) << run.Err;
    }

    // 7 x 7 pixels with a palette of 202 entries, under a limit of 100 pixels.
    TBytes small = PngBytes();
    TBytes palette;
    for (int i = 0; i < 202; ++i) palette.insert(palette.end(), {static_cast<unsigned char>(i), 40, 40});
    TBytes raw;
    for (int y = 0; y < 7; ++y) {
        raw.push_back(0);
        for (int x = 0; x < 7; ++x) raw.push_back(static_cast<unsigned char>(y * 7 + x));
    }
    for (const auto& c : {Chunk("IHDR", Ihdr(7, 7, 8, 3)), Chunk("PLTE", palette), Chunk("IDAT", Zlib(raw)), Chunk("IEND", {})})
        small.insert(small.end(), c.begin(), c.end());
    WriteFileBytes(dir.File("small.png"), small);
    const TCliRun run = RunCli({"recolour", "--max-pixels", "100", "--from-hue", "0", "--target", "120", "-o",
                                dir.File("small-out.png"), dir.File("small.png")});
    EXPECT_EQ(run.Status, 0) << run.Err;
}

// Every refusal says in English what is wrong, whatever reader met it.
TEST(CliOneWayIn, RefusalsSayTheirCause)
{
    TempDir dir;
    TBitmap image;
    MakeSprite(image, 5, 4);
    WritePicture(dir.File("good.bmp"), image);
    const TBytes bmp = ReadFileBytes(dir.File("good.bmp"));
    TBytes planes = bmp;
    planes[26] = 2;
    TBytes used = bmp;
    used[28] = 8; // 8 bits per pixel: the colour table follows
    used[46] = 0xFF;
    used[47] = 0xFF;
    struct TCase {
        const char* Name;
        TBytes File;
        const char* Said;
    };
    const std::vector<TCase> cases = {
        {"cut in the file header", TBytes(bmp.begin(), bmp.begin() + 14 - 4), "the file ends inside its 14-byte file header"},
        {"cut in the header size", TBytes(bmp.begin(), bmp.begin() + 16), "the size of its information header"},
        {"cut in the information header", TBytes(bmp.begin(), bmp.begin() + 40),
         "the file ends inside its 40-byte information header"},
        {"two planes", planes, "the header gives 2 planes, where a BMP has 1"},
        {"colours used beyond the file", used, "the colour table of 65535 entries"},
        {"PNG whose first chunk is broken",
         [] {
             TBytes f = PngBytes();
             const TBytes c = Chunk("IHDX", Ihdr(4, 4, 8, 2));
             f.insert(f.end(), c.begin(), c.end());
             return f;
         }(),
         "the first chunk after the signature is \"IHDX\" of 13 bytes, not the header chunk (IHDR)"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string name = std::string(c.Name).find("PNG") == 0 ? "bad.png" : "bad.bmp";
        WriteFileBytes(dir.File(name), c.File);
        const TCliRun run = RunCli({"convert", dir.File(name), dir.File("out.png")});
        EXPECT_EQ(run.Status, 1);
        EXPECT_TRUE(Contains(run.Err, c.Said)) << run.Err;
    }
}

// A message that only the window's words give gets its meaning in English before them.
TEST(CliOneWayIn, WindowWordsAloneGetTheirMeaning)
{
    EXPECT_EQ(cli::FailureText(EOutOfResources(msg::OutOfResources)),
              std::string("not enough memory for this picture (") + msg::OutOfResources + ")");
    EXPECT_EQ(cli::FailureText(EReadError(msg::ReadError)),
              std::string("the file cannot be read to its end (") + msg::ReadError + ")");
    EXPECT_EQ(cli::FailureText(EVRQPNG(pngmsg::ErrorZLIB)), pngmsg::ErrorZLIB); // English already
}

// A file is read as what its bytes are, whatever its name says.
TEST(CliOneWayIn, APngNamedBmpIsReadAsPng)
{
    TempDir dir;
    TBitmap image;
    MakeSprite(image, 6, 5);
    WritePicture(dir.File("real.png"), image);
    std::filesystem::copy_file(dir.File("real.png"), dir.File("named.bmp"));
    const TCliRun run = RunCli({"convert", dir.File("named.bmp"), dir.File("out.png")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    TPictureData data;
    ReadPicture(dir.File("out.png"), data);
    EXPECT_EQ(RgbBytes(data.Image), RgbBytes(image));
}

// A PNG cut short names the byte where the file ends, wherever the cut falls.
TEST(CliOneWayIn, ACutPngNamesWhereTheFileEnds)
{
    TempDir dir;
    // Noise, so that the file is about as long as its rows.
    TBytes raw;
    uint32_t noise = 12345;
    for (int y = 0; y < 256; ++y) {
        raw.push_back(0);
        for (int x = 0; x < 256 * 3; ++x) raw.push_back(static_cast<unsigned char>((noise = noise * 1103515245u + 12345u) >> 24));
    }
    TBytes file = PngBytes();
    for (const auto& c : {Chunk("IHDR", Ihdr(256, 256, 8, 2)), Chunk("IDAT", Zlib(raw)), Chunk("IEND", {})})
        file.insert(file.end(), c.begin(), c.end());
    for (const size_t cut : {size_t{1000}, size_t{65536}, size_t{70000}, size_t{140000}, file.size() - 500}) {
        SCOPED_TRACE(cut);
        ASSERT_LT(cut, file.size());
        WriteFileBytes(dir.File("cut.png"), TBytes(file.begin(), file.begin() + static_cast<long>(cut)));
        const TCliRun run = RunCli({"convert", dir.File("cut.png"), dir.File("out.png")});
        EXPECT_EQ(run.Status, 1);
        EXPECT_TRUE(Contains(run.Err, "the file ends at byte " + std::to_string(cut) + " inside the image data")) << run.Err;
    }
}

// After the last chunk of a whole picture the rest is not needed: a pipe gives what the file gives.
TEST(CliOneWayIn, WhatFollowsAWholePictureIsNotNeededFromAPipeEither)
{
    TempDir dir;
    TBitmap image;
    MakeSprite(image, 8, 8);
    WritePicture(dir.File("s.png"), image);
    TBytes bytes = ReadFileBytes(dir.File("s.png"));
    bytes.resize(bytes.size() + (size_t{60} << 20), 0);
    WriteFileBytes(dir.File("long.png"), bytes);
    const TCliRun fromFile = RunCli({"recolour", "--from-hue", "0", "--target", "90", "-o", dir.File("a.png"), dir.File("long.png")});
    EXPECT_EQ(fromFile.Status, 0) << fromFile.Err;
    const TCliRun fromPipe = RunCliPiped({"recolour", "--from-hue", "0", "--target", "90", "-o", dir.File("b.png"), "-"},
                                         std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(fromPipe.Status, 0) << fromPipe.Err;
    EXPECT_EQ(ReadFileBytes(dir.File("a.png")), ReadFileBytes(dir.File("b.png")));
}

// ---------------------------------------------------------------- a further format

// A made-up format: "TINY", width and height in a byte each, then red, green, blue per pixel.
bool TinySignature(const uint8_t* bytes, size_t count) { return count >= 4 && std::memcmp(bytes, "TINY", 4) == 0; }

int tinyHeaders = 0;

void TinyHeader(TStream& stream, TPictureHeader& header)
{
    ++tinyHeaders;
    uint8_t head[6] = {};
    if (stream.Read(head, 6) < 6) return;
    header.Width = head[4];
    header.Height = head[5];
    header.Format = TPixelFormat::pf24bit;
    header.Complete = true;
}

void TinyLoad(TStream& stream, TPictureData& data, const TLoadOptions&)
{
    uint8_t head[6] = {};
    stream.ReadBuffer(head, 6);
    data.Image.Clear();
    data.Image.SetPixelFormat(TPixelFormat::pf24bit);
    data.Image.SetSize(head[4], head[5]);
    for (int y = 0; y < head[5]; ++y) {
        uint8_t* row = data.Image.ScanLine(y);
        for (int x = 0; x < head[4]; ++x) {
            uint8_t rgb[3];
            stream.ReadBuffer(rgb, 3);
            row[3 * x] = rgb[2];
            row[3 * x + 1] = rgb[1];
            row[3 * x + 2] = rgb[0];
        }
    }
    data.Alpha.Clear();
}

TPictureKind TinyFormat()
{
    static const TPictureKind kind = RegisterPictureFormat(
        {"TINY", "tiny", {".tiny"}, TinySignature, TinyHeader, nullptr, TinyLoad, nullptr, 0, "bad TINY size"});
    return kind;
}

// One entry makes a format: the tool reads it (and cannot write it), through the same way in.
TEST(CliOneWayIn, ALoadOnlyFormatIsOneEntry)
{
    ASSERT_NE(TinyFormat(), nullptr);
    TempDir dir;
    std::string bytes = "TINY";
    bytes += static_cast<char>(2);
    bytes += static_cast<char>(1);
    bytes += std::string("\xC8\x28\x28\x10\x20\x30", 6);
    WriteFile(dir.File("two.tiny"), bytes);
    tinyHeaders = 0;
    cli::TConvertOptions convert;
    convert.Inputs = {dir.File("two.tiny")};
    convert.Out.OutputFile = dir.File("two.png");
    EXPECT_EQ(cli::RunConvert(convert), 0);
    EXPECT_GT(tinyHeaders, 0) << "the header step of the entry ran";
    TPictureData data;
    ReadPicture(dir.File("two.png"), data);
    ASSERT_EQ(data.Image.Width(), 2);
    EXPECT_EQ(data.Image.Pixel(0, 0), TColor(0x2828C8));
    EXPECT_EQ(data.Image.Pixel(1, 0), TColor(0x302010));

    // Named by its signature alone, and refused as an output it cannot write.
    TPictureSource source(dir.File("two.tiny"));
    EXPECT_EQ(source.Kind(), TinyFormat());
    convert.Inputs = {dir.File("two.png")};
    convert.Out.OutputFile = dir.File("back.tiny");
    EXPECT_NE(cli::RunConvert(convert), 0);
}

} // namespace
} // namespace tintabrel::test
