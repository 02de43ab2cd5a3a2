// Interpolation profiles: the five constructed shapes and the parameters step blending gives them.
#include <gtest/gtest.h>

#include "interpolation_function.h"

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

// The parameters step blending builds for the shortest edge runs, written the way it computes
// them, against the rounded values they must come to.
TEST(Profiles, ShortestEdgeRunParameters)
{
    auto backRun = [](int backLength, float out[3]) {
        const float b = static_cast<float>(backLength + 1);
        const float u = 1.0f / (b + b);
        const float z = 0.125f / b;
        out[0] = 0.0f;
        out[1] = (0.5f - u) > z ? 0.5f - u : z;
        out[2] = z;
    };
    float v[3];
    backRun(0, v);
    EXPECT_EQ(v[1], 0.125f);
    EXPECT_EQ(v[2], 0.125f);
    backRun(2, v);
    EXPECT_EQ(v[1], 0.33333331f);
    EXPECT_EQ(v[2], 0.041666668f);
    const float u1 = 1.0f / (2.0f + 2.0f);
    EXPECT_EQ(u1, 0.25f);
    EXPECT_EQ(0.5f - u1, 0.25f);

    auto forwardOdd = [](int forwardLength, float out[3]) {
        const float f = static_cast<float>(forwardLength);
        const float u = 1.0f / (f + f);
        const float w = 1.0f - 0.125f / f;
        out[0] = w < u + 0.5f ? w : u + 0.5f;
        out[1] = 1.0f;
        out[2] = w;
    };
    forwardOdd(1, v);
    EXPECT_EQ(v[0], 0.875f);
    EXPECT_EQ(v[2], 0.875f);
    forwardOdd(3, v);
    EXPECT_EQ(v[0], 0.66666669f);
    EXPECT_EQ(v[2], 0.95833331f);
    const float u2 = 1.0f / (2.0f + 2.0f);
    EXPECT_EQ(u2 + 0.5f, 0.75f);
    EXPECT_EQ(1.0f - u2, 0.75f);
    // A one-pixel run evaluates at 0 only.
    EXPECT_EQ(at(LinearOffsetOneValue(0.875f, 1.0f, 0.875f), 0.0f), 0.875f);
    EXPECT_EQ(at(LinearOffsetZeroValue(0.0f, 0.125f, 0.125f), 0.0f), 0.125f);
}

}  // namespace
}  // namespace telvix
