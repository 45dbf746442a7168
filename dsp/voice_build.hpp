#pragma once

// The kernels of one instruction-set build, for the translation unit of that
// build (dsp/voice_<isa>.cpp) to put into its table. Everything here has
// internal linkage, and every kernel has all it calls inlined into it
// (flatten), so no copy of an inline function compiled for a wider
// instruction set can be merged with the baseline's at link time.

#include "dsp/voice.hpp"
#include "dsp/voice_kernels.hpp"
#if defined(ZQ_LANES)
#include "dsp/fast_voice.hpp"
#endif

namespace zq::voice_kernels {
namespace {

__attribute__((flatten)) void run_samples(DelayEngine& e, const float* in, float* out_1, float* out_2,
                                          std::uint32_t count)
{
    voice_run(e, in, out_1, out_2, count);
}

// Kept out of line: the many-chunk kernel calls it for the chunks a
// pipelined run leaves, and its hot loop stays small.
__attribute__((flatten, noinline)) bool run_one_chunk(DelayEngine& e, const float* in, float* out_1, float* out_2)
{
#if defined(ZQ_LANES)
    if (staged_chunk<ZQ_LANES>(e, in, out_1, out_2)) {
        return true;
    }
#endif
    voice_run(e, in, out_1, out_2, DelayEngine::kChunk);
    return false;
}

// Pipelined runs where the line is steady, one chunk at a time where a run
// cannot go on. A run that stops where the read position wraps is taken up
// again after that chunk; any other stop (a glide, taps close to the write,
// non-finite values) holds for the rest of the call.
__attribute__((flatten)) ChunkTally run_many_chunks(DelayEngine& e, const float* in, float* out_1, float* out_2,
                                                    std::uint32_t chunks)
{
    ChunkTally tally;
    std::uint32_t k = 0;
    bool steady = true;
    while (k < chunks) {
        std::size_t at = std::size_t{k} * DelayEngine::kChunk;
#if defined(ZQ_LANES)
        if (steady) {
            const std::uint32_t n = steady_chunks<ZQ_LANES>(e, in + at, out_1 + at, out_2 + at, chunks - k);
            steady = !steady_read(e.delay_line.read_pos);
            tally.pipelined += n;
            k += n;
        }
#endif
        if (k < chunks) {
            at = std::size_t{k} * DelayEngine::kChunk;
            tally.staged += run_one_chunk(e, in + at, out_1 + at, out_2 + at) ? 1 : 0;
            ++k;
        }
    }
    (void)steady;
    return tally;
}

} // namespace
} // namespace zq::voice_kernels
