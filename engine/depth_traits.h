// DepthTraits: the only place that knows what differs between the 8-bit and 16-bit pixel paths.
#pragma once

#include <cstddef>
#include <cstdint>

#include "A.h"
#include "AE_Effect.h"
#include "telvix_params.h"

namespace telvix {

template <typename Pixel>
struct DepthTraits;

template <>
struct DepthTraits<PF_Pixel8> {
    using Channel = A_u_char;
    static constexpr int channelMax = PF_MAX_CHAN8;
    static constexpr float clampLimit = static_cast<float>(channelMax);
    // The single-precision value nearest to 1/255; turns an alpha into a 0..1 weight.
    static constexpr float alphaNormaliser = 0.003921569f;
    // The user's tolerance is given in 8-bit units.
    static constexpr A_long scaledTolerance(A_long tolerance) { return tolerance; }
    // An 8-bit channel value (the key colour's) in this depth's range.
    static constexpr Channel fromEightBit(A_u_char c) { return c; }
    // Lane layout: a pixel is one 32-bit word, and four of them fill a 128-bit vector.
    using Word = std::uint32_t;
    static constexpr int pixelsPerVector = 4;
    // Opaque pixels of this depth have the exact whole-number contrast
    // (lanes/opaque8_contrast_lanes.h).
    static constexpr bool wholeNumberContrast = true;
};

template <>
struct DepthTraits<PF_Pixel16> {
    using Channel = A_u_short;
    static constexpr int channelMax = PF_MAX_CHAN16;  // the host's 16-bit white
    static constexpr float clampLimit = static_cast<float>(channelMax);
    static constexpr float alphaNormaliser = 1.0f / 32768.0f;  // exactly 2^-15
    // 8-bit tolerance units widened by a shift, so 255 becomes 32640, not 32768.
    static constexpr A_long scaledTolerance(A_long tolerance) { return tolerance << 7; }
    static constexpr Channel fromEightBit(A_u_char c) { return widen8To16(c); }
    // Lane layout: a pixel is one 64-bit word, and two of them fill a 128-bit vector.
    using Word = std::uint64_t;
    static constexpr int pixelsPerVector = 2;
    static constexpr bool wholeNumberContrast = false;
};

static_assert(DepthTraits<PF_Pixel8>::alphaNormaliser == 1.0f / 255.0f,
              "the 8-bit normaliser is 1/255 rounded once to single precision");
static_assert(sizeof(PF_Pixel8) == sizeof(DepthTraits<PF_Pixel8>::Word) &&
                  sizeof(PF_Pixel16) == sizeof(DepthTraits<PF_Pixel16>::Word),
              "a pixel is one machine word, four channels without padding");
static_assert(DepthTraits<PF_Pixel8>::pixelsPerVector * sizeof(PF_Pixel8) == 16 &&
                  DepthTraits<PF_Pixel16>::pixelsPerVector * sizeof(PF_Pixel16) == 16,
              "a vector of 128 bits");
static_assert(offsetof(PF_Pixel8, alpha) == 0 && offsetof(PF_Pixel8, red) == 1 &&
                  offsetof(PF_Pixel8, green) == 2 && offsetof(PF_Pixel8, blue) == 3,
              "8-bit channel order alpha, red, green, blue");
static_assert(offsetof(PF_Pixel16, alpha) == 0 && offsetof(PF_Pixel16, red) == 2 &&
                  offsetof(PF_Pixel16, green) == 4 && offsetof(PF_Pixel16, blue) == 6,
              "16-bit channel order alpha, red, green, blue");
static_assert(sizeof(DepthTraits<PF_Pixel8>::Channel) == 1 &&
                  sizeof(DepthTraits<PF_Pixel16>::Channel) == 2,
              "channel widths");

}  // namespace telvix
