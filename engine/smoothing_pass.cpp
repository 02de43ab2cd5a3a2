// The per-pixel smoothing pass that the host's iterate calls for every pixel of the output extent.
#include "directions.h"
#include "smoothing_engine.h"

namespace telvix {

template <typename Pixel>
PF_Err smoothingPass(void* refcon, A_long x, A_long y, Pixel* /*inPixel*/, Pixel* /*outPixel*/)
{
    const auto& renderInfo = *static_cast<const RenderInfo<Pixel>*>(refcon);
    const Neighbourhood<Pixel> neighbourhood = gatherNeighbourhood(x, y, renderInfo);
    const Pixel* centre = neighbourhood.centre();
    if (!centre) {
        return PF_Err_NONE;  // the host iterates the output, which may be larger than the source
    }

    // Flat regions are the common case. A direction can only be smoothed when its forward
    // neighbour is lighter than the centre; an absent or equal neighbour has contrast 0, which
    // never passes the darker test, so nothing can happen for any direction.
    bool flat = true;
    for (A_long d : {kDirectionUp, kDirectionLeft, kDirectionRight, kDirectionDown}) {
        const Pixel* neighbour = neighbourhood[d];
        flat = flat && (!neighbour || pixelsEqual(neighbour, centre));
    }
    if (flat) {
        return PF_Err_NONE;
    }

    for (A_long d : {kDirectionRight, kDirectionLeft, kDirectionUp, kDirectionDown}) {
        const EdgeClass edgeClass = classifyEdge(renderInfo, x, y, neighbourhood, d);
        dispatchEdgeClass(renderInfo, neighbourhood, x, y, d, edgeClass);
    }
    return PF_Err_NONE;
}

template PF_Err smoothingPass<PF_Pixel8>(void*, A_long, A_long, PF_Pixel8*, PF_Pixel8*);
template PF_Err smoothingPass<PF_Pixel16>(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*);

}  // namespace telvix
