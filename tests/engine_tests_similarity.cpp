// Pixel tests side by side: the centre's similarity mask for interior pixels, the trace's three
// similarities, the centre's contrast with four pixels and the four-channel blend agree with the
// scalar primitives pixel by pixel, at both depths and across the tolerance range; the contrast's
// parts read both ways give signedContrast in both orders.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "edge_classifier.h"
#include "frame_makers.h"
#include "lanes/blend_lanes.h"
#include "lanes/comparison_lanes.h"
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

// Neighbourhoods of pixels near a random centre in every channel, so that every outcome of
// every test occurs; some entries equal the centre, and every third neighbourhood spreads over
// the whole channel range.
template <typename Pixel>
class VariedNeighbourhoods {
public:
    using Channel = typename DepthTraits<Pixel>::Channel;

    std::array<Pixel, 9> next(int round)
    {
        const std::uint32_t top = static_cast<std::uint32_t>(DepthTraits<Pixel>::channelMax);
        std::array<Pixel, 9> pixels{};
        const Channel base[4] = {channel(top), channel(top), channel(top), channel(top)};
        const std::uint32_t narrow =
            static_cast<std::uint32_t>(2 * DepthTraits<Pixel>::scaledTolerance(8) + 1);
        const std::uint32_t spread = (round % 3 == 0) ? top + 1 : narrow;
        for (auto& p : pixels) {
            Channel* channels[4] = {&p.alpha, &p.red, &p.green, &p.blue};
            for (int c = 0; c < 4; ++c) {
                const std::int64_t v = static_cast<std::int64_t>(base[c]) +
                                       static_cast<std::int64_t>(random() % spread) -
                                       static_cast<std::int64_t>(spread / 2);
                *channels[c] = static_cast<Channel>(v < 0 ? 0 : (v > std::int64_t{top} ? top : v));
            }
            if (random() % 4 == 0) {
                p = Pixel{base[0], base[1], base[2], base[3]};
            }
        }
        pixels[4] = Pixel{base[0], base[1], base[2], base[3]};
        return pixels;
    }

private:
    std::uint32_t random() { return rng_.next(); }
    Channel channel(std::uint32_t top) { return static_cast<Channel>(random() % (top + 1)); }

    test::Lcg rng_{12345u};
};

constexpr A_long kTolerances[] = {0, 1, 6, 8, 127, 255};
// The contrast tests also take a negative tolerance, which they answer in their scalar form.
constexpr A_long kContrastTolerances[] = {0, 1, 6, 8, 127, 255, -3};

TYPED_TEST(SimilarityMaskTest, InteriorFormAgreesWithPixelsSimilarOnVariedPixels)
{
    using Pixel = TypeParam;
    VariedNeighbourhoods<Pixel> varied;
    for (int round = 0; round < 4000; ++round) {
        const std::array<Pixel, 9> pixels = varied.next(round);
        const auto n = neighbourhoodOf(pixels);
        for (A_long tolerance : kTolerances) {
            ASSERT_EQ(similarityMaskInterior(n, tolerance), similarityMask(n, tolerance))
                << "round " << round << " tolerance " << tolerance;
        }
    }
}

TYPED_TEST(SimilarityMaskTest, ThreeAndFourPairsAtOnceAgreeWithPixelsSimilar)
{
    using Pixel = TypeParam;
    VariedNeighbourhoods<Pixel> varied;
    for (int round = 0; round < 4000; ++round) {
        const std::array<Pixel, 9> p = varied.next(round);
        for (A_long tolerance : kTolerances) {
            const unsigned expected = (pixelsSimilar(&p[0], &p[4], tolerance) ? 1u : 0u) |
                                      (pixelsSimilar(&p[1], &p[2], tolerance) ? 2u : 0u) |
                                      (pixelsSimilar(&p[4], &p[8], tolerance) ? 4u : 0u);
            ASSERT_EQ(similarTriple(&p[0], &p[4], &p[1], &p[2], &p[4], &p[8], tolerance), expected)
                << "round " << round << " tolerance " << tolerance;
            const unsigned fourth = pixelsSimilar(&p[3], &p[6], tolerance) ? 8u : 0u;
            ASSERT_EQ(
                similarQuad(&p[0], &p[4], &p[1], &p[2], &p[4], &p[8], &p[3], &p[6], tolerance),
                expected | fourth)
                << "round " << round << " tolerance " << tolerance;
        }
    }
}

TYPED_TEST(SimilarityMaskTest, FourContrastTestsAtOnceAgreeWithSignedContrast)
{
    using Pixel = TypeParam;
    VariedNeighbourhoods<Pixel> varied;
    int darkerSeen = 0;
    int lighterSeen = 0;
    for (int round = 0; round < 4000; ++round) {
        const std::array<Pixel, 9> p = varied.next(round);
        const Pixel* const others[4] = {&p[5], &p[3], &p[1], &p[7]};
        for (A_long tolerance : kContrastTolerances) {
            ContrastBits expected;
            unsigned unequal = 0;
            for (unsigned i = 0; i < 4; ++i) {
                const unsigned bit = 1u << i;
                if (pixelsEqual(others[i], &p[4])) {
                    continue;  // the caller's to clear: contrast 0 is darker than -s for s < 0
                }
                unequal |= bit;
                expected.centreDarker |= isDarker(&p[4], others[i], tolerance) ? bit : 0u;
                expected.centreLighter |= isBrighter(&p[4], others[i], tolerance) ? bit : 0u;
                expected.otherLighter |= isBrighter(others[i], &p[4], tolerance) ? bit : 0u;
            }
            darkerSeen += expected.centreDarker != 0 ? 1 : 0;
            lighterSeen += expected.centreLighter != 0 ? 1 : 0;
            ASSERT_EQ(unequalToCentre(&p[4], others), unequal) << "round " << round;
            const ContrastBits bits = contrastWithFour(&p[4], others, tolerance);
            ASSERT_EQ(bits.centreDarker & unequal, expected.centreDarker)
                << "round " << round << " tolerance " << tolerance;
            ASSERT_EQ(bits.centreLighter & unequal, expected.centreLighter)
                << "round " << round << " tolerance " << tolerance;
            ASSERT_EQ(bits.otherLighter & unequal, expected.otherLighter)
                << "round " << round << " tolerance " << tolerance;
            ASSERT_EQ(darkerThanFour(&p[4], others, tolerance), bits.centreDarker);
            const unsigned wanted = static_cast<unsigned>(round) % 16u;
            ASSERT_EQ(darkerThanFour(&p[4], others, tolerance, wanted), bits.centreDarker & wanted);
        }
    }
    EXPECT_GT(darkerSeen, 1000);
    EXPECT_GT(lighterSeen, 1000);
}

// Opaque 8-bit pixels take the contrast tests in whole numbers, on W = 30 dr + 59 dg + 11 db
// against 0 and +-100s. Pixels are drawn so that W lands on and right beside those thresholds,
// where single precision decides, and far from them; every tolerance is tried.
TEST(OpaqueContrastTest, WholeNumberTestsAgreeWithSignedContrastAtAndBesideTheThresholds)
{
    test::Lcg rng(2024u);
    auto random = [&rng](std::uint32_t range) { return static_cast<int>(rng.next() % range); };
    // An opaque pixel whose W against `centre` is `target`, or the centre itself if none is found.
    auto withLuma = [&](const PF_Pixel8& centre, int target) {
        for (int attempt = 0; attempt < 4000; ++attempt) {
            const int red = random(256);
            const int green = random(256);
            const int rest = target - 30 * (centre.red - red) - 59 * (centre.green - green);
            if (rest % 11 != 0) {
                continue;
            }
            const int blue = centre.blue - rest / 11;
            if (blue >= 0 && blue <= 255) {
                return PF_Pixel8{255, static_cast<A_u_char>(red), static_cast<A_u_char>(green),
                                 static_cast<A_u_char>(blue)};
            }
        }
        return centre;
    };
    int darkerSeen = 0;
    for (A_long tolerance = 0; tolerance <= 255; ++tolerance) {
        const int s100 = 100 * tolerance;
        const int targets[] = {0,           1,         -1,   2,        -2,       -s100,
                               -s100 - 1,   -s100 + 1, s100, s100 + 1, s100 - 1, -4 * s100 - 7,
                               3 * s100 + 5};
        for (int round = 0; round < 24; ++round) {
            const PF_Pixel8 centre{255, static_cast<A_u_char>(random(256)),
                                   static_cast<A_u_char>(random(256)),
                                   static_cast<A_u_char>(random(256))};
            PF_Pixel8 pixels[4];
            for (PF_Pixel8& p : pixels) {
                p = withLuma(centre, targets[random(std::size(targets))]);
            }
            if (round % 6 == 0) {
                pixels[round % 4] = centre;  // an equal lane
            }
            const PF_Pixel8* const others[4] = {&pixels[0], &pixels[1], &pixels[2], &pixels[3]};
            ContrastBits expected;
            unsigned unequal = 0;
            for (unsigned i = 0; i < 4; ++i) {
                if (pixelsEqual(others[i], &centre)) {
                    continue;
                }
                const unsigned bit = 1u << i;
                unequal |= bit;
                expected.centreDarker |= isDarker(&centre, others[i], tolerance) ? bit : 0u;
                expected.centreLighter |= isBrighter(&centre, others[i], tolerance) ? bit : 0u;
                expected.otherLighter |= isBrighter(others[i], &centre, tolerance) ? bit : 0u;
            }
            darkerSeen += expected.centreDarker != 0 ? 1 : 0;
            const ContrastBits bits = contrastWithFour(&centre, others, tolerance);
            ASSERT_EQ(bits.centreDarker & unequal, expected.centreDarker)
                << "tolerance " << tolerance;
            ASSERT_EQ(bits.centreLighter & unequal, expected.centreLighter)
                << "tolerance " << tolerance;
            ASSERT_EQ(bits.otherLighter & unequal, expected.otherLighter)
                << "tolerance " << tolerance;
            for (unsigned wanted : {unequal, unequal & 5u, unequal & 2u}) {
                ASSERT_EQ(darkerThanFour(&centre, others, tolerance, wanted),
                          expected.centreDarker & wanted)
                    << "tolerance " << tolerance;
            }
        }
    }
    EXPECT_GT(darkerSeen, 1000);
}

// The weights a run gives (its profile's values, clamped, and 1 minus them) and the halves of a
// second blend, on varied pixels including fully transparent ones, with the result written over
// either input as the runs do.
TYPED_TEST(SimilarityMaskTest, SideBySideBlendAgreesWithBlendPixels)
{
    using Pixel = TypeParam;
    VariedNeighbourhoods<Pixel> varied;
    const float weights[] = {0.0f, 1.0f, 0.5f, 0.125f, 0.875f, 0.025f, 0.50000006f, 1.0f / 3.0f};
    for (int round = 0; round < 4000; ++round) {
        std::array<Pixel, 9> p = varied.next(round);
        if (round % 5 == 0) {
            p[1].alpha = 0;
            p[7].alpha = 0;
        }
        for (float w : weights) {
            for (std::size_t i = 0; i < 9; i += 2) {
                const Pixel& a = p[i];
                const Pixel& b = p[8 - i];
                Pixel expected;
                blendPixels(&a, 1.0f - w, &b, w, &expected);
                Pixel sideBySide;
                blendPixelsSideBySide(&a, 1.0f - w, &b, w, &sideBySide);
                ASSERT_EQ(sideBySide, expected) << "round " << round << " w " << w;
                Pixel over = b;
                blendPixelsSideBySide(&a, 1.0f - w, &over, w, &over);
                ASSERT_EQ(over, expected) << "round " << round << " w " << w;
            }
        }
    }
    // Fully transparent on both sides: colour channels 0 (0 times an infinite factor is clamped
    // to 0), alpha 0.
    const Pixel clear{0, 10, 20, 30};
    Pixel out{1, 1, 1, 1};
    blendPixelsSideBySide(&clear, 0.5f, &clear, 0.5f, &out);
    EXPECT_EQ(out, (Pixel{0, 0, 0, 0}));
    // The top of the range survives the 16-bit pack.
    const Pixel white{DepthTraits<Pixel>::channelMax, DepthTraits<Pixel>::channelMax,
                      DepthTraits<Pixel>::channelMax, DepthTraits<Pixel>::channelMax};
    blendPixelsSideBySide(&white, 0.25f, &white, 0.75f, &out);
    EXPECT_EQ(out, white);
}

TYPED_TEST(SimilarityMaskTest, ContrastPartsGiveSignedContrastBothWays)
{
    using Pixel = TypeParam;
    using Channel = typename DepthTraits<Pixel>::Channel;
    // Black at two opacities: equal luma, so both orders are negative.
    const Pixel opaque{static_cast<Channel>(DepthTraits<Pixel>::channelMax), 0, 0, 0};
    const Pixel faint{static_cast<Channel>(DepthTraits<Pixel>::channelMax / 2), 0, 0, 0};
    const ContrastParts black = contrastPartsOfTerms(contrastTerms(opaque), contrastTerms(faint));
    EXPECT_EQ(black.lumaSteps, 0);
    EXPECT_LT(black.forward(), 0);
    EXPECT_EQ(black.forward(), signedContrast(&opaque, &faint));
    EXPECT_EQ(black.reverse(), signedContrast(&faint, &opaque));

    VariedNeighbourhoods<Pixel> varied;
    for (int round = 0; round < 4000; ++round) {
        const std::array<Pixel, 9> p = varied.next(round);
        for (std::size_t i : {0, 1, 2, 3, 5, 6, 7, 8}) {
            if (pixelsEqual(&p[i], &p[4])) {
                continue;
            }
            const ContrastParts parts =
                contrastPartsOfTerms(contrastTerms(p[i]), contrastTerms(p[4]));
            ASSERT_EQ(parts.forward(), signedContrast(&p[i], &p[4])) << "round " << round;
            ASSERT_EQ(parts.reverse(), signedContrast(&p[4], &p[i])) << "round " << round;
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
