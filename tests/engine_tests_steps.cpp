// Stair-steps: what step measurement finds and what step blending writes.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "directions.h"
#include "edge_classifier.h"
#include "pixel_art.h"
#include "smoothing_engine.h"

namespace telvix {
namespace {

using test::mask;

template <typename Pixel>
class StepsTest : public ::testing::Test {
};
TYPED_TEST_SUITE(StepsTest, test::Depths);

// Measures the step at (x, y) facing d; the pixel must classify as a step.
template <typename Pixel>
StepMeasure measure(test::TestWorld<Pixel>& world, A_long x, A_long y, A_long d)
{
    auto info = test::renderInfoFor(world, world, 6);
    const auto n = gatherNeighbourhood(x, y, info);
    EXPECT_EQ(classifyEdge(info, x, y, n, d), EdgeClass::Step);
    return measureStep(info, n, x, y, d, similarityMask(n, info.tolerance));
}

// Classifies and smooths the one edge at (x, y) facing d into a fresh copy of the source.
template <typename Pixel>
test::TestWorld<Pixel> smoothOneEdge(test::TestWorld<Pixel>& world, A_long x, A_long y, A_long d)
{
    test::TestWorld<Pixel> output(world);
    auto info = test::renderInfoFor(world, output, 6);
    const auto n = gatherNeighbourhood(x, y, info);
    test::landWrites(info, [&](const auto& recording) {
        dispatchEdgeClass(recording, n, x, y, d, classifyEdge(info, x, y, n, d),
                          similarityMask(n, info.tolerance));
    });
    return output;
}

// The red channels of row y from x0 to x1 inclusive.
template <typename Pixel>
std::vector<A_long> reds(const test::TestWorld<Pixel>& world, A_long y, A_long x0, A_long x1)
{
    std::vector<A_long> values;
    for (A_long x = x0; x <= x1; ++x) {
        values.push_back(world.at(x, y).red);
    }
    return values;
}

// A one-pixel-high black line of k pixels on white, from x = 1 to x = k in row 1.
template <typename Pixel>
test::TestWorld<Pixel> thinLine(A_long k)
{
    std::string row(static_cast<std::size_t>(k + 2), '#');
    row.front() = '.';
    row.back() = '.';
    const std::string paper(row.size(), '.');
    std::string art = paper;
    art += '\n';
    art += row;
    art += '\n';
    art += paper;
    return test::artWorld<Pixel>(art);
}

TYPED_TEST(StepsTest, ThinLineTipMeasuresBackToTheLineStart)
{
    for (A_long k = 2; k <= 5; ++k) {
        auto world = thinLine<TypeParam>(k);
        const StepMeasure m = measure(world, k, 1, kDirectionRight);
        EXPECT_EQ(m.kind, StepKind::ThinLine) << k;
        EXPECT_EQ(m.forwardEnd, (Position{k, 1}));
        EXPECT_EQ(m.backEnd, (Position{1, 1}));
        EXPECT_EQ(m.pivot, (Position{k, 1}));
        EXPECT_EQ(m.evenSpan, k % 2 == 1) << k;
    }
}

TEST(Steps, ThinLineTipsBlendIntoARamp)
{
    const std::vector<std::vector<A_long>> expected8 = {
        {0, 72}, {0, 63, 191}, {0, 0, 22, 170}, {0, 0, 42, 127, 212}};
    const std::vector<std::vector<A_long>> expected16 = {
        {0, 9362}, {0, 8192, 24576}, {0, 0, 2849, 21845}, {0, 0, 5461, 16384, 27306}};
    for (A_long k = 2; k <= 5; ++k) {
        auto world8 = thinLine<PF_Pixel8>(k);
        EXPECT_EQ(reds(smoothOneEdge(world8, k, 1, kDirectionRight), 1, 1, k), expected8[k - 2]);
        auto world16 = thinLine<PF_Pixel16>(k);
        EXPECT_EQ(reds(smoothOneEdge(world16, k, 1, kDirectionRight), 1, 1, k), expected16[k - 2]);
    }
}

TYPED_TEST(StepsTest, ThinLineWhoseSidesEndAtTheBorderIsAKnee)
{
    // The traces leave the world together at x = -1: a knee, whose pivot may not move into
    // column 0.
    auto world = test::artWorld<TypeParam>(R"(
        .....
        ###..
        .....)");
    const StepMeasure m = measure(world, 2, 1, kDirectionRight);
    EXPECT_EQ(m.kind, StepKind::ThinLineKnee);
    EXPECT_EQ(m.backEnd, (Position{0, 1}));
    EXPECT_EQ(m.pivot, (Position{0, 1}));
    EXPECT_TRUE(m.evenSpan);

    // The ramp LinearThreeOffsetFunction(0.125, 0.25, 0.5, 0.75) over (1, 1) and (2, 1).
    const auto out = smoothOneEdge(world, 2, 1, kDirectionRight);
    const A_long max = DepthTraits<TypeParam>::channelMax;
    EXPECT_EQ(reds(out, 1, 0, 2), (std::vector<A_long>{0, max / 8, max * 3 / 4}));
}

TYPED_TEST(StepsTest, KneePivotStepsBackWhereOneSideEndsFirst)
{
    // The line turns down at its left end, so the lower side ends at x = 2 and the upper side
    // at x = 1; the knee moves one step further back, onto (1, 1).
    auto world = test::artWorld<TypeParam>(R"(
        ......
        .####.
        .#....)");
    const StepMeasure m = measure(world, 4, 1, kDirectionRight);
    EXPECT_EQ(m.kind, StepKind::ThinLineKnee);
    EXPECT_EQ(m.backEnd, (Position{1, 1}));
    EXPECT_EQ(m.pivot, (Position{1, 1}));
    EXPECT_FALSE(m.evenSpan);
}

TYPED_TEST(StepsTest, ShortestKneeAveragesTheCentreInstead)
{
    auto world = test::artWorld<TypeParam>(R"(
        ...
        ##.
        ...)");
    ASSERT_EQ(measure(world, 1, 1, kDirectionRight).kind, StepKind::ThinLineKnee);
    // Seven white samples and two black (the left neighbour and the centre once).
    const auto out = smoothOneEdge(world, 1, 1, kDirectionRight);
    EXPECT_EQ(test::changedMask(world, out), mask("...\n.x.\n..."));
    EXPECT_EQ(out.at(1, 1).red, 7 * DepthTraits<TypeParam>::channelMax / 9);
}

TYPED_TEST(StepsTest, StraightEdgeSoftensOnlyTheForwardNeighbour)
{
    auto world = test::artWorld<TypeParam>(R"(
        .#g.
        .#..
        .#g.)");
    const StepMeasure m = measure(world, 1, 1, kDirectionRight);
    EXPECT_EQ(m.kind, StepKind::StraightEdge);
    EXPECT_TRUE(m.skipBackRun);
    EXPECT_EQ(m.forwardEnd, (Position{2, 1}));
    EXPECT_EQ(m.backEnd, (Position{1, 1}));
    EXPECT_EQ(m.pivot, (Position{1, 1}));

    const auto out = smoothOneEdge(world, 1, 1, kDirectionRight);
    EXPECT_EQ(test::changedMask(world, out), mask("....\n..x.\n...."));
    auto info = test::renderInfoFor(world, world, 6);
    TypeParam expected;
    neighbourhoodAverage(gatherNeighbourhood(2, 1, info), &expected, 4);
    EXPECT_EQ(out.at(2, 1), expected);
}

TYPED_TEST(StepsTest, DiagonalStaircaseBlendsCentreAndForward)
{
    auto world = test::artWorld<TypeParam>(R"(
        #....
        ##...
        ###..
        ####.)");
    const StepMeasure m = measure(world, 1, 1, kDirectionRight);
    EXPECT_EQ(m.kind, StepKind::Edge);
    EXPECT_FALSE(m.skipBackRun);
    EXPECT_EQ(m.forwardEnd, (Position{2, 1}));
    EXPECT_EQ(m.backEnd, (Position{1, 1}));

    const auto out = smoothOneEdge(world, 1, 1, kDirectionRight);
    EXPECT_EQ(test::changedMask(world, out), mask(".....\n.xx..\n.....\n....."));
    const bool deep = sizeof(TypeParam) == 8;
    EXPECT_EQ(out.at(1, 1).red, deep ? 4096 : 31);
    EXPECT_EQ(out.at(2, 1).red, deep ? 28672 : 223);
    EXPECT_EQ(out.at(2, 1).alpha, DepthTraits<TypeParam>::channelMax);
}

TEST(Steps, TwoPixelTreadBlendsBackAndForwardRuns)
{
    auto world = test::artWorld<PF_Pixel8>(R"(
        ......
        ##....
        ####..
        ######)");
    const StepMeasure m = measure(world, 1, 1, kDirectionRight);
    EXPECT_EQ(m.forwardEnd, (Position{3, 1}));
    EXPECT_EQ(m.backEnd, (Position{0, 1}));
    const auto out = smoothOneEdge(world, 1, 1, kDirectionRight);
    EXPECT_EQ(reds(out, 1, 0, 3), (std::vector<A_long>{0, 63, 191, 255}));
}

TYPED_TEST(StepsTest, BackTracesWalkWithTheTraceTolerance)
{
    // The pixel behind the centre (1, 1) is a dark grey 10 levels off black: not similar to the
    // centre at the tolerance 6, similar at 20. The back trace walks with tolerance2 alone.
    auto world = test::artWorld<TypeParam>(R"(
        ......
        ##....
        ####..
        ######)");
    world.at(0, 1) = test::makePixel<TypeParam>(255, 10, 10, 10);
    auto info = test::renderInfoFor(world, world, 6);
    const auto n = gatherNeighbourhood(1, 1, info);
    ASSERT_EQ(classifyEdge(info, 1, 1, n, kDirectionRight), EdgeClass::Step);
    const SimilarityMask centreMask = similarityMask(n, info.tolerance);
    EXPECT_EQ(measureStep(info, n, 1, 1, kDirectionRight, centreMask).backEnd, (Position{1, 1}));
    info.tolerance2 = 20;
    EXPECT_EQ(measureStep(info, n, 1, 1, kDirectionRight, centreMask).backEnd, (Position{0, 1}));
}

TYPED_TEST(StepsTest, SymmetricStepRampsAcrossTheCentre)
{
    auto world = test::artWorld<TypeParam>(R"(
        ......
        .##...
        ####..)");
    const StepMeasure m = measure(world, 2, 1, kDirectionRight);
    EXPECT_EQ(m.kind, StepKind::Edge);
    EXPECT_EQ(m.backEnd, (Position{1, 1}));
    EXPECT_EQ(m.forwardEnd, (Position{3, 1}));
    // Weights 0.025, 0.50000006 and 0.975 for the other colour.
    const auto out = smoothOneEdge(world, 2, 1, kDirectionRight);
    const bool deep = sizeof(TypeParam) == 8;
    EXPECT_EQ(reds(out, 1, 0, 4), deep ? (std::vector<A_long>{32768, 819, 16384, 31948, 32768})
                                       : (std::vector<A_long>{255, 6, 127, 248, 255}));
}

TYPED_TEST(StepsTest, SkippedBackRunLeavesTheCentreAndBlendsForward)
{
    // A grey centre with black above it: the back run is skipped, the forward run of length 2
    // gives the forward neighbour 0.75 of its own white and 0.25 of the grey.
    auto world = test::artWorld<TypeParam>(R"(
        .###.
        .g...
        .g#..)");
    const StepMeasure m = measure(world, 1, 1, kDirectionRight);
    EXPECT_EQ(m.kind, StepKind::Edge);
    EXPECT_TRUE(m.skipBackRun);
    EXPECT_EQ(m.forwardEnd, (Position{3, 1}));
    EXPECT_EQ(m.backEnd, (Position{1, 1}));
    const auto out = smoothOneEdge(world, 1, 1, kDirectionRight);
    EXPECT_EQ(test::changedMask(world, out), mask(".....\n..x..\n....."));
    const A_long grey = test::level<TypeParam>(128);
    const A_long white = DepthTraits<TypeParam>::channelMax;
    EXPECT_EQ(out.at(2, 1).red, static_cast<A_long>(static_cast<float>(white) * 0.75f +
                                                    static_cast<float>(grey) * 0.25f));
}

// A profile that always yields the same value.
class ConstantProfile : public InterpolationFunction {
public:
    explicit ConstantProfile(float value) : value_(value) {}
    float evaluate(float) const override { return value_; }

private:
    float value_;
};

TYPED_TEST(StepsTest, RunClampsWeightsAndBlendsHalfAndHalfIntoChangedPixels)
{
    auto world = test::artWorld<TypeParam>("#.#");
    auto output = world;
    auto info = test::renderInfoFor(world, output, 6);
    const TypeParam* black = &world.at(0, 0);
    const TypeParam* white = &world.at(1, 0);
    const A_long max = DepthTraits<TypeParam>::channelMax;

    // Out-of-range and NaN weights clamp: 2 and NaN mean all other colour, -1 none.
    test::landWrites(info, [&](const auto& recording) {
        blendRun(recording, kDirectionRight, Position{0, 0}, black, Position{0, 0}, white,
                 ConstantProfile(2.0f), 0);
    });
    EXPECT_EQ(output.at(0, 0).red, max);
    output.at(0, 0) = world.at(0, 0);
    test::landWrites(info, [&](const auto& recording) {
        blendRun(recording, kDirectionRight, Position{0, 0}, black, Position{0, 0}, white,
                 ConstantProfile(std::numeric_limits<float>::quiet_NaN()), 0);
    });
    EXPECT_EQ(output.at(0, 0).red, max);
    output.at(0, 0) = world.at(0, 0);

    // A second run over a changed pixel keeps the mean of the old and the new result.
    test::landWrites(info, [&](const auto& recording) {
        blendRun(recording, kDirectionRight, Position{0, 0}, black, Position{0, 0}, white,
                 ConstantProfile(-1.0f), 0);
    });
    EXPECT_EQ(output.at(0, 0).red, 0);  // own colour on both sides of a dark-only run
    output.at(2, 0).red = static_cast<decltype(output.at(2, 0).red)>(max / 2);
    const TypeParam before = output.at(2, 0);
    test::landWrites(info, [&](const auto& recording) {
        blendRun(recording, kDirectionLeft, Position{2, 0}, black, Position{2, 0}, white,
                 ConstantProfile(0.25f), 0);
    });
    TypeParam fresh;
    blendPixels(&world.at(2, 0), 0.75f, white, 0.25f, &fresh);
    TypeParam expected;
    blendPixels(&fresh, 0.5f, &before, 0.5f, &expected);
    EXPECT_EQ(output.at(2, 0), expected);
}

}  // namespace
}  // namespace telvix
