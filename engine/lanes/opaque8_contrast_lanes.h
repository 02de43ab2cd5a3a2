// The contrast of a centre with four other pixels in whole numbers, for 8-bit pixels that are all
// opaque, as cel frames mostly are; lanes/comparison_lanes.h asks it first and falls back to single
// precision where it cannot answer.
//
// At full alpha the premultiplied channels are the channels themselves (255 times the normaliser
// is exactly 1), so the colour distance D is the whole sum of the channel differences. The luma
// difference L lies within 1e-4 of W / 100, with W the luma weights' hundredths applied to the
// channel differences, 30 dr + 59 dg + 11 db (centre minus other): each luma takes five roundings
// of values below 256 (under 8e-6 each), the difference one more, and the weights' fractions lie
// within 3e-8 of their hundredths / 100 (times differences up to 255). So L compares with 0 and
// with -s and s exactly as W does with 0, -100s and 100s, except where W equals one of them: such
// a lane is undecided, unless its two pixels are equal (L is then exactly 0), and the caller
// answers it with the single-precision tests. Used for s up to 255, the render's range, so that
// 100s and 4s + 4 stay small.
#pragma once

#include "lanes/lanes.h"
#include "pixel_primitives.h"

namespace telvix {

#if TELVIX_PIXEL_LANES_SSE2
namespace lanes {

static_assert(255.0f * DepthTraits<PF_Pixel8>::alphaNormaliser == 1.0f,
              "full alpha leaves 8-bit channels unscaled");
static_assert(DepthTraits<PF_Pixel8>::wholeNumberContrast &&
                  DepthTraits<PF_Pixel8>::pixelsPerVector == 4,
              "four 8-bit pixels, one per 32-bit lane");
static_assert(DepthTraits<PF_Pixel8>::scaledTolerance(kSmoothRangeMax) == kSmoothRangeMax,
              "8-bit tolerances are not scaled");

struct OpaqueCentreAgainstFour {
    __m128i centre;  // the centre's bits in every lane
    __m128i others;  // one other pixel's bits per lane
    __m128i luma;    // W, one lane per other pixel
};

// W for the four pairs; false, with `pairs` unfilled, when a pixel is not opaque or the scaled
// tolerance lies outside the control's range (8-bit tolerances are not scaled).
inline bool opaqueCentreAgainstFour(const PF_Pixel8* centre, const PF_Pixel8* const (&others)[4],
                                    A_long scaled, OpaqueCentreAgainstFour& pairs)
{
    if (scaled < kSmoothRangeMin || scaled > kSmoothRangeMax) {
        return false;
    }
    const __m128i o = Layout<4>::four(pixelBits(others[0]), pixelBits(others[1]),
                                      pixelBits(others[2]), pixelBits(others[3]));
    const __m128i c = _mm_set1_epi32(static_cast<int>(pixelBits(centre)));
    const __m128i alphaByte = _mm_set1_epi32(0xFF);
    const __m128i opaque =
        _mm_cmpeq_epi32(_mm_and_si128(_mm_and_si128(o, c), alphaByte), alphaByte);
    if (laneBits(opaque) != 0xF) {
        return false;
    }
    const __m128i zero = _mm_setzero_si128();
    // Channels alpha, red, green, blue as 16-bit words; each pair of products summed per pixel.
    const short red = static_cast<short>(kLuma.red.hundredths);
    const short green = static_cast<short>(kLuma.green.hundredths);
    const short blue = static_cast<short>(kLuma.blue.hundredths);
    const __m128i weights = _mm_setr_epi16(0, red, green, blue, 0, red, green, blue);
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

// What the comparisons of W need beside it: "far apart", equality, the thresholds, and the lanes
// that stay undecided.
struct OpaqueThresholds {
    __m128i farApart;    // D >= 4s + 4, or s = 0
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
    t.farApart = scaled == 0 ? _mm_set1_epi32(-1)
                             : _mm_cmpgt_epi32(distance, _mm_set1_epi32(4 * scaled + 3));
    t.equal = _mm_cmpeq_epi32(pairs.others, pairs.centre);
    t.minusS = _mm_set1_epi32(-kLumaWhole * scaled);
    t.plusS = _mm_set1_epi32(kLumaWhole * scaled);
    const __m128i tie = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi32(pairs.luma, zero), _mm_cmpeq_epi32(pairs.luma, t.minusS)),
        _mm_cmpeq_epi32(pairs.luma, t.plusS));
    t.undecided = laneBits(_mm_andnot_si128(t.equal, tie));
    return t;
}

}  // namespace lanes
#endif

}  // namespace telvix
