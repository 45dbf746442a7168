// The voice for x86-64 with AVX2 and FMA (compiled with -mavx2 -mfma).

#include "dsp/lanes_avx2.hpp"
#define ZQ_LANES Avx2Lanes
#include "dsp/voice_build.hpp"

namespace zq::voice_kernels {

const Kernels kAvx2Kernels = {run_samples, run_many};

} // namespace zq::voice_kernels
