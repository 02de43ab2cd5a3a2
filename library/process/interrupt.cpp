#include "interrupt.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace telvix::cli {
namespace {

// Everything below is read by signal handlers: lock-free atomics and plain bytes only.
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

std::atomic<int> firstStop{0};          // the signal that asked the run to stop first
std::atomic<int> userStops{0};          // SIGINT, SIGTERM and SIGHUP received
std::atomic<bool> dying{false};         // a handler is removing the temporary files
std::atomic<int> creating{0};           // threads between registering a name and creating it
std::atomic<bool> finalPrinted{false};  // the run's last message is out

// Registered temporary files. A slot is free, being filled (the name written, the file being
// created) or active (the file exists and is this process's). Only active ones are unlinked.
enum : int { kFree = 0, kFilling = 1, kActive = 2 };
constexpr std::size_t kSlots = 2048;  // well above the kMaxJobs frames written at once
constexpr std::size_t kNameBytes = 4096;
std::array<std::atomic<int>, kSlots> states{};
char names[kSlots][kNameBytes];

// Unlinks every active temporary file. File creations in progress on other threads (which hold
// stop signals off meanwhile) are waited for, at most two seconds, so that none appears after
// the scan. Async-signal-safe: atomics, nanosleep and unlink only.
void removeRegistered()
{
    dying.store(true);
    for (int waited = 0; waited < 2000 && creating.load() != 0; ++waited) {
        timespec millisecond{0, 1'000'000};
        nanosleep(&millisecond, nullptr);
    }
    for (std::size_t i = 0; i < kSlots; ++i) {
        if (states[i].load() == kActive) unlink(names[i]);
    }
}

void writeError(const char* text) { (void)!write(STDERR_FILENO, text, std::strlen(text)); }

extern "C" void onStop(int signal)
{
    const int savedErrno = errno;
    int none = 0;
    firstStop.compare_exchange_strong(none, signal);
    // A second SIGINT, SIGTERM or SIGHUP: the user does not want to wait for frames in flight.
    if (signal != SIGPIPE && userStops.fetch_add(1) >= 1) {
        removeRegistered();
        if (!finalPrinted.exchange(true)) {
            writeError(
                "telvix: error: interrupted again; stopped at once, no partial files left\n");
        }
        _exit(kExitInterrupted);
    }
    errno = savedErrno;
}

// Installed with SA_RESETHAND | SA_NODEFER: raising the signal again ends the process by it.
extern "C" void onCrash(int signal)
{
    removeRegistered();
    raise(signal);
}

int claimSlot()
{
    for (std::size_t i = 0; i < kSlots; ++i) {
        int expected = kFree;
        if (states[i].compare_exchange_strong(expected, kFilling)) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

void installSignalHandlers()
{
    static std::atomic<bool> installed{false};
    if (installed.exchange(true)) return;
    // A library that ends the process with exit() leaves no temporary file either.
    std::atexit([] { removeRegistered(); });

    struct sigaction stop {};
    stop.sa_handler = onStop;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(signal, &stop, nullptr);

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, nullptr);

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The sanitizers report crashes with handlers of their own.
    struct sigaction crash {};
    crash.sa_handler = onCrash;
    sigemptyset(&crash.sa_mask);
    crash.sa_flags = SA_RESETHAND | SA_NODEFER;
    for (int signal : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL}) {
        sigaction(signal, &crash, nullptr);
    }
#endif
}

bool interrupted() { return firstStop.load() != 0; }

int stopSignal() { return firstStop.load(); }

void requestStop(int signal)
{
    int none = 0;
    firstStop.compare_exchange_strong(none, signal);
}

void clearStopRequest()
{
    firstStop.store(0);
    userStops.store(0);
    finalPrinted.store(false);
}

void throwIfInterrupted()
{
    if (interrupted()) throw Interrupted();
}

void printOut(const std::string& text)
{
    if (stopSignal() == SIGPIPE) return;
    errno = 0;
    const bool ok =
        std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
    if (!ok) {
        if (errno == EPIPE) requestStop(SIGPIPE);
        std::clearerr(stdout);
    }
}

void finishAfterStop()
{
    if (stopSignal() != SIGPIPE) return;
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    sigaction(SIGPIPE, &standard, nullptr);
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
    raise(SIGPIPE);
    _exit(128 + SIGPIPE);
}

void markFinalMessage() { finalPrinted.store(true); }

int createRegisteredFile(const std::string& name, int& slot)
{
    if (name.size() >= kNameBytes) {
        errno = ENAMETOOLONG;
        return -1;
    }
    sigset_t stops;
    sigset_t previous;
    sigemptyset(&stops);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, signal);
    pthread_sigmask(SIG_BLOCK, &stops, &previous);
    creating.fetch_add(1);
    int fd = -1;
    int error = 0;
    if (dying.load()) {
        error = EINTR;
    } else if ((slot = claimSlot()) < 0) {
        error = EMFILE;
    } else {
        std::memcpy(names[slot], name.c_str(), name.size() + 1);
        fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            error = errno;
            states[static_cast<std::size_t>(slot)].store(kFree);
        } else {
            states[static_cast<std::size_t>(slot)].store(kActive);
        }
    }
    creating.fetch_sub(1);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return fd;
}

void unregisterFile(int slot)
{
    if (slot >= 0 && static_cast<std::size_t>(slot) < kSlots) {
        states[static_cast<std::size_t>(slot)].store(kFree);
    }
}

}  // namespace telvix::cli
