// Smoothing a planned sequence of frames on all cores, with progress, interruption and error
// handling.
#pragma once

#include "AE_Effect.h"
#include "frame_sequence.h"
#include "options.h"

namespace telvix::cli {

// Runs every frame of `plan` through the effect with the controls of `commandLine`, reading,
// rendering and writing overlapped: its jobs frames at a time, each rendered by a host of its
// threads (chooseParallelism: by default one frame per core, each frame's host on the cores the
// frames leave). Each output is written to a temporary file and renamed into place, so the files
// are the same for any number of jobs or threads and a stopped run leaves only complete frames.
// Prints progress and errors as `commandLine` asks, and returns the exit status: 0 when every
// frame was written (or skipped), 1 when any failed or was missing, kExitInterrupted after
// SIGINT/SIGTERM. The one image of a single-image plan (planImage) is reported as itself: its
// failure is thrown on as it was thrown, to end the command with its own message and status.
int runSequence(const SequencePlan& plan, const CommandLine& commandLine, PF_FilterProc entryPoint);

}  // namespace telvix::cli
