#include "dsp/diffuser.hpp"

#include <algorithm>
#include <iterator>
#include <cmath>

namespace zq {

bool Diffuser::prime_test(std::uint64_t n)
{
    const auto r = static_cast<std::uint64_t>(std::sqrt(static_cast<double>(n)));
    if (r <= 4) {
        return true;
    }
    if (n % 5 == 0 || n % 7 == 0) {
        return false;
    }
    for (std::uint64_t i = 5; i + 6 <= r; i += 6) {
        if (n % (i + 6) == 0 || n % (i + 8) == 0) {
            return false;
        }
    }
    return true;
}

void Diffuser::set_length_ms(float ms)
{
    length_ms = ms;
    const float samples = nominal_rate * (ms * 0.001f);
    // Truncation to unsigned; negative, NaN and anything past the store's
    // capacity are settled before the conversion, which could not hold them.
    std::uint64_t n = 0;
    if (samples >= static_cast<float>(kCapacity + 1)) {
        n = kCapacity + 1;
    } else if (samples > 0.0f) {
        n = static_cast<std::uint64_t>(samples);
    }
    n = std::max(n, kMinSearchStart) | 1u;
    // Beyond the capacity the search could only end above it, and the result
    // is the capacity either way.
    if (n <= kCapacity) {
        while (!prime_test(n)) {
            n += 2;
        }
    }
    length = std::max(std::min(n, kCapacity), kMinLength);
    std::fill(std::begin(store), std::end(store), 0.0f);
}

} // namespace zq
