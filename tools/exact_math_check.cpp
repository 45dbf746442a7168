// Holds the library's e^x, 10^x, sin x and cos x to MPFR's correctly rounded
// values at all 2^32 float inputs (or at a stride of them), on every core.
//
//   zq_exact_math_check [--stride N] [--threads N] [--list] [--hardest N] [exp|exp10|sin|cos ...]
//   zq_exact_math_check --against-libc [--threads N]
//
// --list prints, for the inputs the double-precision bound leaves open, the
// entries of the list in dsp/exact_math.cpp. --hardest prints the N inputs
// whose value lies nearest a midpoint between two floats (the unit test's
// hard cases). Exits 1 if any value is wrong or any open input is missing
// from the list.
//
// --against-libc prints every in-range level and cutoff whose gain or filter
// coefficient differs from what the C library's powf and expf give on this
// machine, and by how many ulps.

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "dsp/delay_engine.hpp"
#include "dsp/one_pole.hpp"
#include "exact_math_reference.hpp"
#include "plugin/ports.hpp"

namespace {

struct Setter {
    zq::Port port;
    float lowest; // the lowest value the setter converts
    const char* field;
    float (*c_library)(float);
    float (*own)(float);
};

const Setter kSetters[] = {
    {zq::kLevelDb, std::nextafter(zq::kPorts[zq::kLevelDb].min, 0.0f), "gain",
     [](float db) { return std::pow(10.0f, db * zq::kDbToExponent10); },
     [](float db) { return zq::exact_exp10(db * zq::kDbToExponent10); }},
    {zq::kLowpassHz, zq::kPorts[zq::kLowpassHz].min, "lp_coef",
     [](float hz) { return std::exp(hz * zq::kCutoffToExponent); }, zq::one_pole_coef},
    {zq::kHighpassHz, zq::kPorts[zq::kHighpassHz].min, "lc_coef",
     [](float hz) { return std::exp(hz * zq::kCutoffToExponent); }, zq::one_pole_coef},
};

int against_libc(int threads)
{
    using namespace zq_test;
    for (const Setter& s : kSetters) {
        const zq::PortInfo& port = zq::kPorts[s.port];
        // Blocks of 2^22 values, each thread keeping its blocks' lines.
        std::vector<BitRange> blocks;
        for (const BitRange& r : float_interval(s.lowest, port.max)) {
            for (std::uint64_t b = r.first; b <= r.last; b += 1u << 22) {
                blocks.push_back({static_cast<std::uint32_t>(b),
                                  static_cast<std::uint32_t>(std::min<std::uint64_t>(r.last, b + (1u << 22) - 1))});
            }
        }
        std::vector<std::string> lines(blocks.size());
        std::atomic<std::size_t> next{0};
        std::atomic<std::uint64_t> values{0};
        std::atomic<std::uint64_t> changed{0};
        auto work = [&] {
            for (std::size_t i = next++; i < blocks.size(); i = next++) {
                for (std::uint64_t b = blocks[i].first; b <= blocks[i].last; ++b) {
                    const float v = std::bit_cast<float>(static_cast<std::uint32_t>(b));
                    const float was = s.c_library(v);
                    const float now = s.own(v);
                    ++values;
                    if (!same_float(was, now)) {
                        ++changed;
                        char line[160];
                        std::snprintf(line, sizeof line, "%s %.9g: %s %a -> %a (%+d ulp)\n", port.symbol,
                                      static_cast<double>(v), s.field, static_cast<double>(was),
                                      static_cast<double>(now),
                                      static_cast<int>(std::bit_cast<std::int32_t>(now) -
                                                       std::bit_cast<std::int32_t>(was)));
                        lines[i] += line;
                    }
                }
            }
        };
        std::vector<std::thread> pool;
        for (int t = 1; t < threads; ++t) {
            pool.emplace_back(work);
        }
        work();
        for (std::thread& t : pool) {
            t.join();
        }
        for (const std::string& l : lines) {
            std::fputs(l.c_str(), stdout);
        }
        std::printf("%s: %llu of %llu values from %.9g to %.9g change %s\n", port.symbol,
                    static_cast<unsigned long long>(changed), static_cast<unsigned long long>(values),
                    static_cast<double>(s.lowest), static_cast<double>(port.max), s.field);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace zq_test;
    std::uint32_t stride = 1;
    int threads = static_cast<int>(std::thread::hardware_concurrency());
    bool list = false;
    std::size_t hardest = 0;
    bool against = false;
    std::vector<MathFn> fns;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--stride" && i + 1 < argc) {
            stride = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 0));
        } else if (a == "--threads" && i + 1 < argc) {
            threads = std::atoi(argv[++i]);
        } else if (a == "--list") {
            list = true;
        } else if (a == "--against-libc") {
            against = true;
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
                             "usage: %s [--stride N] [--threads N] [--list] [--hardest N] [exp|exp10|sin|cos ...]\n"
                             "       %s --against-libc [--threads N]\n",
                             argv[0], argv[0]);
                return 2;
            }
        }
    }
    if (against) {
        return against_libc(threads);
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
