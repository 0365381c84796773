// The tool inside an asset build: inputs that are pipes feeding several outputs, folder trees
// mirrored, incremental runs, replacing inputs in place, and a report a script can read.
#include "tests/TestData.h"
#include "tests/Sanitizers.h"
#include "tests/app/cli/CliHarness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sys/wait.h>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <thread>

namespace tintabrel::test {
namespace {

namespace fs = std::filesystem;

std::string Text(const std::vector<unsigned char>& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::vector<uint8_t> PictureOf(const std::string& path)
{
    TPictureData data;
    ReadPicture(path, data);
    return RgbBytes(data.Image);
}

std::vector<std::string> Files(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file()) names.push_back(entry.path().lexically_relative(dir).string());
    std::sort(names.begin(), names.end());
    return names;
}

class CliAssetBuild : public ::testing::Test {
protected:
    void SetUp() override
    {
        TBitmap image, alpha;
        MakeSprite(image, 20, 12);
        MakeAlpha(alpha, 20, 12);
        sprite_ = dir_.File("sprite.png");
        WritePicture(sprite_, image, alpha);
        ::signal(SIGPIPE, SIG_IGN);
    }

    // A second, opaque sprite beside the first: other.png.
    std::string OtherSprite()
    {
        TBitmap image;
        MakeSprite(image, 9, 9);
        WritePicture(dir_.File("other.png"), image);
        return dir_.File("other.png");
    }

    TempDir dir_;
    std::string sprite_;
};

// An input that cannot be read twice feeds every output it has: standard input and a FIFO, with
// one and two jobs (a FIFO read once per output used to hang with one job).
TEST_F(CliAssetBuild, APipeInputFeedsEveryVariant)
{
    const std::vector<std::string> variants = {"--variant", "a=h0:30:120", "--variant", "b=h0:30:240"};
    std::vector<std::string> args = {"recolour"};
    args.insert(args.end(), variants.begin(), variants.end());
    const std::string fromFile = dir_.File("from-file");
    args.insert(args.end(), {"--out-dir", fromFile, sprite_});
    ASSERT_EQ(RunCli(args).Status, 0);

    for (const char* jobs : {"1", "2"}) {
        SCOPED_TRACE(std::string("-j ") + jobs);
        const std::string fifo = dir_.File("sprite.png");
        fs::rename(sprite_, dir_.File("sprite.keep"));
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        const std::string bytes = Text(ReadFileBytes(dir_.File("sprite.keep")));
        std::thread writer([&] {
            const int fd = ::open(fifo.c_str(), O_WRONLY);
            if (fd < 0) return;
            for (size_t done = 0; done < bytes.size();) {
                const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            ::close(fd);
        });
        std::vector<std::string> run = {"recolour", "-j", jobs};
        run.insert(run.end(), variants.begin(), variants.end());
        const std::string out = dir_.File(std::string("from-fifo-") + jobs);
        run.insert(run.end(), {"--out-dir", out, fifo});
        const TCliRun r = RunCli(run);
        const int release = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK); // should the tool not have read it
        writer.join();
        if (release >= 0) ::close(release);
        fs::remove(fifo);
        fs::rename(dir_.File("sprite.keep"), sprite_);
        ASSERT_EQ(r.Status, 0) << r.Err;
        for (const char* name : {"a", "b"})
            EXPECT_EQ(PictureOf(out + "/sprite_" + name + ".png"), PictureOf(fromFile + "/sprite_" + name + ".png"))
                << name;
    }
}

// -r walks folders for .png and .bmp files in any letter case; --out-dir mirrors the tree, so
// files of one name in different folders are all written.
TEST_F(CliAssetBuild, RecursiveRunMirrorsTheTree)
{
    const fs::path in = dir_.Path() / "in";
    for (const char* folder : {"enemies/orcs", "heroes"}) fs::create_directories(in / folder);
    TBitmap image;
    MakeSprite(image, 8, 8);
    for (const char* name : {"enemies/orc.png", "enemies/orcs/orc.png", "heroes/orc.PNG", "heroes/tile.bmp", "top.png"})
        WritePicture((in / name).string(), image);
    WriteFileBytes((in / "heroes/notes.txt").string(), {'x'}); // not a picture by its name: left alone

    const fs::path out = dir_.Path() / "out";
    const TCliRun run =
        RunCli({"recolour", "-r", "--from-hue", "0", "--target", "200", "--out-dir", out.string(), in.string()});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(Files(out), (std::vector<std::string>{"enemies/orc.png", "enemies/orcs/orc.png", "heroes/orc.PNG",
                                                    "heroes/tile.bmp", "top.png"}));
    EXPECT_EQ(PictureOf((out / "enemies/orcs/orc.png").string()), PictureOf((out / "top.png").string()));

    // Without -r a folder is refused, and says how to walk it.
    const TCliRun flat = RunCli({"recolour", "--from-hue", "0", "--target", "200", "--out-dir",
                                 (dir_.Path() / "flat").string(), in.string()});
    EXPECT_EQ(flat.Status, 1);
    EXPECT_TRUE(Contains(flat.Err, "-r walks it")) << flat.Err;
}

// convert over a folder tree, as an asset build optimizes its sprites: one run on several jobs
// writes the bytes that converting each file alone writes, mirrored below --out-dir; --in-place
// rewrites the inputs; the two-word form still names the output; info -r walks the same tree.
TEST_F(CliAssetBuild, ConvertRunsOverATree)
{
    const fs::path in = dir_.Path() / "in";
    fs::create_directories(in / "enemies/orcs");
    TBitmap image, alpha;
    MakeSprite(image, 12, 10);
    MakeAlpha(alpha, 12, 10);
    WritePicture((in / "enemies/orc.png").string(), image, alpha);
    WritePicture((in / "enemies/orcs/orc.png").string(), image);
    WritePicture((in / "tile.bmp").string(), image);
    const std::vector<std::string> names{"enemies/orc.png", "enemies/orcs/orc.png", "tile.bmp"};

    const fs::path out = dir_.Path() / "out";
    const TCliRun run = RunCli({"convert", "-r", "-j", "2", "--optimize", "--strip", "--out-dir", out.string(), in.string()});
    ASSERT_EQ(run.Status, 0) << run.Err;
    ASSERT_EQ(Files(out), names);
    for (const std::string& name : names) {
        const std::string alone = dir_.File("alone-" + fs::path(name).filename().string());
        fs::remove(alone);
        ASSERT_EQ(RunCli({"convert", "--optimize", "--strip", (in / name).string(), alone}).Status, 0);
        EXPECT_EQ(ReadFileBytes((out / name).string()), ReadFileBytes(alone)) << name;
    }

    const std::string copy = dir_.File("copy.png");
    fs::copy_file(in / "enemies/orc.png", copy);
    ASSERT_EQ(RunCli({"convert", "--in-place", "--optimize", "--strip", copy}).Status, 0);
    EXPECT_EQ(ReadFileBytes(copy), ReadFileBytes((out / "enemies/orc.png").string()));

    const TCliRun json = RunCli({"info", "-r", "--json", in.string()});
    ASSERT_EQ(json.Status, 0) << json.Err;
    std::vector<std::string> described;
    std::istringstream lines(json.Out);
    for (std::string line; std::getline(lines, line);)
        described.push_back(fs::path(nlohmann::json::parse(line).at("file").get<std::string>()).lexically_relative(in).string());
    EXPECT_EQ(described, names);

    const struct {
        std::vector<std::string> Args;
        const char* Says;
    } usage[] = {
        {{"convert", sprite_}, "convert takes INPUT OUTPUT"},
        {{"convert", sprite_, sprite_, dir_.File("x.png")}, "convert takes INPUT OUTPUT"},
        {{"convert", "-r", in.string(), dir_.File("x.png")}, "-r needs --out-dir"},
        {{"convert", "-o", dir_.File("x.png"), sprite_, sprite_}, "-o takes exactly one input"},
    };
    for (const auto& u : usage) {
        const TCliRun r = RunCli(u.Args);
        EXPECT_EQ(r.Status, 2) << u.Says;
        EXPECT_TRUE(Contains(r.Err, u.Says)) << r.Err;
    }
    EXPECT_FALSE(fs::exists(dir_.File("x.png")));
}

// --update: a second run over a finished batch writes nothing and succeeds; an input touched
// since, or a newer recipe or list, makes its outputs again.
TEST_F(CliAssetBuild, UpdateRedoesOnlyWhatIsOutOfDate)
{
    const std::string other = OtherSprite();
    const std::string list = dir_.File("list.dat");
    WriteFileBytes(list, {'c', 'l', 'R', 'e', 'd', '\r', '\n'});
    const std::string out = dir_.File("out");
    const std::vector<std::string> args = {"recolour", "--update", "--json", "--from-hue", "0", "--target", "90",
                                           "--list", list, "--out-dir", out, sprite_, other};
    const auto statuses = [](const TCliRun& run) {
        std::vector<std::string> said;
        std::istringstream lines(run.Out);
        for (std::string line; std::getline(lines, line);) said.push_back(nlohmann::json::parse(line)["status"]);
        return said;
    };
    const TCliRun first = RunCli(args);
    ASSERT_EQ(first.Status, 0) << first.Err;
    EXPECT_EQ(statuses(first), (std::vector<std::string>{"done", "done"}));

    const auto when = fs::last_write_time(out + "/sprite.png");
    const TCliRun second = RunCli(args);
    EXPECT_EQ(second.Status, 0) << second.Err;
    EXPECT_EQ(second.Err, "");
    EXPECT_EQ(statuses(second), (std::vector<std::string>{"up to date", "up to date"}));
    EXPECT_EQ(fs::last_write_time(out + "/sprite.png"), when);

    // Touched inputs are newer than their outputs.
    fs::last_write_time(other, fs::file_time_type::clock::now() + std::chrono::seconds(5));
    EXPECT_EQ(statuses(RunCli(args)), (std::vector<std::string>{"up to date", "done"}));
    fs::last_write_time(list, fs::file_time_type::clock::now() + std::chrono::seconds(10));
    EXPECT_EQ(statuses(RunCli(args)), (std::vector<std::string>{"done", "done"}));
}

// -v's summary counts what was written, also in a batch, whose outputs take their names only at
// its common sync (it said "0 bytes out"), and what was read, also from a pipe (it said "0 bytes in").
TEST_F(CliAssetBuild, VerboseSummaryCountsTheBytesOfABatchAndOfAPipe)
{
    const std::string other = OtherSprite();
    const std::string out = dir_.File("out");
    const TCliRun run = RunCli({"recolour", "-v", "-j", "2", "--from-hue", "0", "--target", "90", "--variant", "a=10:20:30",
                                "--variant", "b=100:20:200", "--out-dir", out, sprite_, other});
    ASSERT_EQ(run.Status, 0) << run.Err;
    uintmax_t written = 0;
    for (const std::string& name : Files(out)) written += fs::file_size(fs::path(out) / name);
    ASSERT_EQ(Files(out).size(), 6u); // the plain output and two variants of each
    EXPECT_NE(run.Err.find(std::to_string(written) + " bytes out"), std::string::npos) << run.Err;

    // A pipe's bytes in are those read from it.
    const TCliRun piped = RunCliPiped({"recolour", "-v", "--from-hue", "0", "--target", "90", "-o", dir_.File("piped.png"), "-"},
                                      Text(ReadFileBytes(sprite_)));
    EXPECT_NE(piped.Err.find(std::to_string(fs::file_size(sprite_)) + " bytes in"), std::string::npos) << piped.Err;
}

// --in-place replaces each input by its result through the temporary-file commit: a failed
// write leaves the input whole.
TEST_F(CliAssetBuild, InPlaceReplacesAtomically)
{
    const std::string expected = dir_.File("expected.png");
    ASSERT_EQ(RunCli({"recolour", "--from-hue", "0", "--target", "200", "-o", expected, sprite_}).Status, 0);
    const auto before = ReadFileBytes(sprite_);
    const TCliRun run = RunCli({"recolour", "--in-place", "--from-hue", "0", "--target", "200", sprite_});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(PictureOf(sprite_), PictureOf(expected));

    // A write that fails part-way (a file-size limit below the output) keeps the old input.
    const auto replaced = ReadFileBytes(sprite_);
    const TCliRun limited =
        RunCliWithFileSizeLimit({"recolour", "--in-place", "--from-hue", "0", "--target", "100", sprite_}, 100);
    EXPECT_EQ(limited.Status, 1);
    EXPECT_EQ(ReadFileBytes(sprite_), replaced);
    EXPECT_EQ(Files(dir_.Path()), (std::vector<std::string>{"expected.png", "sprite.png"}));
    EXPECT_NE(replaced, before);
}

// --json on a real run: one object per input and line, in the order of the inputs, failures
// included with their message (no guessing where a name with ": " ends).
TEST_F(CliAssetBuild, JsonReportOfARealRun)
{
    const std::string odd = dir_.File("a: b.png");
    WriteFileBytes(odd, PngBytes({0, 0, 0, 1}));
    const std::string out = dir_.File("out");
    const TCliRun run = RunCli({"recolour", "--json", "--from-hue", "0", "--target", "90", "--variant", "v=h0:20:10",
                                "--out-dir", out, sprite_, odd});
    EXPECT_EQ(run.Status, 1);
    std::istringstream lines(run.Out);
    std::vector<nlohmann::json> objects;
    for (std::string line; std::getline(lines, line);) objects.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(objects.size(), 2u) << run.Out;
    EXPECT_EQ(objects[0]["version"], 1);
    EXPECT_EQ(objects[0]["file"], sprite_);
    EXPECT_EQ(objects[0]["status"], "done");
    EXPECT_EQ(objects[0]["written"], (nlohmann::json{out + "/sprite.png", out + "/sprite_v.png"}));
    EXPECT_TRUE(objects[0]["error"].is_null());
    EXPECT_EQ(objects[1]["file"], odd);
    EXPECT_EQ(objects[1]["status"], "failed");
    EXPECT_TRUE(objects[1]["written"].empty());
    EXPECT_EQ(objects[1]["failed"].size(), 2u);
    EXPECT_FALSE(objects[1]["error"].get<std::string>().empty());
}

// Messages in English with the cause, the window's own text kept after it.
TEST_F(CliAssetBuild, MessagesSayWhatHappened)
{
    TBitmap image;
    MakeSprite(image, 20, 12);
    const std::string bmp = dir_.File("cut.bmp");
    WritePicture(bmp, image);
    auto bytes = ReadFileBytes(bmp);
    bytes.resize(bytes.size() / 2);
    WriteFileBytes(bmp, bytes);
    const std::string missing = dir_.File("nosuch.png");
    struct TCase {
        std::vector<std::string> Args;
        std::vector<std::string> Said;
    };
    const TCase cases[] = {
        {{"convert", missing, dir_.File("o.png")},
         {missing + ": cannot open " + missing + ": no such file (ファイル " + missing + " は開けません)"}},
        {{"convert", bmp, dir_.File("o.png")}, {bmp + ": the file ends before its pixel data"}},
        {{"convert", "--max-pixels", "100", sprite_, dir_.File("o.png")},
         {"the picture declares 20 x 12 = 240 pixels, more than the limit of 100 pixels (--max-pixels)",
          "(Read Header(PNG): Error Size)"}},
        {{"recolour", "--max-pixels", "100", "--from-hue", "0", "--target", "1", "-o", dir_.File("o.png"), sprite_},
         {"more than the limit of 100 pixels"}},
    };
    for (const TCase& c : cases) {
        const TCliRun run = RunCli(c.Args);
        EXPECT_EQ(run.Status, 1) << c.Args[1];
        for (const std::string& part : c.Said) EXPECT_TRUE(Contains(run.Err, part)) << run.Err;
        EXPECT_FALSE(fs::exists(dir_.File("o.png")));
    }
}

// A pipe is read under the budget as far as its header allows: endless data after a small
// picture's header stops at that picture's bound, within a small address space.
TEST_F(CliAssetBuild, EndlessPipeStopsAtWhatItsHeaderAllows)
{
#if defined(TINTABREL_SANITIZED)
    GTEST_SKIP() << "resource limits measure the sanitizer's own descriptors and memory, not the program's";
#endif
    const std::string out = dir_.File("o.png");
    const std::string command = "ulimit -v 600000; (head -c 33 '" + sprite_ + "'; cat /dev/zero) | '" TINTABREL_CLI
                                "' convert - '" + out + "' 2>'" + dir_.File("err.txt") + "'";
    const int status = std::system(("bash -c \"" + command + "\"").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    const auto err = ReadFileBytes(dir_.File("err.txt"));
    EXPECT_TRUE(Contains(std::string(err.begin(), err.end()), "more than the picture its header declares can need"))
        << std::string(err.begin(), err.end());
    EXPECT_FALSE(fs::exists(out));
}

// The chunk types of a PNG file, in order.
std::vector<std::string> Chunks(const std::string& path)
{
    const auto bytes = ReadFileBytes(path);
    std::vector<std::string> types;
    for (size_t at = 8; at + 8 <= bytes.size();) {
        const size_t length = size_t{bytes[at]} << 24 | size_t{bytes[at + 1]} << 16 | size_t{bytes[at + 2]} << 8 | bytes[at + 3];
        types.emplace_back(bytes.begin() + static_cast<ptrdiff_t>(at + 4), bytes.begin() + static_cast<ptrdiff_t>(at + 8));
        at += 12 + length;
    }
    return types;
}

// The bytes of an output are a function of the inputs and options: SOURCE_DATE_EPOCH fixes the
// time stamp, a large picture is cut into the same deflate segments on any number of threads,
// --no-time leaves the stamp out and --strip everything the pixels do not need.
TEST_F(CliAssetBuild, ReproducibleBytes)
{
    TBitmap image, alpha;
    MakeSprite(image, 1200, 1000); // over a million pixels: compressed in segments
    MakeAlpha(alpha, 1200, 1000);
    const std::string large = dir_.File("large.png");
    WritePicture(large, image, alpha);
    ::setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    std::vector<std::vector<unsigned char>> outputs;
    for (const char* jobs : {"1", "2", "4"}) {
        const std::string out = dir_.File(std::string("out-") + jobs + ".png");
        const TCliRun run = RunCli({"recolour", "-j", jobs, "--from-hue", "0", "--target", "200", "-o", out, large});
        ASSERT_EQ(run.Status, 0) << run.Err;
        outputs.push_back(ReadFileBytes(out));
        if (outputs.size() == 2) std::this_thread::sleep_for(std::chrono::milliseconds(1100)); // a second apart
    }
    ::unsetenv("SOURCE_DATE_EPOCH");
    EXPECT_EQ(outputs[0], outputs[1]);
    EXPECT_EQ(outputs[0], outputs[2]);
    EXPECT_EQ(Chunks(dir_.File("out-1.png"))[1], "tIME");

    ASSERT_EQ(RunCli({"convert", "--no-time", sprite_, dir_.File("no-time.png")}).Status, 0);
    const auto noTime = Chunks(dir_.File("no-time.png"));
    EXPECT_EQ(std::count(noTime.begin(), noTime.end(), "tIME"), 0);
    EXPECT_NE(std::count(noTime.begin(), noTime.end(), "tEXt"), 0);
    ASSERT_EQ(RunCli({"convert", "--strip", sprite_, dir_.File("strip.png")}).Status, 0);
    EXPECT_EQ(Chunks(dir_.File("strip.png")), (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));

    ::setenv("SOURCE_DATE_EPOCH", "yesterday", 1);
    const TCliRun bad = RunCli({"convert", sprite_, dir_.File("bad.png")});
    ::unsetenv("SOURCE_DATE_EPOCH");
    EXPECT_EQ(bad.Status, 2);
    EXPECT_TRUE(Contains(bad.Err, "SOURCE_DATE_EPOCH")) << bad.Err;
}

// --optimize has nothing to choose in a BMP file, and says so once.
TEST_F(CliAssetBuild, OptimizeSaysItDoesNothingForBmp)
{
    const TCliRun bmp = RunCli({"convert", "--optimize", sprite_, dir_.File("o.bmp")});
    EXPECT_EQ(bmp.Status, 0) << bmp.Err;
    EXPECT_TRUE(Contains(bmp.Err, "note: --optimize makes PNG files smaller")) << bmp.Err;
    const TCliRun png = RunCli({"convert", "--optimize", sprite_, dir_.File("o.png")});
    EXPECT_FALSE(Contains(png.Err, "note: --optimize")) << png.Err;
    EXPECT_FALSE(Contains(RunCli({"convert", "-q", "--optimize", sprite_, dir_.File("q.bmp")}).Err, "note:"));
}

// Ctrl-C during a batch that the memory budget runs one file at a time: the file in progress
// finishes and is kept, and none of those waiting for the budget starts.
TEST_F(CliAssetBuild, SignalKeepsTheFileInProgressAndStartsNoOther)
{
#if defined(TINTABREL_SANITIZED)
    GTEST_SKIP() << "resource limits measure the sanitizer's own descriptors and memory, not the program's";
#endif
    TBitmap image;
    MakeSprite(image, 3000, 3000); // about 144 MB of work each: one at a time under the limit below
    const fs::path in = dir_.Path() / "in";
    fs::create_directories(in);
    WritePicture((in / "a.png").string(), image);
    for (const char* name : {"b.png", "c.png", "d.png"}) fs::copy_file(in / "a.png", in / name);
    const fs::path out = dir_.Path() / "out";
    fs::create_directories(out);
    const auto temporaries = [&] {
        size_t count = 0;
        for (const auto& entry : fs::directory_iterator(out)) count += Contains(entry.path().string(), ".tmp-");
        return count;
    };

    rlimit before{};
    ::getrlimit(RLIMIT_DATA, &before);
    rlimit limited = before;
    limited.rlim_cur = rlim_t{260} << 20;
    ::setrlimit(RLIMIT_DATA, &limited); // the tool inherits it; its budget is three quarters of it
    const TCliRun run = RunCliSignalled(
        {"recolour", "-j", "2", "--from-hue", "0", "--target", "200", "--out-dir", out.string(), (in / "a.png").string(),
         (in / "b.png").string(), (in / "c.png").string(), (in / "d.png").string()},
        {{[&](const std::string&) { return temporaries() > 0; }, SIGINT}});
    ::setrlimit(RLIMIT_DATA, &before);

    EXPECT_EQ(run.Signal, SIGINT) << run.Err;
    EXPECT_EQ(temporaries(), 0u);
    std::vector<std::string> written;
    for (const auto& entry : fs::directory_iterator(out)) written.push_back(entry.path().filename().string());
    ASSERT_EQ(written.size(), 1u) << run.Err;
    TPictureData data;
    ReadPicture((out / written[0]).string(), data);
    EXPECT_EQ(data.Image.Width(), 3000);
}

} // namespace
} // namespace tintabrel::test
