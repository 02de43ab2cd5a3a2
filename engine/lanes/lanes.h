// SSE2 wrappers for the engine's side-by-side pixel code: pixels loaded into the lanes of a
// 128-bit vector in their depth's layout, lanes compared channel by channel, channels unpacked to
// 32-bit lanes and packed back, lane masks read as bits. SSE2 on x86-64 (both the Linux and the
// Windows build). Other targets get only similarityLanesUsable (always false) and prefetchLine
// (nothing), and their callers use the scalar primitives.
#pragma once

#include <cstdint>
#include <cstring>

// TELVIX_FORCE_SCALAR_LANES (the build option TELVIX_SCALAR_LANES) takes the scalar path on x86-64
// too, so that the fall-backs are built and tested where the lanes are normally used.
#if (defined(__SSE2__) || defined(_M_X64)) && !defined(TELVIX_FORCE_SCALAR_LANES)
#include <emmintrin.h>
#define TELVIX_PIXEL_LANES_SSE2 1
#endif

#include "depth_traits.h"
#include "telvix_params.h"

namespace telvix {

// Over the control's whole range the scaled tolerance is a channel value at both depths, so it
// fits a channel lane and no difference saturates falsely.
static_assert(kSmoothRangeMin == 0 &&
                  DepthTraits<PF_Pixel8>::scaledTolerance(kSmoothRangeMax) <=
                      DepthTraits<PF_Pixel8>::channelMax &&
                  DepthTraits<PF_Pixel16>::scaledTolerance(kSmoothRangeMax) <=
                      DepthTraits<PF_Pixel16>::channelMax,
              "the tolerance fits a channel lane");

// True when the lanes may be used: the tolerance lies in the control's range, to which the render
// clamps it.
inline bool similarityLanesUsable(A_long tolerance)
{
#if TELVIX_PIXEL_LANES_SSE2
    return tolerance >= kSmoothRangeMin && tolerance <= kSmoothRangeMax;
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
    // The integer-to-pointer cast is the point: see above.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    _mm_prefetch(reinterpret_cast<const char*>(at), _MM_HINT_T0);
#endif
}

#if TELVIX_PIXEL_LANES_SSE2
namespace lanes {

// A pixel's four channels as its machine word (DepthTraits::Word), widened to 64 bits.
template <typename Pixel>
inline std::uint64_t pixelBits(const Pixel* p)
{
    typename DepthTraits<Pixel>::Word bits;
    std::memcpy(&bits, p, sizeof(bits));
    return bits;
}

// Bit i set when 32-bit lane i of a mask is set.
inline unsigned laneBits(__m128 m) { return static_cast<unsigned>(_mm_movemask_ps(m)); }
inline unsigned laneBits(__m128i m) { return laneBits(_mm_castsi128_ps(m)); }

// Four pixels' channels, each channel in four 32-bit integer lanes, one lane per pixel.
struct Channels {
    __m128i alpha, red, green, blue;
};

// How a depth's pixels fill a vector (DepthTraits::pixelsPerVector), with every operation the
// side-by-side code needs written once per layout. Pixels come as their words (pixelBits).
template <int kPixelsPerVector>
struct Layout;

// 8-bit: four pixels per vector, a byte per channel.
template <>
struct Layout<4> {
    static __m128i four(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t d)
    {
        return _mm_setr_epi32(static_cast<int>(a), static_cast<int>(b), static_cast<int>(c),
                              static_cast<int>(d));
    }

    // The scaled tolerance in every channel.
    static __m128i toleranceVector(A_long scaled)
    {
        return _mm_set1_epi8(static_cast<char>(scaled));
    }

    // Bit i set when every channel of p[i] and q[i] differs by at most t.
    static unsigned similarFour(const std::uint64_t (&p)[4], const std::uint64_t (&q)[4], __m128i t)
    {
        const __m128i a = four(p[0], p[1], p[2], p[3]);
        const __m128i b = four(q[0], q[1], q[2], q[3]);
        const __m128i diff = _mm_or_si128(_mm_subs_epu8(a, b), _mm_subs_epu8(b, a));
        const __m128i within = _mm_cmpeq_epi8(_mm_subs_epu8(diff, t), _mm_setzero_si128());
        return laneBits(_mm_cmpeq_epi32(within, _mm_set1_epi32(-1)));
    }

    // Bit i set when o[i] differs from c in any channel.
    static unsigned unequalFour(const std::uint64_t (&o)[4], std::uint64_t c)
    {
        const __m128i others = four(o[0], o[1], o[2], o[3]);
        return laneBits(_mm_cmpeq_epi32(others, _mm_set1_epi32(static_cast<int>(c)))) ^ 0xFu;
    }

    static Channels channelsOfFour(const std::uint64_t (&p)[4])
    {
        const __m128i v = four(p[0], p[1], p[2], p[3]);
        const __m128i byte = _mm_set1_epi32(0xFF);
        return Channels{_mm_and_si128(v, byte), _mm_and_si128(_mm_srli_epi32(v, 8), byte),
                        _mm_and_si128(_mm_srli_epi32(v, 16), byte), _mm_srli_epi32(v, 24)};
    }

    // One pixel's channels alpha, red, green, blue in the four 32-bit lanes.
    static __m128i channelsOfOne(std::uint64_t bits)
    {
        const __m128i zero = _mm_setzero_si128();
        const __m128i v = _mm_cvtsi32_si128(static_cast<int>(bits));
        return _mm_unpacklo_epi16(_mm_unpacklo_epi8(v, zero), zero);
    }

    // The inverse: channel values 0..255 in the four 32-bit lanes written as one pixel.
    static void storeChannels(__m128i channels, void* out)
    {
        const __m128i zero = _mm_setzero_si128();
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(channels, zero), zero);
        const std::uint32_t result = static_cast<std::uint32_t>(_mm_cvtsi128_si32(bytes));
        std::memcpy(out, &result, sizeof(result));
    }
};

// 16-bit: two pixels per vector, a 16-bit word per channel.
template <>
struct Layout<2> {
    static __m128i two(std::uint64_t a, std::uint64_t b)
    {
        return _mm_set_epi64x(static_cast<long long>(b), static_cast<long long>(a));
    }

    static __m128i toleranceVector(A_long scaled)
    {
        return _mm_set1_epi16(static_cast<short>(scaled));
    }

    static unsigned similarFour(const std::uint64_t (&p)[4], const std::uint64_t (&q)[4], __m128i t)
    {
        return similarTwo(two(p[0], p[1]), two(q[0], q[1]), t) |
               (similarTwo(two(p[2], p[3]), two(q[2], q[3]), t) << 2);
    }

    static unsigned unequalFour(const std::uint64_t (&o)[4], std::uint64_t c)
    {
        const __m128i centre = _mm_set1_epi64x(static_cast<long long>(c));
        auto equalTwo = [&centre](std::uint64_t a, std::uint64_t b) {
            const __m128i halves = _mm_cmpeq_epi32(two(a, b), centre);
            const __m128i whole =
                _mm_and_si128(halves, _mm_shuffle_epi32(halves, _MM_SHUFFLE(2, 3, 0, 1)));
            return static_cast<unsigned>(_mm_movemask_pd(_mm_castsi128_pd(whole)));
        };
        return (equalTwo(o[0], o[1]) | (equalTwo(o[2], o[3]) << 2)) ^ 0xFu;
    }

    static Channels channelsOfFour(const std::uint64_t (&p)[4])
    {
        const __m128i v01 = two(p[0], p[1]);
        const __m128i v23 = two(p[2], p[3]);
        const __m128i t0 = _mm_unpacklo_epi16(v01, v23);  // a0 a2 r0 r2 g0 g2 b0 b2
        const __m128i t1 = _mm_unpackhi_epi16(v01, v23);  // a1 a3 r1 r3 g1 g3 b1 b3
        const __m128i ar = _mm_unpacklo_epi16(t0, t1);    // a0 a1 a2 a3 r0 r1 r2 r3
        const __m128i gb = _mm_unpackhi_epi16(t0, t1);    // g0 g1 g2 g3 b0 b1 b2 b3
        const __m128i zero = _mm_setzero_si128();
        return Channels{_mm_unpacklo_epi16(ar, zero), _mm_unpackhi_epi16(ar, zero),
                        _mm_unpacklo_epi16(gb, zero), _mm_unpackhi_epi16(gb, zero)};
    }

    static __m128i channelsOfOne(std::uint64_t bits)
    {
        return _mm_unpacklo_epi16(_mm_cvtsi64_si128(static_cast<long long>(bits)),
                                  _mm_setzero_si128());
    }

    // Channel values 0..32768, which do not fit a signed 16-bit pack: the range is shifted down
    // by 32768 and back.
    static void storeChannels(__m128i channels, void* out)
    {
        const __m128i bias = _mm_set1_epi32(32768);
        const __m128i packed = _mm_packs_epi32(_mm_sub_epi32(channels, bias), _mm_setzero_si128());
        const __m128i words = _mm_xor_si128(packed, _mm_set1_epi16(static_cast<short>(0x8000)));
        const long long result = _mm_cvtsi128_si64(words);
        std::memcpy(out, &result, sizeof(result));
    }

private:
    // Bits 0 and 1: pixel 0 and pixel 1 of p and q are similar.
    static unsigned similarTwo(__m128i p, __m128i q, __m128i t)
    {
        const __m128i diff = _mm_or_si128(_mm_subs_epu16(p, q), _mm_subs_epu16(q, p));
        const __m128i within = _mm_cmpeq_epi16(_mm_subs_epu16(diff, t), _mm_setzero_si128());
        const unsigned bytes = static_cast<unsigned>(_mm_movemask_epi8(within));
        return ((bytes & 0xFFu) == 0xFFu ? 1u : 0u) | ((bytes >> 8) == 0xFFu ? 2u : 0u);
    }
};

// The layout of Pixel's depth, as its DepthTraits give it.
template <typename Pixel>
using LanesOf = Layout<DepthTraits<Pixel>::pixelsPerVector>;

// The tolerance, scaled to the depth, in every channel of a vector.
template <typename Pixel>
inline __m128i toleranceVector(A_long tolerance)
{
    return LanesOf<Pixel>::toleranceVector(DepthTraits<Pixel>::scaledTolerance(tolerance));
}

}  // namespace lanes
#endif

}  // namespace telvix
