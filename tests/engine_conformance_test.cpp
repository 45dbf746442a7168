// The recorded runs through the plug-in's descriptor, linked in: the same
// bits from every build of the voice this processor can run (baseline, FMA,
// AVX-512), and on every architecture the tests are built for. Then through
// the library file itself, opened as a host opens it: the one in the built
// bundle, or another copy named by ZQ_PLUGIN_SO (a packaged one, say, built
// with a device toolchain's flags).

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
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
    for (const vk::Isa isa : {vk::Isa::kBaseline, vk::Isa::kFma, vk::Isa::kAvx512}) {
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

TEST_P(EngineConformance, TheLibraryFileMatchesBitForBit)
{
    const char* named = std::getenv("ZQ_PLUGIN_SO");
    const std::string path = named != nullptr ? named : ZQ_PLUGIN_LIBRARY;
    const VectorRun v = load_vector(GetParam());
    PluginHost host(load_descriptor(path.c_str()), v.rate);
    const std::vector<float> out = replay(v, host);
    const std::size_t at = first_difference(out, v.expected);
    EXPECT_EQ(at, v.expected.size()) << path << ": first differing sample " << at / 2 << " on out_" << at % 2 + 1;
}

INSTANTIATE_TEST_SUITE_P(Vectors, EngineConformance, ::testing::ValuesIn(kVectorNames));

} // namespace
} // namespace zq_test
