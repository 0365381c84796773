// Byte streams over files and memory with position, size, seek and exact read and write.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/Exceptions.h"

namespace tintabrel {

// Which file a failed operation concerned and the system's reason (errno), carried beside the
// usual message so that a caller can say more than the platform library's text does.
class TFileFailure {
public:
    TFileFailure(std::string path, int code) : path_(std::move(path)), code_(code) {}
    virtual ~TFileFailure() = default;
    const std::string& Path() const { return path_; }
    int Code() const { return code_; }

private:
    std::string path_;
    int code_;
};

// what() is msg::WriteError, as for any stream.
class EFileWriteError : public EWriteError, public TFileFailure {
public:
    EFileWriteError(const std::string& path, int code) : EWriteError(msg::WriteError), TFileFailure(path, code) {}
};

// what() is msg::FileOpen(path).
class EFileOpenError : public EFOpenError, public TFileFailure {
public:
    EFileOpenError(const std::string& path, int code) : EFOpenError(msg::FileOpen(path)), TFileFailure(path, code) {}
};

// what() is msg::FileCreate(path).
class EFileCreateError : public EFCreateError, public TFileFailure {
public:
    EFileCreateError(const std::string& path, int code) : EFCreateError(msg::FileCreate(path)), TFileFailure(path, code) {}
};

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
public:
    virtual ~TStream() = default;
    // Reads up to count bytes; returns how many were read (0 at the end).
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    // Writes up to count bytes; returns how many were stored.
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

    int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(int64_t position) { Seek(position, TSeekOrigin::soBeginning); }
    virtual int64_t Size();

    // Exact transfers: a short read raises EReadError, a short write EWriteError.
    void ReadBuffer(void* buffer, int64_t count);
    void WriteBuffer(const void* buffer, int64_t count);
    // Copies count bytes from source (all of it from its start when count is 0).
    int64_t CopyFrom(TStream& source, int64_t count);

protected:
    // Raised by WriteBuffer on a short write; a stream that knows why says so.
    [[noreturn]] virtual void WriteFailed();
};

enum class TFileMode {
    fmOpenRead,  // reading; the file must exist and be a regular file
    fmCreate,    // create or truncate for writing
};

// A file, or anything else the system can open: a pipe, a FIFO or a terminal cannot seek. There
// the position counts the bytes transferred, the size is unknown, and every seek that would move
// raises EReadError, as any failing seek does.
class TFileStream : public TStream {
public:
    // EFOpenError msg::FileOpen(path) / EFCreateError msg::FileCreate(path).
    TFileStream(const std::string& path, TFileMode mode);
    // Takes over an open descriptor (closed with the stream); name stands for it in messages.
    TFileStream(int descriptor, std::string name);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override;

    // Flushes the file's data to the disk; EFileWriteError when the system reports a failure.
    void Sync();
    // Starts the file's data written so far on its way to the disk without waiting for it, so that
    // a Sync later has little left to wait for. Advice only: nothing fails.
    void StartWriteback();
    // From now on, StartWriteback whenever this many more bytes were written; 0 stops it.
    void StartWritebackEvery(int64_t bytes) { writebackEvery_ = bytes; }
    const std::string& FileName() const { return path_; }
    int Handle() const { return fd_; }
    bool CanSeek() const { return seekable_; }

protected:
    [[noreturn]] void WriteFailed() override;

private:
    void Attach();

    int fd_ = -1;
    std::string path_;
    bool seekable_ = true;
    int64_t transferred_ = 0; // the position of a stream that cannot seek
    int lastError_ = 0;       // errno of the last failed write
    int64_t writebackEvery_ = 0;
    int64_t writebackStarted_ = 0; // transferred_ when writeback was last started
};

// Readers recognise this class and read its memory in place.
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<uint8_t> bytes) : data_(std::move(bytes)) {}
    TMemoryStream(const void* data, size_t size);

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return static_cast<int64_t>(data_.size()); }

    const uint8_t* Memory() const { return data_.data(); }
    const std::vector<uint8_t>& Bytes() const { return data_; }
    std::vector<uint8_t>& Bytes() { return data_; }
    void SetSize(int64_t size);
    void Clear();
    // Replaces the contents by what is left of source, read to its end (source need not seek).
    // Returns false, keeping the first limit bytes, when source holds more than limit bytes.
    bool LoadFromStream(TStream& source, int64_t limit);
    // A file that cannot seek (a FIFO, /dev/stdin ...) is read to its end as well.
    void LoadFromFile(const std::string& path);
    void SaveToFile(const std::string& path);

private:
    std::vector<uint8_t> data_;
    int64_t position_ = 0;
};

} // namespace tintabrel
