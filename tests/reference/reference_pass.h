// A plain, serial reference version of the line-smoothing render, built only into the tests.
//
// It is written for reading, not for speed: one scalar algorithm over a small pixel-traits type
// for both depths, every test spelt out in the order the algorithm gives it, no shortcuts. The
// fast engine must match it byte for byte.
#pragma once

#include "AE_Effect.h"

namespace telvix::reference {

// Smooths serially, row by row from the top and each row from the left, every pixel of `area`
// (clipped to the worlds). `output` must already hold a copy of `source`, with the same size and
// depth: the pass blends into what it finds there.
template <typename Pixel>
void smoothPass(const PF_EffectWorld& source, PF_EffectWorld& output, A_long tolerance,
                PF_Rect area);

// The whole render as the effect does it: output = input; if useKey, a keyed copy of input
// (pixels equal to the key in all four channels become alpha 0 with the key's colour; at 16 bits
// the key's channels are widened as (c * 32768 + 128) / 255) is the analysis source, the key
// pass limited to `area`; output = analysis source; then smoothPass over `area`. Input and
// output must have the same size and the depth of Pixel.
template <typename Pixel>
void render(const PF_EffectWorld& input, PF_EffectWorld& output, bool useKey, PF_Pixel8 key,
            A_long tolerance, PF_Rect area);

}  // namespace telvix::reference
