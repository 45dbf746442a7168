// The recorded runs, replayed through the built bundle as a host drives it:
// every output sample must match bit for bit.

#include <gtest/gtest.h>

#include <vector>

#include "lilv_host.hpp"
#include "vector_script.hpp"

namespace zq_test {
namespace {

class Conformance : public ::testing::TestWithParam<const char*> {};

TEST_P(Conformance, MatchesRecordedOutputBitForBit)
{
    const VectorRun v = load_vector(GetParam());
    ASSERT_FALSE(v.input.empty());
    ASSERT_EQ(v.expected.size(), 2 * v.input.size());
    HostedPlugin host(v.rate);
    const std::vector<float> out = replay(v, host);
    ASSERT_EQ(out.size(), v.expected.size());
    const std::size_t at = first_difference(out, v.expected);
    EXPECT_EQ(at, out.size()) << "first differing sample " << at / 2 << " on out_" << at % 2 + 1;
}

INSTANTIATE_TEST_SUITE_P(Vectors, Conformance, ::testing::ValuesIn(kVectorNames));

} // namespace
} // namespace zq_test
