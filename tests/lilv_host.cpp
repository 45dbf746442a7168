#include "lilv_host.hpp"

#include <lilv/lilv.h>
#include <lv2/presets/presets.h>
#include <lv2/state/state.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zq_test {

LilvWorld::LilvWorld()
{
    world_ = lilv_world_new();
    // Only the freshly built bundle: an installed copy must not shadow it.
    std::string dir = ZQ_BUNDLE_DIR;
    if (dir.back() != '/') {
        dir += '/';
    }
    LilvNode* bundle = lilv_new_file_uri(world_, nullptr, dir.c_str());
    lilv_world_load_bundle(world_, bundle);
    lilv_node_free(bundle);
    LilvNode* uri = lilv_new_uri(world_, kPluginUri);
    plugin_ = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), uri);
    lilv_node_free(uri);
    // lilv reads the plug-in's description lazily; checking it loads it, so
    // that queries on the world see it whichever test asks first.
    if (plugin_ == nullptr || !lilv_plugin_verify(plugin_)) {
        std::fprintf(stderr, "plug-in %s not found or invalid in %s\n", kPluginUri, dir.c_str());
        std::abort();
    }
}

LilvWorld::~LilvWorld() { lilv_world_free(world_); }

LilvWorld& shared_world()
{
    static LilvWorld world;
    return world;
}

std::array<float, kPortCount> port_defaults()
{
    std::array<float, kPortCount> defaults{};
    const LilvPlugin* plugin = shared_world().plugin();
    std::vector<float> values(lilv_plugin_get_num_ports(plugin));
    lilv_plugin_get_port_ranges_float(plugin, nullptr, nullptr, values.data());
    for (std::uint32_t i = kFirstControl; i < kPortCount && i < values.size(); ++i) {
        defaults[i] = values[i];
    }
    return defaults;
}

HostedPlugin::HostedPlugin(double rate)
{
    controls_ = port_defaults();
    instance_ = lilv_plugin_instantiate(shared_world().plugin(), rate, nullptr);
    if (instance_ == nullptr) {
        std::abort();
    }
    for (std::uint32_t i = kFirstControl; i < kPortCount; ++i) {
        lilv_instance_connect_port(instance_, i, &controls_[i]);
    }
}

HostedPlugin::~HostedPlugin() { lilv_instance_free(instance_); }

void HostedPlugin::run_once(const float* in, float* out_1, float* out_2, std::uint32_t count)
{
    lilv_instance_connect_port(instance_, 0, const_cast<float*>(in));
    lilv_instance_connect_port(instance_, 1, out_1);
    lilv_instance_connect_port(instance_, 2, out_2);
    lilv_instance_run(instance_, count);
}

void HostedPlugin::run(const float* in, float* out_1, float* out_2, std::size_t count, std::size_t block)
{
    for (std::size_t done = 0; done < count;) {
        const std::size_t n = count - done < block ? count - done : block;
        run_once(in + done, out_1 + done, out_2 + done, static_cast<std::uint32_t>(n));
        done += n;
    }
}

namespace {

// Presets hold plain float port values; the map only has to be consistent.
std::vector<std::string> urids;
LV2_URID map_uri(LV2_URID_Map_Handle, const char* uri)
{
    for (std::size_t i = 0; i < urids.size(); ++i) {
        if (urids[i] == uri) {
            return static_cast<LV2_URID>(i + 1);
        }
    }
    urids.emplace_back(uri);
    return static_cast<LV2_URID>(urids.size());
}
LV2_URID_Map urid_map = {nullptr, map_uri};

struct PresetTarget {
    HostedPlugin* host;
    const LilvPlugin* plugin;
    ::LilvWorld* world;
    bool ok;
};

void set_preset_port(const char* symbol, void* user_data, const void* value, uint32_t size, uint32_t type)
{
    auto* target = static_cast<PresetTarget*>(user_data);
    LilvNode* sym = lilv_new_string(target->world, symbol);
    const LilvPort* port = lilv_plugin_get_port_by_symbol(target->plugin, sym);
    lilv_node_free(sym);
    (void)type;
    if (port == nullptr || size != sizeof(float)) {
        target->ok = false;
        return;
    }
    float v = 0.0f;
    std::memcpy(&v, value, sizeof v);
    target->host->set_control(lilv_port_get_index(target->plugin, port), v);
}

} // namespace

bool HostedPlugin::apply_preset(const std::string& preset_uri)
{
    ::LilvWorld* world = shared_world().world();
    LilvNode* uri = lilv_new_uri(world, preset_uri.c_str());
    lilv_world_load_resource(world, uri);
    LilvState* state = lilv_state_new_from_world(world, &urid_map, uri);
    lilv_node_free(uri);
    if (state == nullptr) {
        return false;
    }
    PresetTarget target{this, shared_world().plugin(), world, true};
    lilv_state_emit_port_values(state, set_preset_port, &target);
    lilv_state_free(state);
    return target.ok;
}

} // namespace zq_test
