// blendPixels with the four channels of a pixel side by side in one vector (lanes/lanes.h); other
// targets use blendPixels itself.
#pragma once

#include <cstdint>

#include "lanes/lanes.h"
#include "pixel_primitives.h"

namespace telvix {

// The same single-precision products and sum per channel as blendPixels, in the same order, and
// the same clamp (maxps and minps select exactly as clampChannel does, a NaN included). The alpha
// lane carries the combined alpha itself.
template <typename Pixel>
inline void blendPixelsSideBySide(const Pixel* p1, float w1, const Pixel* p2, float w2, Pixel* out)
{
#if TELVIX_PIXEL_LANES_SSE2
    using Lanes = lanes::LanesOf<Pixel>;
    // The channels alpha, red, green, blue as 32-bit lanes.
    const __m128 c1 = _mm_cvtepi32_ps(Lanes::channelsOfOne(lanes::pixelBits(p1)));
    const __m128 c2 = _mm_cvtepi32_ps(Lanes::channelsOfOne(lanes::pixelBits(p2)));
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
    Lanes::storeChannels(_mm_cvttps_epi32(_mm_move_ss(clamped, _mm_set_ss(combined))), out);
#else
    blendPixels(p1, w1, p2, w2, out);
#endif
}

}  // namespace telvix
