#include "dsp/voice.hpp"

namespace zq {

namespace {

using VoiceKernel = void (*)(DelayEngine&, const float*, float*, float*, std::uint32_t);

// Each kernel has the whole voice inlined into it (flatten), so the fused
// multiply-adds of the FMA build become single instructions while the baseline
// build calls the C library's correctly rounded fma: the same bits either way.
__attribute__((flatten)) void voice_baseline(DelayEngine& e, const float* in, float* out_1, float* out_2,
                                             std::uint32_t count)
{
    voice_run(e, in, out_1, out_2, count);
}

#if defined(__x86_64__)
__attribute__((target("fma"), flatten)) void voice_fma(DelayEngine& e, const float* in, float* out_1,
                                                       float* out_2, std::uint32_t count)
{
    voice_run(e, in, out_1, out_2, count);
}
#endif

VoiceKernel pick_kernel()
{
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("fma")) {
        return voice_fma;
    }
#endif
    return voice_baseline;
}

// Chosen once when the library is loaded, before any instance exists.
const VoiceKernel kernel = pick_kernel();

} // namespace

void DelayEngine::process_chunk(const float* in, float* out_1, float* out_2)
{
    kernel(*this, in, out_1, out_2, kChunk);
}

void DelayEngine::process_run(const float* in, float* out_1, float* out_2, std::uint32_t count)
{
    kernel(*this, in, out_1, out_2, count);
}

} // namespace zq
