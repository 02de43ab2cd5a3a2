// The smoothing pass's visits: a row's pixels, each classified and smoothed in its directions.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "edge_classifier.h"

namespace telvix {

namespace {

// Bits of the directions, in the order in which they are looked at: right (5), left (3), up (1),
// down (7). A candidate is a present forward neighbour that differs from the centre; only a
// candidate that is lighter than the centre by more than the tolerance can be smoothed, every
// other direction is EdgeClass::None.
constexpr A_long kOrder[4] = {kDirectionRight, kDirectionLeft, kDirectionUp, kDirectionDown};

// Classifies and smooths the directions in which the centre is darker than its forward
// neighbour (bits in the order of kOrder), in that order. The centre's similarity to its eight
// neighbours is formed once and shared by the directions. Inlined into both callers, so that the
// interior one forms its mask and reads its neighbours from addresses the compiler can see.
template <bool kInterior, typename Pixel>
[[gnu::always_inline]] inline void smoothDarkerDirections(const RenderInfo<Pixel>& renderInfo,
                                                          const Neighbourhood<Pixel>& neighbourhood,
                                                          A_long x, A_long y, unsigned darker)
{
    const SimilarityMask mask = kInterior
                                    ? similarityMaskInterior(neighbourhood, renderInfo.tolerance)
                                    : similarityMask(neighbourhood, renderInfo.tolerance);
    for (; darker != 0; darker &= darker - 1) {
        const A_long d = kOrder[std::countr_zero(darker)];
        const EdgeClass edgeClass = classifyDarkerEdge(renderInfo, neighbourhood, d, mask);
        if (edgeClass != EdgeClass::None) {  // about half the darker directions: no call for them
            dispatchEdgeClass(renderInfo, neighbourhood, x, y, d, edgeClass, mask);
        }
    }
}

// The source's row y + 2 at the centre's column, asked for by every edge pixel: traces downwards
// start there, and the pass itself reads that row only from the next row on (where its flat tests
// would otherwise wait for it).
inline void prefetchSourceBelow(const unsigned char* centre, std::ptrdiff_t rowbytes)
{
    prefetchLine(reinterpret_cast<std::uintptr_t>(centre) +
                 static_cast<std::uintptr_t>(2 * rowbytes));
}

// The general pass, for any pixel of the source, with absent neighbours null: the pixels on the
// border, and every pixel where the flat test's geometry is not bound or the tolerance lies
// outside the side-by-side tests' range.
template <typename Pixel>
[[gnu::noinline]] PF_Err smoothPixelGeneral(const RenderInfo<Pixel>& renderInfo, A_long x, A_long y)
{
    const Neighbourhood<Pixel> neighbourhood = gatherNeighbourhood(x, y, renderInfo);
    const Pixel* centre = neighbourhood.centre();
    const ContrastTerms centreTerms = contrastTerms(*centre);
    const A_long scaled = DepthTraits<Pixel>::scaledTolerance(renderInfo.tolerance);
    unsigned darker = 0;
    for (unsigned i = 0; i < 4; ++i) {
        // An absent or equal forward neighbour has contrast 0 and is never darker.
        const Pixel* forward = neighbourhood[kOrder[i]];
        if (forward && !pixelsEqual(forward, centre) &&
            signedContrastOfTerms(centreTerms, contrastTerms(*forward)) < -scaled) {
            darker |= 1u << i;
        }
    }
    if (darker != 0) {
        smoothDarkerDirections<false>(renderInfo, neighbourhood, x, y, darker);
    }
    return PF_Err_NONE;
}

// The pass for a pixel with all eight neighbours in the source and at least one darker direction.
// The neighbourhood is formed only here, for the pixels that need it.
template <typename Pixel>
[[gnu::noinline]] PF_Err smoothInteriorDarkerPixel(const RenderInfo<Pixel>& renderInfo,
                                                   const unsigned char* centre, A_long x, A_long y,
                                                   unsigned darker)
{
    const std::ptrdiff_t rowbytes = renderInfo.sourceRowbytes;
    const std::ptrdiff_t pixelSize = static_cast<std::ptrdiff_t>(sizeof(Pixel));
    Neighbourhood<Pixel> neighbourhood;
    for (int dy = 0; dy < 3; ++dy) {
        for (int dx = 0; dx < 3; ++dx) {
            neighbourhood.entries[static_cast<std::size_t>(dy) * 3 + static_cast<std::size_t>(dx)] =
                reinterpret_cast<const Pixel*>(centre + (dy - 1) * rowbytes + (dx - 1) * pixelSize);
        }
    }
    smoothDarkerDirections<true>(renderInfo, neighbourhood, x, y, darker);
    return PF_Err_NONE;
}

// The pass for a pixel with all eight neighbours in the source and at least one candidate
// direction. Kept out of line, and returning the pass's result so that the flat path ends in a jump
// to it: the flat path then needs no stack frame of its own. So does the common outcome here, no
// darker direction, which needs no neighbourhood.
template <typename Pixel>
[[gnu::noinline]] PF_Err smoothInteriorEdgePixel(const RenderInfo<Pixel>& renderInfo,
                                                 const unsigned char* centre, A_long x, A_long y)
{
    prefetchSourceBelow(centre, renderInfo.sourceRowbytes);
    // A tolerance outside the render's range takes the general path, which needs no lanes.
    if (!similarityLanesUsable(renderInfo.tolerance)) {
        return smoothPixelGeneral(renderInfo, x, y);
    }
    const std::ptrdiff_t rowbytes = renderInfo.sourceRowbytes;
    const std::ptrdiff_t pixelSize = static_cast<std::ptrdiff_t>(sizeof(Pixel));
    auto at = [centre](std::ptrdiff_t offset) {
        return reinterpret_cast<const Pixel*>(centre + offset);
    };
    const Pixel* const forwards[4] = {at(pixelSize), at(-pixelSize), at(-rowbytes), at(rowbytes)};
    // The candidates, in the order of kOrder: the direct neighbours that differ from the centre.
    const unsigned candidates = unequalToCentre(at(0), forwards);
    // The darker tests of all four directions side by side; only candidates count.
    const unsigned darker = darkerThanFour(at(0), forwards, renderInfo.tolerance, candidates);
    if (darker == 0) {
        return PF_Err_NONE;
    }
    return smoothInteriorDarkerPixel(renderInfo, centre, x, y, darker);
}

// One visit: the pass at (x, y).
template <typename Pixel>
[[gnu::always_inline]] inline PF_Err smoothPixel(const RenderInfo<Pixel>& renderInfo, A_long x,
                                                 A_long y)
{
    // Flat pixels are the common case. A direction can only be smoothed when its forward
    // neighbour is lighter than the centre; an absent or equal neighbour has contrast 0, which
    // never passes the darker test. Inside the frame all four direct neighbours exist, and one
    // branch-free comparison of their bytes with the centre's settles a flat pixel.
    // 1 <= x < width - 1 and 1 <= y < height - 1 are each one unsigned comparison with the
    // geometry bound beside the source.
    if (static_cast<std::uint32_t>(x) - 1u < renderInfo.innerWidth &&
        static_cast<std::uint32_t>(y) - 1u < renderInfo.innerHeight) {
        using Bits = typename DepthTraits<Pixel>::Word;  // a pixel compares as one machine word
        const std::ptrdiff_t rowbytes = renderInfo.sourceRowbytes;
        const unsigned char* centre =
            renderInfo.sourceBytes + static_cast<std::ptrdiff_t>(y) * rowbytes +
            static_cast<std::ptrdiff_t>(x) * static_cast<std::ptrdiff_t>(sizeof(Pixel));
        auto load = [](const unsigned char* p) {
            Bits bits;
            std::memcpy(&bits, p, sizeof(Bits));
            return bits;
        };
        std::uint64_t differs;
        if constexpr (2 * sizeof(Bits) == sizeof(std::uint64_t)) {
            // Left and centre read as one 64-bit word equal centre and right read as another
            // exactly when all three pixels are equal: one comparison for the row.
            std::uint64_t leftPair, rightPair;
            std::memcpy(&leftPair, centre - sizeof(Pixel), sizeof(leftPair));
            std::memcpy(&rightPair, centre, sizeof(rightPair));
            const Bits c = static_cast<Bits>(rightPair);
            differs = (leftPair ^ rightPair) | (load(centre - rowbytes) ^ c) |
                      (load(centre + rowbytes) ^ c);
        } else {
            const Bits c = load(centre);
            differs = (load(centre + sizeof(Pixel)) ^ c) | (load(centre - sizeof(Pixel)) ^ c) |
                      (load(centre - rowbytes) ^ c) | (load(centre + rowbytes) ^ c);
        }
        if (differs == 0) {
            return PF_Err_NONE;
        }
        return smoothInteriorEdgePixel<Pixel>(renderInfo, centre, x, y);
    }
    const PF_EffectWorld* source = renderInfo.source;
    if (x < 0 || y < 0 || x >= source->width || y >= source->height) {
        return PF_Err_NONE;  // the host iterates the output, which may be larger than the source
    }
    return smoothPixelGeneral(renderInfo, x, y);
}

}  // namespace

template <typename Pixel>
void smoothRow(const RenderInfo<Pixel>& renderInfo, A_long y, A_long left, A_long right)
{
    for (A_long x = left; x < right; ++x) {
        smoothPixel(renderInfo, x, y);
    }
}

template void smoothRow<PF_Pixel8>(const RenderInfo<PF_Pixel8>&, A_long, A_long, A_long);
template void smoothRow<PF_Pixel16>(const RenderInfo<PF_Pixel16>&, A_long, A_long, A_long);

}  // namespace telvix
