#pragma once

// Whole chunks through the staged voice (dsp/voice_stages.hpp), pipelined:
// the next chunk's front runs beside this chunk's loop filters, and this
// chunk's damping beside the next chunk's filters, so that the core always
// has independent work beside the two recursions. A front that reads a slot
// the chunk before still has to write is computed again once that chunk is
// written (the chunk is staged on its own); a chunk whose front fails again
// runs per sample, and the chunks after it start over. The pipeline also
// runs across calls: a run's last chunk leaves the next chunk's front and
// its own damping in the engine (DelayEngine::next_front, damp_pending), so
// that a host's small blocks do not each start and end on a recursion alone.

#include <algorithm>
#include <cstdint>
#include <utility>

#include "dsp/voice_kernels.hpp"
#include "dsp/voice_stages.hpp"

namespace zq {
namespace {

// The next chunk's front sits after this many of the filter steps, in
// program order: its loads start at once all the same, while the filter
// steps, older, keep their priority on the execution ports.
constexpr int kFrontAt = 6;

template <int kFrom, int... J>
constexpr std::integer_sequence<int, (kFrom + J)...> shifted(std::integer_sequence<int, J...>)
{
    return {};
}

using PerSample = void (*)(DelayEngine&, const ChunkParams&, const float*, float*, float*, std::uint32_t);

template <class L, bool kClipLowCut>
struct Pipeline {
    using F = typename L::F;
    static constexpr int kSections = DelayEngine::kDiffuserCount;

    DelayEngine& e;
    const ChunkParams* params; // one per chunk, or null: `own` for all
    ChunkParams own;
    Sections sec;

    ZQ_VOICE_INLINE const ChunkParams& chunk_params(std::uint32_t k) const
    {
        return params != nullptr ? params[k] : own;
    }

    // The engine's state into s and the recursions' registers; false when it
    // holds a non-finite value, or the parameters held for all chunks do.
    ZQ_VOICE_INLINE bool load_state(VoiceState& s, Filters<L>& r) const
    {
        s.load(e);
        r.lp = L::splat_r(s.lp);
        r.lc = L::splat_r(s.lc);
        r.damp = L::col_load(s.damp);
        return finite_states(e, s) && (params != nullptr || finite_params(own));
    }

    // What the sections store over a chunk.
    ZQ_VOICE_INLINE void store_damped(const typename L::DampCols& cols, const SectionSpan& span) const
    {
        F w[kSections];
        cols.rows(w);
#pragma GCC unroll 16
        for (int k = 0; k < kSections; ++k) {
            sec.save(span, k, w[k]);
        }
    }

    // Chunk k from its front f, the next chunk's front (into g) read beside
    // its filters, and with kDamp the chunk before's damping too. Returns
    // whether the next front could be read so early.
    template <bool kClipLowpass, bool kDamp>
    ZQ_VOICE_INLINE bool staged_chunk(const ChunkParams& p, const ChunkFront& f, ChunkFront& g, Filters<L>& r,
                                      typename L::DampCols& cols, const SectionSpan& damped, const SectionSpan& span,
                                      std::uint64_t w0, const float* in, float* out_1, float* out_2) const
    {
        typename L::Acc loop;
        filter_steps<L, kClipLowpass, kClipLowCut, kDamp>(f.loop, r, loop, cols,
                                                          std::make_integer_sequence<int, kFrontAt>{});
        const bool next = front<L>(e, f.next, kLanes, g);
        filter_steps<L, kClipLowpass, kClipLowCut, kDamp>(
            f.loop, r, loop, cols, shifted<kFrontAt>(std::make_integer_sequence<int, kLanes - kFrontAt>{}));
        if constexpr (kDamp) {
            store_damped(cols, damped);
        }
        feed_forward<L>(e.delay_line, sec, span, p, loop.get(), Vec<F>::load(f.out), in, out_1, out_2, w0, cols);
        return next;
    }

    ZQ_VOICE_INLINE voice_kernels::ChunkTally run(const float* in, float* out_1, float* out_2, std::uint32_t chunks,
                                                 PerSample per_sample) const
    {
        VoiceState s;
        Filters<L> r;
        r.lp_coef = L::splat_r(e.lp_coef);
        r.lc_coef = L::splat_r(e.lc_coef);
        const float damp_coef[kSections] = {e.diffusers[0].damp_coef, e.diffusers[1].damp_coef,
                                            e.diffusers[2].damp_coef, e.diffusers[3].damp_coef};
        r.damp_coef = L::col_load(damp_coef);
        typename L::DampCols cols;
        bool damping = false; // a staged chunk's damping waits in cols
        SectionSpan damped{};  // where it stores
        SectionSpan span{};    // where the current chunk reads
        // The fronts alternate between the engine's (where the run before
        // left one read ahead, and where this run leaves one) and ours.
        ChunkFront own_front;
        ChunkFront* f = &e.next_front;
        ChunkFront* g = &own_front;
        // Where the current chunk starts: in the front of the chunk before,
        // which the next early front overwrites (read it before), or in s.
        const ChunkStart* at = &s.start;

        // Everything back into the engine; a waiting damping done first, or
        // at the run's end left in the engine for the next run.
        auto save = [&](bool end) __attribute__((always_inline)) {
            if (damping && end) {
                F w[kSections];
                cols.rows(w);
#pragma GCC unroll 16
                for (int k = 0; k < kSections; ++k) {
                    Vec<F>::store(e.damp_pending[k], w[k]);
                    e.damp_pending_pos[k] = damped.pos[k];
                }
                e.damping_pending = true;
                damping = false;
            }
            if (damping) {
                typename L::Acc none;
                filter_steps<L, false, false, true>(nullptr, r, none, cols, std::make_integer_sequence<int, kLanes>{});
                store_damped(cols, damped);
                damping = false;
            }
            s.start = *at;
            std::copy(span.pos, span.pos + kSections, s.pos);
            s.lp = L::first_r(r.lp);
            s.lc = L::first_r(r.lc);
            L::col_store(s.damp, r.damp);
            s.store(e);
        };

        voice_kernels::ChunkTally tally;
        sec.repeat_starts<F>();
        // The damping the run before left, beside this run's first filters.
        if (e.damping_pending) {
            F v[kSections];
#pragma GCC unroll 16
            for (int k = 0; k < kSections; ++k) {
                v[k] = Vec<F>::load(e.damp_pending[k]);
                damped.pos[k] = e.damp_pending_pos[k];
            }
            cols.load(v);
            damping = true;
            e.damping_pending = false;
        }
        // The first front: read beside the run before when nothing has moved
        // the line or the smoother since.
        bool ready = load_state(s, r);
        const bool read_before = ready && e.next_front_ready;
        if (!read_before) {
            ready = ready && front<L>(e, s.start, 0, *f);
        }
        e.next_front_ready = false;
        span = sec.span(s.pos);
        // The lowpass keeps its state in [-1, 1] whether clipped or idle.
        bool lp_idle = clip_can_idle(e.lp_coef, s.lp);
        bool early = read_before;
        for (std::uint32_t k = 0; k < chunks; ++k) {
            const std::size_t at_sample = std::size_t{k} * kLanes;
            const bool more = k + 1 < chunks;
            const ChunkParams& p = chunk_params(k);
            if (!ready || (params != nullptr && !finite_params(p))) {
                save(false);
                per_sample(e, p, in + at_sample, out_1 + at_sample, out_2 + at_sample, kLanes);
                sec.repeat_starts<F>();
                at = &s.start;
                ready = load_state(s, r) && more && front<L>(e, s.start, 0, *f);
                span = sec.span(s.pos);
                lp_idle = clip_can_idle(e.lp_coef, s.lp);
                early = false;
                continue;
            }
            ++(early ? tally.pipelined : tally.staged);
            const std::uint64_t w0 = at->line.write_index;
            const bool clip = !(lp_idle && f->loop_in_unit);
            auto chunk = [&]<bool kClip, bool kDamp>() __attribute__((always_inline)) {
                return staged_chunk<kClip, kDamp>(p, *f, *g, r, cols, damped, span, w0, in + at_sample,
                                                  out_1 + at_sample, out_2 + at_sample);
            };
            if (damping) {
                early = clip ? chunk.template operator()<true, true>() : chunk.template operator()<false, true>();
            } else {
                early = clip ? chunk.template operator()<true, false>() : chunk.template operator()<false, false>();
            }
            damping = true;
            damped = span;
            span = sec.after(span);
            at = &f->next;
            ready = early || (more && front<L>(e, f->next, 0, *g));
            std::swap(f, g);
        }
        save(true);
        // The last chunk's read of the next front is the next run's first,
        // however that run's parameters come out (checked chunk by chunk).
        if (early) {
            if (f != &e.next_front) {
                e.next_front = *f;
            }
            e.next_front_ready = true;
        }
        return tally;
    }
};

// Whole chunks, staged where the engine allows it at all (the fixed LFO, the
// sections' lengths), per sample otherwise.
template <class L>
ZQ_VOICE_INLINE voice_kernels::ChunkTally run_chunks(DelayEngine& e, const ChunkParams* params, const float* in,
                                                     float* out_1, float* out_2, std::uint32_t chunks,
                                                     PerSample per_sample)
{
    if (fixed_lfo(e.delay_line) && sections_fit(e)) {
        if (clip_can_idle(e.lc_coef, e.lc_state)) {
            return Pipeline<L, false>{e, params, e.chunk_params(), Sections(e)}.run(in, out_1, out_2, chunks,
                                                                                     per_sample);
        }
        return Pipeline<L, true>{e, params, e.chunk_params(), Sections(e)}.run(in, out_1, out_2, chunks, per_sample);
    }
    for (std::uint32_t k = 0; k < chunks; ++k) {
        const std::size_t at = std::size_t{k} * kLanes;
        per_sample(e, params != nullptr ? params[k] : e.chunk_params(), in + at, out_1 + at, out_2 + at, kLanes);
    }
    return {};
}

} // namespace
} // namespace zq
