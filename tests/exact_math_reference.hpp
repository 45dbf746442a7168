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

// The library's conversion.
float library_value(MathFn fn, float x);

// MPFR's value, rounded to nearest float (subnormals included).
float mpfr_rounded(MathFn fn, float x);

// The same value, taken from the C library's double-precision e^x, sin or
// cos when that lies clear of every midpoint between floats by far more than
// its error, and from MPFR otherwise (`near_midpoint` then set).
float correctly_rounded(MathFn fn, float x, bool* near_midpoint = nullptr);

// How far the exact value lies from the nearest midpoint between two floats,
// in units of the spacing of the floats there: 0 on a midpoint, 0.5 on a
// float. From MPFR at 160 bits.
double midpoint_distance(MathFn fn, float x);

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
    std::vector<std::uint32_t> wrong_inputs;         // the first few
    std::vector<std::uint32_t> unproven_inputs;      // all
    std::vector<std::uint32_t> near_midpoint_inputs; // all that took MPFR

    void add(const Tally& other);
};

using InputMap = float (*)(float);
struct SweepOptions {
    int threads = 1;
    // Maps each float of the ranges to the value the conversion receives;
    // a value repeated by the next float is checked once.
    InputMap input = nullptr;
    // Also evaluates the double-precision bound alone, to count the inputs
    // it leaves to the list (twice the work).
    bool bounds = true;
};

// Holds fn at every input of the ranges to its correctly rounded value.
Tally sweep(MathFn fn, const std::vector<BitRange>& ranges, const SweepOptions& options);

std::string describe(MathFn fn, const Tally& t);

} // namespace zq_test
