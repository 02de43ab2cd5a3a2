// Edge classifier: what kind of edge lies between a centre and one neighbour, with its darker
// test. The dispatcher that hands a class to its routine is inline in edge_classifier.h.
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

template EdgeClass classifyEdge<PF_Pixel8>(const RenderInfo<PF_Pixel8>&, A_long, A_long,
                                           const Neighbourhood<PF_Pixel8>&, A_long);
template EdgeClass classifyEdge<PF_Pixel16>(const RenderInfo<PF_Pixel16>&, A_long, A_long,
                                            const Neighbourhood<PF_Pixel16>&, A_long);

}  // namespace telvix
