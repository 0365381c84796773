// The tool in a build pipeline: inputs that cannot seek, standard input and output, limits on the
// file size, long names, output folders made on demand, and signals.
#include "tests/TestData.h"
#include "tests/app/cli/CliHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tintabrel::test {
namespace {

// What a written file holds, colours and alpha: two runs write different tIME chunks.
std::vector<uint8_t> PictureOf(const std::string& path)
{
    TPictureData data;
    ReadPicture(path, data);
    std::vector<uint8_t> picture = RgbBytes(data.Image);
    if (data.HasAlpha()) {
        const std::vector<uint8_t> alpha = RgbBytes(data.Alpha);
        picture.insert(picture.end(), alpha.begin(), alpha.end());
    }
    return picture;
}

namespace fs = std::filesystem;

const std::vector<std::string> Recolour{"recolour", "--source", "0", "--tolerance", "36", "--target", "180"};

std::vector<std::string> Args(std::vector<std::string> head, const std::vector<std::string>& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

std::string Text(const std::vector<unsigned char>& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::vector<std::string> TemporaryFiles(const fs::path& dir)
{
    std::vector<std::string> left;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (Contains(entry.path().filename().string(), ".tmp-")) left.push_back(entry.path().string());
    return left;
}

// A FIFO that a thread fills with bytes once the tool opens it. Should the tool never open it,
// the thread is released at the end by opening the reading side here.
class TFifoInput {
public:
    TFifoInput(std::string path, std::string bytes) : path_(std::move(path))
    {
        if (::mkfifo(path_.c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
        writer_ = std::thread([this, bytes = std::move(bytes)] {
            const int fd = ::open(path_.c_str(), O_WRONLY);
            if (fd < 0) return;
            size_t done = 0;
            while (done < bytes.size()) {
                const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            ::close(fd);
        });
    }
    ~TFifoInput()
    {
        const int release = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK);
        writer_.join();
        if (release >= 0) ::close(release);
    }

private:
    std::string path_;
    std::thread writer_;
};

class CliPipeline : public ::testing::Test {
protected:
    void SetUp() override
    {
        TBitmap image, alpha;
        MakeSprite(image, 24, 16);
        MakeAlpha(alpha, 24, 16);
        png_ = dir_.File("in.png");
        bmp_ = dir_.File("in.bmp");
        WritePicture(png_, image, alpha);
        WritePicture(bmp_, image);
        ::signal(SIGPIPE, SIG_IGN); // the FIFO writers may find the tool gone
    }

    TempDir dir_;
    std::string png_, bmp_;
};

TEST_F(CliPipeline, FifoInputsGiveWhatFilesGive)
{
    for (const std::string& input : {png_, bmp_}) {
        const std::string ext = ExtractExtension(input);
        const std::string fromFile = dir_.File("file" + ext);
        ASSERT_EQ(RunCli(Args(Recolour, {"-o", fromFile, input})).Status, 0);

        // Named as a picture, and without a name that tells the kind (process substitution).
        for (const std::string& fifoName : {"fifo" + ext, std::string("fifo")}) {
            const std::string fifo = dir_.File(fifoName);
            const std::string fromFifo = dir_.File("from-fifo" + ext);
            {
                TFifoInput feed(fifo, Text(ReadFileBytes(input)));
                const TCliRun run = RunCli(Args(Recolour, {"-o", fromFifo, fifo}));
                EXPECT_EQ(run.Status, 0) << fifoName << ": " << run.Err;
            }
            EXPECT_EQ(PictureOf(fromFifo), PictureOf(fromFile)) << fifoName;
            fs::remove(fifo);
            fs::remove(fromFifo);
        }
    }
}

TEST_F(CliPipeline, PipedListGivesWhatTheListFileGives)
{
    // Protects a colour that the recolouring changes, so that the list changes the result.
    ASSERT_EQ(RunCli(Args(Recolour, {"-o", dir_.File("c.png"), png_})).Status, 0);
    TPictureData before, after;
    ReadPicture(png_, before);
    ReadPicture(dir_.File("c.png"), after);
    const std::vector<uint8_t> in = RgbBytes(before.Image), out = RgbBytes(after.Image);
    size_t k = 0;
    while (k + 3 <= in.size() && std::equal(in.begin() + k, in.begin() + k + 3, out.begin() + k)) k += 3;
    ASSERT_LT(k, in.size()) << "the recolouring changed nothing";
    char colour[16];
    std::snprintf(colour, sizeof colour, "$00%02X%02X%02X", in[k + 2], in[k + 1], in[k]);
    const std::string list = std::string("clWhite\r\n") + colour + "\r\n";
    WriteFileBytes(dir_.File("list.dat"), std::vector<unsigned char>(list.begin(), list.end()));

    const TCliRun fromFile = RunCli(Args(Recolour, {"--list", dir_.File("list.dat"), "-o", dir_.File("a.png"), png_}));
    const TCliRun piped = RunCliPiped(Args(Recolour, {"--list", "/dev/stdin", "-o", dir_.File("b.png"), png_}), list);
    ASSERT_EQ(fromFile.Status, 0) << fromFile.Err;
    ASSERT_EQ(piped.Status, 0) << piped.Err;
    EXPECT_EQ(PictureOf(dir_.File("b.png")), PictureOf(dir_.File("a.png")));
    EXPECT_NE(PictureOf(dir_.File("c.png")), PictureOf(dir_.File("a.png")));
}

TEST_F(CliPipeline, StandardInputAndOutputRoundTrip)
{
    for (const std::string& input : {png_, bmp_}) {
        for (const char* format : {"png", "bmp"}) {
            const std::string file = dir_.File(std::string("file.") + format);
            fs::remove(file);
            ASSERT_EQ(RunCli(Args(Recolour, {"-o", file, input})).Status, 0);
            const TCliRun recoloured = RunCliPiped(Args(Recolour, {"--format", format, "-o", "-", "-"}), Text(ReadFileBytes(input)));
            EXPECT_EQ(recoloured.Status, 0) << recoloured.Err;
            // The same file but for the time each run wrote into it.
            const std::string piped = dir_.File(std::string("piped.") + format);
            WriteFileBytes(piped, std::vector<unsigned char>(recoloured.Out.begin(), recoloured.Out.end()));
            EXPECT_EQ(recoloured.Out.size(), ReadFileBytes(file).size()) << input << " as " << format;
            EXPECT_EQ(PictureOf(piped), PictureOf(file)) << input << " as " << format;

            // convert from a pipe to a pipe, read back: the same pixels as the file.
            const TCliRun converted = RunCliPiped({"convert", "--format", format, "-", "-"}, Text(ReadFileBytes(input)));
            EXPECT_EQ(converted.Status, 0) << converted.Err;
            const std::string back = dir_.File(std::string("back.") + format);
            WriteFileBytes(back, std::vector<unsigned char>(converted.Out.begin(), converted.Out.end()));
            TPictureData original, again;
            ReadPicture(input, original);
            ReadPicture(back, again);
            EXPECT_EQ(RgbBytes(again.Image), RgbBytes(original.Image)) << input << " as " << format;
        }
    }
    // Nothing on standard input is no picture.
    const TCliRun empty = RunCliPiped({"convert", "--format", "png", "-", "-"}, "");
    EXPECT_EQ(empty.Status, 1);
    EXPECT_EQ(empty.Out, "");
}

TEST_F(CliPipeline, FileSizeLimitFailsTheBigFileAndTheBatchGoesOn)
{
    TBitmap big;
    MakeSprite(big, 300, 300);
    const std::string bigInput = dir_.File("big.png");
    WritePicture(bigInput, big);
    const std::string out = dir_.File("out");

    // The 300 x 300 BMP needs 270 kB, the small one 1.2 kB.
    const TCliRun run = RunCliWithFileSizeLimit(Args(Recolour, {"-j", "1", "--format", "bmp", "--out-dir", out, bigInput, png_}), 20000);

    EXPECT_EQ(run.Signal, 0);
    EXPECT_EQ(run.Status, 1) << run.Err;
    EXPECT_TRUE(Contains(run.Err, bigInput + ": cannot write " + out + "/big.bmp")) << run.Err;
    EXPECT_TRUE(Contains(run.Err, "file-size limit")) << run.Err;
    EXPECT_FALSE(fs::exists(out + "/big.bmp"));
    TPictureData data;
    ReadPicture(out + "/in.bmp", data);
    EXPECT_EQ(data.Image.Width(), 24);
    EXPECT_EQ(TemporaryFiles(dir_.Path()), std::vector<std::string>{});
}

TEST_F(CliPipeline, OutputNamesUpToTheNameLimitWork)
{
    for (const size_t length : {size_t{250}, size_t{255}}) {
        const std::string name = std::string(length - 4, 'n') + ".png";
        const TCliRun single = RunCli(Args(Recolour, {"-o", dir_.File(name), png_}));
        EXPECT_EQ(single.Status, 0) << length << ": " << single.Err;
        EXPECT_TRUE(fs::exists(dir_.File(name))) << length;

        // The same name as an input of a batch, whose outputs take their names together.
        const std::string batchDir = dir_.File("batch" + std::to_string(length));
        const TCliRun batch = RunCli(Args(Recolour, {"--out-dir", batchDir, dir_.File(name), bmp_}));
        EXPECT_EQ(batch.Status, 0) << length << ": " << batch.Err;
        EXPECT_TRUE(fs::exists(batchDir + "/" + name)) << length;
    }
    EXPECT_EQ(TemporaryFiles(dir_.Path()), std::vector<std::string>{});
}

TEST_F(CliPipeline, MissingOutputFolderIsCreated)
{
    const std::string out = dir_.File("made/deeper/out");
    const TCliRun run = RunCli(Args(Recolour, {"--out-dir", out, png_, bmp_}));
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_TRUE(fs::exists(out + "/in.png"));
    EXPECT_TRUE(fs::exists(out + "/in.bmp"));

    // A folder that cannot be made is a failure of the run, not a usage error.
    fs::create_directories(dir_.Path() / "locked");
    fs::permissions(dir_.Path() / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    const bool enforced = ::access(dir_.File("locked").c_str(), W_OK) != 0; // not when run as root
    const TCliRun refused = RunCli(Args(Recolour, {"--out-dir", dir_.File("locked/out"), png_, bmp_}));
    fs::permissions(dir_.Path() / "locked", fs::perms::owner_all);
    if (enforced) {
        EXPECT_EQ(refused.Status, 1) << refused.Err;
        EXPECT_TRUE(Contains(refused.Err, "locked/out")) << refused.Err;
    }
}

TEST_F(CliPipeline, ControlCharactersInPathsAreShownEscaped)
{
    const TCliRun run = RunCli({"convert", dir_.File("bad\x1b[2J\nname.png"), dir_.File("x.png")});
    EXPECT_EQ(run.Status, 1);
    EXPECT_TRUE(Contains(run.Err, "bad\\x1b[2J\\nname.png")) << run.Err;
    EXPECT_FALSE(Contains(run.Err, "\x1b")) << run.Err;
}

// The first output of a batch waits, written, for the batch's common sync; the second input is a
// FIFO whose writer never writes, so the tool cannot finish it. The signal comes only once the
// tool reads the FIFO: a file not started at the first signal is never started, so signalling
// earlier would test nothing. No temporary file may survive the stop.
class CliStop : public CliPipeline {
protected:
    void SetUp() override
    {
        CliPipeline::SetUp();
        out_ = dir_.File("out");
        fs::create_directories(out_);
        fifo_ = dir_.File("stuck.png");
        ASSERT_EQ(::mkfifo(fifo_.c_str(), 0600), 0);
    }
    void TearDown() override
    {
        if (writer_ >= 0) ::close(writer_);
        // in.png may have taken its name: a file that finishes after the first signal is kept.
        // The stuck one never does, and no temporary file survives the stop.
        EXPECT_EQ(TemporaryFiles(dir_.Path()), std::vector<std::string>{});
        EXPECT_FALSE(fs::exists(out_ + "/stuck.png")) << "the file that could not finish took its name";
    }
    std::vector<std::string> Stuck() const { return Args(Recolour, {"-j", "1", "--out-dir", out_, png_, fifo_}); }
    // in.png written and the FIFO open for reading: a writer's open without waiting succeeds only
    // then. The writer stays open and silent, so the tool's read waits for good.
    bool StuckInProgress()
    {
        if (TemporaryFiles(out_).empty()) return false;
        if (writer_ < 0) writer_ = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        return writer_ >= 0;
    }

    std::string out_, fifo_;
    int writer_ = -1;
};

TEST_F(CliStop, ASecondSignalStopsAtOnceAndRemovesTheTemporaryFiles)
{
    const TCliRun run = RunCliSignalled(Stuck(), {{[&](const std::string&) { return StuckInProgress(); }, SIGINT},
                                                  {[](const std::string& err) { return Contains(err, "interrupted"); }, SIGTERM}});
    EXPECT_EQ(run.Signal, SIGTERM) << run.Err;
    EXPECT_TRUE(Contains(run.Err, "stopped")) << run.Err;
}

TEST_F(CliStop, AFileThatCannotFinishKeepsTheToolAliveOnlyForAWhile)
{
    const TCliRun run = RunCliSignalled(Stuck(), {{[&](const std::string&) { return StuckInProgress(); }, SIGHUP}});
    EXPECT_EQ(run.Signal, SIGHUP) << run.Err;
    // The file finished before the signal was committed at the signal, though the stuck one made
    // the grace run out.
    EXPECT_TRUE(fs::exists(out_ + "/in.png")) << run.Err;
}

} // namespace
} // namespace tintabrel::test
