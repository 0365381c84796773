// The hue-window options through the tool: flags, per-change suffixes and recipe fields give the
// engine's pixels and counts, and a window cut at the wrap is pointed out once.
#include "tests/TestData.h"
#include "tests/app/cli/CliHarness.h"

#include "app/PictureChange.h"
#include "base/StringList.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <sstream>

namespace tintabrel::test {
namespace {

namespace fs = std::filesystem;

void WriteText(const std::string& path, const std::string& text)
{
    WriteFileBytes(path, std::vector<unsigned char>(text.begin(), text.end()));
}

class CliHueOptions : public ::testing::Test {
protected:
    void SetUp() override
    {
        TBitmap image, alpha;
        MakeSprite(image, 37, 23);
        MakeAlpha(alpha, 37, 23);
        sprite_ = dir_.File("sprite.png");
        WritePicture(sprite_, image, alpha);
    }

    // The engine's pixels and counts for one change on the sprite as loaded.
    std::vector<uint8_t> Engine(const THueWindow& window, THueCounts* counts = nullptr)
    {
        TPictureData data;
        ReadPicture(sprite_, data);
        ApplyChangeInPlace(data, TProtectedColors(), window, false, counts);
        return RgbBytes(data.Image);
    }

    std::vector<uint8_t> Output(const std::vector<std::string>& options)
    {
        std::vector<std::string> args = {"recolour", "-q", "--overwrite", "-o", dir_.File("out.png")};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(sprite_);
        const TCliRun run = RunCli(args);
        EXPECT_EQ(run.Status, 0) << run.Err;
        TPictureData data;
        ReadPicture(dir_.File("out.png"), data);
        return RgbBytes(data.Image);
    }

    TempDir dir_;
    std::string sprite_;
};

TEST_F(CliHueOptions, FlagsSuffixesAndRecipeFieldsGiveTheEnginesPixels)
{
    struct TCase {
        const char* Name;
        std::vector<std::string> Flags;
        std::string Suffix;
        std::string Fields;
        THueWindow Window;
    };
    // Source 10 (hue 230, blue), tolerance 20: the window is cut at the wrap.
    const TCase cases[] = {
        {"wrap", {"--wrap"}, "+wrap", R"("wrap": true)", {10, 20, 100, true, 0, false, false}},
        {"soft", {"--soft", "25"}, "+soft25", R"("soft": 25)", {10, 20, 100, false, 25, false, false}},
        {"shift", {"--shift"}, "+shift", R"("shift": true)", {10, 20, 100, false, 0, true, false}},
        {"visible", {"--visible-only"}, "+visible", R"("visible-only": true)", {10, 20, 100, false, 0, false, true}},
        {"lightness", {"--keep-lightness"}, "+lightness", R"("keep-lightness": true)",
         {10, 20, 100, false, 0, false, false, true}},
        {"all", {"--wrap", "--soft", "30", "--shift", "--visible-only", "--keep-lightness"},
         "+wrap+soft30+shift+visible+lightness",
         R"("wrap": true, "soft": 30, "shift": true, "visible-only": true, "keep-lightness": true)",
         {10, 20, 100, true, 30, true, true, true}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::vector<uint8_t> expected = Engine(c.Window);
        ASSERT_NE(expected, Engine({10, 20, 100})) << "the option must matter on this sprite";
        std::vector<std::string> flags = {"--source", "10", "--tolerance", "20", "--target", "100"};
        flags.insert(flags.end(), c.Flags.begin(), c.Flags.end());
        EXPECT_EQ(Output(flags), expected);
        EXPECT_EQ(Output({"--map", "10:20:100" + c.Suffix}), expected);
        WriteText(dir_.File("r.json"), R"({"source": 10, "tolerance": 20, "target": 100, )" + c.Fields + "}");
        EXPECT_EQ(Output({"--recipe", dir_.File("r.json")}), expected);
    }
}

// A dry run counts what the options change: with --visible-only, visible pixels only.
TEST_F(CliHueOptions, DryRunCountsWithTheOptions)
{
    for (const bool visibleOnly : {false, true}) {
        THueCounts counts;
        Engine({10, 20, 100, true, 20, false, visibleOnly}, &counts);
        std::vector<std::string> args = {"recolour", "--dry-run", "--json", "--map", "10:20:100", "--wrap", "--soft", "20"};
        if (visibleOnly) args.push_back("--visible-only");
        args.push_back(sprite_);
        const TCliRun run = RunCli(args);
        ASSERT_EQ(run.Status, 0) << run.Err;
        const nlohmann::json change = nlohmann::json::parse(run.Out)["outputs"][0]["changes"][0];
        EXPECT_EQ(change["altered"], counts.Altered) << visibleOnly;
    }
}

// A window cut at the wrap without --wrap is pointed out, once per run, and not with -q or --wrap.
TEST_F(CliHueOptions, HintAtTheWrapOncePerRun)
{
    const auto hints = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = {"recolour", "--dry-run", "--from-hue", "240", "--target", "0", "--map",
                                         "350:20:10"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {sprite_, sprite_});
        const std::string err = RunCli(args).Err;
        size_t count = 0;
        for (size_t at = err.find("hint:"); at != std::string::npos; at = err.find("hint:", at + 1)) ++count;
        return count;
    };
    EXPECT_EQ(hints({}), 1u);
    EXPECT_EQ(hints({"-q"}), 0u);
    EXPECT_EQ(hints({"--wrap"}), 0u);
}

} // namespace
} // namespace tintabrel::test
