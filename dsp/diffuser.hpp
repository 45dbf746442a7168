#pragma once

#include <cmath>
#include <cstdint>

#include "dsp/one_pole.hpp"

namespace zq {

// An allpass section whose store passes through a one-pole lowpass: a short
// circular store of (nearly always) prime length, damped so that the dense
// echoes it builds darken as they recirculate.
struct Diffuser {
    static constexpr std::uint64_t kCapacity = 600;
    static constexpr std::uint64_t kMinLength = 5;
    // Shortest length the millisecond conversion may give before the prime search.
    static constexpr std::uint64_t kMinSearchStart = 101;

    float coef = 0.75f;
    std::uint64_t length = kCapacity;
    std::uint64_t pos = 0;
    float store[kCapacity] = {};
    float nominal_rate = 48000.0f;
    float length_ms = 0.0f;
    float damp_coef = 0.1231447f; // 16 kHz at the nominal rate
    float damp_state = 0.0f;

    Diffuser() = default;
    Diffuser(const Diffuser&) = delete;
    Diffuser& operator=(const Diffuser&) = delete;

    // Set-up only: derives `length` from milliseconds at the nominal rate and
    // clears the store. Leaves `pos`, `coef` and `damp_state` alone.
    void set_length_ms(float ms);

    void set_coef(float c) { coef = c; }

    // The section's candidate test for lengths. It never tries 3 (nor 2, as
    // candidates are odd), and it tests divisors in the pairs (i + 6, i + 8):
    // odd multiples of 3 with no other tested factor pass. The lengths of the
    // engine's sections depend on exactly this test.
    static bool prime_test(std::uint64_t n);

    ZQ_VOICE_INLINE float process(float x) { return process_with(coef, x); }

    // The first section is stepped with its input as a sample plus a product
    // (the dry input and the fed-back loop): the product is added to the
    // already fused difference, so the sum of the two is never rounded alone.
    ZQ_VOICE_INLINE float process(float x, float a, float b) { return process_with(coef, x, a, b); }

    // The same steps with coefficient c: the voice takes it from the chunk's
    // parameters, which the run cycle may have recorded ahead of the field.
    ZQ_VOICE_INLINE float process_with(float c, float x)
    {
        const float d = store[pos];
        return finish_step(c, d, std::fma(-c, d, x));
    }
    ZQ_VOICE_INLINE float process_with(float c, float x, float a, float b)
    {
        const float d = store[pos];
        return finish_step(c, d, std::fma(a, b, std::fma(-c, d, x)));
    }

    // The store keeps a step's v damped (the output uses the undamped v).
    ZQ_VOICE_INLINE void damp_into(std::uint64_t at, float v)
    {
        damp_state = one_pole_step(damp_coef, damp_state, v);
        store[at] = damp_state;
    }

private:
    ZQ_VOICE_INLINE float finish_step(float c, float d, float v)
    {
        const float y = std::fma(c, v, d);
        damp_into(pos, v);
        if (++pos >= length) {
            pos = 0;
        }
        return y;
    }
};

} // namespace zq
