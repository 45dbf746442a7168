// Drives the built plug-in the way an LV2 host does: dlopen() of the bundle's
// library, lv2_descriptor(0), instantiate at 48 kHz, connect_port for all
// twelve ports, activate, then run() with noise at a given block size while
// the control ports hold still or move between calls.
//
// Counters (per benchmark; the _median rows are the medians over the
// repetitions), all from the thread's CPU time:
//   ns_per_sample   CPU time per processed sample
//   rt_factor       CPU time / audio time at 48 kHz (below 1: faster than real time)
//   inst_per_core   audio time / CPU time: instances one core could run at 48 kHz

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "plugin_host.hpp"

namespace {

using namespace zq;
using zq_bench::thread_seconds;

constexpr double kRate = 48000.0;
// Samples per benchmark iteration: a multiple of every block size benched.
constexpr std::uint32_t kIterSamples = 4096;
constexpr std::uint32_t kNoiseLength = 1u << 16;

enum Scenario : int {
    kSettled = 0, // 250 ms, ratio 50 %, feedback 60 %, diffusion 66, nothing moving
    kRamps,       // tap ratio, level, pans, diffusion and feedback moving; delay fixed
    kGlide,       // the delay time toggles 200/300 ms every 0.25 s: always gliding
    kMoving,      // everything at once: glides, ramps and the tap ratio
    kShort,       // settled at 0.3 ms (14 samples): both taps sit inside one chunk of the write
    kScenarioCount,
};

const char* const kScenarioNames[kScenarioCount] = {"settled", "ramps", "glide", "moving", "short"};

std::string library_path()
{
    if (const char* env = std::getenv("ZQ_PLUGIN_SO")) {
        return env;
    }
    return ZQ_PLUGIN_SO;
}

const std::vector<float>& noise()
{
    static const std::vector<float> table = zq_bench::white_noise(kNoiseLength + kIterSamples);
    return table;
}

// A triangle in [0, 1] with the given period in samples.
float triangle(std::uint64_t pos, std::uint64_t period)
{
    const double ph = static_cast<double>(pos % period) / static_cast<double>(period);
    return static_cast<float>(ph < 0.5 ? 2.0 * ph : 2.0 - 2.0 * ph);
}

class Host {
public:
    explicit Host(int scenario)
        : scenario_(scenario), plugin_(zq_test::load_descriptor(library_path().c_str()), kRate)
    {
        out_1_.assign(kIterSamples, 0.0f);
        out_2_.assign(kIterSamples, 0.0f);
        plugin_.activate();
        automate();
        // Long enough for every start-up glide and ramp to end and for the
        // tap-ratio smoother to reach its resting value (about 1.6 s).
        const std::uint64_t warm = is_settled() ? 4 * 48000 : 48000;
        while (pos_ < warm) {
            process(512);
        }
    }

    ~Host() { plugin_.deactivate(); }

    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // kIterSamples samples in calls of `block`; the controls may move between calls.
    void process(std::uint32_t block)
    {
        const float* src = noise().data();
        for (std::uint32_t done = 0; done < kIterSamples; done += block) {
            // Hosts send control changes between run calls; a new value at
            // most every 64 samples keeps the automation's own cost out of
            // the small-block numbers.
            if (moves() && (pos_ % 64 == 0 || block > 64)) {
                automate();
            }
            // Hosts reconnect audio buffers before each run.
            plugin_.run(src + (pos_ % kNoiseLength), out_1_.data() + done, out_2_.data() + done, block);
            pos_ += block;
        }
        benchmark::DoNotOptimize(out_1_.data());
        benchmark::DoNotOptimize(out_2_.data());
        benchmark::ClobberMemory();
    }

private:
    bool is_settled() const { return scenario_ == kSettled || scenario_ == kShort; }
    bool moves() const { return !is_settled(); }

    void automate()
    {
        switch (scenario_) {
        case kSettled:
            plugin_.set_control(kDelayMs, 250.0f);
            plugin_.set_control(kTapRatio, 50.0f);
            plugin_.set_control(kFeedback, 60.0f);
            plugin_.set_control(kDiffusion, 66.0f);
            break;
        case kShort:
            plugin_.set_control(kDelayMs, 0.3f);
            plugin_.set_control(kTapRatio, 50.0f);
            plugin_.set_control(kFeedback, 60.0f);
            plugin_.set_control(kDiffusion, 66.0f);
            break;
        case kRamps:
        case kGlide:
        case kMoving: {
            const bool ramps = scenario_ != kGlide;
            const bool glide = scenario_ != kRamps;
            plugin_.set_control(kDelayMs, glide ? ((pos_ / 12000) % 2 == 0 ? 200.0f : 300.0f) : 250.0f);
            if (ramps) {
                plugin_.set_control(kTapRatio, 20.0f + 60.0f * triangle(pos_, 9600));
                plugin_.set_control(kLevelDb, (pos_ / 4096) % 2 == 0 ? -12.0f : -6.0f);
                plugin_.set_control(kPanTap, -80.0f + 160.0f * triangle(pos_, 30000));
                plugin_.set_control(kPanLoop, 80.0f - 160.0f * triangle(pos_, 22000));
                plugin_.set_control(kDiffusion, 50.0f + 30.0f * triangle(pos_, 40000));
                plugin_.set_control(kFeedback, 40.0f + 30.0f * triangle(pos_, 33000));
            } else {
                plugin_.set_control(kTapRatio, 50.0f);
                plugin_.set_control(kFeedback, 60.0f);
                plugin_.set_control(kDiffusion, 66.0f);
            }
            break;
        }
        default: break;
        }
    }

    int scenario_;
    zq_test::PluginHost plugin_;
    std::vector<float> out_1_;
    std::vector<float> out_2_;
    std::uint64_t pos_ = 0;
};

void BM_Plugin(benchmark::State& state)
{
    const int scenario = static_cast<int>(state.range(0));
    const auto block = static_cast<std::uint32_t>(state.range(1));
    Host host(scenario);
    const double t0 = thread_seconds();
    for (auto _ : state) {
        host.process(block);
    }
    const double cpu = thread_seconds() - t0;
    const double samples = static_cast<double>(state.iterations()) * kIterSamples;
    const double audio = samples / kRate;
    state.counters["ns_per_sample"] = cpu / samples * 1e9;
    state.counters["rt_factor"] = cpu / audio;
    state.counters["inst_per_core"] = audio / cpu;
    state.SetItemsProcessed(static_cast<std::int64_t>(samples));
    state.SetLabel(kScenarioNames[scenario]);
}

void register_all()
{
    for (int s = 0; s < kScenarioCount; ++s) {
        for (std::int64_t block : {1, 16, 64, 512, 4096}) {
            const std::string name = std::string("lv2/") + kScenarioNames[s] + "/block:" + std::to_string(block);
            benchmark::RegisterBenchmark(name.c_str(), BM_Plugin)->Args({s, block})->Unit(benchmark::kMicrosecond);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    // Medians by default: five repetitions, aggregates only, unless the
    // command line says otherwise.
    std::vector<char*> args(argv, argv + argc);
    bool has_reps = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--benchmark_repetitions", 23) == 0) {
            has_reps = true;
        }
    }
    static char reps[] = "--benchmark_repetitions=5";
    static char aggr[] = "--benchmark_report_aggregates_only=true";
    if (!has_reps) {
        args.insert(args.begin() + 1, aggr);
        args.insert(args.begin() + 1, reps);
    }
    int n = static_cast<int>(args.size());
    register_all();
    benchmark::Initialize(&n, args.data());
    if (benchmark::ReportUnrecognizedArguments(n, args.data())) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
