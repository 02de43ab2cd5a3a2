// Interpolation profiles: the five constructed shapes and the parameters step blending gives them.
#include <gtest/gtest.h>

#include <vector>

#include "directions.h"
#include "interpolation_function.h"
#include "pixel_art.h"
#include "smoothing_engine.h"

namespace telvix {
namespace {

float at(const InterpolationFunction& profile, float x) { return profile.evaluate(x); }

TEST(Profiles, LinearOffsetIsTheStraightLine)
{
    const LinearOffsetFunction line(0.25f, 0.75f);
    EXPECT_EQ(at(line, 0.0f), 0.25f);
    EXPECT_EQ(at(line, 0.5f), 0.5f);
    EXPECT_EQ(at(line, 1.0f), 0.75f);
    // No clamping: that is the caller's.
    const LinearOffsetFunction negative(-0.5f, 2.0f);
    EXPECT_EQ(at(negative, 0.0f), -0.5f);
    EXPECT_EQ(at(negative, 1.0f), 2.0f);
}

TEST(Profiles, OffsetVariantsReplaceOnlyTheExactEnds)
{
    const LinearOffsetZeroValue zero(0.25f, 0.75f, 0.9f);
    EXPECT_EQ(at(zero, 0.0f), 0.9f);
    EXPECT_EQ(at(zero, -0.0f), 0.9f);
    const float tiny = 1.0e-30f;
    EXPECT_EQ(at(zero, tiny), 0.5f * tiny + 0.25f);
    EXPECT_EQ(at(zero, 1.0f), (0.75f - 0.25f) + 0.25f);

    const LinearOffsetOneValue one(0.25f, 0.75f, 0.1f);
    EXPECT_EQ(at(one, 0.0f), 0.25f);
    EXPECT_EQ(at(one, 0.5f), 0.5f);
    EXPECT_EQ(at(one, 1.0f), 0.1f);

    const LinearOffsetZeroOneValue both(0.25f, 0.75f, 0.9f, 0.1f);
    EXPECT_EQ(at(both, 0.0f), 0.9f);
    EXPECT_EQ(at(both, 0.5f), 0.5f);
    EXPECT_EQ(at(both, 1.0f), 0.1f);
}

TEST(Profiles, ThreeOffsetIsAPolylineWhoseKneeBelongsToTheFirstSegment)
{
    const LinearThreeOffsetFunction knee(0.25f, 0.5f, 0.5f, 0.875f);
    EXPECT_EQ(at(knee, 0.0f), 0.25f);
    EXPECT_EQ(at(knee, 0.5f), 0.5f);
    EXPECT_EQ(at(knee, 0.75f), 0.6875f);
    EXPECT_EQ(at(knee, 1.0f), 0.875f);
    // A breakpoint at 1 never reaches the second segment.
    const LinearThreeOffsetFunction single(0.0f, 1.0f, 1.0f, 5.0f);
    EXPECT_EQ(at(single, 1.0f), 1.0f);
}

// The weights step blending gives the runs of an edge, read back from what blendStep writes:
// a 16-bit row, black up to the centre (5, 1) and white after it, so that a written pixel's red
// is its weight times 32768. The measure puts the back end `backLength` pixels behind the centre
// and the forward end `forwardLength` pixels ahead of it. Returns the weights of row 1 from x0
// to x1 inclusive.
std::vector<float> edgeWeights(A_long backLength, A_long forwardLength, A_long x0, A_long x1)
{
    auto source = test::artWorld<PF_Pixel16>(R"(
        ######......
        ######......
        ######......)");
    auto output = source;
    const A_long cx = 5;
    StepMeasure measure;
    measure.kind = StepKind::Edge;
    measure.backEnd = Position{cx - backLength, 1};
    measure.forwardEnd = Position{cx + forwardLength, 1};
    measure.pivot = Position{cx, 1};
    const auto info = test::renderInfoFor(source, output, 6);
    test::landWrites(info, [&](const auto& recording) {
        blendStep(recording, gatherNeighbourhood(cx, 1, info), cx, 1, kDirectionRight, measure);
    });
    std::vector<float> weights;
    for (A_long x = x0; x <= x1; ++x) {
        weights.push_back(static_cast<float>(output.at(x, 1).red) / 32768.0f);
    }
    return weights;
}

// Weights agree to within one 16-bit level, the finest the output can show.
void expectWeights(const std::vector<float>& actual, const std::vector<float>& expected)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(actual[i], expected[i], 1.0f / 32768.0f) << "pixel " << i;
    }
}

// The parameters step blending builds for the shortest edge runs, read from what it writes:
// the back run ends on the centre (x = 5), the forward run starts beside it (x = 6).
TEST(Profiles, ShortestEdgeRunParameters)
{
    // Back run of an odd span (b + 1 = 1, 3): zero value 0.125 / (b + 1) at its start, and
    // max(0.5 - 1 / (2 (b + 1)), 0.125 / (b + 1)) at the centre.
    expectWeights(edgeWeights(0, 1, 5, 5), {0.125f});
    expectWeights(edgeWeights(2, 3, 4, 5), {0.041666668f, 0.33333331f});
    // Back run of an even span (b + 1 = 2): the straight line from u = 0.25 to 0.5 - u = 0.25.
    expectWeights(edgeWeights(1, 2, 5, 5), {0.25f});

    // Forward run of an odd span (f = 1, 3): min(1 - 0.125 / f, 0.5 + 1 / (2f)) at its start,
    // and 1 - 0.125 / f at its end.
    expectWeights(edgeWeights(2, 1, 6, 6), {0.875f});
    expectWeights(edgeWeights(4, 3, 6, 7), {0.66666669f, 0.95833331f});
    // Forward run of an even span (f = 2): the line from u + 0.5 = 0.75 to 1 - u = 0.75.
    expectWeights(edgeWeights(3, 2, 6, 6), {0.75f});

    // A one-pixel run evaluates at 0 only.
    EXPECT_EQ(at(LinearOffsetOneValue(0.875f, 1.0f, 0.875f), 0.0f), 0.875f);
    EXPECT_EQ(at(LinearOffsetZeroValue(0.0f, 0.125f, 0.125f), 0.0f), 0.125f);
}

}  // namespace
}  // namespace telvix
