// Regions through the tool: --region and --mask for every change, a step's @X,Y,W,H and
// @mask="FILE", a variant's NAME@..., the recipe fields and step objects give the engine's pixels;
// dry runs count inside; palette pictures say whether their palette grew or gave way (-v, --json);
// regions that do not fit and masks that cannot be read are refused with their reasons; a large
// picture goes row by row with a region and gives the file of the whole-picture path.
#include "tests/TestData.h"
#include "tests/app/cli/CliHarness.h"

#include "app/PictureChange.h"
#include "base/Colors.h"
#include "image/PixelFormats.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>

namespace tintabrel::test {
namespace {

namespace fs = std::filesystem;

void WriteText(const std::string& path, const std::string& text)
{
    WriteFileBytes(path, std::vector<unsigned char>(text.begin(), text.end()));
}

std::string Quoted(const std::string& text) { return nlohmann::json(text).dump(); }

// A step's mask as written: @mask="FILE", with \" and \\ inside the quotes.
std::string MaskSuffix(const std::string& path)
{
    std::string text = "@mask=\"";
    for (const char c : path) {
        if (c == '"' || c == '\\') text.push_back('\\');
        text.push_back(c);
    }
    text.push_back('"');
    return text;
}

class CliRegion : public ::testing::Test {
protected:
    void SetUp() override
    {
        TBitmap image, alpha;
        MakeSprite(image, 37, 23);
        MakeAlpha(alpha, 37, 23);
        sprite_ = dir_.File("sprite.png");
        WritePicture(sprite_, image, alpha);
        // A mask in a folder whose name holds the characters that separate steps and suffixes:
        // white in a band of columns 5 to 24, black elsewhere, and its lower rows fully transparent.
        fs::create_directories(dir_.File("masks/a+b@c"));
        maskPath_ = dir_.File("masks/a+b@c/m\"1.png");
        TBitmap mask, maskAlpha;
        MakeImage(mask, 37, 23, [](int x, int) { return x >= 5 && x < 25 ? TRgb{255, 255, 255} : TRgb{0, 0, 0}; });
        maskAlpha.SetPixelFormat(TPixelFormat::pf8bit);
        maskAlpha.SetSize(37, 23);
        for (int y = 0; y < 23; ++y)
            for (int x = 0; x < 37; ++x) maskAlpha.ScanLine(y)[x] = y >= 15 ? 255 : 0;
        WritePicture(maskPath_, mask, maskAlpha);
        TPictureData maskData;
        ReadPicture(maskPath_, maskData);
        mask_ = std::make_shared<const TChangeMask>(maskData, maskPath_);
    }

    // The engine's pixels (and counts) for the changes on the sprite as loaded.
    std::vector<uint8_t> Engine(const std::vector<std::pair<THueWindow, TChangeRegion>>& changes,
                                THueCounts* counts = nullptr)
    {
        TPictureData data;
        ReadPicture(sprite_, data);
        for (const auto& [window, region] : changes)
            ApplyChangeInPlace(data, TProtectedColors(), window, false, counts, 1, region);
        return RgbBytes(data.Image);
    }

    TCliRun Run(const std::vector<std::string>& options, const std::string& output)
    {
        std::vector<std::string> args = {"recolour", "-q", "--overwrite"};
        args.insert(args.end(), options.begin(), options.end());
        if (!output.empty()) args.insert(args.end(), {"-o", output});
        args.push_back(sprite_);
        return RunCli(args);
    }

    std::vector<uint8_t> Output(const std::vector<std::string>& options)
    {
        const TCliRun run = Run(options, dir_.File("out.png"));
        EXPECT_EQ(run.Status, 0) << run.Err;
        TPictureData data;
        ReadPicture(dir_.File("out.png"), data);
        return RgbBytes(data.Image);
    }

    TempDir dir_;
    std::string sprite_;
    std::string maskPath_;
    std::shared_ptr<const TChangeMask> mask_;
};

// Every way of giving a region gives the engine's pixels for it.
TEST_F(CliRegion, EveryWayOfGivingARegionGivesTheEnginesPixels)
{
    const THueWindow window{10, 20, 100, true};
    const TChangeRegion rect{TRegionRect{8, 4, 20, 10}, nullptr};
    const TChangeRegion masked{std::nullopt, mask_};
    const TChangeRegion both{TRegionRect{8, 4, 20, 10}, mask_};
    const std::vector<uint8_t> whole = Engine({{window, {}}});
    fs::create_directories(dir_.File("recipes"));
    const std::string recipe = dir_.File("recipes/r.json");
    // Mask paths in a recipe count from its folder.
    const std::string relativeMask = "../masks/a+b@c/m\"1.png";
    struct TCase {
        const char* Name;
        TChangeRegion Region;
        std::vector<std::string> Options;
        std::string Recipe; // written to recipes/r.json and used when not empty
    };
    const TCase cases[] = {
        {"--region", rect, {"--from-hue", "230", "--tolerance", "20", "--target", "100", "--wrap", "--region", "8,4,20,10"}, ""},
        {"a step's rectangle", rect, {"--map", "10:20:100+wrap@8,4,20,10"}, ""},
        {"a step's rectangle wins over --region", rect, {"--region", "0,0,3,3", "--map", "10:20:100@8,4,20,10+wrap"}, ""},
        {"--mask", masked, {"--map", "10:20:100+wrap", "--mask", maskPath_}, ""},
        {"a step's mask", masked, {"--map", "10:20:100+wrap" + MaskSuffix(maskPath_)}, ""},
        {"--region with a step's mask", both, {"--region", "8,4,20,10", "--map", "10:20:100+wrap" + MaskSuffix(maskPath_)}, ""},
        {"recipe fields", both, {}, R"({"map": "10:20:100+wrap", "region": [8, 4, 20, 10], "mask": )" + Quoted(relativeMask) + "}"},
        {"a recipe's region as text", rect, {}, R"({"source": 10, "tolerance": 20, "target": 100, "wrap": true, "region": "8,4,20,10"})"},
        {"a recipe's step object", both, {},
         R"({"map": [{"change": "10:20:100+wrap", "region": [8, 4, 20, 10], "mask": )" + Quoted(relativeMask) + "}]}"},
        {"a recipe's step text", masked, {}, R"({"map": [)" + Quoted("10:20:100+wrap" + MaskSuffix(relativeMask)) + "]}"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::vector<uint8_t> expected = Engine({{window, c.Region}});
        ASSERT_NE(expected, whole) << "the region must matter";
        std::vector<std::string> options = c.Options;
        if (!c.Recipe.empty()) {
            WriteText(recipe, c.Recipe);
            options = {"--recipe", recipe};
        }
        EXPECT_EQ(Output(options), expected);
    }
    // A chain: each step with its own region, the second on the first's result.
    const TChangeRegion left{TRegionRect{0, 0, 18, 23}, nullptr};
    EXPECT_EQ(Output({"--map", "10:20:100@0,0,18,23", "--map", "h100:30:300" + MaskSuffix(maskPath_)}),
              Engine({{{10, 20, 100}, left}, {{140, 30, 300}, masked}}));
}

// A variant's region applies to each of its changes (a change's own wins); the plain output and
// other variants stay whole; in a recipe, as NAME@... or as an object.
TEST_F(CliRegion, VariantsKeepTheirChangesToTheirRegion)
{
    const TChangeRegion rect{TRegionRect{8, 4, 20, 10}, nullptr};
    const TChangeRegion corner{TRegionRect{0, 0, 6, 6}, nullptr};
    const std::vector<uint8_t> expected = Engine({{{10, 20, 100}, rect}, {{140, 30, 300}, corner}});
    const std::vector<uint8_t> plain = Engine({{{10, 20, 100}, {}}});
    const auto outputs = [&](const std::vector<std::string>& options) {
        fs::remove_all(dir_.File("teams"));
        std::vector<std::string> args = {"recolour", "-q", "--out-dir", dir_.File("teams")};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(sprite_);
        const TCliRun run = RunCli(args);
        EXPECT_EQ(run.Status, 0) << run.Err;
        TPictureData v, p;
        ReadPicture(dir_.File("teams/sprite_v.png"), v);
        ReadPicture(dir_.File("teams/sprite.png"), p);
        EXPECT_EQ(RgbBytes(p.Image), plain);
        return RgbBytes(v.Image);
    };
    EXPECT_EQ(outputs({"--map", "10:20:100", "--variant", "v@8,4,20,10=10:20:100/h100:30:300@0,0,6,6"}), expected);
    WriteText(dir_.File("v.json"), R"({"map": "10:20:100", "variant": {"v": {"changes": ["10:20:100", )"
                                   R"({"change": "h100:30:300", "region": [0, 0, 6, 6]}], "region": [8, 4, 20, 10]}}})");
    EXPECT_EQ(outputs({"--recipe", dir_.File("v.json")}), expected);
    WriteText(dir_.File("v.json"), R"({"map": "10:20:100", "variant": {"v@8,4,20,10": "10:20:100/h100:30:300@0,0,6,6"}})");
    EXPECT_EQ(outputs({"--recipe", dir_.File("v.json")}), expected);
    // A variant's mask, through its name.
    const TChangeRegion masked{std::nullopt, mask_};
    std::string variant = "v";
    variant += MaskSuffix(maskPath_) + "=10:20:100";
    EXPECT_EQ(outputs({"--map", "10:20:100", "--variant", variant}),
              Engine({{{10, 20, 100}, masked}}));
}

// --update: an output older than a mask it is made with is made again.
TEST_F(CliRegion, AnOutputOlderThanItsMaskIsNotUpToDate)
{
    const auto status = [&] {
        const TCliRun run = RunCli({"recolour", "--json", "--update", "--map", "10:20:100", "--mask", maskPath_,
                                    "-o", dir_.File("out.png"), sprite_});
        EXPECT_EQ(run.Status, 0) << run.Err;
        return nlohmann::json::parse(run.Out)["status"].get<std::string>();
    };
    EXPECT_EQ(status(), "done");
    EXPECT_EQ(status(), "up to date");
    fs::last_write_time(maskPath_, fs::last_write_time(dir_.File("out.png")) + std::chrono::hours(1));
    EXPECT_EQ(status(), "done");
}

// A dry run counts the inside alone and names the region and the mask.
TEST_F(CliRegion, DryRunCountsInside)
{
    const TChangeRegion both{TRegionRect{8, 4, 20, 10}, mask_};
    THueCounts inside, all;
    Engine({{{10, 20, 100, true}, both}}, &inside);
    Engine({{{10, 20, 100, true}, {}}}, &all);
    ASSERT_LT(inside.Altered, all.Altered);
    const TCliRun run = RunCli({"recolour", "--dry-run", "--json", "--map", "10:20:100+wrap@8,4,20,10", "--mask",
                                maskPath_, sprite_});
    ASSERT_EQ(run.Status, 0) << run.Err;
    const nlohmann::json change = nlohmann::json::parse(run.Out)["outputs"][0]["changes"][0];
    EXPECT_EQ(change["altered"], inside.Altered);
    EXPECT_EQ(change["protected"], inside.Kept);
    EXPECT_EQ(change["region"], nlohmann::json::array({8, 4, 20, 10}));
    EXPECT_EQ(change["mask"], maskPath_);
    const TCliRun text = RunCli({"recolour", "--dry-run", "--map", "10:20:100+wrap@8,4,20,10", sprite_});
    EXPECT_TRUE(Contains(text.Out, "in region 8,4,20,10: ")) << text.Out;
    const TCliRun none = RunCli({"recolour", "--dry-run", "--json", "--map", "10:20:100", sprite_});
    EXPECT_TRUE(nlohmann::json::parse(none.Out)["outputs"][0]["changes"][0]["region"].is_null());
}

// What cannot be used is refused, saying why: a region outside a picture or a mask of another
// size fails that file (others go on); a bad region, a mask that cannot be read or a mask's
// path out of quotes is a bad command line.
TEST_F(CliRegion, RefusalsSayWhy)
{
    TBitmap small;
    MakeSprite(small, 12, 9);
    const std::string other = dir_.File("small.png");
    WritePicture(other, small);
    WriteText(dir_.File("bad.png"), "not a picture");
    struct TCase {
        const char* Name;
        std::vector<std::string> Options;
        int Status;
        std::string Message;
    };
    const TCase cases[] = {
        {"outside", {"--map", "10:20:100@20,0,18,5"}, 1, "sprite.png: the region 20,0,18,5 is not inside the 37 x 23 picture"},
        {"a mask of another size", {"--map", "10:20:100", "--mask", other}, 1,
         "the mask " + other + " is 12 x 9, the picture 37 x 23: a mask must be of the picture's size"},
        {"empty", {"--map", "10:20:100", "--region", "1,2,0,3"}, 2, "--region: the region 1,2,0,3 is empty"},
        {"not four numbers", {"--map", "10:20:100", "--region", "1,2,3"}, 2, "'1,2,3' is not X,Y,W,H"},
        {"a missing mask", {"--map", "10:20:100", "--mask", dir_.File("none.png")}, 2,
         "--mask: the mask " + dir_.File("none.png") + " cannot be read: cannot open"},
        {"not a picture", {"--map", "10:20:100@mask=\"" + dir_.File("bad.png") + "\""}, 2, "--map: the mask " + dir_.File("bad.png") + " cannot be read"},
        {"a path out of quotes", {"--map", "10:20:100@mask=m.png"}, 2, "the mask's path goes in double quotes"},
        {"a quote that does not close", {"--variant", "v=10:20:100@mask=\"m.png"}, 2, "has no closing quote"},
        {"two rectangles", {"--map", "10:20:100@1,1,2,2@3,3,2,2"}, 2, "give one @X,Y,W,H"},
        {"an option after a region", {"--map", "10:20:100@1,1,2,2+bogus"}, 2, "'+bogus' is not an option of a change"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const TCliRun run = Run(c.Options, dir_.File("out.png"));
        EXPECT_EQ(run.Status, c.Status) << run.Err;
        EXPECT_TRUE(Contains(run.Err, c.Message)) << run.Err;
        EXPECT_FALSE(fs::exists(dir_.File("out.png")));
    }
    // A refused file does not stop the others.
    const TCliRun batch = RunCli({"recolour", "-q", "--map", "10:20:100@14,0,20,5", "--out-dir", dir_.File("o"), sprite_, other});
    EXPECT_EQ(batch.Status, 1);
    EXPECT_TRUE(fs::exists(dir_.File("o/sprite.png")));
    EXPECT_FALSE(fs::exists(dir_.File("o/small.png")));
    EXPECT_TRUE(Contains(batch.Err, "the region 14,0,20,5 is not inside the 12 x 9 picture")) << batch.Err;
}

// A palette PNG 16 x 4: index (x + y) % count; every entry on both sides of column 8.
std::string WritePalettePng(const std::string& path, const std::vector<TColor>& colours)
{
    TPictureData data;
    TPalette palette;
    for (const TColor c : colours) palette.Add(RedOf(c), GreenOf(c), BlueOf(c));
    data.Image.SetPixelFormat(TPixelFormat::pf8bit);
    data.Image.SetPalette(palette);
    data.Image.SetSize(16, 4);
    for (int32_t y = 0; y < 4; ++y)
        for (int32_t x = 0; x < 16; ++x)
            data.Image.ScanLine(y)[x] = static_cast<uint8_t>((x + 5 * y) % static_cast<int>(colours.size()));
    data.PaletteBits = 8;
    SavePicture(path, PngFormat(), data);
    return path;
}

// -v and --json tell whether a palette picture's palette grew for the region or gave way to
// truecolour; the files are what they say.
TEST_F(CliRegion, PalettePicturesSayWhatBecameOfTheirPalette)
{
    std::vector<TColor> few{clRed, MakeColor(255, 128, 0), clLime, clBlue};
    std::vector<TColor> many;
    for (int i = 0; i < 256; ++i) many.push_back(MakeColor(static_cast<uint8_t>(100 + i * 155 / 255), static_cast<uint8_t>(i / 8), 0));
    const std::string room = WritePalettePng(dir_.File("room.png"), few);
    const std::string full = WritePalettePng(dir_.File("full.png"), many);
    const TCliRun run = RunCli({"recolour", "-v", "--json", "--map", "h0:20:240@0,0,8,4", "--out-dir", dir_.File("out"),
                                room, full});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_TRUE(Contains(run.Err, "the palette grew from 4 to 5 entries for the region's colours")) << run.Err;
    EXPECT_TRUE(Contains(run.Err, "written as truecolour: the region's colours need")) << run.Err;
    const std::vector<std::string> lines = {run.Out.substr(0, run.Out.find('\n')), run.Out.substr(run.Out.find('\n') + 1)};
    const nlohmann::json first = nlohmann::json::parse(lines[0]), second = nlohmann::json::parse(lines[1]);
    EXPECT_EQ(first["palette"][dir_.File("out/room.png")], "extended");
    EXPECT_EQ(second["palette"][dir_.File("out/full.png")], "truecolour");
    TPictureData extended, trueColour;
    ReadPicture(dir_.File("out/room.png"), extended);
    ReadPicture(dir_.File("out/full.png"), trueColour);
    EXPECT_EQ(extended.PaletteBits, 8);
    EXPECT_EQ(extended.Image.Palette()->Count(), 5); // red, caught, gets a copy
    EXPECT_EQ(trueColour.PaletteBits, 0);
    // Without a region the palette is kept as it is, and nothing is said of it.
    const TCliRun whole = RunCli({"recolour", "-v", "--json", "--overwrite", "--map", "h0:20:240", "--out-dir",
                                  dir_.File("out"), room});
    EXPECT_FALSE(Contains(whole.Out, "palette")) << whole.Out;
    EXPECT_FALSE(Contains(whole.Err, "palette")) << whole.Err;
}

// A picture large enough to go row by row does so with a region, and writes the bytes the
// whole-picture path writes (-j 1).
TEST_F(CliRegion, RowByRowWithARegionWritesTheWholePathsFile)
{
    TBitmap image;
    MakeSprite(image, 1100, 960);
    const std::string large = dir_.File("large.png");
    WritePicture(large, image);
    TBitmap mask;
    MakeImage(mask, 1100, 960, [](int x, int y) { return (x / 50 + y / 40) % 3 ? TRgb{255, 255, 255} : TRgb{0, 0, 0}; });
    const std::string largeMask = dir_.File("large-mask.png");
    WritePicture(largeMask, mask);
    for (const std::vector<std::string>& region : {std::vector<std::string>{"--region", "100,50,700,800"},
                                                   std::vector<std::string>{"--mask", largeMask, "--region", "0,10,1100,900"}}) {
        std::string files[2];
        for (const char* jobs : {"1", "2"}) {
            std::vector<std::string> args = {"recolour", "-v", "--no-time", "--overwrite", "-j", jobs, "--map", "120:36:300",
                                             "--map", "300:20:60+soft20"};
            args.insert(args.end(), region.begin(), region.end());
            args.insert(args.end(), {"-o", dir_.File(std::string("j") + jobs + ".png"), large});
            const TCliRun r = RunCli(args);
            ASSERT_EQ(r.Status, 0) << r.Err;
            EXPECT_EQ(Contains(r.Err, "read, changed and written in one pass"), std::string(jobs) == "2") << r.Err;
            files[std::string(jobs) == "2"] = ReadFile(dir_.File(std::string("j") + jobs + ".png"));
        }
        EXPECT_EQ(files[0], files[1]);
    }
}

} // namespace
} // namespace tintabrel::test
