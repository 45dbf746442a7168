#pragma once

// The test host: one instance driven through an LV2 descriptor as a host
// drives it, over the port table. Every control port is connected to a cell
// of its own that starts at the port's default; the audio ports are
// connected before each `run`. The descriptor may be the linked-in one, one
// loaded from a library (load_descriptor) or lilv's (tests/lilv_host.hpp).

#include <dlfcn.h>
#include <lv2/core/lv2.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "plugin/ports.hpp"

namespace zq_test {

// The plug-in's entry in a library, loaded as a host loads it: every symbol
// bound at once, since lazy binding would run the dynamic linker inside the
// first `run`. Exits with status 2 when there is no such plug-in.
inline const LV2_Descriptor* load_descriptor(const char* path)
{
    void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    const auto entry = lib != nullptr ? reinterpret_cast<LV2_Descriptor_Function>(dlsym(lib, "lv2_descriptor")) : nullptr;
    const LV2_Descriptor* d = entry != nullptr ? entry(0) : nullptr;
    if (d == nullptr || d->URI == nullptr || std::strcmp(d->URI, zq::kPluginUri) != 0) {
        std::fprintf(stderr, "%s: no plug-in %s: %s\n", path, zq::kPluginUri, lib != nullptr ? "no such descriptor" : dlerror());
        std::exit(2);
    }
    return d;
}

// The index of the port with this symbol, or kPortCount.
inline std::uint32_t port_index(std::string_view symbol)
{
    for (const zq::PortInfo& p : zq::kPorts) {
        if (symbol == p.symbol) {
            return p.index;
        }
    }
    return zq::kPortCount;
}

class PluginHost {
public:
    PluginHost(const LV2_Descriptor* d, double rate) : PluginHost(d, instantiate(d, rate), true) {}
    ~PluginHost()
    {
        if (owned_) {
            d_->cleanup(h_);
        }
    }
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    const LV2_Descriptor* descriptor() const { return d_; }
    LV2_Handle handle() const { return h_; }

    void set_control(std::uint32_t port, float value) { controls_[port] = value; }
    float control(std::uint32_t port) const { return controls_[port]; }

    void activate() { d_->activate(h_); }
    void deactivate() { d_->deactivate(h_); }

    // Connects the audio ports and makes one `run` call. An output may be
    // the input's buffer (in-place processing).
    void run(const float* in, float* out_1, float* out_2, std::uint32_t count)
    {
        d_->connect_port(h_, zq::kIn, const_cast<float*>(in));
        d_->connect_port(h_, zq::kOut1, out_1);
        d_->connect_port(h_, zq::kOut2, out_2);
        d_->run(h_, count);
    }

    // `count` samples in `run` calls of `block` samples.
    void run(const float* in, float* out_1, float* out_2, std::size_t count, std::size_t block)
    {
        for (std::size_t done = 0; done < count; done += block) {
            const std::size_t n = count - done < block ? count - done : block;
            run(in + done, out_1 + done, out_2 + done, static_cast<std::uint32_t>(n));
        }
    }

    // `in` in calls of `block` samples, out_1 in the input's buffer when
    // `in_place`; returns out_1 followed by out_2.
    std::vector<float> render(const std::vector<float>& in, std::size_t block, bool in_place = false)
    {
        const std::size_t n = in.size();
        std::vector<float> out(in_place ? in : std::vector<float>(n)); // out_1 holds the input in place
        out.resize(2 * n);
        run(in_place ? out.data() : in.data(), out.data(), out.data() + n, n, block);
        return out;
    }

protected:
    // `owned`: the host ends the instance; otherwise whoever made it does.
    PluginHost(const LV2_Descriptor* d, LV2_Handle h, bool owned) : d_(d), h_(h), owned_(owned)
    {
        for (std::uint32_t p = zq::kFirstControl; p < zq::kPortCount; ++p) {
            controls_[p] = zq::kPorts[p].default_value;
            d_->connect_port(h_, p, &controls_[p]);
        }
    }

private:
    static LV2_Handle instantiate(const LV2_Descriptor* d, double rate)
    {
        static const LV2_Feature* const kNoFeatures[] = {nullptr};
        LV2_Handle h = d->instantiate(d, rate, "/nowhere/", kNoFeatures);
        if (h == nullptr) {
            std::fprintf(stderr, "instantiate at %g Hz failed\n", rate);
            std::abort();
        }
        return h;
    }

    const LV2_Descriptor* d_;
    LV2_Handle h_;
    bool owned_;
    std::array<float, zq::kPortCount> controls_{};
};

} // namespace zq_test
