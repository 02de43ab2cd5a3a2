// Pixel tests side by side: several pixelsSimilar or darker answers from one run of vector
// instructions, without a branch per channel or per pixel. SSE2 on x86-64 (both the Linux and the
// Windows build); other targets, and tolerances outside 0..255, take the scalar primitives pixel
// by pixel. Every lane computes exactly what the scalar primitive computes: the same
// single-precision operations in the same order, each rounded once.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TELVIX_PIXEL_LANES_SSE2 1
#endif

#include "pixel_primitives.h"

namespace telvix {

// True when the lanes may be used: the render clamps the tolerance to 0..255, so the scaled
// tolerance fits a channel at both depths and no difference saturates falsely.
inline bool similarityLanesUsable(A_long tolerance)
{
#if TELVIX_PIXEL_LANES_SSE2
    return tolerance >= 0 && tolerance <= 255;
#else
    (void)tolerance;
    return false;
#endif
}

#if TELVIX_PIXEL_LANES_SSE2
namespace lanes {

template <typename Pixel>
inline std::uint64_t pixelBits(const Pixel* p)
{
    using Bits = std::conditional_t<sizeof(Pixel) == 8, std::uint64_t, std::uint32_t>;
    Bits bits;
    std::memcpy(&bits, p, sizeof(Bits));
    return bits;
}

// The tolerance, scaled to the depth, in every channel of a vector.
template <typename Pixel>
inline __m128i toleranceVector(A_long tolerance)
{
    if constexpr (sizeof(Pixel) == 4) {
        return _mm_set1_epi8(static_cast<char>(tolerance));
    } else {
        return _mm_set1_epi16(static_cast<short>(DepthTraits<Pixel>::scaledTolerance(tolerance)));
    }
}

// 8-bit: four pixels per vector. Bit i set when every channel of lane i differs by at most t.
inline unsigned within8(__m128i p, __m128i q, __m128i t)
{
    const __m128i diff = _mm_or_si128(_mm_subs_epu8(p, q), _mm_subs_epu8(q, p));
    const __m128i within = _mm_cmpeq_epi8(_mm_subs_epu8(diff, t), _mm_setzero_si128());
    const __m128i whole = _mm_cmpeq_epi32(within, _mm_set1_epi32(-1));
    return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(whole)));
}

// 16-bit: two pixels per vector.
inline unsigned within16(__m128i p, __m128i q, __m128i t)
{
    const __m128i diff = _mm_or_si128(_mm_subs_epu16(p, q), _mm_subs_epu16(q, p));
    const __m128i within = _mm_cmpeq_epi16(_mm_subs_epu16(diff, t), _mm_setzero_si128());
    const unsigned bytes = static_cast<unsigned>(_mm_movemask_epi8(within));
    return ((bytes & 0xFFu) == 0xFFu ? 1u : 0u) | ((bytes >> 8) == 0xFFu ? 2u : 0u);
}

inline __m128i four8(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t d)
{
    return _mm_setr_epi32(static_cast<int>(a), static_cast<int>(b), static_cast<int>(c),
                          static_cast<int>(d));
}

inline __m128i two16(std::uint64_t a, std::uint64_t b)
{
    return _mm_set_epi64x(static_cast<long long>(b), static_cast<long long>(a));
}

}  // namespace lanes
#endif

// Bit i set when p[i] and q[i] are similar, for three pairs of present pixels. The tolerance must
// be one for which similarityLanesUsable holds.
template <typename Pixel>
inline unsigned similarTriple(const Pixel* p0, const Pixel* q0, const Pixel* p1, const Pixel* q1,
                              const Pixel* p2, const Pixel* q2, A_long tolerance)
{
#if TELVIX_PIXEL_LANES_SSE2
    using lanes::pixelBits;
    const __m128i t = lanes::toleranceVector<Pixel>(tolerance);
    if constexpr (sizeof(Pixel) == 4) {
        return lanes::within8(lanes::four8(pixelBits(p0), pixelBits(p1), pixelBits(p2), 0),
                              lanes::four8(pixelBits(q0), pixelBits(q1), pixelBits(q2), 0), t) &
               7u;
    } else {
        // The third vector's second lane compares 0 with 0 and is dropped.
        const unsigned third = lanes::within16(lanes::two16(pixelBits(p2), 0),
                                               lanes::two16(pixelBits(q2), 0), t) &
                               1u;
        return lanes::within16(lanes::two16(pixelBits(p0), pixelBits(p1)),
                               lanes::two16(pixelBits(q0), pixelBits(q1)), t) |
               (third << 2);
    }
#else
    return (pixelsSimilar(p0, q0, tolerance) ? 1u : 0u) |
           (pixelsSimilar(p1, q1, tolerance) ? 2u : 0u) |
           (pixelsSimilar(p2, q2, tolerance) ? 4u : 0u);
#endif
}

// Bit i set when the centre is darker than others[i] by more than the scaled tolerance
// (signedContrast(centre, others[i]) < -scaled tolerance), for four present pixels. Pixels equal
// to the centre must be left out by the caller (their contrast is 0; here they would count by
// their colour distance).
template <typename Pixel>
inline unsigned darkerThanFour(const Pixel* centre, const Pixel* const (&others)[4],
                               A_long tolerance)
{
    const A_long scaled = DepthTraits<Pixel>::scaledTolerance(tolerance);
#if TELVIX_PIXEL_LANES_SSE2
    using lanes::pixelBits;
    // The four pixels' channels as 32-bit integer lanes.
    __m128i alpha, red, green, blue;
    if constexpr (sizeof(Pixel) == 4) {
        const __m128i v = lanes::four8(pixelBits(others[0]), pixelBits(others[1]),
                                       pixelBits(others[2]), pixelBits(others[3]));
        const __m128i byte = _mm_set1_epi32(0xFF);
        alpha = _mm_and_si128(v, byte);
        red = _mm_and_si128(_mm_srli_epi32(v, 8), byte);
        green = _mm_and_si128(_mm_srli_epi32(v, 16), byte);
        blue = _mm_srli_epi32(v, 24);
    } else {
        const __m128i v01 = lanes::two16(pixelBits(others[0]), pixelBits(others[1]));
        const __m128i v23 = lanes::two16(pixelBits(others[2]), pixelBits(others[3]));
        const __m128i t0 = _mm_unpacklo_epi16(v01, v23);  // a0 a2 r0 r2 g0 g2 b0 b2
        const __m128i t1 = _mm_unpackhi_epi16(v01, v23);  // a1 a3 r1 r3 g1 g3 b1 b3
        const __m128i ar = _mm_unpacklo_epi16(t0, t1);    // a0 a1 a2 a3 r0 r1 r2 r3
        const __m128i gb = _mm_unpackhi_epi16(t0, t1);    // g0 g1 g2 g3 b0 b1 b2 b3
        const __m128i zero = _mm_setzero_si128();
        alpha = _mm_unpacklo_epi16(ar, zero);
        red = _mm_unpackhi_epi16(ar, zero);
        green = _mm_unpacklo_epi16(gb, zero);
        blue = _mm_unpackhi_epi16(gb, zero);
    }
    // contrastTerms of the four, lane by lane.
    const __m128 weight =
        _mm_mul_ps(_mm_cvtepi32_ps(alpha), _mm_set1_ps(DepthTraits<Pixel>::alphaNormaliser));
    const __m128 r = _mm_mul_ps(_mm_cvtepi32_ps(red), weight);
    const __m128 g = _mm_mul_ps(_mm_cvtepi32_ps(green), weight);
    const __m128 b = _mm_mul_ps(_mm_cvtepi32_ps(blue), weight);
    const __m128 luma = _mm_add_ps(
        _mm_add_ps(_mm_mul_ps(_mm_set1_ps(0.3f), r), _mm_mul_ps(_mm_set1_ps(0.59f), g)),
        _mm_mul_ps(_mm_set1_ps(0.11f), b));
    // contrastPartsOfTerms(centre, other), lane by lane.
    const ContrastTerms c = contrastTerms(*centre);
    const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    auto absDiff = [absMask](__m128 p, __m128 q) { return _mm_and_ps(_mm_sub_ps(p, q), absMask); };
    const __m128i alphaDiff = _mm_sub_epi32(_mm_set1_epi32(c.alpha), alpha);
    const __m128i alphaSign = _mm_srai_epi32(alphaDiff, 31);
    const __m128i alphaAbs = _mm_sub_epi32(_mm_xor_si128(alphaDiff, alphaSign), alphaSign);
    __m128 distance = absDiff(_mm_set1_ps(c.red), r);
    distance = _mm_add_ps(distance, _mm_cvtepi32_ps(alphaAbs));
    distance = _mm_add_ps(distance, absDiff(_mm_set1_ps(c.blue), b));
    distance = _mm_add_ps(distance, absDiff(_mm_set1_ps(c.green), g));
    const __m128i quarter = _mm_srai_epi32(_mm_cvttps_epi32(distance), 2);  // distance >= 0
    const __m128i one = _mm_set1_epi32(1);
    const __m128i quarterBelowOne = _mm_cmplt_epi32(quarter, one);
    const __m128i t = _mm_or_si128(_mm_and_si128(quarterBelowOne, one),
                                   _mm_andnot_si128(quarterBelowOne, quarter));
    const __m128 lumaDiff = _mm_sub_ps(_mm_set1_ps(c.luma), luma);
    __m128i u = _mm_cvttps_epi32(lumaDiff);
    // Away from zero where truncation changed the value: +1 above zero, -1 otherwise.
    const __m128i inexact =
        _mm_castps_si128(_mm_cmpneq_ps(lumaDiff, _mm_cvtepi32_ps(u)));
    const __m128i positive = _mm_castps_si128(_mm_cmpgt_ps(lumaDiff, _mm_setzero_ps()));
    const __m128i away = _mm_or_si128(_mm_and_si128(positive, one),
                                      _mm_andnot_si128(positive, _mm_set1_epi32(-1)));
    u = _mm_add_epi32(u, _mm_and_si128(inexact, away));
    const __m128i uSign = _mm_srai_epi32(u, 31);
    const __m128i absU = _mm_sub_epi32(_mm_xor_si128(u, uSign), uSign);
    const __m128i uLarger = _mm_cmpgt_epi32(absU, t);
    const __m128i magnitude =
        _mm_or_si128(_mm_and_si128(uLarger, absU), _mm_andnot_si128(uLarger, t));
    // signedContrast < -scaled: u <= 0 (the sign is negative) and magnitude > scaled.
    const __m128i darker = _mm_andnot_si128(_mm_cmpgt_epi32(u, _mm_setzero_si128()),
                                            _mm_cmpgt_epi32(magnitude, _mm_set1_epi32(scaled)));
    return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(darker)));
#else
    const ContrastTerms c = contrastTerms(*centre);
    unsigned bits = 0;
    for (unsigned i = 0; i < 4; ++i) {
        if (signedContrastOfTerms(c, contrastTerms(*others[i])) < -scaled) {
            bits |= 1u << i;
        }
    }
    return bits;
#endif
}

}  // namespace telvix
