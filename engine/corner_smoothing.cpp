// Corner smoothing: rounds off the pixel at a small right-angled corner of a shape.
#include "boundary_walk.h"
#include "directions.h"
#include "output_writes.h"
#include "smoothing_engine.h"

namespace telvix {

template <typename Pixel>
void smoothCorner(const RenderInfo<Pixel>& renderInfo, const Neighbourhood<Pixel>& neighbourhood,
                  A_long x, A_long y, A_long d, EdgeClass edgeClass)
{
    const bool outer = edgeClass == EdgeClass::OuterCorner;
    if (!outer && edgeClass != EdgeClass::InnerCorner) {
        return;
    }
    const DirectionFrame& f = directionFrame(d);
    const A_long tolerance = renderInfo.tolerance;
    const Pixel* centre = neighbourhood.centre();
    const Pixel* forward = neighbourhood[f.forward];
    // An outer corner is the visited pixel: edge A runs to its left with the forward neighbour
    // across, edge B behind it with the right neighbour across. An inner corner is the lighter
    // forward neighbour, inside the bend of the darker shape: edge A runs on ahead with the
    // forward-left neighbour across, edge B to the right with the centre across. Each edge is
    // traced from the corner; every first step but that of the inner corner's edge A reads only
    // the centre's neighbourhood.
    const Position corner = outer ? Position{x, y} : Position{x + kStepX[d], y + kStepY[d]};
    // The run length of an edge: from the corner to the end of its trace, both counted.
    auto runLength = [&corner](A_long along, const TraceWalk& walk) {
        return chebyshevDistance(corner, walkEnd(corner, along, walk)) + 1;
    };
    const A_long alongA = outer ? f.left : f.forward;
    const TraceWalk walkA =
        outer ? walkFromFirstStep(renderInfo, corner, f.forward, alongA, centre, forward,
                                  neighbourhood[f.left], neighbourhood[f.forwardLeft], tolerance)
              : walkFromStart(renderInfo, corner, f.left, alongA, forward,
                              neighbourhood[f.forwardLeft], tolerance);
    const A_long runLengthA = runLength(alongA, walkA);
    if (runLengthA < 2) {
        return;  // cannot qualify whatever edge B measures; a trace only reads
    }
    const A_long alongB = outer ? f.back : f.right;
    const TraceWalk walkB =
        outer
            ? walkFromFirstStep(renderInfo, corner, f.right, alongB, centre, neighbourhood[f.right],
                                neighbourhood[f.back], neighbourhood[f.backRight], tolerance)
            : walkFromFirstStep(renderInfo, corner, f.back, alongB, forward, centre,
                                neighbourhood[f.forwardRight], neighbourhood[f.right], tolerance);
    if (!cornerQualifies(runLengthA, runLength(alongB, walkB))) {
        return;
    }
    if (pixelAt<Pixel>(renderInfo.output, corner.x, corner.y) == nullptr) {
        return;  // outside a smaller output world
    }

    Pixel average;
    if (outer) {
        neighbourhoodAverage(neighbourhood, &average, kCornerCentreWeight);
    } else {
        neighbourhoodAverage(gatherNeighbourhood(corner.x, corner.y, renderInfo), &average,
                             kCornerCentreWeight);
    }
    // An output pixel that differs from its source was smoothed earlier in this pass: it keeps
    // the mean of that result and the new one.
    writeOutput(renderInfo, corner.x, corner.y, average, WriteKind::Merge);
}

template void smoothCorner<PF_Pixel8>(const RenderInfo<PF_Pixel8>&, const Neighbourhood<PF_Pixel8>&,
                                      A_long, A_long, A_long, EdgeClass);
template void smoothCorner<PF_Pixel16>(const RenderInfo<PF_Pixel16>&,
                                       const Neighbourhood<PF_Pixel16>&, A_long, A_long, A_long,
                                       EdgeClass);

}  // namespace telvix
