#include "app/cli/Report.h"

#include <algorithm>

#include "app/cli/Messages.h"

#include <cstdio>
#include <unistd.h>

namespace tintabrel::cli {

TReporter::TReporter(size_t inputs, const TRunOptions& run, bool json, std::string single)
    : total_(inputs), bar_(!run.Quiet && ::isatty(STDERR_FILENO) && (inputs > 1 || !single.empty())),
      verbose_(run.Verbose), json_(json), results_(inputs), finished_(inputs, 0), single_(std::move(single))
{
    if (inputs != 1) single_.clear();
    std::lock_guard lock(mutex_);
    DrawLocked();
    // A single large file (an optimised 4096 x 4096 picture takes most of a minute) shows that it
    // is at work; without a thread for it, it shows nothing.
    if (bar_ && !single_.empty()) ticking_ = ticker_.Start([this] { Tick(); });
}

TReporter::~TReporter()
{
    {
        std::lock_guard lock(mutex_);
        ticking_ = false;
    }
    stop_.notify_all();
    ticker_.Join();
    std::lock_guard lock(mutex_);
    ClearLocked();
}

void TReporter::Tick()
{
    std::unique_lock lock(mutex_);
    while (ticking_ && done_ == 0) {
        stop_.wait_for(lock, std::chrono::milliseconds(250));
        if (ticking_ && done_ == 0) DrawLocked();
    }
}

void TReporter::ClearLocked()
{
    if (bar_) std::fputs("\r\x1b[K", stderr);
}

void TReporter::DrawLocked()
{
    if (!bar_) return;
    if (!single_.empty()) {
        if (done_ > 0) return;
        static const char spin[] = "|/-\\";
        const auto elapsed = std::chrono::steady_clock::now() - start_;
        const long tenths = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 250);
        char head[48];
        if (progress_ >= 0)
            std::snprintf(head, sizeof head, "\r[%c %ld s %d%%] ", spin[tenths % 4], tenths / 4, static_cast<int>(progress_ * 100));
        else
            std::snprintf(head, sizeof head, "\r[%c %ld s] ", spin[tenths % 4], tenths / 4);
        const std::string line = head + Printable(single_);
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        return;
    }
    constexpr size_t Width = 30;
    const size_t filled = total_ ? done_ * Width / total_ : Width;
    const std::string line = "\r[" + std::string(filled, '#') + std::string(Width - filled, '.') + "] " +
                             std::to_string(done_) + "/" + std::to_string(total_);
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

void TReporter::Message(const std::string& path, const std::string& text)
{
    std::lock_guard lock(mutex_);
    ClearLocked();
    std::fprintf(stderr, "%s\n", Printable(path + ": " + text).c_str());
    DrawLocked();
}

void TReporter::Note(const std::string& path, const std::string& text)
{
    if (verbose_) Message(path, text);
}

void TReporter::Out(const std::string& text)
{
    std::lock_guard lock(mutex_);
    ClearLocked();
    std::fflush(stderr);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    DrawLocked();
}

void TReporter::InputDone(size_t index, TInputResult result)
{
    std::lock_guard lock(mutex_);
    ++done_;
    results_[index] = std::move(result);
    finished_[index] = 1;
    if (json_) PrintReadyLocked();
    DrawLocked();
}

void TReporter::PrintReadyLocked()
{
    bool cleared = false;
    for (; printed_ < results_.size() && finished_[printed_]; ++printed_) {
        if (!cleared) ClearLocked();
        cleared = true;
        std::fprintf(stdout, "%s\n", ResultJson(results_[printed_]).c_str());
    }
    if (cleared) std::fflush(stdout);
}

void TReporter::Progress(double done)
{
    std::lock_guard lock(mutex_);
    progress_ = std::clamp(done, 0.0, 1.0);
}

void TReporter::ShowProgressOf(TPNGSaveOptions& png)
{
    if (ticking_) png.Progress = [this](double done) { Progress(done); };
}

void TReporter::Summary()
{
    if (!verbose_) return;
    size_t written = 0, upToDate = 0, failed = 0;
    int64_t in = 0, out = 0;
    for (const TInputResult& r : results_) {
        written += r.Written.size();
        upToDate += r.UpToDate.size();
        failed += !r.Error.empty();
        in += r.BytesIn;
        out += r.BytesOut;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::lock_guard lock(mutex_);
    ClearLocked();
    std::fprintf(stderr, "%zu input(s): %zu output(s) written, %zu up to date, %zu failed; %lld bytes in, %lld bytes out; "
                         "%.2f s\n",
                 results_.size(), written, upToDate, failed, static_cast<long long>(in), static_cast<long long>(out),
                 seconds);
    DrawLocked();
}

std::string JsonName(const std::string& bytes)
{
    // Valid UTF-8 as it is; any other byte b as the lone surrogate U+DC00 + b, the escape that
    // Python's os.fsencode (and other "surrogateescape" decoders) turn back into the byte.
    std::string out = "\"";
    char buffer[8];
    for (size_t k = 0; k < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[k]);
        size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool valid = length > 0 && k + length <= bytes.size();
        for (size_t m = 1; valid && m < length; ++m) valid = (static_cast<unsigned char>(bytes[k + m]) >> 6) == 2;
        if (valid && length == 2 && c < 0xC2) valid = false; // overlong
        if (!valid) {
            std::snprintf(buffer, sizeof buffer, "\\udc%02x", c);
            out += buffer;
            ++k;
            continue;
        }
        if (length == 1) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20) {
                std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                out += buffer;
            } else {
                out += static_cast<char>(c);
            }
        } else {
            out.append(bytes, k, length);
        }
        k += length;
    }
    return out + "\"";
}

std::string JsonText(const nlohmann::ordered_json& value)
{
    if (value.is_string()) return JsonName(value.get_ref<const std::string&>());
    if (!value.is_object() && !value.is_array()) return value.dump();
    std::string text(1, value.is_object() ? '{' : '[');
    bool first = true;
    for (const auto& [key, item] : value.items()) {
        if (!first) text += ',';
        first = false;
        if (value.is_object()) {
            text += JsonName(key);
            text += ':';
        }
        text += JsonText(item);
    }
    text += value.is_object() ? '}' : ']';
    return text;
}

std::string ResultJson(const TInputResult& r)
{
    const auto names = [](const std::vector<std::string>& list) {
        std::string text = "[";
        for (size_t k = 0; k < list.size(); ++k) {
            if (k) text += ',';
            text += JsonName(list[k]);
        }
        return text + "]";
    };
    std::string palettes;
    for (const auto& [output, outcome] : r.Palettes)
        palettes += (palettes.empty() ? ",\"palette\":{" : ",") + JsonName(output) + ":\"" + outcome + "\"";
    if (!palettes.empty()) palettes += "}";
    const char* status = !r.Error.empty() ? (r.Written.empty() ? "failed" : "partly failed")
                         : r.Written.empty() && !r.UpToDate.empty() ? "up to date"
                                                                    : "done";
    return std::string("{\"version\":1,\"file\":") + JsonName(r.Input) + ",\"status\":\"" + status +
           "\",\"written\":" + names(r.Written) + ",\"up_to_date\":" + names(r.UpToDate) +
           ",\"failed\":" + names(r.Failed) + ",\"error\":" + (r.Error.empty() ? "null" : JsonName(r.Error)) +
           palettes + "}";
}

} // namespace tintabrel::cli
