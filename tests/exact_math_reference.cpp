#include "exact_math_reference.hpp"

#include <mpfr.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>

#include "dsp/exact_math.hpp"

namespace zq_test {

namespace em = zq::exact_math_detail;

const char* math_fn_name(MathFn fn)
{
    switch (fn) {
    case MathFn::kExp: return "exp";
    case MathFn::kExp10: return "exp10";
    case MathFn::kSin: return "sin";
    default: return "cos";
    }
}

namespace {

// One pair of MPFR numbers per thread, at float precision.
struct MpfrPair {
    mpfr_t in;
    mpfr_t out;
    MpfrPair()
    {
        mpfr_init2(in, 24);
        mpfr_init2(out, 24);
    }
    ~MpfrPair()
    {
        mpfr_clear(in);
        mpfr_clear(out);
    }
    MpfrPair(const MpfrPair&) = delete;
    MpfrPair& operator=(const MpfrPair&) = delete;
};

// The library's own result and whether its bound proved it.
struct Result {
    float value;
    bool proven;
    em::ListedSpan list;
};

Result evaluate(MathFn fn, float x)
{
    switch (fn) {
    case MathFn::kExp: {
        const em::Approx a = em::exp_approx(x);
        return {zq::exact_exp(x), a.proven, em::listed_exp()};
    }
    case MathFn::kExp10: {
        const em::Approx a = em::exp10_approx(x);
        return {zq::exact_exp10(x), a.proven, em::listed_exp10()};
    }
    default: {
        em::Approx s{};
        em::Approx c{};
        em::sincos_approx(x, s, c);
        float sin_x = 0.0f;
        float cos_x = 0.0f;
        zq::exact_sincos(x, sin_x, cos_x);
        return fn == MathFn::kSin ? Result{sin_x, s.proven, em::listed_sin()}
                                  : Result{cos_x, c.proven, em::listed_cos()};
    }
    }
}

bool listed(em::ListedSpan list, std::uint32_t bits)
{
    return std::any_of(list.entries, list.entries + list.count,
                       [bits](const em::Listed& l) { return l.x == bits; });
}

} // namespace

float mpfr_rounded(MathFn fn, float x)
{
    thread_local MpfrPair m;
    // The exponent range of floats, subnormals by mpfr_subnormalize.
    const mpfr_exp_t emin = mpfr_get_emin();
    const mpfr_exp_t emax = mpfr_get_emax();
    mpfr_set_emin(-148);
    mpfr_set_emax(128);
    mpfr_set_flt(m.in, x, MPFR_RNDN);
    int t = 0;
    switch (fn) {
    case MathFn::kExp: t = mpfr_exp(m.out, m.in, MPFR_RNDN); break;
    case MathFn::kExp10: t = mpfr_exp10(m.out, m.in, MPFR_RNDN); break;
    case MathFn::kSin: t = mpfr_sin(m.out, m.in, MPFR_RNDN); break;
    case MathFn::kCos: t = mpfr_cos(m.out, m.in, MPFR_RNDN); break;
    }
    t = mpfr_check_range(m.out, t, MPFR_RNDN);
    mpfr_subnormalize(m.out, t, MPFR_RNDN);
    const float r = mpfr_get_flt(m.out, MPFR_RNDN);
    mpfr_set_emin(emin);
    mpfr_set_emax(emax);
    return r;
}

float correctly_rounded(MathFn fn, float x)
{
    const double xd = x;
    double d = 0.0;
    switch (fn) {
    case MathFn::kExp: d = std::exp(xd); break;
    case MathFn::kExp10: d = ::exp10(xd); break;
    case MathFn::kSin: d = std::sin(xd); break;
    case MathFn::kCos: d = std::cos(xd); break;
    }
    // The C library's double functions err by a few units of 2^-53 at most;
    // 2^-45 leaves a wide margin.
    const auto lo = static_cast<float>(d * (1.0 - 0x1p-45));
    const auto hi = static_cast<float>(d * (1.0 + 0x1p-45));
    if (same_float(lo, hi)) {
        return lo;
    }
    return mpfr_rounded(fn, x);
}

bool same_float(float a, float b)
{
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b) || (std::isnan(a) && std::isnan(b));
}

std::vector<BitRange> float_interval(float lo, float hi, std::uint32_t stride)
{
    const auto bits = [](float f) { return std::bit_cast<std::uint32_t>(f); };
    std::vector<BitRange> r;
    if (lo < 0.0f) { // from −0 down to lo
        r.push_back({0x80000000u, bits(lo), stride});
    }
    if (hi >= 0.0f) {
        r.push_back({lo > 0.0f ? bits(lo) : 0u, bits(hi), stride});
    } else {
        r.back() = {bits(hi), bits(lo), stride};
    }
    return r;
}

void Tally::add(const Tally& other)
{
    checked += other.checked;
    wrong += other.wrong;
    unproven += other.unproven;
    unlisted += other.unlisted;
    for (std::uint32_t b : other.wrong_inputs) {
        if (wrong_inputs.size() < 20) {
            wrong_inputs.push_back(b);
        }
    }
    unproven_inputs.insert(unproven_inputs.end(), other.unproven_inputs.begin(), other.unproven_inputs.end());
}

Tally sweep(MathFn fn, const std::vector<BitRange>& ranges, int threads, InputMap input)
{
    // Work in blocks of 2^20 steps, handed out in turn.
    constexpr std::uint64_t kBlock = 1u << 20;
    struct Block {
        std::uint64_t first;
        std::uint64_t last;
        std::uint32_t stride;
    };
    std::vector<Block> blocks;
    for (const BitRange& r : ranges) {
        for (std::uint64_t b = r.first; b <= r.last; b += kBlock * r.stride) {
            blocks.push_back({b, std::min<std::uint64_t>(r.last, b + (kBlock - 1) * r.stride), r.stride});
        }
    }
    std::atomic<std::size_t> next{0};
    std::mutex merge;
    Tally total;
    auto work = [&] {
        Tally t;
        for (std::size_t i = next++; i < blocks.size(); i = next++) {
            for (std::uint64_t b = blocks[i].first; b <= blocks[i].last; b += blocks[i].stride) {
                float x = std::bit_cast<float>(static_cast<std::uint32_t>(b));
                if (input != nullptr) {
                    x = input(x);
                }
                const Result got = evaluate(fn, x);
                const float want = correctly_rounded(fn, x);
                ++t.checked;
                const auto xb = std::bit_cast<std::uint32_t>(x);
                if (!got.proven) {
                    ++t.unproven;
                    t.unproven_inputs.push_back(xb);
                    if (!listed(got.list, xb)) {
                        ++t.unlisted;
                    }
                }
                if (!same_float(got.value, want)) {
                    ++t.wrong;
                    if (t.wrong_inputs.size() < 20) {
                        t.wrong_inputs.push_back(xb);
                    }
                }
            }
        }
        const std::lock_guard<std::mutex> lock(merge);
        total.add(t);
    };
    std::vector<std::thread> pool;
    for (int i = 1; i < threads; ++i) {
        pool.emplace_back(work);
    }
    work();
    for (std::thread& t : pool) {
        t.join();
    }
    std::sort(total.unproven_inputs.begin(), total.unproven_inputs.end());
    total.unproven_inputs.erase(std::unique(total.unproven_inputs.begin(), total.unproven_inputs.end()),
                                total.unproven_inputs.end());
    std::sort(total.wrong_inputs.begin(), total.wrong_inputs.end());
    return total;
}

std::string describe(MathFn fn, const Tally& t)
{
    char line[256];
    std::snprintf(line, sizeof line, "%-5s %llu inputs, %llu wrong, %llu left to the list (%llu not on it)",
                  math_fn_name(fn), static_cast<unsigned long long>(t.checked),
                  static_cast<unsigned long long>(t.wrong), static_cast<unsigned long long>(t.unproven),
                  static_cast<unsigned long long>(t.unlisted));
    std::string s = line;
    for (std::uint32_t b : t.wrong_inputs) {
        const float x = std::bit_cast<float>(b);
        std::snprintf(line, sizeof line, "\n  wrong at x = %a (0x%08x): got %a, want %a", static_cast<double>(x), b,
                      static_cast<double>(evaluate(fn, x).value), static_cast<double>(correctly_rounded(fn, x)));
        s += line;
    }
    return s;
}

} // namespace zq_test
