// libFuzzer harness for the LV2 plug-in, driving its whole C API from the
// fuzz input and asserting properties after every run() (abort on violation):
//
//  * Memory fencing. Every audio buffer sits in its own mmap'd arena whose
//    neighbouring pages are PROT_NONE. A run either places the block at the
//    very end of the arena (a read or write of x[n] faults) or at the very
//    start (a read or write of x[-1] faults); the rest of the arena holds a
//    canary pattern that must be intact afterwards. With n == 0 in the "end"
//    placement the pointer is the first byte of the guard page, so any
//    access at all faults. Control ports and ports connected past index 11
//    point into canary-filled blocks that must be unchanged too.
//  * Inputs are read-only: the input audio (when not shared with an output)
//    and every control value are compared with a copy after run().
//  * Determinism: each logical instance is a pair of twin instances driven
//    with identical calls and identical data; their outputs must be
//    bit-identical after every run (catches shared or uninitialised state).
//  * Recovery and stability: once an instance has processed two seconds of
//    audio with |x| <= 1 and every control finite and in range, every output
//    sample must be finite and below ZQ_FUZZ_OUT_BOUND in magnitude, whatever
//    (NaN, inf, 1e30, wild controls) it was fed before. At very low sample
//    rates "two seconds" is a handful of samples, too few for state whose
//    length is counted in samples to drain, so at least kMinRecoverySamples
//    are required as well.
//  * Instantiation at every plain rate in [8 kHz, 768 kHz] with the full
//    feature set must succeed (otherwise those rates would go untested).
//
// Plug-in location: environment variable ZQ_PLUGIN_SO, else the compile
// definition ZQ_PLUGIN_SO_DEFAULT. With -DZQ_FUZZ_STATIC_PLUGIN the plug-in's
// objects are linked in and lv2_descriptor is called directly (no dlopen).
// With -DZQ_FUZZ_STANDALONE_MAIN a main() is provided that replays the files
// or directories given as arguments (for g++ builds and CTest, no libFuzzer).
//
// Tunables (environment): ZQ_FUZZ_OUT_BOUND (default 1e4),
// ZQ_FUZZ_VERBOSE=1 (log every API call to stderr).
//
// Input encoding (all integers little-endian; reading past the end yields
// zeros, so every byte string is a valid input). A sequence of operations,
// each starting with an opcode byte (taken modulo kOpCount):
//   0 INSTANTIATE slot:u8 rate:u8 [f64 if rate byte selects "raw"] feat:u8
//   1 CLEANUP     slot:u8
//   2 ACTIVATE    slot:u8
//   3 DEACTIVATE  slot:u8
//   4 CONTROL     slot:u8 port:u8 kind:u8 payload:u32
//   5 CONNECT_FAR slot:u8 index:u32      (port index >= 12)
//   6 ROUTING     slot:u8 mode:u8
//   7 RUN         slot:u8 len:u16 audio:u8 seed:u8 place:u8
//   8 RUN_MANY    slot:u8 len:u16 audio:u8 seed:u8 place:u8 count:u8
//   9 EXTENSION   slot:u8 which:u8
//  10 MOVE_CTRL   slot:u8 port:u8        (reconnect control to another cell)
//  11 CONNECT_NULL slot:u8 port:u8       (reconnected before the next run)
// tests/fuzz/make_corpus.py writes seeds in this encoding.
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#ifdef ZQ_FUZZ_STANDALONE_MAIN
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#endif

#include "plugin/ports.hpp"

#ifdef ZQ_FUZZ_STATIC_PLUGIN
extern "C" const LV2_Descriptor* lv2_descriptor(uint32_t index);
#endif

namespace {

using zq::kFirstControl;
using zq::kPortCount;
constexpr const char* kUri = zq::kPluginUri;
constexpr uint32_t kControlCount = kPortCount - kFirstControl;
constexpr uint32_t kMaxBlock = 16384;
constexpr int kSlots = 3;  // logical instances alive at once
constexpr double kMinRecoverySamples = 96000;  // two seconds at 48 kHz
constexpr uint64_t kMaxSamplesPerInput = uint64_t(1) << 21;  // per input, all instances

// Control c is port kFirstControl + c.
const zq::PortInfo& control_port(uint32_t c) { return zq::kPorts[kFirstControl + c]; }

bool g_verbose = false;
// FNV-1a over the bits of every output sample of an input (NaNs counted as
// one canonical NaN: their sign and payload differ between x86 and ARM by
// design). The replay main prints it per file, so that builds for different
// processors can be compared for bit-identical output.
uint64_t g_output_hash = 1469598103934665603ull;
void hash_outputs(const float* x, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t b = std::isnan(x[i]) ? 0x7FC00000u : std::bit_cast<uint32_t>(x[i]);
    g_output_hash = (g_output_hash ^ b) * 1099511628211ull;
  }
}
bool g_expect_failure = false;  // replay --expect-failure: a finding exits 0
float g_out_bound = 1e4f;
const LV2_Descriptor* g_desc = nullptr;

[[noreturn]] void fail(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::fputs("\n*** zq-fuzz property violated: ", stderr);
  std::vfprintf(stderr, fmt, ap);
  std::fputs("\n", stderr);
  va_end(ap);
  if (g_expect_failure) _exit(0);
  std::abort();
}

void trace(const char* fmt, ...) {
  if (!g_verbose) return;
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  std::fputs("\n", stderr);
  va_end(ap);
}

// ---------------------------------------------------------------- input ----
class Reader {
 public:
  Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  bool empty() const { return n_ == 0; }
  uint8_t u8() {
    if (n_ == 0) return 0;
    --n_;
    return *p_++;
  }
  uint16_t u16() { return uint16_t(u8() | (uint16_t(u8()) << 8)); }
  uint32_t u32() { return uint32_t(u16()) | (uint32_t(u16()) << 16); }
  uint64_t u64() { return uint64_t(u32()) | (uint64_t(u32()) << 32); }
  double f64() { return std::bit_cast<double>(u64()); }

 private:
  const uint8_t* p_;
  size_t n_;
};

// ------------------------------------------------------- fenced memory ----
constexpr uint32_t kCanaryBits = 0x7FC0DEADu;  // a quiet NaN
const float kCanary = std::bit_cast<float>(kCanaryBits);

bool is_canary(const float* p) {
  uint32_t b;
  std::memcpy(&b, p, 4);
  return b == kCanaryBits;
}

// One audio buffer: [PROT_NONE page][kMaxBlock floats][PROT_NONE page].
class Arena {
 public:
  Arena() {
    page_ = size_t(sysconf(_SC_PAGESIZE));
    data_bytes_ = (kMaxBlock * sizeof(float) + page_ - 1) / page_ * page_;
    total_ = data_bytes_ + 2 * page_;
    void* m = mmap(nullptr, total_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) fail("mmap failed");
    base_ = static_cast<uint8_t*>(m);
    if (mprotect(base_, page_, PROT_NONE) != 0 ||
        mprotect(base_ + page_ + data_bytes_, page_, PROT_NONE) != 0)
      fail("mprotect failed");
    data_ = reinterpret_cast<float*>(base_ + page_);
    cap_ = data_bytes_ / sizeof(float);
    if (cap_ > kMaxBlock + 4096) fail("page size %zu too large for the canary template", page_);
  }
  ~Arena() { munmap(base_, total_); }
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // Returns where an n-sample block goes; everything else in the arena is
  // canary (only the previous block's floats need restoring).
  float* place(uint32_t n, bool at_end) {
    if (!filled_) {
      std::memcpy(data_, canaries(), cap_ * sizeof(float));
      filled_ = true;
    } else {
      std::memcpy(cur_, canaries(), n_ * sizeof(float));
    }
    cur_ = at_end ? data_ + cap_ - n : data_;
    n_ = n;
    return cur_;
  }
  float* cur() const { return cur_; }
  // Every float outside the current block must still be a canary.
  void check(const char* what) const {
    const size_t before = size_t(cur_ - data_), after = cap_ - before - n_;
    if (std::memcmp(data_, canaries(), before * sizeof(float)) == 0 &&
        std::memcmp(cur_ + n_, canaries(), after * sizeof(float)) == 0)
      return;
    for (size_t i = 0; i < cap_; ++i) {
      const float* p = data_ + i;
      if (p >= cur_ && p < cur_ + n_) continue;
      if (!is_canary(p))
        fail("%s: write outside the block: arena float %zu, block at %td, n=%u", what, i, cur_ - data_, n_);
    }
  }

 private:
  size_t page_ = 0, data_bytes_ = 0, total_ = 0, cap_ = 0;
  uint8_t* base_ = nullptr;
  float* data_ = nullptr;
  float* cur_ = nullptr;
  uint32_t n_ = 0;
  bool filled_ = false;

  static const float* canaries() {
    static const std::vector<float> c(kMaxBlock + 4096, kCanary);
    return c.data();
  }
};

// Control values and far-port targets live in canary-filled blocks.
struct ControlBlock {
  static constexpr size_t kCells = 64;
  alignas(64) float cell[kCells];
  std::array<uint32_t, kControlCount> where{};  // cell index of each control
  void reset() {
    std::fill(std::begin(cell), std::end(cell), kCanary);
    for (uint32_t c = 0; c < kControlCount; ++c) where[c] = 4 + 4 * c;
  }
  float* ptr(uint32_t c) { return &cell[where[c]]; }
};

// ------------------------------------------------------------ features ----
struct UridMap {
  std::vector<std::string> uris;
  static LV2_URID map(LV2_URID_Map_Handle h, const char* uri) {
    auto* self = static_cast<UridMap*>(h);
    if (!uri) return 0;
    for (size_t i = 0; i < self->uris.size(); ++i)
      if (self->uris[i] == uri) return LV2_URID(i + 1);
    self->uris.emplace_back(uri);
    return LV2_URID(self->uris.size());
  }
  static const char* unmap(LV2_URID_Unmap_Handle h, LV2_URID id) {
    auto* self = static_cast<UridMap*>(h);
    return (id == 0 || id > self->uris.size()) ? nullptr : self->uris[id - 1].c_str();
  }
};

struct Features {
  UridMap urids;
  LV2_URID_Map map{&urids, &UridMap::map};
  LV2_URID_Unmap unmap{&urids, &UridMap::unmap};
  int32_t min_block = 0, max_block = int32_t(kMaxBlock), nominal_block = 512;
  float option_rate = 48000.0f;
  std::array<LV2_Options_Option, 5> options{};
  LV2_Feature f_map{LV2_URID__map, &map};
  LV2_Feature f_unmap{LV2_URID__unmap, &unmap};
  LV2_Feature f_options{LV2_OPTIONS__options, options.data()};
  LV2_Feature f_bounded{LV2_BUF_SIZE__boundedBlockLength, nullptr};
  LV2_Feature f_bogus1{"urn:zq-fuzz:unknown-feature", nullptr};
  LV2_Feature f_bogus2{"", reinterpret_cast<void*>(uintptr_t(0x1))};
  const LV2_Feature* none[1] = {nullptr};
  const LV2_Feature* full[6] = {&f_map, &f_unmap, &f_options, &f_bounded, nullptr, nullptr};
  const LV2_Feature* bogus[4] = {&f_bogus1, &f_map, &f_bogus2, nullptr};

  Features() {
    const LV2_URID t_int = map.map(map.handle, LV2_ATOM__Int);
    const LV2_URID t_float = map.map(map.handle, LV2_ATOM__Float);
    auto opt = [&](const char* key, LV2_URID type, const void* v, uint32_t size) {
      return LV2_Options_Option{LV2_OPTIONS_INSTANCE, 0, map.map(map.handle, key), size, type, v};
    };
    options[0] = opt(LV2_BUF_SIZE__minBlockLength, t_int, &min_block, 4);
    options[1] = opt(LV2_BUF_SIZE__maxBlockLength, t_int, &max_block, 4);
    options[2] = opt(LV2_BUF_SIZE_PREFIX "nominalBlockLength", t_int, &nominal_block, 4);
    options[3] = opt("http://lv2plug.in/ns/ext/parameters#sampleRate", t_float, &option_rate, 4);
    options[4] = LV2_Options_Option{LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr};
  }
  const LV2_Feature* const* pick(uint8_t sel, double rate) {
    option_rate = float(rate);
    switch (sel % 3) {
      case 0: return full;
      case 1: return none;
      default: return bogus;
    }
  }
};

Features* g_features = nullptr;

// --------------------------------------------------------- value kinds ----
double pick_rate(Reader& in) {
  static constexpr double kRates[] = {
      44100,  48000,    88200,    96000,   192000,   768000,   8000,      11025,
      22050,  32000,    176400,   352800,  384000,   705600,   1,         2,
      3,      100,      1000,     44100.5, 47999.99, 48000.01, 767999.99, 1e-3,
      0,      -0.0,     -48000,   1e300,   5e-324,   768001,   4e9,       12345.678};
  const uint8_t sel = in.u8();
  if (sel < 224) return kRates[sel % std::size(kRates)];
  if (sel < 240) {
    const uint32_t r = in.u32();
    return 1.0 + double(r % 768000u) + double(r >> 20) * (1.0 / 4096.0);
  }
  switch (sel % 4) {
    case 0: return std::numeric_limits<double>::quiet_NaN();
    case 1: return std::numeric_limits<double>::infinity();
    case 2: return -std::numeric_limits<double>::infinity();
    default: return in.f64();  // anything
  }
}

float pick_control(uint8_t kind, uint32_t payload, const zq::PortInfo& r) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  constexpr float kMax = std::numeric_limits<float>::max();
  const float span = r.max - r.min;
  switch (kind % 24) {
    case 0: return std::numeric_limits<float>::quiet_NaN();
    case 1: return -std::numeric_limits<float>::quiet_NaN();
    case 2: return std::bit_cast<float>(0x7FA00001u);  // signalling NaN
    case 3: return kInf;
    case 4: return -kInf;
    case 5: return kMax;
    case 6: return -kMax;
    case 7: return 1e30f;
    case 8: return -1e30f;
    case 9: return std::numeric_limits<float>::denorm_min();
    case 10: return -1e-40f;
    case 11: return 0.0f;
    case 12: return -0.0f;
    case 13: return r.min;
    case 14: return r.max;
    case 15: return std::nextafter(r.min, -kInf);
    case 16: return std::nextafter(r.max, kInf);
    case 17: return r.min - span;
    case 18: return r.max + span;
    case 19: return -r.max;
    case 20: return std::bit_cast<float>(payload);  // any bit pattern
    default:  // in range, uniformly
      return r.min + span * float(payload & 0xFFFFFF) / float(0xFFFFFF);
  }
}

bool in_range(float v, const zq::PortInfo& r) { return std::isfinite(v) && v >= r.min && v <= r.max; }

// A sine-like wave from integer arithmetic only (a parabola per half
// period), so that the input is the same on every processor: libm's sinf
// and fused multiply-adds would make it differ between x86 and ARM.
float wave(uint64_t t, uint32_t step) {
  const uint32_t phase = uint32_t(t * step);
  const int64_t x = int64_t(int32_t(phase));  // [-2^31, 2^31)
  const int64_t ax = x < 0 ? -x : x;
  // 4 * x * (1 - |x|) in Q31, with x in Q31 over [-1, 1)
  const int64_t y = (x * ((int64_t(1) << 31) - ax)) >> 29;
  const int64_t clamped = y > 2147483647 ? 2147483647 : (y < -2147483647 ? -2147483647 : y);
  return float(int32_t(clamped)) * (1.0f / 2147483648.0f);
}

// Fills x[0..n) for one of the audio kinds. Kinds 0..11 keep |x| <= 1 and
// finite; the others do not. Every value is computed with integer operations
// and single IEEE roundings, so the audio is the same on every processor.
void fill_audio(float* x, uint32_t n, uint8_t kind, uint32_t seed, uint64_t t0) {
  uint32_t s = seed * 2654435761u + 1u;
  auto rnd = [&] {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  };
  auto unit = [&] { return float(int32_t(rnd())) * (1.0f / 2147483648.0f); };
  const uint32_t step = 1000000u + (seed % 97) * 3000000u;  // about 11 Hz .. 3 kHz at 48 kHz
  for (uint32_t i = 0; i < n; ++i) {
    const uint64_t t = t0 + i;
    float v = 0.0f;
    switch (kind % 20) {
      case 0: v = 0.0f; break;
      case 1: v = wave(t, step); break;
      case 2: v = unit(); break;
      case 3: v = (t % 4096 == 0) ? 1.0f : 0.0f; break;
      case 4: v = 1.0f; break;
      case 5: v = -1.0f; break;
      case 6: v = ((t / (1 + seed % 64)) & 1) ? 1.0f : -1.0f; break;
      case 7: v = unit() * 1e-38f; break;  // denormal / tiny
      case 8: v = std::bit_cast<float>(rnd() & 0x807FFFFFu); break;  // denormals
      case 9: v = (t & 1) ? -0.0f : 0.0f; break;
      case 10: v = t < 64 ? unit() : 0.0f; break;  // burst then silence
      case 11: v = unit() * 0.001f; break;
      case 12: v = std::numeric_limits<float>::quiet_NaN(); break;
      case 13: v = (rnd() % 64 == 0) ? std::numeric_limits<float>::infinity() : unit(); break;
      case 14: v = (rnd() % 64 == 0) ? -std::numeric_limits<float>::infinity() : unit(); break;
      case 15: v = unit() * 1e30f; break;
      case 16: v = (rnd() & 1) ? std::numeric_limits<float>::max() : -std::numeric_limits<float>::max(); break;
      case 17: v = std::bit_cast<float>(rnd()); break;  // any bit pattern
      case 18: v = (rnd() % 256 == 0) ? std::numeric_limits<float>::quiet_NaN() : unit(); break;
      default: v = unit() * 4.0f; break;  // finite but above full scale
    }
    x[i] = v;
  }
}

// ------------------------------------------------------------ instances ----
enum Routing : uint8_t { kSeparate, kOut1InPlace, kOut2InPlace, kBothInPlace, kOutsShared, kRoutingCount };

struct Twin {
  LV2_Handle h = nullptr;
  Arena audio[3];  // arena 0 input, 1 out_1, 2 out_2 (used per routing)
  ControlBlock ctl;
  std::array<float, 1024> far;  // target of ports >= 12
  std::array<void*, kPortCount> connected{};
};

struct Pair {
  bool alive = false;
  bool active = false;
  double rate = 0;
  bool check_bounds = false;
  uint64_t sane_samples = 0;
  uint64_t clock = 0;
  Routing routing = kSeparate;
  std::array<float, kControlCount> value{};
  Twin twin[2];
};

struct Harness {
  Pair pair[kSlots];
  uint64_t samples_left = kMaxSamplesPerInput;
  std::vector<float> in_copy = std::vector<float>(kMaxBlock);
};

void connect(Pair& p, int t, uint32_t port, void* where) {
  trace("  [%p] connect_port(%u, %p)", p.twin[t].h, port, where);
  g_desc->connect_port(p.twin[t].h, port, where);
  if (port < kPortCount) p.twin[t].connected[port] = where;
}

void set_active(Pair& p, bool on) {
  if (!p.alive || p.active == on) return;
  for (int t = 0; t < 2; ++t) {
    trace("  [%p] %s", p.twin[t].h, on ? "activate" : "deactivate");
    if (on && g_desc->activate) g_desc->activate(p.twin[t].h);
    if (!on && g_desc->deactivate) g_desc->deactivate(p.twin[t].h);
  }
  p.active = on;
}

void destroy(Pair& p) {
  if (!p.alive) return;
  set_active(p, false);
  for (int t = 0; t < 2; ++t) {
    trace("  [%p] cleanup", p.twin[t].h);
    g_desc->cleanup(p.twin[t].h);
    p.twin[t].h = nullptr;
  }
  p.alive = p.active = false;
}

void create(Pair& p, double rate, uint8_t feat) {
  destroy(p);
  const LV2_Feature* const* features = g_features->pick(feat, rate);
  LV2_Handle h[2];
  for (int t = 0; t < 2; ++t) {
    h[t] = g_desc->instantiate(g_desc, rate, "/nonexistent/zq-fuzz.lv2/", features);
    trace("instantiate(rate=%.17g, features=%u) -> %p", rate, unsigned(feat % 3), h[t]);
  }
  if ((h[0] == nullptr) != (h[1] == nullptr)) fail("instantiate succeeded for only one of two identical calls");
  const bool plain_rate = rate >= 8000.0 && rate <= 768000.0;
  if (!h[0]) {
    if (plain_rate && feat % 3 == 0) fail("instantiate returned NULL at %.17g Hz with full features", rate);
    return;
  }
  p.alive = true;
  p.active = false;
  p.rate = rate;
  p.check_bounds = std::isfinite(rate) && rate >= 1.0 && rate <= 768000.0;
  p.sane_samples = 0;
  p.clock = 0;
  p.routing = kSeparate;
  for (uint32_t c = 0; c < kControlCount; ++c) p.value[c] = 0.5f * (control_port(c).min + control_port(c).max);
  for (int t = 0; t < 2; ++t) {
    Twin& tw = p.twin[t];
    tw.h = h[t];
    tw.ctl.reset();
    tw.far.fill(kCanary);
    tw.connected.fill(nullptr);
    for (uint32_t c = 0; c < kControlCount; ++c) {
      *tw.ctl.ptr(c) = p.value[c];
      connect(p, t, kFirstControl + c, tw.ctl.ptr(c));
    }
  }
}

void check_fences(Pair& p, int t) {
  Twin& tw = p.twin[t];
  for (int a = 0; a < 3; ++a) tw.audio[a].check(a == 0 ? "in arena" : a == 1 ? "out_1 arena" : "out_2 arena");
  for (size_t i = 0; i < ControlBlock::kCells; ++i) {
    bool is_ctl = false;
    for (uint32_t c = 0; c < kControlCount; ++c) {
      if (tw.ctl.where[c] == i) {
        is_ctl = true;
        if (std::bit_cast<uint32_t>(tw.ctl.cell[i]) != std::bit_cast<uint32_t>(p.value[c]))
          fail("control port %u was written by the plug-in", kFirstControl + c);
      }
    }
    if (!is_ctl && !is_canary(&tw.ctl.cell[i])) fail("write next to the control ports (cell %zu)", i);
  }
  for (size_t i = 0; i < tw.far.size(); ++i)
    if (!is_canary(&tw.far[i])) fail("write through a port index >= %u (float %zu)", kPortCount, i);
}

// One run() of both twins on the same generated audio, then all checks.
void run_block(Harness& hs, Pair& p, uint32_t n, uint8_t kind, uint32_t seed, bool at_end) {
  if (!p.alive) return;
  n = std::min(n, kMaxBlock);
  if (n > hs.samples_left) n = uint32_t(hs.samples_left);
  hs.samples_left -= n;
  set_active(p, true);  // run() is only legal between activate and deactivate
  float* out[2][2];
  float* in[2];
  for (int t = 0; t < 2; ++t) {
    Twin& tw = p.twin[t];
    in[t] = tw.audio[0].place(n, at_end);
    float* o1 = tw.audio[1].place(n, at_end);
    float* o2 = tw.audio[2].place(n, at_end);
    switch (p.routing) {
      case kOut1InPlace: o1 = in[t]; break;
      case kOut2InPlace: o2 = in[t]; break;
      case kBothInPlace: o1 = o2 = in[t]; break;
      case kOutsShared: o2 = o1; break;
      default: break;
    }
    out[t][0] = o1;
    out[t][1] = o2;
    // Hosts may reconnect every cycle; reconnect whatever moved or was unset.
    float* want[3] = {in[t], o1, o2};
    for (uint32_t port = 0; port < 3; ++port)
      if (tw.connected[port] != want[port]) connect(p, t, port, want[port]);
    for (uint32_t c = 0; c < kControlCount; ++c)
      if (tw.connected[kFirstControl + c] != tw.ctl.ptr(c)) connect(p, t, kFirstControl + c, tw.ctl.ptr(c));
  }
  fill_audio(in[0], n, kind, seed, p.clock);
  std::memcpy(in[1], in[0], n * sizeof(float));
  std::memcpy(hs.in_copy.data(), in[0], n * sizeof(float));

  bool sane = p.check_bounds;
  for (uint32_t c = 0; c < kControlCount && sane; ++c) sane = in_range(p.value[c], control_port(c));
  for (uint32_t i = 0; i < n && sane; ++i) sane = std::isfinite(in[0][i]) && std::fabs(in[0][i]) <= 1.0f;

  for (int t = 0; t < 2; ++t) {
    trace("  [%p] run(%u) kind=%u place=%s routing=%u", p.twin[t].h, n, kind % 20, at_end ? "end" : "start",
          unsigned(p.routing));
    g_desc->run(p.twin[t].h, n);
  }

  for (int t = 0; t < 2; ++t) {
    check_fences(p, t);
    const bool in_shared = p.routing != kSeparate && p.routing != kOutsShared;
    if (!in_shared && std::memcmp(in[t], hs.in_copy.data(), n * sizeof(float)) != 0)
      fail("run() modified its input buffer (not shared with an output)");
  }
  for (int o = 0; o < 2; ++o) {
    if (std::memcmp(out[0][o], out[1][o], n * sizeof(float)) != 0) {
      uint32_t i = 0;
      while (std::memcmp(&out[0][o][i], &out[1][o][i], 4) == 0) ++i;
      fail("twin instances differ: out_%d[%u] = %a vs %a (n=%u, clock=%llu)", o + 1, i, double(out[0][o][i]),
           double(out[1][o][i]), n, (unsigned long long)p.clock);
    }
  }
  hash_outputs(out[0][0], n);
  hash_outputs(out[0][1], n);
  if (sane) {
    const double need = std::max(2.0 * p.rate, kMinRecoverySamples);
    for (uint32_t i = 0; i < n; ++i) {
      if (double(p.sane_samples + i + 1) <= need) continue;
      for (int o = 0; o < 2; ++o) {
        const float y = out[0][o][i];
        if (!std::isfinite(y) || std::fabs(y) >= g_out_bound)
          fail("out_%d[%u] = %g after %.3f s of clean input and in-range controls (rate %.17g)", o + 1, i,
               double(y), double(p.sane_samples + i) / p.rate, p.rate);
      }
    }
    p.sane_samples += n;
  } else {
    p.sane_samples = 0;
  }
  p.clock += n;
}

void extension(Pair& p, uint8_t which) {
  static const char* const kUris[] = {
      "http://lv2plug.in/ns/ext/state#interface",   "http://lv2plug.in/ns/ext/worker#interface",
      "http://lv2plug.in/ns/ext/options#interface", "http://lv2plug.in/ns/ext/data-access",
      "http://lv2plug.in/ns/extensions/ui#idleInterface", "",
      "urn:zq-fuzz:nonsense",                       kUri,
  };
  if (!g_desc->extension_data) return;
  const char* uri = kUris[which % std::size(kUris)];
  trace("extension_data(%s)", uri);
  (void)g_desc->extension_data(uri);
  (void)p;
}

void load_plugin() {
  const char* env = std::getenv("ZQ_FUZZ_VERBOSE");
  g_verbose = env && *env == '1';
  if (const char* b = std::getenv("ZQ_FUZZ_OUT_BOUND")) g_out_bound = std::strtof(b, nullptr);
#ifdef ZQ_FUZZ_STATIC_PLUGIN
  LV2_Descriptor_Function fn = &lv2_descriptor;
#else
  const char* path = std::getenv("ZQ_PLUGIN_SO");
#ifdef ZQ_PLUGIN_SO_DEFAULT
  if (!path || !*path) path = ZQ_PLUGIN_SO_DEFAULT;
#endif
  if (!path || !*path) fail("set ZQ_PLUGIN_SO to the plug-in's .so");
  void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!lib) fail("dlopen(%s): %s", path, dlerror());
  auto fn = reinterpret_cast<LV2_Descriptor_Function>(dlsym(lib, "lv2_descriptor"));
  if (!fn) fail("%s has no lv2_descriptor", path);
#endif
  g_desc = fn(0);
  if (!g_desc || !g_desc->URI || std::strcmp(g_desc->URI, kUri) != 0) fail("descriptor 0 is not %s", kUri);
  if (!g_desc->instantiate || !g_desc->connect_port || !g_desc->run || !g_desc->cleanup)
    fail("descriptor lacks a mandatory function");
  for (uint32_t i : {1u, 2u, 255u, 0x7FFFFFFFu, 0xFFFFFFFFu})
    if (fn(i) != nullptr && fn(i)->URI && std::strcmp(fn(i)->URI, kUri) == 0) fail("descriptor %u repeats the URI", i);
  g_features = new Features;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  load_plugin();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness* hs = new Harness;  // arenas are reused across inputs
  hs->samples_left = kMaxSamplesPerInput;
  Reader in(data, size);
  constexpr int kOpCount = 12;
  int ops = 0;
  while (!in.empty() && ops++ < 4096) {
    const uint8_t op = in.u8() % kOpCount;
    Pair& p = hs->pair[in.u8() % kSlots];
    switch (op) {
      case 0: {
        const double rate = pick_rate(in);
        create(p, rate, in.u8());
        break;
      }
      case 1: destroy(p); break;
      case 2: set_active(p, true); break;
      case 3: set_active(p, false); break;
      case 4: {
        const uint32_t c = in.u8() % kControlCount;
        const uint8_t kind = in.u8();
        const float v = pick_control(kind, in.u32(), control_port(c));
        if (!p.alive) break;
        p.value[c] = v;
        for (int t = 0; t < 2; ++t) *p.twin[t].ctl.ptr(c) = v;
        if (!in_range(v, control_port(c))) p.sane_samples = 0;
        trace("  control %u = %a", kFirstControl + c, double(v));
        break;
      }
      case 5: {
        uint32_t idx = in.u32();
        if (idx < kPortCount) idx = kPortCount + idx * 977u;  // 12, 989, ... and above
        if (!p.alive) break;
        for (int t = 0; t < 2; ++t) connect(p, t, idx, &p.twin[t].far[512]);
        break;
      }
      case 6: p.routing = Routing(in.u8() % kRoutingCount); break;
      case 7:
      case 8: {
        uint32_t n = in.u16();
        static constexpr uint32_t kEdges[] = {0, 1, 2, 3, 7, 31, 32, 33, 63, 64, 65, 127, 128, 129, 255, 256,
                                              4095, 4096, 4097, 8191, 8192, 16383, 16384, 48, 441, 480, 1000, 1024};
        n = (n & 0x8000) ? kEdges[n % std::size(kEdges)] : n % (kMaxBlock + 1);
        const uint8_t kind = in.u8();
        const uint8_t seed = in.u8();
        const bool at_end = in.u8() & 1;
        const int count = op == 8 ? 1 + in.u8() : 1;
        for (int r = 0; r < count && hs->samples_left > 0; ++r)
          run_block(*hs, p, n, kind, uint32_t(seed) * 256u + uint32_t(r), at_end);
        break;
      }
      case 9: extension(p, in.u8()); break;
      case 10: {
        const uint32_t c = in.u8() % kControlCount;
        const uint32_t cell = 1 + 2 * (in.u8() % 31);  // odd cells are never default cells
        if (!p.alive) break;
        bool taken = false;
        for (uint32_t o = 0; o < kControlCount; ++o) taken |= p.twin[0].ctl.where[o] == cell;
        if (taken) break;
        for (int t = 0; t < 2; ++t) {
          Twin& tw = p.twin[t];
          tw.ctl.cell[tw.ctl.where[c]] = kCanary;
          tw.ctl.where[c] = cell;
          tw.ctl.cell[cell] = p.value[c];
          connect(p, t, kFirstControl + c, tw.ctl.ptr(c));
        }
        break;
      }
      case 11: {
        const uint32_t port = in.u8() % kPortCount;
        if (!p.alive) break;
        for (int t = 0; t < 2; ++t) connect(p, t, port, nullptr);
        break;
      }
    }
  }
  for (Pair& p : hs->pair) destroy(p);
  return 0;
}

#ifdef ZQ_FUZZ_STANDALONE_MAIN
// Replays files (or every file in directories) once each, like running the
// libFuzzer binary with file arguments.
namespace {
int replay_file(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    std::fprintf(stderr, "cannot open %s\n", path.c_str());
    return 1;
  }
  std::vector<uint8_t> buf;
  uint8_t tmp[65536];
  size_t got;
  while ((got = std::fread(tmp, 1, sizeof tmp, f)) > 0) buf.insert(buf.end(), tmp, tmp + got);
  std::fclose(f);
  g_output_hash = 1469598103934665603ull;
  LLVMFuzzerTestOneInput(buf.data(), buf.size());
  std::printf("ok %s (%zu bytes) output %016llx\n", path.c_str(), buf.size(), (unsigned long long)g_output_hash);
  return 0;
}

#if defined(__SANITIZE_ADDRESS__)
#define ZQ_HAVE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZQ_HAVE_ASAN 1
#endif
#endif

#if !defined(ZQ_HAVE_ASAN)
// Without AddressSanitizer nobody reports a fault in a guard page; say what
// happened (async-signal-safe), then let the signal kill the process.
void on_fault(int sig, siginfo_t* info, void*) {
  char msg[] = "\n*** zq-fuzz property violated: memory fault (guard page or wild pointer) at 0x0000000000000000\n";
  uintptr_t a = reinterpret_cast<uintptr_t>(info->si_addr);
  char* end = msg + sizeof msg - 3;  // last hex digit (before "\n" and NUL)
  for (int i = 0; i < 16; ++i, a >>= 4) *end-- = "0123456789abcdef"[a & 15];
  (void)!write(2, msg, sizeof msg - 1);
  if (g_expect_failure) _exit(0);
  signal(sig, SIG_DFL);
}

void install_fault_reporter() {
  struct sigaction sa {};
  sa.sa_sigaction = on_fault;
  sa.sa_flags = SA_SIGINFO | SA_RESETHAND;
  sigaction(SIGSEGV, &sa, nullptr);
  sigaction(SIGBUS, &sa, nullptr);
}
#else
void install_fault_reporter() {}
#endif
}  // namespace

// zq_fuzz_replay [--plugin=PATH] [--expect-failure] FILE|DIR...
// --expect-failure (for checking the harness on faulty fixtures): exit 0 at
// the first reported violation, 1 if every input passes.
int main(int argc, char** argv) {
  install_fault_reporter();
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--plugin=", 9) == 0) setenv("ZQ_PLUGIN_SO", argv[i] + 9, 1);
    if (std::strcmp(argv[i], "--expect-failure") == 0) g_expect_failure = true;
  }
  LLVMFuzzerInitialize(&argc, &argv);
  int files = 0, errors = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--plugin=", 9) == 0 || std::strcmp(argv[i], "--expect-failure") == 0) continue;
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      std::fprintf(stderr, "cannot stat %s\n", argv[i]);
      ++errors;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      std::vector<std::string> names;
      if (DIR* d = opendir(argv[i])) {
        while (dirent* e = readdir(d))
          if (e->d_name[0] != '.') names.emplace_back(std::string(argv[i]) + "/" + e->d_name);
        closedir(d);
      }
      std::sort(names.begin(), names.end());
      for (const auto& n : names) errors += replay_file(n), ++files;
    } else {
      errors += replay_file(argv[i]), ++files;
    }
  }
  if (g_expect_failure) {
    std::printf("no violation reported, although one was expected\n");
    return 1;
  }
  std::printf("%d passed, %d failed\n", files - errors, errors);
  return (errors || files == 0) ? 1 : 0;
}
#endif
