// Holds the library's e^x, 10^x, sin x and cos x to MPFR's correctly rounded
// values at all 2^32 float inputs (or at a stride of them), on every core.
//
//   zq_exact_math_check [--stride N] [--threads N] [--list] [--hardest N] [exp|exp10|sin|cos ...]
//
// --list prints, for the inputs the double-precision bound leaves open, the
// entries of the list in dsp/exact_math.cpp. --hardest prints the N inputs
// whose value lies nearest a midpoint between two floats (the unit test's
// hard cases). Exits 1 if any value is wrong or any open input is missing
// from the list.

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "exact_math_reference.hpp"

int main(int argc, char** argv)
{
    using namespace zq_test;
    std::uint32_t stride = 1;
    int threads = static_cast<int>(std::thread::hardware_concurrency());
    bool list = false;
    std::size_t hardest = 0;
    std::vector<MathFn> fns;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--stride" && i + 1 < argc) {
            stride = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 0));
        } else if (a == "--threads" && i + 1 < argc) {
            threads = std::atoi(argv[++i]);
        } else if (a == "--list") {
            list = true;
        } else if (a == "--hardest" && i + 1 < argc) {
            hardest = std::strtoul(argv[++i], nullptr, 0);
        } else {
            bool known = false;
            for (MathFn fn : kMathFns) {
                if (a == math_fn_name(fn)) {
                    fns.push_back(fn);
                    known = true;
                }
            }
            if (!known) {
                std::fprintf(stderr,
                             "usage: %s [--stride N] [--threads N] [--list] [--hardest N] [exp|exp10|sin|cos ...]\n",
                             argv[0]);
                return 2;
            }
        }
    }
    if (fns.empty()) {
        fns.assign(std::begin(kMathFns), std::end(kMathFns));
    }
    if (stride == 0 || threads < 1) {
        std::fprintf(stderr, "stride and threads must be positive\n");
        return 2;
    }
    bool ok = true;
    for (MathFn fn : fns) {
        const auto start = std::chrono::steady_clock::now();
        const Tally t = sweep(fn, {{0u, 0xffffffffu, stride}}, {.threads = threads});
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::printf("%s (%.0f s)\n", describe(fn, t).c_str(), took.count());
        if (list) {
            for (std::uint32_t b : t.unproven_inputs) {
                const float y = mpfr_rounded(fn, std::bit_cast<float>(b));
                std::printf("    {0x%08x, 0x%08x}, // %a -> %a\n", b, std::bit_cast<std::uint32_t>(y),
                            static_cast<double>(std::bit_cast<float>(b)), static_cast<double>(y));
            }
        }
        if (hardest > 0) {
            std::vector<std::pair<double, std::uint32_t>> near;
            for (std::uint32_t b : t.near_midpoint_inputs) {
                near.emplace_back(midpoint_distance(fn, std::bit_cast<float>(b)), b);
            }
            std::sort(near.begin(), near.end());
            near.resize(std::min(near.size(), hardest));
            for (const auto& [distance, b] : near) {
                std::printf("    0x%08x, // %a, %.3g of the spacing from a midpoint\n", b,
                            static_cast<double>(std::bit_cast<float>(b)), distance);
            }
        }
        std::fflush(stdout);
        ok = ok && t.wrong == 0 && t.unlisted == 0;
    }
    return ok ? 0 : 1;
}
