// The correctly rounded conversions against MPFR: every input the level and
// cutoff setters can receive from in-range port values, a stride over all
// floats, the inputs hardest to round and the edges of the range, special
// inputs as the C library treats them, the constants the conversions rest
// on, and the setters themselves. The whole of the 2^32 inputs is
// tools/exact_math_check's.

#include <gtest/gtest.h>
#include <mpfr.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "dsp/delay_engine.hpp"
#include "dsp/exact_math.hpp"
#include "dsp/one_pole.hpp"
#include "exact_math_reference.hpp"
#include "plugin/fp_mode.hpp"
#include "plugin/ports.hpp"

namespace zq_test {
namespace {

namespace em = zq::exact_math_detail;

int threads() { return static_cast<int>(std::max(1u, std::thread::hardware_concurrency())); }

float above(float x) { return std::nextafter(x, std::numeric_limits<float>::infinity()); }

#ifndef ZQ_SETTER_INPUT_STRIDE
#define ZQ_SETTER_INPUT_STRIDE 1
#endif
constexpr std::uint32_t kSetterInputStride = ZQ_SETTER_INPUT_STRIDE;

float level_exponent(float db) { return db * zq::kDbToExponent10; }
float cutoff_exponent(float hz) { return hz * zq::kCutoffToExponent; }

// Every level a ramp can pass the setter: any float above the mute threshold
// (the port's minimum) up to the port's maximum. Its 2.2·10^9 levels give
// 1.8·10^9 distinct exponents db·0.05 (neighbouring levels may round to one),
// each checked once.
TEST(ExactMath, EveryLevelExponentIsCorrectlyRounded)
{
    const zq::PortInfo& level = zq::kPorts[zq::kLevelDb];
    const Tally t = sweep(MathFn::kExp10, float_interval(above(level.min), level.max, kSetterInputStride),
                          {.threads = threads(), .input = level_exponent, .bounds = false});
    EXPECT_EQ(t.wrong, 0u) << describe(MathFn::kExp10, t);
    EXPECT_GT(t.checked, 1'000'000'000u / kSetterInputStride);
}

// Every cutoff either filter's port allows.
TEST(ExactMath, EveryCutoffExponentIsCorrectlyRounded)
{
    const zq::PortInfo& lp = zq::kPorts[zq::kLowpassHz];
    const zq::PortInfo& hp = zq::kPorts[zq::kHighpassHz];
    const Tally t =
        sweep(MathFn::kExp, float_interval(std::min(lp.min, hp.min), std::max(lp.max, hp.max), kSetterInputStride),
              {.threads = threads(), .input = cutoff_exponent});
    EXPECT_EQ(t.wrong, 0u) << describe(MathFn::kExp, t);
    EXPECT_EQ(t.unlisted, 0u) << describe(MathFn::kExp, t);
    EXPECT_GT(t.checked, 50'000'000u / kSetterInputStride);
}

// A prime stride over all 2^32 bit patterns: every exponent, both signs,
// subnormals, overflow, the NaNs.
TEST(ExactMath, StrideOverAllFloats)
{
    for (MathFn fn : kMathFns) {
        const Tally t = sweep(fn, {{0u, 0xffffffffu, 1021u}}, {.threads = threads()});
        EXPECT_EQ(t.wrong, 0u) << describe(fn, t);
        EXPECT_EQ(t.unlisted, 0u) << describe(fn, t);
    }
}

// Of all 2^32 inputs, the twelve of each function whose value lies nearest a
// midpoint between two floats, all within 2^-26 of the floats' spacing
// (zq_exact_math_check --hardest 12).
struct HardCases {
    MathFn fn;
    std::vector<std::uint32_t> inputs;
};
const HardCases kHardest[] = {
    {MathFn::kExp,
     {
      0xc16912cdu, 0xbbf0edf1u, 0xc2b2e798u, 0x377eff81u, 0xbae0e25cu, 0xb3000000u,
      0x39c6be5bu, 0x38e69cc1u, 0x383a3ef1u, 0x3d1a274eu, 0x40315b33u, 0x4001b249u,
     }},
    {MathFn::kExp10,
     {
      0xbac4c65cu, 0x417d7f60u, 0xb326c4e3u, 0xbf230886u, 0x35b1311fu, 0xb25e5bd9u,
      0xb7d171cdu, 0xbaac4a50u, 0x34d07615u, 0x32de5bd8u, 0x3772c43eu, 0xbd6181f7u,
     }},
};

// Edges of the results' range, every float of each: overflow to infinity,
// the subnormal results, underflow to zero.
struct Edge {
    MathFn fn;
    float lo;
    float hi;
};
constexpr Edge kEdges[] = {
    {MathFn::kExp, 88.5f, 89.5f},
    {MathFn::kExp, -104.5f, -86.5f},
    {MathFn::kExp10, 38.25f, 39.5f},
    {MathFn::kExp10, -46.0f, -37.5f},
};

// The library's value in the thread's own floating-point mode and in the
// audio path's (flush to zero, denormals as zero), where the setters run.
void expect_correct(MathFn fn, float x, float want, int& wrong)
{
    const float got = library_value(fn, x);
    float got_audio = 0.0f;
    {
        const zq::AudioFpScope audio;
        got_audio = library_value(fn, x);
    }
    if ((!same_float(got, want) || !same_float(got_audio, want)) && ++wrong <= 20) {
        ADD_FAILURE() << math_fn_name(fn) << "(" << std::hexfloat << x << ") = " << got << ", " << got_audio
                      << " in the audio mode; want " << want;
    }
}

TEST(ExactMath, HardCasesAndEdges)
{
    int wrong = 0;
    for (const HardCases& h : kHardest) {
        for (std::uint32_t b : h.inputs) {
            const float x = std::bit_cast<float>(b);
            expect_correct(h.fn, x, mpfr_rounded(h.fn, x), wrong);
            EXPECT_LT(midpoint_distance(h.fn, x), 1e-6) << math_fn_name(h.fn) << " " << std::hexfloat << x;
        }
    }
    // The inputs the sine and cosine answer from their lists.
    for (const auto& [fn, list] :
         {std::pair{MathFn::kSin, em::listed_sin()}, std::pair{MathFn::kCos, em::listed_cos()}}) {
        for (std::size_t i = 0; i < list.count; ++i) {
            const float x = std::bit_cast<float>(list.entries[i].x);
            expect_correct(fn, x, mpfr_rounded(fn, x), wrong);
        }
    }
    for (const Edge& e : kEdges) {
        for (const BitRange& r : float_interval(e.lo, e.hi)) {
            for (std::uint64_t b = r.first; b <= r.last; b += r.stride) {
                const float x = std::bit_cast<float>(static_cast<std::uint32_t>(b));
                expect_correct(e.fn, x, correctly_rounded(e.fn, x), wrong);
            }
        }
    }
    EXPECT_EQ(wrong, 0);
}

// NaN stays NaN, overflow gives infinity, underflow zero, sin and cos of an
// infinity are NaN: as the C library answers.
TEST(ExactMath, SpecialInputsAsTheCLibrary)
{
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const float inputs[] = {std::numeric_limits<float>::quiet_NaN(),
                            -std::numeric_limits<float>::quiet_NaN(),
                            std::bit_cast<float>(0x7fa00001u), // signalling, with a payload
                            kInf,
                            -kInf,
                            0.0f,
                            -0.0f,
                            std::numeric_limits<float>::denorm_min(),
                            -std::numeric_limits<float>::denorm_min(),
                            std::numeric_limits<float>::max(),
                            -std::numeric_limits<float>::max(),
                            100.0f,
                            -200.0f,
                            1e30f,
                            -1e30f};
    const auto c_library = [](MathFn fn, float x) {
        switch (fn) {
        case MathFn::kExp: return std::exp(x);
        case MathFn::kExp10: return std::pow(10.0f, x);
        case MathFn::kSin: return std::sin(x);
        default: return std::cos(x);
        }
    };
    for (MathFn fn : kMathFns) {
        for (float x : inputs) {
            const float got = library_value(fn, x);
            const float libc = c_library(fn, x);
            EXPECT_EQ(std::isnan(got), std::isnan(libc)) << math_fn_name(fn) << " " << x;
            if (!std::isnan(libc)) {
                EXPECT_TRUE(same_float(got, mpfr_rounded(fn, x))) << math_fn_name(fn) << " " << x;
                EXPECT_EQ(std::fpclassify(got), std::fpclassify(libc)) << math_fn_name(fn) << " " << x;
                EXPECT_EQ(std::signbit(got), std::signbit(libc)) << math_fn_name(fn) << " " << x;
            }
        }
    }
}

// The constants of the evaluations, against MPFR at 400 bits.
class MpfrConstant {
public:
    MpfrConstant() { mpfr_init2(v_, 400); }
    ~MpfrConstant() { mpfr_clear(v_); }
    MpfrConstant(const MpfrConstant&) = delete;
    MpfrConstant& operator=(const MpfrConstant&) = delete;
    mpfr_ptr get() { return v_; }

    // The value less the given doubles, relative to the value.
    double rel_residue(std::initializer_list<double> parts)
    {
        mpfr_t r;
        mpfr_init2(r, 400);
        mpfr_set(r, v_, MPFR_RNDN);
        for (double p : parts) {
            mpfr_sub_d(r, r, p, MPFR_RNDN);
        }
        mpfr_div(r, r, v_, MPFR_RNDN);
        const double d = std::fabs(mpfr_get_d(r, MPFR_RNDN));
        mpfr_clear(r);
        return d;
    }

private:
    mpfr_t v_;
};

TEST(ExactMath, ConstantsMatchMpfr)
{
    MpfrConstant ln2;
    mpfr_const_log2(ln2.get(), MPFR_RNDN);
    MpfrConstant ln10;
    mpfr_set_ui(ln10.get(), 10, MPFR_RNDN);
    mpfr_log(ln10.get(), ln10.get(), MPFR_RNDN);
    MpfrConstant half_pi;
    mpfr_const_pi(half_pi.get(), MPFR_RNDN);
    mpfr_div_2ui(half_pi.get(), half_pi.get(), 1, MPFR_RNDN);

    // Nearest doubles: within half an ulp, 2^-53 relative.
    MpfrConstant c;
    mpfr_ui_div(c.get(), 64, ln2.get(), MPFR_RNDN);
    EXPECT_LE(c.rel_residue({em::kSixtyFourOverLn2}), 0x1p-53);
    mpfr_div(c.get(), ln10.get(), ln2.get(), MPFR_RNDN);
    mpfr_mul_ui(c.get(), c.get(), 64, MPFR_RNDN);
    EXPECT_LE(c.rel_residue({em::kSixtyFourLog2Of10}), 0x1p-53);
    mpfr_ui_div(c.get(), 1, half_pi.get(), MPFR_RNDN);
    EXPECT_LE(c.rel_residue({em::kTwoOverPi}), 0x1p-53);
    // Sums of a short high part and a rounded rest: about 2^-53 of the rest.
    mpfr_div_ui(c.get(), ln2.get(), 64, MPFR_RNDN);
    EXPECT_LE(c.rel_residue({em::kLn2Over64Hi, em::kLn2Over64Lo}), 0x1p-90);
    EXPECT_LE(ln10.rel_residue({em::kLn10Hi, em::kLn10Lo}), 0x1p-76);
    EXPECT_LE(half_pi.rel_residue({em::kHalfPiHi, em::kHalfPiLo}), 0x1p-106);
    EXPECT_LE(half_pi.rel_residue({em::kHalfPi33[0], em::kHalfPi33[1], em::kHalfPi33[2]}), 0x1p-120);
    // The high parts are as short as the exact products need.
    const auto significant_bits = [](double d) {
        constexpr std::uint64_t kLead = std::uint64_t{1} << 52;
        return 53 - std::countr_zero((std::bit_cast<std::uint64_t>(d) & (kLead - 1)) | kLead);
    };
    EXPECT_LE(significant_bits(em::kLn2Over64Hi), 39);
    EXPECT_LE(significant_bits(em::kLn10Hi), 24);
    EXPECT_LE(significant_bits(em::kHalfPi33[0]), 33);
    EXPECT_LE(significant_bits(em::kHalfPi33[1]), 33);

    // 2^(j/64) as double-doubles, to about 2^-106.
    for (int j = 0; j < em::kExp2TableSize; ++j) {
        mpfr_set_si(c.get(), j, MPFR_RNDN);
        mpfr_div_ui(c.get(), c.get(), em::kExp2TableSize, MPFR_RNDN);
        mpfr_exp2(c.get(), c.get(), MPFR_RNDN);
        const em::DoubleDouble& t = em::exp2_table()[j];
        EXPECT_LE(c.rel_residue({t.hi, t.lo}), 0x1p-104) << "2^(" << j << "/64)";
    }

    // The leading 320 bits of 2/π, word by word.
    mpfr_ui_div(c.get(), 1, half_pi.get(), MPFR_RNDN);
    mpfr_mul_2ui(c.get(), c.get(), 64, MPFR_RNDN); // the first word's bits now integral
    for (int w = 0; w < em::kTwoOverPiWords; ++w) {
        mpfr_t word;
        mpfr_init2(word, 400);
        mpfr_floor(word, c.get());
        EXPECT_EQ(mpfr_get_ui(word, MPFR_RNDN), em::two_over_pi_bits()[w]) << "word " << w;
        mpfr_sub(c.get(), c.get(), word, MPFR_RNDN);
        mpfr_mul_2ui(c.get(), c.get(), 64, MPFR_RNDN);
        mpfr_clear(word);
    }
}

// The setters give MPFR's values at a stride over their in-range port
// values, among them some at which the C library's powf and expf are an ulp
// off (about one level in 19000, one cutoff in 1300).
TEST(ExactMath, LevelAndCutoffSettersAreCorrectlyRounded)
{
    zq::DelayEngine engine;
    int wrong = 0;
    const zq::PortInfo& level = zq::kPorts[zq::kLevelDb];
    for (const BitRange& r : float_interval(above(level.min), level.max, 4099)) {
        for (std::uint64_t b = r.first; b <= r.last; b += r.stride) {
            const float db = std::bit_cast<float>(static_cast<std::uint32_t>(b));
            engine.set_level_db(db);
            if (!same_float(engine.gain, correctly_rounded(MathFn::kExp10, level_exponent(db))) && ++wrong <= 20) {
                ADD_FAILURE() << "level " << std::hexfloat << db << " dB: gain " << engine.gain;
            }
        }
    }
    for (const zq::PortInfo* port : {&zq::kPorts[zq::kLowpassHz], &zq::kPorts[zq::kHighpassHz]}) {
        for (const BitRange& r : float_interval(port->min, port->max, 257)) {
            for (std::uint64_t b = r.first; b <= r.last; b += r.stride) {
                const float hz = std::bit_cast<float>(static_cast<std::uint32_t>(b));
                engine.set_lowpass_hz(hz);
                engine.set_highpass_hz(hz);
                const float want = correctly_rounded(MathFn::kExp, cutoff_exponent(hz));
                if ((!same_float(engine.lp_coef, want) || !same_float(engine.lc_coef, want)) && ++wrong <= 20) {
                    ADD_FAILURE() << port->symbol << " " << std::hexfloat << hz << " Hz: " << engine.lp_coef << ", "
                                  << engine.lc_coef;
                }
            }
        }
    }
    EXPECT_EQ(wrong, 0);
}

} // namespace
} // namespace zq_test
