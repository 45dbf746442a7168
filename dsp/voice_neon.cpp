// The voice for aarch64 with NEON, which every such processor has.

#include "dsp/lanes_neon.hpp"
#define ZQ_LANES NeonLanes
#include "dsp/voice_build.hpp"

namespace zq::voice_kernels {

const Kernels kNeonKernels = {run_samples, run_many};

} // namespace zq::voice_kernels
