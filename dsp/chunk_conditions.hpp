#pragma once

// When a chunk computed stage by stage gives the bits of the per-sample
// voice, and the state the stages carry from chunk to chunk. For the
// instruction-set builds of the voice (dsp/voice_stages.hpp) only.
//
// The stages compute every sample's operations exactly as voice_run does,
// side by side with the other samples; only the order between independent
// values changes. That gives the same bits when:
// - no tap reads a slot that a sample written before it, but not yet when
//   the tap is read, writes (checked lane by lane, clear_of_writes);
// - every parameter, state, tap and section value the chunk combines is
//   finite: no operation then meets two NaNs with different payloads, whose
//   result would depend on the operand order the compiler picked (the
//   input's own NaN only ever meets finite values). The line and the
//   sections need no look: a section stores its damping state, and a
//   non-finite damping state stays so for good (the step keeps an infinity
//   or a NaN), so finite damping states show that every entry a section
//   ever stored is finite; and every value written into the line passes the
//   last section, whose state would have taken a non-finite one. Nothing
//   that finite values feed can overflow (the loop filters clip, and inputs
//   from kWetInputBound on are kept out).
// - the LFO is the fixed one (below), so that the taps' offsets alternate;
// - the sections are at least a chunk long, so that no read of a chunk sees
//   a store of the same chunk (a chunk's stores wait only until the next
//   chunk's filters have run, before its reads).

#include <cmath>
#include <cstdint>
#include <cstring>

#include "dsp/delay_engine.hpp"
#include "dsp/voice.hpp"

namespace zq {
namespace {

constexpr std::uint32_t kLanes = DelayEngine::kChunk;
static_assert(kLanes == 16, "the lane layers hold 16 samples");
constexpr float kSlotsF = DelayLine::kSlotsF;
// Highest distance ahead of the first unwritten slot at which a four-slot
// read does not wrap onto that slot.
constexpr float kUnwrappedReach = static_cast<float>(DelayLine::kSlots - DelayLine::kCubicTaps);
static_assert(Diffuser::kMinSearchStart >= kLanes, "set-up gives every section at least a chunk");

// One sample's move of the line's positions: write_sample's move of the
// write index, then DelayLine::advance.
ZQ_VOICE_INLINE void step(LinePositions& c)
{
    if (++c.write_index >= DelayLine::kSlots) {
        c.write_index = 0;
    }
    c.advance();
}

// A line at rest: its read position moves by exactly 1.0 per sample.
ZQ_VOICE_INLINE bool resting(const LinePositions& c) { return !c.gliding && c.pending_length == 0 && c.speed == 1.0f; }

// The engine's state as the stages carry it, from and back to the engine
// where a run of staged chunks starts and ends.
struct VoiceState {
    ChunkStart start;
    float lp;
    float lc;
    float damp[DelayEngine::kDiffuserCount];
    std::uint32_t pos[DelayEngine::kDiffuserCount];

    ZQ_VOICE_INLINE void load(const DelayEngine& e)
    {
        start.line = e.delay_line;
        start.phase = e.delay_line.lfo_phase;
        start.ratio = e.ratio_state;
        start.carried = false;
        start.ratios_ahead = false;
        lp = e.lp_state;
        lc = e.lc_state;
#pragma GCC unroll 16
        for (int k = 0; k < DelayEngine::kDiffuserCount; ++k) {
            damp[k] = e.diffusers[k].damp_state;
            pos[k] = static_cast<std::uint32_t>(e.diffusers[k].pos);
        }
    }
    ZQ_VOICE_INLINE void store(DelayEngine& e) const
    {
        static_cast<LinePositions&>(e.delay_line) = start.line;
        e.delay_line.lfo_phase = start.phase;
        e.ratio_state = start.ratio;
        e.lp_state = lp;
        e.lc_state = lc;
#pragma GCC unroll 16
        for (int k = 0; k < DelayEngine::kDiffuserCount; ++k) {
            e.diffusers[k].damp_state = damp[k];
            e.diffusers[k].pos = pos[k];
        }
    }
};

// The stages rely on the LFO's fixed depth and increment (both 1): its phase
// alternates between 0 and -1, so the taps' offsets alternate between 1 and
// 2 slots, even samples one way and odd samples the other, and a depth of 1
// makes tap_base's fused product-sum a plain sum. The only place that
// checks it; anything else runs per sample.
ZQ_VOICE_INLINE bool fixed_lfo(const DelayLine& line)
{
    return line.mod_depth == 1.0f && line.lfo_inc == 1.0f && (line.lfo_phase == 0.0f || line.lfo_phase == -1.0f);
}

// Each section is two chunks long at least (a chunk's entries cross its
// end or touch its start, never both) and has room after its last entry for
// a repeat of its first 16 (Sections).
ZQ_VOICE_INLINE bool sections_fit(const DelayEngine& e)
{
    bool ok = true;
    for (const Diffuser& d : e.diffusers) {
        ok &= d.length >= 2 * kLanes && d.length + kLanes <= Diffuser::kCapacity && d.pos < d.length;
    }
    return ok;
}

// A sum of finite values is finite, or overflows (which only sends the chunk
// per sample); a NaN or infinity anywhere makes it non-finite.
ZQ_VOICE_INLINE bool finite_sum(float sum) { return sum - sum == 0.0f; }

ZQ_VOICE_INLINE bool finite_params(const ChunkParams& p)
{
    return finite_sum(p.tap_g1 + p.tap_g2 + p.loop_g1 + p.loop_g2 + p.feedback + p.coef[0] + p.coef[1] + p.coef[2] +
                      p.coef[3]);
}

// The engine's states and the parameters a block holds.
ZQ_VOICE_INLINE bool finite_states(const DelayEngine& e, const VoiceState& s)
{
    float sum = e.ratio_coef + e.ratio_target + e.lp_coef + e.lc_coef + s.start.ratio + s.lp + s.lc;
#pragma GCC unroll 16
    for (int k = 0; k < DelayEngine::kDiffuserCount; ++k) {
        sum += e.diffusers[k].damp_coef + s.damp[k];
    }
    return finite_sum(sum);
}

// A loop filter's clip can be left out: a one-pole step fma(c, s - x, x)
// with c in [0, 1) and s, x in [-1, 1] stays in [-1, 1] after both
// roundings (the exact result lies between s and x, as c (1 + 2^-24) < 1).
// The low-cut's input, the clipped lowpass, is always in [-1, 1], so a
// state in [-1, 1] stays there; the lowpass's clip idles for a chunk whose
// loop taps all lie in [-1, 1].
ZQ_VOICE_INLINE bool clip_can_idle(float coef, float state)
{
    return coef >= 0.0f && coef < 1.0f && state >= -1.0f && state <= 1.0f;
}

// The smoother's next step repeats its state exactly: it holds from here on.
ZQ_VOICE_INLINE bool ratio_at_rest(const DelayEngine& e, float state)
{
    const float next = one_pole_step(e.ratio_coef, state, e.ratio_target);
    return std::memcmp(&next, &state, sizeof next) == 0;
}

// The sums read_pos + i for i up to `n` are exact and below the wrap: a line
// at rest reads at exactly those positions.
ZQ_VOICE_INLINE bool exact_reads(float read_pos, float n)
{
    const float end = read_pos + n;
    return read_pos >= 0.0f && end < kSlotsF && end - n == read_pos;
}

// A line at rest at length L reads sample i's loop tap from the slot
// 2 + i + o_i - L after the chunk's first write (o_i the LFO offset, 1 or 2;
// modulo the line), four slots from there. None of them is one of the `wb`
// slots before the chunk nor one the chunk's samples before i write iff
// L <= 2 + o_i or L >= 6 + i + o_i + wb. Over a chunk that fails for every L
// from 3 + 1 up to 5 + 15 + 2 + wb (the last sample with the larger offset):
// no chunk there is even tried.
constexpr std::uint64_t kNearFirst = 4;
constexpr std::uint64_t kNearLast = 22;
ZQ_VOICE_INLINE bool loop_tap_in_chunk(const LinePositions& c, std::uint32_t wb)
{
    return resting(c) && c.length >= kNearFirst && c.length <= kNearLast + wb;
}

ZQ_VOICE_INLINE std::uint64_t chunk_after(std::uint64_t w)
{
    return w + kLanes >= DelayLine::kSlots ? w + kLanes - DelayLine::kSlots : w + kLanes;
}

// Lanes whose four slots (mirror slots mapped to the slots they mirror) are
// none of the slots from `first` up to the lane's bound in `written`: lane
// l may not read what the samples first .. first + written[l] - 1 write. A
// tap further ahead reads the old content either way.
template <class V>
ZQ_VOICE_INLINE auto clear_of_writes(const V& whole, float first, const V& written)
{
    V ahead = sub(whole, Vec<V>::splat(first));
    ahead = add(ahead, keep(lt(ahead, Vec<V>::splat(0.0f)), Vec<V>::splat(kSlotsF)));
    return both(le(written, ahead), le(ahead, Vec<V>::splat(kUnwrappedReach)));
}

// a >= bound ? a - bound : a, and a < 0 ? a + bound : a, as the voice wraps
// positions (a - (+0) is a; a + (+0) is a for every a but -0, which no tap
// position is).
template <class V>
ZQ_VOICE_INLINE V wrap_down(const V& a, float bound)
{
    return sub(a, keep(ge(a, Vec<V>::splat(bound)), Vec<V>::splat(bound)));
}
template <class V>
ZQ_VOICE_INLINE V wrap_up(const V& a, float bound)
{
    return add(a, keep(lt(a, Vec<V>::splat(0.0f)), Vec<V>::splat(bound)));
}

} // namespace
} // namespace zq
