// The LV2 face of the plug-in: the descriptor and its callbacks.
#include <lv2/core/lv2.h>

#include <cstdlib>
#include <limits>
#include <new>

#include "diag/log.hpp"
#include "plugin/fp_mode.hpp"
#include "plugin/plugin_instance.hpp"

namespace zq {

namespace {

// A double beyond the float range has no float value to round to: saturate
// it to infinity (which the delay-time conversion clamps) instead.
float host_rate_to_float(double rate)
{
    constexpr double kMax = std::numeric_limits<float>::max();
    if (rate > kMax) {
        return std::numeric_limits<float>::infinity();
    }
    if (rate < -kMax) {
        return -std::numeric_limits<float>::infinity();
    }
    return static_cast<float>(rate);
}

// The instance and the engine come straight from the C allocator, so the
// library needs no C++ runtime (and none of its locks) at all; aligned as
// their types ask (the engine keeps a chunk's taps in vector-aligned rows).
template <typename T, typename... Args>
T* create(Args... args)
{
    constexpr std::size_t size = (sizeof(T) + alignof(T) - 1) / alignof(T) * alignof(T);
    void* memory = std::aligned_alloc(alignof(T), size);
    return memory != nullptr ? new (memory) T(args...) : nullptr;
}

template <typename T>
void destroy(T* object)
{
    object->~T();
    std::free(object);
}

// Instantiation class.
LV2_Handle instantiate(const LV2_Descriptor*, double rate, const char*, const LV2_Feature* const*)
{
    log_open_switch();
    auto* self = create<PluginInstance>();
    if (self == nullptr) {
        return nullptr;
    }
    self->engine = create<DelayEngine>(host_rate_to_float(rate));
    if (self->engine == nullptr) {
        destroy(self);
        return nullptr;
    }
    return self;
}

// Audio class; only stores the pointer.
void connect_port(LV2_Handle handle, uint32_t port, void* data)
{
    static_cast<PluginInstance*>(handle)->connect(port, data);
}

// Instantiation class. Nothing is reset: echoes survive a deactivate.
void activate(LV2_Handle) {}

// Audio class.
void run(LV2_Handle handle, uint32_t sample_count)
{
    static_cast<PluginInstance*>(handle)->run(sample_count);
}

// Instantiation class.
void deactivate(LV2_Handle) {}

// Instantiation class.
void cleanup(LV2_Handle handle)
{
    auto* self = static_cast<PluginInstance*>(handle);
    destroy(self->engine);
    destroy(self);
}

// Discovery class. No extension is offered.
const void* extension_data(const char*) { return nullptr; }

const LV2_Descriptor descriptor = {
    kPluginUri, instantiate, connect_port, activate, run, deactivate, cleanup, extension_data,
};

// Denormal flushing for the thread that loads the library; `run` sets the
// same mode for its own duration on whatever thread the host uses.
__attribute__((constructor)) void set_load_fp_mode()
{
#if defined(__x86_64__) || defined(__aarch64__)
    write_fp_mode(kAudioFpMode);
#endif
}

} // namespace

} // namespace zq

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index)
{
    return index == 0 ? &zq::descriptor : nullptr;
}
