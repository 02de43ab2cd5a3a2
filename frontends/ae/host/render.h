// The plug-in's render: reads the controls from the parameters and renders the frame through
// the engine (render_frame.h), with the host's iterate suites and world callbacks as its runner.
#pragma once

#include "AE_Effect.h"
#include "key_pass.h"
#include "render_info.h"

namespace telvix {

// Renders params[0]'s layer into `output` with the settings in params[1..3]. Returns the first
// non-zero host result (also PF_Interrupt_CANCEL from an interrupted iterate) or PF_Err_NONE.
// The temporary world is disposed of on every path. Throws kMissingSuiteError when in_data has
// no basic suite (before any world is touched) or an iterate suite is missing.
PF_Err render(PF_InData* in_data, PF_ParamDef* params[], PF_LayerDef* output);

}  // namespace telvix
