// The built bundle as a host discovers it: the plug-in, its ports and the
// metadata that validation does not check.

#include <gtest/gtest.h>
#include <lilv/lilv.h>

#include <cmath>
#include <string>
#include <vector>

#include "lilv_host.hpp"

namespace zq_test {
namespace {

struct PortSpec {
    const char* symbol;
    bool input;
    bool audio;
};

constexpr PortSpec kPorts[kPortCount] = {
    {"in", true, true},          {"out_1", false, true},      {"out_2", false, true},
    {"delay_ms", true, false},   {"tap_ratio", true, false},  {"level_db", true, false},
    {"pan_tap", true, false},    {"pan_loop", true, false},   {"diffusion", true, false},
    {"feedback", true, false},   {"lowpass_hz", true, false}, {"highpass_hz", true, false},
};

LilvNode* uri(const char* u) { return lilv_new_uri(shared_world().world(), u); }

TEST(Bundle, DeclaresTheTwelvePorts)
{
    const LilvPlugin* p = shared_world().plugin();
    ASSERT_EQ(lilv_plugin_get_num_ports(p), kPortCount);
    LilvNode* input = uri(LILV_URI_INPUT_PORT);
    LilvNode* output = uri(LILV_URI_OUTPUT_PORT);
    LilvNode* audio = uri(LILV_URI_AUDIO_PORT);
    LilvNode* control = uri(LILV_URI_CONTROL_PORT);
    for (std::uint32_t i = 0; i < kPortCount; ++i) {
        const LilvPort* port = lilv_plugin_get_port_by_index(p, i);
        ASSERT_NE(port, nullptr);
        EXPECT_STREQ(lilv_node_as_string(lilv_port_get_symbol(p, port)), kPorts[i].symbol);
        EXPECT_TRUE(lilv_port_is_a(p, port, kPorts[i].input ? input : output)) << i;
        EXPECT_TRUE(lilv_port_is_a(p, port, kPorts[i].audio ? audio : control)) << i;
    }
    for (LilvNode* n : {input, output, audio, control}) {
        lilv_node_free(n);
    }
    LilvNode* library = lilv_node_duplicate(lilv_plugin_get_library_uri(p));
    EXPECT_NE(std::string(lilv_node_as_uri(library)).find("libzwirbelton-quorvel.so"), std::string::npos);
    lilv_node_free(library);
}

TEST(Bundle, DefaultsLieInTheirRanges)
{
    const LilvPlugin* p = shared_world().plugin();
    std::vector<float> min(kPortCount);
    std::vector<float> max(kPortCount);
    std::vector<float> def(kPortCount);
    lilv_plugin_get_port_ranges_float(p, min.data(), max.data(), def.data());
    for (std::uint32_t i = kFirstControl; i < kPortCount; ++i) {
        EXPECT_LT(min[i], max[i]) << kPorts[i].symbol;
        EXPECT_GE(def[i], min[i]) << kPorts[i].symbol;
        EXPECT_LE(def[i], max[i]) << kPorts[i].symbol;
    }
    EXPECT_EQ(def[3], 120.0f);
    EXPECT_EQ(def[8], 66.0f);
}

TEST(Bundle, NeedsNoHostFeatureAndRunsAtCommonRates)
{
    const LilvPlugin* p = shared_world().plugin();
    LilvNodes* required = lilv_plugin_get_required_features(p);
    EXPECT_EQ(lilv_nodes_size(required), 0u);
    lilv_nodes_free(required);
    for (double rate : {44100.0, 48000.0, 96000.0}) {
        HostedPlugin host(rate);
        std::vector<float> in(1000, 0.0f);
        in[0] = 1.0f;
        std::vector<float> o1(in.size());
        std::vector<float> o2(in.size());
        host.run(in.data(), o1.data(), o2.data(), in.size(), 128);
        EXPECT_EQ(o1[0], 1.0f) << "dry impulse at " << rate;
        for (float v : o1) {
            ASSERT_TRUE(std::isfinite(v));
        }
    }
}

// A host-driven start: the line opens from 0 to 5760 samples over 0.4 s, so
// an impulse's first echo arrives early, while the delay is still growing.
TEST(Bundle, StartUpGlideOpensTheDelay)
{
    HostedPlugin host(48000.0);
    std::vector<float> in(48000, 0.0f);
    in[0] = 1.0f;
    std::vector<float> o1(in.size());
    std::vector<float> o2(in.size());
    host.run(in.data(), o1.data(), o2.data(), in.size(), 256);
    std::size_t first_echo = 0;
    for (std::size_t i = 1; i < in.size(); ++i) {
        if (std::fabs(o1[i]) > 1e-4f) {
            first_echo = i;
            break;
        }
    }
    // The diffusers alone hold it back 1346 samples; the line adds what it
    // has opened up by then, far less than its final 5760.
    EXPECT_GT(first_echo, 1346u);
    EXPECT_LT(first_echo, 1346u + 5760u / 2);
}

} // namespace
} // namespace zq_test
