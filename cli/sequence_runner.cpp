#include "sequence_runner.h"

#include <OpenImageIO/imageio.h>
#include <fmt/format.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_pipeline.h>
#include <oneapi/tbb/task_arena.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "cli_error.h"
#include "frame_world.h"
#include "image_read.h"
#include "interrupt.h"
#include "memory_budget.h"
#include "output_format.h"
#include "plugin_driver.h"
#include "run_report.h"
#include "temporary_file.h"

namespace telvix::cli {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

enum class Outcome { Pending, Written, Skipped, Failed, Abandoned };

// One frame on its way through the pipeline. Only the frame's own stage touches it at a time.
struct FrameWork {
    std::size_t index = 0;
    Outcome outcome = Outcome::Pending;
    std::vector<Frame> pages;  // the file's pages: descriptions and, once read, pixels
    std::string note;          // samples clipped on reading (--clip), reported when written
    std::string error;
    std::exception_ptr exception;  // the failure as thrown: it ends a run of one image as it is
    Clock::time_point started;
    // oneTBB hands a frame from stage to stage with its own synchronisation, which
    // ThreadSanitizer cannot see in an uninstrumented library; every stage takes the frame with
    // an acquire and gives it on with a release, which states the hand-over to it at no cost.
    std::atomic<int> handovers{0};
    void take() const { (void)handovers.load(std::memory_order_acquire); }
    void give() { handovers.fetch_add(1, std::memory_order_release); }
};
using FramePtr = std::shared_ptr<FrameWork>;

// "frame 1005: MESSAGE"; the message alone for the one image of a run, which has no label.
std::string labelled(const FrameJob& job, const std::string& message)
{
    return job.label.empty() ? message : fmt::format("{}: {}", job.label, message);
}

// "1:05" for 65 seconds.
std::string minutesSeconds(double seconds)
{
    const long s = std::lround(seconds);
    return s >= 3600 ? fmt::format("{}:{:02}:{:02}", s / 3600, s / 60 % 60, s % 60)
                     : fmt::format("{}:{:02}", s / 60, s % 60);
}

// The terminal progress line: frames done of total, frames per second, time left. Redrawn in
// place at most ten times a second.
class ProgressLine {
public:
    ProgressLine(bool enabled, std::size_t total) : enabled_(enabled), total_(total) {}

    void update(std::size_t done, std::size_t rendered, bool force = false)
    {
        if (!enabled_) return;
        const auto now = Clock::now();
        if (!force && now - lastDrawn_ < std::chrono::milliseconds(100)) return;
        lastDrawn_ = now;
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        const double fps = elapsed > 0 ? static_cast<double>(rendered) / elapsed : 0.0;
        std::string line = fmt::format("telvix: {}/{} frames", done, total_);
        if (rendered > 0) {
            line += fmt::format("  {:.1f} fps", fps);
            if (done < total_) {
                line += fmt::format("  {} left",
                                    minutesSeconds(static_cast<double>(total_ - done) / fps));
            }
        }
        // \r returns to the start of the line, ESC[K clears what a longer line left behind.
        fmt::print(stderr, "\r{}\x1b[K", line);
        std::fflush(stderr);
        drawn_ = true;
    }
    // Ends the line so that later messages start on their own.
    void finish()
    {
        if (drawn_) fmt::print(stderr, "\n");
        drawn_ = false;
    }

private:
    bool enabled_;
    std::size_t total_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point lastDrawn_{};
    bool drawn_ = false;
};

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
bool foundDiskFull(const std::string& error, const FrameJob& job)
{
    static const std::string noSpace = std::strerror(ENOSPC);
    static const std::string noQuota = std::strerror(EDQUOT);
    if (error.find(noSpace) != std::string::npos || error.find(noQuota) != std::string::npos) {
        return true;
    }
    struct statvfs disk {};
    const fs::path folder =
        job.output.parent_path().empty() ? fs::path(".") : job.output.parent_path();
    if (statvfs(folder.c_str(), &disk) != 0) return false;
    std::error_code ec;
    const std::uintmax_t needed = fs::file_size(job.input, ec);
    const std::uintmax_t room = static_cast<std::uintmax_t>(disk.f_bavail) * disk.f_frsize;
    return disk.f_bavail == 0 || disk.f_favail == 0 || (!ec && room < needed);
}

// How many frames the memory lets run at once, planned from the first frame's size.
struct MemoryPlan {
    MemoryBudget budget;          // memoryBudget(); bytes 0: unknown, nothing planned
    int jobs = 0;                 // jobs to run; 0: as asked
    bool oneFramePerJob = false;  // no room for a second frame per job waiting its turn
    // The memory one frame may take when `jobs` run at once.
    MemoryBudget frameShare(int jobs) const { return budget.share(jobs); }
};

// Each job renders a frame (three worlds, or with pages every page's world and two more of the
// largest, and the overhead of reading and writing it) while a second frame waits (its worlds).
// The jobs asked for (or chosen) are reduced, with a warning, until that fits in the memory
// budget; a frame that does not fit alone is refused before any work. Later frames larger than
// the first are checked against their job's share as they are read.
MemoryPlan planMemory(const SequencePlan& plan, const CommandLine& commandLine)
{
    MemoryPlan memory;
    memory.budget = memoryBudget();
    if (memory.budget.bytes == 0 || plan.jobs.empty()) return memory;
    const FrameJob& first = plan.jobs.front();
    const int depth = commandLine.depth.value_or(0);
    std::vector<Image> pages;
    try {
        pages = readPageHeaders(first.input, ReadOptions{depth, commandLine.clip});
    } catch (const CliError&) {
        return memory;  // the frame fails with its own message in its turn
    }
    try {
        checkPagesMemory(first.input, pages, depth, memory.budget);
    } catch (const CliError& e) {
        throw CliError(labelled(first, e.what()));
    }
    const std::uint64_t waiting = pagesWorldBytes(pages, depth);
    const std::uint64_t rendering = pagesRenderBytes(pages, depth) + kFrameOverheadBytes;
    const Parallelism asked =
        chooseParallelism(commandLine, plan.jobs.size(), oneapi::tbb::info::default_concurrency());
    const std::uint64_t fitting = memory.budget.bytes / (rendering + waiting);
    memory.oneFramePerJob = fitting == 0;
    const int jobs = static_cast<int>(std::clamp<std::uint64_t>(fitting, 1, kMaxJobs));
    if (jobs < asked.jobs) {
        memory.jobs = jobs;
        if (!commandLine.quiet) {
            const Image& page = pages.front();
            std::uint64_t pixels = 0;
            for (const Image& each : pages) {
                pixels += static_cast<std::uint64_t>(each.width) *
                          static_cast<std::uint64_t>(each.height);
            }
            const std::string size =
                pages.size() == 1
                    ? fmt::format("{}x{}", page.width, page.height)
                    : fmt::format("{} pages ({} pixels in all)", pages.size(), pixels);
            fmt::print(stderr,
                       "telvix: warning: frames of {} at {} bits need {} each, rendering and "
                       "waiting their turn; running {} {} at once instead of {}, as {}\n",
                       size, depth != 0 ? depth : page.bits,
                       describeBytes(rendering + waiting, true), jobs,
                       jobs == 1 ? "frame" : "frames", asked.jobs, describeMemory(memory.budget));
        }
    }
    return memory;
}

// The folders outputs go to: each is created when missing (for a sequence; one image's folder
// must exist), and temporary files that killed runs left in it are removed, before the first
// frame is written there.
class OutputFolders {
public:
    explicit OutputFolders(bool create) : create_(create) {}

    void prepare(const fs::path& folder)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (prepared_.count(folder.string()) > 0) return;
        if (create_ && !folder.empty()) {
            std::error_code ec;
            fs::create_directories(folder, ec);
            if (ec) {
                throw CliError(fmt::format("cannot create the folder '{}': {}", folder.string(),
                                           ec.message()));
            }
        }
        removeOrphanedTemporaries(folder);
        // A frame per folder (out/0001/f.png ...) would fill the set: it is forgotten from time
        // to time, which only means a folder may be looked through twice.
        if (prepared_.size() >= 10'000) prepared_.clear();
        prepared_.insert(folder.string());
    }

private:
    bool create_;
    std::mutex mutex_;
    std::set<std::string> prepared_;
};

// Frames asked for whose input is missing: the run is refused, or with --keep-going each is a
// failure of its own (returned). Holes in a numbering found on disk: a warning.
std::vector<FrameResult> checkMissingFrames(const SequencePlan& plan,
                                            const CommandLine& commandLine)
{
    std::vector<FrameResult> failures;
    if (!plan.missing.empty()) {
        std::vector<long> numbers;
        for (const FrameJob& job : plan.missing) {
            numbers.push_back(job.number);
        }
        std::sort(numbers.begin(), numbers.end());
        if (!commandLine.keepGoing) {
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
    if (!plan.gaps.empty() && !commandLine.quiet) {
        fmt::print(stderr, "telvix: warning: {} {} of '{}' {} missing; smoothing the {} found\n",
                   plan.gaps.size() == 1 ? "frame" : "frames", describeFrames(plan.gaps),
                   plan.inputDescription, plan.gaps.size() == 1 ? "is" : "are", plan.jobs.size());
    }
    return failures;
}

// How a run's frames share the machine: jobs (frames at once) and each frame's host threads,
// the memory each frame may take, and how many frames are in flight.
struct RunShape {
    Parallelism parallelism;
    MemoryBudget frameMemory;  // bytes 0: unknown, each frame checked against the whole budget
    std::size_t tokens = 1;
};

// A long sequence runs one frame per core, a short one gives each frame's render the cores the
// other frames leave; as many as the memory holds.
RunShape shapeRun(const SequencePlan& plan, const CommandLine& commandLine)
{
    const MemoryPlan memory = planMemory(plan, commandLine);
    CommandLine planned = commandLine;
    if (memory.jobs != 0) planned.jobs = memory.jobs;
    RunShape shape;
    shape.parallelism =
        chooseParallelism(planned, plan.jobs.size(), oneapi::tbb::info::default_concurrency());
    const int jobs = shape.parallelism.jobs;
    if (memory.budget.bytes != 0) shape.frameMemory = memory.frameShare(jobs);
    // At most two frames per job in flight: the memory a run needs does not grow with the
    // length of the sequence, and every job has a frame to go on with while another waits
    // (one per job when the memory holds no more).
    shape.tokens = static_cast<std::size_t>(jobs) * (memory.oneFramePerJob ? 1 : 2);
    return shape;
}

// A run of a plan's frames: a pipeline that starts, reads, renders, writes and tallies each
// frame, and the messages and exit status it ends with. A sequence speaks of frames; the one
// image of a single-image plan speaks as that image, and its failure ends the run as thrown.
class PlanRun {
public:
    PlanRun(const SequencePlan& plan, const CommandLine& commandLine, PF_FilterProc entryPoint,
            const FrameObserver& observer, std::vector<FrameResult> missing)
        : plan_(plan),
          commandLine_(commandLine),
          entryPoint_(entryPoint),
          observer_(observer),
          shape_(shapeRun(plan, commandLine)),
          writeOptions_{commandLine.compression, commandLine.dropAlpha,
                        commandLine.key.has_value()},
          folders_(!plan.singleImage),
          results_(std::move(missing)),
          failedFrames_(results_.size()),
          progress_(isatty(STDERR_FILENO) == 1 && !commandLine.quiet && !commandLine.verbose &&
                        !plan.singleImage,
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
        if (frame.outcome == Outcome::Failed && !commandLine_.keepGoing) failed_.store(true);
    }

    FramePtr start(oneapi::tbb::flow_control& control);
    void read(FrameWork& frame);
    void render(FrameWork& frame);
    void write(FrameWork& frame);
    void tally(FrameWork& frame);
    void rewriting(const FrameJob& job);
    RunSummary finish();

    const SequencePlan& plan_;
    const CommandLine& commandLine_;
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
    if (commandLine_.skipExisting && fs::exists(job.output, ec)) {
        if (isCompleteImage(job.output)) {
            frame.outcome = Outcome::Skipped;
            return;
        }
        rewriting(job);
    }
    guarded(frame, [&] {
        const int depth = commandLine_.depth.value_or(0);
        frame.pages = readFrames(
            job.input, depth, ReadOptions{depth, commandLine_.clip},
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
    } else if (!commandLine_.quiet) {
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
            if (commandLine_.extent) {
                checkExtentInFrame(*commandLine_.extent, world.width(), world.height());
            }
            const RenderRequest request =
                renderRequestFor(commandLine_, world.deep() ? 16 : 8, shape_.parallelism.threads);
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
            if (!frame.note.empty() && !commandLine_.quiet) {
                progress_.finish();  // the note on a line of its own
                fmt::print(stderr, "{}\n", frame.note);
            }
            if (commandLine_.verbose && plan_.singleImage) {
                printOut(fmt::format("{} -> {} ({} host {})\n", job.input.string(),
                                     job.output.string(), threads,
                                     threads == 1 ? "thread" : "threads"));
            } else if (commandLine_.verbose) {
                printOut(fmt::format("{}: {} -> {} ({:.2f} s)\n", job.label, job.input.string(),
                                     job.output.string(), seconds));
            }
            break;
        case Outcome::Skipped:
            ++skipped_;
            result.outcome = FrameOutcome::Skipped;
            if (commandLine_.verbose && plan_.singleImage) {
                printOut(fmt::format("{}: skipped, it exists\n", job.output.string()));
            } else if (commandLine_.verbose) {
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
int reportSequence(const RunSummary& summary, const CommandLine& commandLine)
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
            failures.size(), summary.planned, commandLine.keepGoing ? " despite --keep-going" : "",
            summary.written, summary.planned - std::min(ended, summary.planned)));
        return kExitFailure;
    }
    if (!failures.empty()) {
        if (commandLine.keepGoing) {
            printError(fmt::format("{} of {} frames failed", failures.size(), summary.planned));
        } else {
            printError(fmt::format("stopped after the failure; {} of {} frames written",
                                   summary.written, summary.planned));
        }
        return kExitFailure;
    }
    const bool quiet = commandLine.quiet;
    if (summary.redone > 0 && !quiet) {
        fmt::print(stderr, "telvix: {} existing {} incomplete and written again\n", summary.redone,
                   summary.redone == 1 ? "output was" : "outputs were");
    }
    if (!quiet && (isatty(STDERR_FILENO) == 1 || commandLine.verbose)) {
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

SequencePlan planSmooth(const CommandLine& commandLine, bool sequence)
{
    if (!sequence && commandLine.frames) {
        throw UsageError(
            "--frames needs INPUT as a frame pattern (shot.####.png or shot.%04d.png)");
    }
    SequencePlan plan =
        sequence ? planSequence(commandLine.input, commandLine.output, commandLine.frames)
                 : planImage(commandLine.input, commandLine.output);
    if (!plan.jobs.empty()) checkCompression(plan.jobs.front().output, commandLine.compression);
    return plan;
}

RunSummary runPlan(const SequencePlan& plan, const CommandLine& commandLine,
                   PF_FilterProc entryPoint, const FrameObserver& observer)
{
    PlanRun run(plan, commandLine, entryPoint, observer, checkMissingFrames(plan, commandLine));
    return run.run();
}

int runSequence(const SequencePlan& plan, const CommandLine& commandLine, PF_FilterProc entryPoint)
{
    if (!commandLine.report.empty()) checkReportPath(commandLine.report, plan);
    const RunSummary summary = runPlan(plan, commandLine, entryPoint);
    // The report first: it tells what a run stopped early did, too.
    bool reported = true;
    if (!commandLine.report.empty()) {
        try {
            writeRunReport(commandLine.report, plan, summary);
        } catch (const CliError& e) {
            printError(e.what());
            reported = false;
        }
    }
    // Output lost to a closed pipe: nothing more to say, the process ends by SIGPIPE.
    if (summary.interrupted) finishAfterStop();
    const int status =
        plan.singleImage ? reportImage(plan, summary) : reportSequence(summary, commandLine);
    return status == 0 && !reported ? kExitFailure : status;
}

}  // namespace telvix::cli
