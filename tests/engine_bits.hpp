#pragma once

// Bit-for-bit comparison of two engines' sounding state: what every build
// and path of the voice must leave identical. For the unit tests and the
// fuzzing harness.

#include <cstring>

#include "dsp/delay_engine.hpp"

namespace zq_test {

template <typename T>
bool same_bits(const T& a, const T& b)
{
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// Names the first part of the sound-carrying state whose bits differ, or
// returns null when none does.
inline const char* state_difference(const zq::DelayEngine& a, const zq::DelayEngine& b)
{
    const zq::DelayLine& p = a.delay_line;
    const zq::DelayLine& q = b.delay_line;
    if (!same_bits(p.buffer, q.buffer)) {
        return "line contents";
    }
    if (!same_bits(p.read_pos, q.read_pos) || p.write_index != q.write_index || p.length != q.length ||
        p.glide_target != q.glide_target || p.pending_length != q.pending_length || p.gliding != q.gliding ||
        !same_bits(p.speed, q.speed) || !same_bits(p.lfo_phase, q.lfo_phase)) {
        return "line positions or glide";
    }
    for (int k = 0; k < zq::DelayEngine::kDiffuserCount; ++k) {
        const zq::Diffuser& x = a.diffusers[k];
        const zq::Diffuser& y = b.diffusers[k];
        // Only the section's own entries: the store's room past them is
        // free for the staged voice.
        if (x.length != y.length || x.pos != y.pos || !same_bits(x.damp_state, y.damp_state) ||
            std::memcmp(x.store, y.store, x.length * sizeof(float)) != 0) {
            return "a diffuser section";
        }
    }
    if (!same_bits(a.ratio_state, b.ratio_state) || !same_bits(a.lp_state, b.lp_state) ||
        !same_bits(a.lc_state, b.lc_state)) {
        return "smoother or loop filter state";
    }
    return nullptr;
}

} // namespace zq_test
