// Boundary trace: how far an edge runs straight on.
#include "directions.h"
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
    // gradually. Leaving the world ends the walk, as an absent pixel is similar to nothing.
    while (startHeld && farHeld && !merged) {
        endX += kStepX[along];
        endY += kStepY[along];
        farX += kStepX[along];
        farY += kStepY[along];
        const Pixel* nextA = pixelAt<Pixel>(source, endX, endY);
        const Pixel* nextB = pixelAt<Pixel>(source, farX, farY);
        startHeld = pixelsSimilar(a, nextA, tolerance);
        farHeld = pixelsSimilar(b, nextB, tolerance);
        merged = pixelsSimilar(nextA, nextB, tolerance);
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
