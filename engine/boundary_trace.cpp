// Boundary trace: how far an edge runs straight on.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "boundary_walk.h"
#include "directions.h"
#include "lanes/comparison_lanes.h"
#include "smoothing_engine.h"

namespace telvix {

namespace {

// The pixel one step of `stride` bytes on from p.
template <typename Pixel>
inline const Pixel* stepOn(const Pixel* p, std::ptrdiff_t stride)
{
    return reinterpret_cast<const Pixel*>(reinterpret_cast<const unsigned char*>(p) + stride);
}

// The scalar walk, one test at a time, with absent pixels outside the world: a walk whose start
// or partner lies outside (it cannot begin), the steps that leave the world for at least one
// chain, and every step at a tolerance the side-by-side tests do not take. It goes on from
// `steps` steps taken and the bits `held` of the last one (FirstStepTest's bits 0 to 2). A walk
// that has not started (steps 0) first tests whether it can begin: the start and its partner must
// each be present and similar to itself (the tolerance not negative), and different from each
// other; a walk that cannot ends where it is, before any step. Out of line, so that it costs the
// side-by-side walk no registers.
template <typename Pixel>
[[gnu::noinline]] TraceWalk walkScalar(const Pixel* a, const Pixel* b, std::ptrdiff_t stride,
                                       A_long roomA, A_long roomB, A_long steps, unsigned held,
                                       A_long along, A_long tolerance)
{
    if (steps == 0) {
        held = (pixelsSimilar(a, a, tolerance) ? kStartHeld : 0u) |
               (pixelsSimilar(b, b, tolerance) ? kFarHeld : 0u) |
               (pixelsSimilar(a, b, tolerance) ? kSidesSimilar : 0u);
    }
    while (held == kEdgeHeld) {
        ++steps;
        const Pixel* nextA = steps <= roomA ? stepOn(a, stride) : nullptr;
        const Pixel* nextB = steps <= roomB ? stepOn(b, stride) : nullptr;
        held = (pixelsSimilar(a, nextA, tolerance) ? kStartHeld : 0u) |
               (pixelsSimilar(b, nextB, tolerance) ? kFarHeld : 0u) |
               (pixelsSimilar(nextA, nextB, tolerance) ? kSidesSimilar : 0u);
        a = nextA;
        b = nextB;
    }
    return walkOutcome(held, along, steps);
}

}  // namespace

template <typename Pixel>
TraceWalk walkBoundary(const RenderInfo<Pixel>& renderInfo, A_long x, A_long y, A_long across,
                       A_long along, A_long tolerance)
{
    const PF_EffectWorld* source = renderInfo.source;
    const A_long farX = x + kStepX[across];
    const A_long farY = y + kStepY[across];
    const Pixel* a = pixelAt<Pixel>(source, x, y);
    const Pixel* b = pixelAt<Pixel>(source, farX, farY);
    if (!a || !b) {
        return walkScalar(a, b, 0, 0, 0, 0, 0u, along, tolerance);
    }

    // The walk runs along one axis. How far each chain can go before leaving the world:
    // size - 1 - p walking towards larger coordinates, p walking towards 0.
    const A_long stepX = kStepX[along];
    const A_long stepY = kStepY[along];
    const bool horizontal = stepY == 0;
    const A_long size = horizontal ? source->width : source->height;
    // All ones when the walk goes towards larger coordinates (the step's sum is 1, not -1).
    // A mask rather than a branch: the walk direction changes from trace to trace.
    const A_long increasing = -((stepX + stepY + 1) >> 1);
    auto room = [size, increasing](A_long p) {
        return ((size - 1 - p) & increasing) | (p & ~increasing);
    };
    const A_long roomA = room(horizontal ? x : y);
    const A_long roomB = room(horizontal ? farX : farY);
    const A_long roomBoth = std::min(roomA, roomB);
    const std::ptrdiff_t stride =
        static_cast<std::ptrdiff_t>(stepY) * source->rowbytes +
        static_cast<std::ptrdiff_t>(stepX) * static_cast<std::ptrdiff_t>(sizeof(Pixel));
    if (!similarityLanesUsable(tolerance) || roomBoth <= 0) {
        return walkScalar(a, b, stride, roomA, roomB, 0, 0u, along, tolerance);
    }

    // The walk goes on while both sides held and the sides stay different (FirstStepTest). Each
    // new pixel is compared with its predecessor on the same side, so a side may drift
    // gradually. Leaving the world ends the walk, as an absent pixel is similar to nothing. The
    // steps inside the world for both chains run their three tests side by side.
    const Pixel* nextA = stepOn(a, stride);
    const Pixel* nextB = stepOn(b, stride);
    TraceWalk outcome;
    if (firstStepEndsWalk(firstStepTests(a, b, nextA, nextB, tolerance), along, outcome)) {
        return outcome;
    }
    unsigned held = kEdgeHeld;
    A_long steps = 1;
    a = nextA;
    b = nextB;
    while (held == kEdgeHeld && steps < roomBoth) {
        ++steps;
        nextA = stepOn(a, stride);
        nextB = stepOn(b, stride);
        held = similarTriple(a, nextA, b, nextB, nextA, nextB, tolerance);
        a = nextA;
        b = nextB;
    }
    if (held == kEdgeHeld) {  // a chain reached the edge of the world with the edge still intact
        return walkScalar(a, b, stride, roomA, roomB, steps, held, along, tolerance);
    }
    return walkOutcome(held, along, steps);
}

template <typename Pixel>
TraceResult traceBoundary(const RenderInfo<Pixel>& renderInfo, A_long x, A_long y, A_long across,
                          A_long along, A_long& endX, A_long& endY, A_long tolerance)
{
    const TraceWalk walk = walkBoundary(renderInfo, x, y, across, along, tolerance);
    // The last position where the edge was intact: one step behind where the walk stopped.
    const Position end = walkEnd(Position{x, y}, along, walk);
    endX = end.x;
    endY = end.y;
    return walk.result;
}

template TraceResult traceBoundary<PF_Pixel8>(const RenderInfo<PF_Pixel8>&, A_long, A_long, A_long,
                                              A_long, A_long&, A_long&, A_long);
template TraceResult traceBoundary<PF_Pixel16>(const RenderInfo<PF_Pixel16>&, A_long, A_long,
                                               A_long, A_long, A_long&, A_long&, A_long);
template TraceWalk walkBoundary<PF_Pixel8>(const RenderInfo<PF_Pixel8>&, A_long, A_long, A_long,
                                           A_long, A_long);
template TraceWalk walkBoundary<PF_Pixel16>(const RenderInfo<PF_Pixel16>&, A_long, A_long, A_long,
                                            A_long, A_long);

}  // namespace telvix
