#include "interrupt.h"

#include <atomic>
#include <csignal>

namespace telvix::cli {
namespace {

// Lock-free, so the handler may set it; read from any thread.
std::atomic<bool> interruptRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void onInterrupt(int /*signal*/) { interruptRequested.store(true); }

}  // namespace

void installInterruptHandlers()
{
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // SA_RESETHAND: the handler is used once; a second signal takes the default action.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() { return interruptRequested.load(); }

}  // namespace telvix::cli
