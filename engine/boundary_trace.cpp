// Boundary trace: how far an edge runs straight on.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "directions.h"
#include "side_by_side_tests.h"
#include "smoothing_engine.h"

namespace telvix {

namespace {

// The scalar walk, one test at a time, with absent pixels outside the world: a walk whose start
// or partner lies outside (it cannot begin), the steps that leave the world for at least one
// chain, and every step at a tolerance the side-by-side tests do not take. It goes on from
// `steps` steps taken and the bits `held` of the last one; a walk that has not started (steps 0)
// first tests the start and its partner. Out of line, so that it costs the side-by-side walk no
// registers.
template <typename Pixel>
[[gnu::noinline]] TraceWalk walkScalar(const Pixel* a, const Pixel* b, std::ptrdiff_t stride,
                                       A_long roomA, A_long roomB, A_long steps, unsigned held,
                                       A_long along, A_long tolerance)
{
    auto advance = [stride](const Pixel* p) {
        return reinterpret_cast<const Pixel*>(reinterpret_cast<const unsigned char*>(p) + stride);
    };
    if (steps == 0) {
        held = (pixelsSimilar(a, a, tolerance) ? 1u : 0u) |
               (pixelsSimilar(b, b, tolerance) ? 2u : 0u) |
               (pixelsSimilar(a, b, tolerance) ? 4u : 0u);
    }
    while (held == 3u) {
        ++steps;
        const Pixel* nextA = steps <= roomA ? advance(a) : nullptr;
        const Pixel* nextB = steps <= roomB ? advance(b) : nullptr;
        held = (pixelsSimilar(a, nextA, tolerance) ? 1u : 0u) |
               (pixelsSimilar(b, nextB, tolerance) ? 2u : 0u) |
               (pixelsSimilar(nextA, nextB, tolerance) ? 4u : 0u);
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
    auto advance = [stride](const Pixel* p) {
        return reinterpret_cast<const Pixel*>(reinterpret_cast<const unsigned char*>(p) + stride);
    };

    // Bit 0: the start side held; bit 1: the far side held; bit 2: the sides are similar. The walk
    // goes on while exactly the first two are set. Each new pixel is compared with its
    // predecessor on the same side, so a side may drift gradually. Leaving the world ends the
    // walk, as an absent pixel is similar to nothing. The steps inside the world for both chains
    // run their three tests side by side. The first step also tests the starting pair (bit 3):
    // sides similar from the start end the walk before it moves.
    const Pixel* nextA = advance(a);
    const Pixel* nextB = advance(b);
    const unsigned first = similarQuad(a, nextA, b, nextB, nextA, nextB, a, b, tolerance);
    if ((first & 8u) != 0) {
        return walkOutcome(3u, along, 0);
    }
    unsigned held = first;
    A_long steps = 1;
    a = nextA;
    b = nextB;
    while (held == 3u && steps < roomBoth) {
        ++steps;
        nextA = advance(a);
        nextB = advance(b);
        held = similarTriple(a, nextA, b, nextB, nextA, nextB, tolerance);
        a = nextA;
        b = nextB;
    }
    if (held == 3u) {  // a chain reached the edge of the world with the edge still intact
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
