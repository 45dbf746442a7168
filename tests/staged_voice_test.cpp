// The staged voice of every instruction-set build against the per-sample
// voice, engine against engine: every output bit and every bit of the
// sounding state must agree after every call, whatever the controls do,
// however many chunks a call hands over, and the staged (and pipelined)
// path must really be the one that ran where it can, the per-sample voice
// where it cannot.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "dsp/delay_engine.hpp"
#include "dsp/voice_kernels.hpp"
#include "engine_bits.hpp"
#include "test_signals.hpp"
#include "vector_script.hpp"

namespace zq {
namespace {

namespace vk = voice_kernels;
using zq_test::first_difference;
using zq_test::noise;
using zq_test::state_difference;

constexpr std::uint32_t kChunk = DelayEngine::kChunk;

// Setter calls before chunk k (counted from the start of a run of calls).
using Between = std::function<void(DelayEngine& e, std::uint64_t k)>;

// The same engine twice: `staged` through a build's chunk kernel, `reference`
// through a per-sample voice, with the same setter calls before each chunk.
struct EnginePair {
    vk::Isa isa = vk::Isa::kBaseline;
    vk::Isa reference_isa = vk::Isa::kBaseline;
    std::unique_ptr<DelayEngine> staged = std::make_unique<DelayEngine>();
    std::unique_ptr<DelayEngine> reference = std::make_unique<DelayEngine>();
    std::uint64_t pipelined = 0;
    std::uint64_t staged_one = 0; // staged, taps read after the chunk before
    std::uint64_t per_sample = 0;
    std::uint64_t chunk = 0;
    // False: the staged engine drops the front it read ahead before each
    // call, so that each call's first chunk is staged on its own.
    bool read_ahead = true;

    // Also for changes no setter makes: the staged engine then drops the
    // front it read ahead, as its own calls do when they move the line.
    void both(const std::function<void(DelayEngine&)>& f)
    {
        staged->finish_damping();
        f(*staged);
        f(*reference);
        staged->next_front_ready = false;
    }
    std::uint64_t staged_chunks() const { return pipelined + staged_one; }

    // Runs `in` in calls of `per_call` whole chunks (out_1 in place when
    // `inplace`). With `between`, the staged engine's setters run ahead for
    // a whole call, each chunk's parameters recorded, as the run cycle does.
    // Compares every output and the whole state after each call.
    ::testing::AssertionResult run(const std::vector<float>& in, std::uint32_t per_call = 1, bool inplace = false,
                                   const Between& between = nullptr)
    {
        const std::size_t n = std::size_t{per_call} * kChunk;
        std::vector<float> a_in(n), a1(n), a2(n), b1(n), b2(n);
        std::vector<ChunkParams> params(per_call);
        for (std::size_t at = 0; at + n <= in.size(); at += n) {
            std::memcpy(a_in.data(), in.data() + at, n * sizeof(float));
            float* out_1 = inplace ? a_in.data() : a1.data();
            for (std::uint32_t k = 0; between && k < per_call; ++k) {
                between(*staged, chunk + k);
                params[k] = staged->chunk_params();
            }
            if (!read_ahead) {
                staged->next_front_ready = false;
            }
            const vk::ChunkTally t = vk::run_chunks(isa, *staged, a_in.data(), out_1, a2.data(), per_call,
                                                    between ? params.data() : nullptr);
            pipelined += t.pipelined;
            staged_one += t.staged;
            per_sample += per_call - t.pipelined - t.staged;
            for (std::size_t c = 0; c < n; c += kChunk, ++chunk) {
                if (between) {
                    between(*reference, chunk);
                }
                vk::run_reference(reference_isa, *reference, in.data() + at + c, b1.data() + c, b2.data() + c,
                                  kChunk);
            }
            const std::vector<float> got_1(out_1, out_1 + n);
            const std::size_t d1 = first_difference(got_1, b1);
            const std::size_t d2 = first_difference(a2, b2);
            if (d1 != n || d2 != n) {
                return ::testing::AssertionFailure() << "outputs differ at sample " << at + std::min(d1, d2) << " ("
                                                     << t.pipelined << " pipelined, " << t.staged << " staged of "
                                                     << per_call << ")";
            }
            if (const char* what = state_difference(*staged, *reference)) {
                return ::testing::AssertionFailure() << what << " differs after the call at sample " << at;
            }
        }
        return ::testing::AssertionSuccess();
    }

    // Glides to the requested length (noise of `seed`), then brings the
    // tap-ratio smoother to the value it comes to rest at (about 1.6 s of
    // audio otherwise): the chunks of tap pairs need both at rest.
    ::testing::AssertionResult hold_steady(unsigned seed)
    {
        while (staged->delay_line.gliding || staged->delay_line.pending_length != 0) {
            const auto r = run(noise(16 * 64, 1.0f, seed), 64);
            if (!r) {
                return r;
            }
        }
        both([](DelayEngine& e) {
            for (float next = e.ratio_state;; e.ratio_state = next) {
                next = one_pole_step(e.ratio_coef, e.ratio_state, e.ratio_target);
                if (std::memcmp(&next, &e.ratio_state, sizeof next) == 0) {
                    break;
                }
            }
        });
        return ::testing::AssertionSuccess();
    }
};

#if defined(__x86_64__)
const vk::Isa kFastIsas[] = {vk::Isa::kAvx2, vk::Isa::kAvx512};
#elif defined(__aarch64__)
const vk::Isa kFastIsas[] = {vk::Isa::kNeon};
#else
const vk::Isa kFastIsas[] = {vk::Isa::kBaseline};
#endif

class FastPath : public ::testing::TestWithParam<vk::Isa> {
protected:
    void SetUp() override
    {
        if (!vk::isa_available(GetParam())) {
            GTEST_SKIP() << "this processor lacks " << vk::isa_name(GetParam());
        }
    }
    EnginePair pair() const
    {
        EnginePair p;
        p.isa = GetParam();
        return p;
    }
};

TEST_P(FastPath, SettledDelayRunsStagedAndMatches)
{
    EnginePair p = pair();
    p.both([](DelayEngine& e) {
        e.set_delay_ms(250.0f);
        e.set_tap_ratio(0.5f);
        e.set_feedback(0.6f);
    });
    // The start-up glide (0.7 slots per sample up to 12000) takes 40000 samples.
    ASSERT_TRUE(p.run(noise(96000, 1.0f, 1)));
    EXPECT_GT(p.staged_chunks(), 96000 / kChunk * 9 / 10);
    EXPECT_FALSE(p.staged->delay_line.gliding);
    EXPECT_EQ(p.staged->delay_line.length, 12000u);
}

TEST_P(FastPath, GlidesBothWaysAndPendingRequestsMatch)
{
    EnginePair p = pair();
    p.both([](DelayEngine& e) {
        e.set_feedback(0.7f);
        e.set_tap_ratio(0.8f);
    });
    const std::vector<float> in = noise(4800, 0.7f, 2);
    // Lengthen, shorten, request while gliding (taken up when the glide
    // ends), request the length the glide is heading for; one chunk per
    // call, then several.
    const float delays[] = {300.0f, 40.0f, 450.0f, 200.0f, 210.0f, 100.0f, 100.5f, 499.0f, 2.0f, 350.0f};
    bool shortened = false;
    bool lengthened = false;
    for (int round = 0; round < 60; ++round) {
        const float ms = delays[round % 10];
        if (round % 3 == 0) {
            const std::uint64_t before = p.staged->delay_line.length;
            p.both([ms](DelayEngine& e) { e.set_delay_ms(ms); });
            const std::uint64_t pending = p.staged->delay_line.pending_length;
            shortened |= pending != 0 && pending < before;
            lengthened |= pending != 0 && pending > before;
        }
        ASSERT_TRUE(p.run(in, round < 30 ? 1 : 10)) << "round " << round;
    }
    EXPECT_TRUE(shortened);
    EXPECT_TRUE(lengthened);
    EXPECT_GT(p.staged_chunks(), p.per_sample);
    EXPECT_GT(p.pipelined, 0u);
}

TEST_P(FastPath, CallsOfOneChunkCarryTheirFrontAndDampingOverSetters)
{
    // What a call reads ahead (the next front) and leaves (its last
    // damping) holds across the setters that move neither the line nor the
    // smoother: every call after the first takes both over.
    EnginePair p = pair();
    p.both([](DelayEngine& e) {
        e.set_delay_ms(80.0f);
        e.set_feedback(0.7f);
    });
    ASSERT_TRUE(p.hold_steady(60));
    p.pipelined = p.staged_one = 0;
    const Between change = [](DelayEngine& e, std::uint64_t chunk) {
        const auto step = static_cast<float>(chunk % 9);
        e.set_feedback(0.5f + 0.05f * step);
        e.set_diffusion(0.1f * step);
        e.set_level_db(-3.0f * step);
        e.set_pan_tap(10.0f * step);
        e.set_pan_loop(-10.0f * step);
        e.set_lowpass_hz(1000.0f + 500.0f * step);
        e.set_highpass_hz(20.0f + 10.0f * step);
    };
    ASSERT_TRUE(p.run(noise(16 * 300, 1.0f, 61), 1, false, change));
    EXPECT_EQ(p.staged_one, 1u);
    EXPECT_EQ(p.pipelined, 299u);
}

TEST_P(FastPath, StagedChunksGlideToo)
{
    EnginePair p = pair();
    p.both([](DelayEngine& e) { e.set_delay_ms(300.0f); });
    ASSERT_TRUE(p.run(noise(16 * 100, 0.5f, 3)));
    ASSERT_TRUE(p.staged->delay_line.gliding);
    // Every one of these chunks glides, the taps far from the write: one by
    // one, each staged on its own, then pipelined in calls of 50 and across
    // the calls.
    p.read_ahead = false;
    const std::uint64_t staged_before = p.staged_one;
    ASSERT_TRUE(p.run(noise(16 * 1000, 0.5f, 4)));
    EXPECT_EQ(p.staged_one - staged_before, 1000u);
    p.read_ahead = true;
    const std::uint64_t pipelined_before = p.pipelined;
    ASSERT_TRUE(p.run(noise(16 * 1000, 0.5f, 5), 50));
    ASSERT_TRUE(p.staged->delay_line.gliding);
    EXPECT_EQ(p.pipelined - pipelined_before, 1000u);
}

TEST_P(FastPath, RequestForTheLengthAGlideReachesRunsALap)
{
    EnginePair p = pair();
    p.both([](DelayEngine& e) {
        e.set_delay_ms(100.0f);
        e.set_feedback(0.5f);
        e.set_tap_ratio(0.7f);
    });
    ASSERT_TRUE(p.run(noise(16 * 64, 0.5f, 30)));
    ASSERT_TRUE(p.staged->delay_line.gliding);
    // Another time for the same 4800 samples, stored while the glide heads
    // there: taken up when it arrives, it starts at 1.4 and runs a lap.
    p.both([](DelayEngine& e) { e.set_delay_ms(100.001f); });
    ASSERT_EQ(p.staged->delay_line.pending_length, 4800u);
    bool lap_started = false;
    for (int round = 0; round < 120 && !lap_started; ++round) {
        ASSERT_TRUE(p.run(noise(16 * 64, 0.5f, 31 + round))) << round;
        const DelayLine& l = p.staged->delay_line;
        lap_started = l.gliding && l.glide_target == 4800 && l.pending_length == 0 && l.speed == 1.4f;
    }
    EXPECT_TRUE(lap_started);
    ASSERT_TRUE(p.run(noise(48000, 0.5f, 200), 25));
    EXPECT_GT(p.staged_chunks(), p.per_sample);
}

TEST_P(FastPath, TapRatioMovesMatch)
{
    EnginePair p = pair();
    p.both([](DelayEngine& e) {
        e.set_delay_ms(100.0f);
        e.set_feedback(0.5f);
    });
    // Ratios in and far out of range; the smoother moves for seconds.
    const float ratios[] = {0.0f, 1.0f, 0.37f, 1.5f, -0.2f, 0.5f, 3.0f, -2.5f, 0.999f, 0.001f};
    for (int round = 0; round < 40; ++round) {
        p.both([&](DelayEngine& e) { e.set_tap_ratio(ratios[round % 10]); });
        ASSERT_TRUE(p.run(noise(2400, 0.8f, 10 + round), round % 2 == 0 ? 1 : 5)) << "round " << round;
    }
    EXPECT_GT(p.staged_chunks(), p.per_sample);
    EXPECT_GT(p.pipelined, 0u);
    // Into rest within long calls: each chunk steps the smoother through the
    // next one ahead of its taps, up to the chunk whose steps repeat.
    p.both([](DelayEngine& e) { e.set_tap_ratio(0.6f); });
    ASSERT_TRUE(p.run(noise(16 * 8000, 0.8f, 60), 400));
    const DelayEngine& e = *p.staged;
    EXPECT_EQ(one_pole_step(e.ratio_coef, e.ratio_state, e.ratio_target), e.ratio_state);
}

// The ramped parameters change from chunk to chunk (the run cycle ticks its
// ramps ahead and hands each chunk its own), with the delay and the tap
// ratio moving now and then, at the start of a call as the port scan moves
// them: pipelined all the same.
TEST_P(FastPath, RampedParametersPipelineAndMatch)
{
    EnginePair p = pair();
    const Between ramps = [](DelayEngine& e, std::uint64_t k) {
        const auto x = static_cast<float>(k % 97) / 97.0f;
        e.set_level_db(-20.0f + 20.0f * x);
        e.set_pan_tap(-100.0f + 200.0f * x);
        e.set_pan_loop(80.0f - 150.0f * x);
        e.set_diffusion(1.1f * x);
        e.set_feedback(1.0f - x);
        if (k % 960 == 0) {
            e.set_delay_ms(k % 1920 == 0 ? 80.0f : 60.0f);
            e.set_tap_ratio(k % 2880 == 0 ? 0.3f : 0.8f);
        }
    };
    for (const std::uint32_t per_call : {1u, 3u, 32u}) {
        ASSERT_TRUE(p.run(noise(16 * 32 * 60, 1.0f, 60 + per_call), per_call, per_call == 3, ramps))
            << per_call << " chunks per call";
    }
    // Of 3 x 1920 chunks, the calls of 3 and 32 pipeline all but their first.
    EXPECT_GT(p.pipelined, 2900u);
    EXPECT_GT(p.staged_chunks(), p.per_sample * 10);
}

TEST_P(FastPath, EveryShortDelayMatchesAndTheNearTapsFallBack)
{
    // Lengths of 1 to 80 samples, each reached by a glide and then held:
    // the taps sit inside the chunk being written, then leave it.
    std::uint64_t staged = 0;
    std::uint64_t fallback = 0;
    for (std::uint64_t len = 1; len <= 80; ++len) {
        for (float ratio : {1.0f, 0.5f, 0.0f}) {
            EnginePair p = pair();
            const float ms = static_cast<float>(len) / 48.0f;
            p.both([&](DelayEngine& e) {
                e.set_delay_ms(ms);
                e.set_tap_ratio(ratio);
                e.set_feedback(0.9f);
                e.set_diffusion(0.2f);
            });
            ASSERT_TRUE(p.run(noise(16 * 80, 1.0f, static_cast<unsigned>(len)))) << len << " samples, ratio " << ratio;
            staged += p.staged_chunks();
            fallback += p.per_sample;
        }
    }
    EXPECT_GT(staged, 0u);
    EXPECT_GT(fallback, 0u);
}

TEST_P(FastPath, LongestDelaysAndTheLineWrapMatch)
{
    for (float ms : {499.0f, 500.0f, 700.0f}) {
        EnginePair p = pair();
        p.both([ms](DelayEngine& e) {
            e.set_delay_ms(ms);
            e.set_tap_ratio(0.02f);
            e.set_feedback(0.8f);
        });
        // Long enough to glide to 24000 slots and wrap the line many times.
        ASSERT_TRUE(p.run(noise(48000 * 2, 0.9f, 5), ms == 500.0f ? 40 : 1)) << ms;
        EXPECT_EQ(p.staged->delay_line.length, ms < 500.0f ? 23952u : 24000u);
        EXPECT_GT(p.staged_chunks(), p.per_sample);
    }
}

TEST_P(FastPath, ClippedAndUnclippedLoopMatch)
{
    // Loud noise and high feedback drive the lowpass into its clip; a
    // negative cutoff makes the coefficient larger than one (no proof of an
    // idle clip then); a huge cutoff makes it 0. Quiet noise leaves the clip
    // idle in most chunks.
    for (float lowpass : {6000.0f, -500.0f, 1.0e6f, 20.0f}) {
        for (float highpass : {10.0f, -300.0f, 2000.0f}) {
            EnginePair p = pair();
            p.both([&](DelayEngine& e) {
                e.set_delay_ms(30.0f);
                e.set_feedback(0.99f);
                e.set_diffusion(0.9f);
                e.set_lowpass_hz(lowpass);
                e.set_highpass_hz(highpass);
                e.set_tap_ratio(0.3f);
            });
            bool clipped = false;
            for (int round = 0; round < 20; ++round) {
                ASSERT_TRUE(p.run(noise(1600, round < 10 ? 4.0f : 0.2f, 6), round % 3 == 0 ? 1 : 20))
                    << lowpass << " / " << highpass;
                clipped |= std::fabs(p.staged->lp_state) == 1.0f;
            }
            EXPECT_GT(p.staged_chunks(), p.per_sample);
            if (lowpass == 1.0e6f) {
                EXPECT_TRUE(clipped) << "the lowpass never reached its clip";
            }
        }
    }
}

TEST_P(FastPath, ExtremeInputsAndParametersMatch)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> in = noise(16 * 400, 1.0f, 7);
    for (std::size_t i = 0; i < in.size(); i += 37) {
        const float odd[] = {1.0e8f, -1.0e8f, 9.9e7f, inf, -inf, nan, 3.0e38f, -0.0f, 1.0e-40f};
        in[i] = odd[(i / 37) % 9];
    }
    EnginePair p = pair();
    p.both([](DelayEngine& e) {
        e.set_delay_ms(80.0f);
        e.set_feedback(1.0f);
        e.set_diffusion(1.0f);
    });
    ASSERT_TRUE(p.run(in, 8));
    // A wet level that overflows, pans beyond the range, silence.
    p.both([](DelayEngine& e) {
        e.set_level_db(400.0f);
        e.set_pan_tap(150.0f);
    });
    ASSERT_TRUE(p.run(in));
    p.both([](DelayEngine& e) {
        e.set_level_db(-120.0f);
        e.set_pan_loop(-300.0f);
    });
    ASSERT_TRUE(p.run(in, 8, true));
    ASSERT_TRUE(p.run(std::vector<float>(16 * 100, 0.0f)));
    p.both([nan](DelayEngine& e) {
        e.set_level_db(0.0f);
        e.set_feedback(nan);
    });
    ASSERT_TRUE(p.run(in, 4));
    EXPECT_GT(p.staged_chunks(), 0u);
}

TEST_P(FastPath, FmaReferenceAgreesWithStaged)
{
    // The build's own per-sample voice (hardware fma) as the reference.
    EnginePair p = pair();
    p.reference_isa = GetParam();
    p.both([](DelayEngine& e) {
        e.set_delay_ms(60.0f);
        e.set_tap_ratio(0.25f);
        e.set_feedback(0.75f);
    });
    for (int round = 0; round < 10; ++round) {
        if (round == 5) {
            p.both([](DelayEngine& e) { e.set_delay_ms(20.0f); });
        }
        ASSERT_TRUE(p.run(noise(4800, 1.0f, 20 + round), round % 2 == 0 ? 1 : 15)) << round;
    }
    EXPECT_GT(p.staged_chunks(), p.per_sample);
}

TEST_P(FastPath, PipelinedRunsMatchAtEveryDelay)
{
    // Held delays from a few samples to the whole line, at three tap ratios,
    // in calls of 2 to 200 chunks; the read position and the write index wrap
    // many times.
    std::uint64_t pipelined = 0;
    std::uint64_t declined = 0;
    for (std::uint64_t len : {3u, 17u, 21u, 30u, 33u, 47u, 64u, 250u, 4800u, 12000u, 23952u, 24000u}) {
        for (float ratio : {1.0f, 0.5f, 0.0f}) {
            SCOPED_TRACE(testing::Message() << len << " samples, ratio " << ratio);
            EnginePair p = pair();
            p.both([&](DelayEngine& e) {
                e.set_delay_ms(static_cast<float>(len) / 48.0f);
                e.set_tap_ratio(ratio);
                e.set_feedback(0.9f);
                e.set_diffusion(0.7f);
            });
            ASSERT_TRUE(p.hold_steady(static_cast<unsigned>(len)));
            p.pipelined = 0;
            const std::vector<float> in = noise(len > 4800 ? 2 * 24000 : 9600, 1.0f, static_cast<unsigned>(len + 1));
            for (std::uint32_t per_call : {2u, 3u, 7u, 64u, 200u}) {
                ASSERT_TRUE(p.run(in, per_call, per_call == 7u)) << per_call << " chunks per call";
            }
            pipelined += p.pipelined;
            // A tap that reads a slot of the chunk before (or an earlier one
            // of its own chunk) is read again after that chunk; taps at least
            // 38 slots back, or ahead of the write, run pipelined.
            const float out_back = static_cast<float>(len) * ratio;
            if (len >= 17 && len <= 33) {
                EXPECT_EQ(p.pipelined, 0u);
            } else if (len >= 47 && (out_back == 0.0f || out_back >= 38.0f)) {
                EXPECT_GT(p.pipelined, 0u);
            } else {
                declined += p.pipelined == 0 ? 1 : 0;
            }
        }
    }
    EXPECT_GT(pipelined, 0u);
    EXPECT_GT(declined, 0u);
}

TEST_P(FastPath, PipelinedRunsWrapTapPositionsThatLeaveTheLine)
{
    // Tap ratios outside 0..1 can put the output tap more than a lap away
    // from the line; the chunks must bring such positions into the line
    // before reading there, as the per-sample voice does. Under the address
    // sanitizer a read outside the line fails this test even where the bits
    // agree. At -0.5 and 500 ms the output taps of a settled line lie one to
    // two laps ahead, half of the time beyond two.
    for (const float ratio : {-0.01f, -0.5f, 6.0f, 1.0e4f, -1.0e6f}) {
        for (const float ms : {120.0f, 500.0f}) {
            SCOPED_TRACE(testing::Message() << ms << " ms, ratio " << ratio);
            EnginePair p = pair();
            p.both([&](DelayEngine& e) {
                e.set_delay_ms(ms);
                e.set_tap_ratio(ratio);
                e.set_feedback(0.5f);
            });
            ASSERT_TRUE(p.hold_steady(40));
            p.pipelined = 0;
            ASSERT_TRUE(p.run(noise(16 * 400, 1.0f, 41), 40));
            EXPECT_GT(p.pipelined, 0u);
        }
    }
}

TEST_P(FastPath, PipelinedRunsEndOnThePhaseTheLfoStepsGive)
{
    // A phase of -0 steps to -1 and back to +0: the chunks must store what
    // the steps give, not the phase they started from. A phase of -1 at a
    // chunk's start (after an odd number of samples) turns the taps' pairs
    // around.
    for (const float phase : {-0.0f, -1.0f}) {
        EnginePair p = pair();
        p.both([](DelayEngine& e) { e.set_delay_ms(100.0f); });
        ASSERT_TRUE(p.hold_steady(50));
        p.both([phase](DelayEngine& e) { e.delay_line.lfo_phase = phase; });
        p.pipelined = p.staged_one = 0;
        ASSERT_TRUE(p.run(noise(16 * 8, 1.0f, 51), 8));
        EXPECT_EQ(p.pipelined, 7u) << phase;
        EXPECT_EQ(p.staged_one, 1u) << phase;
        EXPECT_EQ(p.staged->delay_line.lfo_phase, phase);
        EXPECT_FALSE(std::signbit(p.staged->delay_line.lfo_phase) && phase == 0.0f);
    }
}

TEST_P(FastPath, PipelinedRunsRecoverFromNonFiniteHistory)
{
    // A NaN feedback fills the line and the sections with NaN; with the
    // feedback finite again, the chunks must keep running per sample while
    // the states hold non-finite values, and match throughout.
    EnginePair p = pair();
    p.both([](DelayEngine& e) {
        e.set_delay_ms(40.0f);
        e.set_feedback(0.5f);
    });
    ASSERT_TRUE(p.hold_steady(1));
    std::vector<float> in = noise(16 * 600, 1.0f, 2);
    in[100] = std::numeric_limits<float>::quiet_NaN();
    in[777] = std::numeric_limits<float>::infinity();
    p.pipelined = 0;
    ASSERT_TRUE(p.run(in, 50));
    EXPECT_GT(p.pipelined, 500u);
    p.both([](DelayEngine& e) { e.set_feedback(std::numeric_limits<float>::quiet_NaN()); });
    ASSERT_TRUE(p.run(noise(16 * 50, 1.0f, 3), 25));
    p.both([](DelayEngine& e) { e.set_feedback(0.5f); });
    const std::uint64_t staged_before = p.staged_chunks();
    ASSERT_TRUE(p.run(noise(16 * 600, 1.0f, 4), 50, true));
    // The loop filters keep the NaN for good: nothing after it runs staged.
    EXPECT_EQ(p.staged_chunks(), staged_before);
    EXPECT_TRUE(std::isnan(p.staged->lp_state));
}

std::string isa_label(const ::testing::TestParamInfo<vk::Isa>& info) { return vk::isa_name(info.param); }

INSTANTIATE_TEST_SUITE_P(Builds, FastPath, ::testing::ValuesIn(kFastIsas), isa_label);

} // namespace
} // namespace zq
