// Boundary trace: how far an edge runs straight on.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "directions.h"
#include "pixel_lanes.h"
#include "smoothing_engine.h"

namespace telvix {

template <typename Pixel>
TraceWalk walkBoundary(const RenderInfo<Pixel>& renderInfo, A_long x, A_long y, A_long across,
                       A_long along, A_long tolerance)
{
    const PF_EffectWorld* source = renderInfo.source;
    const A_long farX = x + kStepX[across];
    const A_long farY = y + kStepY[across];
    const Pixel* a = pixelAt<Pixel>(source, x, y);
    const Pixel* b = pixelAt<Pixel>(source, farX, farY);

    // Bit 0: the start side held; bit 1: the far side held; bit 2: the sides are similar. The walk
    // goes on while exactly the first two are set. Each new pixel is compared with its
    // predecessor on the same side, so a side may drift gradually. Leaving the world ends the
    // walk, as an absent pixel is similar to nothing.
    unsigned held = 0;
    A_long steps = 0;
    if (a && b) {
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
        auto advance = [stride](const Pixel* p) {
            return reinterpret_cast<const Pixel*>(reinterpret_cast<const unsigned char*>(p) +
                                                  stride);
        };
        if (similarityLanesUsable(tolerance) && roomBoth > 0) {
            // Steps inside the world for both chains, their three tests side by side. The first
            // step also tests the starting pair (bit 3): sides similar from the start end the
            // walk before it moves.
            const Pixel* nextA = advance(a);
            const Pixel* nextB = advance(b);
            const unsigned first = similarQuad(a, nextA, b, nextB, nextA, nextB, a, b, tolerance);
            if ((first & 8u) != 0) {
                held = 7u;
            } else {
                held = first;
                steps = 1;
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
            }
        } else {
            held = (pixelsSimilar(a, a, tolerance) ? 1u : 0u) |
                   (pixelsSimilar(b, b, tolerance) ? 2u : 0u) |
                   (pixelsSimilar(a, b, tolerance) ? 4u : 0u);
        }
        // Steps that leave the world for at least one chain, and every step at a tolerance the
        // side-by-side tests do not take: the scalar tests, with absent pixels outside.
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
    } else {
        // A start or partner outside the world: the walk cannot begin.
        held =
            (pixelsSimilar(a, a, tolerance) ? 1u : 0u) | (pixelsSimilar(b, b, tolerance) ? 2u : 0u);
    }
    const bool startHeld = (held & 1u) != 0;
    const bool farHeld = (held & 2u) != 0;

    TraceResult result = kTraceBothChanged;
    if (startHeld && farHeld) {
        result = along;  // the two sides faded into each other
    } else if (startHeld) {
        result = kTraceFarChanged;
    } else if (farHeld) {
        result = kTraceStartChanged;
    }
    return TraceWalk{result, steps};
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
