// Signals that end a run, and the temporary files a run has open: work stops between steps on a
// stop request, and whatever way the process ends, no temporary file is left behind.
#pragma once

#include <string>

#include "cli_error.h"

namespace telvix::cli {

inline constexpr int kExitInterrupted = 130;  // the shell's status for a run stopped by SIGINT

// Installs the command's signal handling, once, before any file is written:
// - SIGINT, SIGTERM, SIGHUP: the first asks the run to stop (interrupted() turns true); a second
//   one removes every registered temporary file and ends the process at once, status 130.
// - SIGPIPE: output went to a closed pipe (`telvix ... --verbose | head -1`); the run stops as
//   for SIGINT and then ends quietly by SIGPIPE (see finishAfterStop).
// - SIGXFSZ (a file-size limit): ignored, so the write fails with EFBIG and its frame fails
//   like any write error.
// - SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL: registered temporary files are removed, then the
//   process dies by the same signal.
void installSignalHandlers();

// True once a stop was requested (a signal above, or a closed output found by printOut).
bool interrupted();

// The signal that asked the run to stop first, or 0.
int stopSignal();

// Asks the run to stop as `signal` would.
void requestStop(int signal);

// Forgets a stop request once its run has ended, for a process that goes on to start another
// run (the Python module, whose interpreter outlives a Ctrl-C'd sequence).
void clearStopRequest();

// Thrown where a read or write notices a stop request: the frame is abandoned, not failed.
class Interrupted : public CliError {
public:
    Interrupted() : CliError("interrupted", kExitInterrupted) {}
};

// Throws Interrupted once a stop was requested.
void throwIfInterrupted();

// Writes `text` to stdout and flushes it. A closed stdout (EPIPE) asks the run to stop as
// SIGPIPE does; it never throws.
void printOut(const std::string& text);

// Call after a stopped run has cleaned up: when the stop came from a closed pipe, ends the
// process by SIGPIPE without a word (as cat and other tools do; the shell's status is 141).
// Otherwise returns, and the caller reports the interruption and exits 130.
void finishAfterStop();

// Marks the run's final message as printed: a late second signal then ends the process
// without another line.
void markFinalMessage();

// Creates `name` (O_CREAT | O_EXCL, permissions 0666 less the umask) and registers it, so that
// a second stop signal or a crash unlinks it. Stop signals are held off on this thread while
// the name is registered and the file created, so no file appears that the handler missed.
// Returns the descriptor (and sets `slot`) or -1 with errno set (EINTR when the process is
// being ended).
int createRegisteredFile(const std::string& name, int& slot);

// Forgets a registered name once its file is renamed into place or removed.
void unregisterFile(int slot);

}  // namespace telvix::cli
