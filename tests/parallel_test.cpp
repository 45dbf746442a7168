// Instances share nothing that sounds: eight of them running on eight threads
// at once give exactly what each gives alone.

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "linked_host.hpp"
#include "test_signals.hpp"

namespace {

using namespace zq;

constexpr int kInstances = 8;
constexpr std::size_t kSamples = 48000;

// Renders one instance with its own controls, block pattern and input.
std::vector<float> render(int id)
{
    zq_test::LinkedHost host(44100.0 + 1000.0 * id);
    const auto k = static_cast<float>(id);
    const float controls[kPortCount] = {0, 0, 0, 50.0f + 40.0f * k, 30.0f + 9.0f * k, -6, -80.0f + 20.0f * k,
                                        70.0f - 15.0f * k, 10.0f * k, 60.0f + 4.0f * k, 3000.0f + 500.0f * k,
                                        10.0f + 30.0f * k};
    for (std::uint32_t p = kFirstControl; p < kPortCount; ++p) {
        host.set_control(p, controls[p]);
    }
    const std::vector<float> in = zq_test::noise(kSamples, 0.5f, static_cast<unsigned>(id));
    const std::size_t block = 17 + 61 * static_cast<std::size_t>(id);
    // A glide half way.
    std::vector<float> out = host.render({in.begin(), in.begin() + kSamples / 2}, block);
    host.set_control(kDelayMs, 0.5f * controls[kDelayMs]);
    const std::vector<float> rest = host.render({in.begin() + kSamples / 2, in.end()}, block);
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

TEST(ParallelInstances, EightThreadsGiveWhatEachGivesAlone)
{
    std::vector<std::vector<float>> alone;
    for (int id = 0; id < kInstances; ++id) {
        alone.push_back(render(id));
    }
    std::vector<std::vector<float>> together(kInstances);
    std::vector<std::thread> threads;
    for (int id = 0; id < kInstances; ++id) {
        threads.emplace_back([id, &together] { together[id] = render(id); });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (int id = 0; id < kInstances; ++id) {
        ASSERT_EQ(together[id].size(), alone[id].size());
        EXPECT_EQ(std::memcmp(together[id].data(), alone[id].data(), alone[id].size() * sizeof(float)), 0)
            << "instance " << id;
    }
    EXPECT_NE(alone[0], alone[1]) << "the instances do differ";
}

} // namespace
