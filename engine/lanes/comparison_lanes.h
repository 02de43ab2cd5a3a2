// Pixel tests side by side: several pixelsSimilar, equality or contrast answers from one run of
// vector instructions, without a branch per channel or per pixel (lanes/lanes.h). Other targets,
// and tolerances the lanes do not take, use the scalar primitives pixel by pixel. Every lane gives
// exactly the scalar primitive's answer: colour terms are formed by the same single-precision
// operations in the same order, each rounded once, and the comparisons that follow are exact
// reformulations (see contrastWithFour).
#pragma once

#include <cstdint>

#include "lanes/lanes.h"
#include "lanes/opaque8_contrast_lanes.h"
#include "pixel_primitives.h"

namespace telvix {

// Bit i set when others[i] differs from the centre in any channel: four comparisons as one.
template <typename Pixel>
inline unsigned unequalToCentre(const Pixel* centre, const Pixel* const (&others)[4])
{
#if TELVIX_PIXEL_LANES_SSE2
    using lanes::pixelBits;
    return lanes::LanesOf<Pixel>::unequalFour(
        {pixelBits(others[0]), pixelBits(others[1]), pixelBits(others[2]), pixelBits(others[3])},
        pixelBits(centre));
#else
    unsigned unequal = 0;
    for (unsigned i = 0; i < 4; ++i) {
        unequal |= pixelsEqual(others[i], centre) ? 0u : 1u << i;
    }
    return unequal;
#endif
}

// Bit i set when p[i] and q[i] are similar, for three pairs of present pixels. The tolerance must
// be one for which similarityLanesUsable holds.
template <typename Pixel>
inline unsigned similarTriple(const Pixel* p0, const Pixel* q0, const Pixel* p1, const Pixel* q1,
                              const Pixel* p2, const Pixel* q2, A_long tolerance)
{
#if TELVIX_PIXEL_LANES_SSE2
    using lanes::pixelBits;
    // The fourth lane compares 0 with 0 and is dropped.
    return lanes::LanesOf<Pixel>::similarFour({pixelBits(p0), pixelBits(p1), pixelBits(p2), 0},
                                              {pixelBits(q0), pixelBits(q1), pixelBits(q2), 0},
                                              lanes::toleranceVector<Pixel>(tolerance)) &
           7u;
#else
    return (pixelsSimilar(p0, q0, tolerance) ? 1u : 0u) |
           (pixelsSimilar(p1, q1, tolerance) ? 2u : 0u) |
           (pixelsSimilar(p2, q2, tolerance) ? 4u : 0u);
#endif
}

// Bit i set when p[i] and q[i] are similar, for four pairs of present pixels. The tolerance must
// be one for which similarityLanesUsable holds.
template <typename Pixel>
inline unsigned similarQuad(const Pixel* p0, const Pixel* q0, const Pixel* p1, const Pixel* q1,
                            const Pixel* p2, const Pixel* q2, const Pixel* p3, const Pixel* q3,
                            A_long tolerance)
{
#if TELVIX_PIXEL_LANES_SSE2
    using lanes::pixelBits;
    return lanes::LanesOf<Pixel>::similarFour(
        {pixelBits(p0), pixelBits(p1), pixelBits(p2), pixelBits(p3)},
        {pixelBits(q0), pixelBits(q1), pixelBits(q2), pixelBits(q3)},
        lanes::toleranceVector<Pixel>(tolerance));
#else
    return similarTriple(p0, q0, p1, q1, p2, q2, tolerance) |
           (pixelsSimilar(p3, q3, tolerance) ? 8u : 0u);
#endif
}

// The centre's contrast with four other pixels as bit masks (bit i for others[i]):
//   centreDarker   signedContrast(centre, other) < -s   (the centre is darker)
//   centreLighter  signedContrast(centre, other) > s    (the centre is lighter)
//   otherLighter   signedContrast(other, centre) > s    (the other is lighter)
// with s the scaled tolerance. The two orders differ only where the rounded luma difference is 0,
// which counts as darker both ways. Bits of pixels equal to the centre must be cleared by the
// caller (their contrast is 0; here they would count by their colour distance).
struct ContrastBits {
    unsigned centreDarker = 0;
    unsigned centreLighter = 0;
    unsigned otherLighter = 0;
};

// The scalar form of contrastWithFour, for targets and tolerances the lanes do not take. Out of
// line, so that it costs the lanes path no registers.
template <typename Pixel>
[[gnu::noinline]] inline ContrastBits contrastWithFourScalar(const Pixel* centre, const Pixel* o0,
                                                             const Pixel* o1, const Pixel* o2,
                                                             const Pixel* o3, A_long tolerance)
{
    const A_long scaled = DepthTraits<Pixel>::scaledTolerance(tolerance);
    const ContrastTerms c = contrastTerms(*centre);
    const Pixel* const others[4] = {o0, o1, o2, o3};
    ContrastBits result;
    for (unsigned i = 0; i < 4; ++i) {
        const ContrastParts parts = contrastPartsOfTerms(c, contrastTerms(*others[i]));
        result.centreDarker |= parts.forward() < -scaled ? 1u << i : 0u;
        result.centreLighter |= parts.forward() > scaled ? 1u << i : 0u;
        result.otherLighter |= parts.reverse() > scaled ? 1u << i : 0u;
    }
    return result;
}

#if TELVIX_PIXEL_LANES_SSE2
namespace lanes {

// contrastTerms of four pixels, lane by lane, by the same single-precision operations.
struct Terms {
    __m128 alpha, red, green, blue, luma;
};

template <typename Pixel>
inline Terms fourTerms(const std::uint64_t (&pixels)[4])
{
    const Channels channels = LanesOf<Pixel>::channelsOfFour(pixels);
    Terms t;
    t.alpha = _mm_cvtepi32_ps(channels.alpha);
    const __m128 weight = _mm_mul_ps(t.alpha, _mm_set1_ps(DepthTraits<Pixel>::alphaNormaliser));
    t.red = _mm_mul_ps(_mm_cvtepi32_ps(channels.red), weight);
    t.green = _mm_mul_ps(_mm_cvtepi32_ps(channels.green), weight);
    t.blue = _mm_mul_ps(_mm_cvtepi32_ps(channels.blue), weight);
    t.luma = _mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_set1_ps(kLuma.red.fraction), t.red),
                                   _mm_mul_ps(_mm_set1_ps(kLuma.green.fraction), t.green)),
                        _mm_mul_ps(_mm_set1_ps(kLuma.blue.fraction), t.blue));
    return t;
}

// The colour distance D as contrastPartsOfTerms sums it, lane by lane; the alpha difference of
// two whole numbers below 2^24 is exact in single precision.
inline __m128 distance(const Terms& c, const Terms& o)
{
    const __m128 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    auto absDiff = [absMask](__m128 p, __m128 q) { return _mm_and_ps(_mm_sub_ps(p, q), absMask); };
    __m128 d = absDiff(c.red, o.red);
    d = _mm_add_ps(d, absDiff(c.alpha, o.alpha));
    d = _mm_add_ps(d, absDiff(c.blue, o.blue));
    return _mm_add_ps(d, absDiff(c.green, o.green));
}

// "Far apart": D >= 4s + 4, or always when s = 0 (D is never negative); see contrastWithFour.
inline __m128i farApart(__m128 distance, A_long scaled)
{
    const float threshold = scaled == 0 ? 0.0f : static_cast<float>(4 * scaled + 4);
    return _mm_castps_si128(_mm_cmpge_ps(distance, _mm_set1_ps(threshold)));
}

// What the contrast tests reduce to, all-ones lanes where a comparison holds: the luma difference
// L (centre minus other) against -s, 0 and s, and whether the pair is far apart.
struct LumaComparisons {
    __m128i belowMinusS, aboveS, negative, positive, farApart;
};

// The tests from the comparisons; see contrastWithFour.
inline ContrastBits contrastBitsOf(const LumaComparisons& c)
{
    ContrastBits bits;
    bits.centreDarker =
        laneBits(_mm_or_si128(c.belowMinusS, _mm_andnot_si128(c.positive, c.farApart)));
    bits.centreLighter = laneBits(_mm_or_si128(c.aboveS, _mm_and_si128(c.positive, c.farApart)));
    bits.otherLighter =
        laneBits(_mm_or_si128(c.belowMinusS, _mm_and_si128(c.negative, c.farApart)));
    return bits;
}

// How far a way of comparing got: the comparisons are formed; or, for a caller that asks only
// whether the centre is darker, every wanted lane has L > 0 (never darker) and nothing more was
// formed; or some wanted lane is undecided and needs the next way.
enum class Compared { Formed, NoneDarker, Undecided };

// The comparisons in whole numbers, for four opaque 8-bit pixels and their centre.
template <bool kDarkerOnly>
inline Compared compareWholeNumbers(const PF_Pixel8* centre, const PF_Pixel8* const (&others)[4],
                                    A_long scaled, unsigned wanted, LumaComparisons& c)
{
    OpaqueCentreAgainstFour whole;
    if (!opaqueCentreAgainstFour(centre, others, scaled, whole)) {
        return Compared::Undecided;
    }
    const __m128i zero = _mm_setzero_si128();
    c.positive = _mm_cmpgt_epi32(whole.luma, zero);
    // W > 0 means L > 0: no darker lane. Most lighter sides of an edge end here.
    if (kDarkerOnly && (wanted & ~laneBits(c.positive)) == 0) {
        return Compared::NoneDarker;
    }
    const OpaqueThresholds t = opaqueThresholds(whole, scaled);
    if ((t.undecided & wanted) != 0) {
        return Compared::Undecided;
    }
    // A decided lane with W = 0 holds equal pixels, whose L is exactly 0: not positive, as the
    // single-precision form has it.
    c.negative = _mm_cmplt_epi32(whole.luma, zero);
    c.belowMinusS = _mm_cmplt_epi32(whole.luma, t.minusS);
    c.aboveS = _mm_cmpgt_epi32(whole.luma, t.plusS);
    c.farApart = t.farApart;
    return Compared::Formed;
}

// The comparisons in single precision, for any four present pixels and their centre.
template <bool kDarkerOnly, typename Pixel>
inline Compared compareSinglePrecision(const Pixel* centre, const Pixel* const (&others)[4],
                                       A_long scaled, unsigned wanted, LumaComparisons& c)
{
    const std::uint64_t bits = pixelBits(centre);
    const Terms centreTerms = fourTerms<Pixel>({bits, bits, bits, bits});
    const Terms otherTerms = fourTerms<Pixel>(
        {pixelBits(others[0]), pixelBits(others[1]), pixelBits(others[2]), pixelBits(others[3])});
    const __m128 lumaDiff = _mm_sub_ps(centreTerms.luma, otherTerms.luma);
    const __m128 zero = _mm_setzero_ps();
    c.positive = _mm_castps_si128(_mm_cmpgt_ps(lumaDiff, zero));
    // Darker needs L <= 0: when no wanted lane has it, the distances are not formed.
    if (kDarkerOnly && (wanted & ~laneBits(c.positive)) == 0) {
        return Compared::NoneDarker;
    }
    c.negative = _mm_castps_si128(_mm_cmplt_ps(lumaDiff, zero));
    c.belowMinusS =
        _mm_castps_si128(_mm_cmplt_ps(lumaDiff, _mm_set1_ps(static_cast<float>(-scaled))));
    c.aboveS = _mm_castps_si128(_mm_cmpgt_ps(lumaDiff, _mm_set1_ps(static_cast<float>(scaled))));
    c.farApart = farApart(distance(centreTerms, otherTerms), scaled);
    return Compared::Formed;
}

}  // namespace lanes
#endif

// The contrast tests of contrastWithFour by the cheapest exact way that answers them: whole
// numbers where all five pixels are opaque 8-bit, single-precision lanes otherwise, the scalar
// primitives on targets and at tolerances the lanes do not take. Lanes outside `wanted` may be
// answered wrongly. With kDarkerOnly only centreDarker is answered.
template <bool kDarkerOnly, typename Pixel>
inline ContrastBits compareWithFour(const Pixel* centre, const Pixel* const (&others)[4],
                                    A_long tolerance, unsigned wanted)
{
#if TELVIX_PIXEL_LANES_SSE2
    const A_long scaled = DepthTraits<Pixel>::scaledTolerance(tolerance);
    if (scaled >= 0) {
        lanes::LumaComparisons c;
        lanes::Compared compared = lanes::Compared::Undecided;
        if constexpr (DepthTraits<Pixel>::wholeNumberContrast) {
            compared = lanes::compareWholeNumbers<kDarkerOnly>(centre, others, scaled, wanted, c);
        }
        if (compared == lanes::Compared::Undecided) {
            compared =
                lanes::compareSinglePrecision<kDarkerOnly>(centre, others, scaled, wanted, c);
        }
        return compared == lanes::Compared::Formed ? lanes::contrastBitsOf(c) : ContrastBits{};
    }
#else
    (void)wanted;
#endif
    return contrastWithFourScalar(centre, others[0], others[1], others[2], others[3], tolerance);
}

// Side by side the tests reduce to comparisons of the luma difference L (centre minus other,
// premultiplied) and the colour distance D, exactly equivalent for s >= 0: signedContrast is
// max(|u|, max(trunc(D) / 4, 1)) with the sign of u = L rounded away from zero, negative for
// u = 0, and -L for the other order. For whole s >= 0, u > s exactly when L > s, u < -s when
// L < -s, u > 0 when L > 0, u <= 0 when L <= 0, and max(trunc(D) / 4, 1) > s when D >= 4s + 4 or
// s = 0 ("far apart"). So
//   centreDarker  = L < -s, or L <= 0 and far apart
//   centreLighter = L > s,  or L > 0 and far apart
//   otherLighter  = L < -s, or L < 0 and far apart.
// The four pixels must be present.
template <typename Pixel>
inline ContrastBits contrastWithFour(const Pixel* centre, const Pixel* const (&others)[4],
                                     A_long tolerance)
{
    return compareWithFour<false>(centre, others, tolerance, 0xFu);
}

// Bit i set when the centre is darker than others[i] by more than the scaled tolerance; the
// same conditions as contrastWithFour, answered for the bits of `wanted` only (the others are
// 0). Darker needs L <= 0, so lanes with L > 0 are settled before anything else is formed.
template <typename Pixel>
inline unsigned darkerThanFour(const Pixel* centre, const Pixel* const (&others)[4],
                               A_long tolerance, unsigned wanted = 0xFu)
{
    return compareWithFour<true>(centre, others, tolerance, wanted).centreDarker & wanted;
}

}  // namespace telvix
