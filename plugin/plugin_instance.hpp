#pragma once

#include <cstdint>

#include "dsp/delay_engine.hpp"
#include "plugin/param_ramp.hpp"
#include "plugin/ports.hpp"

namespace zq {

// The handle a host holds: the engine, the port buffers, the last-seen values
// of the immediate controls and the ramps of the smoothed ones.
struct PluginInstance {
    DelayEngine* engine = nullptr;
    const float* in = nullptr;
    float* out_1 = nullptr;
    float* out_2 = nullptr;
    const float* delay_ms = nullptr;
    float delay_ms_seen = kUnset;
    const float* tap_ratio = nullptr;
    float tap_ratio_seen = kUnset;
    const float* level_db = nullptr;
    ParamRamp level_ramp = kLevelRampStart;
    const float* pan_tap = nullptr;
    ParamRamp pan_tap_ramp = kPanRampStart;
    const float* pan_loop = nullptr;
    ParamRamp pan_loop_ramp = kPanRampStart;
    const float* diffusion = nullptr;
    ParamRamp diffusion_ramp = kDiffusionRampStart;
    const float* feedback = nullptr;
    ParamRamp feedback_ramp = kFeedbackRampStart;
    const float* lowpass_hz = nullptr;
    float lowpass_hz_seen = kUnset;
    const float* highpass_hz = nullptr;
    float highpass_hz_seen = kUnset;
    // Samples processed since instantiation, modulo the chunk: ramps tick on
    // the same sample grid however the host splits its blocks.
    std::uint32_t chunk_phase = 0;

    void connect(std::uint32_t port, void* data);
    void scan_ports();
    void tick_ramps();
    bool ramps_at_rest() const;
    void run(std::uint32_t sample_count);
};

} // namespace zq
