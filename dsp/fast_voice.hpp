#pragma once

// The staged voice: one chunk of 16 samples with the engine's parameters
// held, computed stage by stage across the 16 samples in 16 SIMD lanes, bit
// for bit what the per-sample voice of dsp/voice.hpp (voice_run) computes.
// The chunks it declines and the 1..15-sample runs at block edges go to
// voice_run itself, built for the same instruction set. Runs of chunks in
// which nothing moves go further: their stages are pipelined across chunks
// (steady_chunks, at the end of this file).
//
// Why the stages give the same bits:
// - Only four things are true recursions: the tap-ratio smoother, the loop
//   lowpass with the low-cut behind it, the diffusers' damping states and the
//   glide of the read position. Each is stepped here one sample after the
//   other with the same operations in the same order; nothing is regrouped.
// - Everything else is an independent lane: the 16 taps, the diffusers' feed-
//   forward steps, the write into the line and the outputs. A lane computes
//   exactly the operations of its sample (the same fused multiply-adds, the
//   output-tap position in double precision rounded once to float, the same
//   wraps), only side by side with the other lanes.
// - The taps of all 16 samples are read before any sample of the chunk is
//   written. That equals the per-sample order only when no tap reads a slot
//   that an earlier sample of the same chunk writes; this is checked for every
//   lane and both taps, with the mirror slots mapped to the slots they mirror.
//   A tap ahead of the write index reads the old content either way.
// - A diffuser reads back what it stored `length` samples earlier, and no
//   length is shorter than a chunk, so no read of a chunk sees a store of the
//   same chunk; the four damping recursions run side by side as one 4-lane
//   recursion and only have to be done before the next chunk. The serial
//   part runs in two halves of 8 samples, so that the first half's sections
//   and damping overlap the second half's filter steps.
// - The read position and the write index do not depend on the signal: the
//   glide, a pending request and the wraps are replayed on local copies
//   first, so every lane knows the read position and length its sample starts
//   with.
// - The fixed LFO alternates its phase between two values, so every even lane
//   has one pair of tap offsets and every odd lane the other.
// - A clip that cannot change its input is left out: a one-pole step
//   fma(c, s - x, x) with c in [0, 1) and s, x in [-1, 1] stays in [-1, 1]
//   after both roundings (the exact result lies between s and x, as
//   c (1 + 2^-24) < 1). The low-cut qualifies whenever its coefficient and
//   state do; the lowpass for a chunk whose 16 loop taps lie in [-1, 1].
//   Otherwise the clip is the min/max pair with the operand order of
//   clip_unit (a NaN passes), or, in the staged chain, where every value is
//   finite, with AVX-512 a single range instruction that equals clip_unit
//   for every value but NaN.
// - No operation here meets two NaNs with different payloads (where the
//   result would depend on operand order): every parameter, state, tap and
//   diffuser value the chunk combines must be finite, or the chunk goes to
//   voice_run (once a NaN is in the loop, its states keep it). The input's
//   own NaN only ever meets finite values.
//
// The staged form declines a chunk (before anything is written, so voice_run
// then starts from untouched state) when: a tap would read a slot written
// earlier in the chunk (delays of about 5 to 22 samples, or an output tap
// that close to the write index; a resting line of 4 to 24 samples is not
// even tried), a parameter, state, tap or diffuser value is not finite, the
// LFO is not the fixed one, a diffuser is shorter than a chunk, or the read
// position is outside the line.
//
// This header is meant for dsp/voice.cpp only. Everything in it has internal
// linkage, and each instruction-set form is only ever inlined (flatten) into
// a function compiled for that instruction set, so no out-of-line copy built
// for FMA or AVX-512 can be merged with a baseline copy of anything.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "dsp/voice.hpp"

#if defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>

namespace zq {
namespace {

constexpr std::uint32_t kLanes = DelayEngine::kChunk;
static_assert(kLanes == 16, "the lane layers hold 16 samples");
using LaneMask = std::uint32_t;
constexpr LaneMask kAllLanes = 0xFFFF;
constexpr float kSlotsF = DelayLine::kSlotsF;
// Highest distance ahead of the write index at which a four-slot read does
// not wrap onto the slots just behind it.
constexpr float kUnwrappedReach = static_cast<float>(DelayLine::kSlots - DelayLine::kCubicTaps);

// clip_unit on lane 0, without a branch: maxss(a, b) is a > b ? a : b and
// minss(a, b) is a < b ? a : b, so a NaN passes as in clip_unit.
inline __m128 clip_unit_ss(__m128 x) { return _mm_min_ss(_mm_set_ss(1.0f), _mm_max_ss(_mm_set_ss(-1.0f), x)); }

// ---------------------------------------------------------------------------
// AVX with FMA: 16 lanes as two 256-bit halves. Needs no AVX2.

struct AvxLanes {
    struct F {
        __m256 lo;
        __m256 hi;
    };
    struct I {
        __m256i lo;
        __m256i hi;
    };
    // Integer parts (truncation) and fractions of 16 non-negative positions,
    // as read_cubic splits them.
    struct SplitT {
        I n;     // integer parts
        F whole; // integer parts as floats
        F t;     // fractions
        alignas(64) std::int32_t at[kLanes]; // integer parts, for addressing
    };

    static F load(const float* p) { return {_mm256_load_ps(p), _mm256_load_ps(p + 8)}; }
    static F loadu(const float* p) { return {_mm256_loadu_ps(p), _mm256_loadu_ps(p + 8)}; }
    static void store(float* p, F a)
    {
        _mm256_store_ps(p, a.lo);
        _mm256_store_ps(p + 8, a.hi);
    }
    static void storeu(float* p, F a)
    {
        _mm256_storeu_ps(p, a.lo);
        _mm256_storeu_ps(p + 8, a.hi);
    }
    static F set1(float v)
    {
        const __m256 x = _mm256_set1_ps(v);
        return {x, x};
    }
    static F iota() { return {_mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7), _mm256_setr_ps(8, 9, 10, 11, 12, 13, 14, 15)}; }
    static F alternate(float even, float odd)
    {
        const __m256 x = _mm256_setr_ps(even, odd, even, odd, even, odd, even, odd);
        return {x, x};
    }
    static F add(F a, F b) { return {_mm256_add_ps(a.lo, b.lo), _mm256_add_ps(a.hi, b.hi)}; }
    static F sub(F a, F b) { return {_mm256_sub_ps(a.lo, b.lo), _mm256_sub_ps(a.hi, b.hi)}; }
    static F mul(F a, F b) { return {_mm256_mul_ps(a.lo, b.lo), _mm256_mul_ps(a.hi, b.hi)}; }
    // a * b + c, one rounding.
    static F fmadd(F a, F b, F c) { return {_mm256_fmadd_ps(a.lo, b.lo, c.lo), _mm256_fmadd_ps(a.hi, b.hi, c.hi)}; }

    static LaneMask bits(__m256 lo, __m256 hi)
    {
        return static_cast<LaneMask>(_mm256_movemask_ps(lo)) | static_cast<LaneMask>(_mm256_movemask_ps(hi)) << 8;
    }
    static __m256 magnitude(__m256 a) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a); }
    // Lanes with |a| <= bound (a NaN lane is not).
    static LaneMask within(F a, float bound)
    {
        const __m256 b = _mm256_set1_ps(bound);
        return bits(_mm256_cmp_ps(magnitude(a.lo), b, _CMP_LE_OQ), _mm256_cmp_ps(magnitude(a.hi), b, _CMP_LE_OQ));
    }
    // |x| < kWetInputBound ? x : 0 (a NaN lane gives 0).
    static F wet(F x)
    {
        const __m256 b = _mm256_set1_ps(kWetInputBound);
        return {_mm256_and_ps(_mm256_cmp_ps(magnitude(x.lo), b, _CMP_LT_OQ), x.lo),
                _mm256_and_ps(_mm256_cmp_ps(magnitude(x.hi), b, _CMP_LT_OQ), x.hi)};
    }
    static LaneMask finite(F a)
    {
        const __m256 b = _mm256_set1_ps(INFINITY);
        return bits(_mm256_cmp_ps(magnitude(a.lo), b, _CMP_LT_OQ), _mm256_cmp_ps(magnitude(a.hi), b, _CMP_LT_OQ));
    }
    static LaneMask either_nan(F a, F b)
    {
        return bits(_mm256_cmp_ps(a.lo, b.lo, _CMP_UNORD_Q), _mm256_cmp_ps(a.hi, b.hi, _CMP_UNORD_Q));
    }
    // Lanes in [0, bound).
    static LaneMask in_range(F a, float bound)
    {
        const __m256 z = _mm256_setzero_ps();
        const __m256 b = _mm256_set1_ps(bound);
        return bits(_mm256_and_ps(_mm256_cmp_ps(a.lo, z, _CMP_GE_OQ), _mm256_cmp_ps(a.lo, b, _CMP_LT_OQ)),
                    _mm256_and_ps(_mm256_cmp_ps(a.hi, z, _CMP_GE_OQ), _mm256_cmp_ps(a.hi, b, _CMP_LT_OQ)));
    }
    // Lanes with lane <= a <= top.
    static LaneMask between(F a, F lane, float top)
    {
        const __m256 t = _mm256_set1_ps(top);
        return bits(_mm256_and_ps(_mm256_cmp_ps(a.lo, lane.lo, _CMP_GE_OQ), _mm256_cmp_ps(a.lo, t, _CMP_LE_OQ)),
                    _mm256_and_ps(_mm256_cmp_ps(a.hi, lane.hi, _CMP_GE_OQ), _mm256_cmp_ps(a.hi, t, _CMP_LE_OQ)));
    }

    // a < bound ? a + c : a, for lanes that are never -0 (a + (+0) is a for
    // every other value). A blend would do as well, but compilers turn a blend
    // on a compare into per-lane branches when 256-bit integer compares are
    // missing (AVX without AVX2).
    static F add_below(F a, float bound, float c)
    {
        const __m256 b = _mm256_set1_ps(bound);
        const __m256 k = _mm256_set1_ps(c);
        return {_mm256_add_ps(a.lo, _mm256_and_ps(_mm256_cmp_ps(a.lo, b, _CMP_LT_OQ), k)),
                _mm256_add_ps(a.hi, _mm256_and_ps(_mm256_cmp_ps(a.hi, b, _CMP_LT_OQ), k))};
    }
    // a >= bound ? a - c : a (a - (+0) is a for every value).
    static F sub_from(F a, float bound, float c)
    {
        const __m256 b = _mm256_set1_ps(bound);
        const __m256 k = _mm256_set1_ps(c);
        return {_mm256_sub_ps(a.lo, _mm256_and_ps(_mm256_cmp_ps(a.lo, b, _CMP_GE_OQ), k)),
                _mm256_sub_ps(a.hi, _mm256_and_ps(_mm256_cmp_ps(a.hi, b, _CMP_GE_OQ), k))};
    }

    // Lane 0 of each of 16 registers, side by side.
    static __m128 quad(__m128 a, __m128 b, __m128 c, __m128 d)
    {
        return _mm_movelh_ps(_mm_unpacklo_ps(a, b), _mm_unpacklo_ps(c, d));
    }
    static __m256 octet(const __m128* v)
    {
        return _mm256_insertf128_ps(_mm256_castps128_ps256(quad(v[0], v[1], v[2], v[3])), quad(v[4], v[5], v[6], v[7]),
                                    1);
    }

    static void split(F pos, SplitT& s)
    {
        s.n = {_mm256_cvttps_epi32(pos.lo), _mm256_cvttps_epi32(pos.hi)};
        _mm256_store_si256(reinterpret_cast<__m256i*>(s.at), s.n.lo);
        _mm256_store_si256(reinterpret_cast<__m256i*>(s.at + 8), s.n.hi);
        s.whole = {_mm256_cvtepi32_ps(s.n.lo), _mm256_cvtepi32_ps(s.n.hi)};
        s.t = sub(pos, s.whole);
    }

    // (float) fma((double) length, 1.0 - (double) ratio, (double) base),
    // lane by lane; `lengths` per lane, or `length` for all when null.
    static __m128 position4(__m256d len, __m128 ratio, __m128 base)
    {
        const __m256d omr = _mm256_sub_pd(_mm256_set1_pd(1.0), _mm256_cvtps_pd(ratio));
        return _mm256_cvtpd_ps(_mm256_fmadd_pd(len, omr, _mm256_cvtps_pd(base)));
    }
    static __m256 position8(const double* lengths, double length, __m256 ratio, __m256 base)
    {
        const __m256d l0 = lengths != nullptr ? _mm256_load_pd(lengths) : _mm256_set1_pd(length);
        const __m256d l1 = lengths != nullptr ? _mm256_load_pd(lengths + 4) : _mm256_set1_pd(length);
        const __m128 a = position4(l0, _mm256_castps256_ps128(ratio), _mm256_castps256_ps128(base));
        const __m128 b = position4(l1, _mm256_extractf128_ps(ratio, 1), _mm256_extractf128_ps(base, 1));
        return _mm256_insertf128_ps(_mm256_castps128_ps256(a), b, 1);
    }
    static F position(const double* lengths, double length, F ratio, F base)
    {
        return {position8(lengths, length, ratio.lo, base.lo),
                position8(lengths != nullptr ? lengths + 8 : nullptr, length, ratio.hi, base.hi)};
    }

    // The four-point cubic of DelayLine::read_cubic for 8 lanes.
    static __m256 cubic8(const float* buffer, const std::int32_t* n, __m256 t)
    {
        // One 4-slot load per lane, lanes j and j + 4 sharing a register, then a
        // 4 x 4 transpose inside each 128-bit half.
        const __m256 q0 = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(buffer + n[0])),
                                               _mm_loadu_ps(buffer + n[4]), 1);
        const __m256 q1 = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(buffer + n[1])),
                                               _mm_loadu_ps(buffer + n[5]), 1);
        const __m256 q2 = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(buffer + n[2])),
                                               _mm_loadu_ps(buffer + n[6]), 1);
        const __m256 q3 = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(buffer + n[3])),
                                               _mm_loadu_ps(buffer + n[7]), 1);
        const __m256 t0 = _mm256_unpacklo_ps(q0, q1);
        const __m256 t1 = _mm256_unpackhi_ps(q0, q1);
        const __m256 t2 = _mm256_unpacklo_ps(q2, q3);
        const __m256 t3 = _mm256_unpackhi_ps(q2, q3);
        return cubic_math8(_mm256_shuffle_ps(t0, t2, 0x44), _mm256_shuffle_ps(t0, t2, 0xEE),
                           _mm256_shuffle_ps(t1, t3, 0x44), _mm256_shuffle_ps(t1, t3, 0xEE), t);
    }
    static __m256 cubic_math8(__m256 y0, __m256 y1, __m256 y2, __m256 y3, __m256 t)
    {
        // c3 = fma(y3 - y0, 0.5, (y1 - y2) * 1.5)
        const __m256 c3 = _mm256_fmadd_ps(_mm256_sub_ps(y3, y0), _mm256_set1_ps(0.5f),
                                          _mm256_mul_ps(_mm256_sub_ps(y1, y2), _mm256_set1_ps(1.5f)));
        // c2 = fma(y2, 2, y0) - fma(y1, 2.5, y3 * 0.5)
        const __m256 c2 =
            _mm256_sub_ps(_mm256_fmadd_ps(y2, _mm256_set1_ps(2.0f), y0),
                          _mm256_fmadd_ps(y1, _mm256_set1_ps(2.5f), _mm256_mul_ps(y3, _mm256_set1_ps(0.5f))));
        // m = fma(t, c3, c2) * t;  k = fma(y2 - y0, 0.5, m);  fma(t, k, y1)
        const __m256 m = _mm256_mul_ps(_mm256_fmadd_ps(t, c3, c2), t);
        const __m256 k = _mm256_fmadd_ps(_mm256_sub_ps(y2, y0), _mm256_set1_ps(0.5f), m);
        return _mm256_fmadd_ps(t, k, y1);
    }
    static F cubic(const float* buffer, const SplitT& s)
    {
        return {cubic8(buffer, s.at, s.t.lo), cubic8(buffer, s.at + 8, s.t.hi)};
    }

    // 4 rows (one per diffuser) of 8 samples into 8 columns of 4, and back.
    // A 4 x 4 transpose in each 128-bit block: four section rows of samples
    // become columns of four sections (sample j of each), and back.
    static void transpose_blocks(__m256 (&r)[4])
    {
        const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
        const __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
        const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
        const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
        r[0] = _mm256_shuffle_ps(t0, t2, 0x44);
        r[1] = _mm256_shuffle_ps(t0, t2, 0xEE);
        r[2] = _mm256_shuffle_ps(t1, t3, 0x44);
        r[3] = _mm256_shuffle_ps(t1, t3, 0xEE);
    }
    static void to_columns(const __m256 (&row)[4], __m128 (&col)[8])
    {
        __m256 r[4] = {row[0], row[1], row[2], row[3]};
        transpose_blocks(r);
        for (int j = 0; j < 4; ++j) {
            col[j] = _mm256_castps256_ps128(r[j]);
            col[j + 4] = _mm256_extractf128_ps(r[j], 1);
        }
    }
    static void to_rows(const __m128 (&col)[8], __m256 (&row)[4])
    {
        for (int j = 0; j < 4; ++j) {
            row[j] = _mm256_insertf128_ps(_mm256_castps128_ps256(col[j]), col[j + 4], 1);
        }
        transpose_blocks(row);
    }

    // The rest of 8 samples once their loop signals are known: the four
    // sections' feed-forward steps (v into `v`, the last output into `y`),
    // the outputs, and the damping recursion of the four sections side by
    // side (lane k of `state` is section k's damp_state; `w` receives what
    // each section stores).
    static void tail8(__m256 loop, __m256 first, const __m256 (&d)[4], const float (&coef)[4], float feedback,
                      __m256 out_1_tap, __m256 out_2_tap, float loop_g1, float loop_g2, float* out_1, float* out_2,
                      __m128 damp_coef, __m128& state, __m256& y, __m256 (&w)[4])
    {
        __m256 v[4];
        v[0] = _mm256_fmadd_ps(loop, _mm256_set1_ps(feedback), first);
        y = _mm256_fmadd_ps(_mm256_set1_ps(coef[0]), v[0], d[0]);
#pragma GCC unroll 16
        for (int k = 1; k < 4; ++k) {
            v[k] = _mm256_fmadd_ps(_mm256_set1_ps(-coef[k]), d[k], y);
            y = _mm256_fmadd_ps(_mm256_set1_ps(coef[k]), v[k], d[k]);
        }
        _mm256_storeu_ps(out_1, _mm256_fmadd_ps(loop, _mm256_set1_ps(loop_g1), out_1_tap));
        _mm256_storeu_ps(out_2, _mm256_fmadd_ps(loop, _mm256_set1_ps(loop_g2), out_2_tap));
        __m128 col[8];
        to_columns(v, col);
#pragma GCC unroll 16
        for (__m128& c : col) {
            state = _mm_fmadd_ps(damp_coef, _mm_sub_ps(state, c), c);
            c = state;
        }
        to_rows(col, w);
    }
    static __m256 half(F a, int h) { return h == 0 ? a.lo : a.hi; }
    static F join(__m256 lo, __m256 hi) { return {lo, hi}; }

    // Lane I of 16 on lane 0.
    template <int I>
    static __m128 lane(F a)
    {
        const __m256 h = I < 8 ? a.lo : a.hi;
        const __m128 q = (I & 7) < 4 ? _mm256_castps256_ps128(h) : _mm256_extractf128_ps(h, 1);
        return (I & 3) == 0 ? q : _mm_permute_ps(q, I & 3);
    }
    // A chunk's four section rows as 16 columns of four (sample j of every
    // section), and back, the columns taken out and put back one by one.
    struct DampCols {
        __m256 c[2][4]; // [half][j % 4]: columns j and j + 4 of the half
        void load(const F (&v)[4])
        {
            for (int h = 0; h < 2; ++h) {
                for (int s = 0; s < 4; ++s) {
                    c[h][s] = h == 0 ? v[s].lo : v[s].hi;
                }
                transpose_blocks(c[h]);
            }
        }
        template <int J>
        __m128 col() const
        {
            const __m256 b = c[J / 8][J % 4];
            return (J % 8) < 4 ? _mm256_castps256_ps128(b) : _mm256_extractf128_ps(b, 1);
        }
        template <int J>
        void put(__m128 x)
        {
            __m256& b = c[J / 8][J % 4];
            b = (J % 8) < 4 ? _mm256_insertf128_ps(b, x, 0) : _mm256_insertf128_ps(b, x, 1);
        }
        void rows(F (&w)[4])
        {
            for (int h = 0; h < 2; ++h) {
                transpose_blocks(c[h]);
            }
            for (int s = 0; s < 4; ++s) {
                w[s] = {c[0][s], c[1][s]};
            }
        }
    };

    // Collects lane 0 of 16 registers side by side.
    struct LoopAcc {
        __m128 s[kLanes];
        template <int I>
        void put(__m128 x)
        {
            s[I] = x;
        }
        F get() const { return {octet(s), octet(s + 8)}; }
    };

    // one_pole_step on lane 0: fma(c, s - x, x).
    // The difference is the overwritten operand (c (s - x) and (s - x) c are
    // the same product), so the coefficient's register needs no copy.
    static __m128 pole(__m128 c, __m128 s, __m128 x) { return _mm_fmadd_ss(_mm_sub_ss(s, x), c, x); }
    // The same on all four lanes.
    static __m128 pole4(__m128 c, __m128 s, __m128 x) { return _mm_fmadd_ps(_mm_sub_ps(s, x), c, x); }

    // clip_unit on lane 0, for the finite values of the staged chain.
    static __m128 clip_finite(__m128 x) { return clip_unit_ss(x); }
};

// ---------------------------------------------------------------------------
// AVX-512: 16 lanes in one register.

#if defined(__AVX512F__)

struct Avx512Lanes {
    using F = __m512;
    using I = __m512i;
    // Integer parts (truncation) and fractions of 16 non-negative positions,
    // as read_cubic splits them.
    struct SplitT {
        I n;     // integer parts
        F whole; // integer parts as floats
        F t;     // fractions
    };

    static F load(const float* p) { return _mm512_load_ps(p); }
    static F loadu(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, F a) { _mm512_store_ps(p, a); }
    static void storeu(float* p, F a) { _mm512_storeu_ps(p, a); }
    static F set1(float v) { return _mm512_set1_ps(v); }
    static F iota() { return _mm512_setr_ps(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15); }
    static F alternate(float even, float odd)
    {
        return _mm512_setr_ps(even, odd, even, odd, even, odd, even, odd, even, odd, even, odd, even, odd, even, odd);
    }
    static F add(F a, F b) { return _mm512_add_ps(a, b); }
    static F sub(F a, F b) { return _mm512_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
    static F fmadd(F a, F b, F c) { return _mm512_fmadd_ps(a, b, c); }

    static F magnitude(F a)
    {
        return _mm512_castsi512_ps(_mm512_and_si512(_mm512_castps_si512(a), _mm512_set1_epi32(0x7fffffff)));
    }
    static LaneMask within(F a, float bound) { return _mm512_cmp_ps_mask(magnitude(a), set1(bound), _CMP_LE_OQ); }
    static F wet(F x)
    {
        return _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(magnitude(x), set1(kWetInputBound), _CMP_LT_OQ), x);
    }
    // Not NaN and not infinite (QNaN, SNaN, +inf, -inf classes).
    static LaneMask finite(F a) { return static_cast<LaneMask>(~_mm512_fpclass_ps_mask(a, 0x99)) & kAllLanes; }
    static LaneMask either_nan(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_UNORD_Q); }
    static LaneMask in_range(F a, float bound)
    {
        return _mm512_cmp_ps_mask(a, _mm512_setzero_ps(), _CMP_GE_OQ) & _mm512_cmp_ps_mask(a, set1(bound), _CMP_LT_OQ);
    }
    static LaneMask between(F a, F lane, float top)
    {
        return _mm512_cmp_ps_mask(a, lane, _CMP_GE_OQ) & _mm512_cmp_ps_mask(a, set1(top), _CMP_LE_OQ);
    }
    // Masked arithmetic: the other lanes keep their value exactly.
    static F add_below(F a, float bound, float c)
    {
        return _mm512_mask_add_ps(a, _mm512_cmp_ps_mask(a, set1(bound), _CMP_LT_OQ), a, set1(c));
    }
    static F sub_from(F a, float bound, float c)
    {
        return _mm512_mask_sub_ps(a, _mm512_cmp_ps_mask(a, set1(bound), _CMP_GE_OQ), a, set1(c));
    }

    // Sixteen entries of a circular store from `pos` on when they wrap (pos + 16
    // > length >= 16): entries pos .. length - 1, then 0 onwards. Masked
    // loads and stores touch no entry outside those.
    static F load_ring(const float* store, std::uint32_t pos, std::uint32_t length)
    {
        const std::uint32_t tail = length - pos; // 1 .. 15 entries before the wrap
        const __mmask16 before = static_cast<__mmask16>((1u << tail) - 1u);
        const F a = _mm512_maskz_loadu_ps(before, store + pos);
        const __m512i from = _mm512_sub_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                                              _mm512_set1_epi32(static_cast<int>(tail)));
        const F b = _mm512_permutexvar_ps(from, _mm512_loadu_ps(store));
        return _mm512_mask_mov_ps(b, before, a);
    }
    // The store of load_ring's entries; returns the position after them.
    static std::uint32_t save_ring(float* store, std::uint32_t pos, std::uint32_t length, F w)
    {
        const std::uint32_t tail = length - pos;
        _mm512_mask_storeu_ps(store + pos, static_cast<__mmask16>((1u << tail) - 1u), w);
        const __m512i from = _mm512_add_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                                              _mm512_set1_epi32(static_cast<int>(tail)));
        const std::uint32_t rest = kLanes - tail;
        _mm512_mask_storeu_ps(store, static_cast<__mmask16>((1u << rest) - 1u), _mm512_permutexvar_ps(from, w));
        return rest;
    }

    static __m256 half(F a, int h) { return h == 0 ? _mm512_castps512_ps256(a) : _mm512_extractf32x8_ps(a, 1); }
    static F join(__m256 lo, __m256 hi) { return _mm512_insertf32x8(_mm512_castps256_ps512(lo), hi, 1); }

    template <int I>
    static __m128 lane(F a)
    {
        if constexpr (I == 0) {
            return _mm512_castps512_ps128(a);
        } else if constexpr (I < 4) {
            return _mm_permute_ps(_mm512_castps512_ps128(a), I);
        } else {
            const __m512i v = _mm512_castps_si512(a);
            return _mm512_castps512_ps128(_mm512_castsi512_ps(_mm512_alignr_epi32(v, v, I)));
        }
    }
    static void transpose_blocks(F (&r)[4])
    {
        const F t0 = _mm512_unpacklo_ps(r[0], r[1]);
        const F t1 = _mm512_unpackhi_ps(r[0], r[1]);
        const F t2 = _mm512_unpacklo_ps(r[2], r[3]);
        const F t3 = _mm512_unpackhi_ps(r[2], r[3]);
        r[0] = _mm512_shuffle_ps(t0, t2, 0x44);
        r[1] = _mm512_shuffle_ps(t0, t2, 0xEE);
        r[2] = _mm512_shuffle_ps(t1, t3, 0x44);
        r[3] = _mm512_shuffle_ps(t1, t3, 0xEE);
    }
    struct DampCols {
        F c[4]; // [j % 4]: columns j, j + 4, j + 8, j + 12 in the four blocks
        void load(const F (&v)[4])
        {
            for (int s = 0; s < 4; ++s) {
                c[s] = v[s];
            }
            transpose_blocks(c);
        }
        template <int J>
        __m128 col() const
        {
            if constexpr (J < 4) {
                return _mm512_castps512_ps128(c[J % 4]);
            } else {
                return _mm512_extractf32x4_ps(c[J % 4], J / 4);
            }
        }
        template <int J>
        void put(__m128 x)
        {
            c[J % 4] = _mm512_insertf32x4(c[J % 4], x, J / 4);
        }
        void rows(F (&w)[4])
        {
            transpose_blocks(c);
            for (int s = 0; s < 4; ++s) {
                w[s] = c[s];
            }
        }
    };

    // Collects lane 0 of 16 registers side by side, one merge each (the
    // first broadcast fills every lane).
    struct LoopAcc {
        F v;
        template <int I>
        void put(__m128 x)
        {
            if constexpr (I == 0) {
                v = _mm512_broadcastss_ps(x);
            } else {
                v = _mm512_mask_broadcastss_ps(v, static_cast<__mmask16>(1u << I), x);
            }
        }
        F get() const { return v; }
    };

    static void split(F pos, SplitT& s)
    {
        s.n = _mm512_cvttps_epi32(pos);
        s.whole = _mm512_cvtepi32_ps(s.n);
        s.t = sub(pos, s.whole);
    }

    static __m256 position8(__m512d len, __m256 ratio, __m256 base)
    {
        const __m512d omr = _mm512_sub_pd(_mm512_set1_pd(1.0), _mm512_cvtps_pd(ratio));
        return _mm512_cvtpd_ps(_mm512_fmadd_pd(len, omr, _mm512_cvtps_pd(base)));
    }
    static F position(const double* lengths, double length, F ratio, F base)
    {
        const __m512d l0 = lengths != nullptr ? _mm512_load_pd(lengths) : _mm512_set1_pd(length);
        const __m512d l1 = lengths != nullptr ? _mm512_load_pd(lengths + 8) : _mm512_set1_pd(length);
        const __m256 a = position8(l0, _mm512_castps512_ps256(ratio), _mm512_castps512_ps256(base));
        const __m256 b = position8(l1, _mm512_extractf32x8_ps(ratio, 1), _mm512_extractf32x8_ps(base, 1));
        return _mm512_insertf32x8(_mm512_castps256_ps512(a), b, 1);
    }

    // The four-point cubic of DelayLine::read_cubic for 16 lanes. Taps that
    // advance with the lanes lie within one window of 32 slots, read with two
    // loads and picked per lane with two-source permutes; otherwise gathers.
    static F cubic(const float* buffer, const SplitT& s)
    {
        constexpr int kWindow = 32;
        constexpr int kLastWindowStart = static_cast<int>(DelayLine::kSlots + DelayLine::kMirror) - kWindow;
        const int first = _mm_cvtsi128_si32(_mm512_castsi512_si128(s.n));
        const __m512i off = _mm512_sub_epi32(s.n, _mm512_set1_epi32(first));
        const __mmask16 near = _mm512_cmple_epu32_mask(off, _mm512_set1_epi32(kWindow - 4));
        F y0;
        F y1;
        F y2;
        F y3;
        if (near == kAllLanes && first <= kLastWindowStart) [[likely]] {
            const F w0 = _mm512_loadu_ps(buffer + first);
            const F w1 = _mm512_loadu_ps(buffer + first + 16);
            const __m512i one = _mm512_set1_epi32(1);
            const __m512i off1 = _mm512_add_epi32(off, one);
            const __m512i off2 = _mm512_add_epi32(off1, one);
            const __m512i off3 = _mm512_add_epi32(off2, one);
            y0 = _mm512_permutex2var_ps(w0, off, w1);
            y1 = _mm512_permutex2var_ps(w0, off1, w1);
            y2 = _mm512_permutex2var_ps(w0, off2, w1);
            y3 = _mm512_permutex2var_ps(w0, off3, w1);
        } else {
            y0 = _mm512_i32gather_ps(s.n, buffer, 4);
            y1 = _mm512_i32gather_ps(s.n, buffer + 1, 4);
            y2 = _mm512_i32gather_ps(s.n, buffer + 2, 4);
            y3 = _mm512_i32gather_ps(s.n, buffer + 3, 4);
        }
        const F t = s.t;
        // c3 = fma(y3 - y0, 0.5, (y1 - y2) * 1.5)
        const F c3 = fmadd(sub(y3, y0), set1(0.5f), mul(sub(y1, y2), set1(1.5f)));
        // c2 = fma(y2, 2, y0) - fma(y1, 2.5, y3 * 0.5)
        const F c2 = sub(fmadd(y2, set1(2.0f), y0), fmadd(y1, set1(2.5f), mul(y3, set1(0.5f))));
        // m = fma(t, c3, c2) * t;  k = fma(y2 - y0, 0.5, m);  fma(t, k, y1)
        const F m = mul(fmadd(t, c3, c2), t);
        const F k = fmadd(sub(y2, y0), set1(0.5f), m);
        return fmadd(t, k, y1);
    }

    // The difference is the overwritten operand (c (s - x) and (s - x) c are
    // the same product), so the coefficient's register needs no copy.
    static __m128 pole(__m128 c, __m128 s, __m128 x) { return _mm_fmadd_ss(_mm_sub_ss(s, x), c, x); }
    // The same on all four lanes.
    static __m128 pole4(__m128 c, __m128 s, __m128 x) { return _mm_fmadd_ps(_mm_sub_ps(s, x), c, x); }

    // clip_unit on lane 0 in one instruction, for the finite values of the
    // staged chain: the smaller magnitude of x and 1 with the sign of x.
    // Equal to clip_unit for every value but NaN (which it turns into ±1).
    static __m128 clip_finite(__m128 x) { return _mm_range_ss(x, _mm_set_ss(1.0f), 0x02); }
};

#endif

// ---------------------------------------------------------------------------
// The instruction-set independent part. Plain inline: only ever inlined into
// the flattened kernel of one instruction set (dsp/voice.cpp).

// The scalar state of the line, advanced as write_sample and advance do.
struct LineCursor {
    float read_pos;
    std::uint64_t write_index;
    std::uint64_t length;
    std::uint64_t glide_target;
    std::uint64_t pending_length;
    bool gliding;
    float speed;

    explicit LineCursor(const DelayLine& l)
        : read_pos(l.read_pos), write_index(l.write_index), length(l.length), glide_target(l.glide_target),
          pending_length(l.pending_length), gliding(l.gliding), speed(l.speed)
    {
    }

    void store_into(DelayLine& l) const
    {
        l.read_pos = read_pos;
        l.write_index = write_index;
        l.length = length;
        l.glide_target = glide_target;
        l.pending_length = pending_length;
        l.gliding = gliding;
        l.speed = speed;
    }

    // write_sample's move of the write index, then DelayLine::advance.
    void step()
    {
        if (++write_index >= DelayLine::kSlots) {
            write_index = 0;
        }
        DelayLine::advance_positions(*this);
    }
};

// True when every parameter and state the chunk combines is finite. A sum
// of them is finite only then (or when it overflows, which only sends the
// chunk to voice_run). Once a NaN has entered the loop the filter and
// damping states hold it for good, so this also tells whether the loop ever
// took one in. Scalar loads on purpose: a vector load across fields that the
// previous chunk has just stored one by one would wait for those stores to
// leave the core.
inline bool finite_setup(const DelayEngine& e)
{
    float sum = e.tap_gain_1 * e.gain + e.tap_gain_2 * e.gain + e.loop_gain_1 * e.gain + e.loop_gain_2 * e.gain +
                e.feedback_eff + e.ratio_coef + e.ratio_target + e.ratio_state + e.lp_coef + e.lc_coef + e.lp_state +
                e.lc_state;
#pragma GCC unroll 16
    for (const Diffuser& d : e.diffusers) {
        sum += d.coef + d.damp_coef + d.damp_state;
    }
    return sum - sum == 0.0f;
}

inline bool coef_keeps_unit(float c) { return c >= 0.0f && c < 1.0f; }
inline bool in_unit(float v) { return v >= -1.0f && v <= 1.0f; }

// The LFO the engine runs: depth 1 and steps of 1, so its phase alternates
// between 0 and -1.
inline bool fixed_lfo(const DelayLine& line)
{
    const float p0 = line.lfo_phase;
    return line.lfo_inc == 1.0f && line.mod_depth == 1.0f && (p0 == 0.0f || p0 == -1.0f);
}

// True when the tap-ratio smoother's next step repeats its state exactly, so
// it holds for the whole chunk.
inline bool ratio_at_rest(const DelayEngine& e)
{
    const float next = one_pole_step(e.ratio_coef, e.ratio_state, e.ratio_target);
    return std::memcmp(&next, &e.ratio_state, sizeof next) == 0;
}

// Sixteen exact steps of 1.0 that stay below the wrap are the direct sums
// read_pos + i.
inline bool steady_read(float read_pos)
{
    const float r16 = read_pos + 16.0f;
    return r16 < kSlotsF && r16 - 16.0f == read_pos;
}

// The write index a chunk after `w`.
inline std::uint64_t chunk_after(std::uint64_t w)
{
    return w + kLanes >= DelayLine::kSlots ? w + kLanes - DelayLine::kSlots : w + kLanes;
}

// Lanes whose four slots (mirror slots mapped to the slots they mirror) are
// none of the slots from `first_written` up to the lane's bound in
// `written`: lane i may not read what samples first_written .. first_written
// + written[i] - 1 write. A tap ahead of those reads the old content either
// way.
template <class L>
inline LaneMask clear_of_writes(const typename L::F& whole, std::uint64_t first_written, const typename L::F& written)
{
    const typename L::F ahead =
        L::add_below(L::sub(whole, L::set1(static_cast<float>(first_written))), 0.0f, kSlotsF);
    return L::between(ahead, written, kUnwrappedReach);
}

// The loop filters over 8 samples: lowpass then low-cut, each clipped unless
// its clip is proven idle. Returns the 8 loop signals.
template <class L, bool kClipLowpass, bool kClipLowCut>
inline __m256 loop_filters8(const float* tap, __m128 lpc, __m128 lcc, __m128& lp, __m128& lc)
{
    __m128 loop[8];
#pragma GCC unroll 8
    for (std::uint32_t i = 0; i < 8; ++i) {
        const __m128 t = _mm_load_ss(tap + i);
        lp = L::pole(lpc, lp, t);
        if constexpr (kClipLowpass) {
            lp = L::clip_finite(lp);
        }
        lc = L::pole(lcc, lc, lp);
        if constexpr (kClipLowCut) {
            lc = L::clip_finite(lc);
        }
        loop[i] = _mm_sub_ss(lp, lc);
    }
    // Packed in registers: a vector load of 8 scalar stores would have to
    // wait until all of them have left the core.
    return AvxLanes::octet(loop);
}

// What the staged chunk hands from its lane stages to the serial part.
template <class L>
struct ChunkTail {
    const float* loop_taps; // in memory, one load per step
    float lp_state;
    float lc_state;
    float lp_coef;
    float lc_coef;
    typename L::F first;     // the first section's fma(-coef, d, x_wet)
    typename L::F d[4];      // what each section reads back
    typename L::F out_1_tap; // fma(tap, tap gain, in), both outputs
    typename L::F out_2_tap;
    float coef[4];
    float feedback;
    float loop_g1;
    float loop_g2;
    __m128 damp_coef;
    __m128 damp_state;
    typename L::F y;    // the chain's output: what the line gets
    typename L::F w[4]; // what each section stores
};

// The loop filters and everything after them, in two halves: the second
// half's filter steps overlap the first half's sections and damping.
template <class L, bool kClipLowpass, bool kClipLowCut>
inline void staged_tail(ChunkTail<L>& t, float* out_1, float* out_2)
{
    const __m128 lpc = _mm_set_ss(t.lp_coef);
    const __m128 lcc = _mm_set_ss(t.lc_coef);
    __m128 lp = _mm_set_ss(t.lp_state);
    __m128 lc = _mm_set_ss(t.lc_state);
    // The taps come from memory, one load each: left to itself the compiler
    // pulls each lane out of the vector register with a shuffle instead.
    __asm__("" : "+m"(*reinterpret_cast<float(*)[kLanes]>(const_cast<float*>(t.loop_taps))));
    __m256 y[2];
    __m256 w[2][4];
#pragma GCC unroll 16
    for (int h = 0; h < 2; ++h) {
        const __m256 loop = loop_filters8<L, kClipLowpass, kClipLowCut>(t.loop_taps + 8 * h, lpc, lcc, lp, lc);
        const __m256 d[4] = {L::half(t.d[0], h), L::half(t.d[1], h), L::half(t.d[2], h), L::half(t.d[3], h)};
        AvxLanes::tail8(loop, L::half(t.first, h), d, t.coef, t.feedback, L::half(t.out_1_tap, h),
                        L::half(t.out_2_tap, h), t.loop_g1, t.loop_g2, out_1 + 8 * h, out_2 + 8 * h, t.damp_coef,
                        t.damp_state, y[h], w[h]);
    }
    t.lp_state = _mm_cvtss_f32(lp);
    t.lc_state = _mm_cvtss_f32(lc);
    t.y = L::join(y[0], y[1]);
#pragma GCC unroll 16
    for (int k = 0; k < 4; ++k) {
        t.w[k] = L::join(w[0][k], w[1][k]);
    }
}

// Sixteen consecutive store entries of a section from `pos` on, wrapping.
template <class L>
inline typename L::F load_section(const Diffuser& d, std::uint64_t pos)
{
    if (pos + kLanes <= d.length) [[likely]] {
        return L::loadu(d.store + pos);
    }
    if constexpr (requires { L::load_ring(d.store, 0u, 0u); }) {
        return L::load_ring(d.store, static_cast<std::uint32_t>(pos), static_cast<std::uint32_t>(d.length));
    }
    alignas(64) float tmp[kLanes];
    std::uint64_t p = pos;
    for (float& v : tmp) {
        v = d.store[p];
        if (++p >= d.length) {
            p = 0;
        }
    }
    return L::load(tmp);
}

// What a section stores over a chunk, from `pos` on; returns the position
// after it.
template <class L>
inline std::uint64_t save_section(Diffuser& d, std::uint64_t pos, typename L::F w)
{
    if (pos + kLanes <= d.length) [[likely]] {
        L::storeu(d.store + pos, w);
        return pos + kLanes == d.length ? 0 : pos + kLanes;
    }
    if constexpr (requires { L::save_ring(d.store, 0u, 0u, w); }) {
        return L::save_ring(d.store, static_cast<std::uint32_t>(pos), static_cast<std::uint32_t>(d.length), w);
    }
    alignas(64) float tmp[kLanes];
    L::store(tmp, w);
    std::uint64_t p = pos;
    for (const float v : tmp) {
        d.store[p] = v;
        if (++p >= d.length) {
            p = 0;
        }
    }
    return p;
}

// The chunk's 16 samples into the line from `w0` on, and into the mirror, as
// write_sample does.
template <class L>
inline void write_chunk(DelayLine& line, std::uint64_t w0, typename L::F y)
{
    if (w0 >= DelayLine::kMirror && w0 + kLanes <= DelayLine::kSlots) [[likely]] {
        L::storeu(line.buffer + w0, y);
        return;
    }
    alignas(64) float s[kLanes];
    L::store(s, y);
    std::uint64_t w = w0;
    for (const float v_i : s) {
        line.buffer[w] = v_i;
        if (w < DelayLine::kMirror) {
            line.buffer[DelayLine::kSlots + w] = v_i;
        }
        if (++w >= DelayLine::kSlots) {
            w = 0;
        }
    }
}

// Delay lengths at which, with no glide, the loop tap reads slots that the
// chunk itself writes: the staged form is not even tried there.
constexpr std::uint64_t kNearFirst = 4;
constexpr std::uint64_t kNearLast = 24;

// One chunk through the staged voice. Returns false, with nothing changed,
// when a condition of the stages does not hold.
template <class L>
inline bool staged_chunk(DelayEngine& e, const float* in, float* out_1, float* out_2)
{
    using F = typename L::F;
    DelayLine& line = e.delay_line;
    Diffuser (&dif)[DelayEngine::kDiffuserCount] = e.diffusers;

    // ---- Conditions on parameters and states.
    if (!(fixed_lfo(line) && line.read_pos >= 0.0f && line.read_pos < kSlotsF)) {
        return false;
    }
    if (!line.gliding && line.pending_length == 0 && line.length >= kNearFirst && line.length <= kNearLast) {
        return false;
    }
#pragma GCC unroll 16
    for (const Diffuser& d : dif) {
        if (d.length < kLanes || d.pos >= d.length) {
            return false;
        }
    }
    if (!finite_setup(e)) {
        return false;
    }
    const float tap_g1 = e.tap_gain_1 * e.gain;
    const float tap_g2 = e.tap_gain_2 * e.gain;
    const float loop_g1 = e.loop_gain_1 * e.gain;
    const float loop_g2 = e.loop_gain_2 * e.gain;
    const float feedback_eff = e.feedback_eff;
    const float lp_coef = e.lp_coef;
    const float lc_coef = e.lc_coef;

    // ---- Read position and length at the top of each sample.
    LineCursor c(line);
    const std::uint64_t w0 = c.write_index;
    alignas(64) float rp[kLanes];
    alignas(64) double len[kLanes];
    bool steady = false;
    F rp_lanes;
    if (!c.gliding && c.pending_length == 0 && c.speed == 1.0f && steady_read(c.read_pos)) {
        steady = true;
        rp_lanes = L::add(L::set1(c.read_pos), L::iota());
        c.read_pos += 16.0f;
        c.write_index = chunk_after(w0);
    }
    if (!steady) {
        for (std::uint32_t i = 0; i < kLanes; ++i) {
            rp[i] = c.read_pos;
            len[i] = static_cast<double>(c.length);
            c.step();
        }
        rp_lanes = L::load(rp);
    }
    // Lane i may not read what samples 0 .. i - 1 write.
    const F lane = L::iota();

    // ---- Loop taps: base + offset with the phase after each sample's LFO
    // step (even lanes one phase, odd lanes the other), one lap out at most.
    const float p0 = line.lfo_phase;
    const float p1 = DelayLine::next_lfo_phase(p0, line.lfo_inc);
    const float p2 = DelayLine::next_lfo_phase(p1, line.lfo_inc);
    const float off_even = std::fabs(p0) + 1.0f;
    const float off_odd = std::fabs(p1) + 1.0f;
    const F depth = L::set1(line.mod_depth);
    const F head = L::add(rp_lanes, L::set1(1.0f));
    const F loop_pos = L::sub_from(L::fmadd(depth, L::alternate(off_odd, off_even), head), kSlotsF, kSlotsF);
    typename L::SplitT ls;
    L::split(loop_pos, ls);
    LaneMask fresh = clear_of_writes<L>(ls.whole, w0, lane);
    const F loop_tap = L::cubic(line.buffer, ls);
    alignas(64) float loop_taps[kLanes];
    L::store(loop_taps, loop_tap);

    // ---- Tap-ratio smoother: a resting value repeats itself exactly.
    float ratio_state = e.ratio_state;
    alignas(64) float ratio[kLanes];
    F ratio_lanes;
    if (ratio_at_rest(e)) {
        ratio_lanes = L::set1(ratio_state);
    } else {
        for (float& r : ratio) {
            ratio_state = one_pole_step(e.ratio_coef, ratio_state, e.ratio_target);
            r = ratio_state;
        }
        ratio_lanes = L::load(ratio);
    }

    // ---- Output taps: the phase before each sample's LFO step.
    const F base = L::fmadd(depth, L::alternate(off_even, off_odd), head);
    const F raw = L::position(steady ? nullptr : len, static_cast<double>(line.length), ratio_lanes, base);
    // Never -0: base >= 2 and the length term is a multiple of 2^-23.
    F out_pos = L::sub_from(L::add_below(raw, 0.0f, kSlotsF), kSlotsF, kSlotsF);
    if (L::in_range(out_pos, kSlotsF) != kAllLanes) [[unlikely]] {
        // Ratios far out of range: the full wrap of the per-sample voice.
        alignas(64) float p[kLanes];
        L::store(p, raw);
        for (float& v : p) {
            v = wrap_output_tap(v);
        }
        out_pos = L::load(p);
    }
    typename L::SplitT os;
    L::split(out_pos, os);
    fresh &= clear_of_writes<L>(os.whole, w0, lane);
    const F out_tap = L::cubic(line.buffer, os);

    // ---- Diffuser reads, and the last checks before anything is written.
    F d[4];
#pragma GCC unroll 16
    for (int k = 0; k < 4; ++k) {
        d[k] = load_section<L>(dif[k], dif[k].pos);
    }
    if ((fresh & L::finite(loop_tap) & L::finite(out_tap)) != kAllLanes ||
        (L::either_nan(d[0], d[1]) | L::either_nan(d[2], d[3])) != 0) {
        return false;
    }

    // ---- What does not wait for the loop signal: the dry and wet input, the
    // first section's difference and the outputs' tap terms.
    const F x = L::loadu(in);
    const F first = L::fmadd(L::set1(-dif[0].coef), d[0], L::wet(x));
    const F out_1_tap = L::fmadd(out_tap, L::set1(tap_g1), x);
    const F out_2_tap = L::fmadd(out_tap, L::set1(tap_g2), x);

    // ---- The serial part and what depends on it.
    ChunkTail<L> t;
    t.loop_taps = loop_taps;
    t.lp_state = e.lp_state;
    t.lc_state = e.lc_state;
    t.lp_coef = lp_coef;
    t.lc_coef = lc_coef;
    t.first = first;
#pragma GCC unroll 16
    for (int k = 0; k < 4; ++k) {
        t.d[k] = d[k];
        t.coef[k] = dif[k].coef;
    }
    t.out_1_tap = out_1_tap;
    t.out_2_tap = out_2_tap;
    t.feedback = feedback_eff;
    t.loop_g1 = loop_g1;
    t.loop_g2 = loop_g2;
    t.damp_coef = _mm_setr_ps(dif[0].damp_coef, dif[1].damp_coef, dif[2].damp_coef, dif[3].damp_coef);
    t.damp_state = _mm_setr_ps(dif[0].damp_state, dif[1].damp_state, dif[2].damp_state, dif[3].damp_state);
    const bool lc_idle = coef_keeps_unit(lc_coef) && in_unit(t.lc_state);
    const bool lp_idle = coef_keeps_unit(lp_coef) && in_unit(t.lp_state) && L::within(loop_tap, 1.0f) == kAllLanes;
    if (lc_idle) {
        if (lp_idle) {
            staged_tail<L, false, false>(t, out_1, out_2);
        } else {
            staged_tail<L, true, false>(t, out_1, out_2);
        }
    } else {
        staged_tail<L, true, true>(t, out_1, out_2);
    }

    write_chunk<L>(line, w0, t.y);

    // ---- States after the chunk.
    c.store_into(line);
    line.lfo_phase = p2;
    e.ratio_state = ratio_state;
    e.lp_state = t.lp_state;
    e.lc_state = t.lc_state;
    alignas(16) float ds_out[4];
    _mm_store_ps(ds_out, t.damp_state);
#pragma GCC unroll 16
    for (int k = 0; k < 4; ++k) {
        dif[k].pos = save_section<L>(dif[k], dif[k].pos, t.w[k]);
        dif[k].damp_state = ds_out[k];
    }
    return true;
}

// ---------------------------------------------------------------------------
// Runs of steady chunks, software-pipelined.
//
// When nothing moves for a run of chunks (the run cycle hands over only runs
// in which no ramp moves, so every parameter holds; no glide and no pending
// request; the tap-ratio smoother at rest; the fixed LFO), each chunk has
// three stages, and the stages of neighbouring chunks overlap:
// - the front (both taps, and the checks) depends on nothing that the chunk
//   before computes, provided that its taps read no slot that the chunk
//   before, or an earlier sample of its own, writes: checked for every lane
//   as in the staged chunk, only 16 slots further back;
// - the loop filters, the sections' feed-forward steps, the outputs and the
//   write into the line;
// - the damping recursion, whose results are only stored; a section of at
//   least 48 entries reads them back no earlier than two chunks later.
// In program order the front of chunk k + 1 sits in two parts between chunk
// k's filter steps, and the damping of chunk k - 1 runs step by step beside
// them, so that the core always has independent work beside the two
// recursions and neither waits behind a block of the other. Every value is
// still the result of the per-sample voice's operations in their order; only
// the order between independent values changes. Once a run starts
// finite it stays finite (the loop filters are clipped, and the sections
// cannot overflow from inputs below kWetInputBound), except for what the line
// and the sections' stores held from before: the taps and the reads are
// checked chunk by chunk. The lowpass is always clipped here; the low-cut
// only when its clip is not proven idle for the whole run.
//
// steady_chunks returns how many chunks it processed, all of them complete;
// the chunk after them (if any) is untouched, for staged_chunk or voice_run.

constexpr std::uint64_t kPipelinedSectionMin = 3 * kLanes;

// What a steady chunk hands from its front to the rest: its two taps. The
// input and the sections' reads are loaded again when they are used, which
// keeps the registers free across the filter chain.
template <class L>
struct SteadyFront {
    typename L::F loop_tap;
    typename L::F out_tap;
};

// What holds for the whole run.
template <class L>
struct SteadyConstants {
    typename L::F lane_behind; // lanes + 16: the previous chunk's writes lie behind
    typename L::F loop_offset; // the LFO offsets after each sample's step
    typename L::F out_offset;  // and before it
    typename L::F ratio;
    double length;
};

// True when a run of chunks can start: the line steady, the smoother at rest,
// long enough sections, everything finite.
inline bool steady_ready(const DelayEngine& e)
{
    const DelayLine& line = e.delay_line;
    if (!fixed_lfo(line)) {
        return false;
    }
    if (line.gliding || line.pending_length != 0 || line.speed != 1.0f || !(line.read_pos >= 0.0f)) {
        return false;
    }
#pragma GCC unroll 16
    for (const Diffuser& d : e.diffusers) {
        if (d.length < kPipelinedSectionMin || d.pos >= d.length) {
            return false;
        }
    }
    return finite_setup(e) && ratio_at_rest(e);
}


// The front of a steady chunk that reads from `read_pos` and writes from
// `w0`: its two taps, each with the verdict whether the chunk may run
// pipelined. Computed in two parts, so that each sits between filter steps.

// Tap positions of the chunk's 16 samples before their LFO offsets.
template <class L>
inline typename L::F steady_head(float read_pos)
{
    return L::add(L::add(L::set1(read_pos), L::iota()), L::set1(1.0f));
}

// The first slot the chunk before a chunk writing from `w0` writes.
inline std::uint64_t chunk_before(std::uint64_t w0)
{
    return w0 >= kLanes ? w0 - kLanes : w0 + DelayLine::kSlots - kLanes;
}

// The loop tap. False when the chunk may not run pipelined.
template <class L>
inline bool steady_loop_tap(const DelayLine& line, const SteadyConstants<L>& k, const typename L::F& head,
                            std::uint64_t w0, typename L::F& tap)
{
    // The fixed LFO's depth is 1: the offset is added, as fma(1, o, h) does.
    const typename L::F pos = L::sub_from(L::fmadd(L::set1(1.0f), k.loop_offset, head), kSlotsF, kSlotsF);
    typename L::SplitT split;
    L::split(pos, split);
    tap = L::cubic(line.buffer, split);
    return (clear_of_writes<L>(split.whole, chunk_before(w0), k.lane_behind) & L::finite(tap)) == kAllLanes;
}

// True when the sections' entries that the chunk reads are all finite.
template <class L>
inline bool steady_sections(const Diffuser (&dif)[DelayEngine::kDiffuserCount],
                            const std::uint64_t (&pos)[DelayEngine::kDiffuserCount])
{
    LaneMask ok = kAllLanes;
#pragma GCC unroll 16
    for (int s = 0; s < 4; ++s) {
        ok &= L::finite(load_section<L>(dif[s], pos[s]));
    }
    return ok == kAllLanes;
}

// The output tap. False when the chunk may not run pipelined.
template <class L>
inline bool steady_out_tap(const DelayLine& line, const SteadyConstants<L>& k, const typename L::F& head,
                           std::uint64_t w0, typename L::F& tap)
{
    using F = typename L::F;
    const F base = L::fmadd(L::set1(1.0f), k.out_offset, head);
    const F raw = L::position(nullptr, k.length, k.ratio, base);
    const F out_pos = L::sub_from(L::add_below(raw, 0.0f, kSlotsF), kSlotsF, kSlotsF);
    // A ratio far out of range leaves positions outside the line after the
    // two single wraps: decline before reading (the staged chunk wraps them
    // fully).
    if (L::in_range(out_pos, kSlotsF) != kAllLanes) [[unlikely]] {
        return false;
    }
    typename L::SplitT split;
    L::split(out_pos, split);
    const LaneMask ok = clear_of_writes<L>(split.whole, chunk_before(w0), k.lane_behind);
    tap = L::cubic(line.buffer, split);
    return (ok & L::finite(tap)) == kAllLanes;
}

// The two recursions of a chunk, step by step side by side: the loop
// filters of this chunk's samples I... (lowpass clipped, low-cut, their
// difference the loop signal) and, with kDamp, the damping of the chunk
// before's samples I..., all four sections at once.
struct DampLane {
    __m128 coef;
    __m128 state;
};

template <class L, int... I>
inline void damping_steps(typename L::DampCols& cols, DampLane& damp, std::integer_sequence<int, I...>)
{
    auto step = [&]<int J>(std::integral_constant<int, J>) {
        damp.state = L::pole4(damp.coef, damp.state, cols.template col<J>());
        cols.template put<J>(damp.state);
    };
    (step(std::integral_constant<int, I>{}), ...);
}

template <class L, bool kClipLowCut, bool kDamp, int... I>
inline void recursion_steps(const typename L::F& taps, __m128 lpc, __m128 lcc, __m128& lp, __m128& lc,
                            typename L::LoopAcc& loop, typename L::DampCols& cols, DampLane& damp,
                            std::integer_sequence<int, I...>)
{
    auto filter = [&](const __m128 t) {
        lp = L::clip_finite(L::pole(lpc, lp, t));
        lc = L::pole(lcc, lc, lp);
        if constexpr (kClipLowCut) {
            lc = L::clip_finite(lc);
        }
        return _mm_sub_ss(lp, lc);
    };
    auto step = [&]<int J>(std::integral_constant<int, J>) {
        loop.template put<J>(filter(L::template lane<J>(taps)));
        if constexpr (kDamp) {
            damping_steps<L>(cols, damp, std::integer_sequence<int, J>{});
        }
    };
    (step(std::integral_constant<int, I>{}), ...);
}

template <class L, bool kClipLowCut>
inline std::uint32_t steady_run(DelayEngine& e, const float* in, float* out_1, float* out_2, std::uint32_t chunks)
{
    using F = typename L::F;
    DelayLine& line = e.delay_line;
    Diffuser (&dif)[DelayEngine::kDiffuserCount] = e.diffusers;
    float read_pos = line.read_pos;
    std::uint64_t w0 = line.write_index;
    if (!steady_read(read_pos)) {
        return 0;
    }
    // The phase alternates, so every chunk starts where the run starts.
    const float p0 = line.lfo_phase;
    const float p1 = DelayLine::next_lfo_phase(p0, line.lfo_inc);
    const float p2 = DelayLine::next_lfo_phase(p1, line.lfo_inc);
    const float off_even = std::fabs(p0) + 1.0f;
    const float off_odd = std::fabs(p1) + 1.0f;
    SteadyConstants<L> k;
    k.lane_behind = L::add(L::iota(), L::set1(static_cast<float>(kLanes)));
    k.loop_offset = L::alternate(off_odd, off_even);
    k.out_offset = L::alternate(off_even, off_odd);
    k.ratio = L::set1(e.ratio_state);
    k.length = static_cast<double>(line.length);

    std::uint64_t pos[DelayEngine::kDiffuserCount];
#pragma GCC unroll 16
    for (int s = 0; s < 4; ++s) {
        pos[s] = dif[s].pos;
    }
    SteadyFront<L> f;
    const F head = steady_head<L>(read_pos);
    if (!steady_loop_tap<L>(line, k, head, w0, f.loop_tap) || !steady_sections<L>(dif, pos) ||
        !steady_out_tap<L>(line, k, head, w0, f.out_tap)) {
        return 0;
    }

    const __m128 lpc = _mm_set_ss(e.lp_coef);
    const __m128 lcc = _mm_set_ss(e.lc_coef);
    __m128 lp = _mm_set_ss(e.lp_state);
    __m128 lc = _mm_set_ss(e.lc_state);
    const F tap_g1 = L::set1(e.tap_gain_1 * e.gain);
    const F tap_g2 = L::set1(e.tap_gain_2 * e.gain);
    const F feedback = L::set1(e.feedback_eff);
    const F loop_g1 = L::set1(e.loop_gain_1 * e.gain);
    const F loop_g2 = L::set1(e.loop_gain_2 * e.gain);
    F coef[4];
    F neg_coef[4];
#pragma GCC unroll 16
    for (int s = 0; s < 4; ++s) {
        coef[s] = L::set1(dif[s].coef);
        neg_coef[s] = L::set1(-dif[s].coef);
    }
    // The damping stage lags one chunk behind: the chunk before's values, in
    // columns, and where its sections store them.
    DampLane damp{_mm_setr_ps(dif[0].damp_coef, dif[1].damp_coef, dif[2].damp_coef, dif[3].damp_coef),
                  _mm_setr_ps(dif[0].damp_state, dif[1].damp_state, dif[2].damp_state, dif[3].damp_state)};
    typename L::DampCols cols;
    // The chunk before's entries lie just behind the sections' positions.
    auto store_damped = [&] {
        F w[4];
        cols.rows(w);
#pragma GCC unroll 16
        for (int s = 0; s < 4; ++s) {
            const std::uint64_t before = pos[s] >= kLanes ? pos[s] - kLanes : pos[s] + dif[s].length - kLanes;
            save_section<L>(dif[s], before, w[s]);
        }
    };

    std::uint32_t done = 0;
    bool more = true;
    // One chunk; with kDamp (every chunk but the run's first) the chunk
    // before's damping runs beside its filter chain.
    auto chunk = [&]<bool kDamp>(std::bool_constant<kDamp>) {
        const float read_next = read_pos + 16.0f;
        const std::uint64_t w_next = chunk_after(w0);
        std::uint64_t pos_next[DelayEngine::kDiffuserCount];
#pragma GCC unroll 16
        for (int s = 0; s < 4; ++s) {
            pos_next[s] = pos[s] + kLanes >= dif[s].length ? pos[s] + kLanes - dif[s].length : pos[s] + kLanes;
        }
        const std::size_t at = static_cast<std::size_t>(done) * kLanes;

        // The recursions, with the next chunk's front in two parts between
        // their steps: the loop tap and the sections' checks, then the
        // output tap.
        typename L::LoopAcc loop_acc;
        recursion_steps<L, kClipLowCut, kDamp>(f.loop_tap, lpc, lcc, lp, lc, loop_acc, cols, damp,
                                               std::integer_sequence<int, 0, 1, 2, 3>{});
        SteadyFront<L> g;
        const F head_next = steady_head<L>(read_next);
        more = done + 1 < chunks && steady_read(read_next) &&
               steady_loop_tap<L>(line, k, head_next, w_next, g.loop_tap) && steady_sections<L>(dif, pos_next);
        recursion_steps<L, kClipLowCut, kDamp>(f.loop_tap, lpc, lcc, lp, lc, loop_acc, cols, damp,
                                               std::integer_sequence<int, 4, 5, 6, 7, 8, 9>{});
        more = more && steady_out_tap<L>(line, k, head_next, w_next, g.out_tap);
        recursion_steps<L, kClipLowCut, kDamp>(f.loop_tap, lpc, lcc, lp, lc, loop_acc, cols, damp,
                                               std::integer_sequence<int, 10, 11, 12, 13, 14, 15>{});
        if constexpr (kDamp) {
            store_damped();
        }
        const F loop = loop_acc.get();

        // The sections' feed-forward steps, the outputs, the write. The input
        // is read before the outputs are written (they may share a buffer).
        const F x = L::loadu(in + at);
        F d[4];
#pragma GCC unroll 16
        for (int s = 0; s < 4; ++s) {
            d[s] = load_section<L>(dif[s], pos[s]);
        }
        F v[4];
        v[0] = L::fmadd(loop, feedback, L::fmadd(neg_coef[0], d[0], L::wet(x)));
        F y = L::fmadd(coef[0], v[0], d[0]);
#pragma GCC unroll 16
        for (int s = 1; s < 4; ++s) {
            v[s] = L::fmadd(neg_coef[s], d[s], y);
            y = L::fmadd(coef[s], v[s], d[s]);
        }
        L::storeu(out_1 + at, L::fmadd(loop, loop_g1, L::fmadd(f.out_tap, tap_g1, x)));
        L::storeu(out_2 + at, L::fmadd(loop, loop_g2, L::fmadd(f.out_tap, tap_g2, x)));
        write_chunk<L>(line, w0, y);

        // This chunk's damping waits for the next chunk's filter chain.
        cols.load(v);
#pragma GCC unroll 16
        for (int s = 0; s < 4; ++s) {
            pos[s] = pos_next[s];
        }
        read_pos = read_next;
        w0 = w_next;
        ++done;
        f = g;
    };
    chunk(std::false_type{});
    while (more) {
        chunk(std::true_type{});
    }
    // The last chunk's damping.
    damping_steps<L>(cols, damp, std::make_integer_sequence<int, kLanes>{});
    store_damped();
    line.read_pos = read_pos;
    line.write_index = w0;
    // Sixteen steps of the fixed LFO come back to the start, written as the
    // steps give it (a -0 start comes back as +0).
    line.lfo_phase = p2;
    e.lp_state = _mm_cvtss_f32(lp);
    e.lc_state = _mm_cvtss_f32(lc);
    alignas(16) float ds_out[4];
    _mm_store_ps(ds_out, damp.state);
#pragma GCC unroll 16
    for (int s = 0; s < 4; ++s) {
        dif[s].pos = pos[s];
        dif[s].damp_state = ds_out[s];
    }
    return done;
}

// As many of `chunks` whole chunks as run steady and pipelined; 0 when the
// run cannot start.
template <class L>
inline std::uint32_t steady_chunks(DelayEngine& e, const float* in, float* out_1, float* out_2, std::uint32_t chunks)
{
    if (!steady_ready(e)) {
        return 0;
    }
    if (coef_keeps_unit(e.lc_coef) && in_unit(e.lc_state)) {
        return steady_run<L, false>(e, in, out_1, out_2, chunks);
    }
    return steady_run<L, true>(e, in, out_1, out_2, chunks);
}

} // namespace
} // namespace zq

#endif
