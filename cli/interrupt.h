// Ctrl-C and termination requests: noted, so that work stops between steps and no file is left
// half-written.
#pragma once

namespace telvix::cli {

inline constexpr int kExitInterrupted = 130;  // the shell's status for a run stopped by SIGINT

// Catches SIGINT and SIGTERM: the first only sets the flag that interrupted() reads (a second
// one ends the process as usual, for a user who really means it).
void installInterruptHandlers();

// True once SIGINT or SIGTERM arrived.
bool interrupted();

}  // namespace telvix::cli
