// The reference pass's numbers and ramp profiles, written out here once more and on their own, so
// that a wrong number or formula in the engine's shows as a difference, not as the same mistake
// on both sides.
#pragma once

#include "AE_Effect.h"

namespace telvix::reference {

// Luma weights of red, green and blue.
inline constexpr float kLumaRed = 0.3f;
inline constexpr float kLumaGreen = 0.59f;
inline constexpr float kLumaBlue = 0.11f;

// How often a neighbourhood average counts the centre beside its (up to eight) neighbours.
inline constexpr A_long kLonePixelCentreWeight = 5;     // an isolated pixel
inline constexpr A_long kStraightEdgeCentreWeight = 4;  // the forward neighbour of a straight edge
inline constexpr A_long kCornerCentreWeight = 2;        // a rounded-off corner
inline constexpr A_long kShortKneeCentreWeight = 1;     // a knee whose span is one pixel

// A corner is rounded off when both its sides are at least this long ...
inline constexpr A_long kCornerShortestSide = 2;
// ... and one of them at most this long.
inline constexpr A_long kCornerLongestShortSide = 3;

// A pixel written a second time in the pass keeps this share of each result.
inline constexpr float kSecondWriteShare = 0.5f;

// A ramp profile: the other colour's share at run position t in [0, 1]. A line from `start` at
// t = 0 to `end` at t = 1, with optional exact values at t = 0 and t = 1; or a knee: the line from
// (0, start) to (breakpoint, middle), then from there to (1, end), the knee on the first segment.
struct Profile {
    enum class Shape { Line, Knee };
    Shape shape = Shape::Line;
    float start = 0.0f;
    float end = 0.0f;
    bool hasAtZero = false;
    float atZero = 0.0f;
    bool hasAtOne = false;
    float atOne = 0.0f;
    float middle = 0.0f;
    float breakpoint = 1.0f;
};

inline Profile line(float start, float end) { return Profile{.start = start, .end = end}; }

inline Profile lineWithZero(float start, float end, float atZero)
{
    Profile p = line(start, end);
    p.hasAtZero = true;
    p.atZero = atZero;
    return p;
}

inline Profile lineWithOne(float start, float end, float atOne)
{
    Profile p = line(start, end);
    p.hasAtOne = true;
    p.atOne = atOne;
    return p;
}

inline Profile lineWithZeroAndOne(float start, float end, float atZero, float atOne)
{
    Profile p = lineWithZero(start, end, atZero);
    p.hasAtOne = true;
    p.atOne = atOne;
    return p;
}

inline Profile kneeProfile(float start, float middle, float breakpoint, float end)
{
    return Profile{.shape = Profile::Shape::Knee,
                   .start = start,
                   .end = end,
                   .middle = middle,
                   .breakpoint = breakpoint};
}

// The profile's value at t, in single precision, one rounding per operation in this order.
inline float weightAt(const Profile& p, float t)
{
    if (p.shape == Profile::Shape::Knee) {
        if (t <= p.breakpoint) {
            const float slope = (p.middle - p.start) / p.breakpoint;
            return slope * t + p.start;
        }
        const float slope = (p.end - p.middle) / (1.0f - p.breakpoint);
        return (slope * t + p.end) - slope;
    }
    if (p.hasAtOne && t == 1.0f) {
        return p.atOne;
    }
    if (p.hasAtZero && t == 0.0f) {  // -0 too
        return p.atZero;
    }
    return (p.end - p.start) * t + p.start;
}

}  // namespace telvix::reference
