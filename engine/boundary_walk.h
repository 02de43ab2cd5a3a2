// The first step of a boundary walk, and walks whose first step the caller reads from pixels it
// already holds: the start, its partner and, mostly, the next pair are entries of a
// neighbourhood. Most walks end at their first step, and then walkBoundary's own set-up (looking
// up the start and the partner, how far each chain can go) is not needed.
#pragma once

#include <cstddef>

#include "lanes/comparison_lanes.h"
#include "smoothing_engine.h"

namespace telvix {

// The tests of a walk's first step, from the start a (its partner b) to the next pair nextA
// (partner nextB), as bits. Bits 0 to 2 are also those of every later step.
enum FirstStepTest : unsigned {
    kStartHeld = 1u,                    // a and nextA are similar: the start side held
    kFarHeld = 2u,                      // b and nextB are similar: the far side held
    kSidesSimilar = 4u,                 // nextA and nextB are similar: the edge faded
    kSidesSimilarAtStart = 8u,          // a and b are similar: there is no edge to walk
    kEdgeHeld = kStartHeld | kFarHeld,  // the bits of a step after which the walk goes on
};

// The four tests side by side, for four present pixels and a tolerance the lanes take.
template <typename Pixel>
inline unsigned firstStepTests(const Pixel* a, const Pixel* b, const Pixel* nextA,
                               const Pixel* nextB, A_long tolerance)
{
    return similarQuad(a, nextA, b, nextB, nextA, nextB, a, b, tolerance);
}

// True, with the walk's `outcome`, when its first step ends it: sides similar from the start end
// it before it moves, and it stops after one step unless both sides held and stayed different.
// False when the edge held: the walk goes on from the next pair, one step taken.
inline bool firstStepEndsWalk(unsigned tests, A_long along, TraceWalk& outcome)
{
    if ((tests & kSidesSimilarAtStart) != 0) {
        outcome = walkOutcome(kEdgeHeld, along, 0);
        return true;
    }
    if (tests != kEdgeHeld) {
        outcome = walkOutcome(tests, along, 1);
        return true;
    }
    return false;
}

// The walk from `start` along `along`, its partner one step `across`, given its first step's
// tests: when the edge held, a walk from the next position, one step longer.
template <typename Pixel>
inline TraceWalk walkFromFirstStepTests(const RenderInfo<Pixel>& renderInfo, Position start,
                                        A_long across, A_long along, unsigned tests,
                                        A_long tolerance)
{
    TraceWalk outcome;
    if (firstStepEndsWalk(tests, along, outcome)) {
        return outcome;
    }
    const TraceWalk rest = walkBoundary(renderInfo, start.x + kStepX[along],
                                        start.y + kStepY[along], across, along, tolerance);
    return TraceWalk{rest.result, rest.steps + 1};
}

// The walk from `start` (pixel a) with its partner one step `across` (pixel b), along `along`,
// given the next pair: nextA one step along from a, nextB one step along from b. Any of them may
// be absent. The first step's four tests run side by side. The outcome is walkBoundary's.
template <typename Pixel>
inline TraceWalk walkFromFirstStep(const RenderInfo<Pixel>& renderInfo, Position start,
                                   A_long across, A_long along, const Pixel* a, const Pixel* b,
                                   const Pixel* nextA, const Pixel* nextB, A_long tolerance)
{
    if (!a || !b || !nextA || !nextB || !similarityLanesUsable(tolerance)) {
        return walkBoundary(renderInfo, start.x, start.y, across, along, tolerance);
    }
    return walkFromFirstStepTests(renderInfo, start, across, along,
                                  firstStepTests(a, b, nextA, nextB, tolerance), tolerance);
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
