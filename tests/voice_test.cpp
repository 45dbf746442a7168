// The voice: one chunk of samples through taps, loop filters, diffusers and
// line, checked where its result can be told without re-deriving it.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "dsp/delay_engine.hpp"
#include "dsp/voice.hpp"
#include "test_signals.hpp"

namespace zq {
namespace {

constexpr std::uint32_t kChunk = DelayEngine::kChunk;

std::unique_ptr<DelayEngine> make_engine() { return std::make_unique<DelayEngine>(); }

// Runs whole chunks over `in`; the engine's parameters held.
void process(DelayEngine& e, const std::vector<float>& in, std::vector<float>& out_1, std::vector<float>& out_2)
{
    out_1.assign(in.size(), 0.0f);
    out_2.assign(in.size(), 0.0f);
    for (std::size_t i = 0; i + kChunk <= in.size(); i += kChunk) {
        e.process_chunk(in.data() + i, out_1.data() + i, out_2.data() + i);
    }
}

using zq_test::noise;

bool same_bits(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(Voice, SilenceInGivesExactZerosOut)
{
    auto e = make_engine();
    e->set_feedback(0.9f);
    std::vector<float> in(48000, 0.0f);
    std::vector<float> o1;
    std::vector<float> o2;
    process(*e, in, o1, o2);
    for (std::size_t i = 0; i < in.size(); ++i) {
        ASSERT_EQ(std::bit_cast<std::uint32_t>(o1[i]), 0u) << i;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(o2[i]), 0u) << i;
    }
}

TEST(Voice, MutedLevelPassesTheInputExactlyWhileTheLoopRuns)
{
    auto e = make_engine();
    e->set_level_db(-90.0f);
    e->set_feedback(0.5f);
    const std::vector<float> in = noise(9600, 0.5f, 1);
    std::vector<float> o1;
    std::vector<float> o2;
    process(*e, in, o1, o2);
    EXPECT_TRUE(same_bits(o1, in));
    EXPECT_TRUE(same_bits(o2, in));
    float stored = 0.0f;
    for (std::uint64_t i = 0; i < DelayLine::kSlots; ++i) {
        stored = std::max(stored, std::fabs(e->delay_line.buffer[i]));
    }
    EXPECT_GT(stored, 0.1f) << "the line keeps filling";
}

TEST(Voice, FirstSampleReadsAtPositionsTwoAndThree)
{
    // A read at integral position p answers with slot p + 1 alone. With the
    // length still 0 the output tap reads at 2 and the loop tap at 3.
    for (const std::uint64_t slot : {3u, 4u, 5u}) {
        auto e = make_engine();
        e->delay_line.buffer[slot] = 0.5f;
        float in[1] = {0.0f};
        float o1[1];
        float o2[1];
        e->process_run(in, o1, o2, 1);
        EXPECT_EQ(e->ratio_state, std::fma(0.99990404f, 0.0f - 1.0f, 1.0f));
        const bool tap_heard = slot == 3;
        const bool loop_heard = slot == 4;
        EXPECT_EQ(e->lp_state != 0.0f, loop_heard) << slot;
        if (tap_heard) {
            EXPECT_EQ(o1[0], 0.5f * (e->tap_gain_1 * e->gain));
            EXPECT_EQ(o2[0], 0.5f * (e->tap_gain_2 * e->gain));
        } else {
            EXPECT_EQ(o1[0] != 0.0f, loop_heard) << slot;
        }
    }
}

TEST(Voice, LoopLowpassClipsItsState)
{
    auto e = make_engine();
    e->set_lowpass_hz(1.0e6f); // coefficient 0: the lowpass passes the tap
    for (std::uint64_t i = 0; i < 8; ++i) {
        e->delay_line.buffer[i] = 4.0f;
    }
    float in[1] = {0.0f};
    float o1[1];
    float o2[1];
    e->process_run(in, o1, o2, 1);
    EXPECT_EQ(e->lp_state, 1.0f);
    // The low-cut then follows the clipped value, not the raw tap.
    EXPECT_EQ(e->lc_state, std::fma(0.99869186f, 0.0f - 1.0f, 1.0f));
}

TEST(Voice, OutputTapWrapsAreAppliedOneAfterTheOther)
{
    EXPECT_EQ(wrap_output_tap(-0.0001f), 0.0f);
    EXPECT_EQ(wrap_output_tap(-1.5f), 23998.5f);
    EXPECT_EQ(wrap_output_tap(24000.25f), 0.25f);
    EXPECT_EQ(wrap_output_tap(123.0f), 123.0f);
    // Positions no ratio in range can give are still brought into the line.
    for (float far : {48000.0f, 48003.5f, -30000.0f, 1.0e9f, -1.0e30f, 3.0e38f,
                      std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()}) {
        const float p = wrap_output_tap(far);
        EXPECT_GE(p, 0.0f) << far;
        EXPECT_LT(p, 24000.0f) << far;
    }
    EXPECT_EQ(wrap_output_tap(48003.5f), 3.5f);
}

TEST(Voice, InPlaceGivesTheSameOutputs)
{
    const std::vector<float> in = noise(4800, 0.5f, 2);
    auto a = make_engine();
    auto b = make_engine();
    for (DelayEngine* e : {a.get(), b.get()}) {
        e->set_feedback(0.7f);
        e->set_pan_tap(30.0f);
        e->set_pan_loop(-60.0f);
    }
    std::vector<float> o1;
    std::vector<float> o2;
    process(*a, in, o1, o2);
    for (bool second_output : {false, true}) {
        auto c = make_engine();
        c->set_feedback(0.7f);
        c->set_pan_tap(30.0f);
        c->set_pan_loop(-60.0f);
        std::vector<float> shared = in;
        std::vector<float> other(in.size());
        for (std::size_t i = 0; i < in.size(); i += kChunk) {
            float* p = shared.data() + i;
            float* q = other.data() + i;
            if (second_output) {
                c->process_chunk(p, q, p);
            } else {
                c->process_chunk(p, p, q);
            }
        }
        EXPECT_TRUE(same_bits(second_output ? other : shared, o1));
        EXPECT_TRUE(same_bits(second_output ? shared : other, o2));
    }
}

TEST(Voice, ShortRunsAddUpToAChunk)
{
    const std::vector<float> in = noise(16 * 300, 0.5f, 3);
    auto whole = make_engine();
    auto split = make_engine();
    std::vector<float> o1;
    std::vector<float> o2;
    process(*whole, in, o1, o2);
    std::vector<float> s1(in.size());
    std::vector<float> s2(in.size());
    const std::uint32_t pieces[] = {1, 5, 3, 7};
    for (std::size_t i = 0; i < in.size(); i += kChunk) {
        std::uint32_t at = 0;
        for (std::uint32_t n : pieces) {
            split->process_run(in.data() + i + at, s1.data() + i + at, s2.data() + i + at, n);
            at += n;
        }
    }
    EXPECT_TRUE(same_bits(o1, s1));
    EXPECT_TRUE(same_bits(o2, s2));
}

// An impulse at a settled delay, with clear (undiffused) repeats: its echoes
// arrive where the line's geometry says, at the level the chain gives.
TEST(Voice, ImpulseEchoesArriveWhereTheDelayPutsThem)
{
    constexpr std::uint64_t kLength = 4800;
    constexpr std::uint64_t kChainDelay = 211 + 163 + 563 + 409;
    auto e = make_engine();
    e->set_diffusion(0.0f);
    e->set_level_db(0.0f);
    e->set_pan_tap(-100.0f); // output tap only on out_1 ...
    e->set_pan_loop(100.0f); // ... and the loop only on out_2
    e->set_feedback(0.5f);
    e->set_lowpass_hz(1.0e6f); // coefficient 0: the lowpass passes the tap
    e->set_highpass_hz(0.0f); // coefficient 1: the low-cut's lowpass stays silent
    // Settled at the length with an integral read position and ratio 0.5.
    DelayLine& line = e->delay_line;
    line.pending_length = 0;
    line.length = kLength;
    line.write_index = 0;
    line.read_pos = static_cast<float>(DelayLine::kSlots - kLength + 1);
    e->set_tap_ratio(0.5f);
    e->ratio_state = 0.5f;

    std::vector<float> in(16 * 1000, 0.0f);
    in[0] = 1.0f;
    std::vector<float> o1;
    std::vector<float> o2;
    process(*e, in, o1, o2);

    // The impulse leaves the diffuser chain kChainDelay samples late, smeared
    // by each section's damping lowpass.
    auto chain = std::make_unique<DelayEngine>();
    chain->set_diffusion(0.0f);
    std::vector<float> chain_out;
    for (std::uint64_t i = 0; i <= kChainDelay + 1; ++i) {
        float s = chain->diffusers[0].process(i == 0 ? 1.0f : 0.0f, 0.0f, 0.0f);
        s = chain->diffusers[1].process(s);
        s = chain->diffusers[2].process(s);
        chain_out.push_back(chain->diffusers[3].process(s));
    }
    for (std::uint64_t i = 0; i < kChainDelay; ++i) {
        ASSERT_EQ(chain_out[i], 0.0f) << i;
    }
    const float smear_0 = chain_out[kChainDelay];
    const float smear_1 = chain_out[kChainDelay + 1];
    ASSERT_GT(smear_0, 0.5f);
    ASSERT_GT(smear_1, 0.2f);

    auto first_nonzero = [](const std::vector<float>& v, std::size_t from) {
        for (std::size_t i = from; i < v.size(); ++i) {
            if (v[i] != 0.0f) {
                return i;
            }
        }
        return v.size();
    };
    // At sample m (counted from set-up) the loop tap returns the sample
    // written L − 3 − o earlier and the output tap the one written
    // L/2 − 3 − o′ earlier. The LFO phase runs −1, 0, −1, … after its step,
    // so o is 2 on even samples and 1 on odd ones, and o′ the other way round.
    const std::size_t written = kChainDelay;
    auto read_index = [](std::size_t m, std::size_t delay, bool loop_tap) {
        const std::size_t offset = (m % 2 == 0) == loop_tap ? 2 : 1;
        return m + 3 + offset - delay;
    };
    auto first_hearing = [&](std::size_t delay, bool loop_tap) {
        std::size_t m = delay;
        while (read_index(m, delay, loop_tap) < written) {
            ++m;
        }
        return m;
    };
    const std::size_t loop_at = first_nonzero(o2, 1);
    const std::size_t tap_at = first_nonzero(o1, 1);
    ASSERT_EQ(loop_at, first_hearing(kLength, true));
    ASSERT_EQ(tap_at, first_hearing(kLength / 2, false));
    // Unit gains and hard pans: the echo is the chain's output at the slot
    // read, the first or (when the alternating taps skip it) the second.
    const float smear[2] = {smear_0, smear_1};
    const float tap_g = e->tap_gain_1 * e->gain;
    const float loop_g = e->loop_gain_2 * e->gain;
    EXPECT_EQ(o1[tap_at], smear[read_index(tap_at, kLength / 2, false) - written] * tap_g);
    EXPECT_EQ(o2[loop_at], smear[read_index(loop_at, kLength, true) - written] * loop_g);
    // Fed back, the echo comes round again after the chain and the line.
    const std::size_t second = first_nonzero(o2, loop_at + 64);
    EXPECT_GE(second, loop_at + kChainDelay + kLength - 3 - 2);
    EXPECT_LE(second, loop_at + kChainDelay + kLength - 3 - 1 + 1);
    EXPECT_LT(std::fabs(o2[second]), 0.5f * smear_0);
}

TEST(Voice, NonFiniteInputDoesNotSilenceTheEchoes)
{
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                      -std::numeric_limits<float>::infinity(), 3.0e38f, -1.0e30f}) {
        auto e = make_engine();
        e->set_feedback(0.9f);
        e->set_diffusion(1.0f);
        std::vector<float> in = noise(16 * 3000, 0.5f, 4);
        in[100] = bad;
        std::vector<float> o1;
        std::vector<float> o2;
        process(*e, in, o1, o2);
        EXPECT_EQ(std::isnan(o1[100]), std::isnan(bad)) << "the dry sum passes what the host gave";
        for (std::size_t i = 101; i < in.size(); ++i) {
            ASSERT_TRUE(std::isfinite(o1[i]) && std::isfinite(o2[i])) << bad << " at " << i;
        }
        float late = 0.0f;
        for (std::size_t i = in.size() - 4800; i < in.size(); ++i) {
            late = std::max(late, std::fabs(o1[i] - in[i]));
        }
        EXPECT_GT(late, 0.01f) << "echoes still sound after " << bad;
    }
}

// Noise at high feedback with every parameter moving: finite and bounded.
TEST(Voice, StaysBoundedWhileEverythingMoves)
{
    auto e = make_engine();
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    const std::vector<float> in = noise(16 * 30000, 1.0f, 6);
    float out[2][kChunk];
    float peak = 0.0f;
    for (std::size_t c = 0; c < in.size() / kChunk; ++c) {
        if (c % 37 == 0) {
            e->set_delay_ms(1.0f + 499.0f * u(rng));
            e->set_tap_ratio(u(rng));
            e->set_lowpass_hz(200.0f + 19800.0f * u(rng));
            e->set_highpass_hz(10.0f + 1990.0f * u(rng));
        }
        e->set_level_db(-90.0f + 96.0f * u(rng));
        e->set_pan_tap(-100.0f + 200.0f * u(rng));
        e->set_pan_loop(-100.0f + 200.0f * u(rng));
        e->set_diffusion(u(rng));
        e->set_feedback(0.9f + 0.1f * u(rng));
        e->process_chunk(in.data() + c * kChunk, out[0], out[1]);
        for (std::uint32_t i = 0; i < kChunk; ++i) {
            ASSERT_TRUE(std::isfinite(out[0][i]) && std::isfinite(out[1][i])) << c;
            peak = std::max({peak, std::fabs(out[0][i]), std::fabs(out[1][i])});
        }
    }
    EXPECT_LT(peak, 1000.0f);
}

} // namespace
} // namespace zq
