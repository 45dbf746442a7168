// The plug-in's descriptor, driven as a host drives it, on every route of
// the test build's voice (each instruction-set build, per sample and
// staged): every output bit and the final state must agree with the
// baseline per-sample voice, and the routes must count the chunks they ran.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dsp/delay_engine.hpp"
#include "dsp/voice_kernels.hpp"
#include "engine_bits.hpp"
#include "linked_host.hpp"
#include "test_signals.hpp"
#include "vector_script.hpp"

namespace zq {
namespace {

namespace vk = voice_kernels;
using zq_test::first_difference;
using zq_test::noise;
using zq_test::state_difference;

constexpr std::uint32_t kChunk = DelayEngine::kChunk;

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
    zq_test::LinkedHost host(s.rate);
    host.activate();
    const std::vector<float> input = noise(s.length, s.amplitude, 99);
    Rendered r;
    r.out.reserve(2 * s.length);
    std::size_t next_event = 0;
    std::size_t block_index = 0;
    std::vector<float> in;
    std::vector<float> o1;
    std::vector<float> o2;
    for (std::uint64_t at = 0; at < s.length;) {
        for (; next_event < s.events.size() && s.events[next_event].at <= at; ++next_event) {
            host.set_control(s.events[next_event].port, s.events[next_event].value);
        }
        std::uint64_t n = std::min<std::uint64_t>(s.blocks[block_index++ % s.blocks.size()], s.length - at);
        if (next_event < s.events.size()) {
            n = std::min<std::uint64_t>(n, std::max<std::uint64_t>(1, s.events[next_event].at - at));
        }
        in.assign(input.begin() + static_cast<std::ptrdiff_t>(at),
                  input.begin() + static_cast<std::ptrdiff_t>(at + n));
        o1.assign(n, 0.0f);
        o2.assign(n, 0.0f);
        float* out_1 = s.inplace ? in.data() : o1.data();
        host.run(in.data(), out_1, o2.data(), static_cast<std::uint32_t>(n));
        for (std::uint64_t i = 0; i < n; ++i) {
            r.out.push_back(out_1[i]);
            r.out.push_back(o2[i]);
        }
        at += n;
    }
    r.engine = std::make_unique<DelayEngine>();
    std::memcpy(static_cast<void*>(r.engine.get()), &host.engine(), sizeof(DelayEngine));
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
    const RouteRun reference = render_on(vk::Isa::kBaseline, vk::Path::kReference, s);
    const Rendered own = render(s);
    EXPECT_EQ(first_difference(own.out, reference.r.out), own.out.size());
    EXPECT_STREQ(state_difference(*own.engine, *reference.r.engine), nullptr);
    vk::RouteCounts widest;
    for (vk::Isa isa : {vk::Isa::kBaseline, vk::Isa::kAvx2, vk::Isa::kAvx512, vk::Isa::kNeon}) {
        if (!vk::isa_available(isa)) {
            continue;
        }
        for (vk::Path path : {vk::Path::kReference, vk::Path::kFast}) {
            const RouteRun run = render_on(isa, path, s);
            SCOPED_TRACE(run.name);
            EXPECT_EQ(first_difference(run.r.out, reference.r.out), run.r.out.size());
            EXPECT_STREQ(state_difference(*run.r.engine, *reference.r.engine), nullptr);
            EXPECT_EQ(run.counts.pipelined_chunks + run.counts.staged_chunks + run.counts.per_sample_chunks,
                      reference.counts.per_sample_chunks);
            EXPECT_EQ(run.counts.partial_runs, reference.counts.partial_runs);
            if (path == vk::Path::kReference || isa == vk::Isa::kBaseline) {
                EXPECT_EQ(run.counts.staged_chunks + run.counts.pipelined_chunks, 0u);
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
        if (vk::active_isa() == vk::Isa::kBaseline) {
            GTEST_SKIP() << "only the baseline build exists on this processor";
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
            // One chunk per call, each from the front read beside the call
            // before.
            EXPECT_EQ(c.partial_runs, 0u);
            EXPECT_GT(c.pipelined_chunks, s.length / kChunk * 9 / 10);
        } else if (block % kChunk == 0) {
            // Whole blocks run pipelined, the ramps' first seconds too.
            EXPECT_EQ(c.partial_runs, 0u);
            EXPECT_GT(c.pipelined_chunks + c.staged_chunks, s.length / kChunk * 9 / 10);
            EXPECT_GT(c.pipelined_chunks, s.length / kChunk / 2);
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
    // Ramps, glides and the tap ratio all moving: still pipelined.
    EXPECT_GT(c.pipelined_chunks, c.per_sample_chunks);
    EXPECT_GT(c.staged_chunks, 0u);
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

} // namespace
} // namespace zq
