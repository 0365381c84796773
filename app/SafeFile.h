// Saving that never destroys an existing file: the bytes go to a temporary file beside the target
// that takes the target's name only when complete and on the disk, one file at a time or a batch
// together.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/Streams.h"
#include "base/TaskPool.h"

namespace tintabrel {

// Writes through a temporary file in the target's folder and renames it over the target. The
// temporary file is created once, exclusively (a name planted there meanwhile, a link included,
// is never followed), written through that descriptor, and named after at most the first bytes
// of the target's name, so that every name the folder accepts works.
// A target that is a symbolic link is written through it: the file it leads to is replaced (its
// temporary file in that file's folder) and the link stays. The replaced file's owner, group and
// mode are kept as far as the system allows. A target that exists and is not a regular file (a
// FIFO, a terminal, /dev/null, a link to one such as /dev/stdout) is written into directly
// instead, as any other tool writes there: renaming over it would put a regular file in its place.
// Each temporary file carries a shared lock while it is open, which tells a living writer's file
// from one left by a writer that ended at once (RemoveStaleTemporaries).
// EFileCreateError msg::FileCreate(target) when it cannot be made; without replaceExisting, an
// existing target that is not a regular file is refused at once (EEXIST), nothing written to it.
// Failed writes raise EFileWriteError naming the target.
class TSafeFileWriter {
public:
    explicit TSafeFileWriter(const std::string& target, bool replaceExisting = true);
    ~TSafeFileWriter(); // removes the temporary file unless committed
    TSafeFileWriter(const TSafeFileWriter&) = delete;
    TSafeFileWriter& operator=(const TSafeFileWriter&) = delete;

    TStream& Stream() { return *file_; }
    // Flushes to the disk and renames over the target; EWriteError on failure. Without
    // replaceExisting an existing target is kept: EFileCreateError naming the target (EEXIST).
    // While a TDeferredCommits is alive, the file is handed to it instead and this returns at once.
    // A target written directly is flushed and closed here, never deferred.
    void Commit(bool replaceExisting = true);
    // True when the bytes go straight into the existing target (no temporary file).
    bool WritesInPlace() const { return temp_.empty(); }

    // Removes the temporary file of every writer and deferred commit still pending, and makes
    // later writers fail: for a program that must end at once. Any thread may call it.
    static void AbandonAll();

private:
    friend class TDeferredCommits;
    struct TPending;
    static void Finish(TPending& pending);

    std::string target_; // as named: messages name it
    std::string replaced_; // the file replaced: target_, or the file a link leads to
    std::string temp_;
    std::unique_ptr<TFileStream> file_;
    bool committed_ = false;
};

// Removes the temporary files that writers which ended at once (killed, or the machine stopped)
// left in folder: files of the temporary-file names above (".NAME.tmp-XXXXXX"), regular, the
// running user's, unchanged for at least olderThan and not held by a living writer. Returns the
// paths removed; nothing else is ever touched.
std::vector<std::string> RemoveStaleTemporaries(const std::string& folder,
                                                std::chrono::seconds olderThan = std::chrono::minutes(10));

// A batch of saves made durable together. While one is alive, TSafeFileWriter::Commit on any
// thread only starts the file's data on its way to the disk and hands the file over; Flush then
// waits for all of them at once and gives each its name. So no output is ever seen empty or
// partial after a crash, without one serial wait for the disk per file. A part of the batch that
// fills up (flushEvery files) is synced and named on a thread of its own while the next part
// fills, so that no writer waits for the disk (only for a part still syncing when the next one
// is full). Only one at a time.
class TDeferredCommits {
public:
    struct TFailure {
        std::string Target;
        std::exception_ptr Error;
    };

    // Flushes by itself whenever flushEvery files are waiting, which bounds the open files; fewer
    // when the process may open few files (an eighth of RLIMIT_NOFILE a part), and at once when a new
    // file finds no descriptor left.
    explicit TDeferredCommits(size_t flushEvery = 64);
    ~TDeferredCommits(); // the temporary files of commits never flushed are removed
    TDeferredCommits(const TDeferredCommits&) = delete;
    TDeferredCommits& operator=(const TDeferredCommits&) = delete;

    // Makes every handed file durable and renames it; returns the saves that failed since the
    // last call, those of the flushes made by itself included.
    std::vector<TFailure> Flush();
    size_t FlushEvery() const { return flushEvery_; }

    // When a batch is alive and holds files, flushes them now (their failures are returned by
    // the next Flush) and returns true: to free their descriptors, or to keep them when the
    // program is asked to stop. Any thread may call it.
    static bool FlushWaitingFiles();
    // For a caller whose open failed with error: true when it should try again, after the waiting
    // files were flushed or, with none waiting, after a short wait for another job to close its
    // files (other jobs of the batch hold descriptors only for a while). attempt counts the
    // caller's tries; the waits end after about two seconds, and any other error ends at once.
    static bool MakeRoomForDescriptor(int error, int& attempt);
    // How many more files this process may open now (RLIMIT_NOFILE less those open), or -1 when
    // that cannot be told.
    static int DescriptorsLeft();

private:
    friend class TSafeFileWriter;

    using TBatch = std::vector<std::unique_ptr<TSafeFileWriter::TPending>>;

    void Add(std::unique_ptr<TSafeFileWriter::TPending> pending);
    // Syncs and names a full part on the background thread (here when none can be started).
    void FlushInBackground(TBatch batch);
    // Waits for the part the background thread is flushing.
    void AwaitBackground();
    // Flushes what is waiting and keeps its failures for the next Flush; false when nothing waited
    // (with anyFlush, true also when another flush ended meanwhile).
    bool FlushKeepingFailures(bool anyFlush);
    std::vector<TFailure> FlushLocked(); // with flushMutex_ held
    std::vector<TFailure> FlushBatch(TBatch batch); // with flushMutex_ held

    size_t flushEvery_;
    std::mutex flushMutex_; // one flush at a time, so that a waiting one knows files were closed
    std::atomic<uint64_t> flushes_{0};
    std::mutex mutex_;
    TBatch pending_;
    std::vector<TFailure> failures_;
    std::mutex backgroundMutex_; // one part flushed in the background at a time
    TThreadGroup background_;
};

} // namespace tintabrel
