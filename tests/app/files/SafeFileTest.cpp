// Saving through a temporary file: what happens to targets that are not regular files, and a
// deferred batch when the process runs out of descriptors.
#include "app/SafeFile.h"
#include "tests/Sanitizers.h"

#include "base/Exceptions.h"
#include "tests/TestData.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tintabrel {
namespace {

namespace fs = std::filesystem;

std::string NumberedName(int k)
{
    std::string name = std::to_string(k);
    name.insert(name.begin(), 'f');
    name.append(".bin");
    return name;
}

int EntriesIn(const fs::path& dir)
{
    int n = 0;
    for (auto it = fs::directory_iterator(dir); it != fs::directory_iterator(); ++it) ++n;
    return n;
}

// Reads a FIFO to its end on another thread, giving up after ten seconds so that a writer that
// never opens or never closes it fails the test instead of hanging it.
class TFifoReader {
public:
    explicit TFifoReader(const std::string& path)
    {
        fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
        thread_ = std::thread([this] { Run(); });
    }
    ~TFifoReader()
    {
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    // The bytes read, once the writer closed; "timeout" when it did not.
    std::string Finish()
    {
        thread_.join();
        return timedOut_ ? "timeout" : bytes_;
    }

private:
    void Run()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        bool opened = false; // until a writer opened it, an empty read is no end
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            ::poll(&p, 1, 50);
            char buffer[4096];
            const ssize_t got = ::read(fd_, buffer, sizeof buffer);
            if (got > 0) {
                opened = true;
                bytes_.append(buffer, static_cast<size_t>(got));
            } else if (got == 0 && (opened || (p.revents & POLLHUP))) {
                return;
            }
        }
        timedOut_ = true;
    }

    int fd_ = -1;
    std::string bytes_;
    bool timedOut_ = false;
    std::thread thread_;
};

// One way of making a special file at a path; false when this run cannot (no root for mknod).
struct TSpecialTarget {
    const char* Name;
    bool (*Make)(const std::string& path);
    bool IsFifo;
};

bool MakeFifo(const std::string& path) { return ::mkfifo(path.c_str(), 0644) == 0; }
bool MakeNullDevice(const std::string& path)
{
    return ::geteuid() == 0 && ::mknod(path.c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0;
}

const TSpecialTarget SpecialTargets[] = {
    {"FIFO", MakeFifo, true},
    {"character device", MakeNullDevice, false},
};

// The bytes go into the node where it is, through a link too, with or without a deferred batch:
// the node stays what it was, and no temporary file is left beside it.
TEST(SafeFileWriter, SpecialTargetsAreWrittenIntoAndStayWhatTheyWere)
{
    const std::string bytes = "\x89PNG not really, but bytes all the same";
    for (const TSpecialTarget& kind : SpecialTargets) {
        for (bool throughLink : {false, true}) {
            for (bool deferred : {false, true}) {
                std::string trace = kind.Name;
                if (throughLink) trace += " through a link";
                if (deferred) trace += ", deferred";
                SCOPED_TRACE(trace);
                test::TempDir dir;
                const std::string node = dir.File("node");
                if (!kind.Make(node)) {
                    std::printf("skipped: cannot make a %s here (mknod needs root)\n", kind.Name);
                    continue;
                }
                const std::string target = throughLink ? dir.File("out.png") : node;
                if (throughLink) fs::create_symlink(node, target);
                struct stat before{};
                ASSERT_EQ(::stat(node.c_str(), &before), 0);

                std::optional<TFifoReader> reader;
                if (kind.IsFifo) reader.emplace(node);
                std::optional<TDeferredCommits> batch;
                if (deferred) batch.emplace();
                {
                    TSafeFileWriter writer(target);
                    EXPECT_TRUE(writer.WritesInPlace());
                    writer.Stream().WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
                    writer.Commit();
                }
                // A FIFO's reader has its end before any batch is flushed.
                if (reader) {
                    EXPECT_EQ(reader->Finish(), bytes);
                }
                if (batch) {
                    EXPECT_TRUE(batch->Flush().empty());
                }

                struct stat after{};
                ASSERT_EQ(::stat(node.c_str(), &after), 0);
                EXPECT_EQ(after.st_mode & S_IFMT, before.st_mode & S_IFMT);
                EXPECT_EQ(after.st_ino, before.st_ino);
                EXPECT_EQ(after.st_rdev, before.st_rdev);
                if (throughLink) {
                    EXPECT_TRUE(fs::is_symlink(target));
                }
                EXPECT_EQ(EntriesIn(dir.Path()), throughLink ? 2 : 1) << "a temporary file was left";
            }
        }
    }
}

// Without replacing, an existing special file is refused before anything is opened (a FIFO with
// no reader would otherwise wait for one forever); a regular target keeps the temporary file.
TEST(SafeFileWriter, ExistingSpecialTargetWithoutReplacingIsRefused)
{
    test::TempDir dir;
    const std::string fifo = dir.File("pipe.png");
    ASSERT_TRUE(MakeFifo(fifo));
    try {
        TSafeFileWriter writer(fifo, false);
        FAIL() << "a FIFO was opened without replacing";
    } catch (const EFileCreateError& e) {
        EXPECT_EQ(e.Code(), EEXIST);
        EXPECT_EQ(e.Path(), fifo);
    }
    TSafeFileWriter regular(dir.File("new.png"), false);
    EXPECT_FALSE(regular.WritesInPlace());
}

// Runs body in a child process and returns its exit status (-1 when it did not exit).
int InChild(const std::function<int()>& body)
{
    const pid_t child = ::fork();
    if (child == 0) {
        int status = 99;
        try {
            status = body();
        } catch (...) {
            status = 98;
        }
        ::_exit(status);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int SetOpenFileLimit(rlim_t files)
{
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = files;
    return ::setrlimit(RLIMIT_NOFILE, &limit);
}

// A part of the batch holds an eighth of the open-file limit: with the part syncing in the
// background while the next fills, the two hold at most a quarter.
TEST(DeferredCommits, HoldsAtMostAQuarterOfTheDescriptors)
{
    EXPECT_EQ(InChild([] {
                  if (SetOpenFileLimit(16) != 0) return 2;
                  TDeferredCommits small;
                  return small.FlushEvery() == 2 ? 0 : 1;
              }),
              0);
    EXPECT_EQ(InChild([] {
                  if (SetOpenFileLimit(4096) != 0) return 2;
                  TDeferredCommits large;
                  return large.FlushEvery() == 64 ? 0 : 1;
              }),
              0);
}

// With only a few descriptors left (far fewer than the batch holds before its own flush), a new
// file that finds none flushes the files waiting and is made: every file of the batch is written.
TEST(DeferredCommits, ANewFileWithNoDescriptorLeftFlushesTheWaitingOnes)
{
#if defined(TINTABREL_SANITIZED)
    GTEST_SKIP() << "resource limits measure the sanitizer's own descriptors and memory, not the program's";
#endif
    test::TempDir dir;
    constexpr int Files = 40;
    const int status = InChild([&] {
        if (SetOpenFileLimit(256) != 0) return 2;
        TDeferredCommits batch; // flushes by itself every 64
        // Leave six descriptors free.
        std::vector<int> held;
        for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) held.push_back(fd);
        if (held.size() < 6) return 3;
        for (int k = 0; k < 6; ++k) {
            ::close(held.back());
            held.pop_back();
        }
        for (int k = 0; k < Files; ++k) {
            TSafeFileWriter writer(dir.File(NumberedName(k)));
            const std::string text = std::to_string(k);
            writer.Stream().WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
            writer.Commit();
        }
        return batch.Flush().empty() ? 0 : 4;
    });
    ASSERT_EQ(status, 0);
    EXPECT_EQ(EntriesIn(dir.Path()), Files);
    for (int k = 0; k < Files; ++k) EXPECT_EQ(test::ReadFile(dir.File(NumberedName(k))), std::to_string(k));
}

} // namespace
} // namespace tintabrel
