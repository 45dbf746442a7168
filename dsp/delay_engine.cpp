#include "dsp/delay_engine.hpp"

#include "dsp/voice_kernels.hpp"

#include <algorithm>
#include <cmath>

#include "dsp/exact_math.hpp"

namespace zq {

namespace {

constexpr float kDiffuserMs[DelayEngine::kDiffuserCount] = {4.395833f, 3.3958333f, 11.729167f, 8.520833f};
// The second pair of diffusers runs at 5/6 of the diffusion (one ulp above the
// float of 5/6).
constexpr float kOuterDiffuserScale = 0.8333334f;
constexpr float kCoefBound = 0.999999f;
constexpr float kFeedbackBound = 0.9999f;
constexpr float kMuteBelowDb = -90.0f;
// 99 % of a tap-ratio step in one second at the nominal rate (bits 0x3f7ff9b6).
constexpr float kRatioCoef = 0.99990404f;
constexpr float kLowCutDefaultCoef = 0.99869186f; // 10 Hz

float clamp_coef(float c)
{
    if (c < -kCoefBound) {
        return -kCoefBound;
    }
    if (c > kCoefBound) {
        return kCoefBound;
    }
    return c;
}

// Equal-power pan: the angle is formed in double and rounded once, the gains
// in single precision. Beyond ±100 % the angle keeps turning. The sine and
// cosine stay the C library's: saved sessions and recorded renders hold its
// gains, and the correctly rounded exact_sincos moves some of them by an ulp.
void pan_gains(float percent, float& gain_1, float& gain_2)
{
    const float a = percent * 0.01f;
    const auto angle = static_cast<float>(static_cast<double>(a) * (M_PI / 4.0));
    float s = 0.0f;
    float c = 0.0f;
    ::sincosf(angle, &s, &c);
    gain_1 = (c - s) * 0.70710677f;
    gain_2 = (c + s) * 0.70710677f;
}

} // namespace

DelayEngine::DelayEngine(float host_rate)
{
    for (int k = 0; k < kDiffuserCount; ++k) {
        diffusers[k].set_length_ms(kDiffuserMs[k]);
    }
    lp_state = 0.0f;
    lc_state = 0.0f;
    lc_coef = kLowCutDefaultCoef;
    sample_rate = kNominalRate;
    feedback_eff = 0.0f;
    delay_line.reset();

    set_level_db(-6.0f);
    set_pan_tap(0.0f);
    set_pan_loop(0.0f);
    set_delay_ms(120.0f);
    set_diffusion(0.6f);
    set_feedback(0.0f);
    set_lowpass_hz(6000.0f);
    // The low-cut keeps its 10 Hz coefficient with its cache unset, so the
    // first port scan always sets it; the tap ratio stays at 1.
    ratio_coef = kRatioCoef;
    sample_rate = host_rate;
}

void DelayEngine::set_level_db(float db)
{
    if (db == level_db) {
        return;
    }
    level_db = db;
    // At or below −90 dB, and for NaN, the wet signal is muted outright.
    gain = db > kMuteBelowDb ? exact_exp10(db * kDbToExponent10) : 0.0f;
}

void DelayEngine::set_pan_tap(float percent)
{
    if (percent == pan_tap) {
        return;
    }
    pan_tap = percent;
    pan_gains(percent, tap_gain_1, tap_gain_2);
}

void DelayEngine::set_pan_loop(float percent)
{
    if (percent == pan_loop) {
        return;
    }
    pan_loop = percent;
    pan_gains(percent, loop_gain_1, loop_gain_2);
}

void DelayEngine::set_delay_ms(float ms)
{
    if (ms == delay_ms) {
        return;
    }
    const float t = (ms * sample_rate) * 0.001f;
    // A NaN time (a NaN port, or 0 ms at an infinite rate) names no length:
    // the line keeps what it has, and the cache too.
    if (std::isnan(t)) {
        return;
    }
    delay_ms = ms;
    // Round halves away from zero; whatever lies past the line's length is
    // the full length, a negative time gives none and then the shortest.
    std::uint64_t n = 0;
    if (t >= static_cast<float>(DelayLine::kSlots)) {
        n = DelayLine::kSlots;
    } else if (t > 0.0f) {
        n = static_cast<std::uint64_t>(std::round(t));
    }
    n = std::clamp<std::uint64_t>(n, 1, DelayLine::kSlots);
    if (n != delay_line.length) {
        delay_line.pending_length = n;
        next_front_ready = false;
    }
}

void DelayEngine::set_tap_ratio(float ratio)
{
    // A non-finite ratio would leave the smoother unable to return.
    if (ratio == ratio_target || !std::isfinite(ratio)) {
        return;
    }
    ratio_target = ratio;
    next_front_ready = false;
}

void DelayEngine::set_diffusion(float amount)
{
    if (amount == diffusion) {
        return;
    }
    diffusion = amount;
    if (amount != diffusion_applied) {
        diffusion_applied = amount;
        const float inner = clamp_coef(amount);
        const float outer = clamp_coef(amount * kOuterDiffuserScale);
        diffusers[0].set_coef(inner);
        diffusers[1].set_coef(inner);
        diffusers[2].set_coef(outer);
        diffusers[3].set_coef(outer);
    }
    apply_feedback_limit();
}

void DelayEngine::set_feedback(float amount)
{
    if (amount == feedback) {
        return;
    }
    feedback = amount;
    apply_feedback_limit();
}

void DelayEngine::apply_feedback_limit()
{
    const double x = std::fabs(static_cast<double>(diffusion)) + 0.33;
    const double limit = (static_cast<double>(0.23f) / x + static_cast<double>(0.6f))
                         - static_cast<double>(0.025f) / (x * x);
    float e = limit < static_cast<double>(feedback) ? static_cast<float>(limit) : feedback;
    if (e < -kFeedbackBound) {
        e = -kFeedbackBound;
    } else if (e > kFeedbackBound) {
        e = kFeedbackBound;
    }
    feedback_eff = e;
}

void DelayEngine::set_lowpass_hz(float hz)
{
    if (hz == lowpass_hz) {
        return;
    }
    // A NaN or a cutoff whose coefficient overflows would poison the loop
    // for good; the filter keeps what it has.
    const float coef = one_pole_coef(hz);
    if (!std::isfinite(coef)) {
        return;
    }
    lowpass_hz = hz;
    lp_coef = coef;
}

void DelayEngine::set_highpass_hz(float hz)
{
    if (hz == highpass_hz) {
        return;
    }
    const float coef = one_pole_coef(hz);
    if (!std::isfinite(coef)) {
        return;
    }
    highpass_hz = hz;
    lc_coef = coef;
}

void DelayEngine::finish_damping()
{
    if (!damping_pending) {
        return;
    }
    damping_pending = false;
    for (int k = 0; k < kDiffuserCount; ++k) {
        Diffuser& d = diffusers[k];
        std::uint64_t at = damp_pending_pos[k];
        for (const float v : damp_pending[k]) {
            d.damp_into(at, v);
            at = at + 1 == d.length ? 0 : at + 1;
        }
    }
}

void DelayEngine::process_chunk(const float* in, float* out_1, float* out_2)
{
    voice_kernels::active().chunks(*this, nullptr, in, out_1, out_2, 1);
}

void DelayEngine::process_chunks(const float* in, float* out_1, float* out_2, std::uint32_t chunks,
                                 const ChunkParams* params)
{
    voice_kernels::active().chunks(*this, params, in, out_1, out_2, chunks);
}

void DelayEngine::process_run(const float* in, float* out_1, float* out_2, std::uint32_t count)
{
    voice_kernels::active().run(*this, chunk_params(), in, out_1, out_2, count);
}

} // namespace zq
