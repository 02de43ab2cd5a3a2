// The line-smoothing engine: the per-pixel pass that the render hands to the host's iterate.
#pragma once

#include "AE_Effect.h"
#include "render_info.h"

namespace telvix {

// The iterate suite's per-pixel function for one depth (Pixel is PF_Pixel8 or PF_Pixel16).
// refcon is the RenderInfo<Pixel>; inPixel and outPixel are ignored: the pass reads
// RenderInfo::source and writes RenderInfo::output around (x, y). Always returns PF_Err_NONE.
template <typename Pixel>
PF_Err smoothingPass(void* refcon, A_long x, A_long y, Pixel* inPixel, Pixel* outPixel);

extern template PF_Err smoothingPass<PF_Pixel8>(void*, A_long, A_long, PF_Pixel8*, PF_Pixel8*);
extern template PF_Err smoothingPass<PF_Pixel16>(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*);

}  // namespace telvix
