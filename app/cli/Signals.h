// How the command-line tool ends when it is asked to stop (Ctrl-C, a terminal closed, kill).
#pragma once

#include <atomic>
#include <csignal>
#include <thread>

#include "base/TaskPool.h"

namespace tintabrel::cli {

// Signals that would end the process for a file problem become write errors of that file:
// a file-size limit (SIGXFSZ) and a reader of standard output that went away (SIGPIPE).
void IgnoreFileSignals();

// While alive: the first SIGINT, SIGTERM or SIGHUP lets the files in progress finish and takes no
// new ones, and commits at once the finished files a batch holds for its common sync; at the end
// the program ends by that signal. Files that do not finish within
// GraceSeconds, or a second signal, end it at once, after removing the temporary files of the
// files in progress.
class TInterruption {
public:
    static constexpr int GraceSeconds = 10;

    TInterruption();
    ~TInterruption();
    TInterruption(const TInterruption&) = delete;
    TInterruption& operator=(const TInterruption&) = delete;

    bool Requested() const { return signal_.load() != 0; }

private:
    void Watch();
    [[noreturn]] void StopNow(int signal);

    sigset_t signals_{};
    sigset_t previous_{};
    std::atomic<bool> finished_{false};
    std::atomic<int> signal_{0};
    TThreadGroup watcher_;
    TThreadGroup committer_; // commits the waiting files at the first signal, beside the watcher
};

} // namespace tintabrel::cli
