// recolour and convert: plan every output before anything is written, then run the files in
// parallel, each on its own bitmaps, reporting failures per file.
#include "app/cli/CliTool.h"
#include "app/cli/RecipeRun.h"
#include "app/cli/RecolourAsRead.h"

#include "app/PictureChange.h"
#include "png/PngOptimize.h"

#include "app/cli/Inputs.h"
#include "app/cli/MemoryBudget.h"
#include "app/cli/Messages.h"
#include "app/cli/Signals.h"
#include "base/Exceptions.h"
#include "base/StringList.h"
#include "base/TaskPool.h"

#include <algorithm>
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
    // A FIFO or a pipe would lose the bytes looked at here: only regular files are looked into.
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return TPictureKind::Unknown;
    std::ifstream file(path, std::ios::binary);
    char head[8] = {};
    file.read(head, sizeof head);
    return KindOfFirstBytes(reinterpret_cast<const uint8_t*>(head), static_cast<size_t>(file.gcount()));
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
    if ((IsStandardStream(path) ? ::fstat(STDIN_FILENO, &st) : ::stat(path.c_str(), &st)) != 0) return std::nullopt;
    return TFileId{st.st_dev, st.st_ino};
}

// One input and where it goes. Refusal holds the reason when the file must not be processed.
// Input "-" is standard input, Output "-" standard output. An input that cannot seek has its
// kind (and, following it, the output's) settled only once it is read.
struct TJob {
    std::string Input;
    TPictureKind InputKind = TPictureKind::Unknown;
    std::string Output;
    TPictureKind OutputKind = TPictureKind::Unknown;
    std::string Refusal;
    bool Overwrite = false; // an existing output may be replaced
    std::string Variant;    // recolour: the recipe variant this output is of, "" for the plain chain
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
        if (IsStandardStream(job.Output)) continue;
        auto [it, added] = outputs.emplace(NormalPath(job.Output), &job);
        if (!added)
            throw TUsageError(it->second->Input + " and " + job.Input + " would both be written to " + job.Output);
    }

    for (TJob& job : jobs) {
        job.Overwrite = overwrite;
        if (!job.Refusal.empty() || IsStandardStream(job.Output)) continue;
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
    if (IsStandardStream(job.Input)) return; // told by its first bytes once read
    std::error_code ec;
    if (fs::is_directory(job.Input, ec)) {
        job.Refusal = "a folder, not a picture file";
        return;
    }
    struct stat st{};
    if (::stat(job.Input.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        // A FIFO, a pipe, a device: its bytes can be read only once, when it is processed.
        job.InputKind = KindOfExtension(ExtractExtension(job.Input), false);
        return;
    }
    job.InputKind = InputKind(job.Input);
    if (job.InputKind != TPictureKind::Unknown) return;
    if (::access(job.Input.c_str(), R_OK) != 0) job.Refusal = msg::FileOpen(job.Input);
    else job.Refusal = NotAPictureFile;
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
        std::fprintf(stderr, "%s\n", Printable(path + ": " + text).c_str());
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

// The work on one file once its picture is loaded (the job's kinds are settled).
using TWork = std::function<void(const TJob&, TPictureData&, TReporter&)>;
// Work that reads the file itself, to work while it reads (with the threads the file may use);
// false leaves the file to the plain load and TWork.
using TReadingWork = std::function<bool(const TJob&, TInput&, unsigned threads)>;

// One file: its input opened once (read whole when it cannot seek), its kinds settled, admitted
// when the picture it declares fits the memory budget, loaded (on up to threads threads), and
// handed to work.
void RunJob(const TJob& planned, unsigned threads, TMemoryBudget& budget, const TWork& work,
            const TReadingWork& readingWork, TReporter& reporter)
{
    TInput input(planned.Input);
    TJob job = planned;
    job.InputKind = input.Kind(planned.InputKind);
    if (job.InputKind == TPictureKind::Unknown)
        throw EInvalidGraphic(NotAPictureFile);
    if (job.OutputKind == TPictureKind::Unknown) job.OutputKind = job.InputKind;
    const auto ticket = budget.Admit(WorkingBytes(input.DeclaredPixels(job.InputKind)) + input.MemoryBytes());
    if (readingWork && readingWork(job, input, threads)) return;
    TPictureData data;
    TLoadOptions options;
    options.Threads = threads;
    input.Load(job.InputKind, data, nullptr, options);
    work(job, data, reporter);
}

// Runs work on every job that was not refused, on up to run.Jobs threads, each file loading on
// up to fileThreads. A job's exception becomes "INPUT: message"; returns the exit status. The
// outputs of a batch are made durable together before they take their names (TDeferredCommits).
int RunJobs(const std::vector<TJob>& jobs, const TRunOptions& run, unsigned fileThreads, const TWork& work,
            const std::function<void(const TJob&)>& failedJob = {}, const TReadingWork& readingWork = {})
{
    const bool bar = !run.Quiet && jobs.size() > 1 && ::isatty(STDERR_FILENO);
    std::atomic<bool> failed{false};
    TMemoryBudget budget(TMemoryBudget::FromAvailableMemory());
    TInterruption interruption;
    {
        TReporter reporter(jobs.size(), bar);
        std::optional<TDeferredCommits> commits;
        if (jobs.size() > 1) commits.emplace();
        // Each job's failure is its own: the task never throws, so one file cannot stop the batch.
        RunTasks(
            jobs.size(), std::max(1u, run.Jobs),
            [&](size_t k) {
                const TJob& job = jobs[k];
                std::string error;
                if (!job.Refusal.empty()) {
                    error = job.Refusal;
                } else {
                    try {
                        RunJob(job, fileThreads, budget, work, readingWork, reporter);
                    } catch (const std::bad_alloc&) {
                        error = msg::OutOfResources;
                    } catch (const std::exception& e) {
                        error = FailureText(e);
                    }
                }
                if (!error.empty()) {
                    failed = true;
                    if (failedJob) failedJob(job);
                    reporter.Message(job.Input, error);
                }
                reporter.Done();
            },
            [&] { return interruption.Requested(); });

        if (commits) {
            for (const TDeferredCommits::TFailure& failure : commits->Flush()) {
                failed = true;
                const auto job = std::find_if(jobs.begin(), jobs.end(), [&](const TJob& j) { return j.Output == failure.Target; });
                try {
                    std::rethrow_exception(failure.Error);
                } catch (const std::exception& e) {
                    reporter.Message(job != jobs.end() ? job->Input : failure.Target, FailureText(e));
                }
            }
        }
    }
    return failed ? ExitFailed : ExitDone;
}

void Save(const TJob& job, const TPictureData& data, const TPNGSaveOptions& png, TReporter& reporter)
{
    if (job.OutputKind == TPictureKind::Bmp && data.HasAlpha())
        reporter.Message(job.Input, "warning: " + job.Output + " is BMP, which holds no transparency; it is dropped");
    if (IsStandardStream(job.Output)) {
        // Whole in memory first, so that a failed encoding sends nothing down the pipe.
        TMemoryStream bytes;
        SavePicture(bytes, job.OutputKind, data, png);
        const int fd = ::dup(STDOUT_FILENO);
        if (fd < 0) throw EFileWriteError("standard output", errno);
        TFileStream out(fd, "standard output");
        out.WriteBuffer(bytes.Memory(), bytes.Size());
        return;
    }
    SavePicture(job.Output, job.OutputKind, data, png, job.Overwrite);
}

// Checks the format asked for against the output's name; "-" (standard output) needs --format.
TPictureKind OutputKindOf(const std::string& output, TPictureKind format)
{
    if (IsStandardStream(output)) {
        if (format == TPictureKind::Unknown) throw TUsageError("writing to standard output (-) needs --format png|bmp");
        return format;
    }
    const TPictureKind byName = KindOfExtension(ExtractExtension(output), false);
    if (byName != TPictureKind::Unknown && format != TPictureKind::Unknown && byName != format)
        throw TUsageError("--format " + std::string(KindName(format)) + " contradicts the name " + output);
    const TPictureKind kind = byName != TPictureKind::Unknown ? byName : format;
    if (kind == TPictureKind::Unknown)
        throw TUsageError("cannot tell the format of " + output + ": name it .png or .bmp, or give --format");
    return kind;
}

// mkdir -p: the folder and every missing folder above it.
void MakeOutputDir(const std::string& dir)
{
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw std::runtime_error("cannot create the folder --out-dir " + dir + ": " + ec.message());
}

// A large PNG going to a PNG file is recoloured (or, with no changes, copied) and written while it
// is read, where that applies (CanRecolourAsRead); false leaves the job to the plain load.
bool TryRecolourAsRead(const TJob& job, TInput& input, unsigned threads, const TChain& chain,
                       const TProtectedColors& protectedColors, const TPNGSaveOptions& png)
{
    if (job.InputKind != TPictureKind::Png || job.OutputKind != TPictureKind::Png || IsStandardStream(job.Output) ||
        !CanRecolourAsRead(input, chain, png, threads))
        return false;
    RecolourAsRead(input, job.Output, job.Overwrite, chain, protectedColors, png, threads);
    return true;
}

// One output of recolour once its input is loaded: the job's chain of changes (each starting from
// the result of the one before), then the save, or in a dry run the counts of each change. Each
// job loaded its own picture, so the changes work on it where it lies.
void RecolourPicture(const TJob& job, TPictureData& data, const TRecolourOptions& options,
                     const TProtectedColors& protectedColors, const TPNGSaveOptions& png,
                     TDryRunReport* dryRun, TReporter& reporter)
{
    const TChain& chain = ChainOf(options.Recipe, job.Variant);
    if (dryRun) {
        dryRun->Run(job.Output, [&](TDryRunReport::TResult& report) {
            ApplyChain(data, chain, protectedColors, options.TrueColour, &report.Changes, png.Threads);
            report.Width = data.Image.Width();
            report.Height = data.Image.Height();
        });
        return;
    }
    ApplyChain(data, chain, protectedColors, options.TrueColour, nullptr, png.Threads);
    Save(job, data, png, reporter);
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
        job.OutputKind = OutputKindOf(out.OutputFile, out.Format);
        jobs.push_back(job);
    } else {
        std::error_code ec;
        if (fs::exists(out.OutputDir, ec) && !fs::is_directory(out.OutputDir, ec))
            throw TUsageError("--out-dir " + out.OutputDir + " is not a folder");
        for (const std::string& input : options.Inputs) {
            if (IsStandardStream(input)) throw TUsageError("standard input (-) has no name for --out-dir: use -o OUTPUT");
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
            // The plain output when the recipe has a chain, then one output per variant.
            if (!options.Recipe.Chain.empty()) jobs.push_back(job);
            for (const TVariant& variant : options.Recipe.Variants) {
                jobs.push_back(job);
                jobs.back().Output = VariantOutput(job.Output, variant.Name);
                jobs.back().Variant = variant.Name;
            }
        }
    }
    for (TJob& job : jobs) {
        FillInputKind(job);
        // A name that does not tell the format keeps the input's format.
        if (job.OutputKind == TPictureKind::Unknown) job.OutputKind = job.InputKind;
    }
    // A dry run writes nothing, so existing outputs do not matter to it.
    CheckOutputs(jobs, out.Overwrite || options.DryRun);

    // Built once and only read by the workers.
    const TProtectedColors protectedColors(ProtectedList(options));
    std::optional<TDryRunReport> dryRun;
    if (options.DryRun) dryRun.emplace(TDryRunReport::OutputsOf(jobs), options.Json);
    else if (!out.OutputDir.empty()) MakeOutputDir(out.OutputDir);

    // The cores the batch leaves idle go to each file: all of them for one file, none for a batch
    // of at least as many files as jobs.
    TPNGSaveOptions png = out.Png;
    png.Threads = ThreadsPerFile(options.Run.Jobs, jobs.size());
    png.TrueColourOnly = options.TrueColour;
    TDryRunReport* report = dryRun ? &*dryRun : nullptr;
    return RunJobs(
        jobs, options.Run, png.Threads,
        [&](const TJob& job, TPictureData& data, TReporter& reporter) {
            RecolourPicture(job, data, options, protectedColors, png, report, reporter);
        },
        // An input that fails to load still ends its place in the dry run's report.
        [&](const TJob& job) {
            if (report) report->Failed(job.Output);
        },
        [&](const TJob& job, TInput& input, unsigned threads) {
            return !report &&
                   TryRecolourAsRead(job, input, threads, ChainOf(options.Recipe, job.Variant), protectedColors, png);
        });
}

int RunConvert(const TConvertOptions& options)
{
    TJob job;
    job.Input = options.Input;
    job.Output = options.Output;
    job.OutputKind = OutputKindOf(options.Output, options.Format);
    FillInputKind(job);
    std::vector<TJob> jobs{job};
    CheckOutputs(jobs, options.Overwrite);
    TPNGSaveOptions png = options.Png;
    png.Threads = ThreadsPerFile(std::thread::hardware_concurrency(), 1);
    const TProtectedColors none;
    return RunJobs(
        jobs, TRunOptions{1, true}, png.Threads,
        [&](const TJob& j, TPictureData& data, TReporter& reporter) { Save(j, data, png, reporter); }, {},
        [&](const TJob& j, TInput& input, unsigned threads) { return TryRecolourAsRead(j, input, threads, {}, none, png); });
}

} // namespace tintabrel::cli
