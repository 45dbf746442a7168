// The voice's builds timed on a bare engine (no plug-in shell around it):
// what process_chunk and process_chunks run against the per-sample voice, in
// every build the processor has (baseline, AVX2, AVX-512, NEON). Complements
// plugin_bench, which times what a host sees.

#include <benchmark/benchmark.h>
#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "dsp/delay_engine.hpp"
#include "dsp/voice_kernels.hpp"
#include "bench_support.hpp"

namespace {

namespace vk = zq::voice_kernels;
using zq_bench::thread_seconds;

constexpr std::uint32_t kChunk = zq::DelayEngine::kChunk;
constexpr std::uint32_t kIterSamples = 4096;

// chunk: what process_chunk runs (staged where possible); chunks: what
// process_chunks runs (pipelined) over 256 chunks at a time, or 32 where
// the case moves; reference: voice_run as compiled for the build.
enum Path : int { kChunkPath = 0, kChunksPath, kReference, kPathCount };
const char* const kPathNames[] = {"chunk", "chunks", "reference"};

// glide: the delay moves between 200 and 300 ms every 12000 samples, so the
// read position glides nearly all the time; ratio: the tap ratio's target
// moves with every host block, so the smoother never rests.
enum Case : int { kSettled = 0, kGlide, kShort, kRatio, kCaseCount };
const char* const kCaseNames[] = {"settled", "glide", "short", "ratio"};
constexpr std::uint32_t kMovingBlock = 512;

// A triangle between 0.2 and 0.8 over 9600 samples.
float ratio_at(std::uint64_t pos)
{
    const double ph = static_cast<double>(pos % 9600) / 9600.0;
    return static_cast<float>(0.2 + 0.6 * (ph < 0.5 ? 2.0 * ph : 2.0 - 2.0 * ph));
}

void BM_Voice(benchmark::State& state)
{
    const auto path = static_cast<Path>(state.range(0));
    const auto which = static_cast<Case>(state.range(1));
    const auto isa = static_cast<vk::Isa>(state.range(2));
    if (!vk::isa_available(isa)) {
        state.SkipWithError("the processor lacks this build");
        return;
    }
    auto e = std::make_unique<zq::DelayEngine>();
    e->set_delay_ms(which == kShort ? 0.3f : 250.0f);
    e->set_tap_ratio(0.5f);
    e->set_feedback(0.6f);
    e->set_diffusion(0.66f);
    std::vector<float> in(1u << 16);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (float& x : in) {
        x = dist(rng);
    }
    std::vector<float> o1(kIterSamples), o2(kIterSamples);
    std::size_t at = 0;
    std::uint64_t pos = 0;
    std::uint64_t staged = 0;
    std::uint64_t chunks = 0;
    // Moving cases call the chunks path in a host's blocks, settled ones in
    // long runs; the other paths go chunk by chunk.
    const std::uint32_t call = path != kChunksPath                     ? kChunk
                               : which == kGlide || which == kRatio ? kMovingBlock
                                                                     : kIterSamples;
    auto block = [&] {
        for (std::uint32_t i = 0; i < kIterSamples; i += call) {
            if (which == kGlide && pos % 12000 < call) {
                e->set_delay_ms((pos / 12000) % 2 == 0 ? 200.0f : 300.0f);
            }
            if (which == kRatio && pos % kMovingBlock == 0) {
                e->set_tap_ratio(ratio_at(pos));
            }
            const float* src = in.data() + at;
            switch (path) {
            case kChunkPath: staged += vk::run_chunk(isa, *e, src, o1.data() + i, o2.data() + i) ? 1 : 0; break;
            case kChunksPath: {
                const vk::ChunkTally t = vk::run_chunks(isa, *e, src, o1.data() + i, o2.data() + i, call / kChunk);
                staged += t.pipelined + t.staged;
                break;
            }
            case kReference:
            case kPathCount: vk::run_reference(isa, *e, src, o1.data() + i, o2.data() + i, kChunk); break;
            }
            at = (at + call) % in.size();
            pos += call;
            chunks += call / kChunk;
        }
    };
    // Past the start-up glide and the smoother's approach.
    for (int i = 0; i < 4 * 48000 / static_cast<int>(kIterSamples); ++i) {
        block();
    }
    staged = 0;
    chunks = 0;
    const double t0 = thread_seconds();
    for (auto _ : state) {
        block();
        benchmark::DoNotOptimize(o1.data());
    }
    const double t = thread_seconds() - t0;
    const double samples = static_cast<double>(state.iterations()) * kIterSamples;
    state.counters["ns_per_sample"] = t / samples * 1e9;
    state.counters["staged_pct"] = 100.0 * static_cast<double>(staged) / static_cast<double>(chunks);
    state.SetLabel(std::string(kCaseNames[which]) + "/" + vk::isa_name(isa) + "/" + kPathNames[path]);
}

void register_all()
{
    for (int c = 0; c < kCaseCount; ++c) {
        for (int isa = 0; isa < vk::kIsaCount; ++isa) {
            for (int p = 0; p < kPathCount; ++p) {
                const std::string name = std::string("voice/") + kCaseNames[c] + "/" +
                                         vk::isa_name(static_cast<vk::Isa>(isa)) + "/" + kPathNames[p];
                benchmark::RegisterBenchmark(name.c_str(), BM_Voice)->Args({p, c, isa})->Unit(benchmark::kMicrosecond);
            }
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
#if defined(__x86_64__)
    // The floating-point mode the plug-in's run puts the audio thread in:
    // flush to zero, denormals are zero, round to nearest.
    _mm_setcsr(0x9FC0);
#endif
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
