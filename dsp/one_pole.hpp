#pragma once

#include <cmath>

#include "dsp/voice_inline.hpp"
#include "dsp/exact_math.hpp"

namespace zq {

// One step of a one-pole smoother y = x + c·(y − x). The product and the sum
// are a single fused operation: every smoother, loop filter and damping store
// of the engine rounds exactly this way.
ZQ_VOICE_INLINE float one_pole_step(float coef, float state, float input)
{
    return std::fma(coef, state - input, input);
}

// Single-precision image of −2π/48000 as the filters have always used it: the
// decimal −0.0001308997 rounded to float, one ulp larger in magnitude than
// −2π/48000 rounded to float. Every cutoff is converted at 48 kHz.
inline constexpr float kCutoffToExponent = -0.0001308997f;

// Coefficient of a one-pole lowpass at `hz`, nominal rate, rounded correctly
// so that every processor and C library gives the same filter.
inline float one_pole_coef(float hz)
{
    return exact_exp(hz * kCutoffToExponent);
}

ZQ_VOICE_INLINE float clip_unit(float x)
{
    // A NaN passes unchanged, as the comparisons are false for it.
    return x < -1.0f ? -1.0f : (x > 1.0f ? 1.0f : x);
}

} // namespace zq
