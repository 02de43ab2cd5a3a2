// The effect's three controls as hosts and users see them: their ids, defaults and ranges. The
// plug-in registers them from here (frontends/ae/host/params.cpp), the stand-in host hands them
// back to the render from here, the command offers them from here, and the engine clamps the
// tolerance and its comparison lanes take the tolerance's range from here.
#pragma once

#include "AE_Effect.h"
#include "AE_Macros.h"

namespace telvix {

// Parameter indices, which are also the ids the plug-in registers. The ids are stored in users'
// projects: never renumber them.
enum ParamIndex : A_long {
    kParamInput = 0,    // the input layer, added by the host itself
    kParamUseColorKey,  // check box "Use Color Key", id 1
    kParamColorKey,     // colour "Color Key", id 2
    kParamSmoothRange,  // integer slider "Do Smooth Range", id 3
    kParamCount
};
static_assert(kParamUseColorKey == 1 && kParamColorKey == 2 && kParamSmoothRange == 3,
              "ids stored in projects");

// "Do Smooth Range": how far a channel may differ and still match, in 8-bit units at both depths.
inline constexpr A_long kSmoothRangeMin = 0;
inline constexpr A_long kSmoothRangeMax = 255;
inline constexpr A_long kSmoothRangeDefault = 6;

// "Use Color Key" starts off; "Color Key" starts as opaque white (alpha, red, green, blue).
inline constexpr PF_Boolean kUseColorKeyDefault = 0;
inline constexpr PF_Pixel kColorKeyDefault{PF_MAX_CHAN8, PF_MAX_CHAN8, PF_MAX_CHAN8, PF_MAX_CHAN8};

// The host's widening of an 8-bit channel to its 16-bit range, (c * 32768 + 128) / 255: a deep
// render widens the 8-bit key colour so, and 8-bit values put into deep worlds are widened so.
constexpr A_u_short widen8To16(A_u_char c) { return static_cast<A_u_short>(CONVERT8TO16(c)); }
static_assert(widen8To16(0) == 0 && widen8To16(128) == 16448 && widen8To16(255) == PF_MAX_CHAN16,
              "the host's 8-to-16 widening");

}  // namespace telvix
