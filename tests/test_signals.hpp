#pragma once

// Test signals shared by the unit tests.

#include <cstddef>
#include <random>
#include <vector>

namespace zq_test {

// Uniform white noise in [−amplitude, amplitude], the same for a given seed.
inline std::vector<float> noise(std::size_t n, float amplitude, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-amplitude, amplitude);
    std::vector<float> v(n);
    for (float& x : v) {
        x = dist(rng);
    }
    return v;
}

} // namespace zq_test
