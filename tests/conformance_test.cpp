// The recorded runs, replayed through the built bundle as a host drives it:
// every output sample must match bit for bit.

#include <gtest/gtest.h>

#include <vector>

#include "lilv_host.hpp"
#include "vector_script.hpp"

namespace zq_test {
namespace {

class LilvVectorHost : public VectorHost {
public:
    explicit LilvVectorHost(double rate) : plugin_(rate) {}
    void set_control(std::uint32_t port, float value) override { plugin_.set_control(port, value); }
    void activate() override { plugin_.activate(); }
    void deactivate() override { plugin_.deactivate(); }
    void run(const float* in, float* out_1, float* out_2, std::uint32_t count) override
    {
        plugin_.run_once(in, out_1, out_2, count);
    }

private:
    HostedPlugin plugin_;
};

class Conformance : public ::testing::TestWithParam<const char*> {};

TEST_P(Conformance, MatchesRecordedOutputBitForBit)
{
    const VectorRun v = load_vector(GetParam());
    ASSERT_FALSE(v.input.empty());
    ASSERT_EQ(v.expected.size(), 2 * v.input.size());
    LilvVectorHost host(v.rate);
    const std::vector<float> out = replay(v, host);
    ASSERT_EQ(out.size(), v.expected.size());
    const std::size_t at = first_difference(out, v.expected);
    EXPECT_EQ(at, out.size()) << "first differing sample " << at / 2 << " on out_" << at % 2 + 1;
}

INSTANTIATE_TEST_SUITE_P(Vectors, Conformance, ::testing::ValuesIn(kVectorNames));

} // namespace
} // namespace zq_test
