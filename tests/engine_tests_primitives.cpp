// Pixel primitives, direction tables and the neighbourhood average.
#include <gtest/gtest.h>

#include "directions.h"
#include "pixel_art.h"
#include "pixel_primitives.h"
#include "smoothing_engine.h"

namespace telvix {
namespace {

using test::artPixel;
using test::level;
using test::makePixel;

template <typename Pixel>
class PrimitivesTest : public ::testing::Test {
};
TYPED_TEST_SUITE(PrimitivesTest, test::Depths);

constexpr int kMax8 = DepthTraits<PF_Pixel8>::channelMax;

TEST(Directions, FrameNamesTheNeighboursSeenFacingEachDirection)
{
    // Facing right: forward 5, back 3, left 1 (up), right 7 (down), then the diagonals.
    const DirectionFrame right = directionFrame(kDirectionRight);
    EXPECT_EQ((std::array<A_long, 8>{right.forward, right.back, right.left, right.right,
                                     right.forwardLeft, right.forwardRight, right.backLeft,
                                     right.backRight}),
              (std::array<A_long, 8>{5, 3, 1, 7, 2, 8, 0, 6}));
    const DirectionFrame up = directionFrame(kDirectionUp);
    EXPECT_EQ((std::array<A_long, 8>{up.forward, up.back, up.left, up.right, up.forwardLeft,
                                     up.forwardRight, up.backLeft, up.backRight}),
              (std::array<A_long, 8>{1, 7, 3, 5, 0, 2, 6, 8}));
    for (A_long d = 0; d < 9; ++d) {
        EXPECT_EQ(kTurnLeft90[kTurnRight90[d]], d);
        EXPECT_EQ(kTurnLeft45[kTurnLeft45[d]], kTurnLeft90[d]);
        EXPECT_EQ(kTurnRight45[kTurnRight45[d]], kTurnRight90[d]);
        EXPECT_EQ(kStepX[kOpposite[d]], -kStepX[d]);
        EXPECT_EQ(kStepY[kOpposite[d]], -kStepY[d]);
        EXPECT_EQ((kStepY[d] + 1) * 3 + (kStepX[d] + 1), d);  // an index is its own direction
    }
}

TYPED_TEST(PrimitivesTest, NeighbourhoodIsAbsentOutsideTheWorldAndPixelAtHonoursRowbytes)
{
    auto world = test::artWorld<TypeParam>(R"(
        #..
        .g.)",
                                           /*padding=*/12);
    auto info = test::renderInfoFor(world, world, 6);
    const auto corner = gatherNeighbourhood(0, 0, info);
    for (A_long i : {0, 1, 2, 3, 6}) {
        EXPECT_EQ(corner[i], nullptr) << i;
    }
    EXPECT_EQ(corner[4], &world.at(0, 0));
    EXPECT_EQ(corner[8], &world.at(1, 1));
    const auto last = gatherNeighbourhood(2, 1, info);
    for (A_long i : {2, 5, 6, 7, 8}) {
        EXPECT_EQ(last[i], nullptr) << i;
    }
    EXPECT_EQ(last[3]->red, level<TypeParam>(128));  // the grey pixel, across padded rows

    auto single = test::artWorld<TypeParam>("#");
    auto singleInfo = test::renderInfoFor(single, single, 6);
    const auto alone = gatherNeighbourhood(0, 0, singleInfo);
    for (A_long i = 0; i < 9; ++i) {
        EXPECT_EQ(alone[i] != nullptr, i == 4) << i;
    }
}

TYPED_TEST(PrimitivesTest, SimilarityScalesTheToleranceAndNeedsPresentPixels)
{
    const TypeParam p = makePixel<TypeParam>(255, 10, 20, 30);
    EXPECT_TRUE(pixelsSimilar(&p, &p, 0));
    EXPECT_TRUE(pixelsSimilar(&p, &p, 255));
    EXPECT_FALSE(pixelsSimilar<TypeParam>(&p, nullptr, 255));
    EXPECT_FALSE(pixelsSimilar<TypeParam>(nullptr, nullptr, 255));
    EXPECT_FALSE(pixelsEqual<TypeParam>(nullptr, nullptr));

    // Tolerance 0: a difference in alpha alone is enough.
    TypeParam q = p;
    q.alpha -= 1;
    EXPECT_FALSE(pixelsSimilar(&p, &q, 0));
    EXPECT_TRUE(pixelsSimilar(&p, &q, 1));

    // Every channel, alpha included, is compared with the scaled tolerance.
    const A_long t = DepthTraits<TypeParam>::scaledTolerance(6);
    TypeParam r = p;
    r.blue = static_cast<decltype(r.blue)>(r.blue + t);
    EXPECT_TRUE(pixelsSimilar(&p, &r, 6));
    r.blue += 1;
    EXPECT_FALSE(pixelsSimilar(&p, &r, 6));
}

TEST(Primitives, SixteenBitToleranceIsShiftedBySeven)
{
    PF_Pixel16 a{32768, 1000, 1000, 1000};
    PF_Pixel16 b = a;
    b.green = 1128;
    EXPECT_TRUE(pixelsSimilar(&a, &b, 1));
    b.green = 1129;
    EXPECT_FALSE(pixelsSimilar(&a, &b, 1));
    EXPECT_EQ(DepthTraits<PF_Pixel16>::scaledTolerance(255), 32640);
}

TYPED_TEST(PrimitivesTest, ContrastOfBlackAndWhiteIsTheFullRange)
{
    const TypeParam white = artPixel<TypeParam>('.');
    const TypeParam black = artPixel<TypeParam>('#');
    const A_long max = DepthTraits<TypeParam>::channelMax;
    EXPECT_EQ(signedContrast(&white, &black), max);
    EXPECT_EQ(signedContrast(&black, &white), -max);
    EXPECT_EQ(signedContrast(&white, &white), 0);
    EXPECT_EQ(signedContrast<TypeParam>(&white, nullptr), 0);
    EXPECT_TRUE(isDarker(&black, &white, 254));
    EXPECT_TRUE(isBrighter(&white, &black, 254));
    EXPECT_FALSE(isDarker(&white, &white, 0));
    EXPECT_TRUE(similarOrBrighter(&white, &black, 6));
    EXPECT_TRUE(similarOrBrighter(&black, &black, 6));
    EXPECT_FALSE(similarOrBrighter(&black, &white, 6));
}

TEST(Primitives, ContrastMagnitudesAndSigns)
{
    const PF_Pixel8 red{255, 255, 0, 0};
    const PF_Pixel8 green{255, 0, 255, 0};
    EXPECT_EQ(signedContrast(&red, &green), -127);  // colour distance beats the luma of -74
    EXPECT_EQ(signedContrast(&green, &red), 127);

    // No luma difference: negative in both orders.
    const PF_Pixel8 faint{8, 0, 0, 0};
    const PF_Pixel8 clear{0, 0, 0, 0};
    EXPECT_EQ(signedContrast(&faint, &clear), -2);
    EXPECT_EQ(signedContrast(&clear, &faint), -2);
    const PF_Pixel8 clearRed{0, 200, 0, 0};
    const PF_Pixel8 clearBlue{0, 0, 0, 200};
    EXPECT_EQ(signedContrast(&clearRed, &clearBlue), -1);
    EXPECT_EQ(signedContrast(&clearBlue, &clearRed), -1);

    const PF_Pixel8 grey101{255, 101, 101, 101};
    const PF_Pixel8 grey100{255, 100, 100, 100};
    EXPECT_EQ(signedContrast(&grey101, &grey100), 1);
    EXPECT_EQ(signedContrast(&grey100, &grey101), -1);
}

TYPED_TEST(PrimitivesTest, BlendIsAlphaWeightedAndClamped)
{
    using Channel = typename DepthTraits<TypeParam>::Channel;
    const A_long max = DepthTraits<TypeParam>::channelMax;
    const TypeParam white = artPixel<TypeParam>('.');
    const TypeParam black = artPixel<TypeParam>('#');
    TypeParam out;
    blendPixels(&white, 0.5f, &black, 0.5f, &out);
    EXPECT_EQ(out.alpha, max);
    EXPECT_EQ(out.red, max / 2);  // 127.5 truncated at 8 bits, exactly 16384 at 16
    EXPECT_EQ(out.green, out.red);
    EXPECT_EQ(out.blue, out.red);

    // With itself: unchanged for every colour value.
    for (A_long v = 0; v <= max; v += (max == kMax8 ? 1 : 127)) {
        const TypeParam p{static_cast<Channel>(max), static_cast<Channel>(v),
                          static_cast<Channel>(max - v), static_cast<Channel>(v / 2)};
        blendPixels(&p, 0.5f, &p, 0.5f, &out);
        ASSERT_EQ(out, p) << v;
    }

    // Zero alpha on both sides: nothing to weigh, all channels 0.
    const TypeParam clearRed{0, static_cast<Channel>(max), 0, 0};
    blendPixels(&clearRed, 0.5f, &clearRed, 0.5f, &out);
    EXPECT_EQ(out, (TypeParam{0, 0, 0, 0}));

    // Weights summing past 1 cap alpha at channelMax.
    blendPixels(&white, 1.0f, &white, 1.0f, &out);
    EXPECT_EQ(out, white);
}

TYPED_TEST(PrimitivesTest, BlendMayWriteIntoItsSecondInput)
{
    const TypeParam a = makePixel<TypeParam>(200, 10, 250, 90);
    TypeParam b = makePixel<TypeParam>(120, 240, 30, 5);
    TypeParam separate;
    blendPixels(&a, 0.3f, &b, 0.7f, &separate);
    blendPixels(&a, 0.3f, &b, 0.7f, &b);
    EXPECT_EQ(separate, b);
}

TYPED_TEST(PrimitivesTest, AverageOfIdenticalOpaquePixelsIsThatPixel)
{
    const TypeParam p = makePixel<TypeParam>(255, 77, 200, 3);
    Neighbourhood<TypeParam> n;
    n.entries.fill(&p);
    for (A_long weight : {1, 2, 4, 5}) {
        TypeParam out{};
        neighbourhoodAverage(n, &out, weight);
        EXPECT_EQ(out, p) << weight;
    }
    // Only the centre present, as in a 1×1 world.
    Neighbourhood<TypeParam> alone;
    alone.entries[4] = &p;
    TypeParam out{};
    neighbourhoodAverage(alone, &out, 5);
    EXPECT_EQ(out, p);
    // No alpha anywhere: transparent black whatever the colours.
    const TypeParam clear = makePixel<TypeParam>(0, 200, 100, 50);
    n.entries.fill(&clear);
    neighbourhoodAverage(n, &out, 2);
    EXPECT_EQ(out, (TypeParam{0, 0, 0, 0}));
}

TEST(Primitives, AverageOfAnOpaqueCentreAmongTransparentNeighbours)
{
    // Transparent neighbours lower alpha but not the colour; the single-precision factors cost
    // the 8-bit red one level.
    const PF_Pixel8 red8{255, 255, 0, 0};
    const PF_Pixel8 clear8{0, 0, 0, 0};
    Neighbourhood<PF_Pixel8> n8;
    n8.entries.fill(&clear8);
    n8.entries[4] = &red8;
    PF_Pixel8 out8{};
    neighbourhoodAverage(n8, &out8, 5);
    EXPECT_EQ(out8, (PF_Pixel8{98, 254, 0, 0}));

    const PF_Pixel16 red16{32768, 32768, 0, 0};
    const PF_Pixel16 clear16{0, 0, 0, 0};
    Neighbourhood<PF_Pixel16> n16;
    n16.entries.fill(&clear16);
    n16.entries[4] = &red16;
    PF_Pixel16 out16{};
    neighbourhoodAverage(n16, &out16, 5);
    EXPECT_EQ(out16, (PF_Pixel16{5 * 32768 / 13, 32768, 0, 0}));
}

TEST(Primitives, AverageLosesLevelsWhenUnpremultiplyingATruncatedMean)
{
    const PF_Pixel8 faint{17, 199, 237, 179};
    Neighbourhood<PF_Pixel8> n;
    n.entries.fill(&faint);
    PF_Pixel8 out{};
    neighbourhoodAverage(n, &out, 5);
    EXPECT_EQ(out, (PF_Pixel8{17, 194, 224, 164}));
}

}  // namespace
}  // namespace telvix
