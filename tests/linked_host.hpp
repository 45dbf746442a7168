#pragma once

// The test host over the plug-in linked into the test program, which can also
// look into the instance and its engine.

#include "plugin/plugin_instance.hpp"
#include "plugin_host.hpp"

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

namespace zq_test {

class LinkedHost : public PluginHost {
public:
    explicit LinkedHost(double rate = 48000.0) : PluginHost(lv2_descriptor(0), rate) {}

    zq::PluginInstance& self() const { return *static_cast<zq::PluginInstance*>(handle()); }
    zq::DelayEngine& engine() const { return *self().engine; }
};

} // namespace zq_test
