#include "run_outcome.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "cli_error.h"
#include "interrupt.h"
#include "run_report.h"

namespace telvix::cli {
namespace {

// The end of a single image's run: a stop, its failure (thrown on, to be reported as the
// command's error with its own exit status), or done.
int reportImage(const SequencePlan& plan, const RunSummary& summary)
{
    if (summary.interrupted) {
        markFinalMessage();
        printError(summary.written > 0 ? fmt::format("interrupted; '{}' was written whole",
                                                     plan.jobs.front().output.string())
                                       : std::string("interrupted; nothing written"));
        return kExitInterrupted;
    }
    if (summary.imageFailure) std::rethrow_exception(summary.imageFailure);
    return 0;
}

// A sequence's failures, its end and its speed, as the command reports them; returns the exit
// status.
int reportSequence(const RunSummary& summary, const SmoothRequest& request)
{
    std::vector<const FrameResult*> failures;
    for (const FrameResult& frame : summary.frames) {
        if (frame.outcome == FrameOutcome::Failed) failures.push_back(&frame);
    }
    std::stable_sort(
        failures.begin(), failures.end(),
        [](const FrameResult* a, const FrameResult* b) { return a->index < b->index; });
    for (const FrameResult* failure : failures) printError(labelled(failure->job, failure->error));
    if (summary.interrupted) {
        markFinalMessage();
        printError(
            fmt::format("interrupted; {} of {} frames written, no partial files left "
                        "(--skip-existing resumes)",
                        summary.written, summary.planned));
        return kExitInterrupted;
    }
    if (summary.diskFull) {
        const std::size_t ended = summary.written + summary.skipped + failures.size();
        printError(fmt::format(
            "{} of {} frames failed and the disk is full: stopped{}, {} written, the other {} "
            "not attempted",
            failures.size(), summary.planned, request.keepGoing ? " despite --keep-going" : "",
            summary.written, summary.planned - std::min(ended, summary.planned)));
        return kExitFailure;
    }
    if (!failures.empty()) {
        if (request.keepGoing) {
            printError(fmt::format("{} of {} frames failed", failures.size(), summary.planned));
        } else {
            printError(fmt::format("stopped after the failure; {} of {} frames written",
                                   summary.written, summary.planned));
        }
        return kExitFailure;
    }
    const bool quiet = request.quiet;
    if (summary.redone > 0 && !quiet) {
        fmt::print(stderr, "telvix: {} existing {} incomplete and written again\n", summary.redone,
                   summary.redone == 1 ? "output was" : "outputs were");
    }
    if (!quiet && (isatty(STDERR_FILENO) == 1 || request.verbose)) {
        const double fps =
            summary.seconds > 0 ? static_cast<double>(summary.written) / summary.seconds : 0.0;
        const int jobs = summary.parallelism.jobs;
        const int threads = summary.parallelism.threads;
        fmt::print(stderr,
                   "telvix: {} frames written{} in {:.1f} s ({:.1f} fps, {} {}, {} host {} "
                   "each)\n",
                   summary.written,
                   summary.skipped > 0 ? fmt::format(", {} skipped", summary.skipped) : "",
                   summary.seconds, fps, jobs, jobs == 1 ? "job" : "jobs", threads,
                   threads == 1 ? "thread" : "threads");
    }
    return 0;
}

}  // namespace

int runSequence(const SequencePlan& plan, const SmoothRequest& request, PF_FilterProc entryPoint)
{
    if (!request.report.empty()) checkReportPath(request.report, plan);
    const RunSummary summary = runPlan(plan, request, entryPoint);
    // The report first: it tells what a run stopped early did, too.
    bool reported = true;
    if (!request.report.empty()) {
        try {
            writeRunReport(request.report, plan, summary);
        } catch (const CliError& e) {
            printError(e.what());
            reported = false;
        }
    }
    // Output lost to a closed pipe: nothing more to say, the process ends by SIGPIPE.
    if (summary.interrupted) finishAfterStop();
    const int status =
        plan.singleImage ? reportImage(plan, summary) : reportSequence(summary, request);
    return status == 0 && !reported ? kExitFailure : status;
}

}  // namespace telvix::cli
