#include "dsp/voice.hpp"

// The kernels below hand vector values between inline functions of one
// instruction set; all of it is inlined, so no call uses the changed ABI.
#pragma GCC diagnostic ignored "-Wpsabi"
#if !defined(__clang__)
// GCC 12 reports the AVX-512 intrinsics' own "undefined register" idiom
// (a variable initialised from itself) as maybe uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// ZQ_NO_STAGED_VOICE leaves the staged chunk out (every chunk runs sample by
// sample, bit for bit the same): for the coverage-instrumented fuzzing build,
// whose compiler does not take the staged form's intrinsics.
#if !defined(ZQ_NO_STAGED_VOICE)
#include "dsp/fast_voice.hpp"
#endif
#include "dsp/voice_kernels.hpp"

namespace zq {

namespace {

#if defined(ZQ_NO_STAGED_VOICE) && defined(__x86_64__)
struct AvxLanes;
struct Avx512Lanes;
#endif

using RunKernel = void (*)(DelayEngine&, const float*, float*, float*, std::uint32_t);
using ChunkKernel = bool (*)(DelayEngine&, const float*, float*, float*);
using voice_kernels::ChunkTally;
using ChunksKernel = ChunkTally (*)(DelayEngine&, const float*, float*, float*, std::uint32_t);

// Each kernel has everything it runs inlined into it (flatten), compiled for
// its instruction set: the fused multiply-adds of the FMA builds become single
// instructions while the baseline build calls the C library's correctly
// rounded fma, the same bits either way. Nothing a kernel calls is left out of
// line, so no FMA- or AVX-512-compiled copy of an inline function can stand in
// for the baseline's at link time.

__attribute__((flatten)) void reference_baseline(DelayEngine& e, const float* in, float* out_1, float* out_2,
                                                 std::uint32_t count)
{
    voice_run(e, in, out_1, out_2, count);
}

__attribute__((flatten)) bool chunk_baseline(DelayEngine& e, const float* in, float* out_1, float* out_2)
{
    voice_run(e, in, out_1, out_2, DelayEngine::kChunk);
    return false;
}

__attribute__((flatten)) ChunkTally chunks_baseline(DelayEngine& e, const float* in, float* out_1, float* out_2,
                                                    std::uint32_t chunks)
{
    for (std::size_t at = 0; at < std::size_t{chunks} * DelayEngine::kChunk; at += DelayEngine::kChunk) {
        voice_run(e, in + at, out_1 + at, out_2 + at, DelayEngine::kChunk);
    }
    return {};
}

#if defined(__x86_64__)
// Whole chunks with the parameters held throughout: pipelined runs where the
// line is steady, and one chunk at a time (the `chunk` kernel of the same
// build, kept out of line so that the hot loop stays small) where a run
// cannot go on. The pipelined run is called
// directly, so that the flattened kernel inlines all of it. A run that stops
// where the read position wraps is taken up again after that chunk; any
// other stop (a glide, taps close to the write, non-finite values) holds for
// the rest of the call, and the next call tries again.
template <class L>
inline ChunkTally chunks_with(DelayEngine& e, const float* in, float* out_1, float* out_2, std::uint32_t chunks,
                              ChunkKernel chunk)
{
    ChunkTally tally;
    std::uint32_t k = 0;
    bool steady = true;
    while (k < chunks) {
        std::size_t at = std::size_t{k} * DelayEngine::kChunk;
        if (steady) {
#if !defined(ZQ_NO_STAGED_VOICE)
            const std::uint32_t n = steady_chunks<L>(e, in + at, out_1 + at, out_2 + at, chunks - k);
            steady = !steady_read(e.delay_line.read_pos);
#else
            const std::uint32_t n = 0;
            steady = false;
#endif
            tally.pipelined += n;
            k += n;
        }
        if (k < chunks) {
            at = std::size_t{k} * DelayEngine::kChunk;
            tally.staged += chunk(e, in + at, out_1 + at, out_2 + at) ? 1 : 0;
            ++k;
        }
    }
    return tally;
}

__attribute__((target("fma"), flatten)) void reference_fma(DelayEngine& e, const float* in, float* out_1,
                                                           float* out_2, std::uint32_t count)
{
    voice_run(e, in, out_1, out_2, count);
}

__attribute__((target("fma"), flatten, noinline)) bool chunk_fma(DelayEngine& e, const float* in, float* out_1,
                                                                 float* out_2)
{
#if !defined(ZQ_NO_STAGED_VOICE)
    if (staged_chunk<AvxLanes>(e, in, out_1, out_2)) {
        return true;
    }
#endif
    voice_run(e, in, out_1, out_2, DelayEngine::kChunk);
    return false;
}

__attribute__((target("fma"), flatten)) ChunkTally chunks_fma(DelayEngine& e, const float* in, float* out_1,
                                                             float* out_2, std::uint32_t chunks)
{
    return chunks_with<AvxLanes>(e, in, out_1, out_2, chunks, chunk_fma);
}

#define ZQ_AVX512 "avx512f,avx512dq,avx512vl,fma"

__attribute__((target(ZQ_AVX512), flatten)) void reference_avx512(DelayEngine& e, const float* in, float* out_1,
                                                                  float* out_2, std::uint32_t count)
{
    voice_run(e, in, out_1, out_2, count);
}

__attribute__((target(ZQ_AVX512), flatten, noinline)) bool chunk_avx512(DelayEngine& e, const float* in,
                                                                        float* out_1, float* out_2)
{
#if !defined(ZQ_NO_STAGED_VOICE)
    if (staged_chunk<Avx512Lanes>(e, in, out_1, out_2)) {
        return true;
    }
#endif
    voice_run(e, in, out_1, out_2, DelayEngine::kChunk);
    return false;
}

__attribute__((target(ZQ_AVX512), flatten)) ChunkTally chunks_avx512(DelayEngine& e, const float* in, float* out_1,
                                                                    float* out_2, std::uint32_t chunks)
{
    return chunks_with<Avx512Lanes>(e, in, out_1, out_2, chunks, chunk_avx512);
}

#undef ZQ_AVX512
#endif

using voice_kernels::Isa;

bool probe_cpu(Isa isa)
{
#if defined(__x86_64__)
    __builtin_cpu_init();
    const bool fma = __builtin_cpu_supports("fma") != 0;
    switch (isa) {
    case Isa::kBaseline: return true;
    case Isa::kFma: return fma;
    case Isa::kAvx512:
        return fma && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("avx512vl");
    }
    return false;
#else
    return isa == Isa::kBaseline;
#endif
}

// What the processor has, asked once when the library is loaded.
const bool kHas[voice_kernels::kIsaCount] = {probe_cpu(Isa::kBaseline), probe_cpu(Isa::kFma), probe_cpu(Isa::kAvx512)};

bool cpu_has(Isa isa) { return kHas[static_cast<int>(isa)]; }

struct Kernels {
    ChunkKernel chunk;   // one chunk: staged where possible
    ChunksKernel chunks; // chunks with the parameters held: pipelined where possible
    RunKernel reference; // voice_run: the 1..15-sample runs at block edges
};

Kernels kernels_for(Isa isa)
{
    switch (isa) {
#if defined(__x86_64__)
    case Isa::kAvx512: return {chunk_avx512, chunks_avx512, reference_avx512};
    case Isa::kFma: return {chunk_fma, chunks_fma, reference_fma};
#endif
    default: return {chunk_baseline, chunks_baseline, reference_baseline};
    }
}

Isa widest_isa()
{
    if (cpu_has(Isa::kAvx512)) {
        return Isa::kAvx512;
    }
    return cpu_has(Isa::kFma) ? Isa::kFma : Isa::kBaseline;
}

// Chosen once when the library is loaded, before any instance exists.
const Isa kLoadTimeIsa = widest_isa();
const Kernels kLoadTime = kernels_for(kLoadTimeIsa);

// What process_chunk and process_run call: the load-time kernels, or a
// counted route that tests select.
Kernels route = kLoadTime;

// The counted routes, for tests; never the plug-in's own.
voice_kernels::RouteCounts counts;
Kernels selected = kLoadTime;

bool counted_chunk_fast(DelayEngine& e, const float* in, float* out_1, float* out_2)
{
    const bool staged = selected.chunk(e, in, out_1, out_2);
    ++(staged ? counts.staged_chunks : counts.per_sample_chunks);
    return staged;
}

bool counted_chunk_reference(DelayEngine& e, const float* in, float* out_1, float* out_2)
{
    selected.reference(e, in, out_1, out_2, DelayEngine::kChunk);
    ++counts.per_sample_chunks;
    return false;
}

ChunkTally counted_chunks_fast(DelayEngine& e, const float* in, float* out_1, float* out_2, std::uint32_t chunks)
{
    const ChunkTally tally = selected.chunks(e, in, out_1, out_2, chunks);
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

void counted_run(DelayEngine& e, const float* in, float* out_1, float* out_2, std::uint32_t count)
{
    ++counts.partial_runs;
    selected.reference(e, in, out_1, out_2, count);
}

} // namespace

void DelayEngine::process_chunk(const float* in, float* out_1, float* out_2)
{
    route.chunk(*this, in, out_1, out_2);
}

void DelayEngine::process_chunks(const float* in, float* out_1, float* out_2, std::uint32_t chunks)
{
    route.chunks(*this, in, out_1, out_2, chunks);
}

void DelayEngine::process_run(const float* in, float* out_1, float* out_2, std::uint32_t count)
{
    route.reference(*this, in, out_1, out_2, count);
}

namespace voice_kernels {

Isa active_isa() { return kLoadTimeIsa; }

bool isa_available(Isa isa) { return cpu_has(isa); }

const char* isa_name(Isa isa)
{
    switch (isa) {
    case Isa::kBaseline: return "baseline";
    case Isa::kFma: return "fma";
    case Isa::kAvx512: return "avx512";
    }
    return "?";
}

void run_reference(Isa isa, DelayEngine& e, const float* in, float* out_1, float* out_2, std::uint32_t count)
{
    kernels_for(cpu_has(isa) ? isa : Isa::kBaseline).reference(e, in, out_1, out_2, count);
}

bool run_chunk(Isa isa, DelayEngine& e, const float* in, float* out_1, float* out_2)
{
    return kernels_for(cpu_has(isa) ? isa : Isa::kBaseline).chunk(e, in, out_1, out_2);
}

ChunkTally run_chunks(Isa isa, DelayEngine& e, const float* in, float* out_1, float* out_2, std::uint32_t chunks)
{
    return kernels_for(cpu_has(isa) ? isa : Isa::kBaseline).chunks(e, in, out_1, out_2, chunks);
}

bool select_route(Isa isa, Path path)
{
    if (!cpu_has(isa)) {
        return false;
    }
    selected = kernels_for(isa);
    if (path == Path::kFast) {
        route = {counted_chunk_fast, counted_chunks_fast, counted_run};
    } else {
        route = {counted_chunk_reference, counted_chunks_reference, counted_run};
    }
    return true;
}

void select_load_time_route()
{
    selected = kLoadTime;
    route = kLoadTime;
}

RouteCounts route_counts() { return counts; }

void reset_route_counts() { counts = RouteCounts{}; }

} // namespace voice_kernels

} // namespace zq
