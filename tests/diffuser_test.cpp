// The diffuser sections: their prime search and their impulse response.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "dsp/diffuser.hpp"

namespace zq {
namespace {

std::uint64_t length_for_ms(float ms)
{
    auto d = std::make_unique<Diffuser>();
    d->set_length_ms(ms);
    return d->length;
}

bool is_prime(std::uint64_t n)
{
    if (n < 2) {
        return false;
    }
    for (std::uint64_t k = 2; k * k <= n; ++k) {
        if (n % k == 0) {
            return false;
        }
    }
    return true;
}

TEST(Diffuser, LengthsFromMilliseconds)
{
    EXPECT_EQ(length_for_ms(4.395833f), 211u);
    EXPECT_EQ(length_for_ms(3.3958333f), 163u);
    EXPECT_EQ(length_for_ms(11.729167f), 563u);
    EXPECT_EQ(length_for_ms(8.520833f), 409u);
    EXPECT_EQ(length_for_ms(0.0f), 101u);
    EXPECT_EQ(length_for_ms(-4.0f), 101u);
    // 960 → 961 = 31² fails → 963 = 9·107 passes (3 is never tried) → capped.
    EXPECT_EQ(length_for_ms(20.0f), 600u);
    EXPECT_EQ(length_for_ms(1.0e30f), 600u);
    // 2.3 ms is 110.4 samples: 111 = 3·37 passes, as 3 is never tried.
    EXPECT_EQ(length_for_ms(2.3f), 111u);
}

TEST(Diffuser, SetLengthClearsTheStoreOnly)
{
    auto d = std::make_unique<Diffuser>();
    EXPECT_EQ(d->coef, 0.75f);
    EXPECT_EQ(d->length, 600u);
    EXPECT_EQ(d->damp_coef, 0.1231447f);
    d->store[599] = 1.0f;
    d->pos = 7;
    d->damp_state = 0.5f;
    d->set_length_ms(4.395833f);
    EXPECT_EQ(d->store[599], 0.0f);
    EXPECT_EQ(d->pos, 7u);
    EXPECT_EQ(d->damp_state, 0.5f);
    EXPECT_EQ(d->length_ms, 4.395833f);
}

TEST(Diffuser, PrimeTestSkipsThreeAndTestsInPairs)
{
    for (std::uint64_t n : {111u, 117u, 123u, 129u, 141u}) {
        EXPECT_TRUE(Diffuser::prime_test(n)) << n;
    }
    for (std::uint64_t n : {105u, 119u, 121u, 143u, 169u, 961u, 25u}) {
        EXPECT_FALSE(Diffuser::prime_test(n)) << n;
    }
    int odd_non_primes_passing = 0;
    for (std::uint64_t n = 101; n <= 600; n += 2) {
        const bool passes = Diffuser::prime_test(n);
        if (is_prime(n)) {
            EXPECT_TRUE(passes) << n;
        } else if (passes) {
            EXPECT_EQ(n % 3, 0u) << n;
            ++odd_non_primes_passing;
        }
    }
    EXPECT_EQ(odd_non_primes_passing, 49);
    // Below 25 everything passes: no divisor is tried at all.
    EXPECT_TRUE(Diffuser::prime_test(21));
    EXPECT_TRUE(Diffuser::prime_test(9));
}

TEST(Diffuser, ImpulseResponse)
{
    auto d = std::make_unique<Diffuser>();
    d->set_length_ms(4.395833f);
    d->set_coef(0.6f);
    std::vector<float> out;
    out.push_back(d->process(1.0f));
    EXPECT_EQ(d->store[0], 0.8768553f);
    for (int i = 1; i < 213; ++i) {
        out.push_back(d->process(0.0f));
    }
    EXPECT_EQ(out[0], 0.6f);
    for (int i = 1; i < 211; ++i) {
        ASSERT_EQ(out[i], 0.0f) << i;
    }
    EXPECT_EQ(out[211], 0.5611874f);
    EXPECT_EQ(out[212], 0.06910725f);
}

TEST(Diffuser, TwoTermInputFusesTheProduct)
{
    // x − coef·d and a·b must not be rounded apart: with d = 0 the inner value
    // is fma(a, b, x) = −2⁻⁴⁶, while x + round(a·b) would be 0.
    const float x = -1.0f;
    const float a = 1.0f + 0x1p-23f;
    const float b = 1.0f - 0x1p-23f;
    auto fused = std::make_unique<Diffuser>();
    auto split = std::make_unique<Diffuser>();
    fused->set_length_ms(4.395833f);
    split->set_length_ms(4.395833f);
    fused->set_coef(0.0f);
    split->set_coef(0.0f);
    fused->process(x, a, b);
    split->process(x + a * b);
    // With coef 0 the output is d; what differs is the stored (damped) value.
    EXPECT_EQ(split->store[0], 0.0f);
    EXPECT_LT(fused->store[0], 0.0f);
}

TEST(Diffuser, ZeroCoefficientDelaysTheDampedInput)
{
    auto d = std::make_unique<Diffuser>();
    d->set_length_ms(0.0f); // 101 samples
    d->set_coef(0.0f);
    std::vector<float> stored;
    for (int i = 0; i < 101; ++i) {
        d->process(i == 0 ? 1.0f : 0.0f);
        stored.push_back(d->damp_state);
    }
    EXPECT_EQ(d->pos, 0u) << "pos wraps from length − 1 to 0";
    for (int i = 0; i < 101; ++i) {
        ASSERT_EQ(d->process(0.0f), stored[i]) << i;
    }
}

} // namespace
} // namespace zq
