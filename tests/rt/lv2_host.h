// Minimal LV2 host used by the real-time tests: loads the plug-in library
// with dlopen and wraps one instance with its port buffers.
#pragma once

#include <lv2/core/lv2.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <dlfcn.h>

namespace zq_host {

inline constexpr const char* kUri = "http://zwirbelton.audio/plugins/zwirbelton-quorvel";
inline constexpr uint32_t kPorts = 12;
inline constexpr uint32_t kMaxBlock = 16384;

enum Control : uint32_t {
  kDelayMs = 3,
  kTapRatio,
  kLevelDb,
  kPanTap,
  kPanLoop,
  kDiffusion,
  kFeedback,
  kLowpassHz,
  kHighpassHz,
};

struct ControlRange {
  float lo, hi, normal;
};
inline constexpr std::array<ControlRange, 9> kRanges = {{{1, 500, 250},
                                                         {0, 100, 50},
                                                         {-90, 6, 0},
                                                         {-100, 100, 0},
                                                         {-100, 100, 0},
                                                         {0, 100, 50},
                                                         {0, 100, 50},
                                                         {200, 20000, 8000},
                                                         {10, 2000, 80}}};

// Loads the library (all symbols bound now: lazy binding would run the
// dynamic linker inside the first run()). Exits with status 2 on failure.
inline const LV2_Descriptor* load(const char* path) {
  void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::fprintf(stderr, "dlopen(%s): %s\n", path, dlerror());
    std::exit(2);
  }
  auto fn = reinterpret_cast<LV2_Descriptor_Function>(dlsym(lib, "lv2_descriptor"));
  const LV2_Descriptor* d = fn ? fn(0) : nullptr;
  if (!d || !d->URI || std::strcmp(d->URI, kUri) != 0) {
    std::fprintf(stderr, "%s: descriptor 0 is not %s\n", path, kUri);
    std::exit(2);
  }
  return d;
}

struct Instance {
  const LV2_Descriptor* d = nullptr;
  LV2_Handle h = nullptr;
  std::vector<float> in = std::vector<float>(kMaxBlock), out1 = std::vector<float>(kMaxBlock),
                     out2 = std::vector<float>(kMaxBlock);
  std::array<float, kPorts> control{};

  Instance(const LV2_Descriptor* desc, double rate) : d(desc) {
    static const LV2_Feature* const kNoFeatures[] = {nullptr};
    h = d->instantiate(d, rate, "/nonexistent/zq-rt.lv2/", kNoFeatures);
    if (!h) {
      std::fprintf(stderr, "instantiate at %g Hz failed\n", rate);
      std::exit(2);
    }
    for (uint32_t p = kDelayMs; p < kPorts; ++p) {
      control[p] = kRanges[p - kDelayMs].normal;
      d->connect_port(h, p, &control[p]);
    }
    connect_audio(false, false);
  }
  ~Instance() { d->cleanup(h); }
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  // out_1 / out_2 optionally share the input buffer (in-place processing).
  void connect_audio(bool out1_in_place, bool out2_in_place) {
    d->connect_port(h, 0, in.data());
    d->connect_port(h, 1, out1_in_place ? in.data() : out1.data());
    d->connect_port(h, 2, out2_in_place ? in.data() : out2.data());
  }
  void activate() {
    if (d->activate) d->activate(h);
  }
  void deactivate() {
    if (d->deactivate) d->deactivate(h);
  }
  void run(uint32_t n) { d->run(h, n); }
};

}  // namespace zq_host
