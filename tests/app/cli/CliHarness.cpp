#include "tests/app/cli/CliHarness.h"
#include "app/cli/Messages.h"

#include "base/Exceptions.h"
#include "png/VRQPNGTypes.h"
#include "tests/TestData.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace tintabrel::test {

namespace {

// Runs the tool with standard input from /dev/null or, given input, from a pipe fed with it, and
// sends the signals in turn as each becomes ready.
TCliRun Run(const std::vector<std::string>& args, const std::string* input, const std::vector<TCliSignal>& signals)
{
    char outName[] = "/tmp/tintabrel-cli-out-XXXXXX";
    char errName[] = "/tmp/tintabrel-cli-err-XXXXXX";
    const int out = ::mkstemp(outName);
    const int err = ::mkstemp(errName);
    if (out < 0 || err < 0) throw std::runtime_error("cannot make capture files");
    int feed[2] = {-1, -1};
    if (input && ::pipe2(feed, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");

    std::vector<std::string> argv{TINTABREL_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& a : argv) pointers.push_back(a.data());
    pointers.push_back(nullptr);

    // The tool may stop reading its input early: a closed pipe then ends the feeding.
    ::signal(SIGPIPE, SIG_IGN);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGPIPE, SIG_DFL);
        const int in = input ? feed[0] : ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execv(pointers[0], pointers.data());
        ::_exit(127);
    }
    std::thread feeder;
    if (input) {
        ::close(feed[0]);
        feeder = std::thread([&] {
            size_t done = 0;
            while (done < input->size()) {
                const ssize_t n = ::write(feed[1], input->data() + done, input->size() - done);
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            ::close(feed[1]);
        });
    }
    int status = 0;
    bool reaped = false;
    for (const TCliSignal& signal : signals) {
        for (int k = 0; k < 6000 && !reaped; ++k) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                reaped = true;
                break;
            }
            if (signal.Ready(ReadFile(errName))) {
                ::kill(pid, signal.Signal);
                break;
            }
            ::usleep(10000);
        }
    }
    if (!reaped && ::waitpid(pid, &status, 0) != pid) throw std::runtime_error("lost the tool's process");
    if (feeder.joinable()) feeder.join();
    ::close(out);
    ::close(err);
    TCliRun run;
    run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    run.Out = ReadFile(outName);
    run.Err = ReadFile(errName);
    ::unlink(outName);
    ::unlink(errName);
    return run;
}

} // namespace

TCliRun RunCli(const std::vector<std::string>& args) { return Run(args, nullptr, {}); }

TCliRun RunCliPiped(const std::vector<std::string>& args, const std::string& input) { return Run(args, &input, {}); }

TCliRun RunCliInterrupted(const std::vector<std::string>& args, int signal, const std::function<bool()>& ready)
{
    return Run(args, nullptr, {{[&](const std::string&) { return ready(); }, signal}});
}

TCliRun RunCliWithFileSizeLimit(const std::vector<std::string>& args, uint64_t fileSize)
{
    rlimit saved{};
    if (::getrlimit(RLIMIT_FSIZE, &saved) != 0) throw std::runtime_error("getrlimit");
    rlimit small = saved;
    small.rlim_cur = fileSize;
    if (::setrlimit(RLIMIT_FSIZE, &small) != 0) throw std::runtime_error("setrlimit");
    // SIGXFSZ is not ignored here, so the tool's own handling is what counts.
    const auto previous = ::signal(SIGXFSZ, SIG_DFL);
    TCliRun run = RunCli(args);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, previous);
    return run;
}

TCliRun RunCliSignalled(const std::vector<std::string>& args, const std::vector<TCliSignal>& signals)
{
    return Run(args, nullptr, signals);
}

void MakeImage(TBitmap& image, int width, int height, TRgb (*color)(int x, int y))
{
    image.SetPixelFormat(TPixelFormat::pf24bit);
    image.SetSize(width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = image.ScanLine(y);
        for (int x = 0; x < width; ++x) {
            const TRgb c = color(x, y);
            row[3 * x] = c.B;
            row[3 * x + 1] = c.G;
            row[3 * x + 2] = c.R;
        }
    }
}

void MakeSprite(TBitmap& image, int width, int height)
{
    MakeImage(image, width, height, [](int x, int y) {
        // Walks round the colour wheel along x at full and partial saturation along y; every
        // fourth row is grey.
        const int step = (x * 37 + y * 11) % 1536;
        const int top = 255 - (y % 4) * 40;
        const int low = (y % 3) * 30;
        const int rise = low + (step % 256) * (top - low) / 255;
        const int fall = top - (step % 256) * (top - low) / 255;
        int r, g, b;
        switch (step / 256) {
        case 0: r = top, g = rise, b = low; break;
        case 1: r = fall, g = top, b = low; break;
        case 2: r = low, g = top, b = rise; break;
        case 3: r = low, g = fall, b = top; break;
        case 4: r = rise, g = low, b = top; break;
        default: r = top, g = low, b = fall; break;
        }
        if (y % 4 == 3) r = g = b = (x * 9) & 255;
        return TRgb{static_cast<uint8_t>(r), static_cast<uint8_t>(g), static_cast<uint8_t>(b)};
    });
}

void MakeAlpha(TBitmap& alpha, int width, int height)
{
    alpha.SetPixelFormat(TPixelFormat::pf8bit);
    alpha.SetSize(width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = alpha.ScanLine(y);
        for (int x = 0; x < width; ++x) row[x] = static_cast<uint8_t>((x + y) % 3 == 0 ? 0 : (x + y) % 3 == 1 ? 255 : 127);
    }
}

std::vector<uint8_t> RgbBytes(const TBitmap& source)
{
    TBitmap image;
    image.Assign(source);
    image.SetPixelFormat(TPixelFormat::pf24bit);
    std::vector<uint8_t> bytes;
    for (int y = 0; y < image.Height(); ++y) {
        const uint8_t* row = image.ConstScanLine(y);
        for (int x = 0; x < image.Width(); ++x) {
            bytes.push_back(row[3 * x + 2]);
            bytes.push_back(row[3 * x + 1]);
            bytes.push_back(row[3 * x]);
        }
    }
    return bytes;
}

std::vector<uint8_t> AlphaBytes(const TBitmap& alpha)
{
    std::vector<uint8_t> bytes;
    if (alpha.Empty()) return bytes;
    if (alpha.PixelFormat() != TPixelFormat::pf8bit) throw std::runtime_error("alpha picture is not 8-bit");
    for (int y = 0; y < alpha.Height(); ++y) {
        const uint8_t* row = alpha.ConstScanLine(y);
        bytes.insert(bytes.end(), row, row + alpha.Width());
    }
    return bytes;
}

void WritePicture(const std::string& path, const TBitmap& image, const TBitmap& alpha)
{
    SavePicture(path, KindOfExtension(ExtractExtension(path), false), image, alpha);
}

void ReadPicture(const std::string& path, TPictureData& data)
{
    LoadPicture(path, KindOfExtension(ExtractExtension(path), false), data);
}

std::vector<unsigned char> PngBytes(std::initializer_list<unsigned char> after)
{
    std::vector<unsigned char> bytes(sizeof PngSignature + after.size());
    std::copy(std::begin(PngSignature), std::end(PngSignature), bytes.begin());
    std::copy(after.begin(), after.end(), bytes.begin() + sizeof PngSignature);
    return bytes;
}

std::string LoadFailure(const std::string& path)
{
    try {
        TPictureData data;
        ReadPicture(path, data);
    } catch (const std::exception& e) {
        return cli::FailureText(e);
    }
    return "(loaded without failure)";
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

} // namespace tintabrel::test
