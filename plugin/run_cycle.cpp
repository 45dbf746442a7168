#include <algorithm>

#include "plugin/fp_mode.hpp"
#include "plugin/plugin_instance.hpp"

namespace zq {

namespace {

// Immediate control: the setter hears of a value only when it differs from the
// one seen last (NaN never equals, so a NaN port is passed on every scan).
template <typename Setter>
void scan_immediate(const float* port, float& seen, Setter set)
{
    if (port == nullptr) {
        return;
    }
    const float v = *port;
    if (v != seen) {
        seen = v;
        set(v);
    }
}

void scan_ramped(const float* port, float factor, ParamRamp& ramp)
{
    if (port == nullptr) {
        return;
    }
    const float t = *port * factor;
    if (t != ramp.target) {
        ramp.target = t;
    }
}

} // namespace

void PluginInstance::connect(std::uint32_t port, void* data)
{
    switch (port) {
    case kIn: in = static_cast<const float*>(data); break;
    case kOut1: out_1 = static_cast<float*>(data); break;
    case kOut2: out_2 = static_cast<float*>(data); break;
    case kDelayMs: delay_ms = static_cast<const float*>(data); break;
    case kTapRatio: tap_ratio = static_cast<const float*>(data); break;
    case kLevelDb: level_db = static_cast<const float*>(data); break;
    case kPanTap: pan_tap = static_cast<const float*>(data); break;
    case kPanLoop: pan_loop = static_cast<const float*>(data); break;
    case kDiffusion: diffusion = static_cast<const float*>(data); break;
    case kFeedback: feedback = static_cast<const float*>(data); break;
    case kLowpassHz: lowpass_hz = static_cast<const float*>(data); break;
    case kHighpassHz: highpass_hz = static_cast<const float*>(data); break;
    default: break;
    }
}

void PluginInstance::scan_ports()
{
    // Immediate controls in port units reach their setters untouched, so
    // that a NaN keeps its bits in the engine's cache.
    static_assert(kPorts[kDelayMs].unit == 1.0f && kPorts[kLowpassHz].unit == 1.0f &&
                  kPorts[kHighpassHz].unit == 1.0f);
    DelayEngine& e = *engine;
    scan_immediate(delay_ms, delay_ms_seen, [&e](float v) { e.set_delay_ms(v); });
    scan_immediate(tap_ratio, tap_ratio_seen, [&e](float v) { e.set_tap_ratio(v * kPorts[kTapRatio].unit); });
    scan_ramped(level_db, kPorts[kLevelDb].unit, level_ramp);
    scan_ramped(pan_tap, kPorts[kPanTap].unit, pan_tap_ramp);
    scan_ramped(pan_loop, kPorts[kPanLoop].unit, pan_loop_ramp);
    scan_ramped(diffusion, kPorts[kDiffusion].unit, diffusion_ramp);
    scan_ramped(feedback, kPorts[kFeedback].unit, feedback_ramp);
    scan_immediate(lowpass_hz, lowpass_hz_seen, [&e](float v) { e.set_lowpass_hz(v); });
    scan_immediate(highpass_hz, highpass_hz_seen, [&e](float v) { e.set_highpass_hz(v); });
}

void PluginInstance::tick_ramps()
{
    DelayEngine& e = *engine;
    if (level_ramp.tick()) {
        e.set_level_db(level_ramp.current);
    }
    if (pan_tap_ramp.tick()) {
        e.set_pan_tap(pan_tap_ramp.current);
    }
    if (pan_loop_ramp.tick()) {
        e.set_pan_loop(pan_loop_ramp.current);
    }
    if (diffusion_ramp.tick()) {
        e.set_diffusion(diffusion_ramp.current);
    }
    if (feedback_ramp.tick()) {
        e.set_feedback(feedback_ramp.current);
    }
}

bool PluginInstance::ramps_at_rest() const
{
    return level_ramp.at_rest() && pan_tap_ramp.at_rest() && pan_loop_ramp.at_rest() && diffusion_ramp.at_rest() &&
           feedback_ramp.at_rest();
}

void PluginInstance::run(std::uint32_t sample_count)
{
    AudioFpScope fp_scope;
    scan_ports();
    if (sample_count == 0 || in == nullptr || out_1 == nullptr || out_2 == nullptr) {
        return;
    }
    // Walk to each chunk boundary; ramps tick when a chunk begins, wherever
    // the host's block boundaries fall.
    std::uint32_t done = 0;
    while (done < sample_count) {
        if (chunk_phase == 0) {
            // Once every ramp has arrived no tick moves until the next scan,
            // so the block's remaining whole chunks share their parameters.
            const std::uint32_t whole = (sample_count - done) / DelayEngine::kChunk;
            if (whole > 1 && ramps_at_rest()) {
                engine->process_chunks(in + done, out_1 + done, out_2 + done, whole);
                done += whole * DelayEngine::kChunk;
                continue;
            }
            tick_ramps();
        }
        const std::uint32_t count = std::min(DelayEngine::kChunk - chunk_phase, sample_count - done);
        if (count == DelayEngine::kChunk) {
            engine->process_chunk(in + done, out_1 + done, out_2 + done);
        } else {
            engine->process_run(in + done, out_1 + done, out_2 + done, count);
        }
        chunk_phase = (chunk_phase + count) % DelayEngine::kChunk;
        done += count;
    }
}

} // namespace zq
