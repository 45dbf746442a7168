// The built bundle as a host discovers it: the plug-in, its ports and the
// metadata that validation does not check.

#include <gtest/gtest.h>
#include <lilv/lilv.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "lilv_host.hpp"

namespace zq_test {
namespace {

using zq::kFirstControl;
using zq::kPortCount;
using zq::kPorts;
using zq::PortKind;

LilvNode* uri(const char* u) { return lilv_new_uri(shared_world().world(), u); }

// Every port as the port table has it: index, symbol, direction and kind,
// and for the controls the default and range a host offers.
TEST(Bundle, DeclaresThePortsOfThePortTable)
{
    const LilvPlugin* p = shared_world().plugin();
    ASSERT_EQ(lilv_plugin_get_num_ports(p), kPortCount);
    std::vector<float> min(kPortCount);
    std::vector<float> max(kPortCount);
    std::vector<float> def(kPortCount);
    lilv_plugin_get_port_ranges_float(p, min.data(), max.data(), def.data());
    LilvNode* input = uri(LILV_URI_INPUT_PORT);
    LilvNode* output = uri(LILV_URI_OUTPUT_PORT);
    LilvNode* audio = uri(LILV_URI_AUDIO_PORT);
    LilvNode* control = uri(LILV_URI_CONTROL_PORT);
    for (const zq::PortInfo& info : kPorts) {
        const std::uint32_t i = info.index;
        const LilvPort* port = lilv_plugin_get_port_by_index(p, i);
        ASSERT_NE(port, nullptr);
        EXPECT_STREQ(lilv_node_as_string(lilv_port_get_symbol(p, port)), info.symbol);
        EXPECT_TRUE(lilv_port_is_a(p, port, info.kind == PortKind::kAudioOut ? output : input)) << i;
        const bool is_audio = info.kind == PortKind::kAudioIn || info.kind == PortKind::kAudioOut;
        EXPECT_TRUE(lilv_port_is_a(p, port, is_audio ? audio : control)) << i;
        if (!is_audio) {
            EXPECT_EQ(def[i], info.default_value) << info.symbol;
            EXPECT_EQ(min[i], info.min) << info.symbol;
            EXPECT_EQ(max[i], info.max) << info.symbol;
            EXPECT_LT(min[i], max[i]) << info.symbol;
            EXPECT_GE(def[i], min[i]) << info.symbol;
            EXPECT_LE(def[i], max[i]) << info.symbol;
        }
    }
    for (LilvNode* n : {input, output, audio, control}) {
        lilv_node_free(n);
    }
    EXPECT_STREQ(lilv_node_as_uri(lilv_plugin_get_uri(p)), zq::kPluginUri);
    LilvNode* library = lilv_node_duplicate(lilv_plugin_get_library_uri(p));
    EXPECT_NE(std::string(lilv_node_as_uri(library)).find("libzwirbelton-quorvel.so"), std::string::npos);
    lilv_node_free(library);
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
        const std::vector<float> out = host.render(in, 128);
        EXPECT_EQ(out[0], 1.0f) << "dry impulse at " << rate;
        for (float v : out) {
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
    const std::vector<float> o1 = host.render(in, 256);
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

namespace zq_test {
namespace {

constexpr const char* kDoap = "http://usefulinc.com/ns/doap#";
constexpr const char* kFoaf = "http://xmlns.com/foaf/0.1/";
constexpr const char* kLv2 = "http://lv2plug.in/ns/lv2core#";
constexpr const char* kRdfs = "http://www.w3.org/2000/01/rdf-schema#";
constexpr const char* kPset = "http://lv2plug.in/ns/ext/presets#";

// The one value of `subject predicate ?`, or an empty string.
std::string value_of(const LilvNode* subject, const std::string& predicate)
{
    ::LilvWorld* w = shared_world().world();
    LilvNode* pred = lilv_new_uri(w, predicate.c_str());
    LilvNode* v = lilv_world_get(w, subject, pred, nullptr);
    lilv_node_free(pred);
    std::string s = v != nullptr ? lilv_node_as_string(v) : "";
    lilv_node_free(v);
    return s;
}

TEST(Bundle, DescribesItselfBeyondWhatValidationChecks)
{
    const LilvPlugin* p = shared_world().plugin();
    const LilvNode* self = lilv_plugin_get_uri(p);
    {
        ::LilvWorld* w = shared_world().world();
        LilvNode* type = lilv_new_uri(w, "http://www.w3.org/1999/02/22-rdf-syntax-ns#type");
        LilvNode* delay = lilv_new_uri(w, (std::string(kLv2) + "DelayPlugin").c_str());
        EXPECT_TRUE(lilv_world_ask(w, self, type, delay)) << "a specific class for hosts' menus";
        lilv_node_free(delay);
        lilv_node_free(type);
    }
    EXPECT_FALSE(value_of(self, std::string(kDoap) + "name").empty());
    EXPECT_FALSE(value_of(self, std::string(kDoap) + "shortdesc").empty());
    EXPECT_FALSE(value_of(self, std::string(kDoap) + "license").empty());
    const std::string minor = value_of(self, std::string(kLv2) + "minorVersion");
    const std::string micro = value_of(self, std::string(kLv2) + "microVersion");
    ASSERT_FALSE(minor.empty());
    ASSERT_FALSE(micro.empty());
    EXPECT_EQ(std::stoi(minor) % 2, 0) << "a release has even version numbers";
    EXPECT_EQ(std::stoi(micro) % 2, 0);
    // The package and the bundle carry the one version the project declares.
    EXPECT_EQ(std::stoi(minor), ZQ_VERSION_MINOR);
    EXPECT_EQ(std::stoi(micro), ZQ_VERSION_PATCH);

    // The maintainer with name, mail and homepage, through the project.
    const std::string project = value_of(self, std::string(kLv2) + "project");
    ASSERT_FALSE(project.empty());
    LilvNode* project_node = lilv_new_uri(shared_world().world(), project.c_str());
    const std::string maintainer = value_of(project_node, std::string(kDoap) + "maintainer");
    lilv_node_free(project_node);
    ASSERT_FALSE(maintainer.empty());
    LilvNode* person = lilv_new_uri(shared_world().world(), maintainer.c_str());
    for (const char* field : {"name", "mbox", "homepage"}) {
        EXPECT_FALSE(value_of(person, std::string(kFoaf) + field).empty()) << field;
    }
    lilv_node_free(person);

    LilvNode* comment = lilv_new_uri(shared_world().world(), (std::string(kRdfs) + "comment").c_str());
    for (std::uint32_t i = 0; i < kPortCount; ++i) {
        LilvNodes* c = lilv_port_get_value(p, lilv_plugin_get_port_by_index(p, i), comment);
        EXPECT_EQ(lilv_nodes_size(c), 1u) << "tooltip of port " << i;
        lilv_nodes_free(c);
    }
    lilv_node_free(comment);
}

// Characters, not bytes: a display counts what it shows.
std::size_t display_length(const std::string& utf8)
{
    return static_cast<std::size_t>(
        std::count_if(utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// Pedalboards show the plug-in by brand and label, every port by its short
// name on a small display, and group the controls as the bundle declares.
TEST(Bundle, FitsPedalboardDisplays)
{
    constexpr const char* kMod = "http://moddevices.com/ns/mod#";
    constexpr const char* kPg = "http://lv2plug.in/ns/ext/port-groups#";
    ::LilvWorld* w = shared_world().world();
    const LilvPlugin* p = shared_world().plugin();
    const LilvNode* self = lilv_plugin_get_uri(p);
    const std::string brand = value_of(self, std::string(kMod) + "brand");
    const std::string label = value_of(self, std::string(kMod) + "label");
    EXPECT_FALSE(brand.empty());
    EXPECT_LE(display_length(brand), 11u) << brand;
    EXPECT_FALSE(label.empty());
    EXPECT_LE(display_length(label), 16u) << label;

    LilvNode* short_name = uri((std::string(kLv2) + "shortName").c_str());
    LilvNode* group = uri((std::string(kPg) + "group").c_str());
    LilvNode* type = uri("http://www.w3.org/1999/02/22-rdf-syntax-ns#type");
    LilvNode* input_group = uri((std::string(kPg) + "InputGroup").c_str());
    LilvNode* tap_tempo = uri((std::string(kMod) + "tapTempo").c_str());
    for (const zq::PortInfo& info : kPorts) {
        const LilvPort* port = lilv_plugin_get_port_by_index(p, info.index);
        LilvNodes* names = lilv_port_get_value(p, port, short_name);
        ASSERT_EQ(lilv_nodes_size(names), 1u) << info.symbol;
        const std::string name = lilv_node_as_string(lilv_nodes_get_first(names));
        lilv_nodes_free(names);
        EXPECT_FALSE(name.empty()) << info.symbol;
        EXPECT_LE(display_length(name), 16u) << info.symbol << ": " << name;

        // Every port sits in a declared group; a control's group holds inputs.
        LilvNodes* groups = lilv_port_get_value(p, port, group);
        ASSERT_EQ(lilv_nodes_size(groups), 1u) << info.symbol;
        const LilvNode* g = lilv_nodes_get_first(groups);
        EXPECT_FALSE(value_of(g, std::string(kLv2) + "symbol").empty()) << info.symbol;
        EXPECT_FALSE(value_of(g, std::string(kRdfs) + "label").empty()) << info.symbol;
        if (info.index >= kFirstControl) {
            EXPECT_TRUE(lilv_world_ask(w, g, type, input_group)) << info.symbol;
        }
        lilv_nodes_free(groups);

        // A footswitch tap sets the delay time, and nothing else.
        EXPECT_EQ(lilv_port_has_property(p, port, tap_tempo), info.index == zq::kDelayMs) << info.symbol;
    }
    for (LilvNode* n : {short_name, group, type, input_group, tap_tempo}) {
        lilv_node_free(n);
    }
}

std::vector<std::string> preset_uris()
{
    ::LilvWorld* w = shared_world().world();
    LilvNode* preset_class = lilv_new_uri(w, (std::string(kPset) + "Preset").c_str());
    LilvNodes* presets = lilv_plugin_get_related(shared_world().plugin(), preset_class);
    std::vector<std::string> uris;
    LILV_FOREACH (nodes, i, presets) {
        uris.emplace_back(lilv_node_as_uri(lilv_nodes_get(presets, i)));
    }
    lilv_nodes_free(presets);
    lilv_node_free(preset_class);
    return uris;
}

TEST(Presets, EachSetsAllNineControlsWithinRange)
{
    const std::vector<std::string> uris = preset_uris();
    ASSERT_GE(uris.size(), 6u);
    ::LilvWorld* w = shared_world().world();
    for (const std::string& uri : uris) {
        LilvNode* node = lilv_new_uri(w, uri.c_str());
        lilv_world_load_resource(w, node);
        EXPECT_FALSE(value_of(node, std::string(kRdfs) + "label").empty()) << uri;
        EXPECT_FALSE(value_of(node, std::string(kRdfs) + "comment").empty()) << uri;
        lilv_node_free(node);

        HostedPlugin host(48000.0);
        // Poison the controls: each must be replaced by the preset.
        for (std::uint32_t i = kFirstControl; i < kPortCount; ++i) {
            host.set_control(i, -12345.0f);
        }
        ASSERT_TRUE(host.apply_preset(uri)) << uri;
        for (std::uint32_t i = kFirstControl; i < kPortCount; ++i) {
            EXPECT_GE(host.control(i), kPorts[i].min) << uri << " port " << i;
            EXPECT_LE(host.control(i), kPorts[i].max) << uri << " port " << i;
        }
    }
}

TEST(Presets, EachRendersEchoes)
{
    for (const std::string& uri : preset_uris()) {
        HostedPlugin host(48000.0);
        ASSERT_TRUE(host.apply_preset(uri));
        std::vector<float> in(48000 * 2, 0.0f);
        for (std::size_t i = 0; i < 2400; ++i) {
            in[i] = 0.5f * std::sin(0.06f * static_cast<float>(i));
        }
        const std::vector<float> out = host.render(in, 512);
        float wet = 0.0f;
        for (std::size_t i = 0; i < out.size(); ++i) {
            ASSERT_TRUE(std::isfinite(out[i])) << uri;
            ASSERT_LT(std::fabs(out[i]), 4.0f) << uri;
            wet = std::max(wet, std::fabs(out[i] - in[i % in.size()]));
        }
        EXPECT_GT(wet, 0.01f) << uri;
    }
}

} // namespace
} // namespace zq_test
