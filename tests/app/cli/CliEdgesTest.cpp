// The tool at the edges of the system: outputs that are not regular files, few descriptors,
// threads the system refuses, a small file declaring a huge picture.
#include "tests/TestData.h"
#include "tests/app/cli/CliHarness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tintabrel::test {
namespace {

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
    constexpr int Files = 100;
    const fs::path in = dir_.Path() / "many";
    fs::create_directories(in);
    std::vector<std::string> args{"recolour", "--source", "0", "--target", "120", "-j", "2", "-q", "--out-dir", dir_.File("out")};
    for (int k = 0; k < Files; ++k) {
        std::string name = std::to_string(k);
        name.append(".png");
        const fs::path file = in / name;
        fs::copy_file(input_, file);
        args.push_back(file.string());
    }
    const TLimitedRun run = RunCliLimited(args, {RLIMIT_NOFILE, 16, {}});
    EXPECT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(RegularFilesIn(dir_.Path() / "out"), Files);
}

} // namespace
} // namespace tintabrel::test
