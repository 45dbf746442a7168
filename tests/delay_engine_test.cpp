// The engine's set-up state and its nine setters, against the exact
// single-precision values they must produce.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>

#include "dsp/delay_engine.hpp"

namespace zq {
namespace {

std::unique_ptr<DelayEngine> make_engine() { return std::make_unique<DelayEngine>(); }

TEST(DelayEngineSetUp, HoldsTheDefaults)
{
    auto e = make_engine();
    EXPECT_EQ(e->gain, 0.5011872f);
    EXPECT_EQ(e->level_db, -6.0f);
    EXPECT_EQ(e->tap_gain_1, 0.70710677f);
    EXPECT_EQ(e->tap_gain_2, 0.70710677f);
    EXPECT_EQ(e->loop_gain_1, 0.70710677f);
    EXPECT_EQ(e->loop_gain_2, 0.70710677f);
    EXPECT_EQ(e->feedback_eff, 0.0f);
    EXPECT_EQ(e->lp_coef, 0.45593813f);
    EXPECT_EQ(e->lc_coef, 0.99869186f);
    EXPECT_EQ(e->diffusers[0].coef, 0.6f);
    EXPECT_EQ(e->diffusers[1].coef, 0.6f);
    EXPECT_EQ(e->diffusers[2].coef, 0.50000006f);
    EXPECT_EQ(e->diffusers[3].coef, 0.50000006f);
    EXPECT_EQ(e->diffusers[0].length, 211u);
    EXPECT_EQ(e->diffusers[1].length, 163u);
    EXPECT_EQ(e->diffusers[2].length, 563u);
    EXPECT_EQ(e->diffusers[3].length, 409u);
    EXPECT_EQ(e->delay_line.pending_length, 5760u);
    EXPECT_EQ(e->delay_line.length, 0u);
    EXPECT_EQ(e->delay_ms, 120.0f);
    EXPECT_EQ(e->diffusion, 0.6f);
    EXPECT_EQ(e->diffusion_applied, 0.6f);
    EXPECT_EQ(e->feedback, 0.0f);
    EXPECT_EQ(e->lowpass_hz, 6000.0f);
    EXPECT_TRUE(std::isnan(e->highpass_hz));
    EXPECT_EQ(e->ratio_target, 1.0f);
    EXPECT_EQ(e->ratio_state, 0.0f);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(e->ratio_coef), 0x3f7ff9b6u);
    EXPECT_EQ(e->sample_rate, 48000.0f);
}

TEST(DelayEngineSetters, DelayTimeIsConvertedAtTheHostRateAndClamped)
{
    auto e = make_engine();
    e->sample_rate = 44100.0f;
    e->set_delay_ms(120.0f);
    EXPECT_EQ(e->delay_line.pending_length, 5760u) << "120 ms is the set-up value: no change";
    e->set_delay_ms(100.0f);
    EXPECT_EQ(e->delay_line.pending_length, 4410u);

    e->sample_rate = 48000.0f;
    const struct {
        float ms;
        std::uint64_t samples;
    } cases[] = {{0.0f, 1}, {0.01f, 1}, {500.0f, 24000}, {600.0f, 24000}, {-3.0f, 1}, {250.0f, 12000},
                 {0.0104f, 1}, {0.0105f, 1}, {10.0f, 480}};
    for (const auto& c : cases) {
        e->set_delay_ms(c.ms);
        EXPECT_EQ(e->delay_line.pending_length, c.samples) << c.ms << " ms";
    }
}

TEST(DelayEngineSetters, DelayRoundsHalvesAwayFromZero)
{
    auto e = make_engine();
    e->sample_rate = 1000.0f; // 1 ms is one sample, so t is ms itself
    e->set_delay_ms(2.5f);
    EXPECT_EQ(e->delay_line.pending_length, 3u);
    e->set_delay_ms(2.4999998f);
    EXPECT_EQ(e->delay_line.pending_length, 2u);
}

TEST(DelayEngineSetters, RequestEqualToTheCurrentLengthIsNotStored)
{
    auto e = make_engine();
    e->delay_line.length = 4800;
    e->delay_line.pending_length = 0;
    e->set_delay_ms(100.0f);
    EXPECT_EQ(e->delay_line.pending_length, 0u);
    e->set_delay_ms(50.0f);
    EXPECT_EQ(e->delay_line.pending_length, 2400u);
    e->set_delay_ms(100.0f);
    EXPECT_EQ(e->delay_line.pending_length, 2400u) << "an earlier request stays";
}

TEST(DelayEngineSetters, LevelMutesAtMinus90)
{
    auto e = make_engine();
    e->set_level_db(-90.0f);
    EXPECT_EQ(e->gain, 0.0f);
    e->set_level_db(-89.9f);
    EXPECT_NEAR(e->gain, 0.000032f, 0.0000005f);
    EXPECT_GT(e->gain, 0.0f);
    e->set_level_db(0.0f);
    EXPECT_EQ(e->gain, 1.0f);
    e->set_level_db(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(e->gain, 0.0f);
}

TEST(DelayEngineSetters, PansAreEqualPower)
{
    auto e = make_engine();
    e->set_pan_tap(100.0f);
    EXPECT_EQ(e->tap_gain_1, 0.0f);
    EXPECT_EQ(e->tap_gain_2, 0.99999994f);
    e->set_pan_loop(-100.0f);
    EXPECT_EQ(e->loop_gain_1, 0.99999994f);
    EXPECT_EQ(e->loop_gain_2, 0.0f);
    e->set_pan_tap(50.0f);
    EXPECT_FLOAT_EQ(e->tap_gain_1, 0.3826834f);
    EXPECT_FLOAT_EQ(e->tap_gain_2, 0.9238794f);
    // Beyond ±100 % the angle keeps turning and a gain turns negative.
    e->set_pan_tap(150.0f);
    EXPECT_LT(e->tap_gain_1, 0.0f);
    for (float p : {-73.0f, 12.5f, 99.0f, 300.0f}) {
        e->set_pan_loop(p);
        const float sum = e->loop_gain_1 * e->loop_gain_1 + e->loop_gain_2 * e->loop_gain_2;
        EXPECT_NEAR(sum, 1.0f, 1e-6f) << p;
    }
}

TEST(DelayEngineSetters, UnchangedValueDoesNoWork)
{
    auto e = make_engine();
    e->tap_gain_1 = 5.0f;
    e->set_pan_tap(0.0f);
    EXPECT_EQ(e->tap_gain_1, 5.0f);
    e->set_pan_tap(-0.0f); // −0 equals +0
    EXPECT_EQ(e->tap_gain_1, 5.0f);
    e->lp_coef = 0.25f;
    e->set_lowpass_hz(6000.0f);
    EXPECT_EQ(e->lp_coef, 0.25f);
    // The low-cut cache starts unset, so its first call always computes.
    e->lc_coef = 0.0f;
    e->set_highpass_hz(10.0f);
    EXPECT_EQ(e->lc_coef, 0.99869186f);
}

TEST(DelayEngineSetters, FeedbackLimitFallsAsDiffusionGrows)
{
    const struct {
        float diffusion;
        float limit;
    } table[] = {{0.3f, 0.9020912f}, {0.5f, 0.8408187f}, {0.6f, 0.81840676f},
                 {0.8f, 0.7839612f}, {1.0f, 0.75879925f}, {1.2f, 0.73964715f}};
    for (const auto& row : table) {
        auto e = make_engine();
        e->set_diffusion(row.diffusion);
        e->set_feedback(1.0f);
        // Formed in double and rounded once: a float computation would be an
        // ulp off at 0.3.
        EXPECT_EQ(e->feedback_eff, row.limit) << "diffusion " << row.diffusion;
        e->set_diffusion(-row.diffusion); // the limit looks at the magnitude
        EXPECT_EQ(e->feedback_eff, row.limit) << "diffusion " << -row.diffusion;
    }
    auto e = make_engine();
    e->set_diffusion(0.0f);
    e->set_feedback(1.0f);
    EXPECT_EQ(e->feedback_eff, 0.9999f);
    e->set_feedback(0.5f);
    EXPECT_EQ(e->feedback_eff, 0.5f);
    e->set_feedback(-1.0f);
    EXPECT_EQ(e->feedback_eff, -0.9999f);
    e->set_diffusion(1.0f);
    EXPECT_EQ(e->feedback_eff, -0.9999f);
}

TEST(DelayEngineSetters, DiffusionSetsClampedCoefficients)
{
    auto e = make_engine();
    e->set_diffusion(1.0f);
    EXPECT_EQ(e->diffusers[0].coef, 0.999999f);
    EXPECT_EQ(e->diffusers[1].coef, 0.999999f);
    EXPECT_EQ(e->diffusers[2].coef, 0.8333334f);
    EXPECT_EQ(e->diffusers[3].coef, 0.8333334f);
    e->set_diffusion(1.2f);
    for (const Diffuser& d : e->diffusers) {
        EXPECT_EQ(d.coef, 0.999999f);
    }
    e->set_diffusion(-5.0f);
    for (const Diffuser& d : e->diffusers) {
        EXPECT_EQ(d.coef, -0.999999f);
    }
}

TEST(DelayEngineSetters, FilterCutoffsGiveTheirCoefficients)
{
    auto e = make_engine();
    e->set_lowpass_hz(6000.0f + 1.0f);
    e->set_lowpass_hz(6000.0f);
    EXPECT_EQ(e->lp_coef, 0.45593813f);
    e->set_highpass_hz(10.0f);
    EXPECT_EQ(e->lc_coef, 0.99869186f);
    e->set_lowpass_hz(std::numeric_limits<float>::infinity());
    EXPECT_EQ(e->lp_coef, 0.0f);
}

// Values that would poison the engine for good leave it as it was.
TEST(DelayEngineSetters, NonFiniteImmediateControlsLeaveTheEngineAlone)
{
    constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
    constexpr float kInf = std::numeric_limits<float>::infinity();
    auto e = make_engine();

    e->set_delay_ms(kNaN);
    EXPECT_EQ(e->delay_line.pending_length, 5760u);
    EXPECT_EQ(e->delay_ms, 120.0f);
    e->set_delay_ms(kInf);
    EXPECT_EQ(e->delay_line.pending_length, 24000u);
    e->set_delay_ms(-kInf);
    EXPECT_EQ(e->delay_line.pending_length, 1u);
    e->sample_rate = kInf; // 0 ms at an infinite rate is no length either
    e->set_delay_ms(0.0f);
    EXPECT_EQ(e->delay_line.pending_length, 1u);
    EXPECT_EQ(e->delay_ms, -kInf);

    e->set_tap_ratio(0.5f);
    for (float bad : {kNaN, kInf, -kInf}) {
        e->set_tap_ratio(bad);
        EXPECT_EQ(e->ratio_target, 0.5f);
    }
    e->set_tap_ratio(1e30f); // finite, however far out: taken
    EXPECT_EQ(e->ratio_target, 1e30f);

    for (float bad : {kNaN, -kInf, -700000.0f}) {
        e->set_lowpass_hz(bad);
        EXPECT_EQ(e->lp_coef, 0.45593813f) << bad;
        EXPECT_EQ(e->lowpass_hz, 6000.0f) << bad;
        e->set_highpass_hz(bad);
        EXPECT_EQ(e->lc_coef, 0.99869186f) << bad;
    }
    // Far out of range but with a finite coefficient: taken as it is.
    e->set_lowpass_hz(-100000.0f);
    EXPECT_GT(e->lp_coef, 1.0e5f);
    EXPECT_TRUE(std::isfinite(e->lp_coef));
    EXPECT_EQ(e->lowpass_hz, -100000.0f);
}

} // namespace
} // namespace zq
