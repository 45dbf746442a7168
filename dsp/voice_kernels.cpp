#include "dsp/voice_kernels.hpp"

#include <initializer_list>

#include "dsp/delay_engine.hpp"

namespace zq::voice_kernels {

namespace {

bool probe_cpu(Isa isa)
{
#if defined(__x86_64__)
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    switch (isa) {
    case Isa::kBaseline: return true;
    case Isa::kAvx2: return avx2;
    case Isa::kAvx512:
        return avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("avx512vl");
    case Isa::kNeon: return false;
    }
    return false;
#elif defined(__aarch64__)
    return isa == Isa::kBaseline || isa == Isa::kNeon;
#else
    return isa == Isa::kBaseline;
#endif
}

// What the processor has, asked once when the library is loaded.
const bool kHas[kIsaCount] = {probe_cpu(Isa::kBaseline), probe_cpu(Isa::kAvx2), probe_cpu(Isa::kAvx512),
                              probe_cpu(Isa::kNeon)};

bool cpu_has(Isa isa) { return kHas[static_cast<int>(isa)]; }

const Kernels& kernels_for(Isa isa)
{
    switch (cpu_has(isa) ? isa : Isa::kBaseline) {
#if defined(__x86_64__)
    case Isa::kAvx512: return kAvx512Kernels;
    case Isa::kAvx2: return kAvx2Kernels;
#elif defined(__aarch64__)
    case Isa::kNeon: return kNeonKernels;
#endif
    default: return kBaselineKernels;
    }
}

// ZQ_WIDEST_ISA caps the choice at build time, for timing a narrower build
// on a wider processor.
Isa widest_isa()
{
#if defined(__aarch64__)
    return Isa::kNeon;
#else
    Isa widest = Isa::kBaseline;
    for (const Isa isa : {Isa::kAvx2, Isa::kAvx512}) {
#if defined(ZQ_WIDEST_ISA)
        if (static_cast<int>(isa) > static_cast<int>(Isa::ZQ_WIDEST_ISA)) {
            break;
        }
#endif
        if (cpu_has(isa)) {
            widest = isa;
        }
    }
    return widest;
#endif
}

// Chosen once when the library is loaded, before any instance exists.
const Isa kLoadTimeIsa = widest_isa();

#if defined(ZQ_TEST_ROUTES)
// The counted routes, for tests; never the plug-in's own.
RouteCounts counts;
const Kernels* selected = &kernels_for(kLoadTimeIsa);

void counted_run(DelayEngine& e, const ChunkParams& p, const float* in, float* out_1, float* out_2,
                 std::uint32_t count)
{
    ++counts.partial_runs;
    selected->run(e, p, in, out_1, out_2, count);
}

ChunkTally counted_chunks_fast(DelayEngine& e, const ChunkParams* params, const float* in, float* out_1,
                               float* out_2, std::uint32_t chunks)
{
    const ChunkTally tally = selected->chunks(e, params, in, out_1, out_2, chunks);
    counts.pipelined_chunks += tally.pipelined;
    counts.staged_chunks += tally.staged;
    counts.per_sample_chunks += chunks - tally.pipelined - tally.staged;
    return tally;
}

ChunkTally counted_chunks_reference(DelayEngine& e, const ChunkParams* params, const float* in, float* out_1,
                                    float* out_2, std::uint32_t chunks)
{
    for (std::uint32_t k = 0; k < chunks; ++k) {
        const std::size_t at = std::size_t{k} * DelayEngine::kChunk;
        selected->run(e, params != nullptr ? params[k] : e.chunk_params(), in + at, out_1 + at, out_2 + at,
                      DelayEngine::kChunk);
        ++counts.per_sample_chunks;
    }
    return {};
}

const Kernels kCountedFast = {counted_run, counted_chunks_fast};
const Kernels kCountedReference = {counted_run, counted_chunks_reference};

const Kernels* route = &kernels_for(kLoadTimeIsa);
#else
const Kernels& kLoadTime = kernels_for(kLoadTimeIsa);
#endif

} // namespace

#if defined(ZQ_TEST_ROUTES)
const Kernels& active() { return *route; }

Isa active_isa() { return kLoadTimeIsa; }

bool isa_available(Isa isa) { return cpu_has(isa); }

const char* isa_name(Isa isa)
{
    switch (isa) {
    case Isa::kBaseline: return "baseline";
    case Isa::kAvx2: return "avx2";
    case Isa::kAvx512: return "avx512";
    case Isa::kNeon: return "neon";
    }
    return "?";
}

void run_reference(Isa isa, DelayEngine& e, const float* in, float* out_1, float* out_2, std::uint32_t count)
{
    kernels_for(isa).run(e, e.chunk_params(), in, out_1, out_2, count);
}

bool run_chunk(Isa isa, DelayEngine& e, const float* in, float* out_1, float* out_2)
{
    const ChunkTally t = kernels_for(isa).chunks(e, nullptr, in, out_1, out_2, 1);
    return t.pipelined + t.staged != 0;
}

ChunkTally run_chunks(Isa isa, DelayEngine& e, const float* in, float* out_1, float* out_2, std::uint32_t chunks,
                      const ChunkParams* params)
{
    return kernels_for(isa).chunks(e, params, in, out_1, out_2, chunks);
}

bool select_route(Isa isa, Path path)
{
    if (!cpu_has(isa)) {
        return false;
    }
    selected = &kernels_for(isa);
    route = path == Path::kFast ? &kCountedFast : &kCountedReference;
    return true;
}

void select_load_time_route()
{
    selected = &kernels_for(kLoadTimeIsa);
    route = selected;
}

RouteCounts route_counts() { return counts; }

void reset_route_counts() { counts = RouteCounts{}; }
#else
const Kernels& active() { return kLoadTime; }
#endif

} // namespace zq::voice_kernels
