// The tool at the edges of the system: outputs that are not regular files, few descriptors,
// threads the system refuses, a small file declaring a huge picture.
#include "tests/TestData.h"
#include "tests/Sanitizers.h"
#include "tests/app/cli/CliHarness.h"
#include "app/PictureFormats.h"

#include "base/TaskPool.h"
#include "png/VRQPNG.h"
#include "png/VRQPNGReadStream.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <zlib.h>

#include <chrono>
#include <map>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sstream>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tintabrel::test {
namespace {

size_t CountOf(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

namespace fs = std::filesystem;

// How a run of the tool is set up in its own process before it starts.
struct TLimits {
    int Resource = -1; // an RLIMIT_* to lower, or -1
    rlim_t Value = 0;
    std::vector<std::pair<std::string, std::string>> Environment;
};

struct TLimitedRun {
    int Status = -1;
    std::string Err;
    long PeakKiB = 0; // the tool's largest resident size
};

// Runs the tool with its limits set in the child alone (the test keeps its own), standard input
// empty and standard error kept, and measures the child's peak memory.
TLimitedRun RunCliLimited(const std::vector<std::string>& args, const TLimits& limits)
{
    TempDir scratch;
    const std::string errPath = scratch.File("err");
    std::vector<std::string> all{TINTABREL_CLI};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open("/dev/null", O_WRONLY);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        // Only the three standard streams, as from a shell.
        for (int fd = 3; fd < 1024; ++fd) ::close(fd);
        for (const auto& [name, value] : limits.Environment) ::setenv(name.c_str(), value.c_str(), 1);
        if (limits.Resource >= 0) {
            rlimit r{};
            ::getrlimit(limits.Resource, &r);
            r.rlim_cur = limits.Value;
            if (::setrlimit(limits.Resource, &r) != 0) ::_exit(126);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    TLimitedRun run;
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.PeakKiB = usage.ru_maxrss;
    run.Err = ReadFile(errPath);
    return run;
}

// PNG bytes with the time of writing (tIME's fields and checksum) blanked, so that two runs a
// second apart compare equal.
std::string WithoutTime(std::string png)
{
    const size_t at = png.find("tIME");
    if (at != std::string::npos && at + 4 + 7 + 4 <= png.size()) png.replace(at + 4, 7 + 4, 7 + 4, '\0');
    return png;
}

int RegularFilesIn(const fs::path& dir)
{
    int n = 0;
    for (auto it = fs::directory_iterator(dir); it != fs::directory_iterator(); ++it) n += it->is_regular_file();
    return n;
}

// Reads a FIFO to its end on another thread, giving up after twenty seconds (a writer that never
// comes must fail the test, not hang it).
class TFifoReader {
public:
    explicit TFifoReader(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK))
    {
        thread_ = std::thread([this] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            bool opened = false;
            while (std::chrono::steady_clock::now() < deadline) {
                pollfd p{fd_, POLLIN, 0};
                ::poll(&p, 1, 50);
                char buffer[65536];
                const ssize_t got = ::read(fd_, buffer, sizeof buffer);
                if (got > 0) {
                    opened = true;
                    bytes_.append(buffer, static_cast<size_t>(got));
                } else if (got == 0 && (opened || (p.revents & POLLHUP))) {
                    return;
                }
            }
            bytes_ = "timeout";
        });
    }
    ~TFifoReader()
    {
        if (thread_.joinable()) thread_.join();
        ::close(fd_);
    }
    std::string Finish()
    {
        thread_.join();
        return bytes_;
    }

private:
    int fd_;
    std::string bytes_;
    std::thread thread_;
};

class CliEdges : public ::testing::Test {
protected:
    void SetUp() override
    {
        TBitmap image;
        MakeSprite(image, 24, 16);
        input_ = dir_.File("in.png");
        WritePicture(input_, image);
    }

    // The bytes the tool writes for args to a regular file (the reference for a special output).
    std::string Reference(std::vector<std::string> args)
    {
        const std::string out = dir_.File("reference.png");
        args.push_back(out);
        std::vector<std::string> full = args;
        const TCliRun run = RunCli(full);
        EXPECT_EQ(run.Status, 0) << run.Err;
        std::string bytes = ReadFile(out);
        fs::remove(out);
        return bytes;
    }

    TempDir dir_;
    std::string input_;
};

// --overwrite onto a FIFO or a device writes into it: it stays a FIFO or a device (as root, a
// rename would have put a regular file in place of the node), and a FIFO's reader gets the
// picture, exactly as written to a file.
TEST_F(CliEdges, OverwriteWritesIntoAFifoOrADeviceAndKeepsIt)
{
    const std::string expected = Reference({"convert", "--format", "png", input_});
    struct TCase {
        const char* Name;
        bool Fifo;
        std::vector<std::string> Args; // the output follows
    };
    const TCase cases[] = {
        {"convert", true, {"convert", "--overwrite", "--format", "png", input_}},
        {"recolour -o", true, {"recolour", "--source", "0", "--target", "0", "--tolerance", "0", "--format", "png", "--overwrite", input_, "-o"}},
        {"convert to a device", false, {"convert", "--overwrite", "--format", "png", input_}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string node = dir_.File("node");
        fs::remove(node);
        if (c.Fifo) {
            ASSERT_EQ(::mkfifo(node.c_str(), 0644), 0);
        } else if (::geteuid() != 0 || ::mknod(node.c_str(), S_IFCHR | 0644, makedev(1, 3)) != 0) {
            std::printf("skipped: a device node needs root\n");
            continue;
        }
        struct stat before{};
        ASSERT_EQ(::stat(node.c_str(), &before), 0);
        std::optional<TFifoReader> reader;
        if (c.Fifo) reader.emplace(node);
        std::vector<std::string> args = c.Args;
        args.push_back(node);
        const TCliRun run = RunCli(args);
        EXPECT_EQ(run.Status, 0) << run.Err;
        if (reader) {
            EXPECT_EQ(WithoutTime(reader->Finish()), WithoutTime(expected));
        }
        struct stat after{};
        ASSERT_EQ(::lstat(node.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode & S_IFMT, before.st_mode & S_IFMT);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(RegularFilesIn(dir_.Path()), 1) << "only in.png: no temporary file is left";
    }
}

// A batch holds its finished outputs open until they are made durable together; under a low
// limit on open files it makes them durable earlier, and every file is written.
TEST_F(CliEdges, ABatchUnderALowOpenFileLimitWritesEveryFile)
{
#if defined(TINTABREL_SANITIZED)
    GTEST_SKIP() << "resource limits measure the sanitizer's own descriptors and memory, not the program's";
#endif
    constexpr int Files = 100;
    const fs::path in = dir_.Path() / "many";
    fs::create_directories(in);
    std::vector<std::string> files;
    for (int k = 0; k < Files; ++k) {
        std::string name = std::to_string(k);
        name.append(".png");
        const fs::path file = in / name;
        fs::copy_file(input_, file);
        files.push_back(file.string());
    }
    // With many jobs the inputs themselves find no descriptor: waiting outputs make room for them.
    for (const char* jobs : {"2", "8"}) {
        SCOPED_TRACE(std::string("-j ") + jobs);
        const std::string out = dir_.File(std::string("out") + jobs);
        std::vector<std::string> args{"recolour", "--source", "0", "--target", "120", "-j", jobs, "-q", "--out-dir", out};
        args.insert(args.end(), files.begin(), files.end());
        const TLimitedRun run = RunCliLimited(args, {RLIMIT_NOFILE, 16, {}});
        EXPECT_EQ(run.Status, 0) << run.Err;
        EXPECT_EQ(RegularFilesIn(out), Files);
    }
}


// --optimize holds several copies of a picture's rows (its layouts, their filtered and compressed
// trials, the plain save competing): the budget counts them, so that two large files under a
// limit on memory that fits one run one after the other instead of failing together.
TEST_F(CliEdges, TwoLargeOptimizedFilesUnderAMemoryLimitBothSucceedByWaiting)
{
#if defined(TINTABREL_SANITIZED)
    GTEST_SKIP() << "resource limits measure the sanitizer's own descriptors and memory, not the program's";
#endif
    TBitmap image;
    MakeSprite(image, 1024, 1024); // many colours: RGB layouts; one file alone fits the limit
    const fs::path in = dir_.Path() / "large";
    fs::create_directories(in);
    WritePicture((in / "a.png").string(), image);
    fs::copy_file(in / "a.png", in / "b.png");
    const std::string out = dir_.File("out");
    const TLimitedRun run =
        RunCliLimited({"recolour", "--source", "0", "--target", "120", "--optimize", "-j", "2", "-q", "--out-dir", out,
                       (in / "a.png").string(), (in / "b.png").string()},
                      {RLIMIT_DATA, rlim_t{60} << 20, {}});
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(RegularFilesIn(out), 2);
}

void AppendChunk(std::string& png, const char* type, const std::string& body)
{
    const uint32_t length = static_cast<uint32_t>(body.size());
    for (int shift = 24; shift >= 0; shift -= 8) png += static_cast<char>(length >> shift);
    const std::string typed = type + body;
    png += typed;
    const uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(typed.data()), static_cast<uInt>(typed.size())));
    for (int shift = 24; shift >= 0; shift -= 8) png += static_cast<char>(crc >> shift);
}

// A grey 8-bit PNG of 16384 x 16384 black pixels: 268 MB of rows in about a megabyte of file.
std::string HugeDeclaredPng()
{
    constexpr uint32_t Side = 16384;
    std::string png(std::begin(PngSignature), std::end(PngSignature));
    std::string header;
    for (uint32_t v : {Side, Side})
        for (int shift = 24; shift >= 0; shift -= 8) header += static_cast<char>(v >> shift);
    header += std::string("\x08\x00\x00\x00\x00", 5);
    AppendChunk(png, "IHDR", header);
    AppendChunk(png, "tEXt", std::string("Comment\0after the header", 25));
    z_stream z{};
    deflateInit(&z, 1);
    const std::vector<uint8_t> row(Side + 1, 0);
    std::string data;
    std::vector<uint8_t> buffer(1 << 16);
    for (uint32_t y = 0; y < Side; ++y) {
        z.next_in = const_cast<Bytef*>(row.data());
        z.avail_in = static_cast<uInt>(row.size());
        const int flush = y + 1 == Side ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = buffer.data();
            z.avail_out = static_cast<uInt>(buffer.size());
            deflate(&z, flush);
            data.append(reinterpret_cast<const char*>(buffer.data()), buffer.size() - z.avail_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    for (size_t at = 0; at < data.size(); at += 1 << 20) AppendChunk(png, "IDAT", data.substr(at, 1 << 20));
    AppendChunk(png, "IEND", "");
    return png;
}

// info reads the chunks, not the image data: a small file declaring a huge picture costs what
// its chunks cost. (Decoding it takes 268 MB.)
// 16384 x 16384 at 8 bits, run-length coded: the headers, a grey colour table and a run of 255
// pixels, then the end of the picture.
std::string HugeDeclaredRunLengthBmp()
{
    std::string bmp;
    const auto put = [&](uint32_t v, int bytes) {
        for (int k = 0; k < bytes; ++k) bmp += static_cast<char>((v >> (8 * k)) & 0xFF);
    };
    const uint32_t table = 256 * 4, pixels = 4;
    bmp += "BM";
    put(14 + 40 + table + pixels, 4);
    put(0, 4);
    put(14 + 40 + table, 4);
    for (const uint32_t v : {40u, 16384u, 16384u}) put(v, 4);
    put(1, 2);
    put(8, 2);
    put(1, 4); // BI_RLE8
    put(pixels, 4);
    for (int k = 0; k < 4; ++k) put(0, 4);
    for (uint32_t k = 0; k < 256; ++k) put(k * 0x010101u, 4);
    for (const int b : {255, 7, 0, 1}) bmp += static_cast<char>(b);
    return bmp;
}

TEST_F(CliEdges, InfoOfASmallFileDeclaringAHugePictureStaysSmall)
{
#if defined(TINTABREL_SANITIZED)
    GTEST_SKIP() << "resource limits measure the sanitizer's own descriptors and memory, not the program's";
#endif
    const std::string huge = dir_.File("huge.png");
    WriteFile(huge, HugeDeclaredPng());
    ASSERT_LT(fs::file_size(huge), 4u << 20);
    const TLimitedRun run = RunCliLimited({"info", "--json", huge}, {});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_LT(run.PeakKiB, 48 * 1024) << "info decoded the picture";
    // Still refused by a lower picture limit, as a load refuses it.
    const TLimitedRun limited = RunCliLimited({"info", "--max-pixels", "1000000", huge}, {});
    EXPECT_EQ(limited.Status, 1);
    EXPECT_TRUE(Contains(limited.Err, "Error Size")) << limited.Err;

    // A run-length BMP of a few bytes whose runs would fill a 1 GB picture.
    const std::string rle = dir_.File("huge.bmp");
    WriteFile(rle, HugeDeclaredRunLengthBmp());
    const TLimitedRun bmp = RunCliLimited({"info", "--json", rle}, {});
    ASSERT_EQ(bmp.Status, 0) << bmp.Err;
    EXPECT_LT(bmp.PeakKiB, 48 * 1024) << "info decoded the picture";
    const TLimitedRun bmpLimited = RunCliLimited({"info", "--max-pixels", "1000000", rle}, {});
    EXPECT_EQ(bmpLimited.Status, 1) << "refused by the picture limit, as a load refuses it";

    // A GIF of 35 bytes: a 16000 x 16000 screen and one frame of a pixel (a load composes the
    // first frame on the whole screen: gigabytes).
    const std::string gif = dir_.File("huge.gif");
    std::string bytes = "GIF89a";
    bytes += std::string("\x80\x3E\x80\x3E\x80\x00\x00", 7);             // 16000 x 16000, a table of 2
    bytes += std::string("\x00\x00\x00\xFF\xFF\xFF", 6);                 // the table
    bytes += std::string("\x2C\x00\x00\x00\x00\x01\x00\x01\x00\x00", 10); // a frame of 1 x 1 at 0,0
    bytes += std::string("\x02\x02\x44\x01\x00\x3B", 6);                 // its pixel, the trailer
    WriteFile(gif, bytes);
    const TLimitedRun small = RunCliLimited({"info", "--json", gif}, {});
    ASSERT_EQ(small.Status, 0) << small.Err;
    EXPECT_LT(small.PeakKiB, 48 * 1024) << "info composed the picture";
    const TCliRun described = RunCli({"info", "--json", gif});
    EXPECT_TRUE(Contains(described.Out, "\"width\":16000,\"height\":16000")) << described.Out;
    EXPECT_TRUE(Contains(described.Out, "\"palette_size\":2")) << described.Out;
}

const char* FormatName(TPixelFormat format)
{
    switch (format) {
    case TPixelFormat::pf1bit: return "1-bit";
    case TPixelFormat::pf4bit: return "4-bit";
    case TPixelFormat::pf8bit: return "8-bit";
    case TPixelFormat::pf15bit: return "15-bit";
    case TPixelFormat::pf16bit: return "16-bit";
    case TPixelFormat::pf24bit: return "24-bit";
    case TPixelFormat::pf32bit: return "32-bit";
    default: return "other";
    }
}

// Without decoding, info still tells what a load finds: size, pixel format, and the PNG's
// settings as decoded (a palette's alpha table becomes a transparent index or an alpha plane,
// a 16-bit transparent colour an alpha plane), for every file of the PNG suite that loads.
TEST_F(CliEdges, InfoWithoutDecodingTellsWhatALoadFinds)
{
    std::vector<std::string> args{"info", "--json"};
    std::map<std::string, nlohmann::json> expected;
    for (const auto& e : fs::directory_iterator(DataPath("pngsuite"))) {
        if (e.path().extension() != ".png") continue;
        const std::string path = e.path().string();
        TPictureData data;
        TPngInfo facts;
        try {
            LoadPicture(path, PngFormat(), data);
            TVRQPNG png;
            png.LoadFromFile(path);
            facts = png.Info;
        } catch (const std::exception&) {
            continue;
        }
        if (data.Image.Empty() || data.Image.Width() == 0 || data.Image.Height() == 0) continue;
        args.push_back(path);
        const auto colour = [](TColor c) -> nlohmann::json {
            if (c == -1) return nullptr;
            return static_cast<int64_t>(c);
        };
        expected[path] = {{"width", data.Image.Width()},   {"height", data.Image.Height()},
                          {"pixel_format", FormatName(data.Image.PixelFormat())},
                          {"alpha", facts.Alpha || facts.TransparentColor != -1},          {"transparent", colour(facts.TransparentColor)},
                          {"bit_depth", facts.BitDepth},   {"color_type", facts.ColorType}};
    }
    ASSERT_GT(expected.size(), 100u);
    const TCliRun run = RunCli(args);
    EXPECT_EQ(run.Status, 0) << run.Err;
    std::istringstream lines(run.Out);
    size_t seen = 0;
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json j = nlohmann::json::parse(line);
        const std::string file = j.at("file");
        SCOPED_TRACE(file);
        ASSERT_TRUE(expected.count(file));
        const nlohmann::json& want = expected[file];
        ++seen;
        EXPECT_EQ(j.at("width"), want.at("width"));
        EXPECT_EQ(j.at("height"), want.at("height"));
        EXPECT_EQ(j.at("pixel_format"), want.at("pixel_format"));
        EXPECT_EQ(j.at("alpha"), want.at("alpha"));
        EXPECT_EQ(j.at("bit_depth"), want.at("bit_depth"));
        EXPECT_EQ(j.at("color_type"), want.at("color_type"));
        // Shown as "palette index N" or "#RRGGBB"; here only whether there is one and which index.
        const nlohmann::json& shown = j.at("transparent_color");
        if (want.at("transparent").is_null()) {
            EXPECT_TRUE(shown.is_null()) << shown;
        } else {
            const int64_t c = want.at("transparent");
            if (!shown.is_string()) {
                ADD_FAILURE() << "no transparent colour shown: " << shown;
            } else if ((c & 0xFF000000) == 0x01000000) {
                EXPECT_EQ(shown, "palette index " + std::to_string(c & 0xFF));
            } else {
                EXPECT_EQ(shown.get<std::string>().substr(0, 1), "#");
            }
        }
    }
    EXPECT_EQ(seen, expected.size());
}

// Run-length BMPs are described from their headers: the same as a load finds, and the same
// failure for those a load refuses.
TEST_F(CliEdges, InfoOfRunLengthBmpsTellsWhatALoadFinds)
{
    size_t described = 0;
    for (const char* folder : {"g", "q", "b"}) {
        for (const auto& e : fs::directory_iterator(DataPath("bmpsuite") + "/" + folder)) {
            const std::string path = e.path().string();
            if (e.path().extension() != ".bmp" || !Contains(path, "rle")) continue;
            SCOPED_TRACE(path);
            TPictureData data;
            bool loads = true;
            try {
                LoadPicture(path, BmpFormat(), data);
            } catch (const std::exception&) {
                loads = false;
            }
            const TCliRun run = RunCli({"info", "--json", path});
            ASSERT_EQ(run.Status, loads ? 0 : 1) << run.Err;
            if (!loads) continue;
            const nlohmann::json j = nlohmann::json::parse(run.Out);
            EXPECT_EQ(j.at("width"), data.Image.Width());
            EXPECT_EQ(j.at("height"), data.Image.Height());
            // A run-length picture is held in device form.
            EXPECT_EQ(data.Image.PixelFormat(), TPixelFormat::pfDevice);
            EXPECT_EQ(j.at("pixel_format"), "device");
            EXPECT_EQ(j.at("palette_size"), 0);
            ++described;
        }
    }
    EXPECT_GE(described, 4u);
}


// What a PNG holds: its chunks in order (tIME left out) with the image data inflated, so that
// two files that differ only in how their deflate stream is cut compare equal.
std::string Contents(const std::string& png)
{
    std::string text, idat;
    for (size_t at = 8; at + 12 <= png.size();) {
        const size_t length = (size_t{static_cast<uint8_t>(png[at])} << 24) | (size_t{static_cast<uint8_t>(png[at + 1])} << 16) |
                              (size_t{static_cast<uint8_t>(png[at + 2])} << 8) | static_cast<uint8_t>(png[at + 3]);
        const std::string type = png.substr(at + 4, 4);
        if (type == "IDAT") idat += png.substr(at + 8, length);
        else if (type != "tIME") text += type + png.substr(at + 8, length);
        at += 12 + length;
    }
    z_stream z{};
    inflateInit(&z);
    z.next_in = reinterpret_cast<Bytef*>(idat.data());
    z.avail_in = static_cast<uInt>(idat.size());
    std::string raw(64 << 20, '\0');
    z.next_out = reinterpret_cast<Bytef*>(raw.data());
    z.avail_out = static_cast<uInt>(raw.size());
    const int status = inflate(&z, Z_FINISH);
    raw.resize(raw.size() - z.avail_out);
    inflateEnd(&z);
    return text + (status == Z_STREAM_END ? " IDAT " : " broken IDAT ") + raw;
}

// Every file in a folder, by name, with its bytes (tIME blanked) or, with contents, what it holds.
std::map<std::string, std::string> FilesIn(const fs::path& dir, bool contents = false)
{
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (!e.is_regular_file()) continue;
        const std::string bytes = ReadFile(e.path().string());
        files[e.path().filename().string()] = contents ? Contents(bytes) : WithoutTime(bytes);
    }
    return files;
}

// Threads the system refuses (none at all, or only one) leave the work to the threads that did
// start: a batch with --optimize (the batch's workers, the optimizer's trials, the deferred
// syncs) and one large PNG (inflated ahead, recoloured while read, compressed in segments) give
// the same files as -j 1, and no temporary file is left. With bytesOfLarge false, the large
// picture's file is compared by what it holds (its deflate stream may be cut differently).
void RefusedThreadsGiveTheSameFilesAsOneJob(const TempDir& dir_, bool bytesOfLarge)
{
    const fs::path in = dir_.Path() / "in";
    fs::create_directories(in);
    std::vector<std::string> batch;
    for (int k = 0; k < 4; ++k) {
        TBitmap image;
        MakeSprite(image, 20 + 7 * k, 12 + 3 * k);
        std::string name = std::to_string(k);
        name.append(".png");
        WritePicture((in / name).string(), image);
        batch.push_back((in / name).string());
    }
    TBitmap large;
    MakeSprite(large, 1100, 1000); // over a million pixels
    const std::string largeInput = (in / "large.png").string();
    WritePicture(largeInput, large);

    struct TCase {
        const char* Name;
        std::vector<std::string> Args; // followed by the output folder or file
        std::vector<std::string> Inputs;
        bool OutDir;
        bool Bytes; // compared byte for byte, else by what the files hold
    };
    const TCase cases[] = {
        {"batch with --optimize", {"recolour", "--source", "0", "--target", "200", "-q", "--optimize"}, batch, true, true},
        {"one large picture", {"recolour", "--source", "0", "--target", "200", "-q"}, {largeInput}, false, bytesOfLarge},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::map<std::string, std::string> reference;
        for (const char* starts : {"", "0", "1"}) {
            SCOPED_TRACE(std::string("thread starts allowed: ") + (*starts ? starts : "any, -j 1"));
            const fs::path out = dir_.Path() / (std::string("out") + starts);
            fs::create_directories(out);
            std::vector<std::string> args = c.Args;
            if (!*starts) args.insert(args.end(), {"-j", "1"});
            if (c.OutDir) args.insert(args.end(), {"--out-dir", out.string()});
            else args.insert(args.end(), {"-o", (out / "large.png").string()});
            args.insert(args.end(), c.Inputs.begin(), c.Inputs.end());
            TLimits limits;
            if (*starts) limits.Environment = {{"TINTABREL_TEST_THREAD_STARTS", starts}};
            args.insert(args.begin() + 1, "-v");
            const TLimitedRun run = RunCliLimited(args, limits);
            EXPECT_EQ(run.Status, 0) << run.Err;
            // With -v the fallback is told once; without any thread to be had it must happen.
            if (std::string(starts) == "0" && std::thread::hardware_concurrency() > 1) {
                EXPECT_EQ(CountOf(run.Err, "fewer threads than asked"), 1u) << run.Err;
            }
            const std::map<std::string, std::string> files = FilesIn(out, !c.Bytes);
            EXPECT_EQ(files.size(), c.Inputs.size()) << "a temporary file was left, or an output is missing";
            if (!*starts) reference = files;
            else EXPECT_TRUE(files == reference) << "the files differ from those of -j 1";
            fs::remove_all(out);
        }
    }
}

TEST_F(CliEdges, RefusedThreadsGiveTheSamePicturesAsOneJob) { RefusedThreadsGiveTheSameFilesAsOneJob(dir_, false); }

// The same, byte for byte: a large PNG's deflate stream is cut into segments by its size alone.
TEST_F(CliEdges, RefusedThreadsGiveTheSameBytesAsOneJob) { RefusedThreadsGiveTheSameFilesAsOneJob(dir_, true); }


// The fuzzers' inputs are small; the test setting sends them through the inflating thread that
// otherwise starts only for a megabyte of image data (seen here as the start it asks for).
TEST_F(CliEdges, SmallThresholdsSendSmallPicturesThroughTheInflatingThread)
{
    bool asked = false;
    SetThreadStartsLeftForTesting(0);
    TLoadOptions twoThreads;
    twoThreads.Threads = 2;
    TPictureData data;
    for (bool small : {false, true}) {
        SCOPED_TRACE(small ? "small thresholds" : "usual thresholds");
        SetSmallThresholdsForTesting(small);
        asked = false;
        SetThreadFallbackNotice([&](const std::string&) { asked = true; });
        LoadPicture(input_, PngFormat(), data, twoThreads);
        EXPECT_EQ(asked, small);
        EXPECT_EQ(data.Image.Width(), 24); // refused, the thread's work is done by this one
    }
    SetSmallThresholdsForTesting(false);
    SetThreadStartsLeftForTesting(-1);
    SetThreadFallbackNotice({});
}

} // namespace
} // namespace tintabrel::test
