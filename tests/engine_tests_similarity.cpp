// The centre's similarity mask: the side-by-side form for interior pixels agrees with
// pixelsSimilar entry by entry, at both depths and across the tolerance range.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "edge_classifier.h"
#include "pixel_art.h"

namespace telvix {
namespace {

template <typename Pixel>
class SimilarityMaskTest : public ::testing::Test {
};
TYPED_TEST_SUITE(SimilarityMaskTest, test::Depths);

template <typename Pixel>
Neighbourhood<Pixel> neighbourhoodOf(const std::array<Pixel, 9>& pixels)
{
    Neighbourhood<Pixel> n;
    for (std::size_t i = 0; i < 9; ++i) {
        n.entries[i] = &pixels[i];
    }
    return n;
}

TYPED_TEST(SimilarityMaskTest, DifferencesAtAndJustOverTheToleranceInEachChannel)
{
    using Pixel = TypeParam;
    using Channel = typename DepthTraits<Pixel>::Channel;
    constexpr A_long kTolerance = 6;
    const A_long t = DepthTraits<Pixel>::scaledTolerance(kTolerance);
    const A_long top = DepthTraits<Pixel>::channelMax;
    std::array<Pixel, 9> pixels{};
    pixels.fill(Pixel{static_cast<Channel>(top), static_cast<Channel>(top / 2),
                      static_cast<Channel>(t), static_cast<Channel>(top - t)});
    // Entries 0, 2, 6, 8 differ by exactly t (similar), 1, 3, 5, 7 by t + 1 (not), each in
    // another channel and in both signs.
    pixels[0].alpha = static_cast<Channel>(top - t);
    pixels[1].alpha = static_cast<Channel>(top - t - 1);
    pixels[2].red = static_cast<Channel>(top / 2 + t);
    pixels[3].red = static_cast<Channel>(top / 2 - t - 1);
    pixels[5].green = static_cast<Channel>(2 * t + 1);
    pixels[6].green = 0;
    pixels[7].blue = static_cast<Channel>(top - 2 * t - 1);
    pixels[8].blue = static_cast<Channel>(top);
    const auto n = neighbourhoodOf(pixels);
    const SimilarityMask expected = (1u << 0) | (1u << 2) | (1u << 6) | (1u << 8);
    EXPECT_EQ(similarityMask(n, kTolerance), expected);
    EXPECT_EQ(similarityMaskInterior(n, kTolerance), expected);
    EXPECT_EQ(similarityMaskInterior(n, 0), 0u);
}

TYPED_TEST(SimilarityMaskTest, InteriorFormAgreesWithPixelsSimilarOnVariedPixels)
{
    using Pixel = TypeParam;
    using Channel = typename DepthTraits<Pixel>::Channel;
    const std::uint32_t top = static_cast<std::uint32_t>(DepthTraits<Pixel>::channelMax);
    std::uint32_t state = 12345u;
    auto next = [&state]() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    for (int round = 0; round < 4000; ++round) {
        std::array<Pixel, 9> pixels{};
        const Channel base[4] = {static_cast<Channel>(next() % (top + 1)),
                                 static_cast<Channel>(next() % (top + 1)),
                                 static_cast<Channel>(next() % (top + 1)),
                                 static_cast<Channel>(next() % (top + 1))};
        // Neighbours near the centre in every channel, so that all outcomes occur; some equal.
        const std::uint32_t narrow =
            static_cast<std::uint32_t>(2 * DepthTraits<Pixel>::scaledTolerance(8) + 1);
        const std::uint32_t spread = (round % 3 == 0) ? top + 1 : narrow;
        for (auto& p : pixels) {
            Channel* channels[4] = {&p.alpha, &p.red, &p.green, &p.blue};
            for (int c = 0; c < 4; ++c) {
                const std::int64_t v = static_cast<std::int64_t>(base[c]) +
                                       static_cast<std::int64_t>(next() % spread) -
                                       static_cast<std::int64_t>(spread / 2);
                *channels[c] = static_cast<Channel>(v < 0 ? 0 : (v > std::int64_t{top} ? top : v));
            }
            if (next() % 4 == 0) {
                p = Pixel{base[0], base[1], base[2], base[3]};
            }
        }
        pixels[4] = Pixel{base[0], base[1], base[2], base[3]};
        const auto n = neighbourhoodOf(pixels);
        for (A_long tolerance : {0, 1, 6, 8, 127, 255}) {
            ASSERT_EQ(similarityMaskInterior(n, tolerance), similarityMask(n, tolerance))
                << "round " << round << " tolerance " << tolerance;
        }
    }
}

TYPED_TEST(SimilarityMaskTest, AbsentEntriesAreSimilarToNothing)
{
    using Pixel = TypeParam;
    std::array<Pixel, 9> pixels{};
    auto n = neighbourhoodOf(pixels);
    n.entries[0] = nullptr;
    n.entries[5] = nullptr;
    EXPECT_EQ(similarityMask(n, 0), 0x1EFu & ~(1u << 0) & ~(1u << 5) & ~(1u << 4));
}

}  // namespace
}  // namespace telvix
