// Denormal-safety check: the plug-in's cost per block must stay flat while
// its internal state decays towards zero after a loud burst.
//
//   denormal_check PLUGIN.so [seconds-of-silence] [block] [--allow-load-fp-mode]
//
// Runs on a fresh std::thread whose floating-point mode is set to the ABI
// default (x86: MXCSR 0x1f80, no flush-to-zero / denormals-are-zero), as a
// host's audio thread may have it. (A new thread inherits the mode of the
// thread that created it, so it is set explicitly.) If the plug-in relies on
// that mode being changed elsewhere, or lets recursive filters and feedback
// loops decay into subnormal numbers, blocks of silence become many times
// slower than blocks of signal.
//
// Loading the library must not change the loading thread's floating-point
// mode either (as a constructor that sets FTZ/DAZ, or crtfastmath.o pulled
// in by linking with -ffast-math / -Ofast, would): that is checked first,
// unless --allow-load-fp-mode says it is deliberate.
//
// For each setting (high feedback and diffusion, plus a long-decay filter
// setting) a new instance gets 0.5 s of full-scale noise, then silence. The
// CPU time of the thread is taken around each run() (CLOCK_THREAD_CPUTIME_ID,
// so time spent preempted does not count). Criteria, per setting:
//   * the median block time of every one-second window of silence is at most
//     ZQ_DENORMAL_WINDOW_FACTOR (default 2.5) times the median block time
//     during the burst;
//   * the slowest single block is at most ZQ_DENORMAL_BLOCK_FACTOR (default
//     10) times the median block time of the whole run.
//   * (x86-64) no run() during the silence sets the MXCSR "denormal operand"
//     flag (DE): the plug-in never computes with a subnormal number. This is
//     the part that does not depend on the processor: some (recent AMD, most
//     ARM) handle subnormals at nearly full speed, so the timing criteria
//     cannot see the problem there, while older/Intel processors slow down
//     by 10-100x. Set ZQ_DENORMAL_ALLOW_DE=1 to report the flag only.
// The slowest-block allowance has an absolute part,
// ZQ_DENORMAL_BLOCK_SLACK_US (default 200), for page faults and interrupts.
// A failing setting is measured once more before failing, since a single
// measurement can be disturbed by other load; a denormal slowdown repeats.
//
// Exit status: 0 pass, 1 fail, 2 setup problem.
#include "plugin_host.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace {

double env_or(const char* name, double fallback) {
  const char* v = std::getenv(name);
  return (v && *v) ? std::atof(v) : fallback;
}

int64_t thread_ns() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double median(std::vector<int64_t> v) {
  if (v.empty()) return 0.0;
  std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
  return double(v[v.size() / 2]);
}

struct Setting {
  const char* name;
  float control[zq::kPortCount];
};

struct Result {
  bool pass = false;
  double burst_median = 0, run_median = 0, worst_window = 0, worst_block = 0;
  double worst_window_at = 0;
  uint64_t subnormal_out = 0;
  uint64_t de_blocks = 0;  // silent blocks whose run() used a subnormal operand
  uint64_t ue_blocks = 0;  // silent blocks whose run() produced a tiny result
  double first_de_at = -1;
};

#if defined(__x86_64__)
void clear_fp_flags() { _mm_setcsr(_mm_getcsr() & ~0x3Fu); }
unsigned fp_flags() { return _mm_getcsr() & 0x3Fu; }
#else
void clear_fp_flags() {}
unsigned fp_flags() { return 0; }
#endif
constexpr unsigned kDenormalFlag = 0x02, kUnderflowFlag = 0x10;

Result measure(const LV2_Descriptor* d, const Setting& s, double rate, uint32_t block, double silence_s) {
  zq_test::PluginHost inst(d, rate);
  for (uint32_t p = zq::kFirstControl; p < zq::kPortCount; ++p) inst.set_control(p, s.control[p]);
  inst.activate();
  std::vector<float> in(block), out1(block), out2(block);

  const uint64_t burst_blocks = uint64_t(0.5 * rate / block) + 1;
  const uint64_t silent_blocks = uint64_t(silence_s * rate / block);
  const uint64_t window = std::max<uint64_t>(1, uint64_t(rate / block));
  std::vector<int64_t> t_burst, t_all;
  std::vector<int64_t> t_silent;
  t_silent.reserve(silent_blocks);
  uint32_t rng = 0x9E3779B9u;
  Result r;
  for (uint64_t b = 0; b < burst_blocks + silent_blocks; ++b) {
    const bool loud = b < burst_blocks;
    for (uint32_t i = 0; i < block; ++i) {
      rng ^= rng << 13;
      rng ^= rng >> 17;
      rng ^= rng << 5;
      in[i] = loud ? float(int32_t(rng)) * (1.0f / 2147483648.0f) : 0.0f;
    }
    clear_fp_flags();
    const int64_t t0 = thread_ns();
    inst.run(in.data(), out1.data(), out2.data(), block);
    const int64_t dt = thread_ns() - t0;
    const unsigned flags = fp_flags();
    if (!loud && (flags & kDenormalFlag)) {
      if (r.de_blocks++ == 0) r.first_de_at = double((b - burst_blocks) * block) / rate;
    }
    if (!loud && (flags & kUnderflowFlag)) ++r.ue_blocks;
    (loud ? t_burst : t_silent).push_back(dt);
    t_all.push_back(dt);
    for (uint32_t i = 0; i < block; ++i) {
      r.subnormal_out += std::fpclassify(out1[i]) == FP_SUBNORMAL;
      r.subnormal_out += std::fpclassify(out2[i]) == FP_SUBNORMAL;
    }
  }
  inst.deactivate();

  r.burst_median = median(t_burst);
  r.run_median = median(t_all);
  r.worst_block = double(*std::max_element(t_all.begin(), t_all.end()));
  for (uint64_t w = 0; w + window <= t_silent.size(); w += window) {
    const double m = median(std::vector<int64_t>(t_silent.begin() + long(w), t_silent.begin() + long(w + window)));
    if (m > r.worst_window) {
      r.worst_window = m;
      r.worst_window_at = double(w * block) / rate;
    }
  }
  const double kWindow = env_or("ZQ_DENORMAL_WINDOW_FACTOR", 2.5);
  const double kBlock = env_or("ZQ_DENORMAL_BLOCK_FACTOR", 10.0);
  const double kSlack = env_or("ZQ_DENORMAL_BLOCK_SLACK_US", 200.0) * 1e3;
  const bool allow_de = env_or("ZQ_DENORMAL_ALLOW_DE", 0.0) != 0.0;
  r.pass = r.worst_window <= kWindow * r.burst_median && r.worst_block <= kBlock * r.run_median + kSlack &&
           (allow_de || r.de_blocks == 0);
  return r;
}

Setting make(const char* name, float delay, float tap, float level, float pan_tap, float pan_loop, float diffusion,
             float feedback, float lowpass, float highpass) {
  return {name, {0, 0, 0, delay, tap, level, pan_tap, pan_loop, diffusion, feedback, lowpass, highpass}};
}

int g_status = 2;

#if defined(__x86_64__)
unsigned fp_mode() { return _mm_getcsr() & ~0x3Fu; }  // control bits only
void set_default_fp_mode() { _mm_setcsr(0x1F80u); }
#elif defined(__aarch64__)
unsigned fp_mode() {
  uint64_t v;
  asm volatile("mrs %0, fpcr" : "=r"(v));
  return unsigned(v);
}
void set_default_fp_mode() { asm volatile("msr fpcr, %0" ::"r"(uint64_t(0))); }
#else
unsigned fp_mode() { return 0; }
void set_default_fp_mode() {}
#endif

void test_thread(const LV2_Descriptor* d, double silence_s, uint32_t block) {
  set_default_fp_mode();
  const Setting settings[] = {
      make("max feedback+diffusion, long delay", 500, 100, 6, -100, 100, 100, 100, 20000, 10),
      make("max feedback+diffusion, short delay", 1, 50, 0, 0, 0, 100, 100, 20000, 10),
      make("dark loop (lowpass 200 Hz)", 37, 50, 0, 30, -30, 80, 95, 200, 10),
  };
  const double rate = 48000.0;
  bool all = true;
  for (const Setting& s : settings) {
    Result r;
    int attempt = 0;
    do {
      r = measure(d, s, rate, block, silence_s);
      std::printf(
          "%-38s try %d: burst median %.1f us, run median %.1f us, worst 1-s window median %.1f us "
          "(at %.0f s, x%.2f), worst block %.1f us (x%.2f); silent blocks with denormal operands %llu "
          "(first at %.2f s), with underflow %llu; subnormal outputs %llu -> %s\n",
          s.name, attempt + 1, r.burst_median / 1e3, r.run_median / 1e3, r.worst_window / 1e3, r.worst_window_at,
          r.worst_window / std::max(1.0, r.burst_median), r.worst_block / 1e3,
          r.worst_block / std::max(1.0, r.run_median), (unsigned long long)r.de_blocks, r.first_de_at,
          (unsigned long long)r.ue_blocks, (unsigned long long)r.subnormal_out, r.pass ? "ok" : "FAIL");
    } while (!r.pass && ++attempt < 2);
    all = all && r.pass;
  }
  g_status = all ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> pos;
  bool allow_load_fp_mode = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--allow-load-fp-mode") allow_load_fp_mode = true;
    else pos.emplace_back(argv[i]);
  }
  if (pos.empty()) {
    std::fprintf(stderr, "usage: %s PLUGIN.so [seconds-of-silence] [block] [--allow-load-fp-mode]\n", argv[0]);
    return 2;
  }
  const double silence = pos.size() > 1 ? std::atof(pos[1].c_str()) : 30.0;
  const uint32_t block = pos.size() > 2 ? uint32_t(std::atoi(pos[2].c_str())) : 256;
  if (!(silence >= 2.0) || block < 1) {
    std::fprintf(stderr, "denormal_check: need >= 2 s of silence and a block of at least 1\n");
    return 2;
  }
  const unsigned mode_before = fp_mode();
  const LV2_Descriptor* d = zq_test::load_descriptor(pos[0].c_str());
  const unsigned mode_after = fp_mode();
  const bool load_ok = mode_before == mode_after || allow_load_fp_mode;
  if (mode_before != mode_after)
    std::printf("loading the library changed the loading thread's floating-point mode from %#x to %#x -> %s\n",
                mode_before, mode_after, load_ok ? "allowed" : "FAIL");
  std::thread t(test_thread, d, silence, block);
  t.join();
  if (g_status == 0 && !load_ok) g_status = 1;
  std::printf("denormal_check: %s\n", g_status == 0 ? "PASS" : g_status == 1 ? "FAIL" : "ERROR");
  return g_status;
}
