#pragma once

// The correctly rounded e^x, 10^x, sin x and cos x of a float, from MPFR, and
// a parallel sweep that holds the library's conversions to them. Shared by
// the unit test (the inputs the setters can see) and tools/exact_math_check
// (all 2^32 inputs).

#include <cstdint>
#include <string>
#include <vector>

namespace zq_test {

enum class MathFn { kExp, kExp10, kSin, kCos };
inline constexpr MathFn kMathFns[] = {MathFn::kExp, MathFn::kExp10, MathFn::kSin, MathFn::kCos};
const char* math_fn_name(MathFn fn);

// MPFR's value, rounded to nearest float (subnormals included).
float mpfr_rounded(MathFn fn, float x);

// The same value, taken from the C library's double-precision function when
// that lies clear of every midpoint between floats by far more than its
// error, and from MPFR otherwise.
float correctly_rounded(MathFn fn, float x);

// Bit-equal, or both NaN.
bool same_float(float a, float b);

// Inputs as ranges of bit patterns: first, first + stride, … up to last.
struct BitRange {
    std::uint32_t first;
    std::uint32_t last;
    std::uint32_t stride = 1;
};
// Every float from lo to hi (both finite).
std::vector<BitRange> float_interval(float lo, float hi, std::uint32_t stride = 1);

struct Tally {
    std::uint64_t checked = 0;
    std::uint64_t wrong = 0;
    std::uint64_t unproven = 0; // left by the double-precision bound to the list
    std::uint64_t unlisted = 0; // of those, missing from the list
    std::vector<std::uint32_t> wrong_inputs;    // the first few
    std::vector<std::uint32_t> unproven_inputs; // all

    void add(const Tally& other);
};

// Holds fn at every input of the ranges (mapped through `input`, when given,
// to the value the conversion receives) to its correctly rounded value, on
// `threads` threads.
using InputMap = float (*)(float);
Tally sweep(MathFn fn, const std::vector<BitRange>& ranges, int threads, InputMap input = nullptr);

std::string describe(MathFn fn, const Tally& t);

} // namespace zq_test
