// What a run tells while it goes: messages per file on standard error, the progress bar on a
// terminal, with -v how each file went and a summary, with --json one object per input on standard
// output. Standard error and output are shared by the workers: whole lines only, and the progress
// bar is cleared before anything else is printed and drawn again below it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/PictureFiles.h"
#include "app/cli/CliTool.h"
#include "base/TaskPool.h"

namespace tintabrel::cli {

// How one input went.
struct TInputResult {
    std::string Input;
    std::vector<std::string> Written;  // outputs written ("-": standard output)
    std::vector<std::string> UpToDate; // outputs kept by --update
    std::vector<std::string> Failed;   // outputs that failed
    std::string Error;                 // the first failure's message
    // Outputs of a palette picture whose region change extended the palette ("extended") or
    // left no room in it ("truecolour").
    std::vector<std::pair<std::string, std::string>> Palettes;
    int64_t BytesIn = 0, BytesOut = 0;
};

class TReporter {
public:
    // inputs: the number of inputs; json: one object per input on standard output.
    // names: the inputs, for the line a single input shows while it works.
    TReporter(size_t inputs, const TRunOptions& run, bool json, std::string single = {});
    ~TReporter();
    TReporter(const TReporter&) = delete;
    TReporter& operator=(const TReporter&) = delete;

    // "PATH: text" on standard error.
    void Message(const std::string& path, const std::string& text);
    // Only with -v.
    void Note(const std::string& path, const std::string& text);
    bool Verbose() const { return verbose_; }
    // Text for standard output (a report), printed whole.
    void Out(const std::string& text);
    // The input at this index has ended; with --json its object is printed, in the order of the inputs.
    void InputDone(size_t index, TInputResult result);
    // With -v, one line: inputs, outputs written and kept, failures, bytes in and out, time.
    void Summary();
    // How far a single input's work has come, 0 to 1: shown beside its time on a terminal.
    void Progress(double done);
    // Setting a file's save options' Progress to this reporter, for a single input on a terminal.
    void ShowProgressOf(TPNGSaveOptions& png);

private:
    void DrawLocked();
    void ClearLocked();
    void PrintReadyLocked();
    void Tick();

    std::mutex mutex_;
    size_t total_;
    size_t done_ = 0;
    bool bar_;
    bool verbose_;
    bool json_;
    std::vector<TInputResult> results_;
    std::vector<char> finished_;
    size_t printed_ = 0;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    // One input on a terminal: its name and the time it has taken so far, redrawn while it works.
    std::string single_;
    bool ticking_ = false;
    double progress_ = -1; // none told
    std::condition_variable stop_;
    TThreadGroup ticker_;
};

// A JSON string of a file name: UTF-8 as it is, other bytes escaped so that they can be matched back.
std::string JsonName(const std::string& bytes);
// One line of JSON (no spaces) with every string written by JsonName, so that a name reads the
// same in every report of the tool.
std::string JsonText(const nlohmann::ordered_json& value);
// An input's result as one JSON line: {"version": 1, "file", "status", "written", "up_to_date",
// "failed", "error"}, and "palette": {OUTPUT: "extended" | "truecolour"} when there are Palettes.
std::string ResultJson(const TInputResult& result);

} // namespace tintabrel::cli
