// The staged chunk voice against the per-sample voice, and every instruction-
// set build against the others (baseline, FMA, AVX-512): every output bit and
// every bit of the sounding state must agree, whatever the controls do,
// whatever the host's block sizes, and the staged path must really be the
// one that ran where it can (and the per-sample voice where it cannot).

#include <gtest/gtest.h>
#include <lv2/core/lv2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dsp/delay_engine.hpp"
#include "dsp/voice_kernels.hpp"
#include "plugin/plugin_instance.hpp"
#include "test_signals.hpp"

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

namespace zq {
namespace {

namespace vk = voice_kernels;

constexpr std::uint32_t kChunk = DelayEngine::kChunk;
constexpr std::array<float, kPortCount> kDefaults = {0, 0, 0, 120, 100, -9, 0, 0, 66, 0, 6000, 10};

const vk::Isa kFastIsas[] = {vk::Isa::kAvx2, vk::Isa::kAvx512};

std::string isa_label(const ::testing::TestParamInfo<vk::Isa>& info) { return vk::isa_name(info.param); }

// Restores the plug-in's own route whatever a test does.
class RouteGuard {
public:
    RouteGuard() { vk::reset_route_counts(); }
    ~RouteGuard() { vk::select_load_time_route(); }
    RouteGuard(const RouteGuard&) = delete;
    RouteGuard& operator=(const RouteGuard&) = delete;
};

using zq_test::noise;

std::size_t first_difference(const std::vector<float>& a, const std::vector<float>& b)
{
    if (a.size() != b.size()) {
        return 0;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) {
            return i;
        }
    }
    return a.size();
}

#define EXPECT_SAME_BITS(a, b)                                                                                    \
    do {                                                                                                         \
        const std::size_t at_ = first_difference((a), (b));                                                      \
        EXPECT_EQ(at_, (a).size()) << "first differing value at " << at_;                                       \
    } while (0)

template <typename T>
bool same_object_bits(const T& a, const T& b)
{
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// Every field of the engine that sounds or steers the sound, bit for bit.
::testing::AssertionResult same_state(const DelayEngine& a, const DelayEngine& b)
{
    const DelayLine& p = a.delay_line;
    const DelayLine& q = b.delay_line;
    if (std::memcmp(p.buffer, q.buffer, sizeof p.buffer) != 0) {
        return ::testing::AssertionFailure() << "line contents differ";
    }
    if (!same_object_bits(p.read_pos, q.read_pos) || p.write_index != q.write_index || p.length != q.length ||
        p.glide_target != q.glide_target || p.pending_length != q.pending_length || p.gliding != q.gliding ||
        !same_object_bits(p.speed, q.speed) || !same_object_bits(p.lfo_phase, q.lfo_phase)) {
        return ::testing::AssertionFailure() << "line positions differ: read " << p.read_pos << " / " << q.read_pos
                                             << ", length " << p.length << " / " << q.length;
    }
    for (int k = 0; k < DelayEngine::kDiffuserCount; ++k) {
        const Diffuser& x = a.diffusers[k];
        const Diffuser& y = b.diffusers[k];
        if (x.pos != y.pos || !same_object_bits(x.damp_state, y.damp_state) ||
            std::memcmp(x.store, y.store, sizeof x.store) != 0) {
            return ::testing::AssertionFailure() << "diffuser " << k << " differs";
        }
    }
    if (!same_object_bits(a.ratio_state, b.ratio_state) || !same_object_bits(a.lp_state, b.lp_state) ||
        !same_object_bits(a.lc_state, b.lc_state)) {
        return ::testing::AssertionFailure() << "smoother or loop filter state differs";
    }
    return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// Engine level: the same engine twice, one through the staged chunk, one per
// sample, with the same setter calls between chunks.

struct EnginePair {
    vk::Isa isa = vk::Isa::kAvx2;
    std::unique_ptr<DelayEngine> staged = std::make_unique<DelayEngine>();
    std::unique_ptr<DelayEngine> reference = std::make_unique<DelayEngine>();
    std::uint64_t staged_chunks = 0;
    std::uint64_t fallback_chunks = 0;

    template <typename F>
    void both(F f)
    {
        f(*staged);
        f(*reference);
    }

    // Runs whole chunks of `in`; returns false at the first difference.
    ::testing::AssertionResult run(const std::vector<float>& in, vk::Isa reference_isa = vk::Isa::kBaseline)
    {
        std::vector<float> a1(kChunk), a2(kChunk), b1(kChunk), b2(kChunk);
        for (std::size_t at = 0; at + kChunk <= in.size(); at += kChunk) {
            const bool fast = vk::run_chunk(isa, *staged, in.data() + at, a1.data(), a2.data());
            ++(fast ? staged_chunks : fallback_chunks);
            vk::run_reference(reference_isa, *reference, in.data() + at, b1.data(), b2.data(), kChunk);
            if (first_difference(a1, b1) != kChunk || first_difference(a2, b2) != kChunk) {
                return ::testing::AssertionFailure() << "outputs differ in the chunk at sample " << at
                                                     << (fast ? " (staged)" : " (fallback)");
            }
            const auto st = same_state(*staged, *reference);
            if (!st) {
                return ::testing::AssertionFailure() << st.message() << " after the chunk at sample " << at
                                                     << (fast ? " (staged)" : " (fallback)");
            }
        }
        return ::testing::AssertionSuccess();
    }
};

// Glides both engines to their requested length chunk by chunk (noise of
// `seed`), then brings the tap-ratio smoother to the value it comes to rest
// at (about 1.6 s of audio otherwise): steady runs need both at rest.
::testing::AssertionResult hold_steady(EnginePair& p, unsigned seed)
{
    while (p.staged->delay_line.gliding || p.staged->delay_line.pending_length != 0) {
        const auto r = p.run(noise(16 * 64, 1.0f, seed));
        if (!r) {
            return r;
        }
    }
    p.both([](DelayEngine& e) {
        float s = e.ratio_state;
        for (;;) {
            const float next = one_pole_step(e.ratio_coef, s, e.ratio_target);
            if (std::memcmp(&next, &s, sizeof s) == 0) {
                break;
            }
            s = next;
        }
        e.ratio_state = s;
    });
    return ::testing::AssertionSuccess();
}

// Runs `in` through both engines in calls of `per_call` whole chunks: the
// pipelined runs against the per-sample voice. Compares every output and the
// whole state after each call; out_1 shares the input's buffer when
// `inplace`.
::testing::AssertionResult run_blocks(EnginePair& p, const std::vector<float>& in, std::uint32_t per_call,
                                      bool inplace = false, std::uint64_t* pipelined = nullptr)
{
    const std::size_t n = std::size_t{per_call} * kChunk;
    std::vector<float> a_in(n), a1(n), a2(n), b1(n), b2(n);
    for (std::size_t at = 0; at + n <= in.size(); at += n) {
        std::copy(in.begin() + static_cast<std::ptrdiff_t>(at), in.begin() + static_cast<std::ptrdiff_t>(at + n),
                  a_in.begin());
        float* out_1 = inplace ? a_in.data() : a1.data();
        const vk::ChunkTally t = vk::run_chunks(p.isa, *p.staged, a_in.data(), out_1, a2.data(), per_call);
        if (pipelined != nullptr) {
            *pipelined += t.pipelined;
        }
        for (std::size_t c = 0; c < n; c += kChunk) {
            vk::run_reference(vk::Isa::kBaseline, *p.reference, in.data() + at + c, b1.data() + c, b2.data() + c,
                              kChunk);
        }
        const std::vector<float> got_1(out_1, out_1 + n);
        if (first_difference(got_1, b1) != n || first_difference(a2, b2) != n) {
            return ::testing::AssertionFailure() << "outputs differ in the call at sample " << at << " ("
                                                 << t.pipelined << " chunks pipelined)";
        }
        const auto st = same_state(*p.staged, *p.reference);
        if (!st) {
            return ::testing::AssertionFailure() << st.message() << " after the call at sample " << at;
        }
    }
    return ::testing::AssertionSuccess();
}

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
    EXPECT_GT(p.staged_chunks, 96000 / kChunk * 9 / 10);
    EXPECT_FALSE(p.staged->delay_line.gliding);
    EXPECT_EQ(p.staged->delay_line.length, 12000u);
    EXPECT_TRUE(same_state(*p.staged, *p.reference));
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
    // ends), request the length the glide is heading for.
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
        ASSERT_TRUE(p.run(in)) << "round " << round;
    }
    EXPECT_TRUE(shortened);
    EXPECT_TRUE(lengthened);
    EXPECT_GT(p.staged_chunks, p.fallback_chunks);
}

TEST_P(FastPath, StagedChunksGlideToo)
{
    EnginePair p = pair();
    p.both([](DelayEngine& e) { e.set_delay_ms(300.0f); });
    ASSERT_TRUE(p.run(noise(16 * 100, 0.5f, 3)));
    ASSERT_TRUE(p.staged->delay_line.gliding);
    const std::uint64_t staged_before = p.staged_chunks;
    ASSERT_TRUE(p.run(noise(16 * 1000, 0.5f, 4)));
    // Every one of these chunks glided; the taps were far from the write.
    EXPECT_EQ(p.staged_chunks - staged_before, 1000u);
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
    ASSERT_TRUE(p.run(noise(48000, 0.5f, 200)));
    EXPECT_GT(p.staged_chunks, p.fallback_chunks);
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
        ASSERT_TRUE(p.run(noise(2400, 0.8f, 10 + round))) << "round " << round;
    }
    EXPECT_GT(p.staged_chunks, p.fallback_chunks);
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
            staged += p.staged_chunks;
            fallback += p.fallback_chunks;
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
        ASSERT_TRUE(p.run(noise(48000 * 2, 0.9f, 5))) << ms;
        EXPECT_EQ(p.staged->delay_line.length, ms < 500.0f ? 23952u : 24000u);
        EXPECT_GT(p.staged_chunks, p.fallback_chunks);
    }
}

TEST_P(FastPath, ClippedAndUnclippedLoopMatch)
{
    // Loud noise and high feedback drive the lowpass into its clip; a
    // negative cutoff makes the coefficient larger than one (no proof of an
    // idle clip then); a huge cutoff makes it 0.
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
            const std::vector<float> in = noise(1600, 4.0f, 6);
            for (int round = 0; round < 20; ++round) {
                ASSERT_TRUE(p.run(in)) << lowpass << " / " << highpass;
                clipped |= std::fabs(p.staged->lp_state) == 1.0f;
            }
            EXPECT_GT(p.staged_chunks, p.fallback_chunks);
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
    ASSERT_TRUE(p.run(in));
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
    ASSERT_TRUE(p.run(in));
    ASSERT_TRUE(p.run(std::vector<float>(16 * 100, 0.0f)));
    p.both([nan](DelayEngine& e) {
        e.set_level_db(0.0f);
        e.set_feedback(nan);
    });
    ASSERT_TRUE(p.run(in));
    EXPECT_GT(p.staged_chunks, 0u);
}

TEST_P(FastPath, FmaReferenceAgreesWithStaged)
{
    EnginePair p = pair();
    p.both([](DelayEngine& e) {
        e.set_delay_ms(60.0f);
        e.set_tap_ratio(0.25f);
        e.set_feedback(0.75f);
    });
    for (int round = 0; round < 10; ++round) {
        if (round == 5) {
            p.both([](DelayEngine& e) { e.set_delay_ms(20.0f); });
        }
        ASSERT_TRUE(p.run(noise(4800, 1.0f, 20 + round), vk::Isa::kAvx2)) << round;
    }
    EXPECT_GT(p.staged_chunks, p.fallback_chunks);
}

// ---------------------------------------------------------------------------
// Plug-in level: the descriptor, as a host drives it, on each route.

struct Event {
    std::uint64_t at;
    std::uint32_t port;
    float value;
};

struct Script {
    double rate = 48000.0;
    std::uint64_t length = 48000;
    std::vector<std::uint32_t> blocks{64};
    bool inplace = false;
    float amplitude = 0.8f;
    std::vector<Event> events;
};

// Interleaved out_1, out_2 of the whole script, plus the final engine state.
struct Rendered {
    std::vector<float> out;
    std::unique_ptr<DelayEngine> engine;
};

Rendered render(const Script& s)
{
    const LV2_Descriptor* d = lv2_descriptor(0);
    LV2_Handle h = d->instantiate(d, s.rate, "/nowhere/", nullptr);
    std::array<float, kPortCount> controls = kDefaults;
    for (std::uint32_t p = kDelayMs; p < kPortCount; ++p) {
        d->connect_port(h, p, &controls[p]);
    }
    d->activate(h);
    const std::vector<float> input = noise(s.length, s.amplitude, 99);
    Rendered r;
    r.out.reserve(2 * s.length);
    std::size_t next_event = 0;
    std::size_t block_index = 0;
    std::vector<float> in;
    std::vector<float> o1;
    std::vector<float> o2;
    for (std::uint64_t at = 0; at < s.length;) {
        while (next_event < s.events.size() && s.events[next_event].at <= at) {
            controls[s.events[next_event].port] = s.events[next_event].value;
            ++next_event;
        }
        std::uint64_t n = s.blocks[block_index++ % s.blocks.size()];
        n = std::min<std::uint64_t>(n, s.length - at);
        if (next_event < s.events.size()) {
            n = std::min<std::uint64_t>(n, std::max<std::uint64_t>(1, s.events[next_event].at - at));
        }
        in.assign(input.begin() + static_cast<std::ptrdiff_t>(at),
                  input.begin() + static_cast<std::ptrdiff_t>(at + n));
        o1.assign(n, 0.0f);
        o2.assign(n, 0.0f);
        float* out_1 = s.inplace ? in.data() : o1.data();
        d->connect_port(h, kIn, in.data());
        d->connect_port(h, kOut1, out_1);
        d->connect_port(h, kOut2, o2.data());
        d->run(h, static_cast<std::uint32_t>(n));
        for (std::uint64_t i = 0; i < n; ++i) {
            r.out.push_back(out_1[i]);
            r.out.push_back(o2[i]);
        }
        at += n;
    }
    // Keep a copy of the final state for comparison.
    r.engine = std::make_unique<DelayEngine>();
    const DelayEngine& e = *static_cast<PluginInstance*>(h)->engine;
    std::memcpy(static_cast<void*>(r.engine.get()), &e, sizeof(DelayEngine));
    d->cleanup(h);
    return r;
}

struct RouteRun {
    std::string name;
    Rendered r;
    vk::RouteCounts counts;
};

RouteRun render_on(vk::Isa isa, vk::Path path, const Script& s)
{
    EXPECT_TRUE(vk::select_route(isa, path));
    vk::reset_route_counts();
    RouteRun rr{std::string(vk::isa_name(isa)) + (path == vk::Path::kFast ? "/fast" : "/reference"), render(s),
                vk::route_counts()};
    vk::select_load_time_route();
    return rr;
}

// Renders the script on every route the processor has and on the plug-in's
// own; all must agree with the baseline reference. Returns the counts of the
// fast route of the widest build.
vk::RouteCounts expect_routes_agree(const Script& s)
{
    RouteGuard guard;
    const RouteRun reference = render_on(vk::Isa::kBaseline, vk::Path::kReference, s);
    const Rendered own = render(s);
    EXPECT_SAME_BITS(own.out, reference.r.out);
    EXPECT_TRUE(same_state(*own.engine, *reference.r.engine));
    vk::RouteCounts widest;
    for (vk::Isa isa : {vk::Isa::kBaseline, vk::Isa::kAvx2, vk::Isa::kAvx512}) {
        if (!vk::isa_available(isa)) {
            continue;
        }
        for (vk::Path path : {vk::Path::kReference, vk::Path::kFast}) {
            const RouteRun run = render_on(isa, path, s);
            SCOPED_TRACE(run.name);
            EXPECT_SAME_BITS(run.r.out, reference.r.out);
            EXPECT_TRUE(same_state(*run.r.engine, *reference.r.engine));
            EXPECT_EQ(run.counts.pipelined_chunks + run.counts.staged_chunks + run.counts.per_sample_chunks,
                      reference.counts.per_sample_chunks);
            EXPECT_EQ(run.counts.partial_runs, reference.counts.partial_runs);
            if (path == vk::Path::kReference || isa == vk::Isa::kBaseline) {
                EXPECT_EQ(run.counts.staged_chunks, 0u);
                EXPECT_EQ(run.counts.pipelined_chunks, 0u);
            } else {
                widest = run.counts;
            }
        }
    }
    return widest;
}

class PluginRoutes : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!vk::isa_available(vk::Isa::kAvx2)) {
            GTEST_SKIP() << "no FMA on this processor: only the baseline build exists here";
        }
    }
};

TEST_F(PluginRoutes, SettledAtEveryBlockSize)
{
    for (std::uint32_t block : {1u, 2u, 15u, 16u, 17u, 64u, 100u, 512u, 4096u}) {
        SCOPED_TRACE(block);
        Script s;
        // The tap-ratio smoother comes to rest after about 1.6 s.
        s.length = 3 * 48000;
        s.blocks = {block};
        s.events = {{0, kDelayMs, 30.0f}, {0, kTapRatio, 50.0f}, {0, kFeedback, 60.0f}};
        const vk::RouteCounts c = expect_routes_agree(s);
        if (block == kChunk) {
            // One chunk per call: each is staged on its own.
            EXPECT_EQ(c.partial_runs, 0u);
            EXPECT_EQ(c.pipelined_chunks, 0u);
            EXPECT_GT(c.staged_chunks, s.length / kChunk * 9 / 10);
        } else if (block % kChunk == 0) {
            // Once the start-up glide and the ramps have settled, whole blocks
            // run pipelined.
            EXPECT_EQ(c.partial_runs, 0u);
            EXPECT_GT(c.pipelined_chunks + c.staged_chunks, s.length / kChunk * 9 / 10);
            EXPECT_GT(c.pipelined_chunks, s.length / kChunk / 3);
        } else if (block == 1) {
            EXPECT_EQ(c.staged_chunks + c.per_sample_chunks, 0u);
            EXPECT_EQ(c.partial_runs, s.length);
        } else {
            EXPECT_GT(c.partial_runs, 0u);
            if (block > kChunk) {
                EXPECT_GT(c.staged_chunks, 0u);
            }
        }
    }
}

TEST_F(PluginRoutes, MixedBlocksInPlaceWithEverythingMoving)
{
    Script s;
    s.length = 3 * 48000;
    s.blocks = {1, 7, 64, 4096, 16, 33, 512, 2, 100, 1000};
    s.inplace = true;
    s.amplitude = 1.0f;
    for (std::uint64_t t = 0; t < s.length; t += 2000) {
        const auto k = static_cast<float>(t / 2000);
        s.events.push_back({t, kTapRatio, std::fmod(k * 37.0f, 110.0f) - 5.0f});
        s.events.push_back({t, kLevelDb, -20.0f + std::fmod(k * 7.0f, 26.0f)});
        s.events.push_back({t, kPanTap, std::fmod(k * 53.0f, 200.0f) - 100.0f});
        s.events.push_back({t, kPanLoop, 100.0f - std::fmod(k * 31.0f, 200.0f)});
        s.events.push_back({t, kDiffusion, std::fmod(k * 13.0f, 100.0f)});
        s.events.push_back({t, kFeedback, std::fmod(k * 17.0f, 100.0f)});
        if (t % 12000 == 0) {
            s.events.push_back({t, kDelayMs, 5.0f + std::fmod(k * 91.0f, 495.0f)});
        }
        if (t % 30000 == 0) {
            s.events.push_back({t, kLowpassHz, 200.0f + std::fmod(k * 997.0f, 19800.0f)});
            s.events.push_back({t, kHighpassHz, 10.0f + std::fmod(k * 101.0f, 1990.0f)});
        }
    }
    std::stable_sort(s.events.begin(), s.events.end(), [](const Event& a, const Event& b) { return a.at < b.at; });
    const vk::RouteCounts c = expect_routes_agree(s);
    EXPECT_GT(c.staged_chunks, c.per_sample_chunks);
    EXPECT_GT(c.partial_runs, 0u);
}

TEST_F(PluginRoutes, ShortDelaysAndOtherRates)
{
    for (double rate : {44100.0, 96000.0, 8000.0}) {
        SCOPED_TRACE(rate);
        Script s;
        s.rate = rate;
        s.length = 30000;
        s.blocks = {256, 3, 64};
        s.events = {{0, kDelayMs, 0.25f}, {0, kFeedback, 90.0f}, {0, kTapRatio, 0.0f},
                    {12000, kDelayMs, 1.0f}, {20000, kDelayMs, 0.05f}};
        const vk::RouteCounts c = expect_routes_agree(s);
        EXPECT_GT(c.per_sample_chunks, 0u);
    }
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
            ASSERT_TRUE(hold_steady(p, static_cast<unsigned>(len)));
            std::uint64_t here = 0;
            const std::vector<float> in = noise(len > 4800 ? 2 * 24000 : 9600, 1.0f, static_cast<unsigned>(len + 1));
            for (std::uint32_t per_call : {2u, 3u, 7u, 64u, 200u}) {
                ASSERT_TRUE(run_blocks(p, in, per_call, per_call == 7u, &here)) << per_call << " chunks per call";
            }
            pipelined += here;
            // A tap that reads a slot of the chunk before (or an earlier one
            // of its own chunk) sends every chunk to the staged form; taps at
            // least 38 slots back, or ahead of the write, run pipelined.
            const float out_back = static_cast<float>(len) * ratio;
            if (len >= 17 && len <= 33) {
                EXPECT_EQ(here, 0u);
            } else if (len >= 47 && (out_back == 0.0f || out_back >= 38.0f)) {
                EXPECT_GT(here, 0u);
            } else {
                declined += here == 0 ? 1 : 0;
            }
        }
    }
    EXPECT_GT(pipelined, 0u);
    EXPECT_GT(declined, 0u);
}

TEST_P(FastPath, PipelinedRunsDeclineTapRatiosThatLeaveTheLine)
{
    // Tap ratios outside 0..1 can put the output tap more than a lap away
    // from the line; the runs must decline before reading there (the staged
    // chunk wraps such positions fully). Under the address sanitizer a read
    // outside the line fails this test even where the bits agree (it did,
    // and crashed natively, before the runs declined first).
    for (const float ratio : {-0.01f, 6.0f, 1.0e4f, -1.0e6f}) {
        for (const float ms : {120.0f, 500.0f}) {
            SCOPED_TRACE(testing::Message() << ms << " ms, ratio " << ratio);
            EnginePair p = pair();
            p.both([&](DelayEngine& e) {
                e.set_delay_ms(ms);
                e.set_tap_ratio(ratio);
                e.set_feedback(0.5f);
            });
            ASSERT_TRUE(hold_steady(p, 40));
            std::uint64_t pipelined = 0;
            ASSERT_TRUE(run_blocks(p, noise(16 * 400, 1.0f, 41), 40, false, &pipelined));
            // Ratios a little out of range still land inside the line after
            // the single wraps for some chunks; far out, never.
            if (std::fabs(ratio) >= 1.0e4f) {
                EXPECT_EQ(pipelined, 0u);
            }
        }
    }
}

TEST_P(FastPath, PipelinedRunsEndOnThePhaseTheLfoStepsGive)
{
    // A phase of -0 steps to -1 and back to +0: the run must store what the
    // steps give, not the phase it started from.
    EnginePair p = pair();
    p.both([](DelayEngine& e) { e.set_delay_ms(100.0f); });
    ASSERT_TRUE(hold_steady(p, 50));
    p.both([](DelayEngine& e) { e.delay_line.lfo_phase = -0.0f; });
    std::uint64_t pipelined = 0;
    ASSERT_TRUE(run_blocks(p, noise(16 * 8, 1.0f, 51), 8, false, &pipelined));
    EXPECT_EQ(pipelined, 8u);
    EXPECT_FALSE(std::signbit(p.staged->delay_line.lfo_phase));
}

TEST_P(FastPath, PipelinedRunsRecoverFromNonFiniteHistory)
{
    // A NaN feedback fills the line and the sections with NaN; once it is
    // finite again, the runs must decline while the states or the taps still
    // hold non-finite values, and match throughout.
    EnginePair p = pair();
    p.both([](DelayEngine& e) {
        e.set_delay_ms(40.0f);
        e.set_feedback(0.5f);
    });
    ASSERT_TRUE(hold_steady(p, 1));
    std::vector<float> in = noise(16 * 600, 1.0f, 2);
    in[100] = std::numeric_limits<float>::quiet_NaN();
    in[777] = std::numeric_limits<float>::infinity();
    std::uint64_t pipelined = 0;
    ASSERT_TRUE(run_blocks(p, in, 50, false, &pipelined));
    EXPECT_GT(pipelined, 500u);
    p.both([](DelayEngine& e) { e.set_feedback(std::numeric_limits<float>::quiet_NaN()); });
    ASSERT_TRUE(run_blocks(p, noise(16 * 50, 1.0f, 3), 25));
    p.both([](DelayEngine& e) { e.set_feedback(0.5f); });
    std::uint64_t after = 0;
    ASSERT_TRUE(run_blocks(p, noise(16 * 600, 1.0f, 4), 50, true, &after));
    // The loop filters keep the NaN for good: nothing after it runs staged.
    EXPECT_EQ(after, 0u);
    EXPECT_TRUE(std::isnan(p.staged->lp_state));
}

INSTANTIATE_TEST_SUITE_P(Builds, FastPath, ::testing::ValuesIn(kFastIsas), isa_label);

TEST(VoiceKernels, ActiveBuildIsTheWidestTheProcessorHas)
{
    EXPECT_TRUE(vk::isa_available(vk::Isa::kBaseline));
#if defined(__x86_64__)
    __builtin_cpu_init();
    const bool fma = __builtin_cpu_supports("fma");
    const bool avx512 = fma && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                        __builtin_cpu_supports("avx512vl");
    EXPECT_EQ(vk::isa_available(vk::Isa::kAvx2), fma);
    EXPECT_EQ(vk::isa_available(vk::Isa::kAvx512), avx512);
    EXPECT_EQ(vk::active_isa(), avx512 ? vk::Isa::kAvx512 : fma ? vk::Isa::kAvx2 : vk::Isa::kBaseline);
#else
    EXPECT_EQ(vk::active_isa(), vk::Isa::kBaseline);
#endif
    std::printf("voice build in use: %s\n", vk::isa_name(vk::active_isa()));
}

TEST(VoiceKernels, BaselineChunkNeverStages)
{
    auto e = std::make_unique<DelayEngine>();
    std::vector<float> in = noise(kChunk, 0.5f, 1);
    std::vector<float> o1(kChunk), o2(kChunk);
    for (int i = 0; i < 20000; ++i) {
        EXPECT_FALSE(vk::run_chunk(vk::Isa::kBaseline, *e, in.data(), o1.data(), o2.data()));
    }
}

} // namespace
} // namespace zq
