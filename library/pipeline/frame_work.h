// A frame on its way through a run's pipeline, and how a failure of one of its steps becomes
// the frame's outcome.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "cli_error.h"
#include "frame_sequence.h"
#include "frame_world.h"
#include "interrupt.h"
#include "memory_budget.h"

namespace telvix::cli {

enum class Outcome { Pending, Written, Skipped, Failed, Abandoned };

// One frame on its way through the pipeline. Only the frame's own stage touches it at a time.
struct FrameWork {
    std::size_t index = 0;
    Outcome outcome = Outcome::Pending;
    std::vector<Frame> pages;  // the file's pages: descriptions and, once read, pixels
    std::string note;          // samples clipped on reading (--clip), reported when written
    std::string error;
    std::exception_ptr exception;  // the failure as thrown: it ends a run of one image as it is
    std::chrono::steady_clock::time_point started;
    // oneTBB hands a frame from stage to stage with its own synchronisation, which
    // ThreadSanitizer cannot see in an uninstrumented library; every stage takes the frame with
    // an acquire and gives it on with a release, which states the hand-over to it at no cost.
    std::atomic<int> handovers{0};
    void take() const { (void)handovers.load(std::memory_order_acquire); }
    void give() { handovers.fetch_add(1, std::memory_order_release); }
};
using FramePtr = std::shared_ptr<FrameWork>;

// Runs `step`, turning any exception into the frame's failure.
template <typename Step>
void guarded(FrameWork& frame, Step&& step)
{
    try {
        step();
    } catch (const Interrupted&) {
        frame.outcome = Outcome::Abandoned;  // a stop request, not a fault of the frame
    } catch (const RenderFailure& e) {
        frame.outcome = Outcome::Failed;
        frame.error = oneLine(e.what());
        frame.exception = std::current_exception();
        if (e.code() == PF_Err_OUT_OF_MEMORY) {
            // Planned to fit, yet the effect's own memory could not be had.
            frame.error = fmt::format("the effect ran out of memory {}", memoryLimitInForce());
            frame.exception = std::make_exception_ptr(CliError(frame.error));
        }
    } catch (const CliError& e) {
        frame.outcome = Outcome::Failed;
        frame.error = oneLine(e.what());
        frame.exception = std::current_exception();
    } catch (const std::bad_alloc&) {
        frame.outcome = Outcome::Failed;
        frame.error = outOfMemoryMessage();
        frame.exception = std::make_exception_ptr(CliError(frame.error));
    } catch (const std::system_error& e) {
        frame.outcome = Outcome::Failed;
        frame.error = e.code() == std::errc::resource_unavailable_try_again
                          ? noThreadMessage(e.code().message())
                          : oneLine(e.what());
        frame.exception = std::make_exception_ptr(CliError(frame.error));
    } catch (const std::exception& e) {
        frame.outcome = Outcome::Failed;
        frame.error = oneLine(e.what());
        frame.exception = std::current_exception();
    }
}

// A failed write that every later frame written to the same disk would meet too: no space (or
// no inodes) left, or the quota used up. The system's own words for it tell, where the error
// carries them; a writer that reports only its own failure (libtiff) is judged by the room left
// in the output's folder: less than the frame's input file takes.
bool foundDiskFull(const std::string& error, const FrameJob& job);

}  // namespace telvix::cli
