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

// Whether the double-precision bound alone decides x, and the list the
// library answers from when it does not.
struct Bound {
    bool proven;
    em::ListedSpan list;
};

Bound bound(MathFn fn, float x)
{
    switch (fn) {
    case MathFn::kExp: return {em::exp_approx(x).proven, em::listed_exp()};
    case MathFn::kExp10: return {em::exp10_approx(x).proven, em::listed_exp10()};
    default: {
        em::Approx s{};
        em::Approx c{};
        em::sincos_approx(x, s, c);
        return fn == MathFn::kSin ? Bound{s.proven, em::listed_sin()} : Bound{c.proven, em::listed_cos()};
    }
    }
}

// ln 10 = hi + lo, hi of 28 bits so that x·hi is exact for every float x;
// from MPFR, not from the library's constants.
struct Ln10Split {
    double hi;
    double lo;
};

Ln10Split ln10_split()
{
    mpfr_t ln10;
    mpfr_t part;
    mpfr_init2(ln10, 200);
    mpfr_init2(part, 28);
    mpfr_set_ui(ln10, 10, MPFR_RNDN);
    mpfr_log(ln10, ln10, MPFR_RNDN);
    mpfr_set(part, ln10, MPFR_RNDN);
    const double hi = mpfr_get_d(part, MPFR_RNDN);
    mpfr_sub(ln10, ln10, part, MPFR_RNDN);
    const double lo = mpfr_get_d(ln10, MPFR_RNDN);
    mpfr_clear(ln10);
    mpfr_clear(part);
    return {hi, lo};
}

bool listed(em::ListedSpan list, std::uint32_t bits)
{
    return std::any_of(list.entries, list.entries + list.count,
                       [bits](const em::Listed& l) { return l.x == bits; });
}

} // namespace

float library_value(MathFn fn, float x)
{
    switch (fn) {
    case MathFn::kExp: return zq::exact_exp(x);
    case MathFn::kExp10: return zq::exact_exp10(x);
    default: {
        float sin_x = 0.0f;
        float cos_x = 0.0f;
        zq::exact_sincos(x, sin_x, cos_x);
        return fn == MathFn::kSin ? sin_x : cos_x;
    }
    }
}

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

float correctly_rounded(MathFn fn, float x, bool* near_midpoint)
{
    static const Ln10Split ln10 = ln10_split();
    const double xd = x;
    double d = 0.0;
    switch (fn) {
    case MathFn::kExp: d = std::exp(xd); break;
    case MathFn::kExp10: {
        // 10^x = e^(x·hi)·e^δ with δ = x·lo below 2^-22 where 10^x is a
        // finite float: e^δ to its δ² term errs by less than 2^-60, the C
        // library's exp by about 2^-53.
        const double delta = std::isfinite(xd) ? xd * ln10.lo : 0.0;
        d = std::exp(xd * ln10.hi) * (1.0 + (delta + 0.5 * (delta * delta)));
        break;
    }
    case MathFn::kSin: d = std::sin(xd); break;
    case MathFn::kCos: d = std::cos(xd); break;
    }
    // Each d lies within a few units of 2^-53 of the exact value; 2^-45
    // leaves a wide margin.
    const auto lo = static_cast<float>(d * (1.0 - 0x1p-45));
    const auto hi = static_cast<float>(d * (1.0 + 0x1p-45));
    const bool near = !same_float(lo, hi);
    if (near_midpoint != nullptr) {
        *near_midpoint = near;
    }
    return near ? mpfr_rounded(fn, x) : lo;
}

double midpoint_distance(MathFn fn, float x)
{
    mpfr_t in;
    mpfr_t v;
    mpfr_init2(in, 24);
    mpfr_init2(v, 160);
    mpfr_set_flt(in, x, MPFR_RNDN);
    switch (fn) {
    case MathFn::kExp: mpfr_exp(v, in, MPFR_RNDN); break;
    case MathFn::kExp10: mpfr_exp10(v, in, MPFR_RNDN); break;
    case MathFn::kSin: mpfr_sin(v, in, MPFR_RNDN); break;
    case MathFn::kCos: mpfr_cos(v, in, MPFR_RNDN); break;
    }
    double distance = 0.5;
    if (mpfr_regular_p(v) != 0) {
        // |v| in [2^(e-1), 2^e): floats 2^(e-24) apart, 2^-149 below 2^-126.
        const mpfr_exp_t e = mpfr_get_exp(v);
        mpfr_abs(v, v, MPFR_RNDN);
        mpfr_mul_2si(v, v, -(e - 24 < -149 ? -149 : e - 24), MPFR_RNDN);
        mpfr_frac(v, v, MPFR_RNDN);
        mpfr_sub_d(v, v, 0.5, MPFR_RNDN);
        distance = std::fabs(mpfr_get_d(v, MPFR_RNDN));
    }
    mpfr_clear(in);
    mpfr_clear(v);
    return distance;
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
    near_midpoint_inputs.insert(near_midpoint_inputs.end(), other.near_midpoint_inputs.begin(),
                                other.near_midpoint_inputs.end());
}

Tally sweep(MathFn fn, const std::vector<BitRange>& ranges, const SweepOptions& options)
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
            bool first = true;
            std::uint32_t previous = 0;
            for (std::uint64_t b = blocks[i].first; b <= blocks[i].last; b += blocks[i].stride) {
                float x = std::bit_cast<float>(static_cast<std::uint32_t>(b));
                if (options.input != nullptr) {
                    x = options.input(x);
                }
                const auto xb = std::bit_cast<std::uint32_t>(x);
                if (!first && xb == previous) {
                    continue;
                }
                first = false;
                previous = xb;
                ++t.checked;
                bool near = false;
                const float want = correctly_rounded(fn, x, &near);
                if (near) {
                    t.near_midpoint_inputs.push_back(xb);
                }
                if (!same_float(library_value(fn, x), want)) {
                    ++t.wrong;
                    if (t.wrong_inputs.size() < 20) {
                        t.wrong_inputs.push_back(xb);
                    }
                }
                if (options.bounds) {
                    const Bound got = bound(fn, x);
                    if (!got.proven) {
                        ++t.unproven;
                        t.unproven_inputs.push_back(xb);
                        if (!listed(got.list, xb)) {
                            ++t.unlisted;
                        }
                    }
                }
            }
        }
        // MPFR keeps constants per thread; a thread that ends would leak them.
        mpfr_free_cache2(MPFR_FREE_LOCAL_CACHE);
        const std::lock_guard<std::mutex> lock(merge);
        total.add(t);
    };
    std::vector<std::thread> pool;
    for (int i = 1; i < options.threads; ++i) {
        pool.emplace_back(work);
    }
    work();
    for (std::thread& t : pool) {
        t.join();
    }
    for (std::vector<std::uint32_t>* v : {&total.unproven_inputs, &total.wrong_inputs, &total.near_midpoint_inputs}) {
        std::sort(v->begin(), v->end());
        v->erase(std::unique(v->begin(), v->end()), v->end());
    }
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
                      static_cast<double>(library_value(fn, x)), static_cast<double>(correctly_rounded(fn, x)));
        s += line;
    }
    return s;
}

} // namespace zq_test
