#pragma once

#include <cstddef>
#include <cstdint>

namespace zq {

// e^x, 10^x, and the sine and cosine of x, each rounded correctly (to nearest,
// ties to even) for every float x, subnormal results included. The C
// library's versions differ between processors and builds by an ulp here and
// there; these give the same bits everywhere, in any denormal mode.
//
// Special inputs behave as the C library's: a NaN stays NaN, e^x and 10^x
// overflow to +inf and underflow to 0, sin and cos of ±inf are NaN.
float exact_exp(float x);
float exact_exp10(float x);
void exact_sincos(float x, float& sin_x, float& cos_x);

namespace exact_math_detail {

// The evaluation in double precision alone: its rounding, and whether its
// error bound proves that rounding. The few inputs whose value lies too close
// to a midpoint between two floats are answered from a list.
struct Approx {
    float value;
    bool proven;
};
Approx exp_approx(float x);
Approx exp10_approx(float x);
void sincos_approx(float x, Approx& sin_x, Approx& cos_x);

// The listed inputs: the bits of x and of the correctly rounded result.
struct Listed {
    std::uint32_t x;
    std::uint32_t result;
};
struct ListedSpan {
    const Listed* entries;
    std::size_t count;
};
ListedSpan listed_exp();
ListedSpan listed_exp10();
ListedSpan listed_sin();
ListedSpan listed_cos();

// The constants the evaluations rest on, each the nearest double to the value
// named unless said otherwise; the tests check them against a
// multiple-precision library.
inline constexpr double kSixtyFourOverLn2 = 0x1.71547652b82fep+6;
// ln 2 / 64 = hi + lo, hi cut to 39 bits so that k·hi is exact for |k| < 2^14.
inline constexpr double kLn2Over64Hi = 0x1.62e42fefa4p-7;
inline constexpr double kLn2Over64Lo = -0x1.8432a1b0e2634p-49;
inline constexpr double kSixtyFourLog2Of10 = 0x1.a934f0979a371p+7;
// ln 10 = hi + lo, hi cut to 24 bits so that x·hi is exact for every float x.
inline constexpr double kLn10Hi = 0x1.26bb1cp+1;
inline constexpr double kLn10Lo = -0x1.12aaba9f48ad5p-25;
// π/2 = hi + lo.
inline constexpr double kHalfPiHi = 0x1.921fb54442d18p+0;
inline constexpr double kHalfPiLo = 0x1.1a62633145c07p-54;
// π/2 = c1 + c2 + c3, c1 and c2 cut to 33 bits so that k·c1 and k·c2 are
// exact for |k| < 2^20.
inline constexpr double kHalfPi33[3] = {0x1.921fb544p+0, 0x1.0b4611a6p-34, 0x1.3198a2e037073p-69};
inline constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;

struct DoubleDouble {
    double hi;
    double lo;
};
inline constexpr int kExp2TableSize = 64;
const DoubleDouble* exp2_table(); // 2^(j/64), j = 0..63
inline constexpr int kTwoOverPiWords = 5;
const std::uint64_t* two_over_pi_bits(); // the first 320 bits of 2/π

} // namespace exact_math_detail

} // namespace zq
