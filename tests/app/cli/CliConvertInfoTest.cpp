// convert rewrites a picture without changing it; info describes pictures, as text or as JSON.
#include "tests/TestData.h"
#include "tests/app/cli/CliHarness.h"

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
    std::vector<unsigned char> file{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
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
    EXPECT_EQ(j["alpha"], false);
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
    EXPECT_FALSE(objects[1].contains("color_type"));
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
                             "bit depth: 8\n", "interlace: none\n", "alpha: no\n", "transparent colour: palette index 1\n",
                             "background: palette index 0\n", "gamma: 0.45455\n", "resolution: 2835 x 2835 per metre\n",
                             "comment: hero\\nred\n"})
        EXPECT_TRUE(Contains(run.Out, line)) << line << "\nin:\n" << run.Out;
}

} // namespace
} // namespace tintabrel::test
