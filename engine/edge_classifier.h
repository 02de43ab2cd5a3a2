// The edge classifier after its darker test, inline so that the per-pixel pass, which makes the
// darker tests of all four directions itself, can classify without a call.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TELVIX_SIMILARITY_SSE2 1
#endif

#include "directions.h"
#include "smoothing_engine.h"

namespace telvix {

// Bit i set when neighbourhood entry i (0-3, 5-8) is similar to the centre; bit 4 is always
// clear. The four directions' classifications and the isolation test all read the same eight
// similarities, so the pass forms them once per edge pixel.
using SimilarityMask = unsigned;

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

#if TELVIX_SIMILARITY_SSE2
namespace detail {

template <typename Pixel>
inline std::uint64_t loadPixelBits(const Pixel* p)
{
    using Bits = std::conditional_t<sizeof(Pixel) == 8, std::uint64_t, std::uint32_t>;
    Bits bits;
    std::memcpy(&bits, p, sizeof(Bits));
    return bits;
}

// Per pixel lane: every channel's absolute difference from the centre is at most t.
inline unsigned withinLanes8(__m128i pixels, __m128i centre, __m128i t)
{
    const __m128i diff = _mm_or_si128(_mm_subs_epu8(pixels, centre), _mm_subs_epu8(centre, pixels));
    const __m128i within = _mm_cmpeq_epi8(_mm_subs_epu8(diff, t), _mm_setzero_si128());
    const __m128i whole = _mm_cmpeq_epi32(within, _mm_set1_epi32(-1));
    return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(whole)));
}

inline unsigned withinLanes16(__m128i pixels, __m128i centre, __m128i t)
{
    const __m128i diff =
        _mm_or_si128(_mm_subs_epu16(pixels, centre), _mm_subs_epu16(centre, pixels));
    const __m128i within = _mm_cmpeq_epi16(_mm_subs_epu16(diff, t), _mm_setzero_si128());
    const unsigned bytes = static_cast<unsigned>(_mm_movemask_epi8(within));
    return ((bytes & 0xFFu) == 0xFFu ? 1u : 0u) | ((bytes >> 8) == 0xFFu ? 2u : 0u);
}

}  // namespace detail
#endif

// similarityMask for a neighbourhood whose nine entries are all present, all eight channel
// tests side by side. The tolerance is 0..255 (the render clamps it), so the scaled tolerance
// fits a channel at both depths and no difference saturates falsely.
template <typename Pixel>
inline SimilarityMask similarityMaskInterior(const Neighbourhood<Pixel>& neighbourhood,
                                             A_long tolerance)
{
#if TELVIX_SIMILARITY_SSE2
    if (tolerance < 0 || tolerance > 255) {
        return similarityMask(neighbourhood, tolerance);
    }
    const auto bits = [&](A_long index) { return detail::loadPixelBits(neighbourhood[index]); };
    const std::uint64_t c = bits(4);
    if constexpr (sizeof(Pixel) == 4) {
        const __m128i centre = _mm_set1_epi32(static_cast<int>(c));
        const __m128i t = _mm_set1_epi8(static_cast<char>(tolerance));
        const __m128i before = _mm_setr_epi32(static_cast<int>(bits(0)), static_cast<int>(bits(1)),
                                              static_cast<int>(bits(2)), static_cast<int>(bits(3)));
        const __m128i after = _mm_setr_epi32(static_cast<int>(bits(5)), static_cast<int>(bits(6)),
                                             static_cast<int>(bits(7)), static_cast<int>(bits(8)));
        return detail::withinLanes8(before, centre, t) |
               (detail::withinLanes8(after, centre, t) << 5);
    } else {
        const __m128i centre = _mm_set1_epi64x(static_cast<long long>(c));
        const __m128i t = _mm_set1_epi16(
            static_cast<short>(DepthTraits<Pixel>::scaledTolerance(tolerance)));
        auto pair = [&](A_long a, A_long b) {
            return _mm_set_epi64x(static_cast<long long>(bits(b)), static_cast<long long>(bits(a)));
        };
        return detail::withinLanes16(pair(0, 1), centre, t) |
               (detail::withinLanes16(pair(2, 3), centre, t) << 2) |
               (detail::withinLanes16(pair(5, 6), centre, t) << 5) |
               (detail::withinLanes16(pair(7, 8), centre, t) << 7);
    }
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
    const DirectionFrame f = directionFrame(d);
    const Pixel* centre = neighbourhood.centre();
    const Pixel* forward = neighbourhood[f.forward];
    auto similar = [tolerance](const Pixel* a, const Pixel* b) {
        return pixelsSimilar(a, b, tolerance);
    };
    auto centreSimilar = [mask](A_long index) { return ((mask >> index) & 1u) != 0; };
    const Pixel* left = neighbourhood[f.left];
    const Pixel* right = neighbourhood[f.right];
    const Pixel* forwardLeft = neighbourhood[f.forwardLeft];
    const Pixel* forwardRight = neighbourhood[f.forwardRight];
    const bool centreLeft = centreSimilar(f.left);
    const bool centreRight = centreSimilar(f.right);

    const bool straightOnASide = (centreLeft && similar(forward, forwardLeft)) ||
                                 (centreRight && similar(forward, forwardRight));
    if (!straightOnASide) {
        // A step, unless the centre sits inside a straight dark band with a notch on one side.
        if (centreSimilar(f.forwardLeft) != centreSimilar(f.forwardRight) && centreLeft &&
            centreRight) {
            return EdgeClass::None;
        }
        return mask != 0 ? EdgeClass::Step : EdgeClass::Isolated;
    }

    // The edge runs straight on at least one side: only corners are smoothed.
    if (!left || !right) {
        return EdgeClass::None;
    }
    EdgeClass edgeClass = EdgeClass::None;
    if ((centreLeft && centreSimilar(f.forwardRight) &&
         signedContrast(forwardLeft, centre) > scaled) ||
        (centreRight && centreSimilar(f.forwardLeft) &&
         signedContrast(forwardRight, centre) > scaled)) {
        edgeClass = EdgeClass::InnerCorner;
    }
    // The outer-corner test looks at the left-hand side only and overrides an inner corner. An
    // absent back has a clear bit.
    if (centreLeft && centreSimilar(f.backLeft) && centreSimilar(f.back) &&
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

}  // namespace telvix
