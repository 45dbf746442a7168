// The voice's builds as the library picks them: the widest the processor
// has, and a baseline build that never stages a chunk.

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "dsp/delay_engine.hpp"
#include "dsp/voice_kernels.hpp"
#include "test_signals.hpp"

namespace zq {
namespace {

namespace vk = voice_kernels;

TEST(VoiceKernels, ActiveBuildIsTheWidestTheProcessorHas)
{
    EXPECT_TRUE(vk::isa_available(vk::Isa::kBaseline));
#if defined(__x86_64__)
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                        __builtin_cpu_supports("avx512vl");
    EXPECT_EQ(vk::isa_available(vk::Isa::kAvx2), avx2);
    EXPECT_EQ(vk::isa_available(vk::Isa::kAvx512), avx512);
    EXPECT_FALSE(vk::isa_available(vk::Isa::kNeon));
    EXPECT_EQ(vk::active_isa(), avx512 ? vk::Isa::kAvx512 : avx2 ? vk::Isa::kAvx2 : vk::Isa::kBaseline);
#elif defined(__aarch64__)
    EXPECT_TRUE(vk::isa_available(vk::Isa::kNeon));
    EXPECT_EQ(vk::active_isa(), vk::Isa::kNeon);
#else
    EXPECT_EQ(vk::active_isa(), vk::Isa::kBaseline);
#endif
    std::printf("voice build in use: %s\n", vk::isa_name(vk::active_isa()));
}

TEST(VoiceKernels, BaselineChunkNeverStages)
{
    auto e = std::make_unique<DelayEngine>();
    const std::vector<float> in = zq_test::noise(16 * 64, 0.5f, 1);
    std::vector<float> o1(in.size()), o2(in.size());
    for (int i = 0; i < 300; ++i) {
        EXPECT_FALSE(vk::run_chunk(vk::Isa::kBaseline, *e, in.data(), o1.data(), o2.data()));
        const vk::ChunkTally t = vk::run_chunks(vk::Isa::kBaseline, *e, in.data(), o1.data(), o2.data(), 64);
        EXPECT_EQ(t.pipelined + t.staged, 0u);
    }
}

} // namespace
} // namespace zq
