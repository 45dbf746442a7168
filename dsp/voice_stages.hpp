#pragma once

// The staged voice: one chunk of 16 samples computed stage by stage across
// its samples, bit for bit what the per-sample voice (voice_run) computes.
// Written once over a lane layer L (dsp/lanes_*.hpp) and compiled in each
// instruction-set build of the voice (dsp/voice_<isa>.cpp); the pipeline
// (dsp/voice_pipeline.hpp) runs the stages of neighbouring chunks side by
// side.
//
// A chunk has three stages:
// - the front: the read position, length, LFO phase and tap ratio of every
//   sample (the line's positions and the smoother do not depend on the
//   signal, so they are replayed ahead: every lane knows what its sample
//   starts with), both taps of every sample, and the checks that make the
//   chunk exact (dsp/chunk_conditions.hpp);
// - the filters: the loop lowpass and low-cut, a true recursion stepped one
//   sample after the other with the same operations in the same order;
// - the rest, lane by lane: the sections' feed-forward steps, the outputs,
//   the write into the line, and the sections' damping, a recursion of four
//   sections side by side that only has to be done before the sections
//   read it back (no section is shorter than a chunk).
// The taps of all 16 samples are read before any sample of the chunk is
// written; that is the per-sample order wherever no tap reads a slot that an
// earlier sample writes, which the front checks for every lane.

#include <cmath>
#include <cstdint>
#include <utility>

#include "dsp/chunk_conditions.hpp"

namespace zq {
namespace {

constexpr float kIota[kLanes] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
// The fixed LFO's tap offsets, sample by sample, from a phase of 0 (the
// output tap's, before each sample's step); from a phase of -1, one on.
constexpr float kOffsets[kLanes + 1] = {1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1};

// What the front hands to the rest of the chunk: the taps, and where the
// next chunk starts.
template <class L>
struct Front {
    alignas(64) float loop[kLanes]; // each sample's loop tap, for the filters to load one by one
    typename L::F out;              // each sample's output tap
    bool loop_in_unit;              // every loop tap in [-1, 1]
    ChunkStart next;
};

// A slot index or a length of the line as a float: exact, and through a
// signed 32-bit integer a single instruction.
ZQ_VOICE_INLINE float slot_float(std::uint64_t n) { return static_cast<float>(static_cast<std::int32_t>(n)); }

// The integer part of a position in the line, as read_cubic takes it.
ZQ_VOICE_INLINE float whole_part(float pos) { return static_cast<float>(static_cast<std::int32_t>(pos)); }

// The first slot a chunk's taps may not read, as a float.
ZQ_VOICE_INLINE float first_unwritten(std::uint64_t w0, std::uint32_t unwritten)
{
    const auto w = static_cast<std::int32_t>(w0) - static_cast<std::int32_t>(unwritten);
    return static_cast<float>(w >= 0 ? w : w + static_cast<std::int32_t>(DelayLine::kSlots));
}

// The entries of the four sections that a chunk reads and then stores:
// where each starts, and whether any of them wraps.
struct SectionSpan {
    std::uint32_t pos[DelayEngine::kDiffuserCount];
    bool wraps;
};

// The sections' stores and lengths, as the stages address them.
struct Sections {
    float* store[DelayEngine::kDiffuserCount];
    std::uint32_t length[DelayEngine::kDiffuserCount];

    explicit Sections(DelayEngine& e)
    {
        for (int k = 0; k < DelayEngine::kDiffuserCount; ++k) {
            store[k] = e.diffusers[k].store;
            length[k] = static_cast<std::uint32_t>(e.diffusers[k].length);
        }
    }

    ZQ_VOICE_INLINE SectionSpan span(const std::uint32_t (&pos)[DelayEngine::kDiffuserCount]) const
    {
        SectionSpan s{{pos[0], pos[1], pos[2], pos[3]}, false};
#pragma GCC unroll 4
        for (int k = 0; k < DelayEngine::kDiffuserCount; ++k) {
            s.wraps |= pos[k] + kLanes > length[k];
        }
        return s;
    }
    // The next chunk's.
    ZQ_VOICE_INLINE SectionSpan after(const SectionSpan& s) const
    {
        std::uint32_t next[DelayEngine::kDiffuserCount];
#pragma GCC unroll 4
        for (int k = 0; k < DelayEngine::kDiffuserCount; ++k) {
            next[k] = s.pos[k] + kLanes >= length[k] ? s.pos[k] + kLanes - length[k] : s.pos[k] + kLanes;
        }
        return span(next);
    }

    // Sixteen entries of section k from the span on, and back. Where they
    // wrap, the last 16 entries and the first 16 side by side in memory hold
    // them all, at a shift.
    template <class F>
    ZQ_VOICE_INLINE F load(const SectionSpan& s, int k) const
    {
        if (!s.wraps || s.pos[k] + kLanes <= length[k]) [[likely]] {
            return Vec<F>::loadu(store[k] + s.pos[k]);
        }
        alignas(64) float ends[2 * kLanes];
        return Vec<F>::loadu(both_ends<F>(k, ends) - (length[k] - s.pos[k]));
    }
    template <class F>
    ZQ_VOICE_INLINE void save(const SectionSpan& s, int k, const F& w) const
    {
        if (!s.wraps || s.pos[k] + kLanes <= length[k]) [[likely]] {
            Vec<F>::storeu(store[k] + s.pos[k], w);
            return;
        }
        alignas(64) float ends[2 * kLanes];
        Vec<F>::storeu(both_ends<F>(k, ends) - (length[k] - s.pos[k]), w);
        Vec<F>::storeu(store[k] + length[k] - kLanes, Vec<F>::load(ends));
        Vec<F>::storeu(store[k], Vec<F>::load(ends + kLanes));
    }
    // Section k's last 16 entries and first 16 into `ends`; returns where
    // entry 0 sits there.
    template <class F>
    ZQ_VOICE_INLINE float* both_ends(int k, float (&ends)[2 * kLanes]) const
    {
        Vec<F>::store(ends, Vec<F>::loadu(store[k] + length[k] - kLanes));
        Vec<F>::store(ends + kLanes, Vec<F>::loadu(store[k]));
        return ends + kLanes;
    }
};

// Sample 0's output tap read on its own, for a chunk of tap pairs that
// follows no such chunk.
template <class L>
ZQ_VOICE_INLINE bool first_output_tap(const DelayEngine& e, const ChunkStart& s, std::uint32_t unwritten, float& tap)
{
    const float base = s.line.read_pos + 1.0f + 1.0f;
    const float pos = wrap_output_tap(static_cast<float>(
        std::fma(static_cast<double>(s.line.length), 1.0 - static_cast<double>(s.ratio), static_cast<double>(base))));
    float ahead = whole_part(pos) - first_unwritten(s.line.write_index, unwritten);
    ahead = ahead < 0.0f ? ahead + kSlotsF : ahead;
    tap = e.delay_line.read_cubic(pos);
    return ahead >= static_cast<float>(unwritten) && ahead <= kUnwrappedReach;
}

// The front of a chunk of tap pairs: a line at rest, the LFO starting from
// 0, the smoother at rest, and every position up to 20 slots on exact and
// below the wrap. Then samples 2m and 2m + 1 read their loop taps at the
// same position (the one's offset is the other's plus one slot, and so is
// its read position), and so do samples 2m - 1 and 2m their output taps: 8
// reads of each, at positions 2 slots apart, from one window of the line.
// Sample 15's output tap is sample 0's of the next chunk.
template <class L>
ZQ_VOICE_INLINE bool paired_front(const DelayEngine& e, const ChunkStart& s, std::uint32_t unwritten, Front<L>& f)
{
    using H = typename L::H;
    const float* buffer = e.delay_line.buffer;
    const H pair = Vec<H>::loadu(L::kPairOf);
    const H twice = add(pair, pair);
    // Sample 2m's read position plus one; every sum here is exact, and the
    // loop taps' positions need no wrap: they are whole slots apart.
    const H head = add(Vec<H>::splat(s.line.read_pos + 1.0f), twice);
    // Pair m's output tap: samples 2m + 1 and 2m + 2.
    const H raw = position(Vec<H>::splat(slot_float(s.line.length)), Vec<H>::splat(s.ratio),
                           add(head, Vec<H>::splat(3.0f)));
    const H out_pos = wrap_down(wrap_up(raw, kSlotsF), kSlotsF);
    const H out_whole = trunc_whole(out_pos);
    const float out_first = L::first_lane(out_whole);
    if (!all(both(both(ge(out_pos, Vec<H>::splat(0.0f)), lt(out_pos, Vec<H>::splat(kSlotsF))),
                  eq(out_whole, add(Vec<H>::splat(out_first), twice))))) {
        return false; // a far ratio, a wrap or a rounding splits the window
    }
    const float loop_first = whole_part(s.line.read_pos + 3.0f);
    H y[4];
    L::stride2_rows(buffer + static_cast<std::int32_t>(loop_first), y);
    const H loop_tap = cubic(y[0], y[1], y[2], y[3], Vec<H>::splat(s.line.read_pos + 3.0f - loop_first));
    L::stride2_rows(buffer + static_cast<std::int32_t>(out_first), y);
    const H out_tap = cubic(y[0], y[1], y[2], y[3], sub(out_pos, out_whole));
    // The loop taps of a line at rest stay clear of the writes wherever
    // front() tries the chunk at all (loop_tap_in_chunk).
    const H later = add(twice, Vec<H>::splat(static_cast<float>(unwritten + 2)));
    if (!all(clear_of_writes(out_whole, first_unwritten(s.line.write_index, unwritten), later))) {
        return false;
    }
    float carry = s.carry;
    if (!s.carried && !first_output_tap<L>(e, s, unwritten, carry)) {
        return false;
    }
    f.loop_in_unit = all(le(magnitude(loop_tap), Vec<H>::splat(1.0f)));
    L::store_spread(f.loop, loop_tap);
    L::spread_shifted(out_tap, carry, f.out);
    f.next.carry = L::last_pair(out_tap);
    f.next.carried = true;
    f.next.line.read_pos = s.line.read_pos + 16.0f;
    f.next.line.write_index = chunk_after(s.line.write_index);
    return true;
}

// The front of any other chunk: positions, lengths and ratios lane by lane,
// each tap read on its own.
template <class L>
ZQ_VOICE_INLINE bool lane_front(const DelayEngine& e, const ChunkStart& s, std::uint32_t unwritten, Front<L>& f)
{
    using F = typename L::F;
    LinePositions c = s.line;
    const std::uint64_t w0 = c.write_index;
    const F iota = Vec<F>::loadu(kIota);
    F read_pos;
    F length;
    if (resting(c) && exact_reads(c.read_pos, 16.0f)) {
        read_pos = add(Vec<F>::splat(c.read_pos), iota);
        length = Vec<F>::splat(slot_float(c.length));
        c.read_pos += 16.0f;
        c.write_index = chunk_after(w0);
    } else {
        alignas(64) float rp[kLanes];
        alignas(64) float len[kLanes];
        for (std::uint32_t i = 0; i < kLanes; ++i) {
            rp[i] = c.read_pos;
            len[i] = slot_float(c.length); // at most 24000: exact
            step(c);
        }
        read_pos = Vec<F>::load(rp);
        length = Vec<F>::load(len);
    }
    float r = s.ratio;
    F ratio;
    if (ratio_at_rest(e, r)) {
        ratio = Vec<F>::splat(r);
    } else {
        alignas(64) float ratios[kLanes];
        for (float& x : ratios) {
            r = one_pole_step(e.ratio_coef, r, e.ratio_target);
            x = r;
        }
        ratio = Vec<F>::load(ratios);
    }
    const int odd = s.phase == 0.0f ? 0 : 1;
    const F out_offset = Vec<F>::loadu(kOffsets + odd);
    const F loop_offset = Vec<F>::loadu(kOffsets + 1 - odd);
    const F head = add(read_pos, Vec<F>::splat(1.0f));
    const F loop_pos = wrap_down(add(head, loop_offset), kSlotsF);
    const F raw = position(length, ratio, add(head, out_offset));
    F out_pos = wrap_down(wrap_up(raw, kSlotsF), kSlotsF);
    if (!all(both(ge(out_pos, Vec<F>::splat(0.0f)), lt(out_pos, Vec<F>::splat(kSlotsF))))) [[unlikely]] {
        // Ratios far out of range: the full wrap of the per-sample voice.
        alignas(64) float p[kLanes];
        Vec<F>::store(p, raw);
        for (float& v : p) {
            v = wrap_output_tap(v);
        }
        out_pos = Vec<F>::load(p);
    }
    F loop_whole;
    F out_whole;
    const F loop_tap = L::taps16(e.delay_line.buffer, loop_pos, loop_whole);
    const F out_tap = L::taps16(e.delay_line.buffer, out_pos, out_whole);
    const float first = first_unwritten(w0, unwritten);
    const F later = add(iota, Vec<F>::splat(static_cast<float>(unwritten)));
    if (!all(both(clear_of_writes(loop_whole, first, later), clear_of_writes(out_whole, first, later)))) {
        return false;
    }
    f.loop_in_unit = all(le(magnitude(loop_tap), Vec<F>::splat(1.0f)));
    Vec<F>::store(f.loop, loop_tap);
    f.out = out_tap;
    f.next.carried = false;
    f.next.line = c;
    f.next.ratio = r;
    return true;
}

// The front of a chunk with parameters p (checked when `check` says so)
// that starts at s, while `unwritten` samples before it (0, or a chunk
// while the chunk before is still running) are not yet written. False when
// the chunk cannot be staged.
template <class L>
ZQ_VOICE_INLINE bool front(const DelayEngine& e, const ChunkParams& p, bool check, const ChunkStart& s,
                           std::uint32_t unwritten, Front<L>& f)
{
    if ((check && !finite_params(p)) || loop_tap_in_chunk(s.line, unwritten)) {
        return false;
    }
    // Sixteen steps of the fixed LFO come back to its start, written as the
    // steps give it (a -0 start comes back as +0).
    f.next.phase = DelayLine::next_lfo_phase(DelayLine::next_lfo_phase(s.phase, 1.0f), 1.0f);
    // A chunk after a chunk of tap pairs starts as that one started; the
    // line stays at rest, and so does the smoother.
    if (s.carried || (resting(s.line) && s.phase == 0.0f && ratio_at_rest(e, s.ratio))) {
        f.next.line = s.line;
        f.next.ratio = s.ratio;
        if (exact_reads(s.line.read_pos, 20.0f) && paired_front<L>(e, s, unwritten, f)) {
            return true;
        }
    }
    return lane_front<L>(e, s, unwritten, f);
}

// The recursions' registers: the loop filters, and the four sections'
// damping side by side.
template <class L>
struct Filters {
    typename L::R lp_coef;
    typename L::R lc_coef;
    typename L::R lp;
    typename L::R lc;
    typename L::Col damp_coef;
    typename L::Col damp;
};

// Samples J... of the loop filters (lowpass, low-cut, their difference the
// loop signal; each clipped unless its clip is proven idle; with taps, or
// none) and, with kDamp, the same samples of the chunk before's damping:
// the two recursions step by step side by side.
template <class L, bool kClipLowpass, bool kClipLowCut, bool kDamp, int... J>
ZQ_VOICE_INLINE void filter_steps(const float* taps, Filters<L>& r, typename L::Acc& loop,
                                  typename L::DampCols& cols, std::integer_sequence<int, J...>)
{
    auto step = [&]<int I>(std::integral_constant<int, I>) __attribute__((always_inline)) {
        if (taps != nullptr) {
            r.lp = L::pole(r.lp_coef, r.lp, L::tap(taps + I));
            if constexpr (kClipLowpass) {
                r.lp = L::clip(r.lp);
            }
            r.lc = L::pole(r.lc_coef, r.lc, r.lp);
            if constexpr (kClipLowCut) {
                r.lc = L::clip(r.lc);
            }
            loop.template put<I>(L::difference(r.lp, r.lc));
        }
        if constexpr (kDamp) {
            r.damp = L::pole4(r.damp_coef, r.damp, cols.template col<I>());
            cols.template put<I>(r.damp);
        }
    };
    (step(std::integral_constant<int, J>{}), ...);
}

// The chunk's samples into the line from `w0` on, and into the mirror, as
// write_sample does.
template <class L>
ZQ_VOICE_INLINE void write_chunk(DelayLine& line, std::uint64_t w0, const typename L::F& y)
{
    using F = typename L::F;
    if (w0 >= DelayLine::kMirror && w0 + kLanes <= DelayLine::kSlots) [[likely]] {
        Vec<F>::storeu(line.buffer + w0, y);
        return;
    }
    alignas(64) float s[kLanes];
    Vec<F>::store(s, y);
    std::uint64_t w = w0;
    for (const float v : s) {
        line.buffer[w] = v;
        if (w < DelayLine::kMirror) {
            line.buffer[DelayLine::kSlots + w] = v;
        }
        w = w + 1 == DelayLine::kSlots ? 0 : w + 1;
    }
}

// Everything after the loop filters: the sections' feed-forward steps, the
// outputs and the write, lane by lane; what each section stores waits in
// `cols` for its damping. The input is read before the outputs are written
// (they may share a buffer).
template <class L>
ZQ_VOICE_INLINE void feed_forward(DelayLine& line, const Sections& sec, const SectionSpan& span, const ChunkParams& p,
                                  const typename L::F& loop, const typename L::F& out_tap, const float* in,
                                  float* out_1, float* out_2, std::uint64_t w0, typename L::DampCols& cols)
{
    using F = typename L::F;
    const F x = Vec<F>::loadu(in);
    const F wet = keep(lt(magnitude(x), Vec<F>::splat(kWetInputBound)), x);
    F v[DelayEngine::kDiffuserCount];
    F d = sec.load<F>(span, 0);
    v[0] = fmadd(loop, Vec<F>::splat(p.feedback), fmadd(Vec<F>::splat(-p.coef[0]), d, wet));
    F y = fmadd(Vec<F>::splat(p.coef[0]), v[0], d);
#pragma GCC unroll 4
    for (int k = 1; k < DelayEngine::kDiffuserCount; ++k) {
        d = sec.load<F>(span, k);
        v[k] = fmadd(Vec<F>::splat(-p.coef[k]), d, y);
        y = fmadd(Vec<F>::splat(p.coef[k]), v[k], d);
    }
    Vec<F>::storeu(out_1, fmadd(loop, Vec<F>::splat(p.loop_g1), fmadd(out_tap, Vec<F>::splat(p.tap_g1), x)));
    Vec<F>::storeu(out_2, fmadd(loop, Vec<F>::splat(p.loop_g2), fmadd(out_tap, Vec<F>::splat(p.tap_g2), x)));
    write_chunk<L>(line, w0, y);
    cols.load(v);
}

} // namespace
} // namespace zq
