// The setters' conversions against the C library's: e^x (cutoffs), 10^x (the
// level, as powf(10, x) before) and sincos (the pans), over the inputs each
// setter sees and over wider ones. "latency" feeds every result into the next
// call, as a lone setter call is; "throughput" runs independent calls.

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "dsp/exact_math.hpp"

namespace {

std::vector<float> spread(float lo, float hi)
{
    std::vector<float> v(4096);
    std::uint32_t s = 12345;
    for (float& x : v) {
        s = s * 1664525u + 1013904223u;
        x = lo + (hi - lo) * static_cast<float>(s >> 8) * 0x1p-24f;
    }
    return v;
}

struct Range {
    float lo;
    float hi;
};
constexpr Range kCutoffExponents{20000.0f * -0.0001308997f, 10.0f * -0.0001308997f};
constexpr Range kLevelExponents{-4.5f, 0.3f};
constexpr Range kPanAngles{-0.7853982f, 0.7853982f};
constexpr Range kWideAngles{-1000.0f, 1000.0f};
constexpr Range kHugeAngles{-1e30f, 1e30f};

float glibc_exp(float x) { return std::exp(x); }
float glibc_exp10(float x) { return std::pow(10.0f, x); }
float glibc_sincos(float x)
{
    float s = 0.0f;
    float c = 0.0f;
    ::sincosf(x, &s, &c);
    return s + c;
}
float own_sincos(float x)
{
    float s = 0.0f;
    float c = 0.0f;
    zq::exact_sincos(x, s, c);
    return s + c;
}

using Fn = float (*)(float);

void throughput(benchmark::State& state, Fn f, Range r)
{
    const std::vector<float> in = spread(r.lo, r.hi);
    for (auto _ : state) {
        for (float x : in) {
            benchmark::DoNotOptimize(f(x));
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}

void latency(benchmark::State& state, Fn f, Range r)
{
    const std::vector<float> in = spread(r.lo, r.hi);
    float carry = 0.0f;
    for (auto _ : state) {
        for (float x : in) {
            carry = f(x + carry * 0.0f);
        }
    }
    benchmark::DoNotOptimize(carry);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}

#define ZQ_PAIR(name, glibc, own, range)                                                                     \
    BENCHMARK_CAPTURE(throughput, name##_glibc, glibc, range);                                               \
    BENCHMARK_CAPTURE(throughput, name##_exact, own, range);                                                 \
    BENCHMARK_CAPTURE(latency, name##_glibc, glibc, range);                                                  \
    BENCHMARK_CAPTURE(latency, name##_exact, own, range)

ZQ_PAIR(exp_cutoffs, glibc_exp, zq::exact_exp, kCutoffExponents);
ZQ_PAIR(exp10_levels, glibc_exp10, zq::exact_exp10, kLevelExponents);
ZQ_PAIR(sincos_pans, glibc_sincos, own_sincos, kPanAngles);
ZQ_PAIR(sincos_wide, glibc_sincos, own_sincos, kWideAngles);
ZQ_PAIR(sincos_huge, glibc_sincos, own_sincos, kHugeAngles);

} // namespace

BENCHMARK_MAIN();
