// convert rewrites a picture without changing it; info describes pictures, as text or as JSON.
#include "tests/TestData.h"
#include "tests/app/cli/CliHarness.h"
#include "app/PictureFormats.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <zlib.h>

#include <filesystem>
#include <sstream>

namespace tintabrel::test {
namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- convert

TEST(CliConvert, BmpAndPngBothWaysKeepEveryPixel)
{
    TempDir dir;
    TBitmap image;
    MakeSprite(image, 13, 7);
    WritePicture(dir.File("s.bmp"), image);

    ASSERT_EQ(RunCli({"convert", dir.File("s.bmp"), dir.File("s.png")}).Status, 0);
    ASSERT_EQ(RunCli({"convert", dir.File("s.png"), dir.File("back.BMP")}).Status, 0);
    ASSERT_EQ(RunCli({"convert", "--png-filter", "adaptive", "--png-level", "1", dir.File("s.png"), dir.File("again.png")})
                  .Status,
              0);
    for (const char* name : {"s.png", "back.BMP", "again.png"}) {
        TPictureData data;
        LoadPicture(dir.File(name), KindOfExtension(ExtractExtension(name), false), data);
        EXPECT_EQ(RgbBytes(data.Image), RgbBytes(image)) << name;
        EXPECT_FALSE(data.HasAlpha()) << name;
    }
    EXPECT_EQ(ReadFileBytes(dir.File("back.BMP"))[0], 'B');
}

TEST(CliConvert, PngTransparencyIsKeptInPng)
{
    TempDir dir;
    TBitmap image, alpha;
    MakeSprite(image, 9, 9);
    MakeAlpha(alpha, 9, 9);
    WritePicture(dir.File("a.png"), image, alpha);
    const TCliRun run = RunCli({"convert", "--interlace", dir.File("a.png"), dir.File("b.png")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Err, "");
    TPictureData data;
    ReadPicture(dir.File("b.png"), data);
    EXPECT_EQ(RgbBytes(data.Image), RgbBytes(image));
    EXPECT_EQ(AlphaBytes(data.Alpha), AlphaBytes(alpha));
}

TEST(CliConvert, TransparencyDroppedForBmpIsAnnounced)
{
    TempDir dir;
    TBitmap image, alpha;
    MakeSprite(image, 5, 5);
    MakeAlpha(alpha, 5, 5);
    WritePicture(dir.File("a.png"), image, alpha);
    const TCliRun run = RunCli({"convert", dir.File("a.png"), dir.File("a.bmp")});
    EXPECT_EQ(run.Status, 0);
    EXPECT_TRUE(Contains(run.Err, "transparency")) << run.Err;
    TPictureData data;
    ReadPicture(dir.File("a.bmp"), data);
    EXPECT_EQ(RgbBytes(data.Image), RgbBytes(image));
}

TEST(CliConvert, CorruptInputFailsWithTheWindowsMessageAndWritesNothing)
{
    TempDir dir;
    WriteFileBytes(dir.File("bad.bmp"), {'B', 'M', 1, 2, 3});
    const TCliRun run = RunCli({"convert", dir.File("bad.bmp"), dir.File("out.png")});
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Err, dir.File("bad.bmp") + ": " + LoadFailure(dir.File("bad.bmp")) + "\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

// ---------------------------------------------------------------- info

void Chunk(std::vector<unsigned char>& file, const char* type, const std::vector<unsigned char>& data)
{
    const uint32_t length = static_cast<uint32_t>(data.size());
    for (int s = 24; s >= 0; s -= 8) file.push_back(static_cast<unsigned char>(length >> s));
    std::vector<unsigned char> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    file.insert(file.end(), body.begin(), body.end());
    const uLong crc = crc32(0, body.data(), static_cast<uInt>(body.size()));
    for (int s = 24; s >= 0; s -= 8) file.push_back(static_cast<unsigned char>(crc >> s));
}

// A 2 x 1 indexed PNG with every setting info reports: palette index 1 transparent, background
// index 0, gamma, resolution in pixels per metre and two comments.
std::vector<unsigned char> IndexedPng()
{
    std::vector<unsigned char> file = PngBytes();
    Chunk(file, "IHDR", {0, 0, 0, 2, 0, 0, 0, 1, 8, 3, 0, 0, 0});
    Chunk(file, "gAMA", {0, 0, 0xB1, 0x8F}); // 45455
    Chunk(file, "PLTE", {255, 0, 0, 0, 0, 255});
    Chunk(file, "tRNS", {255, 0});
    Chunk(file, "bKGD", {0});
    Chunk(file, "pHYs", {0, 0, 0x0B, 0x13, 0, 0, 0x0B, 0x13, 1}); // 2835
    Chunk(file, "tEXt", {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 'h', 'e', 'r', 'o'});
    Chunk(file, "tEXt", {'T', 'i', 't', 'l', 'e', 0, 'x'});
    const unsigned char raw[] = {0, 0, 1};
    unsigned char packed[64];
    uLongf packedSize = sizeof packed;
    compress(packed, &packedSize, raw, sizeof raw);
    Chunk(file, "IDAT", std::vector<unsigned char>(packed, packed + packedSize));
    Chunk(file, "tEXt", {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 'r', 'e', 'd'});
    Chunk(file, "IEND", {});
    return file;
}

std::vector<nlohmann::json> JsonLines(const std::string& text)
{
    std::vector<nlohmann::json> objects;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) objects.push_back(nlohmann::json::parse(line));
    return objects;
}

TEST(CliInfo, JsonDescribesEveryPngSetting)
{
    TempDir dir;
    WriteFileBytes(dir.File("i.png"), IndexedPng());
    const TCliRun run = RunCli({"info", "--json", dir.File("i.png")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    const auto objects = JsonLines(run.Out);
    ASSERT_EQ(objects.size(), 1u);
    const nlohmann::json& j = objects[0];
    EXPECT_EQ(j["file"], dir.File("i.png"));
    EXPECT_EQ(j["format"], "PNG");
    EXPECT_EQ(j["width"], 2);
    EXPECT_EQ(j["height"], 1);
    EXPECT_EQ(j["pixel_format"], "8-bit");
    EXPECT_EQ(j["color_type"], 3);
    EXPECT_EQ(j["bit_depth"], 8);
    EXPECT_EQ(j["interlace"], "none");
    // A transparent palette entry is transparency: alpha is any of it.
    EXPECT_EQ(j["alpha"], true);
    EXPECT_EQ(j["palette_size"], 2);
    EXPECT_EQ(j["file_size"], static_cast<int64_t>(IndexedPng().size()));
    EXPECT_EQ(j["version"], 1);
    EXPECT_EQ(j["transparent_color"], "palette index 1");
    EXPECT_EQ(j["background"], "palette index 0");
    EXPECT_DOUBLE_EQ(j["gamma"].get<double>(), 0.45455);
    EXPECT_EQ(j["resolution"]["x"], 2835);
    EXPECT_EQ(j["resolution"]["y"], 2835);
    EXPECT_EQ(j["resolution"]["unit"], "per metre");
    EXPECT_EQ(j["comment"], "hero\nred");
}

TEST(CliInfo, JsonOfAlphaPngAndBmpOneLineEach)
{
    TempDir dir;
    TBitmap image, alpha;
    MakeSprite(image, 6, 3);
    MakeAlpha(alpha, 6, 3);
    WritePicture(dir.File("a.png"), image, alpha);
    WritePicture(dir.File("b.bmp"), image);
    const TCliRun run = RunCli({"info", "--json", dir.File("a.png"), dir.File("b.bmp")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    const auto objects = JsonLines(run.Out);
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[0]["color_type"], 6);
    EXPECT_EQ(objects[0]["alpha"], true);
    EXPECT_EQ(objects[0]["width"], 6);
    EXPECT_TRUE(objects[0]["transparent_color"].is_null());
    EXPECT_EQ(objects[1]["format"], "BMP");
    EXPECT_EQ(objects[1]["pixel_format"], "24-bit");
    EXPECT_EQ(objects[1]["height"], 3);
    // The same keys for both formats, null where they do not apply.
    EXPECT_TRUE(objects[1]["color_type"].is_null());
    EXPECT_EQ(objects[1]["alpha"], false);
    std::vector<std::string> keys[2];
    for (int k = 0; k < 2; ++k)
        for (const auto& item : objects[static_cast<size_t>(k)].items()) keys[k].push_back(item.key());
    EXPECT_EQ(keys[0], keys[1]);
    EXPECT_EQ(run.Out.substr(0, 8), "{\"file\":");
}

TEST(CliInfo, TextLinesAndFailuresPerFile)
{
    TempDir dir;
    WriteFileBytes(dir.File("i.png"), IndexedPng());
    WriteFileBytes(dir.File("bad.bmp"), {'B', 'M', 0});
    const TCliRun run = RunCli({"info", dir.File("bad.bmp"), dir.File("i.png")});
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Err, dir.File("bad.bmp") + ": " + LoadFailure(dir.File("bad.bmp")) + "\n");
    for (const char* line : {"format: PNG\n", "width: 2\n", "pixel format: 8-bit\n", "colour type: 3 (indexed)\n",
                             "bit depth: 8\n", "interlace: none\n", "alpha: yes\n", "palette size: 2\n", "transparent colour: palette index 1\n",
                             "background: palette index 0\n", "gamma: 0.45455\n", "resolution: 2835 x 2835 per metre\n",
                             "comment: hero\\nred\n"})
        EXPECT_TRUE(Contains(run.Out, line)) << line << "\nin:\n" << run.Out;
}

// info loads as convert does: over damaged, short, empty and valid files (and a folder, a file
// that is no picture, a missing one) both give the same exit status and the same message.
TEST(CliInfo, AcceptsExactlyTheFilesConvertAccepts)
{
    TempDir dir;
    const std::vector<unsigned char> good = IndexedPng();
    std::vector<unsigned char> noImage = PngBytes();
    Chunk(noImage, "IHDR", {0, 0, 0, 2, 0, 0, 0, 1, 8, 3, 0, 0, 0});
    Chunk(noImage, "IEND", {});
    std::vector<unsigned char> shortGamma(good.begin(), good.begin() + 33); // signature and IHDR
    Chunk(shortGamma, "gAMA", {});
    shortGamma.insert(shortGamma.end(), good.begin() + 33, good.end());
    TBitmap sprite;
    MakeSprite(sprite, 5, 4);
    WritePicture(dir.File("ok.bmp"), sprite);
    SavePicture(dir.File("empty-picture.png"), PngFormat(), TBitmap(), TBitmap());
    fs::create_directory(dir.File("folder.png"));

    const std::vector<std::pair<std::string, std::vector<unsigned char>>> files = {
        {"ok.png", good},
        {"empty.png", {}},
        {"signature.png", PngBytes()},
        {"no-image-data.png", noImage},
        {"cut.png", std::vector<unsigned char>(good.begin(), good.end() - 40)},
        {"short-gamma.png", shortGamma},
        {"empty.bmp", {}},
        {"bad.bmp", {'B', 'M', 0}},
        {"notes.txt", {'h', 'i'}},
    };
    for (const auto& [name, bytes] : files) WriteFileBytes(dir.File(name), bytes);
    int accepted = 0;
    for (const char* name : {"ok.png", "empty.png", "signature.png", "no-image-data.png", "cut.png", "short-gamma.png",
                             "empty-picture.png", "empty.bmp", "bad.bmp", "ok.bmp", "notes.txt", "folder.png", "missing.png"}) {
        SCOPED_TRACE(name);
        const TCliRun info = RunCli({"info", dir.File(name)});
        const TCliRun convert = RunCli({"convert", dir.File(name), dir.File(std::string("out-") + name + ".png")});
        EXPECT_EQ(info.Status, convert.Status);
        EXPECT_EQ(info.Err, convert.Err);
        accepted += info.Status == 0;
    }
    EXPECT_EQ(accepted, 3); // ok.png, short-gamma.png, ok.bmp
}

// The values info reports are those the reader decodes with.
TEST(CliInfo, ReportsTheReadersValues)
{
    auto png = [](const std::vector<unsigned char>& header, const std::vector<std::pair<const char*, std::vector<unsigned char>>>& before,
                  const std::vector<unsigned char>& raw) {
        // The chunks in order; "IHDR" stands for the header.
        std::vector<unsigned char> file = PngBytes();
        for (const auto& [type, data] : before) Chunk(file, type, std::string(type) == "IHDR" ? header : data);
        unsigned char packed[256];
        uLongf packedSize = sizeof packed;
        compress(packed, &packedSize, raw.data(), static_cast<uLong>(raw.size()));
        Chunk(file, "IDAT", std::vector<unsigned char>(packed, packed + packedSize));
        Chunk(file, "IEND", {});
        return file;
    };
    const std::vector<unsigned char> grey2{0, 0, 0, 4, 0, 0, 0, 1, 2, 0, 0, 0, 0};
    const std::vector<unsigned char> rgb16{0, 0, 0, 1, 0, 0, 0, 1, 16, 2, 0, 0, 0};
    struct Case {
        const char* what;
        std::vector<unsigned char> file;
        const char* key;
        nlohmann::json expected;
    };
    const Case cases[] = {
        // A sample beyond the depth's range is cut to it: 7 at 2 bits is 3, white.
        {"tRNS sample out of range", png(grey2, {{"IHDR", {}}, {"tRNS", {0, 7}}}, {0, 0x1B}), "transparent_color", "#FFFFFF"},
        {"comment before the header", png(grey2, {{"tEXt", {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 'e', 'a', 'r', 'l', 'y'}}, {"IHDR", {}}}, {0, 0x1B}),
         "comment", "early"},
        {"empty gAMA", png(grey2, {{"IHDR", {}}, {"gAMA", {}}}, {0, 0x1B}), "gamma", nullptr},
        {"16-bit transparent colour becomes alpha", png(rgb16, {{"IHDR", {}}, {"tRNS", {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}}},
                                                       {0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}),
         "alpha", true},
        {"16-bit colour kept", png(rgb16, {{"IHDR", {}}, {"tRNS", {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}}}, {0, 1, 2, 3, 4, 5, 6}),
         "transparent_color", "#12569A"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFileBytes(dir.File("f.png"), c.file);
        const TCliRun run = RunCli({"info", "--json", dir.File("f.png")});
        ASSERT_EQ(run.Status, 0) << run.Err;
        const auto objects = JsonLines(run.Out);
        ASSERT_EQ(objects.size(), 1u);
        EXPECT_EQ(objects[0][c.key], c.expected);
    }
}

} // namespace
} // namespace tintabrel::test
