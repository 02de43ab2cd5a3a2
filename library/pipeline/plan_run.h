// Smoothing a planned sequence of frames on all cores, with progress, interruption and error
// handling: the library's run, which the command and the Python module report each in their way.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "AE_Effect.h"
#include "frame_sequence.h"
#include "smooth_request.h"

namespace telvix::cli {

// The plan of `telvix smooth` for INPUT and OUTPUT of `request`: a sequence or folder
// (planSequence) when `sequence`, else one image (planImage). A --frames list without a
// sequence and a --compression the outputs' format does not take are usage errors, before any
// work.
SequencePlan planSmooth(const SmoothRequest& request, bool sequence);

// What became of one frame of a run.
enum class FrameOutcome { Written, Skipped, Failed };

struct FrameResult {
    FrameJob job;
    std::size_t index = 0;  // the frame's place in the plan's jobs; a missing frame: 0
    FrameOutcome outcome = FrameOutcome::Failed;
    std::string error;  // Failed: the one-line reason, without the frame's label
    std::string note;   // Written: "telvix: note: ..." for samples clipped on reading, or empty
    double seconds = 0;
};

// Everything a run did, for a caller that reports it in its own way.
struct RunSummary {
    // The frames that ended, in the order they did; frames asked for whose input is missing
    // (with --keep-going) come first, as failures.
    std::vector<FrameResult> frames;
    std::size_t planned = 0;  // the frames asked for: the plan's jobs and missing frames
    std::size_t written = 0;
    std::size_t skipped = 0;
    std::size_t failed = 0;
    std::size_t redone = 0;    // --skip-existing: outputs there but incomplete, written again
    bool interrupted = false;  // a stop request ended the run early
    // A frame found its disk full (or over quota): the run stopped there, even when kept going,
    // since every later frame would fail the same way.
    bool diskFull = false;
    double seconds = 0;
    Parallelism parallelism;
    // The failure of the one image of a single-image plan, as thrown.
    std::exception_ptr imageFailure;
};

// Told of each frame as it ends, with the frames ended so far and the frames asked for. Called
// from the run's threads, one call at a time.
using FrameObserver =
    std::function<void(const FrameResult& frame, std::size_t done, std::size_t total)>;

// Runs every frame of `plan` through the effect with the controls of `request`, reading,
// rendering and writing overlapped: its jobs frames at a time, each rendered by a host of its
// threads (chooseParallelism: by default one frame per core, each frame's host on the cores the
// frames leave). Each output is written to a temporary file and renamed into place, so the files
// are the same for any number of jobs or threads and a stopped run leaves only complete frames.
// A failed frame ends the run unless `request.keepGoing`, and a full disk ends it even then
// (RunSummary::diskFull); missing input frames are refused
// (CliError) unless it is set. Prints nothing but the warnings and notes that
// `request.quiet` silences, and the progress line on a terminal.
RunSummary runPlan(const SequencePlan& plan, const SmoothRequest& request, PF_FilterProc entryPoint,
                   const FrameObserver& observer = {});

// "frame 1005: MESSAGE"; the message alone for the one image of a run, which has no label.
std::string labelled(const FrameJob& job, const std::string& message);

}  // namespace telvix::cli
