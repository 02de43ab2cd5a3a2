// Boundary trace: how far an edge runs straight on.
#include <cstddef>

#include "directions.h"
#include "pixel_lanes.h"
#include "smoothing_engine.h"

namespace telvix {

template <typename Pixel>
TraceResult traceBoundary(const RenderInfo<Pixel>& renderInfo, A_long x, A_long y, A_long across,
                          A_long along, A_long& endX, A_long& endY, A_long tolerance)
{
    const PF_EffectWorld* source = renderInfo.source;
    endX = x;
    endY = y;
    A_long farX = x + kStepX[across];
    A_long farY = y + kStepY[across];
    const Pixel* a = pixelAt<Pixel>(source, endX, endY);
    const Pixel* b = pixelAt<Pixel>(source, farX, farY);
    // A pixel is similar to itself exactly when it is present.
    bool startHeld = pixelsSimilar(a, a, tolerance);
    bool farHeld = pixelsSimilar(b, b, tolerance);
    bool merged = pixelsSimilar(a, b, tolerance);

    // Each new pixel is compared with its predecessor on the same side, so a side may drift
    // gradually. Leaving the world ends the walk, as an absent pixel is similar to nothing. The
    // walk keeps both chains' byte offsets and steps them by one fixed stride, so that a step
    // costs no address multiplication; the bounds test per position stays.
    const A_long width = source->width;
    const A_long height = source->height;
    const A_long stepX = kStepX[along];
    const A_long stepY = kStepY[along];
    auto* bytes = reinterpret_cast<const unsigned char*>(source->data);
    const std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(stepY) * source->rowbytes +
                                  static_cast<std::ptrdiff_t>(stepX) *
                                      static_cast<std::ptrdiff_t>(sizeof(Pixel));
    std::ptrdiff_t offsetA = static_cast<std::ptrdiff_t>(endY) * source->rowbytes +
                             static_cast<std::ptrdiff_t>(endX) * sizeof(Pixel);
    std::ptrdiff_t offsetB = static_cast<std::ptrdiff_t>(farY) * source->rowbytes +
                             static_cast<std::ptrdiff_t>(farX) * sizeof(Pixel);
    auto inside = [width, height](A_long px, A_long py) {
        return px >= 0 && py >= 0 && px < width && py < height;
    };
    const bool lanesUsable = similarityLanesUsable(tolerance);
    while (startHeld && farHeld && !merged) {
        endX += stepX;
        endY += stepY;
        farX += stepX;
        farY += stepY;
        offsetA += stride;
        offsetB += stride;
        const Pixel* nextA =
            inside(endX, endY) ? reinterpret_cast<const Pixel*>(bytes + offsetA) : nullptr;
        const Pixel* nextB =
            inside(farX, farY) ? reinterpret_cast<const Pixel*>(bytes + offsetB) : nullptr;
        if (nextA && nextB && lanesUsable) {
            // a and b are present while the walk goes on; the three tests side by side.
            const unsigned held = similarTriple(a, nextA, b, nextB, nextA, nextB, tolerance);
            startHeld = (held & 1u) != 0;
            farHeld = (held & 2u) != 0;
            merged = (held & 4u) != 0;
        } else {
            startHeld = pixelsSimilar(a, nextA, tolerance);
            farHeld = pixelsSimilar(b, nextB, tolerance);
            merged = pixelsSimilar(nextA, nextB, tolerance);
        }
        a = nextA;
        b = nextB;
    }

    TraceResult result = kTraceBothChanged;
    if (startHeld && farHeld) {
        result = along;  // the two sides faded into each other
    } else if (startHeld) {
        result = kTraceFarChanged;
    } else if (farHeld) {
        result = kTraceStartChanged;
    }
    // Report the last position where the edge was intact.
    endX -= kStepX[along];
    endY -= kStepY[along];
    return result;
}

template TraceResult traceBoundary<PF_Pixel8>(const RenderInfo<PF_Pixel8>&, A_long, A_long, A_long,
                                              A_long, A_long&, A_long&, A_long);
template TraceResult traceBoundary<PF_Pixel16>(const RenderInfo<PF_Pixel16>&, A_long, A_long,
                                               A_long, A_long, A_long&, A_long&, A_long);

}  // namespace telvix
