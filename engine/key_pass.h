// The colour key: makes the key-coloured pixels of the source transparent in a copy of it, which
// the smoothing pass then analyses instead of the source.
#pragma once

#include "AE_Effect.h"
#include "render_info.h"

namespace telvix {

// One pixel of the key pass (refcon is the RenderInfo<Pixel>): when the source pixel is present
// and equals keyColor in all four channels, the destination pixel becomes keyColor with alpha 0;
// otherwise it is left alone. Always returns PF_Err_NONE.
template <typename Pixel>
PF_Err keyPass(void* refcon, A_long x, A_long y, Pixel* inPixel, Pixel* outPixel);

// The key pass over the pixels left <= x < right of row y, from RenderInfo::source into
// RenderInfo::output (refcon is the RenderInfo<Pixel>).
template <typename Pixel>
void keyRow(void* refcon, A_long y, A_long left, A_long right);

extern template PF_Err keyPass<PF_Pixel8>(void*, A_long, A_long, PF_Pixel8*, PF_Pixel8*);
extern template PF_Err keyPass<PF_Pixel16>(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*);
extern template void keyRow<PF_Pixel8>(void*, A_long, A_long, A_long);
extern template void keyRow<PF_Pixel16>(void*, A_long, A_long, A_long);

}  // namespace telvix
