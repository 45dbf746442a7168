// The recorded runs through the plug-in's descriptor, linked in: the same
// bits from every build of the voice this processor can run (baseline, FMA,
// AVX-512), and on every architecture the tests are built for. Then through
// the library file itself, opened as a host opens it: the one in the built
// bundle, or another copy named by ZQ_PLUGIN_SO (a packaged one, say, built
// with a device toolchain's flags).

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <lv2/core/lv2.h>

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "dsp/voice_kernels.hpp"
#include "vector_script.hpp"

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

namespace zq_test {
namespace {

class DescriptorHost : public VectorHost {
public:
    DescriptorHost(const LV2_Descriptor* d, double rate) : d_(d), h_(d_->instantiate(d_, rate, nullptr, nullptr))
    {
        for (std::uint32_t p = 3; p < 12; ++p) {
            d_->connect_port(h_, p, &controls_[p]);
        }
    }
    ~DescriptorHost() override { d_->cleanup(h_); }
    DescriptorHost(const DescriptorHost&) = delete;
    DescriptorHost& operator=(const DescriptorHost&) = delete;

    void set_control(std::uint32_t port, float value) override { controls_[port] = value; }
    void activate() override { d_->activate(h_); }
    void deactivate() override { d_->deactivate(h_); }
    void run(const float* in, float* out_1, float* out_2, std::uint32_t count) override
    {
        d_->connect_port(h_, 0, const_cast<float*>(in));
        d_->connect_port(h_, 1, out_1);
        d_->connect_port(h_, 2, out_2);
        d_->run(h_, count);
    }

private:
    const LV2_Descriptor* d_;
    LV2_Handle h_;
    std::array<float, 12> controls_{};
};

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
            DescriptorHost host(lv2_descriptor(0), v.rate);
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
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    using Entry = const LV2_Descriptor* (*)(uint32_t);
    const auto entry = reinterpret_cast<Entry>(dlsym(library, "lv2_descriptor"));
    ASSERT_NE(entry, nullptr) << path;
    ASSERT_NE(entry, &lv2_descriptor) << "the linked-in copy answered for " << path;
    const VectorRun v = load_vector(GetParam());
    {
        DescriptorHost host(entry(0), v.rate);
        const std::vector<float> out = replay(v, host);
        const std::size_t at = first_difference(out, v.expected);
        EXPECT_EQ(at, v.expected.size())
            << path << ": first differing sample " << at / 2 << " on out_" << at % 2 + 1;
    }
    dlclose(library);
}

INSTANTIATE_TEST_SUITE_P(Vectors, EngineConformance, ::testing::ValuesIn(kVectorNames));

} // namespace
} // namespace zq_test
