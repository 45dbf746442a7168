#pragma once

// The AVX2 lane layer (x86-64 with AVX2 and FMA): 8 samples or 8 tap pairs
// per 256-bit register, 16 registers. For dsp/voice_avx2.cpp and
// dsp/voice_avx512.cpp only, which are compiled for these instructions.

#include <immintrin.h>

#include <cstdint>

#include "dsp/voice_inline.hpp"

namespace zq {
namespace {

// ---- Native operations on 8 lanes, each lane exactly the scalar operation;
// masks have every bit of a lane set where the (ordered) comparison holds.
ZQ_VOICE_INLINE __m256 add(__m256 a, __m256 b) { return _mm256_add_ps(a, b); }
ZQ_VOICE_INLINE __m256 sub(__m256 a, __m256 b) { return _mm256_sub_ps(a, b); }
ZQ_VOICE_INLINE __m256 mul(__m256 a, __m256 b) { return _mm256_mul_ps(a, b); }
ZQ_VOICE_INLINE __m256 fmadd(__m256 a, __m256 b, __m256 c) { return _mm256_fmadd_ps(a, b, c); } // a b + c
ZQ_VOICE_INLINE __m256 fnmadd(__m256 a, __m256 b, __m256 c) { return _mm256_fnmadd_ps(a, b, c); } // c - a b
ZQ_VOICE_INLINE __m256 magnitude(__m256 a) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a); }
ZQ_VOICE_INLINE __m256 lt(__m256 a, __m256 b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
ZQ_VOICE_INLINE __m256 le(__m256 a, __m256 b) { return _mm256_cmp_ps(a, b, _CMP_LE_OQ); }
ZQ_VOICE_INLINE __m256 ge(__m256 a, __m256 b) { return _mm256_cmp_ps(a, b, _CMP_GE_OQ); }
ZQ_VOICE_INLINE __m256 both(__m256 m, __m256 n) { return _mm256_and_ps(m, n); }
ZQ_VOICE_INLINE __m256 keep(__m256 m, __m256 a) { return _mm256_and_ps(m, a); } // a where m, else +0
ZQ_VOICE_INLINE bool all(__m256 m) { return _mm256_movemask_ps(m) == 0xFF; }
// The integer part of a non-negative position, as a float.
ZQ_VOICE_INLINE __m256 trunc_whole(__m256 a) { return _mm256_cvtepi32_ps(_mm256_cvttps_epi32(a)); }

// (float) fma((double) length, 1.0 - (double) ratio, (double) base), lane by
// lane: the output tap's position.
ZQ_VOICE_INLINE __m128 position4(__m128 length, __m128 ratio, __m128 base)
{
    const __m256d omr = _mm256_sub_pd(_mm256_set1_pd(1.0), _mm256_cvtps_pd(ratio));
    return _mm256_cvtpd_ps(_mm256_fmadd_pd(_mm256_cvtps_pd(length), omr, _mm256_cvtps_pd(base)));
}
ZQ_VOICE_INLINE __m256 position(__m256 length, __m256 ratio, __m256 base)
{
    const __m128 lo = position4(_mm256_castps256_ps128(length), _mm256_castps256_ps128(ratio),
                                _mm256_castps256_ps128(base));
    const __m128 hi = position4(_mm256_extractf128_ps(length, 1), _mm256_extractf128_ps(ratio, 1),
                                _mm256_extractf128_ps(base, 1));
    return _mm256_insertf128_ps(_mm256_castps128_ps256(lo), hi, 1);
}

} // namespace
} // namespace zq

#include "dsp/lanes.hpp"

namespace zq {
namespace {

template <>
struct Vec<__m256> {
    static constexpr int kWidth = 8;
    ZQ_VOICE_INLINE static __m256 splat(float x) { return _mm256_set1_ps(x); }
    ZQ_VOICE_INLINE static __m256 load(const float* p) { return _mm256_load_ps(p); }
    ZQ_VOICE_INLINE static __m256 loadu(const float* p) { return _mm256_loadu_ps(p); }
    ZQ_VOICE_INLINE static void store(float* p, __m256 a) { _mm256_store_ps(p, a); }
    ZQ_VOICE_INLINE static void storeu(float* p, __m256 a) { _mm256_storeu_ps(p, a); }
};

// A 4 x 4 transpose in each 128-bit half: four rows become four columns.
ZQ_VOICE_INLINE void transpose_halves(__m256 (&r)[4])
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

// What the AVX2 and AVX-512 layers share: tap pairs in a 256-bit register,
// the four sections' damping in a 128-bit one.
struct X86Common {
    using H = __m256;
    using Col = __m128; // sample j of the four sections

    // The lanes of an H hold pairs 0, 1, 4, 5, 2, 3, 6, 7: the order the
    // 128-bit shuffles below leave them in, kept throughout.
    ZQ_VOICE_INLINE static float last_pair(H a)
    {
        return _mm_cvtss_f32(_mm_permute_ps(_mm256_extractf128_ps(a, 1), 3));
    }

    // The four operands of pair m's cubic read at p + 2m: slots 2m .. 2m + 3.
    ZQ_VOICE_INLINE static void stride2_rows(const float* p, H (&y)[4])
    {
        const __m256 a = _mm256_loadu_ps(p);
        const __m256 b = _mm256_loadu_ps(p + 8);
        const __m256 c = _mm256_loadu_ps(p + 2);
        const __m256 d = _mm256_loadu_ps(p + 10);
        y[0] = _mm256_shuffle_ps(a, b, 0x88);
        y[1] = _mm256_shuffle_ps(a, b, 0xDD);
        y[2] = _mm256_shuffle_ps(c, d, 0x88);
        y[3] = _mm256_shuffle_ps(c, d, 0xDD);
    }
    // Pair m's value for samples 2m and 2m + 1, into memory.
    ZQ_VOICE_INLINE static void store_spread(float* out, H v)
    {
        _mm256_store_ps(out, _mm256_unpacklo_ps(v, v));
        _mm256_store_ps(out + 8, _mm256_unpackhi_ps(v, v));
    }
    // From pairs holding O1..O8, and O0: O0 O1 O1 O2 O2 .. O7 O7 O8, as two halves.
    ZQ_VOICE_INLINE static void spread_shifted(H v, float o0, __m256& lo, __m256& hi)
    {
        lo = _mm256_blend_ps(_mm256_permutevar8x32_ps(v, _mm256_setr_epi32(0, 0, 0, 1, 1, 4, 4, 5)),
                             _mm256_set1_ps(o0), 0x01);
        hi = _mm256_permutevar8x32_ps(v, _mm256_setr_epi32(5, 2, 2, 3, 3, 6, 6, 7));
    }

    ZQ_VOICE_INLINE static Col col_load(const float* p) { return _mm_loadu_ps(p); }
    ZQ_VOICE_INLINE static void col_store(float* p, Col c) { _mm_storeu_ps(p, c); }
    // one_pole_step on each section.
    ZQ_VOICE_INLINE static Col pole4(Col c, Col s, Col x) { return _mm_fmadd_ps(_mm_sub_ps(s, x), c, x); }
};

struct Avx2Lanes : X86Common {
    using F = Pack<__m256, 2>; // the 16 samples of a chunk
    using R = __m256;          // one sample of the loop filters, in every lane

    ZQ_VOICE_INLINE static void spread_shifted(H v, float o0, F& out)
    {
        X86Common::spread_shifted(v, o0, out.v[0], out.v[1]);
    }
    // Lanes x, a0 .. a14: each register's lanes one up, the one below's
    // last coming in at the bottom.
    ZQ_VOICE_INLINE static __m256 shift_in(__m256 a, __m256 below)
    {
        const __m256i t = _mm256_castps_si256(_mm256_permute2f128_ps(below, a, 0x21));
        return _mm256_castsi256_ps(_mm256_alignr_epi8(_mm256_castps_si256(a), t, 12));
    }
    ZQ_VOICE_INLINE static F shift_in(const F& a, float x)
    {
        return {{shift_in(a.v[0], _mm256_set1_ps(x)), shift_in(a.v[1], a.v[0])}};
    }

    // Taps at 16 positions in [0, 24000), each read on its own: one 4-slot
    // load per lane, then 4 x 4 transposes. `whole` receives the integer parts.
    // The slots are unsigned: a 32-bit lane moved to a general register is
    // its zero extension already, and addresses the line with no sign
    // extension.
    ZQ_VOICE_INLINE static F taps16(const float* buffer, const F& pos, F& whole)
    {
        F r;
#pragma GCC unroll 16
        for (int h = 0; h < 2; ++h) {
            const __m256i n = _mm256_cvttps_epi32(pos.v[h]);
            alignas(32) std::uint32_t at[8];
            _mm256_store_si256(reinterpret_cast<__m256i*>(at), n);
            whole.v[h] = _mm256_cvtepi32_ps(n);
            __m256 q[4];
#pragma GCC unroll 16
            for (int j = 0; j < 4; ++j) {
                q[j] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(buffer + at[j])),
                                            _mm_loadu_ps(buffer + at[j + 4]), 1);
            }
            transpose_halves(q);
            r.v[h] = cubic(q[0], q[1], q[2], q[3], sub(pos.v[h], whole.v[h]));
        }
        return r;
    }

    // ---- The loop filters, one sample at a time.
    ZQ_VOICE_INLINE static R splat_r(float x) { return _mm256_set1_ps(x); }
    ZQ_VOICE_INLINE static float first_r(R x) { return _mm256_cvtss_f32(x); }
    ZQ_VOICE_INLINE static R tap(const float* p) { return _mm256_broadcast_ss(p); }
    // one_pole_step: fma(c, s - x, x).
    ZQ_VOICE_INLINE static R pole(R c, R s, R x) { return _mm256_fmadd_ps(_mm256_sub_ps(s, x), c, x); }
    // clip_unit for finite values.
    ZQ_VOICE_INLINE static R clip(R x)
    {
        return _mm256_min_ps(_mm256_set1_ps(1.0f), _mm256_max_ps(_mm256_set1_ps(-1.0f), x));
    }
    ZQ_VOICE_INLINE static R difference(R a, R b) { return _mm256_sub_ps(a, b); }
    // Sample J's loop signal into lane J of the chunk.
    struct Acc {
        __m256 a[2];
        template <int J>
        ZQ_VOICE_INLINE void put(R x)
        {
            a[J / 8] = J % 8 == 0 ? x : _mm256_blend_ps(a[J / 8], x, 1 << (J % 8));
        }
        ZQ_VOICE_INLINE F get() const { return {{a[0], a[1]}}; }
    };

    // ---- The damping, one sample (a column of the four sections) at a time.
    // The columns wait in memory: the 16 registers hold the filters.
    struct DampCols {
        alignas(32) float c[2][4][8]; // [half][j % 4]: columns j and j + 4 of the half, side by side
        ZQ_VOICE_INLINE void load(const F (&v)[4])
        {
#pragma GCC unroll 16
            for (int h = 0; h < 2; ++h) {
                __m256 r[4] = {v[0].v[h], v[1].v[h], v[2].v[h], v[3].v[h]};
                transpose_halves(r);
#pragma GCC unroll 16
                for (int j = 0; j < 4; ++j) {
                    _mm256_store_ps(c[h][j], r[j]);
                }
            }
        }
        template <int J>
        ZQ_VOICE_INLINE Col col() const
        {
            return _mm_load_ps(&c[J / 8][J % 4][J % 8 / 4 * 4]);
        }
        template <int J>
        ZQ_VOICE_INLINE void put(Col x)
        {
            _mm_store_ps(&c[J / 8][J % 4][J % 8 / 4 * 4], x);
        }
        ZQ_VOICE_INLINE void rows(F (&w)[4]) const
        {
#pragma GCC unroll 16
            for (int h = 0; h < 2; ++h) {
                __m256 r[4] = {_mm256_load_ps(c[h][0]), _mm256_load_ps(c[h][1]), _mm256_load_ps(c[h][2]),
                               _mm256_load_ps(c[h][3])};
                transpose_halves(r);
#pragma GCC unroll 16
                for (int s = 0; s < 4; ++s) {
                    w[s].v[h] = r[s];
                }
            }
        }
    };
};

} // namespace
} // namespace zq
