// recolour and convert: plan every output before anything is written, then run the files in
// parallel, each on its own bitmaps, reporting failures per file.
#include "app/cli/CliTool.h"

#include "base/Exceptions.h"
#include "base/StringList.h"

#include <algorithm>
#include <csignal>
#include <pthread.h>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace tintabrel::cli {

TPictureKind InputKind(const std::string& path)
{
    const TPictureKind byName = KindOfExtension(ExtractExtension(path), false);
    if (byName != TPictureKind::Unknown) return byName;
    std::ifstream file(path, std::ios::binary);
    char head[8] = {};
    file.read(head, sizeof head);
    const std::streamsize got = file.gcount();
    if (got == 8 && std::memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0) return TPictureKind::Png;
    if (got >= 2 && head[0] == 'B' && head[1] == 'M') return TPictureKind::Bmp;
    return TPictureKind::Unknown;
}

const char* KindName(TPictureKind kind)
{
    switch (kind) {
    case TPictureKind::Png: return "PNG";
    case TPictureKind::Bmp: return "BMP";
    default: return "unknown";
    }
}

namespace {

struct TFileId {
    dev_t Device;
    ino_t Inode;
    friend bool operator==(const TFileId&, const TFileId&) = default;
};

std::optional<TFileId> IdOf(const std::string& path)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return TFileId{st.st_dev, st.st_ino};
}

// One input and where it goes. Refusal holds the reason when the file must not be processed.
struct TJob {
    std::string Input;
    TPictureKind InputKind = TPictureKind::Unknown;
    std::string Output;
    TPictureKind OutputKind = TPictureKind::Unknown;
    std::string Refusal;
    bool Overwrite = false; // an existing output may be replaced
};

// The same file reached by two spellings must count as one output.
std::string NormalPath(const std::string& path)
{
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
    if (ec) p = fs::absolute(path, ec).lexically_normal();
    return p.string();
}

std::string ReplaceExtension(const std::string& name, TPictureKind kind)
{
    const std::string ext = ExtractExtension(name);
    const std::string stem = name.substr(0, name.size() - ext.size());
    return stem + (kind == TPictureKind::Png ? ".png" : ".bmp");
}

// Sets Refusal on the jobs whose output would replace an input, or an existing file without
// --overwrite; refuses (usage) two inputs that would be written to the same file.
void CheckOutputs(std::vector<TJob>& jobs, bool overwrite)
{
    std::vector<TFileId> inputs;
    for (const TJob& job : jobs)
        if (auto id = IdOf(job.Input)) inputs.push_back(*id);

    std::map<std::string, const TJob*> outputs;
    for (const TJob& job : jobs) {
        auto [it, added] = outputs.emplace(NormalPath(job.Output), &job);
        if (!added)
            throw TUsageError(it->second->Input + " and " + job.Input + " would both be written to " + job.Output);
    }

    for (TJob& job : jobs) {
        job.Overwrite = overwrite;
        if (!job.Refusal.empty()) continue;
        struct stat st{};
        if (::stat(job.Output.c_str(), &st) != 0) continue;
        const TFileId id{st.st_dev, st.st_ino};
        if (std::find(inputs.begin(), inputs.end(), id) != inputs.end())
            job.Refusal = "the output " + job.Output + " is an input file; inputs are never overwritten";
        else if (S_ISDIR(st.st_mode))
            job.Refusal = "the output " + job.Output + " is a folder";
        else if (!overwrite)
            job.Refusal = "the output " + job.Output + " exists (--overwrite replaces it)";
    }
}

void FillInputKind(TJob& job)
{
    std::error_code ec;
    if (fs::is_directory(job.Input, ec)) {
        job.Refusal = "a folder, not a picture file";
        return;
    }
    job.InputKind = InputKind(job.Input);
    if (job.InputKind != TPictureKind::Unknown) return;
    if (::access(job.Input.c_str(), R_OK) != 0) job.Refusal = msg::FileOpen(job.Input);
    else job.Refusal = "not a PNG or BMP file (neither by its name nor by its first bytes)";
}

// Standard error is shared by the workers: whole lines only, and the progress bar is redrawn
// below the messages.
class TReporter {
public:
    TReporter(size_t total, bool bar) : total_(total), bar_(bar) { Draw(); }
    ~TReporter()
    {
        if (bar_) std::fputs("\r\x1b[K", stderr);
    }

    void Message(const std::string& path, const std::string& text)
    {
        std::lock_guard lock(mutex_);
        if (bar_) std::fputs("\r\x1b[K", stderr);
        std::fprintf(stderr, "%s: %s\n", path.c_str(), text.c_str());
        DrawLocked();
    }
    void Done()
    {
        std::lock_guard lock(mutex_);
        ++done_;
        DrawLocked();
    }

private:
    void Draw()
    {
        std::lock_guard lock(mutex_);
        DrawLocked();
    }
    void DrawLocked()
    {
        if (!bar_) return;
        constexpr size_t Width = 30;
        const size_t filled = total_ ? done_ * Width / total_ : Width;
        std::string line = "\r[" + std::string(filled, '#') + std::string(Width - filled, '.') + "] " +
                           std::to_string(done_) + "/" + std::to_string(total_);
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
    }

    std::mutex mutex_;
    size_t total_;
    size_t done_ = 0;
    bool bar_;
};

// An interruption (Ctrl-C, a terminal closed, kill) lets the files in progress finish, so no
// temporary file is left behind, takes no new ones, and then ends the program by the same
// signal. A second signal ends it at once.
class TInterruption {
public:
    TInterruption()
    {
        sigemptyset(&signals_);
        for (int s : {SIGINT, SIGTERM, SIGHUP, Wake}) sigaddset(&signals_, s);
        // Blocked here, before the workers start, so that only the watcher receives them.
        pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
        watcher_ = std::thread([this] { Watch(); });
    }
    ~TInterruption()
    {
        finished_ = true;
        pthread_kill(watcher_.native_handle(), Wake);
        watcher_.join();
        const int signal = signal_.load();
        if (signal != 0) {
            std::signal(signal, SIG_DFL);
            pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
            std::raise(signal);
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    bool Requested() const { return signal_.load() != 0; }

private:
    void Watch()
    {
        for (;;) {
            int signal = 0;
            if (sigwait(&signals_, &signal) != 0) continue;
            if (signal == Wake) {
                if (finished_) return;
                continue;
            }
            if (signal_.exchange(signal) != 0) _exit(128 + signal);
            static constexpr char text[] = "\ninterrupted: finishing the files in progress\n";
            (void)!write(STDERR_FILENO, text, sizeof text - 1);
        }
    }

    // Wakes the watcher when the work is done.
    static constexpr int Wake = SIGUSR2;
    sigset_t signals_{};
    sigset_t previous_{};
    std::atomic<bool> finished_{false};
    std::atomic<int> signal_{0};
    std::thread watcher_;
};

// Runs work on every job that was not refused, on up to run.Jobs threads. A job's exception
// becomes "INPUT: message"; returns the exit status.
int RunJobs(const std::vector<TJob>& jobs, const TRunOptions& run,
            const std::function<void(const TJob&, TReporter&)>& work)
{
    const bool bar = !run.Quiet && jobs.size() > 1 && ::isatty(STDERR_FILENO);
    std::atomic<bool> failed{false};
    std::atomic<size_t> next{0};
    TInterruption interruption;
    {
        TReporter reporter(jobs.size(), bar);
        auto worker = [&] {
            for (size_t k = next++; k < jobs.size() && !interruption.Requested(); k = next++) {
                const TJob& job = jobs[k];
                std::string error;
                if (!job.Refusal.empty()) {
                    error = job.Refusal;
                } else {
                    try {
                        work(job, reporter);
                    } catch (const std::bad_alloc&) {
                        error = msg::OutOfResources;
                    } catch (const std::exception& e) {
                        error = e.what();
                    }
                }
                if (!error.empty()) {
                    failed = true;
                    reporter.Message(job.Input, error);
                }
                reporter.Done();
            }
        };

        const size_t threads = std::min<size_t>(std::max(1u, run.Jobs), jobs.size());
        std::vector<std::thread> pool;
        for (size_t k = 1; k < threads; ++k) pool.emplace_back(worker);
        worker();
        for (std::thread& t : pool) t.join();
    }
    return failed ? ExitFailed : ExitDone;
}

// The reader takes a file that ends before its image data as an empty picture; written out, it
// would replace a sprite by nothing without a word.
void LoadInput(const TJob& job, TPictureData& data)
{
    LoadPicture(job.Input, job.InputKind, data, TTruncatedPixels::Refuse);
    if (data.Image.Empty() || data.Image.Width() == 0 || data.Image.Height() == 0)
        throw EInvalidGraphic("no picture in the file (it is empty or ends before its image data)");
}

void Save(const TJob& job, const TBitmap& image, const TBitmap& alpha, const TPNGSaveOptions& png,
          TReporter& reporter)
{
    if (job.OutputKind == TPictureKind::Bmp && !alpha.Empty())
        reporter.Message(job.Input, "warning: " + job.Output + " is BMP, which holds no transparency; it is dropped");
    const TBitmap none;
    SavePicture(job.Output, job.OutputKind, image, job.OutputKind == TPictureKind::Png ? alpha : none, png,
                job.Overwrite);
}

} // namespace

int RunRecolour(const TRecolourOptions& options)
{
    const TOutputOptions& out = options.Output;
    std::vector<TJob> jobs;

    if (!out.OutputFile.empty()) {
        if (options.Inputs.size() != 1) throw TUsageError("-o takes exactly one input; use --out-dir for several");
        TJob job;
        job.Input = options.Inputs.front();
        job.Output = out.OutputFile;
        const TPictureKind byName = KindOfExtension(ExtractExtension(out.OutputFile), false);
        if (byName != TPictureKind::Unknown && out.Format != TPictureKind::Unknown && byName != out.Format)
            throw TUsageError("--format " + std::string(KindName(out.Format)) + " contradicts the name " +
                              out.OutputFile);
        job.OutputKind = byName != TPictureKind::Unknown ? byName : out.Format;
        if (job.OutputKind == TPictureKind::Unknown)
            throw TUsageError("cannot tell the format of " + out.OutputFile + ": name it .png or .bmp, or give --format");
        jobs.push_back(job);
    } else {
        std::error_code ec;
        if (!fs::is_directory(out.OutputDir, ec)) throw TUsageError("--out-dir " + out.OutputDir + " is not a folder");
        for (const std::string& input : options.Inputs) {
            TJob job;
            job.Input = input;
            const std::string name = fs::path(input).filename().string();
            if (name.empty()) throw TUsageError(input + " is not a file name");
            if (out.Format != TPictureKind::Unknown) {
                job.Output = (fs::path(out.OutputDir) / ReplaceExtension(name, out.Format)).string();
                job.OutputKind = out.Format;
            } else {
                job.Output = (fs::path(out.OutputDir) / name).string();
                job.OutputKind = KindOfExtension(ExtractExtension(name), false);
            }
            jobs.push_back(job);
        }
    }
    for (TJob& job : jobs) {
        FillInputKind(job);
        // A name that does not tell the format keeps the input's format.
        if (job.OutputKind == TPictureKind::Unknown) job.OutputKind = job.InputKind;
    }
    CheckOutputs(jobs, out.Overwrite);

    TStringList list;
    if (!options.ListFile.empty()) {
        try {
            list.LoadFromFile(options.ListFile);
        } catch (const std::exception& e) {
            throw TUsageError("--list: " + std::string(e.what()));
        }
    }
    // Built once and only read by the workers.
    const TProtectedColors protectedColors(list);

    return RunJobs(jobs, options.Run, [&](const TJob& job, TReporter& reporter) {
        TPictureData data;
        LoadInput(job, data);
        TBitmap after;
        ReplaceHue(data.Image, after, protectedColors, options.Window);
        Save(job, after, data.Alpha, out.Png, reporter);
    });
}

int RunConvert(const TConvertOptions& options)
{
    TJob job;
    job.Input = options.Input;
    job.Output = options.Output;
    job.OutputKind = KindOfExtension(ExtractExtension(options.Output), false);
    if (job.OutputKind == TPictureKind::Unknown)
        throw TUsageError("cannot tell the format of " + options.Output + ": name it .png or .bmp");
    FillInputKind(job);
    std::vector<TJob> jobs{job};
    CheckOutputs(jobs, options.Overwrite);
    return RunJobs(jobs, TRunOptions{1, true}, [&](const TJob& j, TReporter& reporter) {
        TPictureData data;
        LoadInput(j, data);
        Save(j, data.Image, data.Alpha, options.Png, reporter);
    });
}

} // namespace tintabrel::cli
