// Boundary walks whose first step the caller reads from pixels it already holds: the start, its
// partner and, mostly, the next pair are entries of a neighbourhood. Most walks end at their first
// step, and then walkBoundary's own set-up (looking up the start and the partner, how far each
// chain can go) is not needed.
#pragma once

#include <cstddef>

#include "side_by_side_tests.h"
#include "smoothing_engine.h"

namespace telvix {

// A walk whose first step from `start` held the edge (both sides held, the sides still
// different): it goes on as a walk from the next position, one step longer.
template <typename Pixel>
inline TraceWalk walkOnAfterFirstStep(const RenderInfo<Pixel>& renderInfo, Position start,
                                      A_long across, A_long along, A_long tolerance)
{
    const TraceWalk rest = walkBoundary(renderInfo, start.x + kStepX[along],
                                        start.y + kStepY[along], across, along, tolerance);
    return TraceWalk{rest.result, rest.steps + 1};
}

// The walk from `start` (pixel a) with its partner one step `across` (pixel b), along `along`,
// given the next pair: nextA one step along from a, nextB one step along from b. Any of them may
// be absent. The first step's four tests run side by side; the walk goes on beyond the next pair
// only when the edge holds for that step, as a walk from nextA, one step longer. The outcome is
// walkBoundary's.
template <typename Pixel>
inline TraceWalk walkFromFirstStep(const RenderInfo<Pixel>& renderInfo, Position start,
                                   A_long across, A_long along, const Pixel* a, const Pixel* b,
                                   const Pixel* nextA, const Pixel* nextB, A_long tolerance)
{
    if (!a || !b || !nextA || !nextB || !similarityLanesUsable(tolerance)) {
        return walkBoundary(renderInfo, start.x, start.y, across, along, tolerance);
    }
    // Bit 0: the start side held; bit 1: the far side held; bit 2: the sides are similar after
    // the step; bit 3: the sides similar from the start, which ends the walk before it moves.
    const unsigned first = similarQuad(a, nextA, b, nextB, nextA, nextB, a, b, tolerance);
    if ((first & 8u) != 0) {
        return walkOutcome(3u, along, 0);
    }
    if (first != 3u) {
        return walkOutcome(first, along, 1);
    }
    return walkOnAfterFirstStep(renderInfo, start, across, along, tolerance);
}

// The same walk when only the start and its partner are held: nextA is looked up one step along.
// As `across` is perpendicular to `along`, nextB lies on nextA's line along the walk and on b's
// line across it, so it is present whenever nextA and b are, and as far from b as nextA is from a.
template <typename Pixel>
inline TraceWalk walkFromStart(const RenderInfo<Pixel>& renderInfo, Position start, A_long across,
                               A_long along, const Pixel* a, const Pixel* b, A_long tolerance)
{
    const Pixel* nextA =
        pixelAt<Pixel>(renderInfo.source, start.x + kStepX[along], start.y + kStepY[along]);
    const Pixel* nextB = nullptr;
    if (a && b && nextA) {
        const std::ptrdiff_t step = reinterpret_cast<const unsigned char*>(nextA) -
                                    reinterpret_cast<const unsigned char*>(a);
        nextB = reinterpret_cast<const Pixel*>(reinterpret_cast<const unsigned char*>(b) + step);
    }
    return walkFromFirstStep(renderInfo, start, across, along, a, b, nextA, nextB, tolerance);
}

}  // namespace telvix
