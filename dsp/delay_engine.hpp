#pragma once

#include <cstdint>
#include <limits>

#include "dsp/chunk_front.hpp"
#include "dsp/delay_line.hpp"
#include "dsp/diffuser.hpp"

namespace zq {

inline constexpr float kNominalRate = 48000.0f;
inline constexpr float kUnset = std::numeric_limits<float>::quiet_NaN();
// A level of L dB is a gain of 10^(L·0.05), the exponent rounded to float
// before the power is taken.
inline constexpr float kDbToExponent10 = 0.05f;

// The parameters that the ramped setters (level, pans, diffusion, feedback)
// write, as the voice reads them for one chunk. Those setters read no voice
// state, so the run cycle may tick its ramps several chunks ahead and hand
// the voice one set per chunk. The other parameters (tap ratio, delay, loop
// filters) change only at the port scan, before a block's first chunk.
struct ChunkParams {
    // Each pan gain times the level, one rounding.
    float tap_g1;
    float tap_g2;
    float loop_g1;
    float loop_g2;
    float feedback; // feedback_eff
    float coef[4];  // the diffusers' coefficients
};

// The whole sounding state of one plug-in instance, inline: no member lives on
// the heap, so nothing is allocated after the engine is created.
//
// Every setter compares its argument with a cached copy (IEEE equality, so an
// unset cache never matches) and recomputes gains or coefficients only on a
// change. Setters run between chunks, never inside one.
struct DelayEngine {
    static constexpr int kDiffuserCount = 4;
    static constexpr std::uint32_t kChunk = kChunkSamples;

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
    // The front of the chunk that starts where the last run of staged chunks
    // ended, read beside that run's last chunk. Whatever moves the line or
    // the smoother in between (the per-sample voice, a new delay or tap
    // ratio) makes it stale.
    ChunkFront next_front;
    bool next_front_ready = false;
    // The damping of that run's last chunk, left for the next run to do
    // beside its first chunk's filters: what each section still has to damp
    // and store, from where. The per-sample voice does it first
    // (finish_damping), and so must anything that reads the sections.
    alignas(64) float damp_pending[kDiffuserCount][kChunk];
    std::uint32_t damp_pending_pos[kDiffuserCount];
    bool damping_pending = false;

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
    void finish_damping();

    // What the voice reads of the ramped parameters as they stand (always
    // inlined: the voice's builds each compile it).
    ZQ_VOICE_INLINE ChunkParams chunk_params() const
    {
        return {tap_gain_1 * gain,
                tap_gain_2 * gain,
                loop_gain_1 * gain,
                loop_gain_2 * gain,
                feedback_eff,
                {diffusers[0].coef, diffusers[1].coef, diffusers[2].coef, diffusers[3].coef}};
    }

    // The voice. Each reads every input sample before it writes the outputs
    // of that index, so an output may share the input's buffer.
    // One chunk of 16 samples.
    void process_chunk(const float* in, float* out_1, float* out_2);
    // `chunks` whole chunks, chunk k with params[k]; with no params, the
    // engine's own for all of them.
    void process_chunks(const float* in, float* out_1, float* out_2, std::uint32_t chunks,
                        const ChunkParams* params = nullptr);
    // 1..15 samples at a block's edge.
    void process_run(const float* in, float* out_1, float* out_2, std::uint32_t count);
};

} // namespace zq
