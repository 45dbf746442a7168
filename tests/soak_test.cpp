// Soak: minutes of audio with every control automated at random within its
// range and blocks of random size, as a busy session would drive it. The
// output must stay finite and bounded and the cost per sample flat.
//
// ZQ_SOAK_SECONDS sets the length of audio (default 600 s at 48 kHz).

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "linked_host.hpp"

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace {

using namespace zq;

void set_default_fp_mode()
{
#if defined(__x86_64__)
    _mm_setcsr(0x1F80); // all exceptions masked, nothing flushed
#elif defined(__aarch64__)
    __asm__ volatile("msr fpcr, %0" : : "r"(std::uint64_t{0}));
#endif
}

double soak_seconds()
{
    const char* s = std::getenv("ZQ_SOAK_SECONDS");
    return s != nullptr ? std::atof(s) : 600.0;
}

TEST(Soak, RandomAutomationStaysFiniteBoundedAndFlat)
{
    constexpr double kRate = 48000.0;
    const auto total = static_cast<std::size_t>(soak_seconds() * kRate);
    // Cost per sample of each block, grouped by second of audio.
    std::vector<std::vector<double>> ns_per_sample(static_cast<std::size_t>(soak_seconds()) + 1);
    float peak = 0.0f;
    bool finite = true;

    // On a thread in the C default floating-point mode, as a host's audio
    // thread may be (a new thread inherits its creator's mode, which loading
    // the library may have changed).
    std::thread audio([&] {
        set_default_fp_mode();
        zq_test::LinkedHost host(kRate);
        std::mt19937 rng(2024);
        std::uniform_real_distribution<float> unit(0.0f, 1.0f);
        std::normal_distribution<float> signal(0.0f, 0.25f);
        auto somewhere_in_range = [&](std::uint32_t p) {
            host.set_control(p, kPorts[p].min + (kPorts[p].max - kPorts[p].min) * unit(rng));
        };
        for (std::uint32_t p = kFirstControl; p < kPortCount; ++p) {
            somewhere_in_range(p);
        }
        constexpr std::size_t kMaxBlock = 4096;
        std::vector<float> in(kMaxBlock);
        std::vector<float> o1(kMaxBlock);
        std::vector<float> o2(kMaxBlock);
        std::size_t done = 0;
        bool loud = true;
        while (done < total) {
            const auto n = static_cast<std::uint32_t>(
                std::min<std::size_t>(1 + static_cast<std::size_t>(unit(rng) * kMaxBlock), total - done));
            // Every so often one control jumps somewhere in its range.
            if (unit(rng) < 0.2f) {
                somewhere_in_range(static_cast<std::uint32_t>(static_cast<float>(kFirstControl) + unit(rng) * 8.999f));
            }
            if (unit(rng) < 0.01f) {
                loud = !loud; // stretches of silence, where tails decay
            }
            for (std::uint32_t i = 0; i < n; ++i) {
                in[i] = loud ? std::clamp(signal(rng), -1.0f, 1.0f) : 0.0f;
            }
            const auto t0 = std::chrono::steady_clock::now();
            host.run(in.data(), o1.data(), o2.data(), n);
            const auto t1 = std::chrono::steady_clock::now();
            if (n >= 256) {
                ns_per_sample[done / static_cast<std::size_t>(kRate)].push_back(
                    std::chrono::duration<double, std::nano>(t1 - t0).count() / n);
            }
            for (std::uint32_t i = 0; i < n; ++i) {
                finite = finite && std::isfinite(o1[i]) && std::isfinite(o2[i]);
                peak = std::max({peak, std::fabs(o1[i]), std::fabs(o2[i])});
            }
            done += n;
        }
    });
    audio.join();

    EXPECT_TRUE(finite);
    // Dry at most 1, plus at most +6 dB of a tap and a loop signal within ±2.
    EXPECT_LT(peak, 16.0f);
    // A denormal stall lasts as long as a tail decays and costs many times
    // the normal rate, so it lifts the median of its seconds; scheduling
    // noise on a shared machine touches only the odd block. Short delays run
    // the per-sample voice, at about three times the staged cost.
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    };
    std::vector<double> all;
    std::vector<double> per_second;
    for (const auto& second : ns_per_sample) {
        all.insert(all.end(), second.begin(), second.end());
        if (second.size() >= 5) {
            per_second.push_back(median(second));
        }
    }
    ASSERT_GT(per_second.size(), 0u);
    const double overall = median(all);
    const double slowest = *std::max_element(per_second.begin(), per_second.end());
    std::printf("per-sample cost: median %.1f ns, slowest second's median %.1f ns\n", overall, slowest);
    EXPECT_LT(slowest, 6.0 * overall);
}

} // namespace
