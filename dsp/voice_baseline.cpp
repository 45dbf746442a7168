// The voice for the target's baseline instruction set: per sample only.

#include "dsp/voice_build.hpp"

namespace zq::voice_kernels {

const Kernels kBaselineKernels = {run_samples, run_many};

} // namespace zq::voice_kernels
