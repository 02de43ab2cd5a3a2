// Boundary trace: how far an edge runs straight on.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "directions.h"
#include "pixel_lanes.h"
#include "smoothing_engine.h"

namespace telvix {

template <typename Pixel>
TraceResult traceBoundary(const RenderInfo<Pixel>& renderInfo, A_long x, A_long y, A_long across,
                          A_long along, A_long& endX, A_long& endY, A_long tolerance)
{
    const PF_EffectWorld* source = renderInfo.source;
    const A_long farX = x + kStepX[across];
    const A_long farY = y + kStepY[across];
    const Pixel* a = pixelAt<Pixel>(source, x, y);
    const Pixel* b = pixelAt<Pixel>(source, farX, farY);
    // A pixel is similar to itself exactly when it is present (and the tolerance not negative).
    bool startHeld = pixelsSimilar(a, a, tolerance);
    bool farHeld = pixelsSimilar(b, b, tolerance);
    bool merged = pixelsSimilar(a, b, tolerance);

    // Each new pixel is compared with its predecessor on the same side, so a side may drift
    // gradually. Leaving the world ends the walk, as an absent pixel is similar to nothing. The
    // steps both chains take inside the world are counted before the walk, which then only
    // steps two pointers by one fixed stride.
    A_long steps = 0;
    if (startHeld && farHeld && !merged) {
        // The walk runs along one axis. How far each chain can go before leaving the world:
        // size - 1 - p walking towards larger coordinates, p walking towards 0.
        const A_long stepX = kStepX[along];
        const A_long stepY = kStepY[along];
        const bool horizontal = stepY == 0;
        const A_long size = horizontal ? source->width : source->height;
        const A_long startCoordinate = horizontal ? x : y;
        const A_long farCoordinate = horizontal ? farX : farY;
        // All ones when the walk goes towards larger coordinates (the step's sum is 1, not -1).
        // A mask rather than a branch: the walk direction changes from trace to trace.
        const A_long increasing = -((stepX + stepY + 1) >> 1);
        auto room = [size, increasing](A_long p) {
            return ((size - 1 - p) & increasing) | (p & ~increasing);
        };
        const A_long roomA = room(startCoordinate);
        const A_long roomB = room(farCoordinate);
        const A_long roomBoth = std::min(roomA, roomB);
        const std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(stepY) * source->rowbytes +
                                      static_cast<std::ptrdiff_t>(stepX) *
                                          static_cast<std::ptrdiff_t>(sizeof(Pixel));
        const bool lanesUsable = similarityLanesUsable(tolerance);
        for (;;) {
            ++steps;
            if (steps <= roomBoth && lanesUsable) {
                const Pixel* nextA = reinterpret_cast<const Pixel*>(
                    reinterpret_cast<const unsigned char*>(a) + stride);
                const Pixel* nextB = reinterpret_cast<const Pixel*>(
                    reinterpret_cast<const unsigned char*>(b) + stride);
                // Bit 0 the start side held, bit 1 the far side held, bit 2 the sides merged.
                const unsigned held = similarTriple(a, nextA, b, nextB, nextA, nextB, tolerance);
                a = nextA;
                b = nextB;
                if (held != 3u) {
                    startHeld = (held & 1u) != 0;
                    farHeld = (held & 2u) != 0;
                    merged = (held & 4u) != 0;
                    break;
                }
                continue;
            }
            // A step that leaves the world for at least one chain, or a tolerance the side-by-side
            // tests do not take: the scalar tests, with absent pixels outside.
            const Pixel* nextA = steps <= roomA
                                     ? reinterpret_cast<const Pixel*>(
                                           reinterpret_cast<const unsigned char*>(a) + stride)
                                     : nullptr;
            const Pixel* nextB = steps <= roomB
                                     ? reinterpret_cast<const Pixel*>(
                                           reinterpret_cast<const unsigned char*>(b) + stride)
                                     : nullptr;
            startHeld = pixelsSimilar(a, nextA, tolerance);
            farHeld = pixelsSimilar(b, nextB, tolerance);
            merged = pixelsSimilar(nextA, nextB, tolerance);
            a = nextA;
            b = nextB;
            if (!(startHeld && farHeld && !merged)) {
                break;
            }
        }
    }

    TraceResult result = kTraceBothChanged;
    if (startHeld && farHeld) {
        result = along;  // the two sides faded into each other
    } else if (startHeld) {
        result = kTraceFarChanged;
    } else if (farHeld) {
        result = kTraceStartChanged;
    }
    // The last position where the edge was intact: one step behind where the walk stopped.
    endX = x + (steps - 1) * kStepX[along];
    endY = y + (steps - 1) * kStepY[along];
    return result;
}

template TraceResult traceBoundary<PF_Pixel8>(const RenderInfo<PF_Pixel8>&, A_long, A_long, A_long,
                                              A_long, A_long&, A_long&, A_long);
template TraceResult traceBoundary<PF_Pixel16>(const RenderInfo<PF_Pixel16>&, A_long, A_long,
                                               A_long, A_long, A_long&, A_long&, A_long);

}  // namespace telvix
