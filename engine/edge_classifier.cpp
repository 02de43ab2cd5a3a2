// Edge classifier and dispatcher: what kind of edge lies between a centre and one neighbour, and
// which routine smooths it.
#include "directions.h"
#include "smoothing_engine.h"

namespace telvix {

template <typename Pixel>
EdgeClass classifyEdge(const RenderInfo<Pixel>& renderInfo, A_long /*x*/, A_long /*y*/,
                       const Neighbourhood<Pixel>& neighbourhood, A_long d)
{
    const A_long tolerance = renderInfo.tolerance;
    const A_long scaled = DepthTraits<Pixel>::scaledTolerance(tolerance);
    const DirectionFrame f = directionFrame(d);
    const Pixel* centre = neighbourhood.centre();
    const Pixel* forward = neighbourhood[f.forward];

    // Edges are smoothed only from their darker side; an absent forward gives contrast 0.
    if (signedContrast(centre, forward) >= -scaled) {
        return EdgeClass::None;
    }
    auto similar = [tolerance](const Pixel* a, const Pixel* b) {
        return pixelsSimilar(a, b, tolerance);
    };
    const Pixel* left = neighbourhood[f.left];
    const Pixel* right = neighbourhood[f.right];
    const Pixel* forwardLeft = neighbourhood[f.forwardLeft];
    const Pixel* forwardRight = neighbourhood[f.forwardRight];

    const bool straightOnASide = (similar(centre, left) && similar(forward, forwardLeft)) ||
                                 (similar(centre, right) && similar(forward, forwardRight));
    if (!straightOnASide) {
        // A step, unless the centre sits inside a straight dark band with a notch on one side.
        const bool leftAhead = similar(forwardLeft, centre);
        const bool rightAhead = similar(forwardRight, centre);
        if (leftAhead != rightAhead && similar(centre, left) && similar(centre, right)) {
            return EdgeClass::None;
        }
        for (A_long index : {0, 1, 2, 3, 5, 6, 7, 8}) {
            if (similar(neighbourhood[index], centre)) {
                return EdgeClass::Step;
            }
        }
        return EdgeClass::Isolated;
    }

    // The edge runs straight on at least one side: only corners are smoothed.
    if (!left || !right) {
        return EdgeClass::None;
    }
    EdgeClass edgeClass = EdgeClass::None;
    if ((similar(centre, left) && similar(centre, forwardRight) &&
         signedContrast(forwardLeft, centre) > scaled) ||
        (similar(centre, right) && similar(centre, forwardLeft) &&
         signedContrast(forwardRight, centre) > scaled)) {
        edgeClass = EdgeClass::InnerCorner;
    }
    // The outer-corner test looks at the left-hand side only and overrides an inner corner.
    const Pixel* back = neighbourhood[f.back];
    if (back && similar(centre, left) && similar(centre, neighbourhood[f.backLeft]) &&
        similar(centre, back) && signedContrast(right, centre) > scaled &&
        similar(right, forward) && similar(right, forwardLeft) &&
        similar(right, neighbourhood[f.backRight])) {
        edgeClass = EdgeClass::OuterCorner;
    }
    return edgeClass;
}

template <typename Pixel>
void dispatchEdgeClass(const RenderInfo<Pixel>& renderInfo,
                       const Neighbourhood<Pixel>& neighbourhood, A_long x, A_long y, A_long d,
                       EdgeClass edgeClass)
{
    switch (edgeClass) {
        case EdgeClass::Step: {
            const StepMeasure measure = measureStep(renderInfo, neighbourhood, x, y, d);
            if (!(measure.forwardEnd == measure.backEnd)) {
                blendStep(renderInfo, neighbourhood, x, y, d, measure);
            }
            break;
        }
        case EdgeClass::InnerCorner:
        case EdgeClass::OuterCorner:
            smoothCorner(renderInfo, neighbourhood, x, y, d, edgeClass);
            break;
        case EdgeClass::Isolated:
            neighbourhoodAverage(neighbourhood, pixelAt<Pixel>(renderInfo.output, x, y), 5);
            break;
        case EdgeClass::None:
        default:
            break;
    }
}

template EdgeClass classifyEdge<PF_Pixel8>(const RenderInfo<PF_Pixel8>&, A_long, A_long,
                                           const Neighbourhood<PF_Pixel8>&, A_long);
template EdgeClass classifyEdge<PF_Pixel16>(const RenderInfo<PF_Pixel16>&, A_long, A_long,
                                            const Neighbourhood<PF_Pixel16>&, A_long);
template void dispatchEdgeClass<PF_Pixel8>(const RenderInfo<PF_Pixel8>&,
                                           const Neighbourhood<PF_Pixel8>&, A_long, A_long, A_long,
                                           EdgeClass);
template void dispatchEdgeClass<PF_Pixel16>(const RenderInfo<PF_Pixel16>&,
                                            const Neighbourhood<PF_Pixel16>&, A_long, A_long,
                                            A_long, EdgeClass);

}  // namespace telvix
