// How the command ends a run of `telvix smooth`: the report file, the failures, the summary line
// and the exit status.
#pragma once

#include "AE_Effect.h"
#include "frame_sequence.h"
#include "smooth_request.h"

namespace telvix::cli {

// runPlan as the command runs it: prints progress and errors as `request` asks, and returns
// the exit status: 0 when every frame was written (or skipped), 1 when any failed or was
// missing, kExitInterrupted after SIGINT/SIGTERM. The one image of a single-image plan
// (planImage) is reported as itself: its failure is thrown on as it was thrown, to end the
// command with its own message and status.
int runSequence(const SequencePlan& plan, const SmoothRequest& request, PF_FilterProc entryPoint);

}  // namespace telvix::cli
