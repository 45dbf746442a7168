#pragma once

// Bit-for-bit comparison of two engines' sounding state: what every build
// and path of the voice must leave identical. For the unit tests and the
// fuzzing harness.

#include <cstring>
#include <vector>

#include "dsp/delay_engine.hpp"

namespace zq_test {

template <typename T>
bool same_bits(const T& a, const T& b)
{
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// Section k's entries and damping state as they stand once the damping an
// engine left over (DelayEngine::damp_pending) is done, without doing it.
inline std::vector<float> section_entries(const zq::DelayEngine& e, int k, float& damp_state)
{
    const zq::Diffuser& d = e.diffusers[k];
    std::vector<float> entries(d.store, d.store + d.length);
    damp_state = d.damp_state;
    if (e.damping_pending) {
        std::uint64_t at = e.damp_pending_pos[k];
        for (const float v : e.damp_pending[k]) {
            damp_state = zq::one_pole_step(d.damp_coef, damp_state, v);
            entries[at] = damp_state;
            at = at + 1 == d.length ? 0 : at + 1;
        }
    }
    return entries;
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
        // Only the section's own entries: the store's room past them is
        // free for the staged voice.
        float x_state = 0.0f;
        float y_state = 0.0f;
        const std::vector<float> x = section_entries(a, k, x_state);
        const std::vector<float> y = section_entries(b, k, y_state);
        if (a.diffusers[k].pos != b.diffusers[k].pos || !same_bits(x_state, y_state) || x.size() != y.size() ||
            std::memcmp(x.data(), y.data(), x.size() * sizeof(float)) != 0) {
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
