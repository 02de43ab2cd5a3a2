#include "plugin_driver.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

#include "cli_error.h"
#include "frame_world.h"
#include "interrupt.h"

namespace telvix::cli {
namespace {

// Throws RenderFailure when a command answered with an error.
void check(PF_Err error, const char* command)
{
    if (error != PF_Err_NONE) {
        throw RenderFailure(
            fmt::format("plug-in {} failed: {} ({})", command, errorName(error), error), error);
    }
}

// The name the plug-in gave a parameter; the host's buffer need not be terminated.
std::string paramName(const PF_ParamDef& def)
{
    return std::string(def.name, strnlen(def.name, sizeof def.name));
}

// Which option of `telvix smooth` sets a parameter, by its stable id.
const char* optionFor(A_long id)
{
    switch (id) {
        case 1:
            return "on with --key";
        case 2:
            return "--key RRGGBB";
        case 3:
            return "--tolerance N";
        default:
            return "";
    }
}

// Kind, default and range of one parameter, as a user reads them.
std::string describe(const PF_ParamDef& def)
{
    switch (def.param_type) {
        case PF_Param_CHECKBOX:
            return fmt::format("{:<10}default {}", "checkbox", def.u.bd.dephault ? "on" : "off");
        case PF_Param_COLOR: {
            const PF_Pixel8& c = def.u.cd.dephault;
            return fmt::format("{:<10}default {:02X}{:02X}{:02X}, alpha {}", "color", c.red,
                               c.green, c.blue, c.alpha);
        }
        case PF_Param_SLIDER: {
            const PF_SliderDef& s = def.u.sd;
            std::string text = fmt::format("{:<10}default {}, range {}-{}", "slider", s.dephault,
                                           s.valid_min, s.valid_max);
            if (s.slider_min != s.valid_min || s.slider_max != s.valid_max) {
                text += fmt::format(", slider {}-{}", s.slider_min, s.slider_max);
            }
            return text;
        }
        case PF_Param_LAYER:
            return fmt::format("{:<10}the input image", "layer");
        default:
            return fmt::format("{:<10}", fmt::format("type {}", def.param_type));
    }
}

}  // namespace

RenderRequest renderRequestFor(const SmoothRequest& smooth, int depth, int hostThreads)
{
    RenderRequest request;
    request.settings.tolerance = smooth.tolerance;
    if (smooth.key) {
        request.settings.useColorKey = true;
        request.settings.keyColor =
            PF_Pixel8{PF_MAX_CHAN8, smooth.key->red, smooth.key->green, smooth.key->blue};
    }
    request.extent = smooth.extent;
    request.depth = depth;
    request.hostThreads = hostThreads;
    return request;
}

standin::World renderWorld(PF_FilterProc entryPoint, standin::World source,
                           const RenderRequest& request)
{
    // A host sends global setup and parameter setup before the first render, and renders 16-bit
    // frames only for effects that declare themselves deep-colour aware.
    standin::Host host(entryPoint);
    // Like a host rendering on several threads: iterate and copy split the rows into even
    // bands, run at once on up to that many threads (no more than the processors). The
    // plug-in's output is the same for any number of bands.
    host.setThreading(standin::Threading{std::max(request.hostThreads, 1), 0});
    // Ctrl-C (or SIGTERM, SIGHUP) cancels a render in progress at the next row, as the user's
    // cancel does in a real host, instead of waiting for a large frame to finish.
    host.setCancelRequest(&interrupted);
    check(host.globalSetup(), "global setup");
    if (source.deep() && (host.outData().out_flags & PF_OutFlag_DEEP_COLOR_AWARE) == 0) {
        throw CliError("the plug-in does not handle 16-bit frames; use --depth 8");
    }
    check(host.paramsSetup(), "parameter setup");

    standin::World output(source.width(), source.height(), source.deep());
    if (request.extent) {
        const Extent& e = *request.extent;
        output.def().extent_hint = PF_LRect{e.left, e.top, e.right, e.bottom};
    }
    // The output starts as the host's zeroed world; the render copies the input into it first.
    const PF_Err rendered = host.render(source, output, request.settings);
    if (rendered == PF_Interrupt_CANCEL && interrupted()) {
        throw Interrupted();
    }
    check(rendered, "render");
    return output;
}

std::string errorName(PF_Err error)
{
    switch (error) {
        case PF_Err_NONE:
            return "PF_Err_NONE";
        case PF_Err_OUT_OF_MEMORY:
            return "PF_Err_OUT_OF_MEMORY";
        case PF_Err_INTERNAL_STRUCT_DAMAGED:
            return "PF_Err_INTERNAL_STRUCT_DAMAGED";
        case PF_Err_INVALID_INDEX:
            return "PF_Err_INVALID_INDEX";
        case PF_Err_UNRECOGNIZED_PARAM_TYPE:
            return "PF_Err_UNRECOGNIZED_PARAM_TYPE";
        case PF_Err_INVALID_CALLBACK:
            return "PF_Err_INVALID_CALLBACK";
        case PF_Err_BAD_CALLBACK_PARAM:
            return "PF_Err_BAD_CALLBACK_PARAM";
        case PF_Interrupt_CANCEL:
            return "PF_Interrupt_CANCEL";
        default:
            return "unknown error";
    }
}

std::string aboutText(PF_FilterProc entryPoint)
{
    standin::Host host(entryPoint);
    std::string text;
    check(host.about(&text), "about");
    for (char& c : text) {
        if (c == '\r') c = '\n';
    }
    return text;
}

std::vector<PF_ParamDef> registeredParameters(PF_FilterProc entryPoint)
{
    standin::Host host(entryPoint);
    check(host.globalSetup(), "global setup");
    check(host.paramsSetup(), "parameter setup");
    return host.registeredParams();
}

int firstParameterIndex(const std::vector<PF_ParamDef>& params)
{
    // The host numbers the input layer 0; list it that way if the host reports it.
    return !params.empty() && params.front().param_type == PF_Param_LAYER ? 0 : 1;
}

std::string describeParameters(PF_FilterProc entryPoint)
{
    const std::vector<PF_ParamDef> params = registeredParameters(entryPoint);
    const int first = firstParameterIndex(params);
    std::string text;
    for (std::size_t i = 0; i < params.size(); ++i) {
        const PF_ParamDef& def = params[i];
        const std::string line = fmt::format("{}  {:<16} {}", first + static_cast<int>(i),
                                             paramName(def), describe(def));
        const char* option = optionFor(def.uu.id);
        text += *option != '\0' ? fmt::format("{:<56} ({})\n", line, option) : line + "\n";
    }
    return text;
}

}  // namespace telvix::cli
