// Recipes: chains of changes equal the window's check, L, check; variants, hue sources, picked
// sources, recipe files and dry runs each equal what the engine makes of the same settings.
#include "app/cli/Options.h"
#include "tests/TestData.h"
#include "tests/app/cli/CliHarness.h"

#include "base/StringList.h"
#include "recolour/HueReplace.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tintabrel::test {
namespace {

namespace fs = std::filesystem;

TStringList ListOf(const std::vector<std::string>& lines)
{
    TStringList list;
    for (const std::string& line : lines) list.Add(line);
    return list;
}

// The window's session: check with the first settings, then L and check again with each of the
// next, the list applied at every check. The RGB bytes of the last result.
std::vector<uint8_t> WindowSession(const std::string& input, const std::vector<THueWindow>& checks,
                                   const TStringList& list = {})
{
    TPictureData data;
    ReadPicture(input, data);
    TBitmap before, after;
    before.Assign(data.Image);
    for (const THueWindow& window : checks) {
        ReplaceHue(before, after, list, window);
        before.Assign(after); // L
    }
    return RgbBytes(before);
}

void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

class CliRecipe : public ::testing::Test {
protected:
    void SetUp() override
    {
        TBitmap image, alpha;
        MakeSprite(image, 45, 21);
        MakeAlpha(alpha, 45, 21);
        sprite_ = dir_.File("sprite.png");
        WritePicture(sprite_, image, alpha);
        out_ = dir_.File("out");
        fs::create_directory(out_);
    }

    TCliRun Recolour(std::vector<std::string> args, const std::vector<std::string>& inputs = {})
    {
        args.insert(args.begin(), "recolour");
        if (inputs.empty()) args.push_back(sprite_);
        args.insert(args.end(), inputs.begin(), inputs.end());
        return RunCli(args);
    }

    // The output's pixels; its transparency must be the sprite's.
    std::vector<uint8_t> Output(const std::string& name)
    {
        TPictureData data, in;
        ReadPicture((fs::path(out_) / name).string(), data);
        ReadPicture(sprite_, in);
        EXPECT_EQ(AlphaBytes(data.Alpha), AlphaBytes(in.Alpha)) << name;
        return RgbBytes(data.Image);
    }

    TempDir dir_;
    std::string sprite_, out_;
};

// Step 1 turns reds into pure-ish greens; step 2 moves greens to blue. A listed colour that
// only step 1 makes must be kept by step 2, and one that is in the input must be kept by step 1.
TEST_F(CliRecipe, MapsEqualChecksWithLBetweenThem)
{
    TPictureData data;
    ReadPicture(sprite_, data);
    TBitmap step1;
    ReplaceHue(data.Image, step1, TStringList(), THueWindow{240, 30, 120});
    // A colour the first step makes, and one of the input that the first step would change.
    std::string made, original;
    for (int x = 0; x < data.Image.Width() && (made.empty() || original.empty()); ++x)
        if (step1.Pixel(x, 0) != data.Image.Pixel(x, 0)) {
            if (made.empty()) made = ColorToText(step1.Pixel(x, 0));
            else original = ColorToText(data.Image.Pixel(x, 0));
        }
    ASSERT_FALSE(made.empty() || original.empty());
    WriteText(dir_.File("list.dat"), made + "\r\n" + original + "\r\n");
    const TStringList list = ListOf({made, original});

    const std::vector<THueWindow> checks{{240, 30, 120}, {120, 36, 240}, {0, 10, 60}};
    const auto expected = WindowSession(sprite_, checks, list);
    EXPECT_NE(expected, WindowSession(sprite_, checks)) << "the list must matter at some step";

    // --source/--tolerance/--target as the first change, or maps only.
    for (auto args : std::vector<std::vector<std::string>>{
             {"--source", "240", "--tolerance", "30", "--target", "120", "--map", "120:36:240", "--map", "0:10:60"},
             {"--map", "240:30:120", "--map", "120:36:240", "--map", "0:10:60"}}) {
        args.insert(args.end(), {"--list", dir_.File("list.dat"), "--overwrite", "--out-dir", out_});
        const TCliRun run = Recolour(args);
        ASSERT_EQ(run.Status, 0) << run.Err;
        EXPECT_EQ(Output("sprite.png"), expected) << args[0];
    }
}

TEST_F(CliRecipe, EachVariantIsItsOwnChainFromTheInput)
{
    const TCliRun run = Recolour({"--source", "100", "--target", "300", "--variant", "red=h0:20:0",
                                  "--variant", "Team_2-b=240:36:120/h120:18:200/5:3:7", "--format", "bmp",
                                  "--out-dir", out_});
    ASSERT_EQ(run.Status, 0) << run.Err;
    // BMP holds no transparency: the warning is expected, the pixels are what counts.
    auto pixels = [&](const std::string& name) {
        TPictureData data;
        ReadPicture((fs::path(out_) / name).string(), data);
        return RgbBytes(data.Image);
    };
    EXPECT_EQ(pixels("sprite.bmp"), WindowSession(sprite_, {{100, 18, 300}}));
    EXPECT_EQ(pixels("sprite_red.bmp"), WindowSession(sprite_, {{240, 20, 0}}));
    EXPECT_EQ(pixels("sprite_Team_2-b.bmp"), WindowSession(sprite_, {{240, 36, 120}, {120, 18, 200}, {5, 3, 7}}));
    EXPECT_EQ(std::distance(fs::directory_iterator(out_), fs::directory_iterator()), 3);

    // Variants alone write only the variants; an input right after --variant stays an input.
    fs::remove_all(out_);
    fs::create_directory(out_);
    const TCliRun only = RunCli({"recolour", "--variant", "a=h0:20:0", sprite_, "--out-dir", out_});
    ASSERT_EQ(only.Status, 0) << only.Err;
    EXPECT_EQ(Output("sprite_a.png"), WindowSession(sprite_, {{240, 20, 0}}));
    EXPECT_FALSE(fs::exists(fs::path(out_) / "sprite.png"));
}

TEST_F(CliRecipe, HueSourcesAreTheMirroredPositions)
{
    // F, then (240 - F) mod 360.
    for (const auto& [hue, position] : std::vector<std::pair<int, int>>{
             {0, 240}, {240, 0}, {241, 359}, {359, 241}, {360, 240}, {30, 210}}) {
        const std::string f = std::to_string(hue);
        const auto expected = WindowSession(sprite_, {{position, 36, 77}, {position, 20, 300}});
        const TCliRun run = Recolour({"--from-hue", f, "--tolerance", "36", "--target", "77", "--map",
                                      "h" + f + ":20:300", "--overwrite", "--out-dir", out_});
        ASSERT_EQ(run.Status, 0) << run.Err;
        EXPECT_EQ(Output("sprite.png"), expected) << "F = " << hue;

        const TCliRun dry = Recolour({"--variant", "v=h" + f + ":1:2", "--dry-run", "--json", "--out-dir", out_});
        ASSERT_EQ(dry.Status, 0) << dry.Err;
        EXPECT_EQ(nlohmann::json::parse(dry.Out)["outputs"][0]["changes"][0]["source"], position) << "F = " << hue;
    }
}

TEST_F(CliRecipe, PickIsTheWindowsPicker)
{
    struct TCase {
        TRgb Colour;
        int Position; // where the window's picker puts the source slider
    };
    const std::vector<TCase> cases{
        {{255, 0, 0}, 235},   {{0, 255, 0}, 115},   {{200, 100, 50}, 215}, {{0, 0, 255}, 355},
        {{0, 17, 255}, 359},  {{0, 8, 255}, 357},   {{8, 0, 255}, 354},    {{255, 0, 1}, 236},
        {{90, 60, 30}, 205},  {{10, 200, 180}, 62},
    };
    TBitmap image;
    MakeSprite(image, 12, 8);
    for (size_t i = 0; i < cases.size(); ++i) {
        const TRgb c = cases[i].Colour;
        image.SetPixel(static_cast<int>(i), 5, MakeColor(c.R, c.G, c.B));
    }
    const std::string input = dir_.File("picks.bmp");
    WritePicture(input, image);

    for (size_t i = 0; i < cases.size(); ++i) {
        const TRgb c = cases[i].Colour;
        const std::string name = std::to_string(c.R) + "," + std::to_string(c.G) + "," + std::to_string(c.B);
        EXPECT_EQ(PickedSourcePosition(MakeColor(c.R, c.G, c.B)).value_or(-1), cases[i].Position) << name;
        const TCliRun run = Recolour({"--pick", std::to_string(i) + ",5", "--tolerance", "36", "--target", "100",
                                      "--overwrite", "--out-dir", out_},
                                     {input});
        ASSERT_EQ(run.Status, 0) << run.Err;
        TPictureData out;
        ReadPicture((fs::path(out_) / "picks.bmp").string(), out);
        const auto pixels = RgbBytes(out.Image);
        EXPECT_EQ(pixels, WindowSession(input, {{cases[i].Position, 36, 100}})) << name;
        // Hues from 236 to 240 land far from the window even at the widest tolerance.
        const size_t at = (5 * 12 + i) * 3;
        const bool kept = pixels[at] == c.R && pixels[at + 1] == c.G && pixels[at + 2] == c.B;
        EXPECT_EQ(kept, cases[i].Position >= 355 && cases[i].Position <= 359) << name;
    }
}

TEST_F(CliRecipe, PickOnAGreyOrMissingPixelFailsThatFileOnly)
{
    TBitmap image;
    MakeImage(image, 4, 4, [](int x, int) { return x == 0 ? TRgb{80, 80, 80} : TRgb{200, 30, 30}; });
    WritePicture(dir_.File("grey.png"), image);
    MakeImage(image, 2, 2, [](int, int) { return TRgb{200, 30, 30}; });
    WritePicture(dir_.File("small.png"), image);
    MakeImage(image, 4, 4, [](int, int) { return TRgb{30, 200, 30}; });
    WritePicture(dir_.File("good.png"), image);

    const TCliRun run = Recolour({"--pick", "0,3", "--target", "100", "--out-dir", out_},
                                 {dir_.File("grey.png"), dir_.File("good.png"), dir_.File("small.png")});
    EXPECT_EQ(run.Status, 1);
    EXPECT_TRUE(Contains(run.Err, dir_.File("grey.png") + ": --pick 0,3: the pixel (80, 80, 80) is grey")) << run.Err;
    EXPECT_TRUE(Contains(run.Err, dir_.File("small.png") + ": --pick 0,3: the pixel is outside the 2 x 2 picture"))
        << run.Err;
    EXPECT_FALSE(fs::exists(fs::path(out_) / "grey.png"));
    EXPECT_FALSE(fs::exists(fs::path(out_) / "small.png"));
    TPictureData good;
    ReadPicture((fs::path(out_) / "good.png").string(), good);
    EXPECT_EQ(RgbBytes(good.Image), WindowSession(dir_.File("good.png"), {{115, 18, 100}}));
}

TEST_F(CliRecipe, RecipeFileEqualsTheCommandLine)
{
    // Paths in the file count from its folder.
    fs::create_directory(dir_.Path() / "recipes");
    fs::create_directory(dir_.Path() / "recipes" / "made");
    WriteText(dir_.File("recipes/list.dat"), "clRed\r\n$000000C8\r\n");
    WriteText(dir_.File("recipes/r.json"), R"({
        "from-hue": 10, "tolerance": 30, "target": 200,
        "map": ["h200:10:20", "0:36:90"],
        "variant": {"gold": "h0:30:50/h120:10:60", "ice": ["h0:36:180"]},
        "list": "list.dat",
        "out-dir": "made", "format": "png", "png-filter": "paeth", "png-level": 9, "interlace": true
    })");
    const TCliRun fromFile = Recolour({"--recipe", dir_.File("recipes/r.json")});
    ASSERT_EQ(fromFile.Status, 0) << fromFile.Err;
    const TCliRun fromLine = Recolour({"--from-hue", "10", "--tolerance", "30", "--target", "200", "--map",
                                       "h200:10:20", "--map", "0:36:90", "--variant", "gold=h0:30:50/h120:10:60",
                                       "--variant", "ice=h0:36:180", "--list", dir_.File("recipes/list.dat"),
                                       "--png-filter", "paeth", "--png-level", "9", "--interlace", "--out-dir", out_});
    ASSERT_EQ(fromLine.Status, 0) << fromLine.Err;
    for (const char* name : {"sprite.png", "sprite_gold.png", "sprite_ice.png"}) {
        TPictureData a, b;
        ReadPicture(dir_.File(std::string("recipes/made/") + name), a);
        ReadPicture((fs::path(out_) / name).string(), b);
        EXPECT_EQ(RgbBytes(a.Image), RgbBytes(b.Image)) << name;
        EXPECT_EQ(AlphaBytes(a.Alpha), AlphaBytes(b.Alpha)) << name;
        // The PNG options came through: an interlaced file.
        EXPECT_EQ(ReadFileBytes(dir_.File(std::string("recipes/made/") + name)).at(28), 1) << name;
    }
    EXPECT_EQ(Output("sprite_ice.png"), WindowSession(sprite_, {{240, 36, 180}}, ListOf({"clRed", "$000000C8"})));

    // The command line wins, and colours may be given inline.
    WriteText(dir_.File("recipes/inline.json"),
              R"({"source": 3, "target": 200, "list": ["clLime"], "variant": {"x": "1:1:1"}, "overwrite": true})");
    const TCliRun wins = Recolour({"--recipe", dir_.File("recipes/inline.json"), "--from-hue", "120", "--tolerance",
                                   "36", "--variant", "y=h0:36:60", "--out-dir", out_});
    ASSERT_EQ(wins.Status, 0) << wins.Err;
    EXPECT_EQ(Output("sprite.png"), WindowSession(sprite_, {{120, 36, 200}}, ListOf({"clLime"})));
    EXPECT_EQ(Output("sprite_y.png"), WindowSession(sprite_, {{240, 36, 60}}, ListOf({"clLime"})));
    EXPECT_FALSE(fs::exists(fs::path(out_) / "sprite_x.png"));
}

// Exit 2 with the reason on the first line, nothing written.
TEST_F(CliRecipe, BadMapsAndRecipeFieldsAreUsageErrors)
{
    auto expectUsage = [&](const std::vector<std::string>& args, const std::vector<std::string>& said) {
        const TCliRun run = Recolour(args);
        EXPECT_EQ(run.Status, 2) << args[0] << " " << args[1] << ": " << run.Err;
        const std::string first = run.Err.substr(0, run.Err.find('\n'));
        for (const std::string& part : said) EXPECT_TRUE(Contains(first, part)) << first;
        EXPECT_TRUE(fs::is_empty(out_)) << first;
    };
    for (const auto& [map, said] : std::vector<std::pair<std::string, std::string>>{
             {"1:2", "'1:2' is not P:T:H"},
             {"1:2:3:4", "'1:2:3:4'"},
             {"361:0:0", "source 361 is outside 0-360"},
             {"0:37:0", "tolerance 37 is outside 0-36"},
             {"0:0:361", "target 361"},
             {"h361:0:0", "source hue 361"},
             {"x:1:1", "source 'x'"},
             {"h:1:1", "source hue ''"},
             {"1: 2:3", "tolerance ' 2'"},
             {"+1:2:3", "source '+1'"},
             {"99999999999:1:1", "source 99999999999 is outside"}})
        expectUsage({"--map", map, "--out-dir", out_}, {"--map", said});
    expectUsage({"--variant", "a b=1:1:1", "--out-dir", out_}, {"--variant", "'a b'"});
    expectUsage({"--variant", "=1:1:1", "--out-dir", out_}, {"--variant", "name ''"});
    expectUsage({"--variant", "red", "--out-dir", out_}, {"--variant", "NAME="});
    expectUsage({"--variant", "red=1:1:1/", "--out-dir", out_}, {"--variant", "red"});
    expectUsage({"--variant", "a=1:1:1", "--variant", "a=2:2:2", "--out-dir", out_}, {"a is given twice"});
    expectUsage({"--variant", "a=1:1:1", "-o", dir_.File("o.png")}, {"--variant", "--out-dir"});
    expectUsage({"--pick", "3", "--target", "1", "--out-dir", out_}, {"--pick", "X,Y"});
    expectUsage({"--pick", "3,-1", "--target", "1", "--out-dir", out_}, {"--pick", "Y '-1'"});
    expectUsage({"--from-hue", "361", "--target", "1", "--out-dir", out_}, {"--from-hue"});
    expectUsage({"--from-hue", "3", "--source", "3", "--target", "1", "--out-dir", out_}, {"--source"});
    expectUsage({"--from-hue", "3", "--out-dir", out_}, {"--target"});
    expectUsage({"--tolerance", "3", "--map", "1:1:1", "--out-dir", out_}, {"--tolerance", "--source"});
    expectUsage({"--out-dir", out_}, {"nothing to do"});

    const std::string recipe = dir_.File("r.json");
    for (const auto& [text, said] : std::vector<std::pair<std::string, std::string>>{
             {R"({"tolerance": 40, "source": 1, "target": 2})", "field \"tolerance\""},
             {R"({"tolerance": "wide", "source": 1, "target": 2})", "field \"tolerance\": expected a whole number"},
             {R"({"target": 2.5, "source": 1})", "field \"target\""},
             {R"({"map": ["1:1:1", "1:1"]})", "field \"map\": '1:1' is not P:T:H"},
             {R"({"map": [7]})", "field \"map\""},
             {R"({"variant": ["a=1:1:1"]})", "field \"variant\""},
             {R"({"variant": {"a b": "1:1:1"}})", "field \"variant\""},
             {R"({"variant": {"a": []}})", "field \"variant\""},
             {R"({"pick": [1], "target": 1})", "field \"pick\""},
             {R"({"pick": "1,x", "target": 1})", "field \"pick\": Y 'x'"},
             {R"({"source": 1})", "field \"source\""},
             {R"({"source": 1, "from-hue": 2, "target": 3})", "\"source\", \"from-hue\" and \"pick\""},
             {R"({"map": ["1:1:1"], "png-filter": "median"})", "field \"png-filter\""},
             {R"({"map": ["1:1:1"], "format": "tga"})", "field \"format\""},
             {R"({"map": ["1:1:1"], "overwrite": "yes"})", "field \"overwrite\""},
             {R"({"map": ["1:1:1"], "list": 3})", "field \"list\""},
             {R"({"map": ["1:1:1"], "list": ["clRed", 3]})", "field \"list\""},
             {R"({"map": ["1:1:1"], "colour": 3})", "unknown field \"colour\""},
             {R"(["1:1:1"])", "one JSON object"},
             {R"({"map": ["1:1:1"],)", "not valid JSON"},
             {"", "not valid JSON"}}) {
        WriteText(recipe, text);
        expectUsage({"--recipe", recipe, "--out-dir", out_}, {recipe + ": ", said});
    }
    expectUsage({"--recipe", dir_.File("none.json"), "--out-dir", out_}, {"--recipe", "none.json"});
    WriteText(recipe, R"({"map": ["1:1:1"], "output": "a.png", "out-dir": "out"})");
    expectUsage({"--recipe", recipe}, {recipe + ": ", "\"output\" and \"out-dir\""});
}

// What one step changes, and what its list keeps, counted from the engine's pictures.
struct TCounts {
    int64_t Altered = 0, Kept = 0;
};
TCounts EngineCounts(const TBitmap& before, const THueWindow& window, const TStringList& list, TBitmap& after)
{
    TBitmap unprotected;
    ReplaceHue(before, after, list, window);
    ReplaceHue(before, unprotected, TStringList(), window);
    const auto b = RgbBytes(before), a = RgbBytes(after), u = RgbBytes(unprotected);
    TCounts counts;
    for (size_t i = 0; i < b.size(); i += 3) {
        counts.Altered += !std::equal(&a[i], &a[i] + 3, &b[i]);
        counts.Kept += !std::equal(&a[i], &a[i] + 3, &u[i]);
    }
    return counts;
}

TEST_F(CliRecipe, DryRunCountsAreTheEnginesAndNothingIsWritten)
{
    TBitmap image;
    MakeSprite(image, 30, 10);
    WritePicture(dir_.File("second.bmp"), image);
    const std::vector<std::string> lines{ColorToText(image.Pixel(3, 0)), ColorToText(image.Pixel(20, 1)), "clRed"};
    const TStringList list = ListOf(lines);
    WriteText(dir_.File("list.dat"), lines[0] + "\n" + lines[1] + "\n" + lines[2] + "\n");
    WritePicture(dir_.File("out/sprite.png"), image); // an existing output does not stop a dry run
    const auto existing = ReadFileBytes(dir_.File("out/sprite.png"));

    const TCliRun run = Recolour({"--source", "200", "--tolerance", "36", "--target", "10", "--map", "h10:36:130",
                                  "--variant", "v=h0:25:300", "--list", dir_.File("list.dat"), "--dry-run", "--json",
                                  "-j", "2", "--out-dir", out_},
                                 {sprite_, dir_.File("second.bmp")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(ReadFileBytes(dir_.File("out/sprite.png")), existing);
    EXPECT_EQ(std::distance(fs::directory_iterator(out_), fs::directory_iterator()), 1);

    std::istringstream lines_out(run.Out);
    std::string line;
    int64_t keptAnywhere = 0;
    for (const std::string& input : {sprite_, dir_.File("second.bmp")}) {
        ASSERT_TRUE(std::getline(lines_out, line)) << run.Out;
        const nlohmann::json j = nlohmann::json::parse(line);
        EXPECT_EQ(j["file"], input);
        TPictureData data;
        ReadPicture(input, data);
        EXPECT_EQ(j["width"], data.Image.Width());
        ASSERT_EQ(j["outputs"].size(), 2u);
        const std::vector<std::vector<THueWindow>> chains{{{200, 36, 10}, {230, 36, 130}}, {{240, 25, 300}}};
        for (size_t o = 0; o < chains.size(); ++o) {
            const nlohmann::json& output = j["outputs"][o];
            EXPECT_EQ(output["variant"], o == 0 ? nlohmann::json() : nlohmann::json("v"));
            TBitmap before;
            before.Assign(data.Image);
            ASSERT_EQ(output["changes"].size(), chains[o].size());
            for (size_t k = 0; k < chains[o].size(); ++k) {
                TBitmap after;
                const TCounts expected = EngineCounts(before, chains[o][k], list, after);
                const nlohmann::json& change = output["changes"][k];
                EXPECT_EQ(change["source"], chains[o][k].Source);
                EXPECT_EQ(change["altered"], expected.Altered) << input << " output " << o << " change " << k;
                EXPECT_EQ(change["protected"], expected.Kept) << input << " output " << o << " change " << k;
                EXPECT_GT(expected.Altered, 0);
                keptAnywhere += expected.Kept;
                before.Assign(after);
            }
        }
    }
    EXPECT_GT(keptAnywhere, 0) << "the list must keep something somewhere";
    EXPECT_FALSE(std::getline(lines_out, line));

    // As text: a line per change with the same counts.
    const TCliRun text = Recolour({"--map", "200:36:10", "--dry-run", "--out-dir", out_});
    ASSERT_EQ(text.Status, 0) << text.Err;
    TPictureData data;
    ReadPicture(sprite_, data);
    TBitmap after;
    const TCounts counts = EngineCounts(data.Image, {200, 36, 10}, TStringList(), after);
    EXPECT_TRUE(Contains(text.Out, "change 1, source 200 tolerance 36 target 10: " + std::to_string(counts.Altered) +
                                       " pixels altered, 0 protected pixels left alone"))
        << text.Out;
}

// A file that fails, or is refused before the run, leaves the report of the others whole and in
// the order of the inputs.
TEST_F(CliRecipe, DryRunGoesOnPastFailedFiles)
{
    WriteFileBytes(dir_.File("bad.png"), PngBytes({0, 0, 0, 1}));
    TBitmap image;
    MakeSprite(image, 6, 6);
    WritePicture(dir_.File("last.png"), image);
    const TCliRun run = Recolour({"--map", "200:36:10", "--variant", "v=0:1:2", "--dry-run", "--json", "-j", "3",
                                  "--out-dir", dir_.Path().string()},
                                 {sprite_, dir_.File("bad.png"), dir_.File("last.png")});
    EXPECT_EQ(run.Status, 1);
    EXPECT_TRUE(Contains(run.Err, dir_.File("bad.png") + ": ")) << run.Err;
    // The plain output of sprite.png and of last.png would replace its input: refused, and told in
    // the object's error.
    EXPECT_TRUE(Contains(run.Err, "is an input file")) << run.Err;
    // The failed input has its object too, with no outputs and its error.
    std::istringstream lines(run.Out);
    std::string line;
    std::vector<std::string> files;
    while (std::getline(lines, line)) {
        const nlohmann::json j = nlohmann::json::parse(line);
        files.push_back(j["file"]);
        if (j["file"] == dir_.File("bad.png")) {
            EXPECT_TRUE(j["outputs"].empty()) << line;
            EXPECT_FALSE(j["error"].get<std::string>().empty()) << line;
            continue;
        }
        EXPECT_TRUE(j["error"].is_string()) << line; // its plain output was refused
        EXPECT_EQ(j["outputs"].size(), 1u) << line;
        EXPECT_EQ(j["outputs"][0]["variant"], "v") << line;
    }
    EXPECT_EQ(files, (std::vector<std::string>{sprite_, dir_.File("bad.png"), dir_.File("last.png")}));
}

// A recipe holds the same options as the command line: every option of recolour that may stand in
// a recipe, taken from the option table itself, so that a new option is covered as it is added.
TEST_F(CliRecipe, EveryRecolourOptionIsARecipeField)
{
    WriteText(dir_.File("list.dat"), "clRed\r\n");
    WriteText(dir_.File("from.hex"), "ff0000\n");
    WriteText(dir_.File("to.hex"), "00ff00\n");
    const std::string recipe = dir_.File("all.json");
    for (const cli::TOptionDef& option : cli::OptionTable()) {
        if (!(option.Commands & cli::CmdRecolour) || !option.InRecipe) continue;
        const std::string name = option.Long;
        nlohmann::json fields = {{"map", {"1:1:1"}}, {"dry-run", true}};
        nlohmann::json value;
        switch (option.Type) {
        case cli::TValueType::Flag: value = true; break;
        case cli::TValueType::Number: value = option.Hi; break;
        case cli::TValueType::Name: value = option.Names.front(); break;
        case cli::TValueType::Path:
            value = name == "list" ? "list.dat" : name == "output" ? "o.png" : name == "mask" ? sprite_ : "made";
            break;
        case cli::TValueType::Text: value = name == "pick" ? "0,0" : name == "region" ? "0,0,1,1" : "1:1:1"; break;
        }
        if (name == "variant") value = {{"v", "1:1:1"}};
        if (name == "palette-map") value = {"from.hex", "to.hex"};
        if (name == "remap") value = "from.hex";
        if (name == "source" || name == "from-hue" || name == "pick") fields["target"] = 1;
        if (name == "tolerance" || name == "target") {
            fields["source"] = 1;
            fields["target"] = 1;
        }
        fields[name] = value;
        WriteText(recipe, fields.dump());
        const TCliRun run = Recolour({"--recipe", recipe});
        EXPECT_EQ(run.Status, 0) << name << ": " << run.Err;
    }
}

// One value per key: a key given twice in any object of the file is refused, not decided by order.
TEST_F(CliRecipe, RepeatedKeysAndMissingListsNameTheRecipe)
{
    const std::string recipe = dir_.File("twice.json");
    for (const char* text : {R"({"map": ["1:1:1"], "map": ["2:2:2"]})",
                             R"({"variant": {"red": "1:1:1", "red": "2:2:2"}})",
                             R"({"map": ["1:1:1"], "png-level": 1, "png-level": 9})"}) {
        WriteText(recipe, text);
        const TCliRun run = Recolour({"--recipe", recipe, "--out-dir", out_});
        EXPECT_EQ(run.Status, 2) << text;
        EXPECT_TRUE(Contains(run.Err, recipe + ": the key \"")) << run.Err;
        EXPECT_TRUE(Contains(run.Err, "is given twice")) << run.Err;
        EXPECT_TRUE(fs::is_empty(out_));
    }
    WriteText(recipe, R"({"map": ["1:1:1"], "list": "nolist.dat"})");
    const TCliRun run = Recolour({"--recipe", recipe, "--out-dir", out_});
    EXPECT_EQ(run.Status, 2);
    EXPECT_TRUE(Contains(run.Err, recipe + ": field \"list\"")) << run.Err;
}

} // namespace
} // namespace tintabrel::test
