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
#include <dlfcn.h>
#include <lv2/core/lv2.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.hpp"

namespace {

using zq_bench::thread_seconds;

constexpr double kRate = 48000.0;
constexpr std::uint32_t kPorts = 12;
// Samples per benchmark iteration: a multiple of every block size benched.
constexpr std::uint32_t kIterSamples = 4096;
constexpr std::uint32_t kNoiseLength = 1u << 16;

enum Port : std::uint32_t {
    kIn = 0, kOut1, kOut2, kDelayMs, kTapRatio, kLevelDb, kPanTap, kPanLoop, kDiffusion, kFeedback,
    kLowpassHz, kHighpassHz,
};

constexpr float kDefaults[kPorts] = {0, 0, 0, 120, 100, -9, 0, 0, 66, 0, 6000, 10};

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
    explicit Host(int scenario) : scenario_(scenario)
    {
        const std::string path = library_path();
        lib_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (lib_ == nullptr) {
            std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), dlerror());
            std::abort();
        }
        auto entry = reinterpret_cast<LV2_Descriptor_Function>(dlsym(lib_, "lv2_descriptor"));
        desc_ = entry != nullptr ? entry(0) : nullptr;
        if (desc_ == nullptr) {
            std::fprintf(stderr, "no descriptor in %s\n", path.c_str());
            std::abort();
        }
        const std::string bundle = path.substr(0, path.rfind('/') + 1);
        const LV2_Feature* features[] = {nullptr};
        handle_ = desc_->instantiate(desc_, kRate, bundle.c_str(), features);
        if (handle_ == nullptr) {
            std::abort();
        }
        std::memcpy(controls_, kDefaults, sizeof controls_);
        for (std::uint32_t p = kDelayMs; p < kPorts; ++p) {
            desc_->connect_port(handle_, p, &controls_[p]);
        }
        out_1_.assign(kIterSamples, 0.0f);
        out_2_.assign(kIterSamples, 0.0f);
        if (desc_->activate != nullptr) {
            desc_->activate(handle_);
        }
        automate();
        // Long enough for every start-up glide and ramp to end and for the
        // tap-ratio smoother to reach its resting value (about 1.6 s).
        const std::uint64_t warm = is_settled() ? 4 * 48000 : 48000;
        while (pos_ < warm) {
            process(512);
        }
    }

    ~Host()
    {
        if (desc_->deactivate != nullptr) {
            desc_->deactivate(handle_);
        }
        desc_->cleanup(handle_);
        dlclose(lib_);
    }

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
            const float* in = src + (pos_ % kNoiseLength);
            // Hosts reconnect audio buffers before each run.
            desc_->connect_port(handle_, kIn, const_cast<float*>(in));
            desc_->connect_port(handle_, kOut1, out_1_.data() + done);
            desc_->connect_port(handle_, kOut2, out_2_.data() + done);
            desc_->run(handle_, block);
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
            controls_[kDelayMs] = 250.0f;
            controls_[kTapRatio] = 50.0f;
            controls_[kFeedback] = 60.0f;
            controls_[kDiffusion] = 66.0f;
            break;
        case kShort:
            controls_[kDelayMs] = 0.3f;
            controls_[kTapRatio] = 50.0f;
            controls_[kFeedback] = 60.0f;
            controls_[kDiffusion] = 66.0f;
            break;
        case kRamps:
        case kGlide:
        case kMoving: {
            const bool ramps = scenario_ != kGlide;
            const bool glide = scenario_ != kRamps;
            controls_[kDelayMs] = glide ? ((pos_ / 12000) % 2 == 0 ? 200.0f : 300.0f) : 250.0f;
            if (ramps) {
                controls_[kTapRatio] = 20.0f + 60.0f * triangle(pos_, 9600);
                controls_[kLevelDb] = (pos_ / 4096) % 2 == 0 ? -12.0f : -6.0f;
                controls_[kPanTap] = -80.0f + 160.0f * triangle(pos_, 30000);
                controls_[kPanLoop] = 80.0f - 160.0f * triangle(pos_, 22000);
                controls_[kDiffusion] = 50.0f + 30.0f * triangle(pos_, 40000);
                controls_[kFeedback] = 40.0f + 30.0f * triangle(pos_, 33000);
            } else {
                controls_[kTapRatio] = 50.0f;
                controls_[kFeedback] = 60.0f;
                controls_[kDiffusion] = 66.0f;
            }
            break;
        }
        default: break;
        }
    }

    int scenario_;
    void* lib_ = nullptr;
    const LV2_Descriptor* desc_ = nullptr;
    LV2_Handle handle_ = nullptr;
    float controls_[kPorts] = {};
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
