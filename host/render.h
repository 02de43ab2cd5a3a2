// Render orchestration: picks the depth, fills RenderInfo, prepares the analysis world (the input,
// or a colour-keyed copy of it) and runs the smoothing pass over the output's extent.
#pragma once

#include "AE_Effect.h"
#include "render_info.h"

namespace telvix {

// Renders params[0]'s layer into `output` with the settings in params[1..3]. Returns the first
// non-zero host result (also PF_Interrupt_CANCEL from an interrupted iterate) or PF_Err_NONE.
// The temporary world is disposed of on every path. Throws kMissingSuiteError when in_data has
// no basic suite (before any world is touched) or an iterate suite is missing.
PF_Err render(PF_InData* in_data, PF_ParamDef* params[], PF_LayerDef* output);

// The key pass, the iterate suite's per-pixel function (refcon is the RenderInfo<Pixel>): when
// the source pixel is present and equals keyColor in all four channels, the destination pixel
// becomes keyColor with alpha 0; otherwise it is left alone. Always returns PF_Err_NONE.
template <typename Pixel>
PF_Err keyPass(void* refcon, A_long x, A_long y, Pixel* inPixel, Pixel* outPixel);

extern template PF_Err keyPass<PF_Pixel8>(void*, A_long, A_long, PF_Pixel8*, PF_Pixel8*);
extern template PF_Err keyPass<PF_Pixel16>(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*);

}  // namespace telvix
