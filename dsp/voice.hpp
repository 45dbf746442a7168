#pragma once

#include <cmath>
#include <cstdint>

#include "dsp/delay_engine.hpp"

namespace zq {

// Any sample this loud or louder (and any NaN or infinity) is kept out of the
// line and the diffusers: the four sections can raise a sample's level by far
// more than a million, and one non-finite value would silence the echoes for
// good. 1e8 is 160 dB above full scale, far beyond any real signal, and low
// enough that nothing after it can overflow. The dry path is left alone.
inline constexpr float kWetInputBound = 1.0e8f;

// The output-tap position, wrapped into the line. The two single-precision
// wraps bring nearly every position into [0, 24000); the rest (a length near
// 24000 with a ratio near 0 can reach 48000, ratios out of range go further)
// is wrapped fully, and a non-finite position reads at 0.
ZQ_VOICE_INLINE float wrap_output_tap(float position)
{
    constexpr float kSlots = DelayLine::kSlotsF;
    if (position < 0.0f) {
        position += kSlots;
    }
    if (position >= kSlots) {
        position -= kSlots;
    }
    if (position >= 0.0f && position < kSlots) [[likely]] {
        return position;
    }
    if (!std::isfinite(position)) {
        return 0.0f;
    }
    double wrapped = std::fmod(static_cast<double>(position), 24000.0);
    if (wrapped < 0.0) {
        wrapped += 24000.0;
    }
    const auto p = static_cast<float>(wrapped);
    return p < kSlots ? p : 0.0f;
}

// The per-sample signal path over `count` samples (1..16), with the ramped
// parameters of `p` and the rest of the engine's held.
ZQ_VOICE_INLINE void voice_run(DelayEngine& e, const ChunkParams& p, const float* in, float* out_1, float* out_2,
                               std::uint32_t count)
{
    // The line moves on: a front read ahead no longer starts here; and the
    // sections are read, so a damping left over is done first.
    e.next_front_ready = false;
    if (e.damping_pending) {
        e.finish_damping();
    }
    DelayLine& line = e.delay_line;
    const float ratio_target = e.ratio_target;
    const float ratio_coef = e.ratio_coef;
    const float lp_coef = e.lp_coef;
    const float lc_coef = e.lc_coef;
    float ratio_state = e.ratio_state;
    float lp_state = e.lp_state;
    float lc_state = e.lc_state;

    for (std::uint32_t i = 0; i < count; ++i) {
        const float x = in[i];
        const float x_wet = std::fabs(x) < kWetInputBound ? x : 0.0f;

        ratio_state = one_pole_step(ratio_coef, ratio_state, ratio_target);

        // Output tap: the position in double precision, rounded once.
        const float out_base = line.tap_base(line.lfo_phase);
        const double out_pos = std::fma(static_cast<double>(line.length),
                                        1.0 - static_cast<double>(ratio_state),
                                        static_cast<double>(out_base));
        const float tap = line.read_cubic(wrap_output_tap(static_cast<float>(out_pos)));

        // Loop tap, one LFO step later: never negative, at most one lap out.
        const float phase = line.step_lfo();
        float loop_pos = line.tap_base(phase);
        if (loop_pos >= DelayLine::kSlotsF) {
            loop_pos -= DelayLine::kSlotsF;
        }
        const float loop_tap = line.read_cubic(loop_pos);

        // The low-cut is a lowpass of the clipped lowpass, subtracted from it.
        const float lp = clip_unit(one_pole_step(lp_coef, lp_state, loop_tap));
        lp_state = lp;
        const float lc = clip_unit(one_pole_step(lc_coef, lc_state, lp));
        lc_state = lc;
        const float loop = lp - lc;

        float s = e.diffusers[0].process_with(p.coef[0], x_wet, loop, p.feedback);
        s = e.diffusers[1].process_with(p.coef[1], s);
        s = e.diffusers[2].process_with(p.coef[2], s);
        s = e.diffusers[3].process_with(p.coef[3], s);
        line.write_sample(s);
        line.advance();

        out_1[i] = std::fma(loop, p.loop_g1, std::fma(tap, p.tap_g1, x));
        out_2[i] = std::fma(loop, p.loop_g2, std::fma(tap, p.tap_g2, x));
    }

    e.ratio_state = ratio_state;
    e.lp_state = lp_state;
    e.lc_state = lc_state;
}

} // namespace zq
