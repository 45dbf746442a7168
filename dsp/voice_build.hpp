#pragma once

// The kernels of one instruction-set build, for the translation unit of that
// build (dsp/voice_<isa>.cpp) to put into its table; ZQ_LANES names its lane
// layer, or nothing for a per-sample build. Everything here has internal
// linkage and every kernel has all it calls inlined into it (flatten), so
// no copy of a function compiled for a wider instruction set can be merged
// with the baseline's at link time.

#include "dsp/voice.hpp"
#include "dsp/voice_kernels.hpp"
#if defined(ZQ_LANES)
#include "dsp/voice_pipeline.hpp"
#endif

namespace zq::voice_kernels {
namespace {

// Out of line: the chunk kernel calls it for the chunks it cannot stage, and
// its hot loop stays small.
__attribute__((flatten, noinline)) void run_samples(DelayEngine& e, const ChunkParams& p, const float* in,
                                                    float* out_1, float* out_2, std::uint32_t count)
{
    voice_run(e, p, in, out_1, out_2, count);
}

__attribute__((flatten)) ChunkTally run_many(DelayEngine& e, const ChunkParams* params, const float* in,
                                             float* out_1, float* out_2, std::uint32_t chunks)
{
#if defined(ZQ_LANES)
    return run_chunks<ZQ_LANES>(e, params, in, out_1, out_2, chunks, run_samples);
#else
    for (std::uint32_t k = 0; k < chunks; ++k) {
        const std::size_t at = std::size_t{k} * DelayEngine::kChunk;
        run_samples(e, params != nullptr ? params[k] : e.chunk_params(), in + at, out_1 + at, out_2 + at,
                    DelayEngine::kChunk);
    }
    return {};
#endif
}

} // namespace
} // namespace zq::voice_kernels
