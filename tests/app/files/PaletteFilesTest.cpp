#include "app/PaletteFiles.h"
#include "app/PictureFormats.h"

#include "tests/TestData.h"
#include "base/Streams.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <string>
#include <string_view>
#include <vector>

namespace tintabrel {
namespace {

std::string ReadBack(TMemoryStream& stream)
{
    return std::string(reinterpret_cast<const char*>(stream.Bytes().data()), stream.Bytes().size());
}

TColourPalette ReadBytes(const std::string& bytes, TPaletteFormat format, const std::string& name = "p")
{
    TMemoryStream stream;
    stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    stream.SetPosition(0);
    return ReadPalette(stream, format, name);
}

std::string WrittenBytes(const TColourPalette& palette, TPaletteFormat format)
{
    TMemoryStream stream;
    TPNGSaveOptions png;
    png.Time = TPngTimeSource::None;
    WritePalette(stream, format, palette, png);
    return ReadBack(stream);
}

// An .act file: the table padded to 256 entries, then (trailer) the count and transparent index.
std::string ActBytes(const std::vector<TColor>& colours, bool trailer, int count = -1, int transparent = 0xFFFF)
{
    std::string bytes(768, '\0');
    for (size_t i = 0; i < colours.size(); ++i) {
        bytes[3 * i] = static_cast<char>(RedOf(colours[i]));
        bytes[3 * i + 1] = static_cast<char>(GreenOf(colours[i]));
        bytes[3 * i + 2] = static_cast<char>(BlueOf(colours[i]));
    }
    if (trailer) {
        const int n = count < 0 ? static_cast<int>(colours.size()) : count;
        bytes += {static_cast<char>(n >> 8), static_cast<char>(n & 0xFF), static_cast<char>(transparent >> 8),
                  static_cast<char>(transparent & 0xFF)};
    }
    return bytes;
}

// A PNG strip of width x height, made by the picture writer: the colours row by row.
std::string PngStrip(int32_t width, int32_t height, const std::vector<TColor>& colours)
{
    TPictureData data;
    data.Image.SetPixelFormat(TPixelFormat::pf24bit);
    data.Image.SetSize(width, height);
    for (int32_t i = 0; i < width * height; ++i) data.Image.SetPixel(i % width, i / width, colours[static_cast<size_t>(i)]);
    TMemoryStream stream;
    SavePicture(stream, PngFormat(), data);
    return ReadBack(stream);
}

const TColor kBlue = MakeColor(0, 0, 255);
const TColor kDark = MakeColor(10, 20, 30);
const TColor kWhite = MakeColor(255, 255, 255);

TEST(PaletteFiles, FormatGoesByTheExtensionInAnyCase)
{
    EXPECT_EQ(PaletteFormatOfPath("team.gpl"), TPaletteFormat::Gpl);
    EXPECT_EQ(PaletteFormatOfPath("dir.x/TEAM.GPL"), TPaletteFormat::Gpl);
    EXPECT_EQ(PaletteFormatOfPath("a.Pal"), TPaletteFormat::Pal);
    EXPECT_EQ(PaletteFormatOfPath("a.HEX"), TPaletteFormat::Hex);
    EXPECT_EQ(PaletteFormatOfPath("a.act"), TPaletteFormat::Act);
    EXPECT_EQ(PaletteFormatOfPath("strip.PNG"), TPaletteFormat::Png);
    EXPECT_EQ(PaletteFormatOfPath("a.txt"), std::nullopt);
    EXPECT_EQ(PaletteFormatOfPath("gpl"), std::nullopt);
    EXPECT_EQ(PaletteFormatOfPath("dir.gpl/team"), std::nullopt);
    try {
        RequirePaletteFormat("colours.txt");
        ADD_FAILURE();
    } catch (const EPaletteFile& e) {
        EXPECT_EQ(std::string(e.what()),
                  "colours.txt: not a palette file name: the extension says the format, one of .gpl, .pal, .hex, .act, .png");
    }
}

// Each format read from the bytes other programs write: every entry in order, names where the
// format has them.
TEST(PaletteFiles, ReadsEachFormat)
{
    struct TCase {
        const char* Label;
        TPaletteFormat Format;
        std::string Bytes;
        std::vector<TColor> Colours;
        std::vector<std::string> Names;
    };
    std::vector<TColor> full(256, 0);
    for (int i = 0; i < 256; ++i) full[static_cast<size_t>(i)] = MakeColor(static_cast<uint8_t>(i), 7, static_cast<uint8_t>(255 - i));
    const TCase cases[] = {
        {"gpl", TPaletteFormat::Gpl,
         "GIMP Palette\nName: Team\nColumns: 4\n#\n# blues\n  0   0 255\tBlue\n 10  20  30\n\n255 255 255 White snow \r\n",
         {kBlue, kDark, kWhite}, {"Blue", "", "White snow"}},
        {"gpl, CR LF, a byte-order mark, no last line end", TPaletteFormat::Gpl,
         "\xEF\xBB\xBFGIMP Palette\r\nName: x\r\n0 0 255\r\n10\t20\t30", {kBlue, kDark}, {"", ""}},
        {"pal", TPaletteFormat::Pal, "JASC-PAL\r\n0100\r\n3\r\n0 0 255\r\n10 20 30\r\n255 255 255\r\n",
         {kBlue, kDark, kWhite}, {}},
        {"pal, LF", TPaletteFormat::Pal, "JASC-PAL\n0100\n2\n0 0 255\n10 20 30\n\n", {kBlue, kDark}, {}},
        {"hex", TPaletteFormat::Hex, "0000ff\n#0A141E\n\nFFFFFF", {kBlue, kDark, kWhite}, {}},
        {"act, 768 bytes", TPaletteFormat::Act, ActBytes(full, false), full, {}},
        {"act with a count", TPaletteFormat::Act, ActBytes({kBlue, kDark, kWhite}, true), {kBlue, kDark, kWhite}, {}},
        {"png strip, rows top to bottom", TPaletteFormat::Png,
         PngStrip(2, 2, {kBlue, kDark, kWhite, kBlue}), {kBlue, kDark, kWhite, kBlue}, {}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Label);
        const TColourPalette palette = ReadBytes(c.Bytes, c.Format);
        EXPECT_EQ(palette.Colours, c.Colours);
        EXPECT_EQ(palette.Names, c.Names);
    }
    const TColourPalette gpl = ReadBytes(cases[0].Bytes, TPaletteFormat::Gpl);
    EXPECT_EQ(gpl.Name, "Team");
    EXPECT_EQ(gpl.Columns, 4);
    const TColourPalette act = ReadBytes(ActBytes({kBlue, kDark, kWhite}, true, 3, 1), TPaletteFormat::Act);
    EXPECT_EQ(act.TransparentIndex, 1);
}

// Each format written, as bytes where it is text, and read back to the same palette.
TEST(PaletteFiles, WritesEachFormatAndReadsItBack)
{
    TColourPalette palette;
    palette.Colours = {kBlue, kDark, kWhite, kBlue};
    palette.Names = {"Blue", "", "Line\nbreak", ""};
    palette.Name = "Team";
    palette.Columns = 2;

    EXPECT_EQ(WrittenBytes(palette, TPaletteFormat::Gpl),
              "GIMP Palette\nName: Team\nColumns: 2\n#\n  0   0 255\tBlue\n 10  20  30\n255 255 255\tLine break\n  0   0 255\n");
    EXPECT_EQ(WrittenBytes(palette, TPaletteFormat::Pal), "JASC-PAL\r\n0100\r\n4\r\n0 0 255\r\n10 20 30\r\n255 255 255\r\n0 0 255\r\n");
    EXPECT_EQ(WrittenBytes(palette, TPaletteFormat::Hex), "0000ff\n0a141e\nffffff\n0000ff\n");
    palette.TransparentIndex = 2;
    EXPECT_EQ(WrittenBytes(palette, TPaletteFormat::Act), ActBytes(palette.Colours, true, 4, 2));

    for (const TPaletteFormatInfo& info : PaletteFormats()) {
        SCOPED_TRACE(info.Extension);
        const TColourPalette back = ReadBytes(WrittenBytes(palette, info.Format), info.Format);
        EXPECT_EQ(back.Colours, palette.Colours);
    }

    // Through files named in any letter case, a long palette included (no format but .act has a
    // limit).
    test::TempDir dir;
    TColourPalette big;
    for (int i = 0; i < 1000; ++i) big.Colours.push_back(MakeColor(static_cast<uint8_t>(i), static_cast<uint8_t>(i / 4), 9));
    for (const char* name : {"big.gpl", "BIG.PAL", "big.Hex", "big.png"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.File(name);
        EXPECT_GT(WritePaletteFile(path, big), 0);
        EXPECT_EQ(ReadPaletteFile(path).Colours, big.Colours);
    }
}

// A file that is not what its format says is refused with the file, the line and what is wrong.
TEST(PaletteFiles, RefusesABadLineOfEachFormat)
{
    struct TCase {
        TPaletteFormat Format;
        std::string Bytes;
        std::string Message;
    };
    const TCase cases[] = {
        {TPaletteFormat::Gpl, "GIMP palette\n0 0 0\n", "t: line 1: a GIMP palette starts with \"GIMP Palette\", found \"GIMP palette\""},
        {TPaletteFormat::Gpl, "GIMP Palette\n0 0 255\n10 300 30\n", "t: line 3: the green value 300 is above 255"},
        {TPaletteFormat::Gpl, "GIMP Palette\n# two\n12 34\n", "t: line 3: expected three values 0 to 255 (red, green, blue), found \"12 34\""},
        {TPaletteFormat::Gpl, "GIMP Palette\n1 2 3x\n", "t: line 2: the blue value \"3x\" is not a whole number 0 to 255"},
        {TPaletteFormat::Gpl, "GIMP Palette\n1 -2 3\n", "t: line 2: the green value \"-2\" is not a whole number"},
        {TPaletteFormat::Gpl, "GIMP Palette\nColumns: many\n", "t: line 2: Columns: takes a number 0 to 256, found \"many\""},
        {TPaletteFormat::Pal, "JASC-PAL\n0100\n3\n1 2 3\n", "t: line 3 counts 3 colours, but the file holds 1"},
        {TPaletteFormat::Pal, "JASC-PAL\n0100\n1\n1 2 3\n4 5 6\n", "t: line 5: a colour beyond the 1 that line 3 counts"},
        {TPaletteFormat::Pal, "JASC-PAL\n0100\n1\n1 2 3 4\n", "t: line 4: more than three values"},
        {TPaletteFormat::Pal, "JASC-PAL\n0200\n1\n1 2 3\n", "t: line 2: expected the version \"0100\", found \"0200\""},
        {TPaletteFormat::Pal, "JASC-PAL\n0100\nsixteen\n", "t: line 3: expected the number of colours, found \"sixteen\""},
        {TPaletteFormat::Pal, "JASC-PAL\n", "t: the file ends before its header"},
        {TPaletteFormat::Hex, "ff0000\nff00\n", "t: line 2: expected a colour as RRGGBB (six hexadecimal digits, # optional), found \"ff00\""},
        {TPaletteFormat::Hex, "\n\n#GG0000\n", "t: line 3: expected a colour as RRGGBB"},
        {TPaletteFormat::Hex, "ff0000ff\n", "t: line 1: expected a colour as RRGGBB"},
        {TPaletteFormat::Act, std::string(500, '\0'), "t: an .act file is 768 bytes (256 colours), or 772 with a colour count and a transparent index; this one is 500 bytes"},
        {TPaletteFormat::Act, std::string(800, '\0'), "this one is longer"},
        {TPaletteFormat::Act, ActBytes({kBlue}, true, 300), "t: its colour count (bytes 769 and 770) is 300, not 1 to 256"},
        {TPaletteFormat::Act, ActBytes({kBlue}, true, 0), "is 0, not 1 to 256"},
        {TPaletteFormat::Act, ActBytes({kBlue, kDark, kWhite}, true, 3, 5), "t: its transparent index 5 is beyond its 3 colours"},
        {TPaletteFormat::Png, "not a picture at all", "t: "},
        {TPaletteFormat::Png, std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), "t: no picture in the file"},
    };
    for (const TCase& c : cases) {
        try {
            ReadBytes(c.Bytes, c.Format, "t");
            ADD_FAILURE() << "accepted: " << c.Message;
        } catch (const EPaletteFile& e) {
            const std::string message = e.what();
            EXPECT_EQ(message.rfind("t: ", 0), 0u) << message; // the file first
            EXPECT_NE(message.find(c.Message), std::string::npos) << message << "\n expected: " << c.Message;
        }
    }
}

// A palette read through a pipe, as from <(...): text and a PNG strip alike.
TEST(PaletteFiles, ReadsThroughAPipe)
{
    test::TempDir dir;
    const struct {
        const char* Name;
        std::string Bytes;
    } cases[] = {{"team.gpl", "GIMP Palette\n0 0 255\n"}, {"strip.png", PngStrip(1, 1, {kBlue})}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string path = dir.File(c.Name);
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        std::thread writer([&] { test::WriteFile(path, c.Bytes); });
        const TColourPalette palette = ReadPaletteFile(path);
        writer.join();
        EXPECT_EQ(palette.Colours, std::vector<TColor>({kBlue}));
    }
}

// The strip's bytes with the size its header declares changed (the header's check sum made anew).
std::string WithDeclaredSize(std::string png, uint32_t width, uint32_t height)
{
    // Signature (8), then the IHDR chunk: length (4), type (4), width, height ...; its CRC after 13 bytes.
    const auto put = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) png[at + static_cast<size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
    };
    put(16, width);
    put(20, height);
    put(29, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(png.data() + 12), 17)));
    return png;
}

// A PNG strip through a pipe that is no strip (another file, an endless writer) is refused by its
// first bytes and by the size its header declares, the pipe read no further than they need, never
// held whole.
TEST(PaletteFiles, ReadsAPipedStripNoFurtherThanItsHeaderAllows)
{
    struct sigaction ignore{}, before{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &before), 0);
    test::TempDir dir;
    const struct {
        const char* Label;
        std::string Head;
        std::string Says;
    } cases[] = {
        {"not a PNG", std::string(64, '\0'), "strip.png: "},
        {"a strip of more pixels than a palette has colours", WithDeclaredSize(PngStrip(1, 1, {kBlue}), 5000, 5000),
         "strip.png: 25000000 pixels, more than the 16777216 colours a palette may have"},
    };
    constexpr size_t Offered = size_t{48} << 20; // what the writer would go on with
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Label);
        const std::string path = dir.File("strip.png");
        std::filesystem::remove(path);
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        size_t written = 0;
        std::thread writer([&] {
            const int fd = ::open(path.c_str(), O_WRONLY);
            if (fd < 0) return;
            const std::string zeros(64 << 10, '\0');
            for (std::string_view rest = c.Head; written < Offered;) {
                const std::string_view chunk = rest.empty() ? std::string_view(zeros) : rest;
                const ssize_t n = ::write(fd, chunk.data(), chunk.size());
                if (n <= 0) break; // the reader has gone
                written += static_cast<size_t>(n);
                if (!rest.empty()) rest.remove_prefix(static_cast<size_t>(n));
            }
            ::close(fd);
        });
        try {
            ReadPaletteFile(path);
            ADD_FAILURE() << "accepted";
        } catch (const EPaletteFile& e) {
            EXPECT_EQ(std::string(e.what()).rfind(dir.File(c.Says), 0), 0u) << e.what();
        }
        writer.join();
        EXPECT_LT(written, size_t{4} << 20);
    }
    sigaction(SIGPIPE, &before, nullptr);
}

// What a format cannot hold is refused, and no file is left behind.
TEST(PaletteFiles, RefusesWhatTheFormatCannotHold)
{
    test::TempDir dir;
    TColourPalette palette;
    palette.Colours.assign(257, kBlue);
    try {
        WritePaletteFile(dir.File("team.act"), palette);
        ADD_FAILURE();
    } catch (const EPaletteFile& e) {
        EXPECT_EQ(std::string(e.what()), dir.File("team.act") + ": an .act file holds at most 256 colours; this palette has 257");
    }
    EXPECT_FALSE(std::filesystem::exists(dir.File("team.act")));
    palette.Colours.resize(256);
    EXPECT_EQ(WritePaletteFile(dir.File("team.act"), palette), 772);
    EXPECT_EQ(ReadPaletteFile(dir.File("team.act")).Colours.size(), 256u);

    EXPECT_THROW(WritePaletteFile(dir.File("empty.png"), TColourPalette{}), EPaletteFile);
    EXPECT_FALSE(std::filesystem::exists(dir.File("empty.png")));
    // Other formats hold an empty palette.
    WritePaletteFile(dir.File("empty.hex"), TColourPalette{});
    EXPECT_TRUE(ReadPaletteFile(dir.File("empty.hex")).Colours.empty());
}

} // namespace
} // namespace tintabrel
