#include "memory_plan.h"

#include <fmt/format.h>
#include <oneapi/tbb/info.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli_error.h"
#include "frame_memory.h"
#include "image_read.h"
#include "plan_run.h"

namespace telvix::cli {
namespace {

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
MemoryPlan planMemory(const SequencePlan& plan, const SmoothRequest& request)
{
    MemoryPlan memory;
    memory.budget = memoryBudget();
    if (memory.budget.bytes == 0 || plan.jobs.empty()) return memory;
    const FrameJob& first = plan.jobs.front();
    const int depth = request.depth.value_or(0);
    std::vector<Image> pages;
    try {
        pages = readPageHeaders(first.input, ReadOptions{depth, request.clip});
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
        chooseParallelism(request, plan.jobs.size(), oneapi::tbb::info::default_concurrency());
    const std::uint64_t fitting = memory.budget.bytes / (rendering + waiting);
    memory.oneFramePerJob = fitting == 0;
    const int jobs = static_cast<int>(std::clamp<std::uint64_t>(fitting, 1, kMaxJobs));
    if (jobs < asked.jobs) {
        memory.jobs = jobs;
        if (!request.quiet) {
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

}  // namespace

// A long sequence runs one frame per core, a short one gives each frame's render the cores the
// other frames leave; as many as the memory holds.
RunShape shapeRun(const SequencePlan& plan, const SmoothRequest& request)
{
    const MemoryPlan memory = planMemory(plan, request);
    SmoothRequest planned = request;
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

}  // namespace telvix::cli
