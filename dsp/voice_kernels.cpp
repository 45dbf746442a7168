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

void counted_run(DelayEngine& e, const float* in, float* out_1, float* out_2, std::uint32_t count)
{
    ++counts.partial_runs;
    selected->run(e, in, out_1, out_2, count);
}

bool counted_chunk_fast(DelayEngine& e, const float* in, float* out_1, float* out_2)
{
    const bool staged = selected->chunk(e, in, out_1, out_2);
    ++(staged ? counts.staged_chunks : counts.per_sample_chunks);
    return staged;
}

bool counted_chunk_reference(DelayEngine& e, const float* in, float* out_1, float* out_2)
{
    ++counts.per_sample_chunks;
    selected->run(e, in, out_1, out_2, DelayEngine::kChunk);
    return false;
}

ChunkTally counted_chunks_fast(DelayEngine& e, const float* in, float* out_1, float* out_2, std::uint32_t chunks)
{
    const ChunkTally tally = selected->chunks(e, in, out_1, out_2, chunks);
    counts.pipelined_chunks += tally.pipelined;
    counts.staged_chunks += tally.staged;
    counts.per_sample_chunks += chunks - tally.pipelined - tally.staged;
    return tally;
}

ChunkTally counted_chunks_reference(DelayEngine& e, const float* in, float* out_1, float* out_2,
                                    std::uint32_t chunks)
{
    for (std::size_t at = 0; at < std::size_t{chunks} * DelayEngine::kChunk; at += DelayEngine::kChunk) {
        counted_chunk_reference(e, in + at, out_1 + at, out_2 + at);
    }
    return {};
}

const Kernels kCountedFast = {counted_run, counted_chunk_fast, counted_chunks_fast};
const Kernels kCountedReference = {counted_run, counted_chunk_reference, counted_chunks_reference};

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
    kernels_for(isa).run(e, in, out_1, out_2, count);
}

bool run_chunk(Isa isa, DelayEngine& e, const float* in, float* out_1, float* out_2)
{
    return kernels_for(isa).chunk(e, in, out_1, out_2);
}

ChunkTally run_chunks(Isa isa, DelayEngine& e, const float* in, float* out_1, float* out_2, std::uint32_t chunks)
{
    return kernels_for(isa).chunks(e, in, out_1, out_2, chunks);
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
