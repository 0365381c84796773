// Command lines that make no sense: exit status 2, a one-line reason and where the usage is on
// standard error, and nothing written.
#include "tests/TestData.h"
#include "tests/app/cli/CliHarness.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tintabrel::test {
namespace {

namespace fs = std::filesystem;

class CliUsage : public ::testing::Test {
protected:
    void SetUp() override
    {
        TBitmap image;
        MakeSprite(image, 8, 8);
        input_ = dir_.File("in.png");
        second_ = dir_.File("second.bmp");
        WritePicture(input_, image);
        WritePicture(second_, image);
        fs::create_directory(dir_.Path() / "out");
        out_ = dir_.File("out");
    }

    // The run must fail as a usage error, say why in one line and where the usage is in another
    // (not the whole usage, which would bury the reason), and write nothing.
    void ExpectUsageError(const std::vector<std::string>& args, const std::string& reason)
    {
        const auto before = Listing();
        const TCliRun run = RunCli(args);
        EXPECT_EQ(run.Status, 2) << run.Err;
        const std::string firstLine = run.Err.substr(0, run.Err.find('\n'));
        EXPECT_TRUE(Contains(firstLine, reason)) << "first line: " << firstLine;
        const bool known = !args.empty() && (args[0] == "recolour" || args[0] == "convert" || args[0] == "info" ||
                                                args[0] == "palette");
        const std::string command = known ? args[0] + " " : "";
        EXPECT_EQ(run.Err.substr(firstLine.size()), "\nsee tintabrel-cli " + command + "--help\n") << run.Err;
        EXPECT_EQ(run.Out, "");
        EXPECT_EQ(Listing(), before) << "a usage error wrote a file";
    }

    std::vector<std::string> Listing() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(dir_.Path()))
            names.push_back(entry.path().string() + ":" + std::to_string(entry.is_regular_file() ? fs::file_size(entry) : 0));
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir dir_;
    std::string input_, second_, out_;
};

TEST_F(CliUsage, NoCommandAtAll) { ExpectUsageError({}, "subcommand"); }

// A misspelt command is answered with the one meant, as a misspelt option is.
TEST_F(CliUsage, UnknownCommand)
{
    const struct {
        const char* Typed;
        const char* Said;
    } cases[] = {
        {"paint", "unknown command 'paint' (recolour, convert, info or palette)"},
        {"recolor", "unknown command 'recolor' (did you mean recolour?)"},
        {"conver", "(did you mean convert?)"},
        {"inf", "(did you mean info?)"},
        {"Info", "(did you mean info?)"},
    };
    for (const auto& c : cases) ExpectUsageError({c.Typed, input_}, c.Said);
}

TEST_F(CliUsage, UnknownOption) { ExpectUsageError({"info", "--colour", input_}, "--colour"); }

TEST_F(CliUsage, RecolourNeedsSourceAndTarget)
{
    ExpectUsageError({"recolour", "--target", "120", "--out-dir", out_, input_}, "--source");
    ExpectUsageError({"recolour", "--source", "120", "--out-dir", out_, input_}, "--target");
}

TEST_F(CliUsage, SlidersOutsideTheirRanges)
{
    ExpectUsageError({"recolour", "--source", "361", "--target", "0", "--out-dir", out_, input_}, "--source");
    ExpectUsageError({"recolour", "--source", "0", "--target", "-1", "--out-dir", out_, input_}, "--target");
    ExpectUsageError({"recolour", "--source", "0", "--target", "0", "--tolerance", "37", "--out-dir", out_, input_},
                     "--tolerance");
    ExpectUsageError({"recolour", "--source", "0", "--target", "0", "--tolerance", "wide", "--out-dir", out_, input_},
                     "--tolerance");
    ExpectUsageError({"recolour", "--source", "12.5", "--target", "0", "--out-dir", out_, input_}, "--source");
}

TEST_F(CliUsage, BadPngOptionsAndFormat)
{
    ExpectUsageError({"recolour", "--source", "0", "--target", "0", "--png-level", "10", "--out-dir", out_, input_},
                     "--png-level");
    ExpectUsageError({"recolour", "--source", "0", "--target", "0", "--png-filter", "median", "--out-dir", out_, input_},
                     "--png-filter");
    ExpectUsageError({"recolour", "--source", "0", "--target", "0", "--format", "tga", "--out-dir", out_, input_},
                     "--format");
    ExpectUsageError({"convert", "--png-level", "-2", input_, dir_.File("x.png")}, "--png-level");
    // Names only: numbers are not the documented values (PNG's own numbering would read 0 as none).
    for (const auto& [option, value] : std::vector<std::pair<std::string, std::string>>{
             {"--png-filter", "0"}, {"--png-filter", "1"}, {"--format", "2"}, {"--format", "jpg"}}) {
        ExpectUsageError({"convert", option, value, input_, dir_.File("x.png")}, option + ": '" + value + "' is not one of");
        const TCliRun run = RunCli({"convert", option, value, input_, dir_.File("x.png")});
        EXPECT_FALSE(Contains(run.Err, "->")) << "the parser's internals: " << run.Err;
    }
    ExpectUsageError({"convert", "--png-filter", "0", input_, dir_.File("x.png")}, "none, sub, up, average, paeth, adaptive");
    // A near miss is named.
    ExpectUsageError({"recolour", "--sorce", "0", "--target", "0", "--out-dir", out_, input_}, "did you mean --source?");
}

TEST_F(CliUsage, RecolourNeedsExactlyOneOutputChoice)
{
    ExpectUsageError({"recolour", "--source", "0", "--target", "0", input_}, "-o OUTPUT or --out-dir");
    ExpectUsageError({"recolour", "--source", "0", "--target", "0", "-o", dir_.File("a.png"), "--out-dir", out_, input_},
                     "excludes");
}

TEST_F(CliUsage, OneOutputFileForSeveralInputs)
{
    ExpectUsageError({"recolour", "--source", "0", "--target", "0", "-o", dir_.File("a.png"), input_, second_},
                     "exactly one input");
}

TEST_F(CliUsage, OutputFormatUnknownOrContradicted)
{
    ExpectUsageError({"recolour", "--source", "0", "--target", "0", "-o", dir_.File("a.tga"), input_}, "a.tga");
    ExpectUsageError({"recolour", "--source", "0", "--target", "0", "-o", dir_.File("a.png"), "--format", "bmp", input_},
                     "contradicts");
    ExpectUsageError({"convert", input_, dir_.File("a.jpg")}, "a.jpg");
}

TEST_F(CliUsage, OutputFolderThatIsAFile)
{
    ExpectUsageError({"recolour", "--source", "0", "--target", "0", "--out-dir", input_, input_}, "not a folder");
}

TEST_F(CliUsage, StandardStreamsNeedWhatTheyLack)
{
    // Standard input has no name to name an output.
    ExpectUsageError({"recolour", "--source", "0", "--target", "0", "--out-dir", out_, "-"}, "-o OUTPUT");
    // Standard output without --format writes the input's format.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"recolour", "--source", "0", "--target", "0", "-o", "-", input_},
          std::vector<std::string>{"convert", input_, "-"}}) {
        const TCliRun run = RunCli(args);
        EXPECT_EQ(run.Status, 0) << run.Err;
        EXPECT_EQ(run.Out.substr(0, 4), std::string("\x89PNG", 4));
    }
}

// A picture's bytes are not sent to a terminal (they would garble it, and could drive it); into a
// pipe they go as before (StandardStreamsNeedWhatTheyLack).
TEST_F(CliUsage, PictureBytesAreNotWrittenToATerminal)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"recolour", "--source", "0", "--target", "0", "-o", "-", input_},
          std::vector<std::string>{"convert", input_, "-"}}) {
        const TTerminalRun run = RunCliOnATerminal(args);
        ASSERT_TRUE(run.Started) << "no pseudo-terminal to be had";
        EXPECT_EQ(run.Status, 2) << run.Err;
        EXPECT_TRUE(Contains(run.Err, "standard output is a terminal")) << run.Err;
        EXPECT_EQ(run.Screen, "") << "picture bytes reached the terminal";
    }
}

TEST_F(CliUsage, MaxPixelsOnlyLowersTheLimit)
{
    ExpectUsageError({"convert", "--max-pixels", "0", input_, dir_.File("x.png")}, "--max-pixels");
    ExpectUsageError({"convert", "--max-pixels", "268435457", input_, dir_.File("x.png")}, "--max-pixels");
    ExpectUsageError({"recolour", "--source", "0", "--target", "0", "--max-pixels", "many", "--out-dir", out_, input_},
                     "--max-pixels");
}

TEST_F(CliUsage, NoWorkersIsNotAChoice)
{
    ExpectUsageError({"recolour", "--source", "0", "--target", "0", "-j", "0", "--out-dir", out_, input_}, "-j");
}

TEST_F(CliUsage, ProtectedListThatCannotBeRead)
{
    ExpectUsageError(
        {"recolour", "--source", "0", "--target", "0", "--list", dir_.File("nolist.dat"), "--out-dir", out_, input_},
        "--list");
}

TEST_F(CliUsage, TwoInputsForOneOutputFile)
{
    // in.png and a copy of it in another folder would both become out/in.png.
    fs::create_directory(dir_.Path() / "other");
    fs::copy_file(input_, dir_.Path() / "other" / "in.png");
    ExpectUsageError({"recolour", "--source", "0", "--target", "0", "--out-dir", out_, input_, dir_.File("other/in.png")},
                     "would both be written to");
    // in.png and second.bmp both become out/... once the format gives them one extension: not
    // here, but a file named twice is the same clash.
    ExpectUsageError({"recolour", "--source", "0", "--target", "0", "--out-dir", out_, input_, input_},
                     "would both be written to");
}

TEST_F(CliUsage, MissingOperands)
{
    ExpectUsageError({"recolour", "--source", "0", "--target", "0", "--out-dir", out_}, "INPUT");
    ExpectUsageError({"convert", input_}, "OUTPUT");
    ExpectUsageError({"info"}, "INPUT");
    ExpectUsageError({"palette"}, "INPUT");
    ExpectUsageError({"palette", input_, input_}, "palette takes one INPUT");
}

TEST(CliHelp, HelpAndVersionGoToStandardOutput)
{
    const TCliRun help = RunCli({"--help"});
    EXPECT_EQ(help.Status, 0);
    EXPECT_TRUE(Contains(help.Out, "recolour"));
    EXPECT_TRUE(Contains(help.Out, "convert"));
    EXPECT_TRUE(Contains(help.Out, "info"));

    const TCliRun sub = RunCli({"recolour", "--help"});
    EXPECT_EQ(sub.Status, 0);
    EXPECT_TRUE(Contains(sub.Out, "--tolerance"));

    // The palette command takes one input and writes a palette file, never a picture to a pipe.
    const TCliRun palette = RunCli({"palette", "--help"});
    EXPECT_EQ(palette.Status, 0);
    EXPECT_TRUE(Contains(palette.Out, "palette [OPTIONS] INPUT\n")) << palette.Out;
    EXPECT_TRUE(Contains(palette.Out, "palette file to write")) << palette.Out;
    EXPECT_FALSE(Contains(palette.Out, "- for standard output")) << palette.Out;

    const TCliRun version = RunCli({"--version"});
    EXPECT_EQ(version.Status, 0);
    EXPECT_TRUE(Contains(version.Out, "tintabrel-cli "));
}

} // namespace
} // namespace tintabrel::test
