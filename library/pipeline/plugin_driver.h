// Driving the effect's entry point through the stand-in host: rendering a frame, and the
// About and parameter-setup commands.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "smooth_request.h"
#include "standin_host.h"

namespace telvix::cli {

struct RenderRequest {
    standin::Settings settings;    // the three effect controls
    std::optional<Extent> extent;  // the output's extent_hint; unset: the whole frame
    int depth = 8;                 // the worlds' depth: 8 or 16 bits per channel
    int hostThreads = 1;           // bands the host's iterate and copy run at once
};

// The effect controls that a smoothing request asks for, for worlds of `depth` bits rendered
// by a host running `hostThreads` threads.
RenderRequest renderRequestFor(const SmoothRequest& smooth, int depth, int hostThreads);

// Sends global setup, parameter setup and render for `source` as a host would, and returns the
// output world, of the source's size and depth. The source is released when the render is done,
// so that a caller holds one world, not two, while it writes the result.
// Throws RenderFailure naming the command, the host error and its number when the plug-in
// fails.
standin::World renderWorld(PF_FilterProc entryPoint, standin::World source,
                           const RenderRequest& request);

// The host name of an error code, e.g. "PF_Err_INTERNAL_STRUCT_DAMAGED"; "unknown error" else.
std::string errorName(PF_Err error);

// The About text, its carriage returns turned into line breaks.
std::string aboutText(PF_FilterProc entryPoint);

// The parameters the plug-in registers at parameter setup, in order.
std::vector<PF_ParamDef> registeredParameters(PF_FilterProc entryPoint);

// The index of the first of `params` as the host numbers them: 0 when it is the input layer.
int firstParameterIndex(const std::vector<PF_ParamDef>& params);

// One line per registered parameter: index, name, kind, default, range and the option that
// sets it.
std::string describeParameters(PF_FilterProc entryPoint);

}  // namespace telvix::cli
