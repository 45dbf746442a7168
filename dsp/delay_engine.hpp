#pragma once

#include <cstdint>
#include <limits>

#include "dsp/delay_line.hpp"
#include "dsp/diffuser.hpp"

namespace zq {

inline constexpr float kNominalRate = 48000.0f;
inline constexpr float kUnset = std::numeric_limits<float>::quiet_NaN();
// A level of L dB is a gain of 10^(L·0.05), the exponent rounded to float
// before the power is taken.
inline constexpr float kDbToExponent10 = 0.05f;

// The whole sounding state of one plug-in instance, inline: no member lives on
// the heap, so nothing is allocated after the engine is created.
//
// Every setter compares its argument with a cached copy (IEEE equality, so an
// unset cache never matches) and recomputes gains or coefficients only on a
// change. Setters run between chunks, never inside one.
struct DelayEngine {
    static constexpr int kDiffuserCount = 4;
    static constexpr std::uint32_t kChunk = 16;

    float gain = kUnset;
    float level_db = kUnset;
    float pan_tap = kUnset;
    float pan_loop = kUnset;
    float tap_gain_1 = 1.0f;
    float tap_gain_2 = 1.0f;
    float loop_gain_1 = 1.0f;
    float loop_gain_2 = 1.0f;
    float diffusion = kUnset;
    float feedback = kUnset;
    float lowpass_hz = kUnset;
    float highpass_hz = kUnset;
    float delay_ms = kUnset;
    float ratio_target = 1.0f;
    float ratio_coef = 0.0f;
    float ratio_state = 0.0f;
    float diffusion_applied = 0.0f;
    Diffuser diffusers[kDiffuserCount];
    float lp_coef = 0.0f;
    float lp_state = 0.0f;
    float lc_coef = 0.0f;
    float lc_state = 0.0f;
    float sample_rate = kNominalRate;
    float feedback_eff = 0.0f;
    DelayLine delay_line;

    // Constructs and runs the set-up: prime diffuser lengths, cleared line, the
    // defaults applied through the setters, all at the nominal rate (so the
    // default 120 ms request is 5760 samples at every host rate). Last, it
    // stores the host rate, which converts every later delay change.
    explicit DelayEngine(float host_rate = kNominalRate);
    DelayEngine(const DelayEngine&) = delete;
    DelayEngine& operator=(const DelayEngine&) = delete;

    void set_level_db(float db);
    void set_pan_tap(float percent);
    void set_pan_loop(float percent);
    void set_delay_ms(float ms);
    void set_tap_ratio(float ratio);
    void set_diffusion(float amount);
    void set_feedback(float amount);
    void set_lowpass_hz(float hz);
    void set_highpass_hz(float hz);

    // Effective feedback from `feedback` and `diffusion`: the limit falls as the
    // diffusers add gain, then a clamp to ±0.9999.
    void apply_feedback_limit();

    // The voice: 16 samples, or 1..16 at a block's edge. Reads each input
    // sample before writing the outputs of its index, so an output may share
    // the input's buffer.
    void process_chunk(const float* in, float* out_1, float* out_2);
    // `chunks` whole chunks between which no setter is called: what the run
    // cycle hands over once every ramp has arrived.
    void process_chunks(const float* in, float* out_1, float* out_2, std::uint32_t chunks);
    void process_run(const float* in, float* out_1, float* out_2, std::uint32_t count);
};

} // namespace zq
