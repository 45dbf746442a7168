// The voice for x86-64 with AVX-512 F, DQ and VL (compiled with -mavx512f
// -mavx512dq -mavx512vl -mavx2 -mfma).

#include "dsp/lanes_avx512.hpp"
#define ZQ_LANES Avx512Lanes
#include "dsp/voice_build.hpp"

namespace zq::voice_kernels {

const Kernels kAvx512Kernels = {run_samples, run_many};

} // namespace zq::voice_kernels
