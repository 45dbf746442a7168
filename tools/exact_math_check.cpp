// Holds the library's e^x, 10^x, sin x and cos x to MPFR's correctly rounded
// values at all 2^32 float inputs (or at a stride of them), on every core.
//
//   zq_exact_math_check [--stride N] [--threads N] [--list] [exp|exp10|sin|cos ...]
//
// --list prints, for the inputs the double-precision bound leaves open, the
// entries of the list in dsp/exact_math.cpp. Exits 1 if any value is wrong
// or any open input is missing from the list.

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
    std::vector<MathFn> fns;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--stride" && i + 1 < argc) {
            stride = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 0));
        } else if (a == "--threads" && i + 1 < argc) {
            threads = std::atoi(argv[++i]);
        } else if (a == "--list") {
            list = true;
        } else {
            bool known = false;
            for (MathFn fn : kMathFns) {
                if (a == math_fn_name(fn)) {
                    fns.push_back(fn);
                    known = true;
                }
            }
            if (!known) {
                std::fprintf(stderr, "usage: %s [--stride N] [--threads N] [--list] [exp|exp10|sin|cos ...]\n",
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
        const Tally t = sweep(fn, {{0u, 0xffffffffu, stride}}, threads);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::printf("%s (%.0f s)\n", describe(fn, t).c_str(), took.count());
        if (list) {
            for (std::uint32_t b : t.unproven_inputs) {
                const float y = mpfr_rounded(fn, std::bit_cast<float>(b));
                std::printf("    {0x%08x, 0x%08x}, // %a -> %a\n", b, std::bit_cast<std::uint32_t>(y),
                            static_cast<double>(std::bit_cast<float>(b)), static_cast<double>(y));
            }
        }
        std::fflush(stdout);
        ok = ok && t.wrong == 0 && t.unlisted == 0;
    }
    return ok ? 0 : 1;
}
