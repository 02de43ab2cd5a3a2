// Edge classes, the per-pixel pass on simple shapes, boundary traces and corner smoothing.
#include <gtest/gtest.h>

#include <random>

#include "boundary_walk.h"
#include "directions.h"
#include "pixel_art.h"
#include "smoothing_engine.h"

namespace telvix {
namespace {

using test::mask;

template <typename Pixel>
class EdgesTest : public ::testing::Test {
};
TYPED_TEST_SUITE(EdgesTest, test::Depths);

// The class of every pixel for one direction: '.' none, 'S' step, 'I' inner corner, 'O' outer
// corner, 'X' isolated.
template <typename Pixel>
std::string classMap(test::TestWorld<Pixel>& world, A_long d, A_long tolerance = 6)
{
    auto info = test::renderInfoFor(world, world, tolerance);
    std::string map;
    for (A_long y = 0; y < world.height(); ++y) {
        for (A_long x = 0; x < world.width(); ++x) {
            const auto n = gatherNeighbourhood(x, y, info);
            map += ".SIOX"[static_cast<int>(classifyEdge(info, x, y, n, d))];
        }
        map += '\n';
    }
    return map;
}

template <typename Pixel>
void expectClasses(test::TestWorld<Pixel>& world, const std::string& right, const std::string& left,
                   const std::string& up, const std::string& down)
{
    EXPECT_EQ(classMap(world, kDirectionRight), mask(right)) << "facing right";
    EXPECT_EQ(classMap(world, kDirectionLeft), mask(left)) << "facing left";
    EXPECT_EQ(classMap(world, kDirectionUp), mask(up)) << "facing up";
    EXPECT_EQ(classMap(world, kDirectionDown), mask(down)) << "facing down";
}

TYPED_TEST(EdgesTest, UniformImageHasNoEdgesAndStaysUnchanged)
{
    auto world = test::artWorld<TypeParam>(R"(
        ggg
        ggg)");
    const std::string none = "...\n...\n";
    expectClasses(world, none, none, none, none);
    EXPECT_EQ(test::changedMask(world, test::smoothed(world)), none);
}

TYPED_TEST(EdgesTest, IsolatedPixelIsAveragedWithItsNeighbours)
{
    auto world = test::artWorld<TypeParam>(R"(
        ....
        .#..
        ....)");
    const std::string isolated = "....\n.X..\n....\n";
    expectClasses(world, isolated, isolated, isolated, isolated);
    const auto out = test::smoothed(world);
    EXPECT_EQ(test::changedMask(world, out), mask(R"(
        ....
        .x..
        ....)"));
    // Eight white neighbours and five copies of the black centre, averaged four times over the
    // same source neighbourhood.
    const A_long max = DepthTraits<TypeParam>::channelMax;
    EXPECT_EQ(out.at(1, 1).red, 8 * max / 13);
    EXPECT_EQ(out.at(1, 1).alpha, max);
}

TYPED_TEST(EdgesTest, StraightLinesAreLeftAloneAndSegmentsHaveStepEnds)
{
    auto line = test::artWorld<TypeParam>(R"(
        ..#..
        ..#..
        ..#..)");
    const std::string none = ".....\n.....\n.....\n";
    expectClasses(line, none, none, none, none);

    auto segment = test::artWorld<TypeParam>(R"(
        .....
        .###.
        .....)");
    expectClasses(segment, ".....\n...S.\n.....\n", ".....\n.S...\n.....\n", none, none);
}

TYPED_TEST(EdgesTest, RectangleCornersAreOuterCornersForOneDirectionEach)
{
    auto world = test::artWorld<TypeParam>(R"(
        ......
        .###..
        .###..
        ......)");
    expectClasses(world, R"(
        ......
        ......
        ...O..
        ......)",
                  R"(
        ......
        .O....
        ......
        ......)",
                  R"(
        ......
        ...O..
        ......
        ......)",
                  R"(
        ......
        ......
        .O....
        ......)");
}

TYPED_TEST(EdgesTest, TwoPixelStaircaseHasStepsAndInnerCorners)
{
    auto world = test::artWorld<TypeParam>(R"(
        ......
        ##....
        ####..
        ######)");
    const std::string none = "......\n......\n......\n......\n";
    expectClasses(world, R"(
        ......
        .S....
        ...S..
        ......)",
                  none,
                  R"(
        ......
        ......
        ..I...
        ....I.)",
                  none);
}

TYPED_TEST(EdgesTest, InnerCornerOfAnLShapeSoftensTheLightPixelInTheBend)
{
    auto world = test::artWorld<TypeParam>(R"(
        .#...
        .#...
        .####
        .....)");
    const std::string none = ".....\n.....\n.....\n.....\n";
    expectClasses(world, ".....\n.I...\n.....\n.....\n", none, ".....\n.....\n..I..\n.....\n",
                  none);
    // From (1, 1) the bend's sides measure 2 and 1 and do not qualify; from (2, 2) they measure 2
    // and 3, so the bend pixel becomes the mean of five light and five dark samples.
    const auto out = test::smoothed(world);
    EXPECT_EQ(test::changedMask(world, out), mask(R"(
        .....
        ..x..
        .....
        .....)"));
    EXPECT_EQ(out.at(2, 1).green, DepthTraits<TypeParam>::channelMax / 2);
}

TYPED_TEST(EdgesTest, BordersGiveNoForwardAndNoCornerSides)
{
    auto world = test::artWorld<TypeParam>(R"(
        ##..
        ##..
        ....)");
    // (1, 0) faces up out of the world; (0, 1) has no right-hand neighbour facing down, so
    // only the interior corner (1, 1) is an outer corner.
    expectClasses(world, "....\n.O..\n....\n", "....\n....\n....\n", "....\n....\n....\n",
                  "....\n....\n....\n");
}

TEST(Edges, TransparentPixelsOfDifferentColourAreDarkerThanEachOtherAtToleranceZero)
{
    test::TestWorld<PF_Pixel8> world(2, 1);
    world.at(0, 0) = PF_Pixel8{0, 200, 0, 0};
    world.at(1, 0) = PF_Pixel8{0, 0, 0, 200};
    EXPECT_EQ(classMap(world, kDirectionRight, 0), "X.\n");
    EXPECT_EQ(classMap(world, kDirectionLeft, 0), ".X\n");
}

// traceBoundary on a drawing, returning the result and the end position.
template <typename Pixel>
std::tuple<TraceResult, A_long, A_long> trace(test::TestWorld<Pixel>& world, A_long x, A_long y,
                                              A_long across, A_long along, A_long tolerance = 6)
{
    auto info = test::renderInfoFor(world, world, tolerance);
    A_long endX = -99;
    A_long endY = -99;
    const TraceResult r = traceBoundary(info, x, y, across, along, endX, endY, tolerance);
    return {r, endX, endY};
}

TYPED_TEST(EdgesTest, TraceReportsWhichSideEndedAndTheLastIntactPosition)
{
    using R = std::tuple<TraceResult, A_long, A_long>;
    auto column = test::artWorld<TypeParam>("#..\n#..\n#..\n#..\n#..");
    EXPECT_EQ(trace(column, 0, 0, kDirectionRight, kDirectionDown), R(2, 0, 4));
    EXPECT_EQ(trace(column, 0, 4, kDirectionRight, kDirectionUp), R(2, 0, 0));

    auto farChanges = test::artWorld<TypeParam>("#..\n##.\n#..\n#..\n#..");
    EXPECT_EQ(trace(farChanges, 0, 4, kDirectionRight, kDirectionUp), R(1, 0, 2));
    // The start side's change wins over the two sides becoming alike at the same step.
    auto startChanges = test::artWorld<TypeParam>("#..\n...\n#..\n#..\n#..");
    EXPECT_EQ(trace(startChanges, 0, 4, kDirectionRight, kDirectionUp), R(0, 0, 2));

    // Sides that are similar from the start: no step, the end lies one step behind.
    auto pair = test::artWorld<TypeParam>("##");
    EXPECT_EQ(trace(pair, 0, 0, kDirectionRight, kDirectionDown), R(kDirectionDown, 0, -1));
    // A partner outside the world: the far side ends at once.
    EXPECT_EQ(trace(pair, 1, 0, kDirectionRight, kDirectionUp), R(1, 1, 1));
}

TEST(Edges, TraceFollowsGraduallyDriftingSidesUntilTheyMerge)
{
    test::TestWorld<PF_Pixel8> world(2, 4);
    const A_u_char greys[4] = {130, 122, 115, 108};
    for (A_long y = 0; y < 4; ++y) {
        world.at(0, y) = PF_Pixel8{255, 100, 100, 100};
        world.at(1, y) = PF_Pixel8{255, greys[y], greys[y], greys[y]};
    }
    EXPECT_EQ(trace(world, 0, 0, kDirectionRight, kDirectionDown, 10),
              (std::tuple<TraceResult, A_long, A_long>(kDirectionDown, 0, 2)));
}

// Step measurement and corners start most walks from pixels they already hold. On a grainy
// drawing, from every position in every pair of directions and at tolerances inside and outside
// the side-by-side range, those walks must end exactly where walkBoundary's own walk ends, with
// the same result, at the border too (where some of the held pixels are absent).
TYPED_TEST(EdgesTest, WalksFromHeldPixelsEndWhereTheirWholeWalkEnds)
{
    test::TestWorld<TypeParam> world(9, 7);
    std::mt19937 random(7);
    // Three grey bands with a little grain: sides that drift, merge and change.
    for (A_long y = 0; y < world.height(); ++y) {
        for (A_long x = 0; x < world.width(); ++x) {
            const A_long band = ((x + 2 * y) / 4) % 3;
            const A_long grey =
                std::min<A_long>(60 + 70 * band + static_cast<A_long>(random() % 9), 255);
            const A_long value = grey * DepthTraits<TypeParam>::channelMax / 255;
            using Channel = decltype(TypeParam{}.red);
            const auto c = static_cast<Channel>(value);
            world.at(x, y) =
                TypeParam{static_cast<Channel>(DepthTraits<TypeParam>::channelMax), c, c, c};
        }
    }
    const PF_EffectWorld* source = world.def();
    int longWalks = 0;  // walks that go on past their first step
    for (A_long tolerance : {0, 4, 6, 255, 300, -1}) {
        auto info = test::renderInfoFor(world, world, tolerance);
        for (A_long y = 0; y < world.height(); ++y) {
            for (A_long x = 0; x < world.width(); ++x) {
                for (A_long along :
                     {kDirectionUp, kDirectionLeft, kDirectionRight, kDirectionDown}) {
                    for (A_long across : {kTurnLeft90[along], kTurnRight90[along]}) {
                        const Position start{x, y};
                        auto at = [&](A_long px, A_long py) {
                            return pixelAt<TypeParam>(source, px, py);
                        };
                        const TypeParam* a = at(x, y);
                        const TypeParam* b = at(x + kStepX[across], y + kStepY[across]);
                        const TypeParam* nextA = at(x + kStepX[along], y + kStepY[along]);
                        const TypeParam* nextB = at(x + kStepX[across] + kStepX[along],
                                                    y + kStepY[across] + kStepY[along]);
                        const TraceWalk whole = walkBoundary(info, x, y, across, along, tolerance);
                        const TraceWalk fromStep = walkFromFirstStep(info, start, across, along, a,
                                                                     b, nextA, nextB, tolerance);
                        const TraceWalk fromStart =
                            walkFromStart(info, start, across, along, a, b, tolerance);
                        const std::string where =
                            "tolerance " + std::to_string(tolerance) + " at " + std::to_string(x) +
                            "," + std::to_string(y) + " across " + std::to_string(across) +
                            " along " + std::to_string(along);
                        EXPECT_EQ(fromStep.result, whole.result) << where;
                        EXPECT_EQ(fromStep.steps, whole.steps) << where;
                        EXPECT_EQ(fromStart.result, whole.result) << where;
                        EXPECT_EQ(fromStart.steps, whole.steps) << where;
                        longWalks += whole.steps >= 2 ? 1 : 0;
                    }
                }
            }
        }
    }
    EXPECT_GT(longWalks, 50);
}

TEST(Edges, CornerQualifiesWhenBothSidesReachTwoAndOneIsAtMostThree)
{
    for (auto [a, b] : {std::pair{2, 2}, {2, 9}, {3, 3}, {9, 3}}) {
        EXPECT_TRUE(cornerQualifies(a, b)) << a << ", " << b;
    }
    for (auto [a, b] : {std::pair{1, 2}, {2, 1}, {1, 1}, {4, 4}, {4, 9}}) {
        EXPECT_FALSE(cornerQualifies(a, b)) << a << ", " << b;
    }
}

TYPED_TEST(EdgesTest, SmallBlockCornersAreRoundedAndLargeOnesStaySharp)
{
    // Each pixel of a 2×2 block is an outer corner with sides of 2 and 2: it becomes the mean
    // of its five light neighbours, three dark ones and itself twice.
    auto small = test::artWorld<TypeParam>(R"(
        ....
        .##.
        .##.
        ....)");
    const auto out = test::smoothed(small);
    EXPECT_EQ(test::changedMask(small, out), mask(R"(
        ....
        .xx.
        .xx.
        ....)"));
    const A_long half = DepthTraits<TypeParam>::channelMax / 2;
    for (auto [x, y] : {std::pair{1, 1}, {2, 1}, {1, 2}, {2, 2}}) {
        EXPECT_EQ(out.at(x, y).red, half);
        EXPECT_EQ(out.at(x, y).blue, half);
        EXPECT_EQ(out.at(x, y).alpha, DepthTraits<TypeParam>::channelMax);
    }

    auto large = test::artWorld<TypeParam>(R"(
        ......
        .####.
        .####.
        .####.
        .####.
        ......)");
    EXPECT_EQ(test::changedMask(large, test::smoothed(large)), mask(R"(
        ......
        ......
        ......
        ......
        ......
        ......)"));
}

TYPED_TEST(EdgesTest, CornerBlendsHalfAndHalfIntoAnAlreadyChangedPixel)
{
    auto world = test::artWorld<TypeParam>(R"(
        ....
        .##.
        .##.
        ....)");
    auto output = world;
    const TypeParam earlier = test::makePixel<TypeParam>(255, 40, 40, 40);
    output.at(1, 1) = earlier;
    auto info = test::renderInfoFor(world, output, 6);
    const auto n = gatherNeighbourhood(1, 1, info);
    ASSERT_EQ(classifyEdge(info, 1, 1, n, kDirectionLeft), EdgeClass::OuterCorner);
    test::landWrites(info, [&](const auto& recording) {
        smoothCorner(recording, n, 1, 1, kDirectionLeft, EdgeClass::OuterCorner);
    });

    TypeParam average;
    neighbourhoodAverage(n, &average, 2);
    TypeParam expected;
    blendPixels(&average, 0.5f, &earlier, 0.5f, &expected);
    EXPECT_EQ(output.at(1, 1), expected);
}

}  // namespace
}  // namespace telvix
