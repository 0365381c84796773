#include "base/Streams.h"

#include "base/Exceptions.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tintabrel {

int64_t TStream::Size()
{
    const int64_t here = Position();
    const int64_t end = Seek(0, TSeekOrigin::soEnd);
    Seek(here, TSeekOrigin::soBeginning);
    return end;
}

void TStream::ReadBuffer(void* buffer, int64_t count)
{
    if (count <= 0) return;
    const int64_t got = Read(buffer, count);
    if (got != count) {
        int64_t at = -1;
        try {
            at = Position();
        } catch (const Exception&) {
        }
        throw EReadError(msg::ReadError, "the data ends" + (at >= 0 ? " at byte " + std::to_string(at) : std::string()) +
                                             ", " + std::to_string(count - std::max<int64_t>(got, 0)) +
                                             " more bytes expected");
    }
}

void TStream::WriteBuffer(const void* buffer, int64_t count)
{
    if (count <= 0) return;
    if (Write(buffer, count) != count) WriteFailed();
}

void TStream::WriteFailed() { throw EWriteError(msg::WriteError); }

int64_t TStream::CopyFrom(TStream& source, int64_t count)
{
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<int64_t>(count, 1 << 16)));
    int64_t left = count;
    while (left > 0) {
        const int64_t n = std::min<int64_t>(left, static_cast<int64_t>(buffer.size()));
        source.ReadBuffer(buffer.data(), n);
        WriteBuffer(buffer.data(), n);
        left -= n;
    }
    return count;
}

TFileStream::TFileStream(const std::string& path, TFileMode mode) : path_(path)
{
    if (mode == TFileMode::fmOpenRead) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        int code = errno;
        struct stat st{};
        // A directory opens for reading on this platform; it is no file to read a picture from.
        if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || S_ISDIR(st.st_mode))) {
            ::close(fd_);
            fd_ = -1;
            code = EISDIR;
        }
        if (fd_ < 0) throw EFileOpenError(path, code);
    } else {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ < 0) throw EFileCreateError(path, errno);
    }
    Attach();
}

TFileStream::TFileStream(int descriptor, std::string name) : fd_(descriptor), path_(std::move(name)) { Attach(); }

void TFileStream::Attach()
{
    seekable_ = ::lseek(fd_, 0, SEEK_CUR) >= 0;
}

TFileStream::~TFileStream()
{
    if (fd_ >= 0) ::close(fd_);
}

int64_t TFileStream::Read(void* buffer, int64_t count)
{
    int64_t done = 0;
    auto* p = static_cast<uint8_t*>(buffer);
    while (done < count) {
        const ssize_t n = ::read(fd_, p + done, static_cast<size_t>(std::min<int64_t>(count - done, 1 << 30)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    transferred_ += done;
    return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count)
{
    int64_t done = 0;
    auto* p = static_cast<const uint8_t*>(buffer);
    while (done < count) {
        const ssize_t n = ::write(fd_, p + done, static_cast<size_t>(std::min<int64_t>(count - done, 1 << 30)));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) lastError_ = errno;
        if (n <= 0) break;
        done += n;
    }
    transferred_ += done;
    if (writebackEvery_ > 0 && transferred_ - writebackStarted_ >= writebackEvery_) {
        StartWriteback();
        writebackStarted_ = transferred_;
    }
    return done;
}

void TFileStream::StartWriteback()
{
#ifdef SYNC_FILE_RANGE_WRITE
    ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE); // advice: its result changes nothing
#endif
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin)
{
    if (!seekable_) {
        // Only asking where we are, or going where we already are, works without seeking.
        if ((origin == TSeekOrigin::soCurrent && offset == 0) || (origin == TSeekOrigin::soBeginning && offset == transferred_))
            return transferred_;
        throw EReadError(msg::ReadError);
    }
    const int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET : origin == TSeekOrigin::soCurrent ? SEEK_CUR : SEEK_END;
    const off_t r = ::lseek(fd_, static_cast<off_t>(offset), whence);
    if (r < 0) throw EReadError(msg::ReadError);
    return static_cast<int64_t>(r);
}

int64_t TFileStream::Size()
{
    struct stat st{};
    if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) return static_cast<int64_t>(st.st_size);
    if (!seekable_) throw EReadError(msg::ReadError); // a pipe's size is known only at its end
    return TStream::Size();
}

void TFileStream::Sync()
{
    if (::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) throw EFileWriteError(path_, errno);
}

void TFileStream::WriteFailed()
{
    // A write that stored nothing without an error (a full pipe reader gone ...) has no cause to name.
    throw EFileWriteError(path_, lastError_ != 0 ? lastError_ : EIO);
}

TMemoryStream::TMemoryStream(const void* data, size_t size)
    : data_(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size)
{
}

int64_t TMemoryStream::Read(void* buffer, int64_t count)
{
    const int64_t size = Size();
    if (count <= 0 || position_ >= size) return 0;
    const int64_t n = std::min(count, size - position_);
    std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count)
{
    if (count <= 0) return 0;
    const int64_t end = position_ + count;
    if (end > Size()) data_.resize(static_cast<size_t>(end));
    std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
    position_ = end;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin)
{
    int64_t base = origin == TSeekOrigin::soBeginning ? 0 : origin == TSeekOrigin::soCurrent ? position_ : Size();
    position_ = std::max<int64_t>(0, base + offset);
    return position_;
}

void TMemoryStream::SetSize(int64_t size)
{
    data_.resize(static_cast<size_t>(std::max<int64_t>(0, size)));
    position_ = std::min(position_, Size());
}

void TMemoryStream::Clear()
{
    data_.clear();
    position_ = 0;
}

bool TMemoryStream::LoadFromStream(TStream& source, int64_t limit)
{
    // Grown as the bytes arrive, so that memory follows what the source really holds.
    std::vector<uint8_t> bytes;
    size_t chunk = 1 << 16;
    for (;;) {
        const size_t have = bytes.size();
        const size_t want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(chunk), limit + 1 - static_cast<int64_t>(have)));
        bytes.resize(have + want);
        const int64_t n = source.Read(bytes.data() + have, static_cast<int64_t>(want));
        bytes.resize(have + static_cast<size_t>(std::max<int64_t>(n, 0)));
        if (n <= 0) break;
        if (static_cast<int64_t>(bytes.size()) > limit) {
            bytes.resize(static_cast<size_t>(limit));
            data_ = std::move(bytes);
            position_ = 0;
            return false;
        }
        chunk = std::min<size_t>(chunk * 2, size_t{1} << 26);
    }
    data_ = std::move(bytes);
    position_ = 0;
    return true;
}

void TMemoryStream::LoadFromFile(const std::string& path)
{
    TFileStream file(path, TFileMode::fmOpenRead);
    if (!file.CanSeek()) {
        constexpr int64_t Limit = INT32_MAX;
        if (!LoadFromStream(file, Limit)) throw EReadError("more than 2 GiB to read from " + path);
        return;
    }
    const int64_t size = file.Size();
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    file.ReadBuffer(bytes.data(), size);
    data_ = std::move(bytes);
    position_ = 0;
}

void TMemoryStream::SaveToFile(const std::string& path)
{
    TFileStream file(path, TFileMode::fmCreate);
    file.WriteBuffer(data_.data(), Size());
}

} // namespace tintabrel
