// The per-chunk ramps: their step sequences and their first chunks.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "plugin/param_ramp.hpp"
#include "plugin/ports.hpp"

namespace zq {
namespace {

// Ticks until the ramp stops moving; returns the values handed on.
std::vector<float> walk(ParamRamp ramp, float target)
{
    ramp.target = target;
    std::vector<float> values;
    while (ramp.tick()) {
        values.push_back(ramp.current);
        if (values.size() > 100000) {
            break;
        }
    }
    return values;
}

TEST(ParamRamp, LevelToZeroDb)
{
    const std::vector<float> v = walk(kLevelRampStart, 0.0f);
    ASSERT_EQ(v.size(), 50u);
    EXPECT_EQ(v[0], -8.819099f);
    EXPECT_EQ(v[1], -8.639099f);
    EXPECT_EQ(v[48], -0.17910081f);
    EXPECT_EQ(v[49], 0.0f);
}

TEST(ParamRamp, PanMoves)
{
    std::vector<float> v = walk(kPanRampStart, 100.0f);
    ASSERT_EQ(v.size(), 151u);
    EXPECT_EQ(v[0], 0.6666667f);
    EXPECT_EQ(v[1], 1.3333334f);
    EXPECT_EQ(v[149], 99.99991f);
    EXPECT_EQ(v[150], 100.0f);
    v = walk(kPanRampStart, 50.0f);
    ASSERT_EQ(v.size(), 75u);
    EXPECT_EQ(v.back(), 50.0f);
}

TEST(ParamRamp, FeedbackAndDiffusionToFull)
{
    EXPECT_EQ(walk(kFeedbackRampStart, 100.0f * kPercentToUnit),
              (std::vector<float>{0.33333334f, 0.6666667f, 1.0f}));
    ParamRamp diffusion_at_rest = kPanRampStart; // a ramp resting at 0
    EXPECT_EQ(walk(diffusion_at_rest, 100.0f * kDiffusionToUnit), (std::vector<float>{0.6666667f, 0.990099f}));
}

TEST(ParamRamp, DiffusionWalksDownFromItsStartValue)
{
    std::vector<float> v = walk(kDiffusionRampStart, 0.0f);
    ASSERT_EQ(v.size(), 99u);
    EXPECT_EQ(v[0], 65.32674f);
    EXPECT_EQ(v[1], 64.66007f);
    EXPECT_EQ(v[2], 63.993404f);
    EXPECT_EQ(v[95], 1.9933567f);
    EXPECT_EQ(v[96], 1.32669f);
    EXPECT_EQ(v[97], 0.6600233f);
    EXPECT_EQ(v[98], 0.0f);
    // Targets below the 98th value take 99 ticks, those from it up 98.
    EXPECT_EQ(66.0f * kDiffusionToUnit, 0.65346533f);
    EXPECT_EQ(walk(kDiffusionRampStart, 66.0f * kDiffusionToUnit).size(), 99u);
    EXPECT_EQ(walk(kDiffusionRampStart, v[97]).size(), 98u);
    EXPECT_EQ(walk(kDiffusionRampStart, 67.0f * kDiffusionToUnit).size(), 98u);
    EXPECT_EQ(walk(kDiffusionRampStart, 100.0f * kDiffusionToUnit).size(), 98u);
}

TEST(ParamRamp, LevelStartsWithOneCallAtItsDefault)
{
    ParamRamp ramp = kLevelRampStart;
    ramp.target = -9.0f;
    ASSERT_TRUE(ramp.tick());
    EXPECT_EQ(ramp.current, -9.0f);
    EXPECT_FALSE(ramp.tick());
    EXPECT_EQ(walk(kLevelRampStart, -20.0f)[0], -9.179100f);
    EXPECT_EQ(walk(kLevelRampStart, -8.9f), (std::vector<float>{-8.9f}));
    EXPECT_TRUE(walk(kLevelRampStart, -8.9991f).empty());
}

TEST(ParamRamp, ReversedTargetTurnsAtTheCurrentValue)
{
    ParamRamp ramp = kPanRampStart;
    ramp.target = 100.0f;
    for (int i = 0; i < 10; ++i) {
        ramp.tick();
    }
    const float turn = ramp.current;
    ramp.target = -100.0f;
    ASSERT_TRUE(ramp.tick());
    EXPECT_EQ(ramp.current, turn - 0.6666667f);
}

TEST(ParamRamp, NanTargetWalksDownEveryTick)
{
    ParamRamp ramp = kFeedbackRampStart;
    ramp.target = std::numeric_limits<float>::quiet_NaN();
    for (int i = 1; i <= 5; ++i) {
        ASSERT_TRUE(ramp.tick());
        EXPECT_FALSE(std::isnan(ramp.current));
        EXPECT_LT(ramp.current, 0.0f);
    }
    EXPECT_NEAR(ramp.current, -5 * 0.33333334f, 1e-5f);
}

TEST(ParamRamp, PeriodSkipsTicks)
{
    ParamRamp ramp{3, 0, 10.0f, 0.0f, 1.0f};
    EXPECT_FALSE(ramp.tick());
    EXPECT_FALSE(ramp.tick());
    EXPECT_TRUE(ramp.tick());
    EXPECT_EQ(ramp.current, 1.0f);
}

} // namespace
} // namespace zq
