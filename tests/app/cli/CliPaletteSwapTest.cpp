// Palette swaps through the tool: --palette-map, --remap and palette:FROM:TO steps on RGBA, palette
// PNG and BMP inputs, mixed with hue windows in the order given, in variants and recipes; the dry
// run's counts; the palette command; and the swap texture of --emit-lut, rebuilt into every
// variant pixel for pixel. Each result is compared with what the engine itself makes.
#include "app/PaletteFiles.h"
#include "recolour/ColourMap.h"
#include "tests/TestData.h"
#include "tests/app/cli/CliHarness.h"
#include "tests/png/PngWriteTestSupport.h"

#include "base/StringList.h"
#include "recolour/HueReplace.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace tintabrel::test {
namespace {

namespace fs = std::filesystem;

std::string Hex(TColor c)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02x%02x%02x", RedOf(c), GreenOf(c), BlueOf(c));
    return text;
}

void WriteHexPalette(const std::string& path, const std::vector<TColor>& colours)
{
    std::string text;
    for (const TColor c : colours) text.append("#").append(Hex(c)).append("\n");
    WriteFile(path, text);
}

TStringList ListOf(const std::vector<std::string>& lines)
{
    TStringList list;
    for (const std::string& line : lines) list.Add(line);
    return list;
}

// A palette PNG written by libpng with the raw indices, palette and tRNS given; and read back
// with its rows as stored (packed), nothing expanded.
struct TIndexedPng {
    int Depth = 4;
    uint32_t Width = 0, Height = 0;
    std::vector<uint8_t> Indices; // one per pixel (writing)
    std::vector<std::vector<uint8_t>> Rows; // packed, as stored (reading)
    std::vector<TColor> Palette;
    std::vector<uint8_t> Trns;
};

void WriteCallback(png_structp png, png_bytep data, png_size_t length)
{
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void WriteIndexedPng(const std::string& path, const TIndexedPng& p)
{
    std::vector<uint8_t> file;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    ASSERT_FALSE(setjmp(png_jmpbuf(png)));
    png_set_write_fn(png, &file, WriteCallback, nullptr);
    png_set_IHDR(png, info, p.Width, p.Height, p.Depth, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> palette;
    for (const TColor c : p.Palette)
        palette.push_back({static_cast<png_byte>(RedOf(c)), static_cast<png_byte>(GreenOf(c)), static_cast<png_byte>(BlueOf(c))});
    png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
    if (!p.Trns.empty()) png_set_tRNS(png, info, p.Trns.data(), static_cast<int>(p.Trns.size()), nullptr);
    png_write_info(png, info);
    png_set_packing(png);
    for (uint32_t y = 0; y < p.Height; ++y) png_write_row(png, &p.Indices[y * p.Width]);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    WriteFileBytes(path, file);
}

TIndexedPng ReadIndexedPng(const std::string& path)
{
    const std::vector<unsigned char> bytes = ReadFileBytes(path);
    TIndexedPng d;
    std::string error;
    TPngMemorySource source{bytes.data(), bytes.size(), 0};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &error, ErrorCallback, WarningCallback);
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        ADD_FAILURE() << path << ": " << error;
        return {};
    }
    png_set_read_fn(png, &source, TPngMemorySource::Read);
    png_read_info(png, info);
    EXPECT_EQ(png_get_color_type(png, info), PNG_COLOR_TYPE_PALETTE) << path;
    d.Width = png_get_image_width(png, info);
    d.Height = png_get_image_height(png, info);
    d.Depth = png_get_bit_depth(png, info);
    png_colorp palette = nullptr;
    int count = 0;
    if (png_get_PLTE(png, info, &palette, &count))
        for (int i = 0; i < count; ++i) d.Palette.push_back(MakeColor(palette[i].red, palette[i].green, palette[i].blue));
    png_bytep alpha = nullptr;
    int alphaCount = 0;
    if (png_get_tRNS(png, info, &alpha, &alphaCount, nullptr)) d.Trns.assign(alpha, alpha + alphaCount);
    d.Rows.assign(d.Height, std::vector<uint8_t>(png_get_rowbytes(png, info)));
    for (auto& row : d.Rows) rows.push_back(row.data());
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return d;
}

// The picture's RGB bytes and alpha bytes (byte = 255 - alpha; none for an opaque picture).
struct TPixels {
    std::vector<uint8_t> Rgb;
    std::vector<uint8_t> Alpha;
    bool operator==(const TPixels&) const = default;
};

TPixels PixelsOf(const TPictureData& data) { return {RgbBytes(data.Image), AlphaBytes(data.Alpha)}; }

TPixels PixelsOfFile(const std::string& path)
{
    TPictureData data;
    ReadPicture(path, data);
    return PixelsOf(data);
}

class CliPaletteSwap : public ::testing::Test {
protected:
    void SetUp() override
    {
        TBitmap image, alpha;
        MakeSprite(image, 45, 21);
        MakeAlpha(alpha, 45, 21);
        sprite_ = dir_.File("sprite.png");
        WritePicture(sprite_, image, alpha);
        ReadPicture(sprite_, picture_);
        out_ = dir_.File("out");
        fs::create_directory(out_);
        fs::create_directory(dir_.File("pal"));
        // FROM: four colours of the sprite and one it does not have (entry 3); TO: five others.
        const std::vector<TPictureColour> colours = PictureColours(picture_);
        ASSERT_GT(colours.size(), 20u);
        // The last colour is a fully transparent pixel's (--visible-only leaves it).
        const std::vector<uint8_t> clear = AlphaBytes(picture_.Alpha);
        const size_t at = static_cast<size_t>(std::find(clear.begin(), clear.end(), 255) - clear.begin());
        ASSERT_LT(at, clear.size());
        const TColor clearColour = picture_.Image.Pixel(static_cast<int>(at % 45), static_cast<int>(at / 45)) & 0xFFFFFF;
        from_ = {colours[0].Colour, colours[5].Colour, colours[9].Colour, MakeColor(1, 2, 3), clearColour};
        to_ = {MakeColor(200, 10, 10), MakeColor(190, 20, 20), MakeColor(180, 30, 30), MakeColor(170, 40, 40),
               MakeColor(160, 50, 50)};
        fromPath_ = dir_.File("pal/team.hex");
        toPath_ = dir_.File("pal/red.hex");
        WriteHexPalette(fromPath_, from_);
        WriteHexPalette(toPath_, to_);
    }

    TCliRun Recolour(std::vector<std::string> args, const std::string& input = {})
    {
        args.insert(args.begin(), "recolour");
        args.push_back(input.empty() ? sprite_ : input);
        return RunCli(args);
    }

    std::string Out(const std::string& name) const { return (fs::path(out_) / name).string(); }

    // What the engine makes of the sprite with the map from_ -> to_.
    TPictureData Mapped(const TPictureData& before, const TStringList& list = {}, bool visibleOnly = false) const
    {
        TPictureData after;
        TColourChangeOptions options;
        options.VisibleOnly = visibleOnly;
        MapColours(before, after, TColourMap(from_, to_), TProtectedColors(list), options);
        return after;
    }

    TPictureData Hue(const TPictureData& before, THueWindow window) const
    {
        TPictureData after;
        TBitmap image;
        ReplaceHue(before.Image, image, TProtectedColors(TStringList()), window);
        after.Image.Assign(image);
        after.Alpha.Assign(before.Alpha);
        return after;
    }

    TempDir dir_;
    std::string sprite_, out_, fromPath_, toPath_;
    TPictureData picture_;
    std::vector<TColor> from_, to_;
};

THueWindow Window(int source, int tolerance, int target)
{
    THueWindow w;
    w.Source = source;
    w.Tolerance = tolerance;
    w.Target = target;
    return w;
}

// An RGBA sprite: every pixel of a FROM colour takes its TO colour, the others and the alpha
// stay; a colour on the protected list stays too.
TEST_F(CliPaletteSwap, MapsAnRgbaSpriteAsTheEngineDoes)
{
    const TCliRun run = Recolour({"--palette-map", fromPath_, toPath_, "-o", Out("mapped.png")});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Err.find("hint:"), std::string::npos) << run.Err; // a palette step has no hue window to cut
    const TPixels made = PixelsOfFile(Out("mapped.png"));
    EXPECT_EQ(made, PixelsOf(Mapped(picture_)));
    EXPECT_NE(made.Rgb, PixelsOf(picture_).Rgb); // the map ran
    EXPECT_EQ(made.Alpha, PixelsOf(picture_).Alpha);

    const std::string list = dir_.File("list.dat");
    WriteFile(list, ColorToText(from_[1]) + "\r\n");
    const TCliRun listed = Recolour({"--palette-map", fromPath_, toPath_, "--list", list, "-o", Out("listed.png")});
    ASSERT_EQ(listed.Status, 0) << listed.Err;
    EXPECT_EQ(PixelsOfFile(Out("listed.png")), PixelsOf(Mapped(picture_, ListOf({ColorToText(from_[1])}))));
    EXPECT_NE(PixelsOfFile(Out("listed.png")), made);

    // --visible-only leaves fully transparent pixels as they are, as for hue windows.
    const TCliRun visible = Recolour({"--palette-map", fromPath_, toPath_, "--visible-only", "-o", Out("visible.png")});
    ASSERT_EQ(visible.Status, 0) << visible.Err;
    EXPECT_EQ(PixelsOfFile(Out("visible.png")), PixelsOf(Mapped(picture_, {}, true)));
    EXPECT_NE(PixelsOfFile(Out("visible.png")), made);
}

// A 4-bit palette PNG with tRNS stays one: the index rows byte for byte the input's, the palette
// as long and in the same order with the entries FROM matched now TO's, the same tRNS.
TEST_F(CliPaletteSwap, APalettePngKeepsItsIndexRowsAndTransparency)
{
    TIndexedPng in;
    in.Depth = 4;
    in.Width = 13;
    in.Height = 7;
    for (int i = 0; i < 11; ++i) in.Palette.push_back(MakeColor(i * 20, 100 + i * 10, 255 - i * 20));
    for (uint32_t k = 0; k < in.Width * in.Height; ++k) in.Indices.push_back(static_cast<uint8_t>((k * 7) % 11));
    in.Trns = {0, 128, 255, 64};
    const std::string input = dir_.File("four.png");
    WriteIndexedPng(input, in);
    // Entries 1 and 3 (half and partly transparent) and 8 are mapped; #010203 matches nothing.
    WriteHexPalette(dir_.File("f.hex"), {in.Palette[1], in.Palette[3], MakeColor(1, 2, 3), in.Palette[8]});
    WriteHexPalette(dir_.File("t.hex"), {MakeColor(255, 0, 0), MakeColor(0, 255, 0), MakeColor(9, 9, 9), MakeColor(0, 0, 255)});

    const TCliRun run = Recolour({"--palette-map", dir_.File("f.hex"), dir_.File("t.hex"), "-o", Out("four.png")}, input);
    ASSERT_EQ(run.Status, 0) << run.Err;
    const TIndexedPng before = ReadIndexedPng(input);
    const TIndexedPng after = ReadIndexedPng(Out("four.png"));
    EXPECT_EQ(after.Depth, 4);
    EXPECT_EQ(after.Rows, before.Rows);
    EXPECT_EQ(after.Trns, before.Trns);
    std::vector<TColor> expected = before.Palette;
    expected[1] = MakeColor(255, 0, 0);
    expected[3] = MakeColor(0, 255, 0);
    expected[8] = MakeColor(0, 0, 255);
    EXPECT_EQ(after.Palette, expected);
}

// A BMP, 24-bit and 8-bit palette: the same map, written as BMP again.
TEST_F(CliPaletteSwap, MapsBmpInputs)
{
    TBitmap image;
    MakeSprite(image, 30, 12);
    const std::string bmp = dir_.File("sprite.bmp");
    WritePicture(bmp, image);
    TPictureData before;
    ReadPicture(bmp, before);
    const std::vector<TPictureColour> colours = PictureColours(before);
    from_ = {colours[2].Colour, colours[3].Colour};
    to_ = {MakeColor(0, 0, 0), MakeColor(255, 255, 255)};
    WriteHexPalette(fromPath_, from_);
    WriteHexPalette(toPath_, to_);
    const TCliRun run = Recolour({"--palette-map", fromPath_, toPath_, "-o", Out("sprite.bmp")}, bmp);
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(PixelsOfFile(Out("sprite.bmp")).Rgb, PixelsOf(Mapped(before)).Rgb);
    EXPECT_NE(PixelsOfFile(Out("sprite.bmp")).Rgb, PixelsOf(before).Rgb);

    const std::string indexed = DataPath("bmpsuite/g/pal8.bmp");
    TPictureData pal8;
    ReadPicture(indexed, pal8);
    ASSERT_NE(pal8.PaletteBits, 0);
    const std::vector<TPictureColour> entries = PictureColours(pal8);
    from_ = {entries[0].Colour, entries[1].Colour};
    to_ = {MakeColor(0, 1, 2), MakeColor(3, 4, 5)};
    WriteHexPalette(fromPath_, from_);
    WriteHexPalette(toPath_, to_);
    const TCliRun eight = Recolour({"--palette-map", fromPath_, toPath_, "-o", Out("pal8.bmp")}, indexed);
    ASSERT_EQ(eight.Status, 0) << eight.Err;
    TPictureData made;
    ReadPicture(Out("pal8.bmp"), made);
    EXPECT_EQ(made.PaletteBits, 8);
    EXPECT_EQ(PixelsOf(made).Rgb, PixelsOf(Mapped(pal8)).Rgb);
}

// Steps go in the order given: palette maps repeated and mixed with --map, the first change where
// its source stands (but before every --map, as it always was).
TEST_F(CliPaletteSwap, StepsGoInTheOrderGiven)
{
    // A second map that takes TO's first colour on again: its result shows whether it ran after
    // the first map.
    WriteHexPalette(dir_.File("pal/again.hex"), {to_[0]});
    WriteHexPalette(dir_.File("pal/green.hex"), {MakeColor(0, 200, 0)});
    const TColourMap again({to_[0]}, {MakeColor(0, 200, 0)});
    const auto mapAgain = [&](const TPictureData& before) {
        TPictureData after;
        MapColours(before, after, again, TProtectedColors(TStringList()));
        return after;
    };
    const THueWindow hue = Window(240, 18, 120); // red, as TO's colours

    struct TCase {
        std::vector<std::string> Args;
        TPixels Expected;
    };
    const std::vector<TCase> cases = {
        {{"--palette-map", fromPath_, toPath_, "--map", "240:18:120", "--palette-map", dir_.File("pal/again.hex"),
          dir_.File("pal/green.hex")},
         PixelsOf(mapAgain(Hue(Mapped(picture_), hue)))},
        // The second map turns a red green before the hue window, which would catch it otherwise.
        {{"--palette-map", fromPath_, toPath_, "--palette-map", dir_.File("pal/again.hex"), dir_.File("pal/green.hex"),
          "--source", "240", "--target", "120"},
         PixelsOf(Hue(mapAgain(Mapped(picture_)), hue))},
        {{"--source", "240", "--target", "120", "--palette-map", fromPath_, toPath_},
         PixelsOf(Mapped(Hue(picture_, Window(240, 18, 120))))},
        // --map before --source: the first change still comes first.
        {{"--map", "palette:" + fromPath_ + ":" + toPath_, "--source", "240", "--target", "120"},
         PixelsOf(Mapped(Hue(picture_, Window(240, 18, 120))))},
    };
    for (size_t k = 0; k < cases.size(); ++k) {
        std::vector<std::string> args = cases[k].Args;
        const std::string output = Out("order" + std::to_string(k) + ".png");
        args.insert(args.end(), {"-o", output});
        const TCliRun run = Recolour(args);
        ASSERT_EQ(run.Status, 0) << k << ": " << run.Err;
        EXPECT_EQ(PixelsOfFile(output), cases[k].Expected) << k;
    }
    // The order shows: the map after the hue window differs from the map before it.
    EXPECT_NE(PixelsOfFile(Out("order2.png")), PixelsOf(Hue(Mapped(picture_), hue)));
    EXPECT_NE(PixelsOfFile(Out("order0.png")), PixelsOfFile(Out("order1.png")));
}

// A variant's palette step, its paths with their folders, beside hue windows in the same chain.
TEST_F(CliPaletteSwap, VariantsHoldPaletteSteps)
{
    const std::string step = "palette:" + fromPath_ + ":" + toPath_;
    const TCliRun run = Recolour({"--variant", "red=" + step, "--variant", "both=240:18:120/" + step, "--variant",
                                  "after=" + step + "/240:18:120", "--out-dir", out_});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(PixelsOfFile(Out("sprite_red.png")), PixelsOf(Mapped(picture_)));
    EXPECT_EQ(PixelsOfFile(Out("sprite_both.png")), PixelsOf(Mapped(Hue(picture_, Window(240, 18, 120)))));
    EXPECT_EQ(PixelsOfFile(Out("sprite_after.png")), PixelsOf(Hue(Mapped(picture_), Window(240, 18, 120))));
}

// A recipe holds palette steps as the command line does; its paths count from its folder.
TEST_F(CliPaletteSwap, RecipesHoldPaletteSteps)
{
    fs::create_directories(dir_.File("recipes"));
    WriteHexPalette(dir_.File("recipes/team.hex"), from_);
    WriteHexPalette(dir_.File("recipes/red.hex"), to_);
    const std::string recipe = dir_.File("recipes/teams.json");
    WriteFile(recipe, R"({
        "palette-map": ["team.hex", "red.hex"],
        "variant": {"red": "palette:team.hex:red.hex", "hue": ["240:18:120", "palette:team.hex:red.hex"]},
        "out-dir": "../out"
    })");
    const TCliRun run = Recolour({"--recipe", recipe});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(PixelsOfFile(Out("sprite.png")), PixelsOf(Mapped(picture_)));
    EXPECT_EQ(PixelsOfFile(Out("sprite_red.png")), PixelsOf(Mapped(picture_)));
    EXPECT_EQ(PixelsOfFile(Out("sprite_hue.png")), PixelsOf(Mapped(Hue(picture_, Window(240, 18, 120)))));

    // Fields in the order written; a list of pairs; "map" steps and "remap" too.
    WriteHexPalette(dir_.File("recipes/again.hex"), {to_[0]});
    WriteHexPalette(dir_.File("recipes/green.hex"), {MakeColor(0, 200, 0)});
    WriteFile(recipe, R"({
        "map": ["palette:team.hex:red.hex"],
        "palette-map": [["again.hex", "green.hex"]],
        "overwrite": true,
        "out-dir": "../out"
    })");
    const TCliRun again = Recolour({"--recipe", recipe});
    ASSERT_EQ(again.Status, 0) << again.Err;
    TPictureData thenAgain;
    MapColours(Mapped(picture_), thenAgain, TColourMap({to_[0]}, {MakeColor(0, 200, 0)}), TProtectedColors(TStringList()));
    EXPECT_EQ(PixelsOfFile(Out("sprite.png")), PixelsOf(thenAgain));

    for (const char* bad : {R"({"palette-map": ["team.hex"]})", R"({"palette-map": [["team.hex", 1]]})",
                            R"({"palette-map": "team.hex"})"}) {
        WriteFile(recipe, bad);
        const TCliRun refused = Recolour({"--recipe", recipe, "--out-dir", out_});
        EXPECT_EQ(refused.Status, 2) << bad;
        EXPECT_TRUE(Contains(refused.Err, "field \"palette-map\"")) << refused.Err;
    }
}

// A recipe in a folder whose name holds a ':' cannot carry its palette files in a palette:FROM:TO
// step (the ':' would end the path there): refused with the reason, while its "palette-map" field,
// which holds the paths apart, works.
TEST_F(CliPaletteSwap, ARecipeFolderWithAColonIsNamedAsTheReason)
{
    const std::string folder = dir_.File("teams:2");
    fs::create_directories(folder);
    WriteHexPalette(folder + "/team.hex", from_);
    WriteHexPalette(folder + "/red.hex", to_);
    const std::string recipe = folder + "/teams.json";
    for (const char* steps :
         {R"("variant": {"red": "palette:team.hex:red.hex"})", R"("map": ["palette:team.hex:red.hex"])"}) {
        WriteFile(recipe, std::string("{") + steps + R"(, "out-dir": "../out", "overwrite": true})");
        const TCliRun refused = Recolour({"--recipe", recipe});
        EXPECT_EQ(refused.Status, 2) << steps;
        EXPECT_TRUE(Contains(refused.Err, "the palette team.hex counts from the folder " + folder +
                                              ", whose name holds a ':'"))
            << refused.Err;
    }
    WriteFile(recipe, R"({"palette-map": ["team.hex", "red.hex"], "out-dir": "../out", "overwrite": true})");
    const TCliRun run = Recolour({"--recipe", recipe});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(PixelsOfFile(Out("sprite.png")), PixelsOf(Mapped(picture_)));
}

// A palette strip among the pictures of the run (--in-place over a folder holding it, -o onto it)
// is never written over: the run reads it, and would leave its FROM turned into its TO. The sprites
// beside it are changed; the strip is refused by name.
TEST_F(CliPaletteSwap, APaletteFileAmongTheOutputsIsNeverWrittenOver)
{
    const std::string assets = dir_.File("assets");
    fs::create_directories(assets + "/pal");
    fs::copy_file(sprite_, assets + "/sprite.png");
    const std::string from = assets + "/pal/team.png", to = assets + "/pal/red.png";
    TColourPalette strip;
    strip.Colours = from_;
    WritePaletteFile(from, strip);
    strip.Colours = to_;
    WritePaletteFile(to, strip);
    const std::string fromBytes = ReadFile(from);

    const TCliRun run = RunCli({"recolour", "-r", "--in-place", "--palette-map", from, to, assets});
    EXPECT_NE(run.Status, 0);
    EXPECT_TRUE(Contains(run.Err, "the output " + from + " is a palette file of the changes")) << run.Err;
    EXPECT_EQ(ReadFile(from), fromBytes);
    EXPECT_EQ(PixelsOfFile(assets + "/sprite.png"), PixelsOf(Mapped(picture_)));

    // So does a dry run; and an output named as the strip itself, --overwrite or not.
    const TCliRun dry = RunCli({"recolour", "--dry-run", "-r", "--in-place", "--palette-map", from, to, assets});
    EXPECT_TRUE(Contains(dry.Err + dry.Out, "the output " + from + " is a palette file of the changes")) << dry.Err;
    const TCliRun onto = RunCli({"recolour", "--overwrite", "--palette-map", from, to, "-o", from, sprite_});
    EXPECT_NE(onto.Status, 0);
    EXPECT_TRUE(Contains(onto.Err, "the output " + from + " is a palette file of the changes")) << onto.Err;
    EXPECT_EQ(ReadFile(from), fromBytes);
}

// The dry run counts per step: pixels altered and protected, and the FROM entries no pixel has.
TEST_F(CliPaletteSwap, DryRunsCountEachStep)
{
    const std::string list = dir_.File("list.dat");
    WriteFile(list, ColorToText(from_[1]) + "\r\n");
    TColourMapCounts expected;
    TPictureData after;
    MapColours(picture_, after, TColourMap(from_, to_), TProtectedColors(ListOf({ColorToText(from_[1])})), {}, &expected);
    ASSERT_GT(expected.Altered, 0);
    ASSERT_GT(expected.Kept, 0);
    ASSERT_EQ(expected.Unmatched, std::vector<int32_t>{3});

    const TCliRun json = Recolour({"--source", "240", "--target", "120", "--palette-map", fromPath_, toPath_,
                                   "--list", list, "--dry-run", "--json"});
    ASSERT_EQ(json.Status, 0) << json.Err;
    const nlohmann::json j = nlohmann::json::parse(json.Out);
    const nlohmann::json& changes = j["outputs"][0]["changes"];
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0]["step"], "hue");
    EXPECT_EQ(changes[0]["source"], 240);
    EXPECT_TRUE(changes[0]["unmatched"].is_null());
    const nlohmann::json& map = changes[1];
    EXPECT_EQ(map["step"], "palette-map");
    EXPECT_EQ(map["from"], fromPath_);
    EXPECT_EQ(map["to"], toPath_);
    EXPECT_TRUE(map["source"].is_null());
    EXPECT_TRUE(map.contains("pick"));
    // Counted on the picture the hue window left: the engine's counts of the same.
    TColourMapCounts second;
    const TPictureData hued = Hue(picture_, Window(240, 18, 120));
    MapColours(hued, after, TColourMap(from_, to_), TProtectedColors(ListOf({ColorToText(from_[1])})), {}, &second);
    EXPECT_EQ(map["altered"], second.Altered);
    EXPECT_EQ(map["protected"], second.Kept);
    std::vector<int32_t> unmatched;
    for (const auto& u : map["unmatched"]) {
        unmatched.push_back(u["entry"]);
        EXPECT_EQ(u["colour"], "#" + Hex(from_[u["entry"].get<size_t>()]));
    }
    EXPECT_EQ(unmatched, second.Unmatched);
    EXPECT_NE(std::find(unmatched.begin(), unmatched.end(), 3), unmatched.end());

    const TCliRun text = Recolour({"--palette-map", fromPath_, toPath_, "--list", list, "--dry-run"});
    ASSERT_EQ(text.Status, 0) << text.Err;
    EXPECT_TRUE(Contains(text.Out, "palette map " + fromPath_ + " -> " + toPath_ + ": " +
                                       std::to_string(expected.Altered) + " pixels altered, " +
                                       std::to_string(expected.Kept) + " protected pixels left alone, 1 entries of "
                                       "FROM matched nothing (4 #010203)"))
        << text.Out;
    // An empty FROM (a failed export) matched nothing: it does not say every entry matched.
    WriteFile(dir_.File("empty.gpl"), "GIMP Palette\n");
    const TCliRun empty = Recolour({"--palette-map", dir_.File("empty.gpl"), dir_.File("empty.gpl"), "--dry-run"});
    ASSERT_EQ(empty.Status, 0) << empty.Err;
    EXPECT_TRUE(Contains(empty.Out, "0 pixels altered, 0 protected pixels left alone, FROM has no colours")) << empty.Out;
    // Nothing written.
    EXPECT_TRUE(fs::is_empty(out_));
}

// --remap: each colour the nearest entry (hand-worked), ties to the lowest index; the output a
// palette PNG whose palette begins with the palette's entries in its order, unused ones included.
TEST_F(CliPaletteSwap, RemapWritesThePalettesOrder)
{
    TBitmap image;
    const auto colour = [](int x, int) -> TRgb {
        switch (x) {
        case 0: return {250, 5, 5};     // near red
        case 1: return {10, 10, 10};    // near black
        case 2: return {240, 240, 250}; // near white
        default: return {0, 0, 255};    // blue: exactly entry 1 and entry 4
        }
    };
    MakeImage(image, 4, 2, colour);
    const std::string input = dir_.File("four.png");
    WritePicture(input, image);
    // Entry 1 and 4 are both blue: the lowest index wins. Green (entry 3) is given to no pixel.
    WriteFile(dir_.File("pal/remap.gpl"), "GIMP Palette\nName: five\n#\n255 0 0 red\n0 0 255 blue\n0 0 0\n"
                                          "0 255 0 green\n0 0 255 blue again\n255 255 255\n");
    const TCliRun run = Recolour({"--remap", dir_.File("pal/remap.gpl"), "-o", Out("remap.png")}, input);
    ASSERT_EQ(run.Status, 0) << run.Err;
    const TIndexedPng made = ReadIndexedPng(Out("remap.png"));
    EXPECT_EQ(made.Palette, (std::vector<TColor>{MakeColor(255, 0, 0), MakeColor(0, 0, 255), MakeColor(0, 0, 0),
                                                 MakeColor(0, 255, 0), MakeColor(0, 0, 255), MakeColor(255, 255, 255)}));
    ASSERT_EQ(made.Depth, 4); // six entries
    for (uint32_t y = 0; y < 2; ++y) {
        const std::vector<uint8_t>& row = made.Rows[y];
        EXPECT_EQ(row[0], 0x02) << y; // red 0, black 2
        EXPECT_EQ(row[1], 0x51) << y; // white 5, blue 1 (not 4)
    }
    const TCliRun dry = Recolour({"--remap", dir_.File("pal/remap.gpl"), "--dry-run", "--json"}, input);
    ASSERT_EQ(dry.Status, 0) << dry.Err;
    const nlohmann::json change = nlohmann::json::parse(dry.Out)["outputs"][0]["changes"][0];
    EXPECT_EQ(change["step"], "remap");
    EXPECT_EQ(change["altered"], 6); // the blues are already entry 1
    std::vector<int> unmatched;
    for (const auto& u : change["unmatched"]) unmatched.push_back(u["entry"]);
    EXPECT_EQ(unmatched, (std::vector<int>{3, 4}));
}

// palette: a palette picture's entries in order; another picture's colours in the order met, with
// their pixel counts; a round trip through a map back to the same picture.
TEST_F(CliPaletteSwap, PaletteCommandRoundTrips)
{
    TIndexedPng in;
    in.Depth = 4;
    in.Width = 5;
    in.Height = 2;
    in.Palette = {MakeColor(1, 1, 1), MakeColor(2, 2, 2), MakeColor(3, 3, 3), MakeColor(4, 4, 4)};
    in.Indices = {3, 3, 1, 1, 1, 0, 0, 0, 0, 3};
    const std::string input = dir_.File("pal.png");
    WriteIndexedPng(input, in);
    for (const char* ext : {".gpl", ".pal", ".hex", ".act", ".png"}) {
        const std::string file = dir_.File(std::string("entries") + ext);
        const TCliRun run = RunCli({"palette", "-o", file, input});
        ASSERT_EQ(run.Status, 0) << ext << ": " << run.Err;
        EXPECT_EQ(ReadPaletteFile(file).Colours, in.Palette) << ext;
    }
    const TCliRun json = RunCli({"palette", "--json", input});
    ASSERT_EQ(json.Status, 0) << json.Err;
    const nlohmann::json j = nlohmann::json::parse(json.Out);
    ASSERT_EQ(j["colours"].size(), 4u);
    EXPECT_EQ(j["colours"][2], (nlohmann::json{{"colour", "#030303"}, {"pixels", 0}}));
    EXPECT_EQ(j["colours"][3], (nlohmann::json{{"colour", "#040404"}, {"pixels", 3}}));
    EXPECT_EQ(j["palette_picture"], true);

    // The sprite's colours in the order met; mapped to others and back, the sprite again.
    const TCliRun hex = RunCli({"palette", sprite_});
    ASSERT_EQ(hex.Status, 0) << hex.Err;
    std::vector<TPictureColour> colours = PictureColours(picture_);
    EXPECT_EQ(hex.Out.substr(0, 7), Hex(colours[0].Colour) + "\n");
    ASSERT_EQ(RunCli({"palette", "-o", dir_.File("sprite.gpl"), sprite_}).Status, 0);
    std::string shifted;
    for (const TPictureColour& c : colours)
        shifted += std::to_string(RedOf(c.Colour) ^ 1) + " " + std::to_string(GreenOf(c.Colour)) + " " +
                   std::to_string(BlueOf(c.Colour)) + "\n";
    WriteFile(dir_.File("shifted.gpl"), "GIMP Palette\n" + shifted);
    ASSERT_EQ(Recolour({"--palette-map", dir_.File("sprite.gpl"), dir_.File("shifted.gpl"), "-o", Out("s.png")}).Status, 0);
    ASSERT_EQ(Recolour({"--palette-map", dir_.File("shifted.gpl"), dir_.File("sprite.gpl"), "-o", Out("back.png")},
                       Out("s.png")).Status,
              0);
    EXPECT_NE(PixelsOfFile(Out("s.png")), PixelsOf(picture_));
    EXPECT_EQ(PixelsOfFile(Out("back.png")), PixelsOf(picture_));
}

// Refusals name what is wrong and the files: FROM and TO of different lengths, a colour twice in
// FROM, a bad line, a .act of more than 256 colours, an existing palette file, a step without TO.
TEST_F(CliPaletteSwap, RefusalsNameTheFiles)
{
    WriteHexPalette(dir_.File("pal/short.hex"), {to_[0]});
    WriteHexPalette(dir_.File("pal/twice.hex"), {to_[0], to_[1], to_[0]});
    WriteFile(dir_.File("pal/bad.gpl"), "GIMP Palette\n1 2 3\n4 5\n");
    struct TCase {
        std::vector<std::string> Args;
        std::vector<std::string> Said;
    };
    const std::vector<TCase> cases = {
        {{"--palette-map", fromPath_, dir_.File("pal/short.hex")}, {"--palette-map", fromPath_, "short.hex", "5 colours"}},
        {{"--palette-map", dir_.File("pal/twice.hex"), dir_.File("pal/twice.hex")},
         {"twice.hex", "#c80a0a is both the 1st and the 3rd"}},
        {{"--palette-map", dir_.File("pal/bad.gpl"), toPath_}, {"bad.gpl: line 3"}},
        {{"--variant", "v=palette:" + fromPath_ + ":" + dir_.File("pal/short.hex")}, {"--variant v", "short.hex"}},
        {{"--variant", "v=palette:" + fromPath_}, {"is not palette:FROM:TO"}},
        {{"--remap", dir_.File("pal/missing.hex")}, {"--remap", "missing.hex"}},
        {{"--palette-map", fromPath_}, {"palette-map"}},
        {{"--palette-map", fromPath_, toPath_, "--emit-lut", "-o", "-"}, {"--emit-lut", "standard output"}},
        {{"--palette-map", fromPath_, toPath_, "--emit-lut", "--variant", "lut=240:1:1"}, {"cannot be named lut"}},
        // A palette step takes no region; a swap texture none at all.
        {{"--palette-map", fromPath_, toPath_, "--region", "0,0,4,4"}, {"palette map", "changes the whole picture"}},
        {{"--variant", "v@0,0,4,4=240:18:120/palette:" + fromPath_ + ":" + toPath_}, {"(variant v)", "whole picture"}},
        {{"--source", "240", "--target", "1", "--map", "240:18:9@0,0,4,4", "--emit-lut"}, {"--emit-lut", "region"}},
    };
    for (const TCase& c : cases) {
        std::vector<std::string> args = c.Args;
        if (std::find(args.begin(), args.end(), "-o") == args.end()) args.insert(args.end(), {"--out-dir", out_});
        const TCliRun run = Recolour(args);
        EXPECT_EQ(run.Status, 2) << c.Args[1] << ": " << run.Err;
        for (const std::string& said : c.Said) EXPECT_TRUE(Contains(run.Err, said)) << said << " in " << run.Err;
    }
    EXPECT_TRUE(fs::is_empty(out_));

    // palette: more than 256 colours do not go into a .act; an existing file stays without --overwrite.
    TBitmap many;
    MakeImage(many, 20, 20, [](int x, int y) -> TRgb { return {static_cast<uint8_t>(x), static_cast<uint8_t>(y), 7}; });
    WritePicture(dir_.File("many.png"), many);
    const TCliRun act = RunCli({"palette", "-o", dir_.File("many.act"), dir_.File("many.png")});
    EXPECT_EQ(act.Status, 1);
    EXPECT_TRUE(Contains(act.Err, "256")) << act.Err;
    EXPECT_FALSE(fs::exists(dir_.File("many.act")));
    WriteFile(dir_.File("kept.hex"), "ffffff\n");
    const TCliRun kept = RunCli({"palette", "-o", dir_.File("kept.hex"), sprite_});
    EXPECT_EQ(kept.Status, 1);
    EXPECT_TRUE(Contains(kept.Err, "--overwrite")) << kept.Err;
    EXPECT_EQ(ReadFile(dir_.File("kept.hex")), "ffffff\n");
    EXPECT_EQ(RunCli({"palette", "-o", dir_.File("kept.hex"), "--overwrite", sprite_}).Status, 0);
    EXPECT_EQ(RunCli({"palette", "-o", dir_.File("x.txt"), sprite_}).Status, 2);
}

// --emit-lut: for every variant k and pixel, lut[k][index] is the variant's output pixel, alpha
// included; without variants row 1 is the one change.
TEST_F(CliPaletteSwap, SwapTextureRebuildsEveryVariant)
{
    // Fewer than 256 colours: an 8-bit index.
    TBitmap image, alpha;
    MakeSprite(image, 15, 11);
    MakeAlpha(alpha, 15, 11);
    WritePicture(sprite_, image, alpha);
    ReadPicture(sprite_, picture_);
    const std::vector<TPictureColour> colours = PictureColours(picture_);
    from_ = {colours[0].Colour, colours[3].Colour, colours[7].Colour};
    to_ = {MakeColor(200, 10, 10), MakeColor(190, 20, 20), MakeColor(180, 30, 30)};
    WriteHexPalette(fromPath_, from_);
    WriteHexPalette(toPath_, to_);
    const std::string step = "palette:" + fromPath_ + ":" + toPath_;
    const TCliRun run = Recolour({"--variant", "red=" + step, "--variant", "green=h0:30:120", "--variant",
                                  "both=240:18:60/" + step, "--emit-lut", "--out-dir", out_});
    ASSERT_EQ(run.Status, 0) << run.Err;
    const Decoded lut = DecodeWithLibpng(ReadFileBytes(Out("sprite_lut.png")));
    const Decoded index = DecodeWithLibpng(ReadFileBytes(Out("sprite_index.png")));
    ASSERT_TRUE(lut.Ok && index.Ok);
    EXPECT_EQ(lut.ColorType, 6);
    EXPECT_EQ(index.ColorType, 0);
    EXPECT_EQ(index.BitDepth, 8);
    ASSERT_EQ(lut.Height, 4u);
    ASSERT_EQ(index.Width, 15u);
    ASSERT_EQ(index.Height, 11u);
    const Decoded input = DecodeWithLibpng(ReadFileBytes(sprite_));
    const std::vector<std::string> names = {"sprite_red.png", "sprite_green.png", "sprite_both.png"};
    for (uint32_t k = 0; k <= names.size(); ++k) {
        const Decoded variant = k == 0 ? input : DecodeWithLibpng(ReadFileBytes(Out(names[k - 1])));
        ASSERT_TRUE(variant.Ok);
        int differ = 0;
        for (uint32_t y = 0; y < variant.Height; ++y)
            for (uint32_t x = 0; x < variant.Width; ++x) {
                const uint32_t column = index.Pixel(x, y)[0];
                ASSERT_LT(column, lut.Width);
                ASSERT_EQ(std::memcmp(lut.Pixel(column, k), variant.Pixel(x, y), 4), 0) << k << " at " << x << "," << y;
                differ += std::memcmp(variant.Pixel(x, y), input.Pixel(x, y), 4) != 0;
            }
        if (k > 0) {
            EXPECT_GT(differ, 0) << names[k - 1]; // each variant changed something
        }
    }

    // Without variants: row 1 is the plain chain; beside -o's output.
    const TCliRun plain = Recolour({"--palette-map", fromPath_, toPath_, "--emit-lut", "-o", Out("one.png")});
    ASSERT_EQ(plain.Status, 0) << plain.Err;
    const Decoded one = DecodeWithLibpng(ReadFileBytes(Out("one_lut.png")));
    const Decoded oneIndex = DecodeWithLibpng(ReadFileBytes(Out("one_index.png")));
    const Decoded made = DecodeWithLibpng(ReadFileBytes(Out("one.png")));
    ASSERT_TRUE(one.Ok && oneIndex.Ok && made.Ok);
    EXPECT_EQ(one.Height, 2u);
    for (uint32_t y = 0; y < made.Height; ++y)
        for (uint32_t x = 0; x < made.Width; ++x)
            ASSERT_EQ(std::memcmp(one.Pixel(oneIndex.Pixel(x, y)[0], 1), made.Pixel(x, y), 4), 0) << x << "," << y;

    // The texture's files are outputs as any other: kept without --overwrite.
    const TCliRun again = Recolour({"--palette-map", fromPath_, toPath_, "--emit-lut", "-o", Out("one.png")});
    EXPECT_EQ(again.Status, 1);
    EXPECT_TRUE(Contains(again.Err, "one_lut.png exists")) << again.Err;
}

} // namespace
} // namespace tintabrel::test
