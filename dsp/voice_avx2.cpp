// The voice for x86-64 with AVX2 and FMA (compiled with -mavx2 -mfma).

#define ZQ_LANES AvxLanes
#include "dsp/voice_build.hpp"

namespace zq::voice_kernels {

const Kernels kAvx2Kernels = {run_samples, run_one_chunk, run_many_chunks};

} // namespace zq::voice_kernels
