// Instances share nothing that sounds: eight of them running on eight threads
// at once give exactly what each gives alone.

#include <gtest/gtest.h>
#include <lv2/core/lv2.h>

#include <array>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);

namespace {

constexpr int kInstances = 8;
constexpr std::size_t kSamples = 48000;

// Renders one instance with its own controls, block pattern and input.
std::vector<float> render(int id)
{
    const LV2_Descriptor* d = lv2_descriptor(0);
    LV2_Handle h = d->instantiate(d, 44100.0 + 1000.0 * id, nullptr, nullptr);
    const auto k = static_cast<float>(id);
    std::array<float, 12> controls = {0, 0, 0, 50.0f + 40.0f * k, 30.0f + 9.0f * k, -6, -80.0f + 20.0f * k,
                                      70.0f - 15.0f * k, 10.0f * k, 60.0f + 4.0f * k, 3000.0f + 500.0f * k,
                                      10.0f + 30.0f * k};
    for (std::uint32_t p = 3; p < 12; ++p) {
        d->connect_port(h, p, &controls[p]);
    }
    std::mt19937 rng(static_cast<unsigned>(id));
    std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
    std::vector<float> in(kSamples);
    for (float& x : in) {
        x = dist(rng);
    }
    std::vector<float> out(2 * kSamples);
    const std::size_t block = 17 + 61 * static_cast<std::size_t>(id);
    for (std::size_t at = 0; at < kSamples; at += block) {
        const std::size_t n = std::min(block, kSamples - at);
        if (at == kSamples / 2) {
            controls[3] *= 0.5f; // a glide half way
        }
        d->connect_port(h, 0, in.data() + at);
        d->connect_port(h, 1, out.data() + at);
        d->connect_port(h, 2, out.data() + kSamples + at);
        d->run(h, static_cast<std::uint32_t>(n));
    }
    d->cleanup(h);
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
