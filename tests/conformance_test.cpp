// The recorded runs, replayed through the built bundle as a host drives it:
// every output sample must match bit for bit.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "lilv_host.hpp"
#include "vector_script.hpp"

namespace zq_test {
namespace {

constexpr float kVectorControls[kPortCount] = {0, 0, 0, 120, 100, -9, 0, 0, 66, 0, 6000, 10};

// Replays a script; returns the interleaved outputs of all calls.
std::vector<float> replay(const VectorRun& v)
{
    HostedPlugin host(v.rate);
    for (std::uint32_t p = kFirstControl; p < kPortCount; ++p) {
        host.set_control(p, kVectorControls[p]);
    }
    host.activate();
    std::vector<float> out;
    out.reserve(v.expected.size());
    std::size_t block = 64;
    bool inplace = false;
    std::size_t at = 0;
    std::vector<float> buf_in;
    std::vector<float> buf_1;
    std::vector<float> buf_2;
    for (const VectorCommand& c : v.commands) {
        switch (c.kind) {
        case VectorCommand::kSet: host.set_control(c.port, static_cast<float>(c.value)); break;
        case VectorCommand::kBlock: block = c.count; break;
        case VectorCommand::kInplace: inplace = c.count != 0; break;
        case VectorCommand::kActivate: host.activate(); break;
        case VectorCommand::kDeactivate: host.deactivate(); break;
        case VectorCommand::kRate: break;
        case VectorCommand::kRun:
            for (std::uint64_t done = 0; done < c.count;) {
                const std::size_t n = std::min<std::size_t>(block, c.count - done);
                // Fresh buffers per call, sized exactly: any access past the
                // block is a fault the sanitizer build reports.
                buf_in.assign(v.input.begin() + static_cast<std::ptrdiff_t>(at),
                              v.input.begin() + static_cast<std::ptrdiff_t>(at + n));
                buf_1.assign(n, 0.0f);
                buf_2.assign(n, 0.0f);
                float* out_1 = inplace ? buf_in.data() : buf_1.data();
                host.run_once(buf_in.data(), out_1, buf_2.data(), static_cast<std::uint32_t>(n));
                for (std::size_t i = 0; i < n; ++i) {
                    out.push_back(out_1[i]);
                    out.push_back(buf_2[i]);
                }
                at += n;
                done += n;
            }
            break;
        }
    }
    return out;
}

class Conformance : public ::testing::TestWithParam<const char*> {};

TEST_P(Conformance, MatchesRecordedOutputBitForBit)
{
    const VectorRun v = load_vector(GetParam());
    ASSERT_FALSE(v.input.empty());
    ASSERT_EQ(v.expected.size(), 2 * v.input.size());
    const std::vector<float> out = replay(v);
    ASSERT_EQ(out.size(), v.expected.size());
    std::size_t first_diff = out.size();
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (std::memcmp(&out[i], &v.expected[i], sizeof(float)) != 0) {
            first_diff = i;
            break;
        }
    }
    EXPECT_EQ(first_diff, out.size()) << "first differing sample " << first_diff / 2 << " on out_"
                                      << first_diff % 2 + 1 << ": got " << out[first_diff] << ", expected "
                                      << v.expected[first_diff];
}

INSTANTIATE_TEST_SUITE_P(Vectors, Conformance,
                         ::testing::Values("v01", "v02", "v03", "v04", "v05", "v06", "v07", "v08"));

} // namespace
} // namespace zq_test
