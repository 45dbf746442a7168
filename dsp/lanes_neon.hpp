#pragma once

// The aarch64 lane layer (NEON, always with fused multiply-add): 4 samples
// per 128-bit register, a chunk in four, tap pairs in two, 32 registers.
// For dsp/voice_neon.cpp only.

#include <arm_neon.h>

#include <cstdint>

#include "dsp/delay_line.hpp"
#include "dsp/voice_inline.hpp"

namespace zq {
namespace {

// ---- Native operations on 4 lanes, each lane exactly the scalar operation;
// masks have every bit of a lane set where the comparison holds.
ZQ_VOICE_INLINE float32x4_t add(float32x4_t a, float32x4_t b) { return vaddq_f32(a, b); }
ZQ_VOICE_INLINE float32x4_t sub(float32x4_t a, float32x4_t b) { return vsubq_f32(a, b); }
ZQ_VOICE_INLINE float32x4_t mul(float32x4_t a, float32x4_t b) { return vmulq_f32(a, b); }
ZQ_VOICE_INLINE float32x4_t fmadd(float32x4_t a, float32x4_t b, float32x4_t c) { return vfmaq_f32(c, a, b); }
ZQ_VOICE_INLINE float32x4_t fnmadd(float32x4_t a, float32x4_t b, float32x4_t c) { return vfmsq_f32(c, a, b); }
ZQ_VOICE_INLINE float32x4_t magnitude(float32x4_t a) { return vabsq_f32(a); }
ZQ_VOICE_INLINE uint32x4_t lt(float32x4_t a, float32x4_t b) { return vcltq_f32(a, b); }
ZQ_VOICE_INLINE uint32x4_t le(float32x4_t a, float32x4_t b) { return vcleq_f32(a, b); }
ZQ_VOICE_INLINE uint32x4_t ge(float32x4_t a, float32x4_t b) { return vcgeq_f32(a, b); }
ZQ_VOICE_INLINE uint32x4_t both(uint32x4_t m, uint32x4_t n) { return vandq_u32(m, n); }
ZQ_VOICE_INLINE float32x4_t keep(uint32x4_t m, float32x4_t a)
{
    return vreinterpretq_f32_u32(vandq_u32(m, vreinterpretq_u32_f32(a)));
}
ZQ_VOICE_INLINE bool all(uint32x4_t m) { return vminvq_u32(m) == 0xFFFFFFFFu; }
ZQ_VOICE_INLINE float32x4_t trunc_whole(float32x4_t a) { return vcvtq_f32_s32(vcvtq_s32_f32(a)); }

// (float) fma((double) length, 1.0 - (double) ratio, (double) base), lane by
// lane: the output tap's position.
ZQ_VOICE_INLINE float32x4_t position(float32x4_t length, float32x4_t ratio, float32x4_t base)
{
    const float64x2_t one = vdupq_n_f64(1.0);
    const float64x2_t lo = vfmaq_f64(vcvt_f64_f32(vget_low_f32(base)), vcvt_f64_f32(vget_low_f32(length)),
                                     vsubq_f64(one, vcvt_f64_f32(vget_low_f32(ratio))));
    const float64x2_t hi = vfmaq_f64(vcvt_high_f64_f32(base), vcvt_high_f64_f32(length),
                                     vsubq_f64(one, vcvt_high_f64_f32(ratio)));
    return vcvt_high_f32_f64(vcvt_f32_f64(lo), hi);
}

} // namespace
} // namespace zq

#include "dsp/lanes.hpp"

namespace zq {
namespace {

template <>
struct Vec<float32x4_t> {
    static constexpr int kWidth = 4;
    ZQ_VOICE_INLINE static float32x4_t splat(float x) { return vdupq_n_f32(x); }
    ZQ_VOICE_INLINE static float32x4_t load(const float* p) { return vld1q_f32(p); }
    ZQ_VOICE_INLINE static float32x4_t loadu(const float* p) { return vld1q_f32(p); }
    ZQ_VOICE_INLINE static void store(float* p, float32x4_t a) { vst1q_f32(p, a); }
    ZQ_VOICE_INLINE static void storeu(float* p, float32x4_t a) { vst1q_f32(p, a); }
};

struct NeonLanes {
    using F = Pack<float32x4_t, 4>; // the 16 samples of a chunk
    using H = Pack<float32x4_t, 2>; // 8 tap pairs
    using Col = float32x4_t;        // sample j of the four sections
    using R = float32x4_t;          // one sample of the loop filters, in every lane

    ZQ_VOICE_INLINE static float last_pair(const H& a) { return vgetq_lane_f32(a.v[1], 3); }

    // The four operands of pair m's cubic read at p + 2m: slots 2m .. 2m + 3,
    // by de-interleaving loads.
    ZQ_VOICE_INLINE static void stride2_rows(const float* p, H (&y)[4])
    {
        const float32x4x2_t a = vld2q_f32(p);
        const float32x4x2_t b = vld2q_f32(p + 8);
        const float32x4x2_t c = vld2q_f32(p + 2);
        const float32x4x2_t d = vld2q_f32(p + 10);
        y[0] = {{a.val[0], b.val[0]}};
        y[1] = {{a.val[1], b.val[1]}};
        y[2] = {{c.val[0], d.val[0]}};
        y[3] = {{c.val[1], d.val[1]}};
    }

    // Pair m's value for samples 2m and 2m + 1, into memory.
    ZQ_VOICE_INLINE static void store_spread(float* out, const H& v)
    {
        vst2q_f32(out, float32x4x2_t{{v.v[0], v.v[0]}});
        vst2q_f32(out + 8, float32x4x2_t{{v.v[1], v.v[1]}});
    }

    // Lanes x, a0 .. a14.
    ZQ_VOICE_INLINE static F shift_in(const F& a, float x)
    {
        return {{vextq_f32(vdupq_n_f32(x), a.v[0], 3), vextq_f32(a.v[0], a.v[1], 3), vextq_f32(a.v[1], a.v[2], 3),
                 vextq_f32(a.v[2], a.v[3], 3)}};
    }

    // From pairs O1..O8 (pair m holding O(m + 1)) and O0: samples
    // O0 O1 O1 O2 O2 .. O7 O7 O8.
    ZQ_VOICE_INLINE static void spread_shifted(const H& v, float o0, F& out)
    {
        const F pairs = {{vzip1q_f32(v.v[0], v.v[0]), vzip2q_f32(v.v[0], v.v[0]), vzip1q_f32(v.v[1], v.v[1]),
                          vzip2q_f32(v.v[1], v.v[1])}};
        out = shift_in(pairs, o0);
    }

    // Taps at 16 positions in [0, 24000), each read on its own: one 4-slot
    // load per lane, then 4 x 4 transposes.
    ZQ_VOICE_INLINE static F taps16(const float* buffer, const F& pos, F& whole)
    {
        F r;
#pragma GCC unroll 16
        for (int b = 0; b < 4; ++b) {
            const int32x4_t n = vcvtq_s32_f32(pos.v[b]);
            whole.v[b] = vcvtq_f32_s32(n);
            const float32x4_t q0 = vld1q_f32(buffer + vgetq_lane_s32(n, 0));
            const float32x4_t q1 = vld1q_f32(buffer + vgetq_lane_s32(n, 1));
            const float32x4_t q2 = vld1q_f32(buffer + vgetq_lane_s32(n, 2));
            const float32x4_t q3 = vld1q_f32(buffer + vgetq_lane_s32(n, 3));
            const float64x2_t t0 = vreinterpretq_f64_f32(vtrn1q_f32(q0, q1));
            const float64x2_t t1 = vreinterpretq_f64_f32(vtrn2q_f32(q0, q1));
            const float64x2_t t2 = vreinterpretq_f64_f32(vtrn1q_f32(q2, q3));
            const float64x2_t t3 = vreinterpretq_f64_f32(vtrn2q_f32(q2, q3));
            r.v[b] = cubic(vreinterpretq_f32_f64(vtrn1q_f64(t0, t2)), vreinterpretq_f32_f64(vtrn1q_f64(t1, t3)),
                           vreinterpretq_f32_f64(vtrn2q_f64(t0, t2)), vreinterpretq_f32_f64(vtrn2q_f64(t1, t3)),
                           vsubq_f32(pos.v[b], whole.v[b]));
        }
        return r;
    }

    // ---- The loop filters, one sample at a time.
    ZQ_VOICE_INLINE static R splat_r(float x) { return vdupq_n_f32(x); }
    ZQ_VOICE_INLINE static float first_r(R x) { return vgetq_lane_f32(x, 0); }
    ZQ_VOICE_INLINE static R tap(const float* p) { return vld1q_dup_f32(p); }
    // one_pole_step: fma(c, s - x, x).
    ZQ_VOICE_INLINE static R pole(R c, R s, R x) { return vfmaq_f32(x, vsubq_f32(s, x), c); }
    // clip_unit for finite values.
    ZQ_VOICE_INLINE static R clip(R x) { return vminq_f32(vdupq_n_f32(1.0f), vmaxq_f32(vdupq_n_f32(-1.0f), x)); }
    ZQ_VOICE_INLINE static R difference(R a, R b) { return vsubq_f32(a, b); }
    struct Acc {
        float32x4_t a[4];
        template <int J>
        ZQ_VOICE_INLINE void put(R x)
        {
            if constexpr (J % 4 == 0) {
                a[J / 4] = x;
            } else {
                a[J / 4] = vcopyq_laneq_f32(a[J / 4], J % 4, x, 0);
            }
        }
        ZQ_VOICE_INLINE F get() const { return {{a[0], a[1], a[2], a[3]}}; }
    };

    // ---- The damping, one sample (a column of the four sections) at a
    // time; interleaving stores and loads turn rows into columns and back.
    ZQ_VOICE_INLINE static Col col_load(const float* p) { return vld1q_f32(p); }
    ZQ_VOICE_INLINE static void col_store(float* p, Col c) { vst1q_f32(p, c); }
    ZQ_VOICE_INLINE static Col pole4(Col c, Col s, Col x) { return vfmaq_f32(x, vsubq_f32(s, x), c); }
    struct DampCols {
        alignas(16) float c[16][4]; // column j: sample j of the four sections
        ZQ_VOICE_INLINE void load(const F (&v)[4])
        {
#pragma GCC unroll 16
            for (int b = 0; b < 4; ++b) {
                vst4q_f32(c[4 * b], float32x4x4_t{{v[0].v[b], v[1].v[b], v[2].v[b], v[3].v[b]}});
            }
        }
        template <int J>
        ZQ_VOICE_INLINE Col col() const
        {
            return vld1q_f32(c[J]);
        }
        template <int J>
        ZQ_VOICE_INLINE void put(Col x)
        {
            vst1q_f32(c[J], x);
        }
        ZQ_VOICE_INLINE void rows(F (&w)[4]) const
        {
#pragma GCC unroll 16
            for (int b = 0; b < 4; ++b) {
                const float32x4x4_t r = vld4q_f32(c[4 * b]);
#pragma GCC unroll 16
                for (int s = 0; s < 4; ++s) {
                    w[s].v[b] = r.val[s];
                }
            }
        }
    };
};

} // namespace
} // namespace zq
