// The shell as a host sees it: descriptor, ports, the scan and the chunk
// cycle. Instances are made through the descriptor, then looked into.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "diag/log.hpp"
#include "linked_host.hpp"
#include "test_signals.hpp"

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace zq {
namespace {

using Host = zq_test::LinkedHost;

std::vector<float> noise(std::size_t n, unsigned seed) { return zq_test::noise(n, 0.5f, seed); }

TEST(Descriptor, OneDescriptorWithTheUri)
{
    const LV2_Descriptor* d = lv2_descriptor(0);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->URI, kPluginUri);
    EXPECT_EQ(lv2_descriptor(1), nullptr);
    EXPECT_EQ(lv2_descriptor(0xffffffffu), nullptr);
    EXPECT_EQ(d->extension_data("http://lv2plug.in/ns/ext/state#interface"), nullptr);
    EXPECT_EQ(d->extension_data(""), nullptr);
}

TEST(Instance, StartsUnsetAndUnconnected)
{
    const LV2_Descriptor* d = lv2_descriptor(0);
    LV2_Handle h = d->instantiate(d, 44100.0, nullptr, nullptr);
    ASSERT_NE(h, nullptr);
    auto& self = *static_cast<PluginInstance*>(h);
    EXPECT_EQ(self.in, nullptr);
    EXPECT_EQ(self.highpass_hz, nullptr);
    EXPECT_TRUE(std::isnan(self.delay_ms_seen));
    EXPECT_TRUE(std::isnan(self.tap_ratio_seen));
    EXPECT_TRUE(std::isnan(self.lowpass_hz_seen));
    EXPECT_TRUE(std::isnan(self.highpass_hz_seen));
    EXPECT_EQ(self.level_ramp.current, -8.9991f);
    EXPECT_EQ(self.diffusion_ramp.target, 66.0f);
    EXPECT_EQ(self.engine->sample_rate, 44100.0f);
    EXPECT_EQ(self.engine->delay_line.pending_length, 5760u);
    d->cleanup(h);
}

TEST(Instance, ConnectPortPastTheLastChangesNothing)
{
    Host host;
    PluginInstance before = host.self();
    float x = 0.0f;
    host.descriptor()->connect_port(host.handle(), 12, &x);
    host.descriptor()->connect_port(host.handle(), 1000, &x);
    EXPECT_EQ(std::memcmp(&before, &host.self(), sizeof before), 0);
}

TEST(RunCycle, FirstScanPassesTheImmediateControls)
{
    Host host(44100.0);
    host.set_control(kHighpassHz, 100.0f);
    host.set_control(kTapRatio, 50.0f);
    host.run(nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(host.engine().delay_line.pending_length, 5760u) << "120 ms is the set-up value";
    EXPECT_EQ(host.engine().highpass_hz, 100.0f);
    EXPECT_EQ(host.engine().ratio_target, 50.0f * 0.01f);
    host.set_control(kDelayMs, 100.0f);
    host.run(nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(host.engine().delay_line.pending_length, 4410u) << "converted at the host rate";
}

TEST(RunCycle, EmptyBlockScansButNeitherTicksNorTouchesBuffers)
{
    Host host;
    host.set_control(kLevelDb, 0.0f);
    host.set_control(kFeedback, 50.0f);
    float in[4] = {1, 2, 3, 4};
    float o1[4] = {7, 7, 7, 7};
    float o2[4] = {7, 7, 7, 7};
    host.run(in, o1, o2, 0);
    EXPECT_EQ(host.self().level_ramp.target, 0.0f);
    EXPECT_EQ(host.self().feedback_ramp.target, 0.5f);
    EXPECT_EQ(host.self().level_ramp.current, -8.9991f);
    EXPECT_EQ(host.engine().level_db, -6.0f);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(o1[i], 7.0f);
        EXPECT_EQ(o2[i], 7.0f);
    }
}

TEST(RunCycle, HeldControlsCallNoSetter)
{
    Host host;
    std::vector<float> in(64, 0.0f);
    host.render(in, 64);
    // Poison the engine's caches: a setter called with the port's value
    // would find them different and recompute.
    DelayEngine& e = host.engine();
    e.lowpass_hz = 1.0f;
    e.highpass_hz = 1.0f;
    e.delay_ms = 1.0f;
    e.ratio_target = 0.3f;
    // A ramp at rest calls no setter either.
    e.pan_tap = 7.0f;
    e.tap_gain_1 = 5.0f;
    const float lp_coef = e.lp_coef;
    const std::uint64_t pending = e.delay_line.pending_length;
    host.render(in, 64);
    EXPECT_EQ(e.lowpass_hz, 1.0f);
    EXPECT_EQ(e.highpass_hz, 1.0f);
    EXPECT_EQ(e.delay_ms, 1.0f);
    EXPECT_EQ(e.lp_coef, lp_coef);
    EXPECT_EQ(e.delay_line.pending_length, pending);
    EXPECT_EQ(e.ratio_target, 0.3f);
    EXPECT_EQ(e.pan_tap, 7.0f);
    EXPECT_EQ(e.tap_gain_1, 5.0f);
}

TEST(RunCycle, RampsTickOncePerChunk)
{
    Host host;
    host.set_control(kLevelDb, 0.0f);
    std::vector<float> in(64, 0.0f);
    host.render(in, 64);
    ParamRamp expected = kLevelRampStart;
    expected.target = 0.0f;
    for (int i = 0; i < 4; ++i) {
        expected.tick();
    }
    EXPECT_EQ(host.self().level_ramp.current, expected.current);
    EXPECT_EQ(host.engine().level_db, expected.current);
    // Partial blocks: 5 + 11 samples are one chunk, the 17th sample starts a second.
    Host split;
    split.set_control(kLevelDb, 0.0f);
    std::vector<float> few(5, 0.0f);
    split.render(few, 5);
    EXPECT_EQ(split.engine().level_db, -8.819099f);
    std::vector<float> rest(11, 0.0f);
    split.render(rest, 11);
    EXPECT_EQ(split.engine().level_db, -8.819099f);
    std::vector<float> one(1, 0.0f);
    split.render(one, 1);
    EXPECT_EQ(split.engine().level_db, -8.639099f);
}

TEST(RunCycle, OutputDoesNotDependOnTheBlockSplitOrInPlaceBuffers)
{
    // Controls held, ramps moving from their start values through the run.
    const std::vector<float> in = noise(16 * 1500 + 5, 7);
    auto with_block = [&in](std::size_t block, bool in_place) {
        Host host;
        host.set_control(kFeedback, 80.0f);
        host.set_control(kPanTap, 60.0f);
        host.set_control(kLevelDb, -3.0f);
        host.set_control(kDelayMs, 40.0f);
        host.set_control(kTapRatio, 37.0f);
        return host.render(in, block, in_place);
    };
    const std::vector<float> reference = with_block(16, false);
    for (std::size_t block : {1u, 7u, 64u, 100u, 4096u, 30000u}) {
        const bool in_place = block == 100; // out_1 in the input's buffer
        const std::vector<float> out = with_block(block, in_place);
        ASSERT_EQ(out.size(), reference.size());
        EXPECT_EQ(std::memcmp(out.data(), reference.data(), out.size() * sizeof(float)), 0) << "block " << block;
    }
}

TEST(RunCycle, NeverTouchesSamplesPastTheBlock)
{
    Host host;
    for (std::uint32_t n : {1u, 15u, 16u, 17u, 33u}) {
        std::vector<float> in(n + 8, 0.25f);
        std::vector<float> o1(n + 8, 9.0f);
        std::vector<float> o2(n + 8, 9.0f);
        in[n] = std::numeric_limits<float>::quiet_NaN(); // would show if read
        host.run(in.data(), o1.data(), o2.data(), n);
        for (std::uint32_t i = 0; i < n; ++i) {
            ASSERT_TRUE(std::isfinite(o1[i]));
        }
        for (std::uint32_t i = n; i < n + 8; ++i) {
            EXPECT_EQ(o1[i], 9.0f);
            EXPECT_EQ(o2[i], 9.0f);
        }
    }
}

TEST(RunCycle, DeactivateAndActivateChangeNothing)
{
    std::vector<float> in(16 * 3000, 0.0f);
    in[0] = 1.0f;
    auto render = [&in](bool pause) {
        Host host;
        host.set_control(kFeedback, 50.0f);
        std::vector<float> head(in.begin(), in.begin() + 4000);
        std::vector<float> tail(in.begin() + 4000, in.end());
        std::vector<float> out = host.render(head, 256);
        if (pause) {
            host.deactivate();
            host.activate();
        }
        const std::vector<float> rest = host.render(tail, 256);
        out.insert(out.end(), rest.begin(), rest.end());
        return out;
    };
    const std::vector<float> paused = render(true);
    EXPECT_EQ(paused, render(false));
    float late = 0.0f;
    for (std::size_t i = 4000; i < in.size(); ++i) {
        late = std::max(late, std::fabs(paused[i]));
    }
    EXPECT_GT(late, 1e-3f) << "echoes of the impulse sound after the pause";
}

TEST(RunCycle, LevelChangeReachesTheEngineChunkByChunk)
{
    Host host;
    std::vector<float> in(16 * 100, 0.0f);
    host.render(in, 16 * 100);
    EXPECT_EQ(host.engine().level_db, -9.0f);
    host.set_control(kLevelDb, -3.0f);
    std::vector<float> chunk(16, 0.0f);
    host.render(chunk, 16);
    EXPECT_FLOAT_EQ(host.engine().level_db, -9.0f + 0.18f);
}

TEST(RunCycle, AnySampleRateGivesASoundInstance)
{
    const std::vector<float> in = noise(16 * 200 + 3, 9);
    for (double rate : {1.0, 22050.0, 768000.0, 0.0, -48000.0, 1e300, -1e300,
                        std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
        Host host(rate);
        host.set_control(kDelayMs, 0.0f); // converted at the host rate
        host.set_control(kFeedback, 90.0f);
        std::vector<float> out = host.render(in, 100);
        host.set_control(kDelayMs, 333.0f);
        const std::vector<float> more = host.render(in, 100);
        out.insert(out.end(), more.begin(), more.end());
        for (float v : out) {
            ASSERT_TRUE(std::isfinite(v)) << rate;
            ASSERT_LT(std::fabs(v), 10.0f) << rate;
        }
        const std::uint64_t pending = host.engine().delay_line.pending_length;
        const std::uint64_t length = host.engine().delay_line.length;
        EXPECT_LE(std::max(pending, length), 24000u) << rate;
    }
}

// On a thread that flushes nothing, `run` flushes denormals while it runs
// and hands the thread back in the mode it found.
TEST(RunCycle, RunFlushesDenormalsAndRestoresTheHostsMode)
{
#if defined(__x86_64__)
    Host host;
    host.set_control(kLevelDb, -90.0f); // out = in exactly, through the fmas
    std::vector<float> silence(16 * 64, 0.0f);
    host.render(silence, 64);
    const unsigned host_mode = 0x1F80; // the C default: nothing flushed
    const unsigned before = _mm_getcsr();
    _mm_setcsr(host_mode);
    const float tiny = std::numeric_limits<float>::denorm_min() * 1000.0f;
    std::vector<float> in(64, tiny);
    const std::vector<float> out = host.render(in, 64);
    const unsigned after = _mm_getcsr();
    _mm_setcsr(before);
    EXPECT_EQ(after & ~0x3Fu, host_mode);
    for (float v : out) {
        // Bits, not ==: the comparison itself may run with denormals as zero.
        ASSERT_EQ(std::bit_cast<std::uint32_t>(v) & 0x7fffffffu, 0u) << "a denormal input reads as zero during run";
    }
#else
    GTEST_SKIP() << "x86-64 only";
#endif
}

TEST(RunCycle, InstantiateSwitchesTheLogAtTheFixedPath)
{
    struct stat st {};
    if (::lstat(kLogPath, &st) == 0) {
        GTEST_SKIP() << kLogPath << " exists already; not touching it";
    }
    {
        std::FILE* f = std::fopen(kLogPath, "w");
        ASSERT_NE(f, nullptr);
        std::fputs("4\n", f);
        std::fclose(f);
    }
    const LV2_Descriptor* d = lv2_descriptor(0);
    LV2_Handle h = d->instantiate(d, 48000.0, nullptr, nullptr);
    const std::int32_t level = log_level.load();
    d->cleanup(h);
    char content[128] = {};
    std::FILE* f = std::fopen(kLogPath, "r");
    ASSERT_NE(f, nullptr);
    const std::size_t n = std::fread(content, 1, sizeof content - 1, f);
    std::fclose(f);
    ::unlink(kLogPath);
    log_open_switch(kLogPath); // and off again, as without the file
    EXPECT_EQ(level, 4);
    // Other test processes creating instances meanwhile may append theirs.
    EXPECT_EQ(std::string(content, n).substr(0, 29), "4\n### log is active now ### \n");
    EXPECT_EQ(log_level.load(), 0);
}

} // namespace
} // namespace zq
