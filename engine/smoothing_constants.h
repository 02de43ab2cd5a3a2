// The smoothing's own constants, each named once: the centre weights of the neighbourhood
// averages, the corner sizes that are rounded off, and the fractions the ramp profiles are built
// from. (The control's range and default are in telvix_params.h, the per-depth constants in
// DepthTraits, the luma weights in pixel_primitives.h.)
#pragma once

#include "A.h"

namespace telvix {

// How many times neighbourhoodAverage counts the centre beside its neighbours (eight inside the
// frame): the larger the weight, the more of the pixel's own colour stays.
inline constexpr A_long kIsolatedCentreWeight = 5;      // a lone pixel is softened, not wiped out
inline constexpr A_long kStraightEdgeCentreWeight = 4;  // a straight edge needs only a light touch
inline constexpr A_long kCornerCentreWeight = 2;     // a corner pixel takes mostly its neighbours'
inline constexpr A_long kShortKneeCentreWeight = 1;  // a knee with no room for a ramp: plain mean

// A corner is rounded off only when both of its sides run at least kCornerMinRun pixels (shorter
// is a notch, not a corner) and one of them at most kCornerMaxShortRun (longer sides make a
// large corner that the eye reads as intended).
inline constexpr A_long kCornerMinRun = 2;
inline constexpr A_long kCornerMaxShortRun = 3;

// The fractions of the ramps (step_blend.cpp). A run's pixels lie one step, 1 / its length, apart
// in the profile's position; the weight is the share of the colour beyond the edge.
inline constexpr float kEvenMix = 0.5f;    // the weight where the edge itself lies: half and half
inline constexpr float kHalfStep = 0.5f;   // pixel centres lie half a step in from a run's ends
inline constexpr float kKneeStep = 0.25f;  // a knee's ramp starts a quarter step in: it is shorter
inline constexpr float kEndStep = 0.125f;  // a run's end pixel moves an eighth of a step: no seam
inline constexpr float kTipSteps = 4.0f;   // a thin line's tip: weight 1 / (4 span - 1/2)

// A pixel smoothed twice in one pass keeps the mean of both results.
inline constexpr float kMergeShare = 0.5f;

}  // namespace telvix
