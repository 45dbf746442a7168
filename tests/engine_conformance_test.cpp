// The recorded runs through the plug-in's descriptor, linked in: the same
// bits from every build of the voice this processor can run (baseline, FMA,
// AVX-512, NEON), and on every architecture the tests are built for.

#include <gtest/gtest.h>

#include <vector>

#include "dsp/voice_kernels.hpp"
#include "linked_host.hpp"
#include "vector_script.hpp"

namespace zq_test {
namespace {

class EngineConformance : public ::testing::TestWithParam<const char*> {};

TEST_P(EngineConformance, EveryVoiceBuildMatchesBitForBit)
{
    const VectorRun v = load_vector(GetParam());
    ASSERT_EQ(v.expected.size(), 2 * v.input.size());
    namespace vk = zq::voice_kernels;
    int builds = 0;
    for (const vk::Isa isa : {vk::Isa::kBaseline, vk::Isa::kAvx2, vk::Isa::kAvx512, vk::Isa::kNeon}) {
        for (const vk::Path path : {vk::Path::kReference, vk::Path::kFast}) {
            if (!vk::select_route(isa, path)) {
                continue; // not on this processor
            }
            ++builds;
            LinkedHost host(v.rate);
            const std::vector<float> out = replay(v, host);
            const std::size_t at = first_difference(out, v.expected);
            EXPECT_EQ(at, v.expected.size())
                << vk::isa_name(isa) << (path == vk::Path::kFast ? " staged" : " per-sample")
                << ": first differing sample " << at / 2 << " on out_" << at % 2 + 1;
        }
    }
    vk::select_load_time_route();
    EXPECT_GE(builds, 2);
}

INSTANTIATE_TEST_SUITE_P(Vectors, EngineConformance, ::testing::ValuesIn(kVectorNames));

} // namespace
} // namespace zq_test
