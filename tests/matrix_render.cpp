// Renders through a built library, loaded as a host loads it, for the build
// matrix (tools/matrix.sh): the recorded runs, each held to its recording,
// and longer renders whose controls roam their ranges and beyond, printed as
// one digest per second of output. Every row of the matrix must print the
// lines the main build prints.
//
//   zq_matrix_render LIBRARY
//
// Lines starting with '#' describe the machine and are not compared. Exit
// status 1 when a recorded run differs from its recording.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <vector>

#include "plugin_host.hpp"
#include "vector_script.hpp"

namespace zq_test {
namespace {

// Integer noise, so that every build of this program, on any processor,
// feeds the same bits.
class Source {
public:
    explicit Source(std::uint32_t seed) : s_(seed) {}
    std::uint32_t next()
    {
        s_ ^= s_ << 13;
        s_ ^= s_ >> 17;
        s_ ^= s_ << 5;
        return s_;
    }
    std::uint32_t below(std::uint32_t n) { return next() % n; }
    // Uniform on a grid of 2^-24, exact in float; the one product and sum
    // round the same everywhere, as nothing is contracted here.
    float between(float lo, float hi) { return lo + (hi - lo) * (static_cast<float>(next() >> 8) * 0x1p-24f); }

private:
    std::uint32_t s_;
};

// Moves the controls before each `run` call.
using Mover = void (*)(Source&, PluginHost&, std::uint64_t at, std::uint64_t total);

struct Render {
    const char* name;
    double rate;
    std::uint64_t seconds;
    bool in_place;
    const std::uint32_t* blocks; // call sizes, picked at random
    std::size_t block_count;
    Mover move;
};

// Every control, now and then, anywhere in its range.
void roam(Source& src, PluginHost& host, std::uint64_t, std::uint64_t)
{
    for (std::uint32_t p = zq::kFirstControl; p < zq::kPortCount; ++p) {
        if (src.below(4) == 0) {
            host.set_control(p, src.between(zq::kPorts[p].min, zq::kPorts[p].max));
        }
    }
}

// Level, pans and cutoffs across their whole ranges in small steps, so that
// the setters see a dense run of values; the delay time jumps now and then.
void traverse(Source& src, PluginHost& host, std::uint64_t at, std::uint64_t total)
{
    const float t = static_cast<float>(at) / static_cast<float>(total);
    const auto across = [&](zq::Port p, float from) {
        const zq::PortInfo& info = zq::kPorts[p];
        const float f = from == info.min ? t : 1.0f - t;
        host.set_control(p, info.min + (info.max - info.min) * f);
    };
    across(zq::kLevelDb, zq::kPorts[zq::kLevelDb].min);
    across(zq::kPanTap, zq::kPorts[zq::kPanTap].min);
    across(zq::kPanLoop, zq::kPorts[zq::kPanLoop].max);
    across(zq::kLowpassHz, zq::kPorts[zq::kLowpassHz].max);
    across(zq::kHighpassHz, zq::kPorts[zq::kHighpassHz].min);
    host.set_control(zq::kFeedback, 70.0f);
    if (src.below(64) == 0) {
        host.set_control(zq::kDelayMs, src.between(1.0f, 500.0f));
    }
}

// Values no port range allows: far beyond it, infinities, NaN, zeros of
// either sign, subnormals.
void beyond(Source& src, PluginHost& host, std::uint64_t, std::uint64_t)
{
    for (std::uint32_t p = zq::kFirstControl; p < zq::kPortCount; ++p) {
        if (src.below(8) != 0) {
            continue;
        }
        const zq::PortInfo& info = zq::kPorts[p];
        const float values[] = {std::bit_cast<float>(0x7fc00000u), std::bit_cast<float>(0x7f800000u),
                                std::bit_cast<float>(0xff800000u), 1e30f, -1e30f, info.max * 4.0f,
                                info.min - (info.max - info.min), 0.0f, -0.0f, 0x1p-140f,
                                src.between(info.min, info.max), src.between(-1e4f, 1e4f)};
        host.set_control(p, values[src.below(std::size(values))]);
    }
}

constexpr std::uint32_t kSmallBlocks[] = {1, 2, 15, 16, 17, 64, 100, 256, 511, 1024};
constexpr std::uint32_t kEvenBlocks[] = {128};
constexpr std::uint32_t kMixedBlocks[] = {1, 7, 16, 333, 4096};

const Render kRenders[] = {
    {"roam", 48000.0, 20, false, kSmallBlocks, std::size(kSmallBlocks), roam},
    {"traverse", 44100.0, 20, true, kEvenBlocks, std::size(kEvenBlocks), traverse},
    {"beyond", 96000.0, 10, false, kMixedBlocks, std::size(kMixedBlocks), beyond},
};

// 64-bit FNV-1a over the outputs' bits.
class Digest {
public:
    void add(float v)
    {
        const auto bits = std::bit_cast<std::uint32_t>(v);
        for (int i = 0; i < 4; ++i) {
            h_ = (h_ ^ ((bits >> (8 * i)) & 0xffu)) * 0x100000001b3u;
        }
    }
    std::uint64_t value() const { return h_; }

private:
    std::uint64_t h_ = 0xcbf29ce484222325u;
};

// Noise bursts of 0.3 s, one a second, with silence between them in which
// the tails decay.
void render(const LV2_Descriptor* d, const Render& r)
{
    PluginHost host(d, r.rate);
    host.activate();
    Source src(0x9e3779b9u);
    const auto second = static_cast<std::uint64_t>(r.rate);
    const std::uint64_t total = second * r.seconds;
    std::vector<float> in;
    std::vector<float> out_1;
    std::vector<float> out_2;
    Digest digest;
    std::uint64_t calls = 0;
    for (std::uint64_t at = 0; at < total;) {
        r.move(src, host, at, total);
        const std::uint64_t n = std::min<std::uint64_t>(r.blocks[src.below(static_cast<std::uint32_t>(r.block_count))],
                                                        total - at);
        in.resize(n);
        out_1.resize(n);
        out_2.resize(n);
        for (std::uint64_t i = 0; i < n; ++i) {
            in[i] = (at + i) % second < second * 3 / 10 ? src.between(-0.5f, 0.5f) : 0.0f;
        }
        float* o1 = r.in_place ? in.data() : out_1.data();
        host.run(in.data(), o1, out_2.data(), static_cast<std::uint32_t>(n));
        ++calls;
        for (std::uint64_t i = 0; i < n; ++i) {
            digest.add(o1[i]);
            digest.add(out_2[i]);
            if ((at + i + 1) % second == 0) {
                std::printf("%s second %llu: %016llx\n", r.name, static_cast<unsigned long long>((at + i) / second),
                            static_cast<unsigned long long>(digest.value()));
                digest = Digest();
            }
        }
        at += n;
    }
    std::printf("# %s: %llu run calls\n", r.name, static_cast<unsigned long long>(calls));
}

} // namespace
} // namespace zq_test

int main(int argc, char** argv)
{
    using namespace zq_test;
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s LIBRARY\n", argv[0]);
        return 2;
    }
#if defined(__x86_64__)
    std::printf("# x86-64, fma %s, avx512f %s\n", __builtin_cpu_supports("fma") ? "yes" : "no",
                __builtin_cpu_supports("avx512f") ? "yes" : "no");
#elif defined(__aarch64__)
    std::printf("# aarch64\n");
#endif
    const LV2_Descriptor* d = load_descriptor(argv[1]);
    bool same = true;
    for (const char* name : kVectorNames) {
        const VectorRun v = load_vector(name);
        PluginHost host(d, v.rate);
        const std::vector<float> out = replay(v, host);
        const std::size_t at = first_difference(out, v.expected);
        if (at == v.expected.size() && !v.expected.empty()) {
            std::printf("%s: identical to its recording\n", name);
        } else {
            std::printf("%s: DIFFERS from its recording at sample %zu, out_%zu\n", name, at / 2, at % 2 + 1);
            same = false;
        }
    }
    for (const Render& r : kRenders) {
        render(d, r);
    }
    return same ? 0 : 1;
}
