// RenderInfo: the per-render record that the render fills and every engine routine reads.
#pragma once

#include "AE_Effect.h"

namespace telvix {

// One layout per depth, the same fields in the same order. It lives on the render's stack and
// reaches the per-pixel functions as the iterate suite's refcon; it is read-only while a pass runs.
template <typename Pixel>
struct RenderInfo {
    PF_Boolean useColorKey;  // "Use Color Key" is exactly 1
    Pixel keyColor;          // "Color Key", widened to the depth's channel range
    A_long tolerance;        // "Do Smooth Range", 0..255, in 8-bit units at both depths
    A_long tolerance2;       // the same value; read only by step measurement for its traces
    PF_EffectWorld* source;  // the world the engine reads (the input, or the keyed copy)
    PF_EffectWorld* output;  // the world the engine writes
    PF_InData* inData;
};

using RenderInfo8 = RenderInfo<PF_Pixel8>;
using RenderInfo16 = RenderInfo<PF_Pixel16>;

}  // namespace telvix
