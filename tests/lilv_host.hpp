#pragma once

// A minimal LV2 host on lilv: loads the built bundle from its folder as a host
// does, finds the plug-in by URI and drives one instance.

#include <lilv/lilv.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zq_test {

inline constexpr const char* kPluginUri = "http://zwirbelton.audio/plugins/zwirbelton-quorvel";

// Control ports in index order, 3..11, with the defaults a fresh host session
// would use for the conformance runs.
inline constexpr std::uint32_t kFirstControl = 3;
inline constexpr std::uint32_t kPortCount = 12;

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

class HostedPlugin {
public:
    explicit HostedPlugin(double rate);
    ~HostedPlugin();
    HostedPlugin(const HostedPlugin&) = delete;
    HostedPlugin& operator=(const HostedPlugin&) = delete;

    void set_control(std::uint32_t port, float value) { controls_[port] = value; }
    float control(std::uint32_t port) const { return controls_[port]; }

    // Runs `count` samples in calls of `block` samples. `out_1` may be `in`.
    void run(const float* in, float* out_1, float* out_2, std::size_t count, std::size_t block);
    // Connects the audio ports and makes one `run` call.
    void run_once(const float* in, float* out_1, float* out_2, std::uint32_t count);

    void activate() { lilv_instance_activate(instance_); }
    void deactivate() { lilv_instance_deactivate(instance_); }
    LilvInstance* instance() const { return instance_; }

    // Copies each preset port value of the preset with this URI into the controls.
    bool apply_preset(const std::string& preset_uri);

private:
    LilvInstance* instance_ = nullptr;
    std::array<float, kPortCount> controls_{};
};

// The host defaults of the control ports (index 3..11), read from the bundle.
std::array<float, kPortCount> port_defaults();

} // namespace zq_test
