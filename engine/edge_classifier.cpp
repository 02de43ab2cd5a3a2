// Edge classifier and dispatcher: what kind of edge lies between a centre and one neighbour, and
// which routine smooths it.
#include "edge_classifier.h"

namespace telvix {

template <typename Pixel>
EdgeClass classifyEdge(const RenderInfo<Pixel>& renderInfo, A_long /*x*/, A_long /*y*/,
                       const Neighbourhood<Pixel>& neighbourhood, A_long d)
{
    const A_long scaled = DepthTraits<Pixel>::scaledTolerance(renderInfo.tolerance);
    // Edges are smoothed only from their darker side; an absent forward gives contrast 0.
    if (signedContrast(neighbourhood.centre(), neighbourhood[d]) >= -scaled) {
        return EdgeClass::None;
    }
    return classifyDarkerEdge(renderInfo, neighbourhood, d);
}

template <typename Pixel>
void dispatchEdgeClass(const RenderInfo<Pixel>& renderInfo,
                       const Neighbourhood<Pixel>& neighbourhood, A_long x, A_long y, A_long d,
                       EdgeClass edgeClass, SimilarityMask mask)
{
    switch (edgeClass) {
        case EdgeClass::Step: {
            const StepMeasure measure = measureStep(renderInfo, neighbourhood, x, y, d, mask);
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
                                           EdgeClass, SimilarityMask);
template void dispatchEdgeClass<PF_Pixel16>(const RenderInfo<PF_Pixel16>&,
                                            const Neighbourhood<PF_Pixel16>&, A_long, A_long,
                                            A_long, EdgeClass, SimilarityMask);

}  // namespace telvix
