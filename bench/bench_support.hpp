#pragma once

// What every benchmark program here measures with and feeds the voice: the
// calling thread's CPU time, and the same full-scale white noise everywhere.

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zq_bench {

inline double thread_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Uniform in [-1, 1): xorshift from a fixed seed, so every program and every
// run hears the same noise.
inline std::vector<float> white_noise(std::size_t length)
{
    std::vector<float> noise(length);
    std::uint32_t s = 0x9e3779b9u;
    for (float& v : noise) {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        v = static_cast<float>(static_cast<std::int32_t>(s)) * (1.0f / 2147483648.0f);
    }
    return noise;
}

} // namespace zq_bench
