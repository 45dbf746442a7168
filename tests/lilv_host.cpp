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
    LilvNode* uri = lilv_new_uri(world_, zq::kPluginUri);
    plugin_ = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), uri);
    lilv_node_free(uri);
    // lilv reads the plug-in's description lazily; checking it loads it, so
    // that queries on the world see it whichever test asks first.
    if (plugin_ == nullptr || !lilv_plugin_verify(plugin_)) {
        std::fprintf(stderr, "plug-in %s not found or invalid in %s\n", zq::kPluginUri, dir.c_str());
        std::abort();
    }
}

LilvWorld::~LilvWorld() { lilv_world_free(world_); }

LilvWorld& shared_world()
{
    static LilvWorld world;
    return world;
}

LilvInstance* HostedPlugin::instantiate(double rate)
{
    LilvInstance* instance = lilv_plugin_instantiate(shared_world().plugin(), rate, nullptr);
    if (instance == nullptr) {
        std::abort();
    }
    return instance;
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
    bool ok;
};

void set_preset_port(const char* symbol, void* user_data, const void* value, uint32_t size, uint32_t)
{
    auto* target = static_cast<PresetTarget*>(user_data);
    const std::uint32_t port = port_index(symbol);
    if (port == zq::kPortCount || size != sizeof(float)) {
        target->ok = false;
        return;
    }
    float v = 0.0f;
    std::memcpy(&v, value, sizeof v);
    target->host->set_control(port, v);
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
    PresetTarget target{this, true};
    lilv_state_emit_port_values(state, set_preset_port, &target);
    lilv_state_free(state);
    return target.ok;
}

} // namespace zq_test
