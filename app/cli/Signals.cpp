#include "app/cli/Signals.h"

#include "app/PictureFiles.h"
#include "app/SafeFile.h"

#include <cerrno>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace tintabrel::cli {

namespace {

// Wakes the watcher when the work is done.
constexpr int Wake = SIGUSR2;

void Say(const char* text, size_t length) { (void)!::write(STDERR_FILENO, text, length); }

} // namespace

void IgnoreFileSignals()
{
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
}

TInterruption::TInterruption()
{
    sigemptyset(&signals_);
    for (int s : {SIGINT, SIGTERM, SIGHUP, Wake}) sigaddset(&signals_, s);
    // Blocked here, before the workers start, so that only the watcher receives them.
    pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
    // Without a watcher the signals keep their default action rather than going unheard.
    if (!watcher_.Start([this] { Watch(); })) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

TInterruption::~TInterruption()
{
    finished_ = true;
    if (watcher_.Size() > 0) pthread_kill(watcher_[0].native_handle(), Wake);
    watcher_.Join();
    committer_.Join();
    const int signal = signal_.load();
    if (signal != 0) {
        std::signal(signal, SIG_DFL);
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        std::raise(signal);
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

void TInterruption::Watch()
{
    timespec deadline{};
    for (;;) {
        int signal = 0;
        if (signal_.load() == 0) {
            if (sigwait(&signals_, &signal) != 0) continue;
        } else {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
            if (left.tv_nsec < 0) left.tv_sec -= 1, left.tv_nsec += 1000000000L;
            if (left.tv_sec < 0) StopNow(signal_.load());
            signal = sigtimedwait(&signals_, nullptr, &left);
            if (signal < 0) {
                if (errno == EAGAIN) StopNow(signal_.load());
                continue;
            }
        }
        if (signal == Wake) {
            if (finished_) return;
            continue;
        }
        if (signal_.load() != 0) StopNow(signal);
        signal_ = signal;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += GraceSeconds;
        static constexpr char text[] = "\ninterrupted: finishing the files in progress (a second signal stops at once)\n";
        Say(text, sizeof text - 1);
        // Finished files waiting for the batch's sync are kept even when a stuck file makes the
        // grace run out. On a thread of its own, so that a slow disk cannot keep a second signal
        // unheard.
        if (!committer_.Start([] { TDeferredCommits::FlushWaitingFiles(); })) TDeferredCommits::FlushWaitingFiles();
    }
}

void TInterruption::StopNow(int signal)
{
    TSafeFileWriter::AbandonAll();
    static constexpr char text[] = "stopped: the files in progress were not written\n";
    Say(text, sizeof text - 1);
    // Ends by the signal itself, as the caller expects of an interrupted program.
    std::signal(signal, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    std::raise(signal);
    _exit(128 + signal);
}

} // namespace tintabrel::cli
