#include "effect_entry.h"

#include "AE_EffectCBSuites.h"
#include "params.h"
#include "render.h"
#include "string_table.h"
#include "suite_handler.h"
#include "telvix_version.h"

namespace telvix {

namespace {

// The identity numbers are shared with the resource script as plain literals; make sure they
// say what the SDK's own macros and flags say.
static_assert(PF_VERSION(TELVIX_MAJOR_VERSION, TELVIX_MINOR_VERSION, TELVIX_BUG_VERSION,
                         TELVIX_STAGE_VERSION, TELVIX_BUILD_VERSION) == TELVIX_ENCODED_VERSION);
static_assert(TELVIX_GLOBAL_OUTFLAGS ==
              (PF_OutFlag_DEEP_COLOR_AWARE | PF_OutFlag_USE_OUTPUT_EXTENT));

// Writes "<name> v<major>.<minor><bug>\r<description>" into return_msg with the host's sprintf.
PF_Err about(PF_InData* in_data, PF_OutData* out_data)
{
    SuiteHandler suites(in_data->pica_basicP);
    suites.ansiSuite()->sprintf(out_data->return_msg, "%s v%d.%d%d\r%s", stringFor(kStrName),
                                TELVIX_MAJOR_VERSION, TELVIX_MINOR_VERSION, TELVIX_BUG_VERSION,
                                stringFor(kStrDescription));
    return PF_Err_NONE;
}

// Reports the packed version and the global flags; both must equal the PiPL's eVER and eGLO.
PF_Err globalSetup(PF_OutData* out_data)
{
    out_data->my_version = TELVIX_ENCODED_VERSION;
    out_data->out_flags = TELVIX_GLOBAL_OUTFLAGS;
    return PF_Err_NONE;
}

// Commands the effect does not need (sequence and frame setup, smart render, ...) are answered
// with success and leave out_data untouched.
PF_Err dispatch(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                PF_LayerDef* output)
{
    switch (cmd) {
        case PF_Cmd_ABOUT:
            return about(in_data, out_data);
        case PF_Cmd_GLOBAL_SETUP:
            return globalSetup(out_data);
        case PF_Cmd_PARAMS_SETUP:
            return setupParams(in_data, out_data);
        case PF_Cmd_RENDER:
            return render(in_data, params, output);
        default:
            return PF_Err_NONE;
    }
}

}  // namespace

}  // namespace telvix

extern "C" TELVIX_EXPORT PF_Err entryPointFunc(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data,
                                               PF_ParamDef* params[], PF_LayerDef* output,
                                               void* /*extra*/)
{
    try {
        return telvix::dispatch(cmd, in_data, out_data, params, output);
    } catch (...) {
        // The suite handler's missing-suite error, or an allocation failure: the host gets a
        // code, never an exception.
        return PF_Err_INTERNAL_STRUCT_DAMAGED;
    }
}
