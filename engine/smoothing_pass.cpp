// The per-pixel smoothing pass that the host's iterate calls for every pixel of the output extent.
#include <cstddef>
#include <cstring>

#include "edge_classifier.h"

namespace telvix {

namespace {

// The part of the pass for a pixel with at least one differing direct neighbour; candidate[i]
// tells whether the i-th direction of right, left, up, down has a present, differing forward.
// Kept out of line so that the flat path stays a short function.
template <typename Pixel>
[[gnu::noinline]] void smoothEdgePixel(const RenderInfo<Pixel>& renderInfo, A_long x, A_long y,
                                       const bool (&candidate)[4])
{
    // The darker tests of all directions share the centre's contrast terms.
    const Neighbourhood<Pixel> neighbourhood = gatherNeighbourhood(x, y, renderInfo);
    const ContrastTerms centreTerms = contrastTerms(*neighbourhood.centre());
    const A_long scaled = DepthTraits<Pixel>::scaledTolerance(renderInfo.tolerance);
    constexpr A_long kOrder[4] = {kDirectionRight, kDirectionLeft, kDirectionUp, kDirectionDown};
    for (int i = 0; i < 4; ++i) {
        if (!candidate[i]) {
            continue;  // EdgeClass::None: nothing to dispatch
        }
        const A_long d = kOrder[i];
        const Pixel* forward = neighbourhood[d];
        if (signedContrastOfTerms(centreTerms, contrastTerms(*forward)) >= -scaled) {
            continue;  // not darker than forward: EdgeClass::None
        }
        dispatchEdgeClass(renderInfo, neighbourhood, x, y, d,
                          classifyDarkerEdge(renderInfo, neighbourhood, d));
    }
}

}  // namespace

template <typename Pixel>
PF_Err smoothingPass(void* refcon, A_long x, A_long y, Pixel* /*inPixel*/, Pixel* /*outPixel*/)
{
    const auto& renderInfo = *static_cast<const RenderInfo<Pixel>*>(refcon);
    const PF_EffectWorld* source = renderInfo.source;
    if (x < 0 || y < 0 || x >= source->width || y >= source->height) {
        return PF_Err_NONE;  // the host iterates the output, which may be larger than the source
    }

    // Flat pixels are the common case and are settled from the four direct neighbours alone. A
    // direction can only be smoothed when its forward neighbour is lighter than the centre; an
    // absent or equal neighbour has contrast 0, which never passes the darker test.
    constexpr std::ptrdiff_t pixelSize = static_cast<std::ptrdiff_t>(sizeof(Pixel));
    const std::ptrdiff_t rowbytes = source->rowbytes;
    const auto* centreBytes = reinterpret_cast<const unsigned char*>(source->data) +
                              static_cast<std::ptrdiff_t>(y) * rowbytes +
                              static_cast<std::ptrdiff_t>(x) * pixelSize;
    auto differs = [centreBytes](bool present, std::ptrdiff_t offset) {
        return present && std::memcmp(centreBytes + offset, centreBytes, sizeof(Pixel)) != 0;
    };
    // In the order of the directions right (5), left (3), up (1), down (7).
    const bool candidate[4] = {differs(x + 1 < source->width, pixelSize),
                               differs(x > 0, -pixelSize), differs(y > 0, -rowbytes),
                               differs(y + 1 < source->height, rowbytes)};
    if (!(candidate[0] || candidate[1] || candidate[2] || candidate[3])) {
        return PF_Err_NONE;
    }

    smoothEdgePixel(renderInfo, x, y, candidate);
    return PF_Err_NONE;
}

template PF_Err smoothingPass<PF_Pixel8>(void*, A_long, A_long, PF_Pixel8*, PF_Pixel8*);
template PF_Err smoothingPass<PF_Pixel16>(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*);

}  // namespace telvix
