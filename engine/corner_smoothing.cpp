// Corner smoothing: rounds off the pixel at a small right-angled corner of a shape.
#include "directions.h"
#include "pixel_lanes.h"
#include "smoothing_engine.h"

namespace telvix {

template <typename Pixel>
void smoothCorner(const RenderInfo<Pixel>& renderInfo, const Neighbourhood<Pixel>& neighbourhood,
                  A_long x, A_long y, A_long d, EdgeClass edgeClass)
{
    const DirectionFrame& f = directionFrame(d);
    Position corner;
    A_long acrossA, alongA, acrossB, alongB;
    if (edgeClass == EdgeClass::OuterCorner) {
        // The visited pixel is the corner: one edge runs to its left, one behind it.
        corner = Position{x, y};
        acrossA = f.forward;
        alongA = f.left;
        acrossB = f.right;
        alongB = f.back;
    } else if (edgeClass == EdgeClass::InnerCorner) {
        // The lighter forward neighbour is the corner, inside the bend of the darker shape.
        corner = Position{x + kStepX[d], y + kStepY[d]};
        acrossA = f.left;
        alongA = f.forward;
        acrossB = f.back;
        alongB = f.right;
    } else {
        return;
    }

    // The run length of an edge: from the corner to the end of its trace, both counted.
    auto runLength = [&](A_long across, A_long along) {
        const TraceWalk walk =
            walkBoundary(renderInfo, corner.x, corner.y, across, along, renderInfo.tolerance);
        return chebyshevDistance(corner, walkEnd(corner, along, walk)) + 1;
    };
    const A_long runLengthA = runLength(acrossA, alongA);
    if (runLengthA < 2) {
        return;  // cannot qualify whatever edge B measures; a trace only reads
    }
    const A_long runLengthB = runLength(acrossB, alongB);
    if (!cornerQualifies(runLengthA, runLengthB)) {
        return;
    }
    Pixel* out = pixelAt<Pixel>(renderInfo.output, corner.x, corner.y);
    if (!out) {
        return;  // outside a smaller output world
    }

    Pixel average;
    if (edgeClass == EdgeClass::OuterCorner) {
        neighbourhoodAverage(neighbourhood, &average, 2);
    } else {
        neighbourhoodAverage(gatherNeighbourhood(corner.x, corner.y, renderInfo), &average, 2);
    }
    // An output pixel that differs from its source was smoothed earlier in this pass: keep the
    // mean of that result and the new one.
    const Pixel* source = pixelAt<Pixel>(renderInfo.source, corner.x, corner.y);
    if (pixelsEqual<Pixel>(out, source)) {
        copyPixel<Pixel>(&average, out);
    } else {
        blendPixelsSideBySide<Pixel>(&average, 0.5f, out, 0.5f, out);
    }
}

template void smoothCorner<PF_Pixel8>(const RenderInfo<PF_Pixel8>&, const Neighbourhood<PF_Pixel8>&,
                                      A_long, A_long, A_long, EdgeClass);
template void smoothCorner<PF_Pixel16>(const RenderInfo<PF_Pixel16>&,
                                       const Neighbourhood<PF_Pixel16>&, A_long, A_long, A_long,
                                       EdgeClass);

}  // namespace telvix
