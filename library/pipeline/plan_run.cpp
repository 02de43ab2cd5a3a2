#include "plan_run.h"

#include <OpenImageIO/imageio.h>
#include <fmt/format.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_pipeline.h>
#include <oneapi/tbb/task_arena.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "cli_error.h"
#include "frame_work.h"
#include "frame_world.h"
#include "image_read.h"
#include "interrupt.h"
#include "memory_plan.h"
#include "output_folders.h"
#include "output_format.h"
#include "plugin_driver.h"
#include "progress_line.h"

namespace telvix::cli {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Frames asked for whose input is missing: the run is refused, or with --keep-going each is a
// failure of its own (returned). Holes in a numbering found on disk: a warning.
std::vector<FrameResult> checkMissingFrames(const SequencePlan& plan, const SmoothRequest& request)
{
    std::vector<FrameResult> failures;
    if (!plan.missing.empty()) {
        std::vector<long> numbers;
        for (const FrameJob& job : plan.missing) {
            numbers.push_back(job.number);
        }
        std::sort(numbers.begin(), numbers.end());
        if (!request.keepGoing) {
            throw CliError(
                fmt::format("input {} {} of '{}' {} missing; nothing was processed (--keep-going "
                            "processes the others)",
                            numbers.size() == 1 ? "frame" : "frames", describeFrames(numbers),
                            plan.inputDescription, numbers.size() == 1 ? "is" : "are"));
        }
        for (const FrameJob& job : plan.missing) {
            FrameResult missing;
            missing.job = job;
            missing.error = fmt::format("cannot read '{}': no such file", job.input.string());
            failures.push_back(std::move(missing));
        }
    }
    if (!plan.gaps.empty() && !request.quiet) {
        fmt::print(stderr, "telvix: warning: {} {} of '{}' {} missing; smoothing the {} found\n",
                   plan.gaps.size() == 1 ? "frame" : "frames", describeFrames(plan.gaps),
                   plan.inputDescription, plan.gaps.size() == 1 ? "is" : "are", plan.jobs.size());
    }
    return failures;
}

// A run of a plan's frames: a pipeline that starts, reads, renders, writes and tallies each
// frame, and the messages and exit status it ends with. A sequence speaks of frames; the one
// image of a single-image plan speaks as that image, and its failure ends the run as thrown.
class PlanRun {
public:
    PlanRun(const SequencePlan& plan, const SmoothRequest& request, PF_FilterProc entryPoint,
            const FrameObserver& observer, std::vector<FrameResult> missing)
        : plan_(plan),
          request_(request),
          entryPoint_(entryPoint),
          observer_(observer),
          shape_(shapeRun(plan, request)),
          writeOptions_{request.compression, request.dropAlpha, request.key.has_value()},
          folders_(!plan.singleImage),
          results_(std::move(missing)),
          failedFrames_(results_.size()),
          progress_(
              isatty(STDERR_FILENO) == 1 && !request.quiet && !request.verbose && !plan.singleImage,
              plan.jobs.size())
    {
    }

    RunSummary run();

private:
    int jobs() const { return shape_.parallelism.jobs; }
    std::size_t total() const { return plan_.jobs.size() + plan_.missing.size(); }
    // A frame that has not started its reading stops there once the run is ending.
    bool ending() const { return interrupted() || failed_.load() || diskFull_.load(); }
    // A failed frame ends the run unless it is kept going.
    void noteFailure(const FrameWork& frame)
    {
        if (frame.outcome == Outcome::Failed && !request_.keepGoing) failed_.store(true);
    }

    FramePtr start(oneapi::tbb::flow_control& control);
    void read(FrameWork& frame);
    void render(FrameWork& frame);
    void write(FrameWork& frame);
    void tally(FrameWork& frame);
    void rewriting(const FrameJob& job);
    RunSummary finish();

    const SequencePlan& plan_;
    const SmoothRequest& request_;
    PF_FilterProc entryPoint_;
    const FrameObserver& observer_;
    const RunShape shape_;
    const WriteOptions writeOptions_;
    OutputFolders folders_;
    std::atomic<bool> failed_{false};    // a frame failed and the run is not kept going
    std::atomic<bool> diskFull_{false};  // a frame found the disk full
    // The serial stages' state; the lock is never contended (oneTBB runs those stages one at a
    // time) and makes that visible to ThreadSanitizer too.
    std::mutex serialStages_;
    std::size_t next_ = 0;
    std::size_t done_ = 0;
    std::size_t written_ = 0;
    std::size_t skipped_ = 0;
    std::vector<FrameResult> results_;  // the frames ended, in the order they did
    std::size_t failedFrames_ = 0;
    std::exception_ptr imageFailure_;  // the failure of a single image, as thrown
    // --skip-existing: outputs there but not complete, written again (counted in the parallel
    // read stage).
    std::atomic<std::size_t> redone_{0};
    const Clock::time_point startTime_ = Clock::now();
    ProgressLine progress_;
};

RunSummary PlanRun::run()
{
    // Frames are the unit of parallel work; OpenImageIO's own pool would only add threads
    // competing for the same cores. One image keeps it for reading and writing. The setting is
    // the process's: it is put back afterwards for whatever else the process reads and writes
    // (a Python script's own OpenImageIO calls).
    int oiioThreads = 0;
    OIIO::getattribute("threads", oiioThreads);
    if (!plan_.singleImage) OIIO::attribute("threads", 1);
    struct RestoreThreads {
        int threads;
        ~RestoreThreads() { OIIO::attribute("threads", threads); }
    } restore{oiioThreads};
    // Each parallel stage takes the frame from the one before, works on it while it is still
    // pending, and gives it on.
    const auto stage = [](auto step) {
        return [step](FramePtr frame) {
            frame->take();
            if (frame->outcome == Outcome::Pending) step(*frame);
            frame->give();
            return frame;
        };
    };
    // More jobs than cores is allowed (e.g. frames waiting on a network file system).
    const oneapi::tbb::global_control threads(oneapi::tbb::global_control::max_allowed_parallelism,
                                              static_cast<std::size_t>(jobs()));
    oneapi::tbb::task_arena arena(jobs());
    arena.execute([&] {
        using oneapi::tbb::filter_mode;
        using oneapi::tbb::make_filter;
        oneapi::tbb::parallel_pipeline(
            shape_.tokens, make_filter<void, FramePtr>(
                               filter_mode::serial_in_order,
                               [&](oneapi::tbb::flow_control& control) { return start(control); }) &
                               make_filter<FramePtr, FramePtr>(
                                   filter_mode::parallel, stage([&](FrameWork& f) { read(f); })) &
                               make_filter<FramePtr, FramePtr>(
                                   filter_mode::parallel, stage([&](FrameWork& f) { render(f); })) &
                               make_filter<FramePtr, FramePtr>(
                                   filter_mode::parallel, stage([&](FrameWork& f) { write(f); })) &
                               make_filter<FramePtr, void>(filter_mode::serial_out_of_order,
                                                           [&](const FramePtr& frame) {
                                                               frame->take();
                                                               tally(*frame);
                                                           }));
    });
    return finish();
}

FramePtr PlanRun::start(oneapi::tbb::flow_control& control)
{
    const std::lock_guard<std::mutex> serial(serialStages_);
    if (next_ >= plan_.jobs.size() || ending()) {
        control.stop();
        return nullptr;
    }
    auto frame = std::make_shared<FrameWork>();
    frame->index = next_++;
    frame->give();
    return frame;
}

void PlanRun::read(FrameWork& frame)
{
    const FrameJob& job = plan_.jobs[frame.index];
    frame.started = Clock::now();
    if (ending()) {
        frame.outcome = Outcome::Abandoned;
        return;
    }
    std::error_code ec;
    if (request_.skipExisting && fs::exists(job.output, ec)) {
        if (isCompleteImage(job.output)) {
            frame.outcome = Outcome::Skipped;
            return;
        }
        rewriting(job);
    }
    guarded(frame, [&] {
        const int depth = request_.depth.value_or(0);
        frame.pages = readFrames(
            job.input, depth, ReadOptions{depth, request_.clip},
            [&](const Image& page) { planOutputLayout(job.output, page, writeOptions_); },
            shape_.frameMemory, jobs());
        frame.note = clippedNote(job.input, frame.pages);
    });
    noteFailure(frame);
}

// An output there but incomplete is written again: one image says so now, a sequence counts
// them for its summary.
void PlanRun::rewriting(const FrameJob& job)
{
    if (!plan_.singleImage) {
        ++redone_;
    } else if (!request_.quiet) {
        fmt::print(stderr, "telvix: '{}' exists but is incomplete; writing it again\n",
                   job.output.string());
    }
}

void PlanRun::render(FrameWork& frame)
{
    guarded(frame, [&] {
        // Each page of a file is a frame of its own.
        for (Frame& page : frame.pages) {
            standin::World& world = page.world;
            if (request_.extent) {
                checkExtentInFrame(*request_.extent, world.width(), world.height());
            }
            const RenderRequest request =
                renderRequestFor(request_, world.deep() ? 16 : 8, shape_.parallelism.threads);
            // The input world is released as the output replaces it.
            world = renderWorld(entryPoint_, std::move(world), request);
        }
    });
    noteFailure(frame);
}

void PlanRun::write(FrameWork& frame)
{
    // An interrupt abandons frames in flight: nothing more is written.
    if (interrupted()) {
        frame.outcome = Outcome::Abandoned;
    } else {
        const fs::path& output = plan_.jobs[frame.index].output;
        guarded(frame, [&] {
            folders_.prepare(output.parent_path());
            writeFramesReplacing(output, frame.pages, writeOptions_);
            frame.outcome = Outcome::Written;
        });
        noteFailure(frame);
        // A full disk ends the run all the same.
        if (frame.outcome == Outcome::Failed &&
            foundDiskFull(frame.error, plan_.jobs[frame.index])) {
            diskFull_.store(true);
        }
    }
    frame.pages.clear();
}

void PlanRun::tally(FrameWork& frame)
{
    const std::lock_guard<std::mutex> serial(serialStages_);
    const FrameJob& job = plan_.jobs[frame.index];
    const double seconds = std::chrono::duration<double>(Clock::now() - frame.started).count();
    const int threads = shape_.parallelism.threads;
    FrameResult result;
    result.job = job;
    result.index = frame.index;
    result.seconds = seconds;
    switch (frame.outcome) {
        case Outcome::Written:
            ++written_;
            result.outcome = FrameOutcome::Written;
            result.note = frame.note;
            if (!frame.note.empty() && !request_.quiet) {
                progress_.finish();  // the note on a line of its own
                fmt::print(stderr, "{}\n", frame.note);
            }
            if (request_.verbose && plan_.singleImage) {
                printOut(fmt::format("{} -> {} ({} host {})\n", job.input.string(),
                                     job.output.string(), threads,
                                     threads == 1 ? "thread" : "threads"));
            } else if (request_.verbose) {
                printOut(fmt::format("{}: {} -> {} ({:.2f} s)\n", job.label, job.input.string(),
                                     job.output.string(), seconds));
            }
            break;
        case Outcome::Skipped:
            ++skipped_;
            result.outcome = FrameOutcome::Skipped;
            if (request_.verbose && plan_.singleImage) {
                printOut(fmt::format("{}: skipped, it exists\n", job.output.string()));
            } else if (request_.verbose) {
                printOut(fmt::format("{}: skipped, '{}' exists\n", job.label, job.output.string()));
            }
            break;
        case Outcome::Failed:
            ++failedFrames_;
            result.outcome = FrameOutcome::Failed;
            result.error = frame.error;
            if (plan_.singleImage) imageFailure_ = frame.exception;
            break;
        default:
            return;  // abandoned: neither done nor failed
    }
    ++done_;
    results_.push_back(std::move(result));
    progress_.update(done_, written_);
    if (observer_) observer_(results_.back(), done_ + plan_.missing.size(), total());
}

RunSummary PlanRun::finish()
{
    const std::lock_guard<std::mutex> serial(serialStages_);
    if (!plan_.singleImage) {
        progress_.update(done_, written_, true);
        progress_.finish();
    }
    RunSummary summary;
    summary.frames = std::move(results_);
    summary.planned = total();
    summary.written = written_;
    summary.skipped = skipped_;
    summary.failed = failedFrames_;
    summary.redone = redone_.load();
    summary.interrupted = interrupted();
    summary.diskFull = diskFull_.load();
    summary.seconds = std::chrono::duration<double>(Clock::now() - startTime_).count();
    summary.parallelism = shape_.parallelism;
    summary.imageFailure = imageFailure_;
    return summary;
}

}  // namespace

// "frame 1005: MESSAGE"; the message alone for the one image of a run, which has no label.
std::string labelled(const FrameJob& job, const std::string& message)
{
    return job.label.empty() ? message : fmt::format("{}: {}", job.label, message);
}

SequencePlan planSmooth(const SmoothRequest& request, bool sequence)
{
    if (!sequence && request.frames) {
        throw UsageError(
            "--frames needs INPUT as a frame pattern (shot.####.png or shot.%04d.png)");
    }
    SequencePlan plan = sequence ? planSequence(request.input, request.output, request.frames)
                                 : planImage(request.input, request.output);
    if (!plan.jobs.empty()) checkCompression(plan.jobs.front().output, request.compression);
    return plan;
}

RunSummary runPlan(const SequencePlan& plan, const SmoothRequest& request, PF_FilterProc entryPoint,
                   const FrameObserver& observer)
{
    PlanRun run(plan, request, entryPoint, observer, checkMissingFrames(plan, request));
    return run.run();
}

}  // namespace telvix::cli
