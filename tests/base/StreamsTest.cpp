#include "base/Streams.h"

#include "base/StringList.h"
#include "tests/TestData.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tintabrel {
namespace {

// A pipe already holding bytes (small enough for the pipe's buffer) whose writing end is closed.
int FilledPipe(const std::string& bytes)
{
    int ends[2];
    if (::pipe(ends) != 0) return -1;
    if (::write(ends[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return -1;
    ::close(ends[1]);
    return ends[0];
}

// A FIFO in dir that a thread fills with text once a reader opens it.
class TFifo {
public:
    TFifo(const test::TempDir& dir, std::string text) : path_(dir.File("fifo"))
    {
        if (::mkfifo(path_.c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
        writer_ = std::thread([this, text] {
            const int fd = ::open(path_.c_str(), O_WRONLY); // waits for the reader
            if (fd < 0) return;
            (void)!::write(fd, text.data(), text.size());
            ::close(fd);
        });
    }
    ~TFifo() { writer_.join(); }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    std::thread writer_;
};

TEST(FileStream, OnAPipeAnswersPositionAndRefusesSizeAndSeeksWithoutLooping)
{
    const int fd = FilledPipe("0123456789");
    ASSERT_GE(fd, 0);
    TFileStream pipe(fd, "pipe");
    EXPECT_FALSE(pipe.CanSeek());
    EXPECT_EQ(pipe.Position(), 0);
    char head[4] = {};
    pipe.ReadBuffer(head, 4);
    EXPECT_EQ(std::string(head, 4), "0123");
    EXPECT_EQ(pipe.Position(), 4);
    pipe.SetPosition(4); // where it is already: nothing to seek
    EXPECT_THROW(pipe.Size(), EReadError);
    EXPECT_THROW(pipe.SetPosition(0), EReadError);
    EXPECT_THROW(pipe.Seek(2, TSeekOrigin::soCurrent), EReadError);
    EXPECT_THROW(pipe.Seek(0, TSeekOrigin::soEnd), EReadError);
    EXPECT_EQ(pipe.Position(), 4);

    // The base class's size (seek to the end and back) fails the same way.
    EXPECT_THROW(pipe.TStream::Size(), EReadError);

    TMemoryStream rest;
    EXPECT_TRUE(rest.LoadFromStream(pipe, 100));
    EXPECT_EQ(std::string(rest.Bytes().begin(), rest.Bytes().end()), "456789");
}

TEST(FileStream, AFailingSeekOnAFileRaisesTheReadError)
{
    test::TempDir dir;
    test::WriteFileBytes(dir.File("f"), {'a', 'b', 'c'});
    TFileStream file(dir.File("f"), TFileMode::fmOpenRead);
    EXPECT_TRUE(file.CanSeek());
    EXPECT_EQ(file.Size(), 3);
    EXPECT_THROW(file.Seek(-1, TSeekOrigin::soBeginning), EReadError);
    EXPECT_EQ(file.Position(), 0);
}

TEST(MemoryStream, LoadFromStreamStopsAtTheLimit)
{
    // Larger than the first read, so that the growing buffer is crossed.
    std::string bytes(50000, 'x');
    for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<char>(k * 7);
    for (const int64_t limit : {int64_t{50000}, int64_t{49999}, int64_t{10}, int64_t{0}}) {
        TFileStream pipe(FilledPipe(bytes), "pipe");
        TMemoryStream memory;
        EXPECT_EQ(memory.LoadFromStream(pipe, limit), limit >= 50000) << limit;
        ASSERT_EQ(memory.Size(), std::min<int64_t>(limit, 50000)) << limit;
        EXPECT_EQ(std::string(memory.Bytes().begin(), memory.Bytes().end()), bytes.substr(0, static_cast<size_t>(memory.Size())));
        EXPECT_EQ(memory.Position(), 0);
    }
}

TEST(FileStream, FifosLoadAsFilesDo)
{
    const std::string text = "clRed\r\n$00123456\r\nclLime";
    {
        test::TempDir dir;
        TFifo fifo(dir, text);
        TStringList list;
        list.LoadFromFile(fifo.Path());
        ASSERT_EQ(list.Count(), 3);
        EXPECT_EQ(list[1], "$00123456");
    }
    {
        test::TempDir dir;
        TFifo fifo(dir, text);
        TMemoryStream memory;
        memory.LoadFromFile(fifo.Path());
        EXPECT_EQ(std::string(memory.Bytes().begin(), memory.Bytes().end()), text);
    }
}

TEST(FileStream, AFailedWriteNamesTheFileAndTheSystemsReason)
{
    // /dev/full refuses every write as a full disk does.
    TFileStream full("/dev/full", TFileMode::fmCreate);
    const std::vector<uint8_t> bytes(100, 1);
    try {
        full.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
        FAIL() << "the write did not fail";
    } catch (const EFileWriteError& e) {
        EXPECT_STREQ(e.what(), msg::WriteError);
        EXPECT_EQ(e.Path(), "/dev/full");
        EXPECT_EQ(e.Code(), ENOSPC);
    }
}

} // namespace
} // namespace tintabrel
