// How many frames of a run go at once, and on how many host threads each, as the cores and the
// memory allow.
#pragma once

#include <cstddef>

#include "frame_sequence.h"
#include "memory_budget.h"
#include "smooth_request.h"

namespace telvix::cli {

// How a run's frames share the machine: jobs (frames at once) and each frame's host threads,
// the memory each frame may take, and how many frames are in flight.
struct RunShape {
    Parallelism parallelism;
    MemoryBudget frameMemory;  // bytes 0: unknown, each frame checked against the whole budget
    std::size_t tokens = 1;
};

// A long sequence runs one frame per core, a short one gives each frame's render the cores the
// other frames leave; as many as the memory holds.
RunShape shapeRun(const SequencePlan& plan, const SmoothRequest& request);

}  // namespace telvix::cli
