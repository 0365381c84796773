#include "app/SafeFile.h"

#include "base/ScopeGuard.h"
#include "base/TaskPool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <cctype>
#include <climits>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tintabrel {

namespace {

// The temporary files in progress, so that a program ending at once can remove them all.
struct TTemporaryFiles {
    std::mutex Mutex;
    std::multiset<std::string> Names;
    bool Abandoned = false;
};

TTemporaryFiles& Temporaries()
{
    static TTemporaryFiles files;
    return files;
}

void Forget(const std::string& temp)
{
    TTemporaryFiles& files = Temporaries();
    std::lock_guard lock(files.Mutex);
    const auto it = files.Names.find(temp);
    if (it != files.Names.end()) files.Names.erase(it);
}

std::atomic<TDeferredCommits*> g_deferred{nullptr};

// At most this many bytes of the target's name go into the temporary name, cut at a character
// boundary: with ".", ".tmp-" and six letters it stays far below any name limit.
constexpr size_t NameBytesKept = 32;

// Syncs of a deferred batch waiting at the same time.
constexpr size_t SyncThreads = 16;

std::string TemporaryName(const std::string& folder, const std::string& name)
{
    size_t keep = std::min(name.size(), NameBytesKept);
    while (keep > 0 && keep < name.size() && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    // Seeded once per thread: a random device made per name cost more than the rest of a sprite's
    // name and file creation (a clash is harmless anyway: the file is created exclusively).
    thread_local std::mt19937 random{std::random_device{}()};
    std::string suffix;
    for (int k = 0; k < 6; ++k) suffix += letters[random() % (sizeof letters - 1)];
    return folder + "." + name.substr(0, keep) + ".tmp-" + suffix;
}

// Whether name is one that TemporaryName makes: "." NAME ".tmp-" and six letters or digits.
bool IsTemporaryName(const std::string& name)
{
    constexpr size_t Tail = 5 + 6; // ".tmp-XXXXXX"
    if (name.size() < 1 + 1 + Tail || name.size() > 1 + NameBytesKept + Tail || name[0] != '.') return false;
    const size_t tail = name.size() - Tail;
    if (name.compare(tail, 5, ".tmp-") != 0) return false;
    for (size_t k = tail + 5; k < name.size(); ++k)
        if (!std::isalnum(static_cast<unsigned char>(name[k]))) return false;
    return true;
}

// Gives the finished temporary file the name of the file it replaces (file); messages name target.
void Publish(const std::string& temp, const std::string& file, const std::string& target, bool replaceExisting)
{
    if (replaceExisting) {
        if (std::rename(temp.c_str(), file.c_str()) != 0) throw EFileWriteError(target, errno);
    } else if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, file.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno == EEXIST) throw EFileCreateError(target, EEXIST);
        // File systems without the no-replace rename: a hard link fails the same way on an existing name.
        if (::link(temp.c_str(), file.c_str()) != 0) {
            if (errno == EEXIST) throw EFileCreateError(target, EEXIST);
            throw EFileWriteError(target, errno);
        }
        ::unlink(temp.c_str());
    }
}

// The file that path leads to through symbolic links, as opening it would follow them; a link to
// nothing leads to the name it holds, which the rename then creates. EFileCreateError (ELOOP)
// for a chain of links that does not end.
std::string FollowLinks(const std::string& path)
{
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st{};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        char buffer[PATH_MAX];
        const ssize_t n = ::readlink(current.c_str(), buffer, sizeof buffer);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) throw EFileCreateError(path, n < 0 ? errno : ENAMETOOLONG);
        std::string next(buffer, static_cast<size_t>(n));
        const size_t slash = current.find_last_of('/');
        if (next[0] != '/' && slash != std::string::npos) next = current.substr(0, slash + 1) + next;
        current = std::move(next);
    }
    throw EFileCreateError(path, ELOOP);
}

} // namespace

// A finished temporary file waiting for its name; dropped unnamed, it is removed.
struct TSafeFileWriter::TPending {
    std::string Target;   // as named
    std::string Replaced; // the file replaced (where a link leads)
    std::string Temp;
    std::unique_ptr<TFileStream> File;
    bool ReplaceExisting = true;
    bool Published = false;

    ~TPending()
    {
        if (Published) return;
        File.reset();
        ::unlink(Temp.c_str());
        Forget(Temp);
    }
};

namespace {

// A temporary file created exclusively and recorded in one step, so that AbandonAll misses none;
// -1 with errno set when it cannot be made.
int CreateTemporary(const std::string& folder, const std::string& name, std::string& temp)
{
    TTemporaryFiles& files = Temporaries();
    std::lock_guard lock(files.Mutex);
    if (files.Abandoned) {
        errno = EINTR;
        return -1;
    }
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = TemporaryName(folder, name);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd >= 0) files.Names.insert(temp);
    return fd;
}

bool OutOfDescriptors(int error) { return error == EMFILE || error == ENFILE; }

} // namespace

TSafeFileWriter::TSafeFileWriter(const std::string& target, bool replaceExisting) : target_(target), replaced_(target)
{
    struct stat st{};
    bool exists = ::lstat(target.c_str(), &st) == 0;
    if (exists && S_ISLNK(st.st_mode)) {
        // The link stays; the file it leads to is the one replaced, from its own folder.
        replaced_ = FollowLinks(target);
        exists = ::stat(replaced_.c_str(), &st) == 0;
    }
    if (exists && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        // A device or a FIFO is written into where it is: a rename would replace the node itself
        // (as root, /dev/null by a picture). A FIFO's open waits for its reader, as for any writer.
        if (!replaceExisting) throw EFileCreateError(target, EEXIST);
        int fd = ::open(replaced_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        for (int attempt = 0; fd < 0 && TDeferredCommits::MakeRoomForDescriptor(errno, attempt);)
            fd = ::open(replaced_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) throw EFileCreateError(target, errno);
        file_ = std::make_unique<TFileStream>(fd, target);
        return;
    }
    const size_t slash = replaced_.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string() : replaced_.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? replaced_ : replaced_.substr(slash + 1);
    int fd = CreateTemporary(folder, name, temp_);
    // The files of a deferred batch hold descriptors until their flush: with none left, flushing
    // them now lets this file and the rest of the batch be written.
    for (int attempt = 0; fd < 0 && TDeferredCommits::MakeRoomForDescriptor(errno, attempt);)
        fd = CreateTemporary(folder, name, temp_);
    if (fd < 0) {
        const int error = errno;
        temp_.clear();
        throw EFileCreateError(target, error);
    }
    // Held while this process may still name the file: RemoveStaleTemporaries leaves it alone.
    (void)::flock(fd, LOCK_SH | LOCK_NB);
    if (exists && S_ISREG(st.st_mode)) {
        // A replace keeps what the old file was: its owner and group where the system lets this
        // user give them (the group alone, else neither), then its mode, which a change of owner
        // may have cut.
        if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) && ::fchown(fd, st.st_uid, st.st_gid) != 0)
            (void)::fchown(fd, static_cast<uid_t>(-1), st.st_gid);
        (void)::fchmod(fd, st.st_mode & 07777);
    }
    file_ = std::make_unique<TFileStream>(fd, target);
    // A large file is on its way to the disk while it is written, not all at the commit's sync.
    file_->StartWritebackEvery(int64_t{8} << 20);
}

TSafeFileWriter::~TSafeFileWriter()
{
    file_.reset();
    if (!committed_ && !temp_.empty()) {
        ::unlink(temp_.c_str());
        Forget(temp_);
    }
}

void TSafeFileWriter::Commit(bool replaceExisting)
{
    if (WritesInPlace()) {
        // Nothing to rename, and a FIFO's reader sees the end only once it is closed.
        if (!replaceExisting) throw EFileCreateError(target_, EEXIST);
        file_->Sync();
        file_.reset();
        committed_ = true;
        return;
    }
    TDeferredCommits* deferred = g_deferred.load();
    if (deferred) {
        // The data starts on its way to the disk now; Flush waits for it.
        file_->StartWriteback();
    } else {
        file_->Sync();
    }
    auto pending = std::make_unique<TPending>();
    pending->Target = target_;
    pending->Replaced = replaced_;
    pending->Temp = temp_;
    pending->File = std::move(file_);
    pending->ReplaceExisting = replaceExisting;
    committed_ = true; // from here the pending commit owns the temporary file
    if (deferred) deferred->Add(std::move(pending));
    else Finish(*pending);
}

void TSafeFileWriter::Finish(TPending& pending)
{
    pending.File.reset();
    Publish(pending.Temp, pending.Replaced, pending.Target, pending.ReplaceExisting);
    pending.Published = true;
    Forget(pending.Temp);
}

void TSafeFileWriter::AbandonAll()
{
    TTemporaryFiles& files = Temporaries();
    std::lock_guard lock(files.Mutex);
    files.Abandoned = true;
    for (const std::string& name : files.Names) ::unlink(name.c_str());
    files.Names.clear();
}

std::vector<std::string> RemoveStaleTemporaries(const std::string& folder, std::chrono::seconds olderThan)
{
    std::vector<std::string> removed;
    std::error_code ec;
    const auto now = std::chrono::system_clock::now();
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (!IsTemporaryName(it->path().filename().string())) continue;
        const std::string path = it->path().string();
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) continue;
        const TScopeGuard close([fd] { ::close(fd); });
        struct stat st{};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) continue;
        const auto changed = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
        if (now - changed < olderThan) continue;
        // A writer that is still alive holds its file locked.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) continue;
        if (::unlink(path.c_str()) == 0) removed.push_back(path);
    }
    return removed;
}

namespace {

// Files a part of a deferred batch may hold open: an eighth of the descriptors the process may
// have (two parts may be open, one syncing and one filling), so that the inputs and outputs in
// progress keep three quarters.
size_t DescriptorShare()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
    return std::max<size_t>(1, static_cast<size_t>(limit.rlim_cur / 8));
}

} // namespace

TDeferredCommits::TDeferredCommits(size_t flushEvery)
    : flushEvery_(std::max<size_t>(1, std::min(flushEvery, DescriptorShare())))
{
    TDeferredCommits* none = nullptr;
    if (!g_deferred.compare_exchange_strong(none, this)) throw std::logic_error("TDeferredCommits: one at a time");
}

TDeferredCommits::~TDeferredCommits()
{
    AwaitBackground();
    g_deferred = nullptr;
}

void TDeferredCommits::Add(std::unique_ptr<TSafeFileWriter::TPending> pending)
{
    TBatch full;
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(pending));
        if (pending_.size() >= flushEvery_) full.swap(pending_);
    }
    if (!full.empty()) FlushInBackground(std::move(full));
}

void TDeferredCommits::FlushInBackground(TBatch batch)
{
    std::lock_guard background(backgroundMutex_);
    background_.Join(); // the part before, if it still syncs: at most two parts hold descriptors
    auto shared = std::make_shared<TBatch>(std::move(batch));
    const auto flush = [this, shared] {
        std::lock_guard flushing(flushMutex_);
        std::vector<TFailure> failures = FlushBatch(std::move(*shared));
        std::lock_guard lock(mutex_);
        failures_.insert(failures_.end(), failures.begin(), failures.end());
    };
    if (!background_.Start(flush)) flush();
}

void TDeferredCommits::AwaitBackground()
{
    std::lock_guard background(backgroundMutex_);
    background_.Join();
}

bool TDeferredCommits::FlushKeepingFailures(bool anyFlush)
{
    const uint64_t seen = flushes_.load();
    std::lock_guard flushing(flushMutex_);
    // A flush that ended while this one waited has closed files too.
    if (anyFlush && flushes_.load() != seen) return true;
    {
        std::lock_guard lock(mutex_);
        if (pending_.empty()) return false;
    }
    std::vector<TFailure> failures = FlushLocked();
    std::lock_guard lock(mutex_);
    failures_.insert(failures_.end(), failures.begin(), failures.end());
    return true;
}

bool TDeferredCommits::FlushWaitingFiles()
{
    TDeferredCommits* deferred = g_deferred.load();
    return deferred && deferred->FlushKeepingFailures(true);
}

bool TDeferredCommits::MakeRoomForDescriptor(int error, int& attempt)
{
    if (!OutOfDescriptors(error)) return false;
    if (FlushWaitingFiles()) return true;
    constexpr int Waits = 400;
    if (attempt >= Waits) return false;
    ++attempt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return true;
}

int TDeferredCommits::DescriptorsLeft()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return -1;
    std::error_code error;
    int open = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end; it.increment(error))
        ++open;
    if (error) return -1;
    // The listing's own descriptor was counted too.
    const int64_t left = static_cast<int64_t>(limit.rlim_cur) - (open - 1);
    return static_cast<int>(std::clamp<int64_t>(left, 0, 1 << 20));
}

std::vector<TDeferredCommits::TFailure> TDeferredCommits::Flush()
{
    AwaitBackground();
    std::lock_guard flushing(flushMutex_);
    return FlushLocked();
}

std::vector<TDeferredCommits::TFailure> TDeferredCommits::FlushLocked()
{
    TBatch batch;
    std::vector<TFailure> failures;
    {
        std::lock_guard lock(mutex_);
        batch.swap(pending_);
        failures.swap(failures_);
    }
    std::vector<TFailure> more = FlushBatch(std::move(batch));
    failures.insert(failures.end(), more.begin(), more.end());
    return failures;
}

std::vector<TDeferredCommits::TFailure> TDeferredCommits::FlushBatch(TBatch batch)
{
    const TScopeGuard counted([this] { ++flushes_; });
    std::vector<TFailure> failures;
    // Every file's data first, then the names. The syncs wait side by side: waiting mostly for
    // the disk, they cost no processor, and the file system's journal commits them together.
    std::vector<std::exception_ptr> errors(batch.size());
    RunTasks(batch.size(), SyncThreads, [&](size_t k) {
        try {
            batch[k]->File->Sync();
        } catch (...) {
            errors[k] = std::current_exception();
        }
    });
    for (size_t k = 0; k < batch.size(); ++k) {
        if (!errors[k]) continue;
        failures.push_back({batch[k]->Target, errors[k]});
        batch[k].reset();
    }
    for (auto& pending : batch) {
        if (!pending) continue;
        try {
            TSafeFileWriter::Finish(*pending);
        } catch (...) {
            failures.push_back({pending->Target, std::current_exception()});
        }
    }
    return failures;
}

} // namespace tintabrel
