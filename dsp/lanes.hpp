#pragma once

// What the lane layers (dsp/lanes_<isa>.hpp) share: several native vectors
// as one (the 16 samples of a chunk on a layer whose registers hold fewer,
// every operation the native one, register by register), and the cubic read
// over any of them. A lane layer defines its native operations before it
// includes this file: unqualified lookup in these templates finds only
// those.

#include <cstdint>

#include "dsp/voice_inline.hpp"

namespace zq {
namespace {

template <class V, int N>
struct Pack {
    V v[N];
};

// Loads, stores and constants of a vector type; each lane layer specialises
// it for its native types.
template <class V>
struct Vec;

template <class V, int N>
struct Vec<Pack<V, N>> {
    using P = Pack<V, N>;
    static constexpr int kW = Vec<V>::kWidth;
    static constexpr int kWidth = kW * N;
    ZQ_VOICE_INLINE static P splat(float x)
    {
        P r;
#pragma GCC unroll 16
        for (V& a : r.v) {
            a = Vec<V>::splat(x);
        }
        return r;
    }
    ZQ_VOICE_INLINE static P load(const float* p)
    {
        P r;
#pragma GCC unroll 16
        for (int i = 0; i < N; ++i) {
            r.v[i] = Vec<V>::load(p + i * kW);
        }
        return r;
    }
    ZQ_VOICE_INLINE static P loadu(const float* p)
    {
        P r;
#pragma GCC unroll 16
        for (int i = 0; i < N; ++i) {
            r.v[i] = Vec<V>::loadu(p + i * kW);
        }
        return r;
    }
    ZQ_VOICE_INLINE static void store(float* p, const P& a)
    {
#pragma GCC unroll 16
        for (int i = 0; i < N; ++i) {
            Vec<V>::store(p + i * kW, a.v[i]);
        }
    }
    ZQ_VOICE_INLINE static void storeu(float* p, const P& a)
    {
#pragma GCC unroll 16
        for (int i = 0; i < N; ++i) {
            Vec<V>::storeu(p + i * kW, a.v[i]);
        }
    }
};

// Each operation of the native vectors, register by register.
#define ZQ_PACK_OP(name, params, args)                                                                              \
    template <class V, int N>                                                                                       \
    ZQ_VOICE_INLINE auto name params                                                                                \
    {                                                                                                               \
        const auto at = [&](int i) __attribute__((always_inline)) { return name args; };                          \
        Pack<decltype(at(0)), N> r;                                                                                 \
        _Pragma("GCC unroll 4") for (int j = 0; j < N; ++j)                                                        \
        {                                                                                                           \
            r.v[j] = at(j);                                                                                         \
        }                                                                                                           \
        return r;                                                                                                   \
    }
#define ZQ_PACK_2(name) ZQ_PACK_OP(name, (const Pack<V, N>& a, const Pack<V, N>& b), (a.v[i], b.v[i]))
ZQ_PACK_2(add)
ZQ_PACK_2(sub)
ZQ_PACK_2(mul)
ZQ_PACK_2(lt)
ZQ_PACK_2(le)
ZQ_PACK_2(ge)
ZQ_PACK_2(both)
ZQ_PACK_OP(magnitude, (const Pack<V, N>& a), (a.v[i]))
ZQ_PACK_OP(trunc_whole, (const Pack<V, N>& a), (a.v[i]))
ZQ_PACK_OP(fmadd, (const Pack<V, N>& a, const Pack<V, N>& b, const Pack<V, N>& c), (a.v[i], b.v[i], c.v[i]))
ZQ_PACK_OP(fnmadd, (const Pack<V, N>& a, const Pack<V, N>& b, const Pack<V, N>& c), (a.v[i], b.v[i], c.v[i]))
ZQ_PACK_OP(position, (const Pack<V, N>& a, const Pack<V, N>& b, const Pack<V, N>& c), (a.v[i], b.v[i], c.v[i]))
// A mask's pack and a value's pack of the same width.
template <class M, class V, int N>
ZQ_VOICE_INLINE Pack<V, N> keep(const Pack<M, N>& m, const Pack<V, N>& a)
{
    Pack<V, N> r;
#pragma GCC unroll 16
    for (int i = 0; i < N; ++i) {
        r.v[i] = keep(m.v[i], a.v[i]);
    }
    return r;
}
#undef ZQ_PACK_2
#undef ZQ_PACK_OP

template <class M, int N>
ZQ_VOICE_INLINE bool all(const Pack<M, N>& m)
{
    bool r = true;
#pragma GCC unroll 16
    for (int i = 0; i < N; ++i) {
        r &= all(m.v[i]);
    }
    return r;
}

// The four-point cubic of DelayLine::read_cubic, each lane with its own
// operands and fraction.
template <class V>
ZQ_VOICE_INLINE V cubic(V y0, V y1, V y2, V y3, V t)
{
    const V half = Vec<V>::splat(0.5f);
    // c3 = fma(y3 - y0, 0.5, (y1 - y2) * 1.5)
    const V c3 = fmadd(sub(y3, y0), half, mul(sub(y1, y2), Vec<V>::splat(1.5f)));
    // c2 = fma(y2, 2, y0) - fma(y1, 2.5, y3 * 0.5)
    const V c2 = sub(fmadd(y2, Vec<V>::splat(2.0f), y0), fmadd(y1, Vec<V>::splat(2.5f), mul(y3, half)));
    // m = fma(t, c3, c2) * t;  k = fma(y2 - y0, 0.5, m);  fma(t, k, y1)
    const V m = mul(fmadd(t, c3, c2), t);
    const V k = fmadd(sub(y2, y0), half, m);
    return fmadd(t, k, y1);
}

} // namespace
} // namespace zq
