// The edge classifier after its darker test, and the dispatcher, inline so that the per-pixel
// pass, which makes the darker tests of all four directions itself, classifies and dispatches
// without a call.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "directions.h"
#include "lanes/comparison_lanes.h"
#include "output_writes.h"
#include "smoothing_engine.h"

namespace telvix {

// The mask from pixelsSimilar, entry by entry; absent entries give a clear bit.
template <typename Pixel>
inline SimilarityMask similarityMask(const Neighbourhood<Pixel>& neighbourhood, A_long tolerance)
{
    const Pixel* centre = neighbourhood.centre();
    SimilarityMask mask = 0;
    for (A_long index : {0, 1, 2, 3, 5, 6, 7, 8}) {
        if (pixelsSimilar(neighbourhood[index], centre, tolerance)) {
            mask |= 1u << index;
        }
    }
    return mask;
}

// similarityMask for a neighbourhood whose nine entries are all present, all eight channel
// tests side by side. The tolerance is 0..255 (the render clamps it), so the scaled tolerance
// fits a channel at both depths and no difference saturates falsely.
template <typename Pixel>
inline SimilarityMask similarityMaskInterior(const Neighbourhood<Pixel>& neighbourhood,
                                             A_long tolerance)
{
#if TELVIX_PIXEL_LANES_SSE2
    if (!similarityLanesUsable(tolerance)) {
        return similarityMask(neighbourhood, tolerance);
    }
    const auto bits = [&](A_long index) { return lanes::pixelBits(neighbourhood[index]); };
    const std::uint64_t c = bits(4);
    const __m128i t = lanes::toleranceVector<Pixel>(tolerance);
    using Lanes = lanes::LanesOf<Pixel>;
    return Lanes::similarFour({bits(0), bits(1), bits(2), bits(3)}, {c, c, c, c}, t) |
           (Lanes::similarFour({bits(5), bits(6), bits(7), bits(8)}, {c, c, c, c}, t) << 5);
#else
    return similarityMask(neighbourhood, tolerance);
#endif
}

// The class of the edge towards direction d, for a centre already known to be darker than its
// present forward neighbour by more than the tolerance, given the centre's similarityMask.
// Reads only the neighbourhood and the tolerance.
template <typename Pixel>
inline EdgeClass classifyDarkerEdge(const RenderInfo<Pixel>& renderInfo,
                                    const Neighbourhood<Pixel>& neighbourhood, A_long d,
                                    SimilarityMask mask)
{
    const A_long tolerance = renderInfo.tolerance;
    const A_long scaled = DepthTraits<Pixel>::scaledTolerance(tolerance);
    const DirectionFrame& f = directionFrame(d);
    const Pixel* centre = neighbourhood.centre();
    const Pixel* forward = neighbourhood[f.forward];
    auto similar = [tolerance](const Pixel* a, const Pixel* b) {
        return pixelsSimilar(a, b, tolerance);
    };
    const Pixel* left = neighbourhood[f.left];
    const Pixel* right = neighbourhood[f.right];
    const Pixel* forwardLeft = neighbourhood[f.forwardLeft];
    const Pixel* forwardRight = neighbourhood[f.forwardRight];
    const bool centreLeft = centreSimilar(mask, f.left);
    const bool centreRight = centreSimilar(mask, f.right);

    const bool straightOnASide = (centreLeft && similar(forward, forwardLeft)) ||
                                 (centreRight && similar(forward, forwardRight));
    if (!straightOnASide) {
        // A step, unless the centre sits inside a straight dark band with a notch on one side.
        if (centreSimilar(mask, f.forwardLeft) != centreSimilar(mask, f.forwardRight) &&
            centreLeft && centreRight) {
            return EdgeClass::None;
        }
        return mask != 0 ? EdgeClass::Step : EdgeClass::Isolated;
    }

    // The edge runs straight on at least one side: only corners are smoothed.
    if (!left || !right) {
        return EdgeClass::None;
    }
    EdgeClass edgeClass = EdgeClass::None;
    if ((centreLeft && centreSimilar(mask, f.forwardRight) &&
         signedContrast(forwardLeft, centre) > scaled) ||
        (centreRight && centreSimilar(mask, f.forwardLeft) &&
         signedContrast(forwardRight, centre) > scaled)) {
        edgeClass = EdgeClass::InnerCorner;
    }
    // The outer-corner test looks at the left-hand side only and overrides an inner corner. An
    // absent back has a clear bit.
    if (centreLeft && centreSimilar(mask, f.backLeft) && centreSimilar(mask, f.back) &&
        signedContrast(right, centre) > scaled && similar(right, forward) &&
        similar(right, forwardLeft) && similar(right, neighbourhood[f.backRight])) {
        edgeClass = EdgeClass::OuterCorner;
    }
    return edgeClass;
}

// The same, forming the mask itself.
template <typename Pixel>
inline EdgeClass classifyDarkerEdge(const RenderInfo<Pixel>& renderInfo,
                                    const Neighbourhood<Pixel>& neighbourhood, A_long d)
{
    return classifyDarkerEdge(renderInfo, neighbourhood, d,
                              similarityMask(neighbourhood, renderInfo.tolerance));
}

// Hands a classified edge to the routine that smooths that class (declared in smoothing_engine.h).
template <typename Pixel>
inline void dispatchEdgeClass(const RenderInfo<Pixel>& renderInfo,
                              const Neighbourhood<Pixel>& neighbourhood, A_long x, A_long y,
                              A_long d, EdgeClass edgeClass, SimilarityMask mask)
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
        case EdgeClass::Isolated: {
            Pixel average;
            neighbourhoodAverage(neighbourhood, &average, kIsolatedCentreWeight);
            writeOutput(renderInfo, x, y, average, WriteKind::Replace);
            break;
        }
        case EdgeClass::None:
        default:
            break;
    }
}

}  // namespace telvix
