#include "dsp/exact_math.hpp"

#include <bit>
#include <limits>

// Every value here is computed in double precision from IEEE operations that
// each round once (no contraction, no fused multiply-add, no library call), so
// every build and processor gives the same doubles; all of them are normal
// numbers (tiny inputs are answered from their bits), so the denormal mode
// changes nothing. Each evaluation yields an unevaluated sum hi + lo whose
// distance to the exact value has a proven relative bound, and it is rounded
// to float once: by the hardware when the sum lies clear of every midpoint
// between floats, otherwise on an integer grid, which also gives subnormal
// results and overflow.

namespace zq {
namespace exact_math_detail {
namespace {

using u64 = std::uint64_t;
__extension__ typedef unsigned __int128 u128;

constexpr double scale2(int e) { return std::bit_cast<double>(static_cast<u64>(1023 + e) << 52); }

// Adding and subtracting it rounds a double below 2^51 in magnitude to an
// integer, ties to even.
constexpr double kRoundShifter = 0x1.8p52;

// a + b = sum + err exactly, for any a and b.
double two_sum(double a, double b, double& err)
{
    const double sum = a + b;
    const double b_part = sum - a;
    const double a_part = sum - b_part;
    err = (a - a_part) + (b - b_part);
    return sum;
}

// a + b = sum + err exactly, provided |a| ≥ |b|.
double fast_two_sum(double a, double b, double& err)
{
    const double sum = a + b;
    err = (a - sum) + b;
    return sum;
}

// Rounds v to float, where |v − (hi + lo)| ≤ rel·|v| and |lo| ≤ |hi|, on the
// grid of floats scaled to integer steps: [2^23, 2^24) in a normal binade,
// below 2^23 on the subnormal grid of step 2^-149. Exact but slow; taken for
// the rare sums that lie near a midpoint or outside the normal range.
[[gnu::noinline]] Approx round_on_grid(double hi, double lo, double rel)
{
    double e = 0.0;
    double s = fast_two_sum(hi, lo, e);
    const u64 bits = std::bit_cast<u64>(s);
    const std::uint32_t sign = static_cast<std::uint32_t>(bits >> 32) & 0x80000000u;
    if (sign != 0) {
        s = -s;
        e = -e;
    }
    if (s >= 0x1p128) {
        return {std::bit_cast<float>(sign | 0x7f800000u), true};
    }
    int ex = static_cast<int>((bits >> 52) & 0x7ff) - 1023;
    if (ex < -126) {
        ex = -126;
    }
    const double scale = scale2(23 - ex);
    const double w = s * scale;
    const double n = (w + 0x1p52) - 0x1p52;
    // v lies t steps from n, give or take rel·w; (w − n) is exact.
    const double t = (w - n) + e * scale;
    auto m = static_cast<std::uint32_t>(n);
    if (t > 0.5) {
        ++m;
    } else if (t < -0.5) {
        --m;
    }
    const double from_midpoint = (t < 0.0 ? -t : t) - 0.5;
    const double tol = rel * w;
    const bool proven = from_midpoint > tol || from_midpoint < -tol;
    // A carry out of the significand moves into the exponent, up to infinity.
    const std::uint32_t magnitude = (static_cast<std::uint32_t>(ex + 126) << 23) + m;
    return {std::bit_cast<float>(sign | magnitude), proven};
}

// The same for bounds rel ≤ 2^-53: v then lies within 1.5 units of the last
// place of s = hi + lo, so when the 29 bits that a float drops from s are at
// least 2 units from a midpoint (10…0) and s is a normal float, the hardware's
// rounding of s is v's.
Approx round_to_float(double hi, double lo, double rel)
{
    const double s = hi + lo;
    const u64 bits = std::bit_cast<u64>(s);
    const u64 dropped = bits & 0x1fffffff;
    const u64 biased = (bits >> 52) & 0x7ff;
    if (dropped - 0x0ffffffe > 3 && biased - (1023 - 126) < 254) {
        return {static_cast<float>(s), true};
    }
    return round_on_grid(hi, lo, rel);
}

// ---- e^x and 10^x ---------------------------------------------------------
//
// Both become 2^(k/64) · e^r with |r| ≤ ln 2 / 128: the table gives 2^(j/64)
// for j = k mod 64 as a double-double, a power of two the rest, and a Taylor
// polynomial e^r − 1. Error bound, relative to the result, with u = 2^-53:
// r itself ≤ u·2^-7.4 (the one rounding of its last sum); the truncated
// series ≤ 2^-65; r + q ≤ u·2^-7.4; T·p, its sum with T's low part and the
// neglected T_lo·p ≤ 3u·2^-7.4; together below 2^-58.1, rounded up to 2^-57.

constexpr double kExpBound = 0x1p-57;

constexpr DoubleDouble kExp2Table[kExp2TableSize] = {
    {0x1p+0, 0x0p+0},
    {0x1.02c9a3e778061p+0, -0x1.19083535b085dp-56},
    {0x1.059b0d3158574p+0, 0x1.d73e2a475b465p-55},
    {0x1.0874518759bc8p+0, 0x1.186be4bb284ffp-57},
    {0x1.0b5586cf9890fp+0, 0x1.8a62e4adc610bp-54},
    {0x1.0e3ec32d3d1a2p+0, 0x1.03a1727c57b53p-59},
    {0x1.11301d0125b51p+0, -0x1.6c51039449b3ap-54},
    {0x1.1429aaea92dep+0, -0x1.32fbf9af1369ep-54},
    {0x1.172b83c7d517bp+0, -0x1.19041b9d78a76p-55},
    {0x1.1a35beb6fcb75p+0, 0x1.e5b4c7b4968e4p-55},
    {0x1.1d4873168b9aap+0, 0x1.e016e00a2643cp-54},
    {0x1.2063b88628cd6p+0, 0x1.dc775814a8495p-55},
    {0x1.2387a6e756238p+0, 0x1.9b07eb6c70573p-54},
    {0x1.26b4565e27cddp+0, 0x1.2bd339940e9d9p-55},
    {0x1.29e9df51fdee1p+0, 0x1.612e8afad1255p-55},
    {0x1.2d285a6e4030bp+0, 0x1.0024754db41d5p-54},
    {0x1.306fe0a31b715p+0, 0x1.6f46ad23182e4p-55},
    {0x1.33c08b26416ffp+0, 0x1.32721843659a6p-54},
    {0x1.371a7373aa9cbp+0, -0x1.63aeabf42eae2p-54},
    {0x1.3a7db34e59ff7p+0, -0x1.5e436d661f5e3p-56},
    {0x1.3dea64c123422p+0, 0x1.ada0911f09ebcp-55},
    {0x1.4160a21f72e2ap+0, -0x1.ef3691c309278p-58},
    {0x1.44e086061892dp+0, 0x1.89b7a04ef80dp-59},
    {0x1.486a2b5c13cdp+0, 0x1.3c1a3b69062fp-56},
    {0x1.4bfdad5362a27p+0, 0x1.d4397afec42e2p-56},
    {0x1.4f9b2769d2ca7p+0, -0x1.4b309d25957e3p-54},
    {0x1.5342b569d4f82p+0, -0x1.07abe1db13cadp-55},
    {0x1.56f4736b527dap+0, 0x1.9bb2c011d93adp-54},
    {0x1.5ab07dd485429p+0, 0x1.6324c054647adp-54},
    {0x1.5e76f15ad2148p+0, 0x1.ba6f93080e65ep-54},
    {0x1.6247eb03a5585p+0, -0x1.383c17e40b497p-54},
    {0x1.6623882552225p+0, -0x1.bb60987591c34p-54},
    {0x1.6a09e667f3bcdp+0, -0x1.bdd3413b26456p-54},
    {0x1.6dfb23c651a2fp+0, -0x1.bbe3a683c88abp-57},
    {0x1.71f75e8ec5f74p+0, -0x1.16e4786887a99p-55},
    {0x1.75feb564267c9p+0, -0x1.0245957316dd3p-54},
    {0x1.7a11473eb0187p+0, -0x1.41577ee04992fp-55},
    {0x1.7e2f336cf4e62p+0, 0x1.05d02ba15797ep-56},
    {0x1.82589994cce13p+0, -0x1.d4c1dd41532d8p-54},
    {0x1.868d99b4492edp+0, -0x1.fc6f89bd4f6bap-54},
    {0x1.8ace5422aa0dbp+0, 0x1.6e9f156864b27p-54},
    {0x1.8f1ae99157736p+0, 0x1.5cc13a2e3976cp-55},
    {0x1.93737b0cdc5e5p+0, -0x1.75fc781b57ebcp-57},
    {0x1.97d829fde4e5p+0, -0x1.d185b7c1b85d1p-54},
    {0x1.9c49182a3f09p+0, 0x1.c7c46b071f2bep-56},
    {0x1.a0c667b5de565p+0, -0x1.359495d1cd533p-54},
    {0x1.a5503b23e255dp+0, -0x1.d2f6edb8d41e1p-54},
    {0x1.a9e6b5579fdbfp+0, 0x1.0fac90ef7fd31p-54},
    {0x1.ae89f995ad3adp+0, 0x1.7a1cd345dcc81p-54},
    {0x1.b33a2b84f15fbp+0, -0x1.2805e3084d708p-57},
    {0x1.b7f76f2fb5e47p+0, -0x1.5584f7e54ac3bp-56},
    {0x1.bcc1e904bc1d2p+0, 0x1.23dd07a2d9e84p-55},
    {0x1.c199bdd85529cp+0, 0x1.11065895048ddp-55},
    {0x1.c67f12e57d14bp+0, 0x1.2884dff483cadp-54},
    {0x1.cb720dcef9069p+0, 0x1.503cbd1e949dbp-56},
    {0x1.d072d4a07897cp+0, -0x1.cbc3743797a9cp-54},
    {0x1.d5818dcfba487p+0, 0x1.2ed02d75b3707p-55},
    {0x1.da9e603db3285p+0, 0x1.c2300696db532p-54},
    {0x1.dfc97337b9b5fp+0, -0x1.1a5cd4f184b5cp-54},
    {0x1.e502ee78b3ff6p+0, 0x1.39e8980a9cc8fp-55},
    {0x1.ea4afa2a490dap+0, -0x1.e9c23179c2893p-54},
    {0x1.efa1bee615a27p+0, 0x1.dc7f486a4b6bp-54},
    {0x1.f50765b6e454p+0, 0x1.9d3e12dd8a18bp-54},
    {0x1.fa7c1819e90d8p+0, 0x1.74853f3a5931ep-55},
};

// e^r − 1 for |r| ≤ 0.0055, the series to r^6, its terms paired to shorten
// the chain of dependent operations.
double exp_minus_one(double r)
{
    const double r2 = r * r;
    const double r4 = r2 * r2;
    const double low = 0.5 + r * (1.0 / 6.0);
    const double high = (1.0 / 24.0 + r * (1.0 / 120.0)) + r2 * (1.0 / 720.0);
    return r + (r2 * low + r4 * high);
}

// 2^(k/64)·(1 + p) as hi + lo.
Approx scale_and_round(double kd, double p)
{
    const int k = static_cast<int>(kd);
    const DoubleDouble& t = kExp2Table[k & (kExp2TableSize - 1)];
    const double two_e = scale2(k >> 6);
    const double lo = t.lo + t.hi * p;
    return round_to_float(t.hi * two_e, lo * two_e, kExpBound);
}

// ---- sin and cos ----------------------------------------------------------

constexpr u64 kTwoOverPiBits[kTwoOverPiWords] = {0xa2f9836e4e441529, 0xfc2757d1f534ddc0, 0xdb6295993c439041,
                                             0xfe5163abdebbc561, 0xb7246e3a424dd2e0};

// The leading 26 significant bits of x, so that the product of two such parts,
// or of one with the 27-bit rest, is exact.
constexpr double high_part(double x)
{
    return std::bit_cast<double>(std::bit_cast<u64>(x) & ~((u64{1} << 27) - 1));
}

// x (a float from π/4 to 2^20) = k·π/2 + r with k the nearest integer;
// returns k mod 4 and r as rh + rl, relative error below 2^-69 (a float of
// this range lies at least 2^-29 or so from a multiple of π/2).
int reduce_near(double x, double& rh, double& rl)
{
    const double kd = (x * kTwoOverPi + kRoundShifter) - kRoundShifter;
    const double r1 = x - kd * kHalfPi33[0]; // exact: a grid of 2^-30, below 1
    // r1 − k·c2 with its rounding error (either may be the larger).
    double err = 0.0;
    const double s = two_sum(r1, -(kd * kHalfPi33[1]), err);
    rh = fast_two_sum(s, err - kd * kHalfPi33[2], rl);
    return static_cast<int>(kd) & 3;
}

// x (a positive float beyond π/4) = (q + f)·π/2 with q an integer and |f| ≤ 1/2;
// returns q mod 4 and r = f·π/2 as rh + rl, relative error below 2^-100.
// x = m·2^e with m a 24-bit integer; of x·2/π only the bits of 2/π from
// 2^-(e-1) on matter below multiples of 4, and 192 of them give f to far more
// than the 2^-29 or so by which a float can approach a multiple of π/2.
int reduce_quadrants(std::uint32_t ax, double& rh, double& rl)
{
    const u64 m = (ax & 0x7fffffu) | 0x800000u;
    const int e = static_cast<int>(ax >> 23) - 150;
    // Bit i of 2/π (weight 2^-i) is bit i + 63 of the stream 0, kTwoOverPiBits.
    const int first = e + 62;
    const int word = first >> 6;
    const int shift = first & 63;
    auto stream = [](int i) { return i == 0 ? u64{0} : kTwoOverPiBits[i - 1]; };
    auto window = [&](int i) {
        return shift == 0 ? stream(word + i) : (stream(word + i) << shift) | (stream(word + i + 1) >> (64 - shift));
    };
    const u128 p0 = static_cast<u128>(m) * window(0);
    const u128 p1 = static_cast<u128>(m) * window(1);
    const u128 p2 = static_cast<u128>(m) * window(2);
    // The fraction of m·window/2^192: three words, the top two bits the quadrant.
    const auto f0 = static_cast<u64>(p2);
    const u128 mid = (p2 >> 64) + static_cast<u64>(p1);
    const auto f1 = static_cast<u64>(mid);
    const u64 f2 = static_cast<u64>(p1 >> 64) + static_cast<u64>(p0) + static_cast<u64>(mid >> 64);
    int q = static_cast<int>(f2 >> 62);
    u128 g = (static_cast<u128>((f2 << 2) | (f1 >> 62)) << 64) | ((f1 << 2) | (f0 >> 62));
    const bool negative = (g >> 127) != 0;
    if (negative) {
        g = -g; // 2^128 − g: the fraction less one
        q = (q + 1) & 3;
    }
    // g·2^-128 quadrants, normalised and cut into two doubles.
    const auto g_hi = static_cast<u64>(g >> 64);
    const int lz = g_hi != 0 ? std::countl_zero(g_hi) : 64 + std::countl_zero(static_cast<u64>(g));
    const u128 n = g << lz;
    const auto n_hi = static_cast<u64>(n >> 64);
    const double unit = scale2(-64 - lz);
    double h = static_cast<double>(n_hi & ~u64{0x7ff}) * unit;
    double l = (static_cast<double>(n_hi & 0x7ff) + static_cast<double>(static_cast<u64>(n)) * 0x1p-64) * unit;
    if (negative) {
        h = -h;
        l = -l;
    }
    // (h + l)·π/2: the product h·hi exactly (split into 26- and 27-bit parts),
    // the small cross terms rounded.
    const double h1 = high_part(h);
    const double h2 = h - h1;
    constexpr double c1 = high_part(kHalfPiHi);
    constexpr double c2 = kHalfPiHi - c1;
    const double p = h * kHalfPiHi;
    const double p_err = (((h1 * c1 - p) + h1 * c2) + h2 * c1) + h2 * c2;
    rh = fast_two_sum(p, p_err + (h * kHalfPiLo + l * kHalfPiHi), rl);
    return q;
}

// sin r = r + r³·P(r²) and cos r = 1 − r²/2 + r⁴·Q(r²) for |r| ≤ 0.786:
// P and Q interpolate at the Chebyshev nodes of z = r² ∈ [0, 0.6178]
// (tools/exact_math_fit.cpp); with their coefficients rounded to double they
// err by less than 2^-55.4 of sin r and 2^-59.4 of cos r.
constexpr double kSinPoly[6] = {-0x1.5555555555555p-3, 0x1.1111111110ba8p-7,  -0x1.a01a019e8129ep-13,
                                0x1.71de37934b68ap-19, -0x1.ae6007a1c55dcp-26, 0x1.5e09e2a21e2c4p-33};
constexpr double kCosPoly[6] = {0x1.5555555555555p-5,  -0x1.6c16c16c16962p-10, 0x1.a01a019f4d6f4p-16,
                                -0x1.27e4fa163a533p-22, 0x1.1eeb67385af6cp-29, -0x1.907c6bc59b302p-37};

// c[0] + c[1]·z + … + c[5]·z^5 with z2 = z², the terms paired to shorten the
// chain of dependent operations (Estrin's scheme).
double poly6(const double (&c)[6], double z, double z2)
{
    return (c[0] + c[1] * z) + z2 * ((c[2] + c[3] * z) + z2 * (c[4] + c[5] * z));
}

// Error bounds relative to the result, u = 2^-53. sin: the correction
// r³·P(r²), at most 0.114 of sin r, carries about 4.5u of its size from the
// roundings, 0.51u of sin r; with the polynomial's error below 2^-53.3.
// cos: 1 − r²/2 is split exactly, the rest (at most 0.016) carries about 5u of
// its size; with the polynomial's error below 2^-56. The reduced argument's
// own error (2^-69 at most) adds nothing of note.
constexpr double kSinBound = 0x1p-53;
constexpr double kCosBound = 0x1p-55;

// The inputs whose value the bounds above leave undecided, all of them large
// arguments, with their correctly rounded results: the exhaustive check
// (tools/exact_math_check --list) finds them. e^x and 10^x have none.
constexpr Listed kListedSin[] = {
    {0x46199998, 0xbeb1fa5d}, // sin(0x1.33333p+13) = -0x1.63f4bap-2
    {0x73243f06, 0x3e943a84}, // sin(0x1.487e0cp+103) = 0x1.287508p-2
    {0xc6199998, 0x3eb1fa5d},
    {0xf3243f06, 0xbe943a84},
};
constexpr Listed kListedCos[] = {
    {0x59443c0a, 0x3f425f62}, // cos(0x1.887814p+51) = 0x1.84bec4p-1
    {0x5f18b878, 0x3f7f14bb}, // cos(0x1.3170fp+63) = 0x1.fe2976p-1
    {0x6115cb11, 0x3f78142f}, // cos(0x1.2b9622p+67) = 0x1.f0285ep-1
    {0x61703976, 0x3edacc56}, // cos(0x1.e072ecp+67) = 0x1.b598acp-2
    {0xd9443c0a, 0x3f425f62},
    {0xdf18b878, 0x3f7f14bb},
    {0xe115cb11, 0x3f78142f},
    {0xe1703976, 0x3edacc56},
};

template <std::size_t N>
constexpr ListedSpan span_of(const Listed (&list)[N])
{
    return {list, N};
}

float settle(const Approx& a, float x, ListedSpan list)
{
    if (a.proven) {
        return a.value;
    }
    const auto bits = std::bit_cast<std::uint32_t>(x);
    for (std::size_t i = 0; i < list.count; ++i) {
        if (list.entries[i].x == bits) {
            return std::bit_cast<float>(list.entries[i].result);
        }
    }
    return a.value;
}

} // namespace

Approx exp_approx(float x)
{
    const auto ax = std::bit_cast<std::uint32_t>(x) & 0x7fffffffu;
    if (ax > 0x7f800000u) {
        return {x + x, true};
    }
    // |x| ≤ 2^-25 (zeros and subnormals included): e^x lies nearer to 1 than
    // to either neighbour.
    if (ax <= 0x33000000u) {
        return {1.0f, true};
    }
    if (x > 89.0f) {
        return {std::numeric_limits<float>::infinity(), true};
    }
    if (x < -104.0f) { // below 2^-150
        return {0.0f, true};
    }
    const double xd = x;
    const double kd = (xd * kSixtyFourOverLn2 + kRoundShifter) - kRoundShifter;
    // xd − kd·hi is exact: both lie on a grid of 2^-45 and differ by < 2^-7.
    const double r = (xd - kd * kLn2Over64Hi) - kd * kLn2Over64Lo;
    return scale_and_round(kd, exp_minus_one(r));
}

Approx exp10_approx(float x)
{
    const auto ax = std::bit_cast<std::uint32_t>(x) & 0x7fffffffu;
    if (ax > 0x7f800000u) {
        return {x + x, true};
    }
    if (ax < 0x32000000u) { // |x| < 2^-27
        return {1.0f, true};
    }
    if (x > 39.0f) {
        return {std::numeric_limits<float>::infinity(), true};
    }
    if (x < -46.0f) { // below 2^-150
        return {0.0f, true};
    }
    const double xd = x;
    const double kd = (xd * kSixtyFourLog2Of10 + kRoundShifter) - kRoundShifter;
    // x·ln10 − k·ln2/64: the high products are exact and so is their
    // difference (a grid of 2^-54 once k ≠ 0, a difference below 2^-7).
    const double r = (xd * kLn10Hi - kd * kLn2Over64Hi) + (xd * kLn10Lo - kd * kLn2Over64Lo);
    return scale_and_round(kd, exp_minus_one(r));
}

void sincos_approx(float x, Approx& sin_x, Approx& cos_x)
{
    const auto ux = std::bit_cast<std::uint32_t>(x);
    const std::uint32_t ax = ux & 0x7fffffffu;
    if (ax >= 0x7f800000u) {
        // A NaN stays itself; either infinity gives the same NaN on every
        // processor.
        const float nan = ax == 0x7f800000u ? std::numeric_limits<float>::quiet_NaN() : x + x;
        sin_x = {nan, true};
        cos_x = {nan, true};
        return;
    }
    // |x| ≤ 2^-12: x³/6 and x²/2 stay below half the spacing of the floats
    // around x and 1 (zeros and subnormals pass untouched).
    if (ax <= 0x39800000u) {
        sin_x = {x, true};
        cos_x = {1.0f, true};
        return;
    }
    if (ax <= 0x3f490fdbu) { // |x| ≤ π/4 rounded up: x is its own reduced argument
        const double r = x;
        const double z = r * r; // exact, as r has 24 bits
        const double z2 = z * z;
        double c_err = 0.0;
        const double c_hi = fast_two_sum(1.0, -0.5 * z, c_err);
        const double c_lo = c_err + z2 * poly6(kCosPoly, z, z2);
        sin_x = round_to_float(r, (r * z) * poly6(kSinPoly, z, z2), kSinBound);
        cos_x = round_to_float(c_hi, c_lo, kCosBound);
        return;
    }
    double rh = 0.0;
    double rl = 0.0;
    const int q = ax < 0x49800000u ? reduce_near(std::bit_cast<float>(ax), rh, rl) : reduce_quadrants(ax, rh, rl);
    const double z = rh * rh;
    const double z2 = z * z;
    // sin r = r + rl·(1 − r²/2) + r³·P.
    const double s_lo = (rh * z) * poly6(kSinPoly, z, z2) + (rl - rl * (0.5 * z));
    // cos: with r = a + b (a the high part), r² = a² + b·(a + r), a²/2 exact.
    const double a = high_part(rh);
    const double b = rh - a;
    double c_err = 0.0;
    const double c_hi = fast_two_sum(1.0, -0.5 * (a * a), c_err);
    const double c_lo = (c_err - (0.5 * (b * (a + rh)) + rh * rl)) + z2 * poly6(kCosPoly, z, z2);

    const Approx s = round_to_float(rh, s_lo, kSinBound);
    const Approx c = round_to_float(c_hi, c_lo, kCosBound);
    // sin(r + qπ/2) and cos(r + qπ/2) from sin r and cos r, without branches
    // (the quadrant of a wide input is unpredictable); sin(−x) = −sin x.
    const Approx sc[2] = {s, c};
    const Approx& sin_r = sc[q & 1];
    const Approx& cos_r = sc[(q & 1) ^ 1];
    const std::uint32_t sin_sign = (static_cast<std::uint32_t>(q & 2) << 30) ^ (ux & 0x80000000u);
    const std::uint32_t cos_sign = static_cast<std::uint32_t>((q + 1) & 2) << 30;
    sin_x = {std::bit_cast<float>(std::bit_cast<std::uint32_t>(sin_r.value) ^ sin_sign), sin_r.proven};
    cos_x = {std::bit_cast<float>(std::bit_cast<std::uint32_t>(cos_r.value) ^ cos_sign), cos_r.proven};
}

ListedSpan listed_exp() { return {nullptr, 0}; }
ListedSpan listed_exp10() { return {nullptr, 0}; }
ListedSpan listed_sin() { return span_of(kListedSin); }
ListedSpan listed_cos() { return span_of(kListedCos); }
const DoubleDouble* exp2_table() { return kExp2Table; }
const std::uint64_t* two_over_pi_bits() { return kTwoOverPiBits; }

} // namespace exact_math_detail

float exact_exp(float x)
{
    using namespace exact_math_detail;
    return settle(exp_approx(x), x, listed_exp());
}

float exact_exp10(float x)
{
    using namespace exact_math_detail;
    return settle(exp10_approx(x), x, listed_exp10());
}

void exact_sincos(float x, float& sin_x, float& cos_x)
{
    using namespace exact_math_detail;
    Approx s{};
    Approx c{};
    sincos_approx(x, s, c);
    sin_x = settle(s, x, listed_sin());
    cos_x = settle(c, x, listed_cos());
}

} // namespace zq
