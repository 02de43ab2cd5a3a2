// The edge classifier after its darker test, inline so that the per-pixel pass, which makes the
// darker tests of all four directions itself, can classify without a call.
#pragma once

#include "directions.h"
#include "smoothing_engine.h"

namespace telvix {

// The class of the edge towards direction d, for a centre already known to be darker than its
// present forward neighbour by more than the tolerance. Reads only the neighbourhood and the
// tolerance.
template <typename Pixel>
inline EdgeClass classifyDarkerEdge(const RenderInfo<Pixel>& renderInfo,
                                    const Neighbourhood<Pixel>& neighbourhood, A_long d)
{
    const A_long tolerance = renderInfo.tolerance;
    const A_long scaled = DepthTraits<Pixel>::scaledTolerance(tolerance);
    const DirectionFrame f = directionFrame(d);
    const Pixel* centre = neighbourhood.centre();
    const Pixel* forward = neighbourhood[f.forward];
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

}  // namespace telvix
