// Pixel tests side by side: several pixelsSimilar or contrast answers from one run of vector
// instructions, without a branch per channel or per pixel. SSE2 on x86-64 (both the Linux and the
// Windows build); other targets, and tolerances the lanes do not take, use the scalar primitives
// pixel by pixel. Every lane gives exactly the scalar primitive's answer: colour terms are formed
// by the same single-precision operations in the same order, each rounded once, and the
// comparisons that follow are exact reformulations (see contrastWithFour).
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

// TELVIX_FORCE_SCALAR_LANES (the build option TELVIX_SCALAR_LANES) takes the scalar path on x86-64
// too, so that the fall-backs are built and tested where the lanes are normally used.
#if (defined(__SSE2__) || defined(_M_X64)) && !defined(TELVIX_FORCE_SCALAR_LANES)
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

// Asks for the cache line at `at` to be brought in: the pass is about to read or write there.
// The address is formed as an integer and a prefetch never faults, so worlds of another size are
// safe. Other targets compile it to nothing.
inline void prefetchLine([[maybe_unused]] std::uintptr_t at)
{
#if TELVIX_PIXEL_LANES_SSE2
    _mm_prefetch(reinterpret_cast<const char*>(at), _MM_HINT_T0);
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

// contrastTerms of four pixels, lane by lane, by the same single-precision operations.
struct Terms {
    __m128 alpha, red, green, blue, luma;
};

// The four pixels' channels as 32-bit integer lanes, alpha first.
template <typename Pixel>
inline Terms fourTerms(std::uint64_t p0, std::uint64_t p1, std::uint64_t p2, std::uint64_t p3)
{
    __m128i alpha, red, green, blue;
    if constexpr (sizeof(Pixel) == 4) {
        const __m128i v = four8(p0, p1, p2, p3);
        const __m128i byte = _mm_set1_epi32(0xFF);
        alpha = _mm_and_si128(v, byte);
        red = _mm_and_si128(_mm_srli_epi32(v, 8), byte);
        green = _mm_and_si128(_mm_srli_epi32(v, 16), byte);
        blue = _mm_srli_epi32(v, 24);
    } else {
        const __m128i v01 = two16(p0, p1);
        const __m128i v23 = two16(p2, p3);
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
    Terms t;
    t.alpha = _mm_cvtepi32_ps(alpha);
    const __m128 weight = _mm_mul_ps(t.alpha, _mm_set1_ps(DepthTraits<Pixel>::alphaNormaliser));
    t.red = _mm_mul_ps(_mm_cvtepi32_ps(red), weight);
    t.green = _mm_mul_ps(_mm_cvtepi32_ps(green), weight);
    t.blue = _mm_mul_ps(_mm_cvtepi32_ps(blue), weight);
    t.luma = _mm_add_ps(
        _mm_add_ps(_mm_mul_ps(_mm_set1_ps(0.3f), t.red), _mm_mul_ps(_mm_set1_ps(0.59f), t.green)),
        _mm_mul_ps(_mm_set1_ps(0.11f), t.blue));
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

// "far": D >= 4s + 4, or always when s = 0 (D is never negative); see contrastWithFour.
inline __m128 far(__m128 distance, A_long scaled)
{
    const float threshold = scaled == 0 ? 0.0f : static_cast<float>(4 * scaled + 4);
    return _mm_cmpge_ps(distance, _mm_set1_ps(threshold));
}

inline unsigned laneBits(__m128 m) { return static_cast<unsigned>(_mm_movemask_ps(m)); }

// A centre against four others: the centre's terms in every lane, the others' one per lane, and
// the luma difference L (centre minus other) of each pair.
struct CentreAgainstFour {
    Terms centre;
    Terms others;
    __m128 lumaDiff;
};

template <typename Pixel>
inline CentreAgainstFour centreAgainstFour(const Pixel* centre, const Pixel* const (&others)[4])
{
    const std::uint64_t c = pixelBits(centre);
    CentreAgainstFour pairs;
    pairs.centre = fourTerms<Pixel>(c, c, c, c);
    pairs.others = fourTerms<Pixel>(pixelBits(others[0]), pixelBits(others[1]),
                                    pixelBits(others[2]), pixelBits(others[3]));
    pairs.lumaDiff = _mm_sub_ps(pairs.centre.luma, pairs.others.luma);
    return pairs;
}

// The contrast tests (contrastWithFour, darkerThanFour) in whole numbers, for 8-bit pixels that
// are all opaque, as cel frames mostly are. At full alpha the premultiplied channels are the
// channels themselves (255 times the normaliser is exactly 1), so the colour distance D is the
// whole sum of the channel differences. The luma difference L lies within 1e-4 of W / 100, with
// W = 30 dr + 59 dg + 11 db (centre minus other): each luma takes five roundings of values below
// 256 (under 8e-6 each), the difference one more, and the constants 0.3f, 0.59f and 0.11f lie
// within 3e-8 of their decimals (times differences up to 255). So L compares with 0 and with -s
// and s exactly as W does with 0, -100s and 100s, except where W equals one of them: such a lane
// is undecided, unless its two pixels are equal (L is then exactly 0), and the caller answers it
// with the single-precision tests. Used for s up to 255, the render's range, so that 100s and
// 4s + 4 stay small.
static_assert(255.0f * DepthTraits<PF_Pixel8>::alphaNormaliser == 1.0f,
              "full alpha leaves 8-bit channels unscaled");

struct OpaqueCentreAgainstFour {
    __m128i centre;  // the centre's bits in every lane
    __m128i others;  // one other pixel's bits per lane
    __m128i luma;    // W, one lane per other pixel
};

// W for the four pairs; false, with `pairs` unfilled, when a pixel is not opaque or the scaled
// tolerance lies outside 0..255.
inline bool opaqueCentreAgainstFour(const PF_Pixel8* centre, const PF_Pixel8* const (&others)[4],
                                    A_long scaled, OpaqueCentreAgainstFour& pairs)
{
    if (scaled < 0 || scaled > 255) {
        return false;
    }
    const __m128i o = four8(pixelBits(others[0]), pixelBits(others[1]), pixelBits(others[2]),
                            pixelBits(others[3]));
    const __m128i c = _mm_set1_epi32(static_cast<int>(pixelBits(centre)));
    const __m128i alphaByte = _mm_set1_epi32(0xFF);
    const __m128i opaque =
        _mm_cmpeq_epi32(_mm_and_si128(_mm_and_si128(o, c), alphaByte), alphaByte);
    if (_mm_movemask_ps(_mm_castsi128_ps(opaque)) != 0xF) {
        return false;
    }
    const __m128i zero = _mm_setzero_si128();
    // Channels alpha, red, green, blue as 16-bit words; each pair of products summed per pixel.
    const __m128i weights = _mm_setr_epi16(0, 30, 59, 11, 0, 30, 59, 11);
    const __m128 low = _mm_castsi128_ps(_mm_madd_epi16(_mm_unpacklo_epi8(o, zero), weights));
    const __m128 high = _mm_castsi128_ps(_mm_madd_epi16(_mm_unpackhi_epi8(o, zero), weights));
    const __m128i otherLuma =
        _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0))),
                      _mm_castps_si128(_mm_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1))));
    const __m128i centreProducts = _mm_madd_epi16(_mm_unpacklo_epi8(c, zero), weights);
    const __m128i centreLuma =
        _mm_add_epi32(centreProducts, _mm_shuffle_epi32(centreProducts, _MM_SHUFFLE(2, 3, 0, 1)));
    pairs.centre = c;
    pairs.others = o;
    pairs.luma = _mm_sub_epi32(centreLuma, otherLuma);
    return true;
}

// What the comparisons of W need beside it: "far", equality, the thresholds, and the lanes that
// stay undecided.
struct OpaqueThresholds {
    __m128i far;         // D >= 4s + 4, or s = 0
    __m128i equal;       // the other pixel equals the centre
    __m128i minusS;      // -100s in every lane
    __m128i plusS;       // 100s in every lane
    unsigned undecided;  // lanes whose answer needs the single-precision tests
};

inline OpaqueThresholds opaqueThresholds(const OpaqueCentreAgainstFour& pairs, A_long scaled)
{
    const __m128i zero = _mm_setzero_si128();
    // D: one pixel per 64-bit half, so that each sum of absolute differences is one pair's.
    const __m128i centreHalf = _mm_unpacklo_epi32(pairs.centre, zero);
    const __m128 sadLow =
        _mm_castsi128_ps(_mm_sad_epu8(_mm_unpacklo_epi32(pairs.others, zero), centreHalf));
    const __m128 sadHigh =
        _mm_castsi128_ps(_mm_sad_epu8(_mm_unpackhi_epi32(pairs.others, zero), centreHalf));
    const __m128i distance =
        _mm_castps_si128(_mm_shuffle_ps(sadLow, sadHigh, _MM_SHUFFLE(2, 0, 2, 0)));
    OpaqueThresholds t;
    t.far = scaled == 0 ? _mm_set1_epi32(-1)
                        : _mm_cmpgt_epi32(distance, _mm_set1_epi32(4 * scaled + 3));
    t.equal = _mm_cmpeq_epi32(pairs.others, pairs.centre);
    t.minusS = _mm_set1_epi32(-100 * scaled);
    t.plusS = _mm_set1_epi32(100 * scaled);
    const __m128i tie = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi32(pairs.luma, zero), _mm_cmpeq_epi32(pairs.luma, t.minusS)),
        _mm_cmpeq_epi32(pairs.luma, t.plusS));
    t.undecided =
        static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_andnot_si128(t.equal, tie))));
    return t;
}

inline unsigned laneBits(__m128i m) { return laneBits(_mm_castsi128_ps(m)); }

}  // namespace lanes
#endif

// Bit i set when others[i] differs from the centre in any channel: four comparisons as one.
template <typename Pixel>
inline unsigned unequalToCentre(const Pixel* centre, const Pixel* const (&others)[4])
{
#if TELVIX_PIXEL_LANES_SSE2
    using lanes::pixelBits;
    if constexpr (sizeof(Pixel) == 4) {
        const __m128i o = lanes::four8(pixelBits(others[0]), pixelBits(others[1]),
                                       pixelBits(others[2]), pixelBits(others[3]));
        const __m128i c = _mm_set1_epi32(static_cast<int>(pixelBits(centre)));
        return lanes::laneBits(_mm_cmpeq_epi32(o, c)) ^ 0xFu;
    } else {
        const __m128i c = _mm_set1_epi64x(static_cast<long long>(pixelBits(centre)));
        auto equalPair = [&c](const Pixel* a, const Pixel* b) {
            const __m128i halves = _mm_cmpeq_epi32(lanes::two16(pixelBits(a), pixelBits(b)), c);
            const __m128i whole =
                _mm_and_si128(halves, _mm_shuffle_epi32(halves, _MM_SHUFFLE(2, 3, 0, 1)));
            return static_cast<unsigned>(_mm_movemask_pd(_mm_castsi128_pd(whole)));
        };
        return (equalPair(others[0], others[1]) | (equalPair(others[2], others[3]) << 2)) ^ 0xFu;
    }
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
    const __m128i t = lanes::toleranceVector<Pixel>(tolerance);
    if constexpr (sizeof(Pixel) == 4) {
        return lanes::within8(lanes::four8(pixelBits(p0), pixelBits(p1), pixelBits(p2), 0),
                              lanes::four8(pixelBits(q0), pixelBits(q1), pixelBits(q2), 0), t) &
               7u;
    } else {
        // The third vector's second lane compares 0 with 0 and is dropped.
        const unsigned third =
            lanes::within16(lanes::two16(pixelBits(p2), 0), lanes::two16(pixelBits(q2), 0), t) & 1u;
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

// Bit i set when p[i] and q[i] are similar, for four pairs of present pixels. The tolerance must
// be one for which similarityLanesUsable holds.
template <typename Pixel>
inline unsigned similarQuad(const Pixel* p0, const Pixel* q0, const Pixel* p1, const Pixel* q1,
                            const Pixel* p2, const Pixel* q2, const Pixel* p3, const Pixel* q3,
                            A_long tolerance)
{
#if TELVIX_PIXEL_LANES_SSE2
    using lanes::pixelBits;
    const __m128i t = lanes::toleranceVector<Pixel>(tolerance);
    if constexpr (sizeof(Pixel) == 4) {
        return lanes::within8(
            lanes::four8(pixelBits(p0), pixelBits(p1), pixelBits(p2), pixelBits(p3)),
            lanes::four8(pixelBits(q0), pixelBits(q1), pixelBits(q2), pixelBits(q3)), t);
    } else {
        return lanes::within16(lanes::two16(pixelBits(p0), pixelBits(p1)),
                               lanes::two16(pixelBits(q0), pixelBits(q1)), t) |
               (lanes::within16(lanes::two16(pixelBits(p2), pixelBits(p3)),
                                lanes::two16(pixelBits(q2), pixelBits(q3)), t)
                << 2);
    }
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

// Side by side the tests reduce to comparisons of the luma difference L (centre minus other,
// premultiplied) and the colour distance D, exactly equivalent for s >= 0: signedContrast is
// max(|u|, max(trunc(D) / 4, 1)) with the sign of u = L rounded away from zero, negative for
// u = 0, and -L for the other order. For whole s >= 0, u > s exactly when L > s, u < -s when
// L < -s, u > 0 when L > 0, u <= 0 when L <= 0, and max(trunc(D) / 4, 1) > s when D >= 4s + 4 or
// s = 0 ("far"). So
//   centreDarker  = L < -s, or L <= 0 and far
//   centreLighter = L > s,  or L > 0 and far
//   otherLighter  = L < -s, or L < 0 and far.
// The four pixels must be present.
template <typename Pixel>
inline ContrastBits contrastWithFour(const Pixel* centre, const Pixel* const (&others)[4],
                                     A_long tolerance)
{
#if TELVIX_PIXEL_LANES_SSE2
    const A_long scaled = DepthTraits<Pixel>::scaledTolerance(tolerance);
    if (scaled >= 0) {
        using lanes::laneBits;
        if constexpr (sizeof(Pixel) == 4) {
            lanes::OpaqueCentreAgainstFour whole;
            if (lanes::opaqueCentreAgainstFour(centre, others, scaled, whole)) {
                const lanes::OpaqueThresholds t = lanes::opaqueThresholds(whole, scaled);
                if (t.undecided == 0) {
                    const __m128i negative = _mm_cmplt_epi32(whole.luma, _mm_setzero_si128());
                    const __m128i positive = _mm_cmpgt_epi32(whole.luma, _mm_setzero_si128());
                    const __m128i belowMinusS = _mm_cmplt_epi32(whole.luma, t.minusS);
                    ContrastBits result;
                    result.centreDarker = laneBits(_mm_or_si128(
                        belowMinusS, _mm_and_si128(_mm_or_si128(negative, t.equal), t.far)));
                    result.centreLighter = laneBits(_mm_or_si128(
                        _mm_cmpgt_epi32(whole.luma, t.plusS), _mm_and_si128(positive, t.far)));
                    result.otherLighter =
                        laneBits(_mm_or_si128(belowMinusS, _mm_and_si128(negative, t.far)));
                    return result;
                }
            }
        }
        const lanes::CentreAgainstFour pairs = lanes::centreAgainstFour(centre, others);
        const __m128 lumaDiff = pairs.lumaDiff;
        const __m128 far = lanes::far(lanes::distance(pairs.centre, pairs.others), scaled);
        const __m128 zero = _mm_setzero_ps();
        const __m128 belowMinusS = _mm_cmplt_ps(lumaDiff, _mm_set1_ps(static_cast<float>(-scaled)));
        const __m128 aboveS = _mm_cmpgt_ps(lumaDiff, _mm_set1_ps(static_cast<float>(scaled)));
        ContrastBits result;
        result.centreDarker =
            laneBits(_mm_or_ps(belowMinusS, _mm_and_ps(_mm_cmple_ps(lumaDiff, zero), far)));
        result.centreLighter =
            laneBits(_mm_or_ps(aboveS, _mm_and_ps(_mm_cmpgt_ps(lumaDiff, zero), far)));
        result.otherLighter =
            laneBits(_mm_or_ps(belowMinusS, _mm_and_ps(_mm_cmplt_ps(lumaDiff, zero), far)));
        return result;
    }
#endif
    return contrastWithFourScalar(centre, others[0], others[1], others[2], others[3], tolerance);
}

// blendPixels with the four channels side by side: the same single-precision products and sum
// per channel, in the same order, and the same clamp (maxps and minps select exactly as
// clampChannel does, a NaN included). The alpha lane carries the combined alpha itself.
template <typename Pixel>
inline void blendPixelsSideBySide(const Pixel* p1, float w1, const Pixel* p2, float w2, Pixel* out)
{
#if TELVIX_PIXEL_LANES_SSE2
    using lanes::pixelBits;
    const std::uint64_t bits1 = pixelBits(p1);
    const std::uint64_t bits2 = pixelBits(p2);
    const __m128i zero = _mm_setzero_si128();
    // The channels alpha, red, green, blue as 32-bit integer lanes.
    auto channels = [zero](std::uint64_t bits) {
        if constexpr (sizeof(Pixel) == 4) {
            const __m128i v = _mm_cvtsi32_si128(static_cast<int>(bits));
            return _mm_unpacklo_epi16(_mm_unpacklo_epi8(v, zero), zero);
        } else {
            return _mm_unpacklo_epi16(_mm_cvtsi64_si128(static_cast<long long>(bits)), zero);
        }
    };
    const __m128 c1 = _mm_cvtepi32_ps(channels(bits1));
    const __m128 c2 = _mm_cvtepi32_ps(channels(bits2));
    const float alpha1 = _mm_cvtss_f32(c1);
    const float alpha2 = _mm_cvtss_f32(c2);
    const float combined = clampChannel<Pixel>(alpha1 * w1 + alpha2 * w2);
    const float k = 1.0f / combined;  // infinite for a fully transparent result
    const __m128 mixed =
        _mm_mul_ps(_mm_add_ps(_mm_mul_ps(_mm_mul_ps(c2, _mm_set1_ps(w2)), _mm_set1_ps(alpha2)),
                              _mm_mul_ps(_mm_mul_ps(c1, _mm_set1_ps(w1)), _mm_set1_ps(alpha1))),
                   _mm_set1_ps(k));
    const __m128 clamped = _mm_min_ps(_mm_max_ps(mixed, _mm_setzero_ps()),
                                      _mm_set1_ps(DepthTraits<Pixel>::clampLimit));
    const __m128i whole = _mm_cvttps_epi32(_mm_move_ss(clamped, _mm_set_ss(combined)));
    if constexpr (sizeof(Pixel) == 4) {
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(whole, zero), zero);
        const std::uint32_t result = static_cast<std::uint32_t>(_mm_cvtsi128_si32(bytes));
        std::memcpy(out, &result, sizeof(result));
    } else {
        // 0..32768 does not fit a signed 16-bit pack: shift the range down by 32768 and back.
        const __m128i bias = _mm_set1_epi32(32768);
        const __m128i packed = _mm_packs_epi32(_mm_sub_epi32(whole, bias), zero);
        const __m128i words = _mm_xor_si128(packed, _mm_set1_epi16(static_cast<short>(0x8000)));
        const long long result = _mm_cvtsi128_si64(words);
        std::memcpy(out, &result, sizeof(result));
    }
#else
    blendPixels(p1, w1, p2, w2, out);
#endif
}

// Bit i set when the centre is darker than others[i] by more than the scaled tolerance; the
// same conditions as contrastWithFour, answered for the bits of `wanted` only (the others are
// 0). Darker needs L <= 0, so when no wanted lane has it the distances are not formed.
template <typename Pixel>
inline unsigned darkerThanFour(const Pixel* centre, const Pixel* const (&others)[4],
                               A_long tolerance, unsigned wanted = 0xFu)
{
#if TELVIX_PIXEL_LANES_SSE2
    const A_long scaled = DepthTraits<Pixel>::scaledTolerance(tolerance);
    if (scaled >= 0) {
        if constexpr (sizeof(Pixel) == 4) {
            lanes::OpaqueCentreAgainstFour whole;
            if (lanes::opaqueCentreAgainstFour(centre, others, scaled, whole)) {
                // W > 0 means L > 0: no darker lane. Most lighter sides of an edge end here.
                const unsigned positive =
                    lanes::laneBits(_mm_cmpgt_epi32(whole.luma, _mm_setzero_si128()));
                if ((wanted & ~positive) == 0) {
                    return 0;
                }
                const lanes::OpaqueThresholds t = lanes::opaqueThresholds(whole, scaled);
                if ((t.undecided & wanted) == 0) {
                    const __m128i notLighter =
                        _mm_or_si128(_mm_cmplt_epi32(whole.luma, _mm_setzero_si128()), t.equal);
                    return lanes::laneBits(_mm_or_si128(_mm_cmplt_epi32(whole.luma, t.minusS),
                                                        _mm_and_si128(notLighter, t.far))) &
                           wanted;
                }
            }
        }
        const lanes::CentreAgainstFour pairs = lanes::centreAgainstFour(centre, others);
        const __m128 lumaDiff = pairs.lumaDiff;
        const __m128 notLighter = _mm_cmple_ps(lumaDiff, _mm_setzero_ps());
        if ((lanes::laneBits(notLighter) & wanted) == 0) {
            return 0;
        }
        const __m128 far = lanes::far(lanes::distance(pairs.centre, pairs.others), scaled);
        const __m128 belowMinusS = _mm_cmplt_ps(lumaDiff, _mm_set1_ps(static_cast<float>(-scaled)));
        return lanes::laneBits(_mm_or_ps(belowMinusS, _mm_and_ps(notLighter, far))) & wanted;
    }
#endif
    return contrastWithFour(centre, others, tolerance).centreDarker & wanted;
}

}  // namespace telvix
