#pragma once

// The test host on lilv: loads the built bundle from its folder as a host
// does, finds the plug-in by URI and drives one instance.

#include <lilv/lilv.h>

#include <string>

#include "plugin_host.hpp"

namespace zq_test {

class LilvWorld {
public:
    LilvWorld();
    ~LilvWorld();
    LilvWorld(const LilvWorld&) = delete;
    LilvWorld& operator=(const LilvWorld&) = delete;

    ::LilvWorld* world() const { return world_; }
    const LilvPlugin* plugin() const { return plugin_; }

private:
    ::LilvWorld* world_ = nullptr;
    const LilvPlugin* plugin_ = nullptr;
};

// The world is shared by every test of a process: lilv loads a bundle once.
LilvWorld& shared_world();

class HostedPlugin : public PluginHost {
public:
    explicit HostedPlugin(double rate) : HostedPlugin(instantiate(rate)) {}
    ~HostedPlugin() { lilv_instance_free(instance_); }

    // Copies each port value of the preset with this URI into the controls.
    bool apply_preset(const std::string& preset_uri);

private:
    explicit HostedPlugin(LilvInstance* instance)
        : PluginHost(lilv_instance_get_descriptor(instance), lilv_instance_get_handle(instance), false),
          instance_(instance)
    {
    }
    static LilvInstance* instantiate(double rate);

    LilvInstance* instance_;
};

} // namespace zq_test
