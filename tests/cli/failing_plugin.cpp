// An effect library that sets itself up normally but fails every render, so that the telvix
// command's report of a plug-in error can be checked.
#include "AE_Effect.h"

extern "C" __attribute__((visibility("default"))) PF_Err entryPointFunc(
    PF_Cmd cmd, PF_InData* /*in_data*/, PF_OutData* out_data, PF_ParamDef* /*params*/[],
    PF_LayerDef* /*output*/, void* /*extra*/)
{
    if (cmd == PF_Cmd_GLOBAL_SETUP) out_data->out_flags = PF_OutFlag_DEEP_COLOR_AWARE;
    return cmd == PF_Cmd_RENDER ? PF_Err_INTERNAL_STRUCT_DAMAGED : PF_Err_NONE;
}
