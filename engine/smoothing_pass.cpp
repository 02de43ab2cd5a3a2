// The per-pixel smoothing pass that the host's iterate calls for every pixel of the output extent.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "edge_classifier.h"

namespace telvix {

namespace {

// The pass for a pixel of the source that is not known to be flat (a border pixel, or one with a
// differing direct neighbour). Kept out of line so that the flat path stays a short function.
template <typename Pixel>
[[gnu::noinline]] void smoothEdgePixel(const RenderInfo<Pixel>& renderInfo, A_long x, A_long y)
{
    const Neighbourhood<Pixel> neighbourhood = gatherNeighbourhood(x, y, renderInfo);
    const Pixel* centre = neighbourhood.centre();
    // In the order of the directions right (5), left (3), up (1), down (7): a present forward
    // neighbour that differs from the centre. Any other direction is EdgeClass::None.
    const bool candidate[4] = {
        neighbourhood[kDirectionRight] && !pixelsEqual(neighbourhood[kDirectionRight], centre),
        neighbourhood[kDirectionLeft] && !pixelsEqual(neighbourhood[kDirectionLeft], centre),
        neighbourhood[kDirectionUp] && !pixelsEqual(neighbourhood[kDirectionUp], centre),
        neighbourhood[kDirectionDown] && !pixelsEqual(neighbourhood[kDirectionDown], centre)};
    if (!(candidate[0] || candidate[1] || candidate[2] || candidate[3])) {
        return;
    }
    // The darker tests of all directions share the centre's contrast terms.
    const ContrastTerms centreTerms = contrastTerms(*centre);
    const A_long scaled = DepthTraits<Pixel>::scaledTolerance(renderInfo.tolerance);
    constexpr A_long kOrder[4] = {kDirectionRight, kDirectionLeft, kDirectionUp, kDirectionDown};
    // The centre's similarity to its eight neighbours, formed at the first darker direction and
    // shared by the rest; entries 0 and 8 present means all nine are.
    SimilarityMask mask = 0;
    bool haveMask = false;
    for (int i = 0; i < 4; ++i) {
        if (!candidate[i]) {
            continue;  // EdgeClass::None: nothing to dispatch
        }
        const A_long d = kOrder[i];
        const Pixel* forward = neighbourhood[d];
        if (signedContrastOfTerms(centreTerms, contrastTerms(*forward)) >= -scaled) {
            continue;  // not darker than forward: EdgeClass::None
        }
        if (!haveMask) {
            mask = neighbourhood[0] && neighbourhood[8]
                       ? similarityMaskInterior(neighbourhood, renderInfo.tolerance)
                       : similarityMask(neighbourhood, renderInfo.tolerance);
            haveMask = true;
        }
        dispatchEdgeClass(renderInfo, neighbourhood, x, y, d,
                          classifyDarkerEdge(renderInfo, neighbourhood, d, mask));
    }
}

}  // namespace

template <typename Pixel>
PF_Err smoothingPass(void* refcon, A_long x, A_long y, Pixel* /*inPixel*/, Pixel* /*outPixel*/)
{
    const auto& renderInfo = *static_cast<const RenderInfo<Pixel>*>(refcon);
    const PF_EffectWorld* source = renderInfo.source;
    // Flat pixels are the common case. A direction can only be smoothed when its forward
    // neighbour is lighter than the centre; an absent or equal neighbour has contrast 0, which
    // never passes the darker test. Inside the frame all four direct neighbours exist, and one
    // branch-free comparison of their bytes with the centre's settles a flat pixel.
    if (x >= 1 && y >= 1 && x < source->width - 1 && y < source->height - 1) {
        using Bits = std::conditional_t<sizeof(Pixel) == 8, std::uint64_t, std::uint32_t>;
        static_assert(sizeof(Bits) == sizeof(Pixel), "a pixel compares as one machine word");
        const std::ptrdiff_t rowbytes = source->rowbytes;
        const auto* centre = reinterpret_cast<const unsigned char*>(source->data) +
                             static_cast<std::ptrdiff_t>(y) * rowbytes +
                             static_cast<std::ptrdiff_t>(x) * static_cast<std::ptrdiff_t>(sizeof(Pixel));
        auto load = [](const unsigned char* p) {
            Bits bits;
            std::memcpy(&bits, p, sizeof(Bits));
            return bits;
        };
        const Bits c = load(centre);
        const Bits differences = (load(centre + sizeof(Pixel)) ^ c) |
                                 (load(centre - sizeof(Pixel)) ^ c) |
                                 (load(centre - rowbytes) ^ c) | (load(centre + rowbytes) ^ c);
        if (differences == 0) {
            return PF_Err_NONE;
        }
    } else if (x < 0 || y < 0 || x >= source->width || y >= source->height) {
        return PF_Err_NONE;  // the host iterates the output, which may be larger than the source
    }
    smoothEdgePixel(renderInfo, x, y);
    return PF_Err_NONE;
}

template PF_Err smoothingPass<PF_Pixel8>(void*, A_long, A_long, PF_Pixel8*, PF_Pixel8*);
template PF_Err smoothingPass<PF_Pixel16>(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*);

}  // namespace telvix
