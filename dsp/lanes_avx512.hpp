#pragma once

// The AVX-512 lane layer (F, DQ and VL): a chunk's 16 samples in one 512-bit
// register, tap pairs in 256-bit ones as in the AVX2 layer, 32 registers.
// For dsp/voice_avx512.cpp only, which is compiled for these instructions.

#include <immintrin.h>

#include <cstdint>

#include "dsp/delay_line.hpp"

namespace zq {
namespace {

// Native operations on 16 lanes, declared before the shared templates
// (dsp/lanes.hpp, through the AVX2 layer) so that those find them.
ZQ_VOICE_INLINE __m512 add(__m512 a, __m512 b) { return _mm512_add_ps(a, b); }
ZQ_VOICE_INLINE __m512 sub(__m512 a, __m512 b) { return _mm512_sub_ps(a, b); }
ZQ_VOICE_INLINE __m512 mul(__m512 a, __m512 b) { return _mm512_mul_ps(a, b); }
ZQ_VOICE_INLINE __m512 fmadd(__m512 a, __m512 b, __m512 c) { return _mm512_fmadd_ps(a, b, c); }
ZQ_VOICE_INLINE __m512 fnmadd(__m512 a, __m512 b, __m512 c) { return _mm512_fnmadd_ps(a, b, c); }
ZQ_VOICE_INLINE __m512 magnitude(__m512 a) { return _mm512_abs_ps(a); }
ZQ_VOICE_INLINE __mmask16 lt(__m512 a, __m512 b) { return _mm512_cmp_ps_mask(a, b, _CMP_LT_OQ); }
ZQ_VOICE_INLINE __mmask16 le(__m512 a, __m512 b) { return _mm512_cmp_ps_mask(a, b, _CMP_LE_OQ); }
ZQ_VOICE_INLINE __mmask16 ge(__m512 a, __m512 b) { return _mm512_cmp_ps_mask(a, b, _CMP_GE_OQ); }
ZQ_VOICE_INLINE __mmask16 both(__mmask16 m, __mmask16 n) { return static_cast<__mmask16>(m & n); }
ZQ_VOICE_INLINE __m512 keep(__mmask16 m, __m512 a) { return _mm512_maskz_mov_ps(m, a); }
ZQ_VOICE_INLINE bool all(__mmask16 m) { return m == 0xFFFF; }
ZQ_VOICE_INLINE __m512 trunc_whole(__m512 a) { return _mm512_cvtepi32_ps(_mm512_cvttps_epi32(a)); }

ZQ_VOICE_INLINE __m256 position8(__m256 length, __m256 ratio, __m256 base)
{
    const __m512d omr = _mm512_sub_pd(_mm512_set1_pd(1.0), _mm512_cvtps_pd(ratio));
    return _mm512_cvtpd_ps(_mm512_fmadd_pd(_mm512_cvtps_pd(length), omr, _mm512_cvtps_pd(base)));
}
ZQ_VOICE_INLINE __m512 position(__m512 length, __m512 ratio, __m512 base)
{
    const __m256 lo = position8(_mm512_castps512_ps256(length), _mm512_castps512_ps256(ratio),
                                _mm512_castps512_ps256(base));
    const __m256 hi = position8(_mm512_extractf32x8_ps(length, 1), _mm512_extractf32x8_ps(ratio, 1),
                                _mm512_extractf32x8_ps(base, 1));
    return _mm512_insertf32x8(_mm512_castps256_ps512(lo), hi, 1);
}

} // namespace
} // namespace zq

#include "dsp/lanes_avx2.hpp"

namespace zq {
namespace {

template <>
struct Vec<__m512> {
    static constexpr int kWidth = 16;
    ZQ_VOICE_INLINE static __m512 splat(float x) { return _mm512_set1_ps(x); }
    ZQ_VOICE_INLINE static __m512 load(const float* p) { return _mm512_load_ps(p); }
    ZQ_VOICE_INLINE static __m512 loadu(const float* p) { return _mm512_loadu_ps(p); }
    ZQ_VOICE_INLINE static void store(float* p, __m512 a) { _mm512_store_ps(p, a); }
    ZQ_VOICE_INLINE static void storeu(float* p, __m512 a) { _mm512_storeu_ps(p, a); }
};

struct Avx512Lanes : X86Common {
    using F = __m512;
    using R = __m128; // one sample of the loop filters, in lane 0

    ZQ_VOICE_INLINE static void spread_shifted(H v, float o0, F& out)
    {
        const __m512i from = _mm512_setr_epi32(0, 0, 0, 1, 1, 4, 4, 5, 5, 2, 2, 3, 3, 6, 6, 7);
        out = _mm512_mask_broadcastss_ps(_mm512_permutexvar_ps(from, _mm512_castps256_ps512(v)), 1,
                                         _mm_set_ss(o0));
    }

    // Lanes x, a0 .. a14.
    ZQ_VOICE_INLINE static F shift_in(F a, float x)
    {
        const __m512i below = _mm512_castps_si512(_mm512_set1_ps(x));
        return _mm512_castsi512_ps(_mm512_alignr_epi32(_mm512_castps_si512(a), below, 15));
    }

    // Taps at 16 positions in [0, 24000): where they lie within one window
    // of 32 slots (taps that advance with the lanes), two loads and
    // two-source permutes; otherwise gathers.
    ZQ_VOICE_INLINE static F taps16(const float* buffer, F pos, F& whole)
    {
        constexpr int kWindow = 32;
        constexpr int kLastWindowStart = static_cast<int>(DelayLine::kSlots + DelayLine::kMirror) - kWindow;
        const __m512i n = _mm512_cvttps_epi32(pos);
        whole = _mm512_cvtepi32_ps(n);
        const int first = _mm_cvtsi128_si32(_mm512_castsi512_si128(n));
        const __m512i off = _mm512_sub_epi32(n, _mm512_set1_epi32(first));
        const __mmask16 near = _mm512_cmple_epu32_mask(off, _mm512_set1_epi32(kWindow - 4));
        F y[4];
        if (near == 0xFFFF && first <= kLastWindowStart) [[likely]] {
            const F w0 = _mm512_loadu_ps(buffer + first);
            const F w1 = _mm512_loadu_ps(buffer + first + 16);
#pragma GCC unroll 16
            for (int j = 0; j < 4; ++j) {
                y[j] = _mm512_permutex2var_ps(w0, _mm512_add_epi32(off, _mm512_set1_epi32(j)), w1);
            }
        } else {
#pragma GCC unroll 16
            for (int j = 0; j < 4; ++j) {
                y[j] = _mm512_i32gather_ps(n, buffer + j, 4);
            }
        }
        return cubic(y[0], y[1], y[2], y[3], sub(pos, whole));
    }

    // ---- The loop filters, one sample at a time.
    ZQ_VOICE_INLINE static R splat_r(float x) { return _mm_set1_ps(x); }
    ZQ_VOICE_INLINE static float first_r(R x) { return _mm_cvtss_f32(x); }
    ZQ_VOICE_INLINE static R tap(const float* p) { return _mm_load_ss(p); }
    // The difference is the overwritten operand (c (s - x) and (s - x) c are
    // the same product), so the coefficient's register needs no copy.
    ZQ_VOICE_INLINE static R pole(R c, R s, R x) { return _mm_fmadd_ss(_mm_sub_ss(s, x), c, x); }
    // clip_unit in one instruction for finite values: the smaller magnitude
    // of x and 1 with the sign of x.
    ZQ_VOICE_INLINE static R clip(R x) { return _mm_range_ss(x, _mm_set_ss(1.0f), 0x02); }
    ZQ_VOICE_INLINE static R difference(R a, R b) { return _mm_sub_ss(a, b); }
    // Each sample's loop signal shifts in from the top: after 16, sample J
    // sits in lane J.
    struct Acc {
        __m512i a;
        template <int J>
        ZQ_VOICE_INLINE void put(R x)
        {
            a = _mm512_alignr_epi32(_mm512_castsi128_si512(_mm_castps_si128(x)), a, 1);
        }
        ZQ_VOICE_INLINE F get() const { return _mm512_castsi512_ps(a); }
    };

    // ---- The damping: a chunk's four section rows as 16 columns of four,
    // in registers.
    ZQ_VOICE_INLINE static void transpose_blocks(F (&r)[4])
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
        ZQ_VOICE_INLINE void load(const F (&v)[4])
        {
            c[0] = v[0], c[1] = v[1], c[2] = v[2], c[3] = v[3];
            transpose_blocks(c);
        }
        template <int J>
        ZQ_VOICE_INLINE Col col() const
        {
            return J < 4 ? _mm512_castps512_ps128(c[J % 4]) : _mm512_extractf32x4_ps(c[J % 4], J / 4);
        }
        template <int J>
        ZQ_VOICE_INLINE void put(Col x)
        {
            c[J % 4] = _mm512_insertf32x4(c[J % 4], x, J / 4);
        }
        ZQ_VOICE_INLINE void rows(F (&w)[4]) const
        {
            w[0] = c[0], w[1] = c[1], w[2] = c[2], w[3] = c[3];
            transpose_blocks(w);
        }
    };
};

} // namespace
} // namespace zq
