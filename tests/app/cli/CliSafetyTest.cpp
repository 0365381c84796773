// Nothing the user has is lost: an input is never written over, an existing output only with
// --overwrite.
#include "tests/TestData.h"
#include "tests/app/cli/CliHarness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace tintabrel::test {
namespace {

namespace fs = std::filesystem;

class CliSafety : public ::testing::Test {
protected:
    void SetUp() override
    {
        TBitmap image;
        MakeSprite(image, 10, 10);
        input_ = dir_.File("in.png");
        WritePicture(input_, image);
        original_ = ReadFileBytes(input_);
    }

    TCliRun Recolour(std::vector<std::string> tail)
    {
        std::vector<std::string> args{"recolour", "--source", "0", "--tolerance", "36", "--target", "180"};
        args.insert(args.end(), tail.begin(), tail.end());
        return RunCli(args);
    }

    TempDir dir_;
    std::string input_;
    std::vector<unsigned char> original_;
};

TEST_F(CliSafety, OutputThatIsTheInputIsRefusedEvenWithOverwrite)
{
    for (const std::string& spelling : {input_, dir_.Path().string() + "/./sub/../in.png"}) {
        fs::create_directories(dir_.Path() / "sub");
        for (bool overwrite : {false, true}) {
            std::vector<std::string> args{"-o", spelling, input_};
            if (overwrite) args.push_back("--overwrite");
            const TCliRun run = Recolour(args);
            EXPECT_EQ(run.Status, 1) << spelling;
            EXPECT_TRUE(Contains(run.Err, input_ + ": ")) << run.Err;
            EXPECT_TRUE(Contains(run.Err, "is an input")) << run.Err;
            EXPECT_EQ(ReadFileBytes(input_), original_);
        }
    }
    const TCliRun convert = RunCli({"convert", "--overwrite", input_, input_});
    EXPECT_EQ(convert.Status, 1);
    EXPECT_EQ(ReadFileBytes(input_), original_);
}

// A full disk (here a file size limit the tool inherits): the write error is reported for the
// file, and the existing output stays as it was, with no temporary file left beside it.
TEST_F(CliSafety, AFailingWriteLeavesTheExistingOutputUntouched)
{
    TBitmap big;
    MakeSprite(big, 300, 300);
    const std::string source = dir_.File("big.png");
    WritePicture(source, big);
    const std::string output = dir_.File("out.bmp");
    const std::vector<unsigned char> old = {'k', 'e', 'e', 'p'};
    WriteFileBytes(output, old);

    // The 300 x 300 BMP needs 270 kB.
    const TCliRun run = RunCliWithFileSizeLimit({"convert", "--overwrite", source, output}, 20000);

    EXPECT_EQ(run.Status, 1) << run.Err;
    EXPECT_TRUE(Contains(run.Err, "ストリームへの書き込みエラー")) << run.Err;
    EXPECT_EQ(ReadFileBytes(output), old);
    int files = 0;
    for (const auto& e : fs::directory_iterator(dir_.Path())) files += e.is_regular_file();
    EXPECT_EQ(files, 3) << "in.png, big.png and out.bmp only";
}

TEST_F(CliSafety, OutputThatIsAnotherNameOfTheInputIsRefused)
{
    fs::create_directory(dir_.Path() / "out");
    // A hard link and a symbolic link in the output folder both reach the input's bytes.
    ASSERT_EQ(::link(input_.c_str(), dir_.File("out/in.png").c_str()), 0);
    ASSERT_EQ(::symlink(input_.c_str(), dir_.File("out/copy.png").c_str()), 0);
    fs::copy_file(input_, dir_.File("copy.png"));
    const TCliRun run = Recolour({"--overwrite", "--out-dir", dir_.File("out"), input_, dir_.File("copy.png")});
    EXPECT_EQ(run.Status, 1);
    EXPECT_TRUE(Contains(run.Err, input_ + ": ")) << run.Err;
    EXPECT_EQ(ReadFileBytes(input_), original_);
}

TEST_F(CliSafety, OutputThatIsAnotherInputOfTheBatchIsRefused)
{
    // src/a.png would be written to out/a.png, which is a second name of the batch's in.png.
    fs::create_directories(dir_.Path() / "src");
    fs::create_directories(dir_.Path() / "out");
    TBitmap image;
    MakeSprite(image, 3, 3);
    WritePicture(dir_.File("src/a.png"), image);
    ASSERT_EQ(::link(input_.c_str(), dir_.File("out/a.png").c_str()), 0);
    const TCliRun run = Recolour({"--overwrite", "--out-dir", dir_.File("out"), dir_.File("src/a.png"), input_});
    EXPECT_EQ(run.Status, 1);
    EXPECT_TRUE(Contains(run.Err, dir_.File("src/a.png") + ": ")) << run.Err;
    EXPECT_EQ(ReadFileBytes(input_), original_);
    EXPECT_TRUE(fs::exists(dir_.File("out/in.png")));
}

TEST_F(CliSafety, ExistingOutputNeedsOverwrite)
{
    const std::string out = dir_.File("out.png");
    WriteFileBytes(out, {'k', 'e', 'e', 'p'});
    const TCliRun refused = Recolour({"-o", out, input_});
    EXPECT_EQ(refused.Status, 1);
    EXPECT_TRUE(Contains(refused.Err, input_ + ": ")) << refused.Err;
    EXPECT_TRUE(Contains(refused.Err, "--overwrite")) << refused.Err;
    EXPECT_EQ(ReadFileBytes(out), (std::vector<unsigned char>{'k', 'e', 'e', 'p'}));

    const TCliRun convertRefused = RunCli({"convert", input_, out});
    EXPECT_EQ(convertRefused.Status, 1);
    EXPECT_EQ(ReadFileBytes(out), (std::vector<unsigned char>{'k', 'e', 'e', 'p'}));

    const TCliRun allowed = Recolour({"--overwrite", "-o", out, input_});
    EXPECT_EQ(allowed.Status, 0) << allowed.Err;
    TPictureData data;
    ReadPicture(out, data);
    EXPECT_EQ(data.Image.Width(), 10);
    EXPECT_EQ(ReadFileBytes(input_), original_);
}

TEST_F(CliSafety, OnlyTheExistingOutputsOfABatchAreRefused)
{
    fs::create_directory(dir_.Path() / "out");
    TBitmap image;
    MakeSprite(image, 4, 4);
    WritePicture(dir_.File("second.png"), image);
    WriteFileBytes(dir_.File("out/in.png"), {'o', 'l', 'd'});
    const TCliRun run = Recolour({"-q", "--out-dir", dir_.File("out"), input_, dir_.File("second.png")});
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(ReadFileBytes(dir_.File("out/in.png")), (std::vector<unsigned char>{'o', 'l', 'd'}));
    EXPECT_TRUE(fs::exists(dir_.File("out/second.png")));
}

TEST_F(CliSafety, OutputFolderAsOutputFileIsRefused)
{
    fs::create_directory(dir_.Path() / "d.png");
    const TCliRun run = Recolour({"--overwrite", "-o", dir_.File("d.png"), input_});
    EXPECT_EQ(run.Status, 1);
    EXPECT_TRUE(fs::is_directory(dir_.File("d.png")));
}

} // namespace
} // namespace tintabrel::test

namespace tintabrel::test {
namespace {

TEST(CliInterrupt, FilesInProgressFinishAndNoTemporaryFileIsLeft)
{
    TempDir dir;
    TBitmap image;
    MakeSprite(image, 300, 200);
    fs::create_directory(dir.Path() / "out");
    std::vector<std::string> args{"recolour", "--source", "0", "--tolerance", "36", "--target", "180", "-j", "2",
                                  "--png-level", "9", "--png-filter", "adaptive", "--out-dir", dir.File("out")};
    for (int k = 0; k < 40; ++k) {
        std::string base = "s"; // built step by step: GCC 12 warns falsely on "s" + ... + ".png" at -O3
        base += std::to_string(k);
        base += ".png";
        const std::string name = dir.File(base);
        WritePicture(name, image);
        args.push_back(name);
    }
    // Signalled once the first file is being written (the outputs of a batch take their names
    // together, at the end).
    const TCliRun run = RunCliInterrupted(args, SIGINT, [&] {
        for (const auto& entry : fs::directory_iterator(dir.File("out")))
            if (Contains(entry.path().filename().string(), ".tmp-")) return true;
        return false;
    });
    // Either the signal came before the end and the tool ended by it, or the work was done.
    if (run.Signal == 0) {
        EXPECT_EQ(run.Status, 0) << run.Err;
    } else {
        EXPECT_EQ(run.Signal, SIGINT);
        EXPECT_TRUE(Contains(run.Err, "interrupted")) << run.Err;
    }

    int outputs = 0;
    for (const auto& entry : fs::directory_iterator(dir.File("out"))) {
        const std::string name = entry.path().filename().string();
        EXPECT_FALSE(Contains(name, ".tmp-")) << "left behind: " << name;
        TPictureData data;
        ReadPicture(entry.path().string(), data);
        EXPECT_EQ(data.Image.Width(), 300) << name;
        EXPECT_EQ(data.Image.Height(), 200) << name;
        ++outputs;
    }
    EXPECT_GE(outputs, 1);
}

} // namespace
} // namespace tintabrel::test
