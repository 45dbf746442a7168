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

#include <algorithm>
#include <bit>
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

// A slot index or a length of the line as a float: exact, and through a
// signed 32-bit integer a single instruction.
ZQ_VOICE_INLINE float slot_float(std::uint64_t n) { return static_cast<float>(static_cast<std::int32_t>(n)); }

// The integer part of a position in the line, as read_cubic takes it; as a
// slot index (unsigned: positions are never negative, and a 32-bit index
// then addresses the line with no sign extension), and as a float.
ZQ_VOICE_INLINE std::uint32_t slot_of(float pos) { return static_cast<std::uint32_t>(static_cast<std::int32_t>(pos)); }
ZQ_VOICE_INLINE float whole_part(float pos) { return static_cast<float>(static_cast<std::int32_t>(pos)); }

// The first slot a chunk's taps may not read, as a float.
ZQ_VOICE_INLINE float first_unwritten(std::uint64_t w0, std::uint32_t unwritten)
{
    const auto w = static_cast<std::int32_t>(w0) - static_cast<std::int32_t>(unwritten);
    return static_cast<float>(w >= 0 ? w : w + static_cast<std::int32_t>(DelayLine::kSlots));
}

// The entries of the four sections that a chunk reads and then stores:
// where each starts, and for how many chunks after this one none will
// cross its section's end (most chunks only step on).
struct SectionSpan {
    std::uint32_t pos[DelayEngine::kDiffuserCount];
    std::uint32_t clear_ahead;
};

// The sections' stores and lengths, as the stages address them. While
// chunks are staged, the 16 entries after each section's last repeat its
// first 16 (the store has room for them, sections_fit), so that 16 entries
// from any position are one load and one store, with no branch on where the
// section wraps.
struct Sections {
    float* store[DelayEngine::kDiffuserCount];
    std::uint32_t length[DelayEngine::kDiffuserCount];

    explicit Sections(DelayEngine& e)
    {
#pragma GCC unroll 16
        for (int k = 0; k < DelayEngine::kDiffuserCount; ++k) {
            store[k] = e.diffusers[k].store;
            length[k] = static_cast<std::uint32_t>(e.diffusers[k].length);
        }
    }

    ZQ_VOICE_INLINE SectionSpan span(const std::uint32_t (&pos)[DelayEngine::kDiffuserCount]) const
    {
        // Chunks from this one on that stay inside every section.
        std::uint32_t clear = (length[0] - pos[0]) / kLanes;
#pragma GCC unroll 16
        for (int k = 1; k < DelayEngine::kDiffuserCount; ++k) {
            clear = std::min(clear, (length[k] - pos[k]) / kLanes);
        }
        return {{pos[0], pos[1], pos[2], pos[3]}, clear == 0 ? 0 : clear - 1};
    }
    // The next chunk's.
    ZQ_VOICE_INLINE SectionSpan after(const SectionSpan& s) const
    {
        if (s.clear_ahead > 0) [[likely]] {
            return {{s.pos[0] + kLanes, s.pos[1] + kLanes, s.pos[2] + kLanes, s.pos[3] + kLanes}, s.clear_ahead - 1};
        }
        std::uint32_t next[DelayEngine::kDiffuserCount];
#pragma GCC unroll 16
        for (int k = 0; k < DelayEngine::kDiffuserCount; ++k) {
            next[k] = s.pos[k] + kLanes >= length[k] ? s.pos[k] + kLanes - length[k] : s.pos[k] + kLanes;
        }
        return span(next);
    }

    // Repeats each section's first 16 entries after its last: where a run of
    // staged chunks starts, and after the per-sample voice, which writes
    // only the section.
    template <class F>
    ZQ_VOICE_INLINE void repeat_starts() const
    {
#pragma GCC unroll 16
        for (int k = 0; k < DelayEngine::kDiffuserCount; ++k) {
            Vec<F>::storeu(store[k] + length[k], Vec<F>::loadu(store[k]));
        }
    }
    // Sixteen entries of section k from the span on, and back.
    template <class F>
    ZQ_VOICE_INLINE F load(const SectionSpan& s, int k) const
    {
        return Vec<F>::loadu(store[k] + s.pos[k]);
    }
    template <class F>
    ZQ_VOICE_INLINE void save(const SectionSpan& s, int k, const F& w) const
    {
        Vec<F>::storeu(store[k] + s.pos[k], w);
        // Entries that crossed the end landed in the repeat, which goes back
        // to the start; otherwise the start, which this store may have
        // written, goes to the repeat (the same entries again where it did
        // not). No branch: sections wrap too irregularly to predict.
        const bool crossed = s.pos[k] + kLanes > length[k];
        const std::uint32_t from = crossed ? length[k] : 0;
        const std::uint32_t to = crossed ? 0 : length[k];
        Vec<F>::storeu(store[k] + to, Vec<F>::loadu(store[k] + from));
    }
};

// Tap pairs, where the line rests, the LFO starts from 0 and every
// position up to 20 slots on is exact and below the wrap: samples 2m and
// 2m + 1 read their loop taps at the same position (the one's offset is the
// other's plus one slot, and so is its read position), and so do samples
// 2m - 1 and 2m their output taps while the smoother rests. 8 reads each, at
// positions 2 slots apart, from one window of the line; sample 15's output
// tap is sample 0's of the next chunk.
//
// The loop taps, all clear of the writes wherever front() tries a resting
// line at all (loop_tap_in_chunk); no wrap, as every sum here is exact.
template <class L>
ZQ_VOICE_INLINE typename L::H paired_loop_taps(const float* buffer, float read_pos)
{
    using H = typename L::H;
    const std::uint32_t first = slot_of(read_pos + 3.0f);
    H y[4];
    L::stride2_rows(buffer + first, y);
    return cubic(y[0], y[1], y[2], y[3], Vec<H>::splat(read_pos + 3.0f - slot_float(first)));
}

// How far the slot `whole` lies after `first` around the line, as
// clear_of_writes measures it for a lane.
ZQ_VOICE_INLINE float slots_ahead(float whole, float first)
{
    const float ahead = whole - first;
    return ahead < 0.0f ? ahead + kSlotsF : ahead;
}

// Positive a and b share their exponent: the grid of representable values
// is even from one to the other.
ZQ_VOICE_INLINE bool same_binade(double a, double b)
{
    return std::bit_cast<std::uint64_t>(a) >> 52 == std::bit_cast<std::uint64_t>(b) >> 52;
}
ZQ_VOICE_INLINE bool same_binade(float a, float b)
{
    return std::bit_cast<std::uint32_t>(a) >> 23 == std::bit_cast<std::uint32_t>(b) >> 23;
}

// The output taps of samples 2m + 1 and 2m + 2, pair m at position(length,
// ratio, read_pos + 4 + 2m) (every base exact: the line rests). Where pair
// 0's and pair 7's sums lie in one binade of doubles and round into one
// binade of floats, each rounding falls on an even grid (steps of 2 are
// whole, even multiples of its spacing, so ties break alike), and pair m's
// position is pair 0's plus 2m exactly: the pairs read at one fraction
// from slots 2 apart. Sums from 24000 to 48000 wrap back by the line's
// 24000 slots exactly. False for anything else (a far ratio, a wrap or a
// binade between the pairs), or where a tap is not clear.
template <class L>
ZQ_VOICE_INLINE bool paired_out_taps(const DelayEngine& e, const ChunkStart& s, std::uint32_t unwritten,
                                     float first, ChunkFront& f)
{
    using H = typename L::H;
    const auto length = static_cast<double>(slot_float(s.line.length));
    const double omr = 1.0 - static_cast<double>(s.ratio);
    const double sum_0 = std::fma(length, omr, static_cast<double>(s.line.read_pos + 4.0f));
    const double sum_7 = std::fma(length, omr, static_cast<double>(s.line.read_pos + 18.0f));
    float pos = static_cast<float>(sum_0);
    const float last = static_cast<float>(sum_7);
    if (!(pos >= 0.0f && last < 2.0f * kSlotsF && (pos >= kSlotsF) == (last >= kSlotsF) &&
          same_binade(sum_0, sum_7) && same_binade(pos, last))) {
        return false;
    }
    pos = pos >= kSlotsF ? pos - kSlotsF : pos;
    const std::uint32_t slot = slot_of(pos);
    const float start = slot_float(slot);
    // clear_of_writes for pair 0: the others lie 2m further ahead, and must
    // be 2m more clear (a pair that wraps past the writes fails the reach).
    const float room = slots_ahead(start, first);
    if (!(room >= static_cast<float>(unwritten + 2) && room + 14.0f <= kUnwrappedReach)) {
        return false;
    }
    float carry = s.carry;
    if (!s.carried) {
        // Sample 0's, read on its own.
        const float p0 = wrap_output_tap(static_cast<float>(std::fma(length, omr, s.line.read_pos + 2.0)));
        const float ahead = slots_ahead(whole_part(p0), first);
        if (!(ahead >= static_cast<float>(unwritten) && ahead <= kUnwrappedReach)) {
            return false;
        }
        carry = e.delay_line.read_cubic(p0);
    }
    H y[4];
    L::stride2_rows(e.delay_line.buffer + slot, y);
    const H tap = cubic(y[0], y[1], y[2], y[3], Vec<H>::splat(pos - start));
    typename L::F out;
    L::spread_shifted(tap, carry, out);
    Vec<typename L::F>::store(f.out, out);
    f.next.carry = L::last_pair(tap);
    return true;
}

// The exponent of the lowest set bit of a positive float.
constexpr int lowest_bit(float x)
{
    const auto bits = std::bit_cast<std::uint32_t>(x);
    return std::countr_zero((bits & 0x7FFFFFu) | 0x800000u) + static_cast<int>(bits >> 23) - 150;
}
// A binade holds a glide's 16 steps (11.2 slots or more) only from 16 on,
// where its grid is 2^-19 or coarser: a speed with a bit below half of that
// makes no sum r + speed a tie there, so each step rounds alike.
static_assert(lowest_bit(LinePositions::kSlowSpeed) < -20 && lowest_bit(LinePositions::kFastSpeed) < -20);

// A glide that neither ends nor wraps the read position within the chunk,
// and whose read positions stay in one binade: there each sum r + speed
// rounds onto one grid by the same step g, so sample i reads at read_pos +
// i g exactly. The distance each sample's advance measures, lane by lane,
// is the next sample's length. False (c untouched) for any other chunk.
template <class L>
ZQ_VOICE_INLINE bool glide_lanes(LinePositions& c, float (&rp)[kLanes], float (&len)[kLanes])
{
    using F = typename L::F;
    if (!c.gliding) {
        return false;
    }
    const float r0 = c.read_pos;
    const float g = (r0 + c.speed) - r0;
    const float end = r0 + 16.0f * g;
    if (!(end < kSlotsF && same_binade(r0, end))) {
        return false;
    }
    // Both exact: every i g and r0 + i g lies on the binade's grid.
    const F read = add(Vec<F>::splat(r0), mul(Vec<F>::loadu(kIota), Vec<F>::splat(g)));
    // The write index each sample's advance sees, and the distance it measures.
    const F w = wrap_down(add(Vec<F>::splat(slot_float(c.write_index) + 1.0f), Vec<F>::loadu(kIota)), kSlotsF);
    const F d = add(sub(w, trunc_whole(read)), keep(le(w, read), Vec<F>::splat(kSlotsF)));
    if (!all(ge(magnitude(sub(d, Vec<F>::splat(slot_float(c.glide_target)))), Vec<F>::splat(0.5f)))) {
        return false; // the glide ends here
    }
    Vec<F>::store(rp, read);
    Vec<F>::store(len, L::shift_in(d, slot_float(c.length)));
    // Sample 15's distance: the next chunk's first length.
    c.write_index = chunk_after(c.write_index);
    c.length = LinePositions::distance(c.write_index, r0 + 15.0f * g);
    c.read_pos = end;
    return true;
}

// Sixteen steps of the tap ratio's smoother from `r`, one per lane of
// `ratios`; returns the last. Built in registers: a vector load of 16 scalar
// stores would wait for them to leave the store queue.
template <class L>
ZQ_VOICE_INLINE float smoother_steps(const DelayEngine& e, float r, typename L::F& ratios)
{
    const typename L::R coef = L::splat_r(e.ratio_coef);
    const typename L::R target = L::splat_r(e.ratio_target);
    typename L::R now = L::splat_r(r);
    typename L::Acc steps;
    // one_pole_step(coef, now, target), as L::pole has it.
    [&]<int... J>(std::integer_sequence<int, J...>) __attribute__((always_inline)) {
        ((now = L::pole(coef, now, target), steps.template put<J>(now)), ...);
    }(std::make_integer_sequence<int, kLanes>{});
    ratios = steps.get();
    return L::first_r(now);
}

// Taps at positions lane by lane, each read on its own, into `taps`; false
// where one is not clear of the writes.
template <class L>
ZQ_VOICE_INLINE bool lane_taps(const float* buffer, const typename L::F& pos, float first, std::uint32_t unwritten,
                               float* taps)
{
    using F = typename L::F;
    F whole;
    const F tap = L::taps16(buffer, pos, whole);
    Vec<F>::store(taps, tap);
    return all(clear_of_writes(whole, first, add(Vec<F>::loadu(kIota), Vec<F>::splat(static_cast<float>(unwritten)))));
}

// The front of a chunk that starts at s, while `unwritten` samples before
// it (0, or a chunk while the chunk before is still running) are not yet
// written. False when the chunk cannot be staged.
template <class L>
ZQ_VOICE_INLINE bool front(const DelayEngine& e, const ChunkStart& s, std::uint32_t unwritten, ChunkFront& f)
{
    using F = typename L::F;
    if (loop_tap_in_chunk(s.line, unwritten)) {
        return false;
    }
    const float* buffer = e.delay_line.buffer;
    const float first = first_unwritten(s.line.write_index, unwritten);
    // Sixteen steps of the fixed LFO come back to its start, written as the
    // steps give it (a -0 start comes back as +0).
    f.next.phase = DelayLine::next_lfo_phase(DelayLine::next_lfo_phase(s.phase, 1.0f), 1.0f);

    // Each sample's read position and length: a resting line moves by whole
    // slots, anything else is replayed. The lanes take them where a tap is
    // read lane by lane.
    LinePositions& c = f.next.line;
    c = s.line;
    const bool steady = resting(c) && exact_reads(c.read_pos, 16.0f);
    alignas(64) float rp[kLanes];
    alignas(64) float len[kLanes];
    if (steady) {
        c.read_pos += 16.0f;
        c.write_index = chunk_after(c.write_index);
    } else if (!glide_lanes<L>(c, rp, len)) {
        for (std::uint32_t i = 0; i < kLanes; ++i) {
            rp[i] = c.read_pos;
            len[i] = slot_float(c.length);
            step(c);
        }
    }
    const auto head = [&]() __attribute__((always_inline)) {
        const F read_pos = steady ? add(Vec<F>::splat(s.line.read_pos), Vec<F>::loadu(kIota)) : Vec<F>::load(rp);
        return add(read_pos, Vec<F>::splat(1.0f));
    };
    const int odd = s.phase == 0.0f ? 0 : 1;

    // The loop taps: in pairs where they can be, else lane by lane.
    const bool pairs = steady && odd == 0 && exact_reads(s.line.read_pos, 20.0f);
    if (pairs) {
        const typename L::H tap = paired_loop_taps<L>(buffer, s.line.read_pos);
        f.loop_in_unit = all(le(magnitude(tap), Vec<typename L::H>::splat(1.0f)));
        L::store_spread(f.loop, tap);
    } else {
        if (!lane_taps<L>(buffer, wrap_down(add(head(), Vec<F>::loadu(kOffsets + 1 - odd)), kSlotsF), first,
                          unwritten, f.loop)) {
            return false;
        }
        f.loop_in_unit = all(le(magnitude(Vec<F>::load(f.loop)), Vec<F>::splat(1.0f)));
    }

    // The smoother: a resting value repeats itself exactly (and a chunk
    // after a chunk of tap pairs rests).
    float r = s.ratio;
    const bool ratio_rests = s.carried || ratio_at_rest(e, r);
    f.next.ratios_ahead = !ratio_rests;
    f.next.carried = pairs && ratio_rests && paired_out_taps<L>(e, s, unwritten, first, f);
    if (f.next.carried) {
        f.next.ratio = r;
        return true;
    }
    F ratio = Vec<F>::splat(r);
    if (!ratio_rests) {
        if (s.ratios_ahead) {
            ratio = Vec<F>::load(s.ratios);
            r = s.ratio_end;
        } else {
            r = smoother_steps<L>(e, r, ratio);
        }
        F ahead;
        f.next.ratio_end = smoother_steps<L>(e, r, ahead);
        Vec<F>::store(f.next.ratios, ahead);
    }
    f.next.ratio = r;
    const F length = steady ? Vec<F>::splat(slot_float(s.line.length)) : Vec<F>::load(len);
    const F raw = position(length, ratio, add(head(), Vec<F>::loadu(kOffsets + odd)));
    F out_pos = wrap_down(wrap_up(raw, kSlotsF), kSlotsF);
    if (!all(both(ge(out_pos, Vec<F>::splat(0.0f)), lt(out_pos, Vec<F>::splat(kSlotsF))))) [[unlikely]] {
        // Ratios far out of range: the full wrap of the per-sample voice.
        alignas(64) float q[kLanes];
        Vec<F>::store(q, raw);
        for (float& v : q) {
            v = wrap_output_tap(v);
        }
        out_pos = Vec<F>::load(q);
    }
    return lane_taps<L>(buffer, out_pos, first, unwritten, f.out);
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
    // fma(-c, d, x) is x - c d with one rounding: the fused negative form,
    // with the same coefficient as the step's second product.
    F c = Vec<F>::splat(p.coef[0]);
    F d = sec.load<F>(span, 0);
    v[0] = fmadd(loop, Vec<F>::splat(p.feedback), fnmadd(c, d, wet));
    F y = fmadd(c, v[0], d);
#pragma GCC unroll 16
    for (int k = 1; k < DelayEngine::kDiffuserCount; ++k) {
        c = Vec<F>::splat(p.coef[k]);
        d = sec.load<F>(span, k);
        v[k] = fnmadd(c, d, y);
        y = fmadd(c, v[k], d);
    }
    Vec<F>::storeu(out_1, fmadd(loop, Vec<F>::splat(p.loop_g1), fmadd(out_tap, Vec<F>::splat(p.tap_g1), x)));
    Vec<F>::storeu(out_2, fmadd(loop, Vec<F>::splat(p.loop_g2), fmadd(out_tap, Vec<F>::splat(p.tap_g2), x)));
    write_chunk<L>(line, w0, y);
    cols.load(v);
}

} // namespace
} // namespace zq
